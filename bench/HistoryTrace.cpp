#include "HistoryTrace.h"

#include <algorithm>
#include <limits>

namespace bench {

namespace {

std::string KindOf(const viewer::TTask& task) {
    const std::string kind = task.Hint.substr(0, task.Hint.find(':'));
    return kind.empty() ? "other" : kind;
}

bool IsObjectTask(const std::string& kind) {
    return kind == "compile" || kind == "assemble";
}

} // namespace

THistoryTrace TraceOfBuild(const viewer::TBuildModel& model) {
    THistoryTrace trace;
    for (const viewer::TWorkerRow& row : model.Rows) {
        trace.LocalRows += row.Local ? 1 : 0;
    }
    std::vector<const viewer::TTask*> ended;
    for (const viewer::TTask& task : model.Tasks) {
        if (task.EndMs < 0 || task.Retried || task.Lost) {
            ++trace.Skipped;
            continue;
        }
        ended.push_back(&task);
    }
    std::stable_sort(
        ended.begin(), ended.end(), [](const viewer::TTask* a, const viewer::TTask* b) {
            return a->BeginMs != b->BeginMs ? a->BeginMs < b->BeginMs : a->EndMs < b->EndMs;
        });

    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t last = 0;
    for (std::size_t i = 0; i < ended.size(); ++i) {
        const viewer::TTask& task = *ended[i];
        buildsys::TSimTask sim;
        sim.Name = task.Name;
        sim.Kind = KindOf(task);
        sim.DurationMs = task.EndMs - task.BeginMs;
        const bool object = IsObjectTask(sim.Kind);
        trace.Compiles += sim.Kind == "compile" ? 1 : 0;
        for (std::size_t j = 0; j < i; ++j) {
            const bool generator = !IsObjectTask(trace.Tasks[j].Kind) &&
                                   trace.Tasks[j].Kind != "link" &&
                                   trace.Tasks[j].Kind != "archive";
            if (ended[j]->EndMs <= task.BeginMs && (!object || generator)) {
                sim.DependsOn.push_back(static_cast<std::int32_t>(j));
            }
        }
        first = std::min<std::int64_t>(first, task.BeginMs);
        last = std::max<std::int64_t>(last, task.EndMs);
        trace.Tasks.push_back(std::move(sim));
    }
    trace.RecordedMs = ended.empty() ? 0 : last - first;
    return trace;
}

} // namespace bench
