#pragma once
// The task trace of a recorded build for the scheduling simulation: every task that
// ended, in the order it began, with its duration and the tasks it must follow. The
// events carry no dependencies, so they are inferred from the timeline, erring towards
// more: an object task (compile, assemble) follows every generator task ("other") that
// ended before it began; a link, archive or generator follows every task that ended
// before it began.
#include "buildsys/BuildSimulation.h"
#include "viewer/BuildModel.h"

#include <cstdint>
#include <vector>

namespace bench {

struct THistoryTrace {
    std::vector<buildsys::TSimTask> Tasks;
    std::int32_t LocalRows = 0;  // of the recorded build
    std::int64_t RecordedMs = 0; // first begin to last end of its tasks
    std::int32_t Compiles = 0;
    std::int32_t Skipped = 0; // attempts that were retried, lost or still running
};

THistoryTrace TraceOfBuild(const viewer::TBuildModel& model);

} // namespace bench
