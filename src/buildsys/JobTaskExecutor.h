#pragma once
// Runs one granted task of a job document and tells how it ended. The process
// executor runs the command as a job of its own, its output cut into lines as it
// comes; a no-op executor (benchmarks) only reports success.
#include "buildsys/OutputScanner.h"
#include "buildsys/Scheduler.h"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace buildsys {

class TJobTaskExecutor {
public:
    using TOutput = std::function<void(const TOutputText&)>;
    virtual ~TJobTaskExecutor() = default;
    // Runs `command` (the program first) in `workingDir` with the environment block
    // `environment`; a set `cancel` asks the task to end. Never raises: a command that
    // cannot start is a failed task with its reason in the output.
    virtual TTaskOutcome Run(const std::vector<std::string>& command, const std::string& workingDir,
                             const std::string& environment, const TOutput& output,
                             const std::atomic<bool>& cancel) = 0;
};

class TProcessTaskExecutor : public TJobTaskExecutor {
public:
    TTaskOutcome Run(const std::vector<std::string>& command, const std::string& workingDir,
                     const std::string& environment, const TOutput& output,
                     const std::atomic<bool>& cancel) override;
};

} // namespace buildsys
