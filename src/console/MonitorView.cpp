// /OPENMONITOR: the live view of the build this console runs, in a process of its
// own beside the console. It opens the page itself when there is a display; its
// address line is shown in the console's output. The view outlives the console and
// never holds up or fails the build.
#include "console/GridConsole.h"
#include "core/DiagnosticLog.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"

namespace console {

void TGridConsole::OpenBuildMonitor() {
    if (!BuildCommand.HasFlag(records::TBuildFlag::OpenMonitor) || BuildCommand.BuildID.IsNull()) {
        return;
    }
    const std::string program =
        platform::ExtractFileDir(platform::ProgramFileName()) + "/morvek-monitor";
    try {
        // The view's output comes through a pipe of the console's, so that a reader of
        // the console's output does not wait for the view to end.
        MonitorView = std::make_unique<core::TProcess>(
            platform::QuoteArgument(program) + " --live " + BuildCommand.BuildID.ToString() +
                " --open",
            core::poCaptureOutput | core::poEchoOutput | core::poNoNotify);
        MonitorView->SetNewProcessGroup(true);
        core::TNotifyQueue* queue = &core::MainQueue();
        MonitorView->SetEchoSink([this, queue](std::string_view text) {
            std::string line(text);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
                line.pop_back();
            }
            if (line.empty()) {
                return;
            }
            queue->Post({this, "TGridConsole"}, "ShowMonitorView", [this, line] {
                HideStatus();
                WriteLine(line);
                ShowStatus();
            });
        });
        MonitorView->Start();
        MonitorView->Detach();
    } catch (const std::exception& e) {
        MonitorView.reset();
        core::Log().Line("Build monitor not started\r\n" + std::string(e.what()));
        WriteLine("The build monitor could not be started: " + std::string(e.what()), true);
    }
}

} // namespace console
