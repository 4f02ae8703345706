#include "console/ConsoleFlavor.h"
#include "console/ExitCode.h"
#include "console/GridConsole.h"
#include "core/DiagnosticLog.h"
#include "core/NotifyQueue.h"
#include "platform/CommandLine.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "records/Registration.h"

#include <cstdio>
#include <exception>
#include <memory>
#include <string>

int main(int argc, char** argv) {
    platform::SetProcessArguments(argc, argv);
    // A closed standard output or error must not end the console (and so its build):
    // failed writes to them are ignored.
    platform::IgnoreBrokenPipes();
    core::InstallCrashLogging();
    records::RegisterAllPacketClasses();
    std::string failure;
    bool failed = false;
    {
        std::unique_ptr<console::TGridConsole> gridConsole;
        try {
            // The name the program was started as chooses its row of the flavor table.
            const console::TConsoleFlavor& flavor = console::ConsoleFlavorFor(
                platform::FileNameWithoutExt(platform::ProgramFileName()));
            gridConsole =
                std::make_unique<console::TGridConsole>(console::ConsoleTitle, flavor.Modes);
            gridConsole->RunsJobs = flavor.RunsJobs;
            gridConsole->Run();
            core::MainQueue().Run();
            if (gridConsole->OutputLost && console::ProcessExitCode() == 0) {
                console::SetExitCode(3);
            }
        } catch (const std::exception& e) {
            failed = true;
            failure = e.what();
            console::Finish(3);
        }
    }
    if (failed) {
        std::string line = "Fatal Error: " + failure + "\r\n";
        std::fwrite(line.data(), 1, line.size(), stdout);
    }
    std::fflush(stdout);
    // The process ends without destroying the queue: release its named event now.
    core::MainQueue().CloseExternalEvent();
    // The system keeps 8 bits of it; the log keeps the whole code.
    core::Log().Line("Exit code: " + std::to_string(console::ProcessExitCode()));
    core::Log().Stopped();
    platform::ExitProcess(console::ProcessExitCode());
}
