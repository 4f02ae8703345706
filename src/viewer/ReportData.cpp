#include "viewer/ReportData.h"

#include "packets/TextUtil.h"

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

nlohmann::json Tasks(const TBuildModel& model, const std::vector<std::int32_t>& displayPlace) {
    nlohmann::json row = nlohmann::json::array(), begin = nlohmann::json::array(),
                   end = nlohmann::json::array(), kind = nlohmann::json::array(),
                   exitCode = nlohmann::json::array(), name = nlohmann::json::array(),
                   cmd = nlohmann::json::array(), id = nlohmann::json::array(),
                   hint = nlohmann::json::array(), errors = nlohmann::json::array(),
                   hints = nlohmann::json::array();
    // Hints repeat ("compile: x.o" aside, mostly the same few): each is written once.
    std::unordered_map<std::string, int> hintIndex;
    for (const TTask& task : model.Tasks) {
        row.push_back(task.Row >= 0 ? displayPlace[static_cast<std::size_t>(task.Row)] : -1);
        begin.push_back(task.BeginMs);
        end.push_back(task.EndMs >= 0 ? task.EndMs : model.EndMs);
        kind.push_back(static_cast<int>(KindOf(task)));
        exitCode.push_back(task.ExitCode ? nlohmann::json(*task.ExitCode) : nlohmann::json());
        name.push_back(task.Name);
        cmd.push_back(task.CmdLine);
        id.push_back(task.TaskID);
        const auto [known, added] =
            hintIndex.try_emplace(task.Hint, static_cast<int>(hintIndex.size()));
        if (added) {
            hints.push_back(task.Hint);
        }
        hint.push_back(known->second);
        errors.push_back(task.Errors);
    }
    return {{"row", std::move(row)},     {"begin", std::move(begin)},   {"end", std::move(end)},
            {"kind", std::move(kind)},   {"exit", std::move(exitCode)}, {"name", std::move(name)},
            {"cmd", std::move(cmd)},     {"id", std::move(id)},         {"hint", std::move(hint)},
            {"hints", std::move(hints)}, {"errors", std::move(errors)}};
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

nlohmann::json Output(const TBuildModel& model) {
    nlohmann::json ms = nlohmann::json::array(), task = nlohmann::json::array(),
                   error = nlohmann::json::array(), text = nlohmann::json::array();
    for (const TOutputLine& line : model.Output) {
        ms.push_back(line.Ms);
        task.push_back(line.TaskID);
        error.push_back(line.Error ? 1 : 0);
        text.push_back(line.Text);
    }
    return {{"ms", std::move(ms)},
            {"task", std::move(task)},
            {"error", std::move(error)},
            {"text", std::move(text)}};
}

} // namespace

nlohmann::json ReportData(const TBuildModel& model, const TBuildAnalysis& analysis) {
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
    return {
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
        {"tasks", Tasks(model, displayPlace)},
        {"graphs", Graphs(model)},
        {"output", Output(model)},
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
}

} // namespace viewer
