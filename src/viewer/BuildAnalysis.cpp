#include "viewer/BuildAnalysis.h"

#include <algorithm>
#include <numeric>

namespace viewer {

TTaskKind KindOf(const TTask& task) {
    if (task.Outcome == TTaskOutcome::Running) {
        return TTaskKind::Running;
    }
    if (task.Retried) {
        return TTaskKind::Retried;
    }
    if (task.Outcome == TTaskOutcome::Failed) {
        return TTaskKind::Failed;
    }
    if (task.Outcome == TTaskOutcome::Restored) {
        return TTaskKind::Restored;
    }
    return task.Remote ? TTaskKind::Remote : TTaskKind::Succeeded;
}

std::string_view KindName(TTaskKind kind) {
    switch (kind) {
    case TTaskKind::Succeeded:
        return "succeeded";
    case TTaskKind::Failed:
        return "failed";
    case TTaskKind::Restored:
        return "restored";
    case TTaskKind::Remote:
        return "remote";
    case TTaskKind::Retried:
        return "retried";
    case TTaskKind::Running:
        return "running";
    }
    return "unknown";
}

namespace {

// The task whose end held up `task`: its latest-ending dependency, or without
// dependencies the task that ended last before it began. `byEnd` holds the task
// indexes sorted by end; `at` is the place of `task` in it.
std::int32_t Predecessor(const TBuildModel& model, const std::vector<std::int32_t>& byEnd,
                         std::size_t at, std::int32_t buildEnd, bool useDependencies) {
    const TTask& task = model.Tasks[static_cast<std::size_t>(byEnd[at])];
    const auto endOf = [&](std::int32_t index) {
        const TTask& t = model.Tasks[static_cast<std::size_t>(index)];
        return t.EndMs >= 0 ? t.EndMs : buildEnd;
    };
    if (useDependencies) {
        std::int32_t best = -1;
        for (const std::int32_t dep : task.DependsOn) {
            if (dep >= 0 && static_cast<std::size_t>(dep) < model.Tasks.size() &&
                (best < 0 || endOf(dep) > endOf(best))) {
                best = dep;
            }
        }
        return best;
    }
    // Only places before `at`, so the walk always moves back.
    const auto first = byEnd.begin();
    const auto last = first + static_cast<std::ptrdiff_t>(at);
    const auto after = std::upper_bound(
        first, last, task.BeginMs, [&](std::int32_t ms, std::int32_t i) { return ms < endOf(i); });
    return after == first ? -1 : *(after - 1);
}

} // namespace

TBuildAnalysis Analyse(const TBuildModel& model, std::size_t slowestCount) {
    TBuildAnalysis result;
    result.DurationMs = model.EndMs;
    const std::int32_t end = model.EndMs;
    std::vector<std::pair<std::int32_t, std::int32_t>> edges; // (ms, +1/-1)
    bool anyDependencies = false;
    for (const TTask& task : model.Tasks) {
        ++result.ByKind[static_cast<int>(KindOf(task))];
        anyDependencies = anyDependencies || !task.DependsOn.empty();
        if (task.Row < 0) {
            continue;
        }
        const std::int32_t taskEnd = task.EndMs >= 0 ? task.EndMs : end;
        result.BusyMs += std::max(0, taskEnd - task.BeginMs);
        if (taskEnd > task.BeginMs) {
            edges.emplace_back(task.BeginMs, 1);
            edges.emplace_back(taskEnd, -1);
        }
    }
    // Ends before begins at the same moment: a row handed on is not two busy rows.
    std::sort(edges.begin(), edges.end());
    std::int32_t busy = 0;
    for (const auto& [ms, step] : edges) {
        busy += step;
        result.PeakBusyRows = std::max(result.PeakBusyRows, busy);
    }
    if (result.DurationMs > 0) {
        result.AverageBusyRows = static_cast<double>(result.BusyMs) / result.DurationMs;
        if (!model.Rows.empty()) {
            result.Utilisation = result.AverageBusyRows / static_cast<double>(model.Rows.size());
        }
    }

    // The sort keys once, in plain arrays: the sorts below compare millions of times.
    std::vector<std::int32_t> ends(model.Tasks.size()), durations(model.Tasks.size());
    for (std::size_t i = 0; i < model.Tasks.size(); ++i) {
        const TTask& t = model.Tasks[i];
        ends[i] = t.EndMs >= 0 ? t.EndMs : end;
        durations[i] = t.DurationMs(end);
    }
    std::vector<std::int32_t> order(model.Tasks.size());
    std::iota(order.begin(), order.end(), 0);
    const auto duration = [&](std::int32_t i) { return durations[static_cast<std::size_t>(i)]; };
    const std::size_t slowest = std::min(slowestCount, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(slowest),
                      order.end(), [&](std::int32_t a, std::int32_t b) {
                          return duration(a) != duration(b) ? duration(a) > duration(b) : a < b;
                      });
    result.Slowest.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(slowest));

    if (model.Tasks.empty()) {
        return result;
    }
    const auto endOf = [&](std::int32_t i) { return ends[static_cast<std::size_t>(i)]; };
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::int32_t a, std::int32_t b) {
        return endOf(a) != endOf(b) ? endOf(a) < endOf(b) : duration(a) < duration(b);
    });
    std::vector<std::size_t> placeOf(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        placeOf[static_cast<std::size_t>(order[i])] = i;
    }
    result.CriticalPathFromDependencies = anyDependencies;
    std::vector<bool> visited(order.size(), false);
    std::size_t at = order.size() - 1;
    while (true) {
        const std::int32_t task = order[at];
        if (visited[static_cast<std::size_t>(task)]) {
            break; // dependencies that go round
        }
        visited[static_cast<std::size_t>(task)] = true;
        result.CriticalPath.push_back(task);
        const std::int32_t previous = Predecessor(model, order, at, end, anyDependencies);
        if (previous < 0) {
            break;
        }
        at = placeOf[static_cast<std::size_t>(previous)];
    }
    std::reverse(result.CriticalPath.begin(), result.CriticalPath.end());
    return result;
}

} // namespace viewer
