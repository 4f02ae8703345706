#include "console/ExitCode.h"
#include "console/GridConsole.h"
#include "platform/Console.h"
#include "proxy/BuildActivityInfo.h"
#include "records/MonitorEvents.h"

#include <cstdio>

namespace console {

namespace {

constexpr std::int32_t MonitorFailureKind = 2;

struct TRefusal {
    std::string_view Reason;
    int Code;
};

TRefusal RefusalOf(int result) {
    switch (result) {
    case 1:
        return {"Maximum number of concurrent builds reached.", 4};
    case 2:
        return {"Not enough CPU cores available for new build.", 5};
    case 4:
        return {"Agent version update is pending.", 6};
    default:
        return {"", 0};
    }
}

} // namespace

void TGridConsole::CreateBuildProxy() {
    BuildProxy.reset();
    BuildProxy = std::make_unique<build::TBuildProxy>(
        Title, "", build::bpoWaitOnDestroy,
        [this](packets::TPacket& event) { HandleMonitorEvent(event); });
    BuildProxy->SetExitHandler([this](core::TProcess& process) { BuildSystemExit(process); });
    BuildProxy->SetMessageSink([this](std::string_view line) {
        HideStatus();
        platform::WriteStdOut(std::string(line) + "\r\n");
        ShowStatus();
    });
    BuildProxy->SetConnectionFactory(ProxyConnection);
}

void TGridConsole::StartBuild() {
    CreateBuildProxy();
    const int result = BuildProxy->StartBuild(BuildCommand, BuildSystemArguments);
    if (result == 0) {
        if (Waiting) {
            WriteLine(std::string(25, ' '));
        }
        OpenBuildMonitor();
        return;
    }
    const TRefusal refusal = RefusalOf(result);
    if (Wait) {
        if (!Waiting) {
            WriteLine("\r\n" + std::string(refusal.Reason) +
                      "\r\nWaiting for a build to complete...");
            Waiting = true;
        }
        if (StdOutIsConsole && !Silent) {
            // The waiting share is never computed: it stays 0.
            std::printf("Progress: %3d%%\r", 0);
            std::fflush(stdout);
        }
        RetryClock->SetEnabled(true);
        return;
    }
    const std::string host = ServiceStatus ? ServiceStatus->Host : std::string();
    ServiceLink->Post(
        *build::MakeRefusedBuildActivity(BuildCommand, host, static_cast<std::uint8_t>(result)));
    WriteLine(refusal.Reason);
    Finish(refusal.Code);
}

void TGridConsole::RetryStart() {
    RetryClock->SetEnabled(false);
    try {
        StartBuild();
    } catch (const std::exception& e) {
        FatalError(e.what());
    }
}

void TGridConsole::HandleMonitorEvent(packets::TPacket& event) {
    if (&event.Class() == &records::TMonitorEventOutputPacket::StaticClass()) {
        const auto& output = static_cast<const records::TMonitorEventOutputPacket&>(event);
        WriteOutputEvent(output.Text, output.ErrText);
    } else if (&event.Class() == &records::TMonitorEventMessagePacket::StaticClass()) {
        // Kind 2 is the failure of following the build: without it the run would end
        // with no word of why.
        const auto& message = static_cast<const records::TMonitorEventMessagePacket&>(event);
        if (message.Kind == MonitorFailureKind) {
            // Output the build may have written is lost: the run cannot end with 0.
            OutputLost = true;
            WriteLine(message.Message + "\r\n" + message.Text, true);
        }
    } else if (&event.Class() == &records::TMonitorEventCompletePacket::StaticClass()) {
        HideStatus();
        StatusEnded = true;
        CountCompletion();
    } else if (StatusEnabled() && Status.Observe(event)) {
        ShowStatus(); // drawn over the old one in place
    }
}

void TGridConsole::BuildSystemExit(core::TProcess& process) {
    HideStatus();
    StatusEnded = true;
    SetExitCode(process.ExitCode());
    CountCompletion();
}

void TGridConsole::CountCompletion() {
    // The build ends once both its completion event and the build system's exit came.
    if (++Completions > 1) {
        core::MainQueue().Stop();
    }
}

} // namespace console
