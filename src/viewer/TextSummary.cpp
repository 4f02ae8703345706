#include "viewer/TextSummary.h"

#include "viewer/ReportData.h"

#include <cstdio>

namespace viewer {

std::string DurationText(std::int64_t ms) {
    char text[64];
    if (ms >= 60000) {
        std::snprintf(text, sizeof text, "%lldm %06.3fs", static_cast<long long>(ms / 60000),
                      static_cast<double>(ms % 60000) / 1000.0);
    } else {
        std::snprintf(text, sizeof text, "%.3fs", static_cast<double>(ms) / 1000.0);
    }
    return text;
}

namespace {
std::string Format(const char* format, double a, double b = 0, double c = 0) {
    char text[160];
    std::snprintf(text, sizeof text, format, a, b, c);
    return text;
}
} // namespace

std::string SummaryText(const TBuildModel& model, const TBuildAnalysis& analysis) {
    std::string out;
    const std::string& name = model.Caption.empty() ? model.PrimaryFile : model.Caption;
    out += "Build:       " + (name.empty() ? std::string("(no caption)") : name) + "\n";
    if (!model.BuildID.empty()) {
        out += "ID:          " + model.BuildID + "\n";
    }
    if (const std::string start = StartText(model); !start.empty()) {
        out += "Started:     " + start + "\n";
    }
    out += "Duration:    " + DurationText(model.EndMs) + "\n";
    out += "Result:      " + ResultText(model);
    if (model.Completed) {
        out += " (exit code " + std::to_string(model.ExitCode) + ")";
    }
    out += "\n";
    if (!model.Summary.empty()) {
        out += "Summary:     " + model.Summary + "\n";
    }
    if (model.Counts.Reported) {
        out += "Counts:      " + std::to_string(model.Counts.Built) + " built, " +
               std::to_string(model.Counts.Skipped) + " skipped, " +
               std::to_string(model.Counts.Errors) + " error(s), " +
               std::to_string(model.Counts.Warnings) + " warning(s)\n";
    }
    out += "Tasks:       " + std::to_string(model.Tasks.size());
    for (int k = 0; k < TaskKindCount; ++k) {
        if (analysis.ByKind[k] > 0) {
            out += ", " + std::to_string(analysis.ByKind[k]) + " " +
                   std::string(KindName(static_cast<TTaskKind>(k)));
        }
    }
    out += "\n";
    out += "Rows:        " + std::to_string(model.Rows.size()) + " on " +
           std::to_string(model.Machines.size()) + " machine(s)\n";
    out += "Parallelism: " + Format("%.2f rows busy on average, peak %.0f, utilisation %.1f%%\n",
                                    analysis.AverageBusyRows, analysis.PeakBusyRows,
                                    analysis.Utilisation * 100.0);
    if (!analysis.Slowest.empty()) {
        out += "Slowest tasks:\n";
        for (std::size_t i = 0; i < analysis.Slowest.size() && i < SummarySlowestTasks; ++i) {
            const TTask& task = model.Tasks[static_cast<std::size_t>(analysis.Slowest[i])];
            std::string where = task.Row >= 0
                                    ? model.Rows[static_cast<std::size_t>(task.Row)].Caption
                                    : std::string("build cache");
            char line[64];
            std::snprintf(line, sizeof line, "  %2zu. %12s  ", i + 1,
                          DurationText(task.DurationMs(model.EndMs)).c_str());
            out += line + task.Name + "  [" + std::string(KindName(KindOf(task))) + ", " + where +
                   "]\n";
        }
    }
    if (!model.CacheSummary.empty()) {
        out += "Build cache:\n";
        for (const std::string& line : model.CacheSummary) {
            out += "  " + line + "\n";
        }
    }
    switch (model.Read.End) {
    case TReadState::TEnd::Complete:
        break;
    case TReadState::TEnd::Unfinished:
        out += "Note:        the history ends before the build did (" +
               std::to_string(model.Read.Events) + " events, " +
               std::to_string(model.Read.StoppedAt) +
               " bytes read); it may still be being written.\n";
        break;
    case TReadState::TEnd::Damaged:
        out += "Note:        reading stopped at byte " + std::to_string(model.Read.StoppedAt) +
               " of the event stream after " + std::to_string(model.Read.Events) +
               " events: " + model.Read.Reason + "\n";
        break;
    }
    return out;
}

} // namespace viewer
