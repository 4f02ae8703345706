#include "buildsys/DistccEngine.h"

#include "platform/Files.h"

#include <filesystem>
#include <system_error>

namespace buildsys {

std::string TDistccEngine::StateFolderOf(const TRunningTask& task) const {
    return distccDir + "/task-" + std::to_string(task.TaskID);
}

void TDistccEngine::Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) {
    if (row.Local) {
        return;
    }
    // A state folder of the task's own keeps distcc's host backoff to this one call: it
    // stops the client from trying a dead helper again and again, and no later task
    // inherits it (the scheduler decides when the helper is employed again). A zero
    // backoff period would make the client retry a dead helper for ever. When the folder
    // cannot be made distcc fails to distribute, and the task runs again elsewhere.
    const std::string state = StateFolderOf(task);
    platform::EnsurePrivateDirectory(state);
    command.Prefix.insert(command.Prefix.begin(), "distcc");
    command.Env["DISTCC_HOSTS"] = row.DistccHost;
    command.Env["DISTCC_FALLBACK"] = "0";
    command.Env["DISTCC_DIR"] = state;
    // distcc's own messages stay out of the build's output: the scheduler says what
    // happened once, and the compiler's messages pass through as they are.
    command.Env["DISTCC_LOG"] = distccDir + "/distcc.log";
}

void TDistccEngine::Ended(const TRunningTask& task, const TWorkerRow& row,
                          const TTaskOutcome& outcome, const std::string& cache) {
    (void)cache;
    if (row.Local) {
        return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(StateFolderOf(task), ignored);
    const std::lock_guard lock(mutex);
    THelperCounts& helper = counts[row.Helper];
    ++helper.Ran;
    helper.Failed += outcome.EngineFailure ? 1 : 0;
}

std::map<std::string, TDistccEngine::THelperCounts> TDistccEngine::Counts() const {
    const std::lock_guard lock(mutex);
    return counts;
}

} // namespace buildsys
