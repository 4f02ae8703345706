// A stand-in for the build-system program in the build proxy's tests. It plays the
// build system's part of the hand-off in the way RAVEL_FAKE_MODE asks:
//   restart:N  exit with 217 the first N times (counted in RAVEL_FAKE_COUNTER; -1 =
//              always), then behave as "ok"
//   fail       write to both outputs and exit with 5 before signalling
//   ok         signal, wait until attached, write started, output and complete events
//   vanish     signal, wait until attached, write the started event and end without
//              completing (exit code 9)
//   corrupt    as ok, but the second event is damaged in the shared stream while the
//              monitor file of the build holds it intact
#include "monitor/MonitorFile.h"
#include "packets/Compression.h"
#include "packets/GrowingSharedStream.h"
#include "packets/PacketStream.h"
#include "packets/TextUtil.h"
#include "platform/Paths.h"
#include "platform/SharedObjects.h"
#include "proxy/AgentSettings.h"
#include "proxy/BuildCacheSettings.h"
#include "proxy/BuildObjects.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

int Restarts(const std::string& mode) {
    const int limit = std::stoi(mode.substr(mode.find(':') + 1));
    const std::string counterFile = Env("RAVEL_FAKE_COUNTER");
    int count = 0;
    std::ifstream(counterFile) >> count;
    std::ofstream(counterFile) << ++count;
    return limit < 0 || count <= limit ? count : 0;
}

int Build(const std::string& identity, const std::string& mode) {
    core::TGUID id;
    if (!core::TGUID::TryParse(identity, id)) {
        std::fprintf(stderr, "bad identity\n");
        return 1;
    }
    records::TBuildCommandPacket request;
    request.LoadFromFile(
        build::HandOffFilePath(build::HandOffFolder(build::AgentTempFolder()), identity));

    auto running = platform::TMutex::Create(build::BuildMutexName(identity, true), true);
    auto attached = platform::TEvent::Create(build::OwnerAttachedEventName(identity), true, false);
    packets::TGrowingSharedStream stream(id, packets::DefaultSectionSize, nullptr, true,
                                         packets::SessionGlobal);
    platform::TEvent::Open(build::StartEventName(identity))->Set();
    if (!attached->Wait(20000)) {
        return 1;
    }

    packets::TPacketSaveContext context;
    packets::TMemoryStream events;
    records::TMonitorEventStartedPacket started;
    started.StartTime = packets::LocalDateTimeNow();
    started.ID = id;
    started.Caption = request.Caption;
    started.SaveToStream(events, &context);
    const std::int64_t second = events.Position();
    if (mode == "vanish") {
        stream.Write(events.Memory(), static_cast<std::size_t>(events.Size()));
        std::_Exit(9);
    }
    records::TMonitorEventOutputPacket output;
    output.Text = "line one";
    output.SaveToStream(events, &context);
    output.Text.clear();
    output.ErrText = "warning one";
    output.SaveToStream(events, &context);
    const int exitCode = std::atoi(Env("RAVEL_FAKE_EXIT").c_str());
    records::NewCompleteEvent(5, false, records::BuildSummaryText(0, 0, 0, 0), exitCode == 0, 0, 0,
                              0, 0, exitCode)
        ->SaveToStream(events, &context);

    if (mode == "corrupt") {
        events.SetPosition(0);
        packets::TMemoryStream packed;
        packets::Compress(events, events.Size(), packed);
        records::TMetaBuildPacket meta;
        meta.ID = id;
        const std::string file = monitor::HistoryFilePath(
            build::AgentFolder(), monitor::StartDayText(started.StartTime), id);
        platform::ForceDirectories(file.substr(0, file.rfind('/')));
        monitor::WriteMonitorFile(file, meta, packed, monitor::TEventsPlacement::AfterRecord);
        events.Memory()[second] = 0x7E; // a class reference no stream introduced
    }
    stream.Write(events.Memory(), static_cast<std::size_t>(events.Size()));
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    records::RegisterAllPacketClasses();
    std::string mode = Env("RAVEL_FAKE_MODE");
    if (mode.rfind("restart:", 0) == 0) {
        if (const int count = Restarts(mode); count > 0) {
            std::printf("out %d\n", count);
            std::fprintf(stderr, "err %d\n", count);
            return build::BuildSystemRestartExitCode;
        }
        mode = "ok";
    }
    if (mode == "fail") {
        std::printf("bad out\n");
        std::fprintf(stderr, "bad err\n");
        return 5;
    }
    if (argc < 2 || std::string(argv[1]).rfind("/id=", 0) != 0) {
        std::fprintf(stderr, "usage: /id=<identity>\n");
        return 2;
    }
    try {
        return Build(std::string(argv[1]).substr(4), mode);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
