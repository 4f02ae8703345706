#pragma once
// What a person wants to know about a build beyond its events: tasks by outcome, how
// busy the rows were, the slowest tasks and the chain of tasks that decided the end.
#include "viewer/BuildModel.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace viewer {

// How a task's bar is shown. A retried attempt is shown as retried even when it
// failed: the build went on with its next attempt.
enum class TTaskKind : std::uint8_t { Succeeded, Failed, Restored, Remote, Retried, Running };
constexpr int TaskKindCount = 6;
TTaskKind KindOf(const TTask& task);
std::string_view KindName(TTaskKind kind);

struct TBuildAnalysis {
    std::int32_t DurationMs = 0;
    std::int64_t ByKind[TaskKindCount] = {};
    std::int64_t BusyMs = 0;                // summed durations of the tasks on rows
    double AverageBusyRows = 0;             // BusyMs / DurationMs
    std::int32_t PeakBusyRows = 0;          // most tasks running at once
    double Utilisation = 0;                 // BusyMs / (rows x DurationMs), 0..1
    std::vector<std::int32_t> Slowest;      // task indexes, longest first
    std::vector<std::int32_t> CriticalPath; // task indexes, earliest first
    // The chain follows recorded dependencies; without them it follows, from the task
    // that ended last, the task that ended last before each one began.
    bool CriticalPathFromDependencies = false;
};

TBuildAnalysis Analyse(const TBuildModel& model, std::size_t slowestCount);

} // namespace viewer
