#include "viewer/ReportData.h"

#include "packets/TextUtil.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <unordered_map>

namespace viewer {

std::string ResultText(const TBuildModel& model) {
    if (!model.Completed) {
        return "unfinished";
    }
    if (model.Cancelled) {
        return "cancelled";
    }
    return model.Success ? "succeeded" : "failed";
}

std::string StartText(const TBuildModel& model) {
    return model.StartTime > 0 ? packets::FormatDateTime(model.StartTime) : std::string();
}

namespace {

std::string_view ReadEndName(TReadState::TEnd end) {
    switch (end) {
    case TReadState::TEnd::Complete:
        return "complete";
    case TReadState::TEnd::Unfinished:
        return "unfinished";
    case TReadState::TEnd::Damaged:
        return "damaged";
    }
    return "unknown";
}

// The task and output columns are most of the page's data (100 000 tasks make
// millions of values): they are written as text directly, not built as a document.
void AppendNumber(std::string& text, std::int64_t value) {
    char digits[24];
    const auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), value);
    (void)error;
    text.append(digits, end);
}

void AppendString(std::string& text, std::string_view value) {
    // Plain printable ASCII needs no escaping; everything else goes through the JSON
    // library (escapes, and invalid UTF-8 replaced).
    const bool plain = std::all_of(value.begin(), value.end(), [](char c) {
        return c >= 0x20 && c < 0x7f && c != '"' && c != '\\';
    });
    if (plain) {
        text += '"';
        text.append(value);
        text += '"';
        return;
    }
    text += nlohmann::json(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// `"name":[v,v,...]` for every item of `items`.
template <typename TItems, typename TWrite>
void AppendColumn(std::string& text, std::string_view name, const TItems& items, TWrite write,
                  bool first = false) {
    if (!first) {
        text += ',';
    }
    text += '"';
    text.append(name);
    text += "\":[";
    bool any = false;
    for (const auto& item : items) {
        if (any) {
            text += ',';
        }
        any = true;
        write(item);
    }
    text += ']';
}

void AppendTasks(std::string& text, const TBuildModel& model,
                 const std::vector<std::int32_t>& displayPlace) {
    const auto& tasks = model.Tasks;
    const auto number = [&](auto get) {
        return [&text, get](const TTask& task) { AppendNumber(text, get(task)); };
    };
    text += '{';
    AppendColumn(text, "row", tasks, number([&](const TTask& t) {
                     return t.Row >= 0 ? displayPlace[static_cast<std::size_t>(t.Row)] : -1;
                 }),
                 true);
    AppendColumn(text, "begin", tasks, number([](const TTask& t) { return t.BeginMs; }));
    AppendColumn(text, "end", tasks,
                 number([&](const TTask& t) { return t.EndMs >= 0 ? t.EndMs : model.EndMs; }));
    AppendColumn(text, "kind", tasks,
                 number([](const TTask& t) { return static_cast<int>(KindOf(t)); }));
    AppendColumn(text, "exit", tasks, [&](const TTask& t) {
        if (t.ExitCode) {
            AppendNumber(text, *t.ExitCode);
        } else {
            text += "null";
        }
    });
    AppendColumn(text, "name", tasks, [&](const TTask& t) { AppendString(text, t.Name); });
    AppendColumn(text, "cmd", tasks, [&](const TTask& t) { AppendString(text, t.CmdLine); });
    AppendColumn(text, "id", tasks, number([](const TTask& t) { return t.TaskID; }));
    // Hints repeat ("compile: x.o" aside, mostly the same few): each is written once.
    std::unordered_map<std::string_view, int> hintIndex;
    std::vector<std::string_view> hints;
    AppendColumn(text, "hint", tasks, [&](const TTask& t) {
        const auto [known, added] =
            hintIndex.try_emplace(t.Hint, static_cast<int>(hintIndex.size()));
        if (added) {
            hints.push_back(t.Hint);
        }
        AppendNumber(text, known->second);
    });
    AppendColumn(text, "hints", hints, [&](std::string_view h) { AppendString(text, h); });
    AppendColumn(text, "errors", tasks, number([](const TTask& t) { return t.Errors; }));
    text += '}';
}

nlohmann::json Graphs(const TBuildModel& model) {
    nlohmann::json rows = nlohmann::json::array();
    for (const TGraphRow& row : model.Graphs) {
        nlohmann::json sets = nlohmann::json::array();
        for (const TGraphSet& set : row.Sets) {
            nlohmann::json graphs = nlohmann::json::array();
            for (const TGraphDef& graph : set.Graphs) {
                graphs.push_back({{"name", graph.Name},
                                  {"description", graph.Description},
                                  {"units", graph.Units},
                                  {"divideBy", graph.DivideBy}});
            }
            nlohmann::json ms = nlohmann::json::array();
            nlohmann::json values = nlohmann::json::array();
            for (std::size_t g = 0; g < set.Graphs.size(); ++g) {
                values.push_back(nlohmann::json::array());
            }
            for (const TGraphSample& sample : set.Samples) {
                ms.push_back(sample.Ms);
                for (std::size_t g = 0; g < set.Graphs.size(); ++g) {
                    values[g].push_back(sample.Values[g]);
                }
            }
            sets.push_back({{"name", set.Name},
                            {"graphs", std::move(graphs)},
                            {"ms", std::move(ms)},
                            {"values", std::move(values)}});
        }
        rows.push_back({{"id", row.ID}, {"name", row.Name}, {"sets", std::move(sets)}});
    }
    return rows;
}

void AppendOutput(std::string& text, const TBuildModel& model) {
    const auto& lines = model.Output;
    text += '{';
    AppendColumn(
        text, "ms", lines, [&](const TOutputLine& l) { AppendNumber(text, l.Ms); }, true);
    AppendColumn(text, "task", lines, [&](const TOutputLine& l) { AppendNumber(text, l.TaskID); });
    AppendColumn(text, "error", lines,
                 [&](const TOutputLine& l) { AppendNumber(text, l.Error ? 1 : 0); });
    AppendColumn(text, "text", lines, [&](const TOutputLine& l) { AppendString(text, l.Text); });
    text += '}';
}

} // namespace

std::string ReportData(const TBuildModel& model, const TBuildAnalysis& analysis,
                       const nlohmann::json& extra) {
    const std::vector<std::int32_t> display = model.DisplayRows();
    std::vector<std::int32_t> displayPlace(model.Rows.size(), -1);
    nlohmann::json rows = nlohmann::json::array();
    for (std::size_t i = 0; i < display.size(); ++i) {
        const TWorkerRow& row = model.Rows[static_cast<std::size_t>(display[i])];
        displayPlace[static_cast<std::size_t>(display[i])] = static_cast<std::int32_t>(i);
        rows.push_back({{"id", row.ID}, {"caption", row.Caption}, {"machine", row.Machine}});
    }
    nlohmann::json machines = nlohmann::json::array();
    for (const TMachine& machine : model.Machines) {
        machines.push_back({{"host", machine.Host.empty() ? "unknown machine" : machine.Host},
                            {"local", machine.Local}});
    }
    nlohmann::json counts;
    if (model.Counts.Reported) {
        counts = {{"built", model.Counts.Built},
                  {"skipped", model.Counts.Skipped},
                  {"errors", model.Counts.Errors},
                  {"warnings", model.Counts.Warnings}};
    }
    nlohmann::json byKind = nlohmann::json::object();
    for (int k = 0; k < TaskKindCount; ++k) {
        byKind[std::string(KindName(static_cast<TTaskKind>(k)))] = analysis.ByKind[k];
    }
    nlohmann::json data = {
        {"build",
         {{"caption", model.Caption},
          {"primaryFile", model.PrimaryFile},
          {"computer", model.ComputerName},
          {"user", model.UserName},
          {"id", model.BuildID},
          {"start", StartText(model)},
          {"durationMs", model.EndMs},
          {"result", ResultText(model)},
          {"summary", model.Summary},
          {"exitCode", model.ExitCode},
          {"errors", model.ErrorCount},
          {"warnings", model.WarningCount},
          {"systemErrors", model.SystemErrorCount},
          {"systemWarnings", model.SystemWarningCount},
          {"counts", std::move(counts)},
          {"cache", model.CacheSummary}}},
        {"read",
         {{"end", ReadEndName(model.Read.End)},
          {"events", model.Read.Events},
          {"stoppedAt", model.Read.StoppedAt},
          {"reason", model.Read.Reason},
          {"markedIncomplete", model.Read.FileMarkedIncomplete}}},
        {"machines", std::move(machines)},
        {"rows", std::move(rows)},
        {"graphs", Graphs(model)},
        {"analysis",
         {{"byKind", std::move(byKind)},
          {"busyMs", analysis.BusyMs},
          {"averageBusyRows", analysis.AverageBusyRows},
          {"peakBusyRows", analysis.PeakBusyRows},
          {"utilisation", analysis.Utilisation},
          {"slowest", analysis.Slowest},
          {"critical", analysis.CriticalPath},
          {"criticalFromDependencies", analysis.CriticalPathFromDependencies}}},
    };
    for (const auto& [key, value] : extra.items()) {
        data[key] = value;
    }
    std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text.pop_back(); // the closing brace: the columns follow
    text.reserve(text.size() + model.Tasks.size() * 120 + model.Output.size() * 60);
    text += ",\"tasks\":";
    AppendTasks(text, model, displayPlace);
    text += ",\"output\":";
    AppendOutput(text, model);
    text += '}';
    return text;
}

} // namespace viewer
