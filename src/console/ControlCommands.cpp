// The agent control commands: enable/disable, file cache, stop/list builds, and
// the build cache.
#include "console/ExitCode.h"
#include "console/GridConsole.h"
#include "core/Errors.h"
#include "platform/Registry.h"
#include "proxy/BuildCacheSettings.h"
#include "records/ServicePackets.h"

#include <cstdio>

namespace console {

namespace {

template <typename T> const T* As(const std::unique_ptr<packets::TPacket>& packet) {
    return packet && &packet->Class() == &T::StaticClass() ? static_cast<const T*>(packet.get())
                                                           : nullptr;
}

// Lines that go straight to standard output, past the log and /OUT.
void WriteDirect(std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputs("\r\n", stdout);
    std::fflush(stdout);
}

} // namespace

bool TGridConsole::Refused(const packets::TPacket& request) {
    try {
        ServiceLink->Request(request);
        return false;
    } catch (const std::exception& e) {
        WriteLine(std::string("Error: ") + e.what());
        Finish(3);
        return true;
    }
}

void TGridConsole::ServiceDisconnected() {
    WriteLine("\r\nConnection to build service terminated");
    Finish(3);
}

void TGridConsole::SetAgentEnabled(bool enable) {
    const std::unique_ptr<packets::TPacket> reply =
        ServiceLink->Request(records::TQueryServiceStatusPacket());
    const auto* status = As<records::TQueryServiceStatusReplyPacket>(reply);
    if (!status) {
        FatalError(reply ? "Disable/Enable Agent: Wrong packet type!"
                         : "Disable/Enable Agent: Resulting packet = nil!");
        return;
    }
    int code = 3;
    if (status->StaticPacket.AllowEnableDisable) {
        records::TEnableAgentPacket request;
        request.Enable = enable;
        if (Refused(request)) {
            return;
        }
        WriteLine(enable ? "Agent enabled." : "Agent disabled.");
        code = 0;
    } else {
        WriteLine(enable ? "Error: not allowed to enable agent."
                         : "Error: not allowed to disable agent.");
    }
    Finish(code);
}

void TGridConsole::ResetAgentFileCache() {
    if (Refused(records::TClearFileCachePacket())) {
        return;
    }
    WriteLine("Agent file cache contents cleared successfully.");
    Finish(0);
}

int TGridConsole::StopBuildByID(std::string_view idText) {
    core::TGUID id;
    if (!core::TGUID::TryParse(idText, id)) {
        core::Raise(core::EGeneralError("Invalid build ID \"" + std::string(idText) + "\""));
    }
    records::TStopJobPacket request;
    request.JobID = id;
    std::unique_ptr<packets::TPacket> reply;
    try {
        reply = ServiceLink->Request(request);
    } catch (const std::exception& e) {
        // The agent's refusal (another user's build): said, and the rest goes on.
        WriteLine("Error: build " + id.ToString() + " was not stopped.\r\n" + e.what());
        SetExitCode(3);
        return 3;
    }
    if (As<records::TStopJobPacket>(reply)) {
        WriteLine("Build Stop request sent successfully.");
        SetExitCode(2);
        return 2;
    }
    WriteLine("Invalid build ID or multiple builds running.");
    SetExitCode(3);
    return 3;
}

void TGridConsole::StopAllRunningBuilds() {
    const std::unique_ptr<packets::TPacket> reply =
        ServiceLink->Request(records::TRequestBuildStatusPacket());
    const auto* list = As<records::TRequestBuildStatusReplayPacket>(reply);
    if (!list) {
        FatalError(reply ? "Wrong packet type!" : "Resulting packet = nil!");
        return;
    }
    int code = 0;
    for (int i = 0; i < list->Builds.Count(); ++i) {
        const int stopped = StopBuildByID(list->Builds[i].BuildID.ToString());
        // One build that was not stopped makes the whole request fail.
        code = code == 3 ? 3 : stopped;
    }
    Finish(code);
}

void TGridConsole::ListRunningBuilds() {
    const std::unique_ptr<packets::TPacket> reply =
        ServiceLink->Request(records::TRequestBuildStatusPacket());
    const auto* list = As<records::TRequestBuildStatusReplayPacket>(reply);
    if (!list) {
        core::Raise(core::EGeneralError(reply ? "Wrong packet type!" : "Resulting packet = nil!"));
    }
    for (int i = 0; i < list->Builds.Count(); ++i) {
        WriteLine(std::to_string(i + 1) + ": " + list->Builds[i].BuildID.ToString() + " (" +
                  list->Builds[i].Caption + ")");
    }
    Finish(0);
}

void TGridConsole::ClearBuildCache() {
    // Only an administrator may stop the service; the clearing itself says why not.
    const bool administrator = platform::TRegistryKey::CanWrite(platform::TRegRoot::LocalMachine);
    const build::TBuildCacheState state =
        administrator ? build::QueryBuildCacheState() : build::bcsStopped;
    if (administrator && ServiceLink->Open()) {
        ServiceLink->Request(records::TStopBCServicePacket());
    }
    bool cleaned = false;
    try {
        cleaned = build::ClearBuildCacheData(WriteDirect);
    } catch (...) {
        if (state == build::bcsRunning && ServiceLink->Open()) {
            ServiceLink->Request(records::TStartBCServicePacket());
        }
        throw;
    }
    if (state == build::bcsRunning && ServiceLink->Open()) {
        ServiceLink->Request(records::TStartBCServicePacket());
    }
    if (cleaned) {
        WriteLine("Build cache cleaned.");
        Finish(0);
    } else {
        FatalError("Build cache clean failed.");
    }
}

} // namespace console
