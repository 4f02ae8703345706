#include "buildsys/DistccEngine.h"

namespace buildsys {

void TDistccEngine::Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) {
    (void)task;
    if (row.Local) {
        return;
    }
    command.Prefix.insert(command.Prefix.begin(), "distcc");
    command.Env["DISTCC_HOSTS"] = row.DistccHost;
    command.Env["DISTCC_FALLBACK"] = "0";
    command.Env["DISTCC_BACKOFF_PERIOD"] = "0";
    command.Env["DISTCC_DIR"] = distccDir;
    // distcc's own messages stay out of the build's output: the scheduler says what
    // happened once, and the compiler's messages pass through as they are.
    command.Env["DISTCC_LOG"] = distccDir + "/distcc.log";
}

void TDistccEngine::Ended(const TRunningTask& task, const TWorkerRow& row,
                          const TTaskOutcome& outcome, const std::string& cache) {
    (void)task;
    (void)cache;
    if (row.Local) {
        return;
    }
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
