#pragma once
// Runs the command of a build as a job: a child in a process group of its own that
// dies with this process, its standard output and standard error read by one
// thread each, its end watched by a third. The threads hand what they get to the
// owner's thread, which takes it with Wait.
#include "buildsys/OutputScanner.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace platform {
class TChildProcess;
}

namespace buildsys {

struct TJobEvent {
    enum class TKind { Output, Closed, Exited };
    TKind Kind = TKind::Output;
    TOutputStream Stream = TOutputStream::Out; // of Output and Closed
    std::string Bytes;
};

class TJobRunner {
public:
    // Starts the job; raises std::system_error with the reason when it cannot start.
    // The standard input is the null device. A non-empty `outputVariable` names, in the
    // job's environment, the identities of the job's output and error pipes.
    TJobRunner(std::vector<std::string> arguments, std::string workingDir, std::string environment,
               std::string_view outputVariable = {});
    // Kills what is left of the job.
    ~TJobRunner();
    TJobRunner(const TJobRunner&) = delete;
    TJobRunner& operator=(const TJobRunner&) = delete;

    // Waits until the job reports something or the tick `deadline` (platform
    // GetTickCount64) has come; returns every report since the last call, in order.
    std::vector<TJobEvent> Wait(std::uint64_t deadline);
    // Asks every process of the job to end.
    void Terminate();
    // Ends every process of the job at once.
    void Kill();
    // The exit status once the Exited report came (128 + signal when killed).
    std::optional<int> ExitCode();

private:
    struct TShared;
    std::shared_ptr<TShared> shared;
    std::unique_ptr<platform::TChildProcess> child;
    std::thread readers[2];
    std::thread waiter;
};

} // namespace buildsys
