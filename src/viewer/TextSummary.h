#pragma once
// The build in a few lines for terminals and CI logs: result and duration, tasks by
// outcome, how busy the rows were, the slowest tasks, the build-cache summary and
// where reading stopped when the history was not whole.
#include "viewer/BuildAnalysis.h"
#include "viewer/BuildModel.h"

#include <string>

namespace viewer {

constexpr std::size_t SummarySlowestTasks = 10;

std::string SummaryText(const TBuildModel& model, const TBuildAnalysis& analysis);

// "1m 02.345s", "4.200s".
std::string DurationText(std::int64_t ms);

} // namespace viewer
