#pragma once
// A build replayed in virtual time through the real scheduler: each task becomes ready
// once the tasks it depends on have ended, asks the scheduler for a row, and holds the
// row for its duration on that row (a helper's row divides it by the helper's speed and
// adds the link's round trip). No thread waits and no clock runs: the next event is the
// earliest end of a running task. A second attempt whose row a queued task takes back
// stops at once.
#include <cstdint>
#include <string>
#include <vector>

namespace buildsys {

struct TSimTask {
    std::string Name;
    std::string Kind; // as the launcher reports it: compile, link, archive, assemble, other
    std::int64_t DurationMs = 0;
    std::vector<std::int32_t> DependsOn; // indexes of earlier tasks
};

struct TSimSetup {
    std::int32_t LocalRows = 1;
    std::int32_t Helpers = 0;
    std::int32_t SlotsPerHelper = 1;
    double HelperSpeed = 1.0;       // a helper's row runs a task this much faster than a local row
    std::int64_t LinkLatencyMs = 0; // one way; a remote task pays it twice
    bool Double = false;            // remote compiles may run a second time on idle local rows
};

struct TSimResult {
    std::int64_t BuildMs = 0;
    std::int64_t LocalBusyMs = 0;  // summed over the local rows
    std::int64_t HelperBusyMs = 0; // summed over the helper rows
    std::int32_t LocalRows = 0;
    std::int32_t HelperRows = 0;
    std::int32_t TasksOnHelpers = 0;
    std::int32_t LocalOnlyOnHelpers = 0; // tasks that are no compile but got a helper's row
    std::int32_t Doubled = 0;            // second attempts started
    std::int32_t DoublesWon = 0;         // second attempts that ended first
    std::int32_t DoublesTakenBack = 0;   // second attempts stopped for a queued task
    std::vector<std::int64_t> RowBusyMs;
    std::vector<std::int32_t> RowOf;   // each task's row
    std::vector<std::int64_t> StartMs; // each task's start
    double LocalUtilisation() const;
    double HelperUtilisation() const;
};

// Raises std::invalid_argument for a bad setup or a dependency on a later or unknown
// task, and std::logic_error when a task was not scheduled and ended exactly once (a
// second attempt aside). Busy times count an attempt only until its task was decided.
TSimResult SimulateBuild(const std::vector<TSimTask>& tasks, const TSimSetup& setup);

} // namespace buildsys
