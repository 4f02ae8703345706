#include "buildsys/JobTaskExecutor.h"

#include "buildsys/JobRunner.h"
#include "platform/Clock.h"

#include <optional>

namespace buildsys {

namespace {
constexpr std::uint64_t PollMs = 100;
// How long output is still read after the task's process has ended.
constexpr std::uint64_t DrainMs = 5000;
// From the request to end to the kill.
constexpr std::uint64_t GracefulStopMs = 5000;
// A command that cannot start ends like one the shell cannot find.
constexpr std::int32_t NotStartedExitCode = 127;
} // namespace

TTaskOutcome TProcessTaskExecutor::Run(const std::vector<std::string>& command,
                                       const std::string& workingDir,
                                       const std::string& environment, const TOutput& output,
                                       const std::atomic<bool>& cancel) {
    TTaskOutcome outcome;
    const std::uint64_t began = platform::GetTickCount64();
    std::unique_ptr<TJobRunner> job;
    try {
        job = std::make_unique<TJobRunner>(command, workingDir, environment);
    } catch (const std::exception& e) {
        TOutputText text;
        text.Stream = TOutputStream::Err;
        text.Text =
            "Failed to start " + (command.empty() ? std::string() : command[0]) + ": " + e.what();
        text.Errors = 1;
        output(text);
        outcome.ExitCode = NotStartedExitCode;
        outcome.Errors = 1;
        return outcome;
    }
    TOutputScanner scanner;
    const auto pass = [&](const std::optional<TOutputText>& text) {
        if (text) {
            output(*text);
        }
    };
    bool exited = false;
    int closed = 0;
    std::optional<std::uint64_t> drainUntil;
    std::uint64_t killAt = 0; // 0: no kill due
    bool terminated = false;
    for (;;) {
        const std::uint64_t now = platform::GetTickCount64();
        if (cancel && !terminated && !exited) {
            terminated = true;
            job->Terminate();
            killAt = now + GracefulStopMs;
        }
        if (killAt != 0 && now >= killAt) {
            job->Kill();
            killAt = 0;
        }
        for (TJobEvent& event : job->Wait(drainUntil.value_or(now + PollMs))) {
            switch (event.Kind) {
            case TJobEvent::TKind::Output:
                pass(scanner.Add(event.Stream, event.Bytes));
                break;
            case TJobEvent::TKind::Closed:
                pass(scanner.Finish(event.Stream));
                ++closed;
                break;
            case TJobEvent::TKind::Exited:
                exited = true;
                job->Kill(); // what it left behind in its job ends with it
                killAt = 0;
                drainUntil = platform::GetTickCount64() + DrainMs;
                break;
            }
        }
        if (exited && (closed == 2 || platform::GetTickCount64() >= *drainUntil)) {
            break;
        }
    }
    if (closed < 2) {
        for (const TOutputStream s : {TOutputStream::Out, TOutputStream::Err}) {
            pass(scanner.Finish(s));
        }
    }
    const int status = job->ExitCode().value_or(1);
    // The job reports 128 + signal for a process a signal ended.
    outcome.ExitCode = status;
    outcome.Errors = scanner.Errors();
    outcome.Warnings = scanner.Warnings();
    outcome.DurationMs = static_cast<std::int64_t>(platform::GetTickCount64() - began);
    return outcome;
}

} // namespace buildsys
