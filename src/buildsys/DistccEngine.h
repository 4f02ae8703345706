#pragma once
// Distribution: a task granted on a helper row runs through the distcc client aimed at
// exactly that helper, with distcc's own fallback off (a failure comes back to the
// scheduler instead of compiling here unseen) and its host backoff kept to the one call
// (a state folder per task: the scheduler keeps each helper's state). distcc's own failures end
// with statuses of 100 and more, which the launcher reports as an engine failure.
#include "buildsys/TaskEngine.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace buildsys {

class TDistccEngine : public TTaskEngine {
public:
    // `distccDir` is a private folder of this build for distcc's state and log.
    explicit TDistccEngine(std::string distccDir) : distccDir(std::move(distccDir)) {}

    void Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) override;
    void Ended(const TRunningTask& task, const TWorkerRow& row, const TTaskOutcome& outcome,
               const std::string& cache) override;

    struct THelperCounts {
        std::int32_t Ran = 0;    // tasks that ran there, however they ended
        std::int32_t Failed = 0; // of them, failures to distribute
    };
    // Per helper name.
    std::map<std::string, THelperCounts> Counts() const;

private:
    std::string StateFolderOf(const TRunningTask& task) const;

    const std::string distccDir;
    mutable std::mutex mutex;
    std::map<std::string, THelperCounts> counts;
};

} // namespace buildsys
