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

// What the page shows of a task.
TPageState::TTaskMark MarkOf(const TTask& t, const std::vector<std::int32_t>& displayPlace) {
    TPageState::TTaskMark mark;
    mark.Row = t.Row >= 0 ? displayPlace[static_cast<std::size_t>(t.Row)] : -1;
    mark.Begin = t.BeginMs;
    // A running task's end is the build's so far: the page draws it so, and it is not
    // sent again on every update.
    mark.End = t.EndMs;
    mark.Kind = static_cast<int>(KindOf(t));
    mark.Exit = t.ExitCode ? *t.ExitCode : std::int64_t{1} << 40;
    mark.Errors = t.Errors;
    // The texts are set when a task begins and at most filled in later (a restore's
    // command line): their lengths tell, without reading every text on every update.
    mark.Text = t.Name.size() ^ (t.CmdLine.size() << 21) ^ (t.Hint.size() << 42);
    return mark;
}

void AppendTasks(std::string& text, const TBuildModel& model,
                 const std::vector<std::int32_t>& displayPlace, TPageState& state) {
    const auto& tasks = model.Tasks;
    std::vector<const TTask*> changed;
    std::vector<std::int32_t> at;
    bool inOrder = true;
    state.Tasks.resize(tasks.size(), TPageState::TTaskMark{.Kind = -1});
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        const TPageState::TTaskMark mark = MarkOf(tasks[i], displayPlace);
        if (mark == state.Tasks[i]) {
            continue;
        }
        state.Tasks[i] = mark;
        inOrder = inOrder && at.size() == i;
        at.push_back(static_cast<std::int32_t>(i));
        changed.push_back(&tasks[i]);
    }
    const auto number = [&](auto get) {
        return [&text, get](const TTask* task) { AppendNumber(text, get(*task)); };
    };
    text += '{';
    AppendColumn(text, "row", changed, number([&](const TTask& t) {
                     return t.Row >= 0 ? displayPlace[static_cast<std::size_t>(t.Row)] : -1;
                 }),
                 true);
    if (!inOrder) {
        AppendColumn(text, "at", at, [&](std::int32_t i) { AppendNumber(text, i); });
    }
    AppendColumn(text, "begin", changed, number([](const TTask& t) { return t.BeginMs; }));
    AppendColumn(text, "end", changed, number([](const TTask& t) { return t.EndMs; }));
    AppendColumn(text, "kind", changed,
                 number([](const TTask& t) { return static_cast<int>(KindOf(t)); }));
    AppendColumn(text, "exit", changed, [&](const TTask* t) {
        if (t->ExitCode) {
            AppendNumber(text, *t->ExitCode);
        } else {
            text += "null";
        }
    });
    AppendColumn(text, "name", changed, [&](const TTask* t) { AppendString(text, t->Name); });
    AppendColumn(text, "cmd", changed, [&](const TTask* t) { AppendString(text, t->CmdLine); });
    AppendColumn(text, "id", changed, number([](const TTask& t) { return t.TaskID; }));
    // Hints repeat ("compile: x.o" aside, mostly the same few): each is sent once.
    const std::size_t hintsFrom = state.Hints.size();
    std::vector<std::string_view> hints;
    AppendColumn(text, "hint", changed, [&](const TTask* t) {
        const auto [known, added] =
            state.Hints.try_emplace(t->Hint, static_cast<std::int32_t>(state.Hints.size()));
        if (added) {
            hints.push_back(t->Hint);
        }
        AppendNumber(text, known->second);
    });
    AppendColumn(text, "hints", hints, [&](std::string_view h) { AppendString(text, h); });
    if (hintsFrom > 0) {
        text += ",\"hintsFrom\":";
        AppendNumber(text, static_cast<std::int64_t>(hintsFrom));
    }
    AppendColumn(text, "errors", changed, number([](const TTask& t) { return t.Errors; }));
    text += '}';
}

// The graph rows with the samples the page does not hold yet; null when there are none.
nlohmann::json Graphs(const TBuildModel& model, TPageState& state) {
    nlohmann::json rows = nlohmann::json::array();
    bool news = state.Samples.size() != model.Graphs.size();
    state.Samples.resize(model.Graphs.size());
    for (std::size_t r = 0; r < model.Graphs.size(); ++r) {
        const TGraphRow& row = model.Graphs[r];
        std::vector<std::size_t>& sent = state.Samples[r];
        news = news || sent.size() != row.Sets.size();
        sent.resize(row.Sets.size());
        nlohmann::json sets = nlohmann::json::array();
        for (std::size_t n = 0; n < row.Sets.size(); ++n) {
            const TGraphSet& set = row.Sets[n];
            const std::size_t from = std::min(sent[n], set.Samples.size());
            news = news || from < set.Samples.size();
            sent[n] = set.Samples.size();
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
            for (std::size_t k = from; k < set.Samples.size(); ++k) {
                const TGraphSample& sample = set.Samples[k];
                ms.push_back(sample.Ms);
                for (std::size_t g = 0; g < set.Graphs.size(); ++g) {
                    values[g].push_back(sample.Values[g]);
                }
            }
            nlohmann::json written = {{"name", set.Name},
                                      {"graphs", std::move(graphs)},
                                      {"ms", std::move(ms)},
                                      {"values", std::move(values)}};
            if (from > 0) {
                written["from"] = from;
            }
            sets.push_back(std::move(written));
        }
        rows.push_back({{"id", row.ID}, {"name", row.Name}, {"sets", std::move(sets)}});
    }
    return news ? rows : nlohmann::json();
}

void AppendOutput(std::string& text, const TBuildModel& model, std::size_t from) {
    // A plain pair of iterators: clang with this standard library rejects a subrange of
    // deque iterators.
    struct TLines {
        decltype(model.Output.begin()) First, Last;
        auto begin() const { return First; }
        auto end() const { return Last; }
    };
    const TLines lines{model.Output.begin() + static_cast<std::ptrdiff_t>(from),
                       model.Output.end()};
    text += '{';
    AppendColumn(
        text, "ms", lines, [&](const TOutputLine& l) { AppendNumber(text, l.Ms); }, true);
    AppendColumn(text, "task", lines, [&](const TOutputLine& l) { AppendNumber(text, l.TaskID); });
    AppendColumn(text, "error", lines,
                 [&](const TOutputLine& l) { AppendNumber(text, l.Error ? 1 : 0); });
    AppendColumn(text, "text", lines, [&](const TOutputLine& l) { AppendString(text, l.Text); });
    if (from > 0) {
        text += ",\"from\":";
        AppendNumber(text, static_cast<std::int64_t>(from));
    }
    text += '}';
}

} // namespace

bool ContinuesRows(const TPageState& state, const TBuildModel& model) {
    const std::vector<std::int32_t> display = model.DisplayRows();
    return display.size() >= state.Rows.size() &&
           std::equal(state.Rows.begin(), state.Rows.end(), display.begin());
}

std::string ReportData(const TBuildModel& model, const TBuildAnalysis& analysis,
                       const nlohmann::json& extra) {
    TPageState empty;
    return ReportDocument(model, analysis, extra, empty);
}

std::string ReportDocument(const TBuildModel& model, const TBuildAnalysis& analysis,
                           const nlohmann::json& extra, TPageState& state) {
    const bool whole = state.Sections.empty();
    const std::vector<std::int32_t> display = model.DisplayRows();
    std::vector<std::int32_t> displayPlace(model.Rows.size(), -1);
    nlohmann::json rows = nlohmann::json::array();
    const std::size_t rowsFrom = std::min(state.Rows.size(), display.size());
    for (std::size_t i = 0; i < display.size(); ++i) {
        const TWorkerRow& row = model.Rows[static_cast<std::size_t>(display[i])];
        displayPlace[static_cast<std::size_t>(display[i])] = static_cast<std::int32_t>(i);
        if (i >= rowsFrom) {
            rows.push_back({{"id", row.ID}, {"caption", row.Caption}, {"machine", row.Machine}});
        }
    }
    state.Rows = display;
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
    const auto criticalShown =
        static_cast<std::ptrdiff_t>(std::min(analysis.CriticalPath.size(), PageCriticalTasks));
    nlohmann::json sections = {
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
        {"analysis",
         {{"byKind", std::move(byKind)},
          {"busyMs", analysis.BusyMs},
          {"averageBusyRows", analysis.AverageBusyRows},
          {"peakBusyRows", analysis.PeakBusyRows},
          {"utilisation", analysis.Utilisation},
          {"slowest", analysis.Slowest},
          // The page lists the end of the path: only that is sent, so a long build's
          // updates do not carry its whole path every time.
          {"critical", std::vector<std::int32_t>(analysis.CriticalPath.end() - criticalShown,
                                                 analysis.CriticalPath.end())},
          {"criticalTasks", analysis.CriticalPath.size()},
          {"criticalFromDependencies", analysis.CriticalPathFromDependencies}}},
    };
    for (const auto& [key, value] : extra.items()) {
        sections[key] = value;
    }
    // Only the sections that differ from what the page holds.
    nlohmann::json data = nlohmann::json::object();
    for (auto& [key, value] : sections.items()) {
        std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        std::string& sent = state.Sections[key];
        if (whole || text != sent) {
            data[key] = std::move(value);
            sent = std::move(text);
        }
    }
    if (whole || !rows.empty()) {
        data["rows"] = std::move(rows);
        if (rowsFrom > 0) {
            data["rowsFrom"] = rowsFrom;
        }
    }
    nlohmann::json graphs = Graphs(model, state);
    if (whole || !graphs.is_null()) {
        data["graphs"] = graphs.is_null() ? nlohmann::json::array() : std::move(graphs);
    }
    std::string text = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    text.pop_back(); // the closing brace: the columns follow
    const std::size_t outputFrom = std::min(state.Output, model.Output.size());
    text.reserve(text.size() +
                 (model.Tasks.size() - std::min(model.Tasks.size(), state.Tasks.size())) * 120 +
                 (model.Output.size() - outputFrom) * 60);
    const bool members = text.size() > 1;
    text += members ? ",\"tasks\":" : "\"tasks\":";
    AppendTasks(text, model, displayPlace, state);
    if (whole || outputFrom < model.Output.size()) {
        text += ",\"output\":";
        AppendOutput(text, model, outputFrom);
        state.Output = model.Output.size();
    }
    text += '}';
    return text;
}

} // namespace viewer
