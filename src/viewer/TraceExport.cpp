#include "viewer/TraceExport.h"

#include "viewer/BuildAnalysis.h"

#include <nlohmann/json.hpp>

namespace viewer {

namespace {

constexpr auto Replace = nlohmann::json::error_handler_t::replace;

std::int64_t Micros(std::int32_t ms) {
    return static_cast<std::int64_t>(ms) * 1000;
}

class TEventList {
public:
    explicit TEventList(const std::function<void(std::string_view)>& write) : write(write) {
        write("{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n");
    }
    void Add(const nlohmann::json& event) {
        if (!first) {
            write(",\n");
        }
        first = false;
        write(event.dump(-1, ' ', false, Replace));
    }
    void Close(const nlohmann::json& otherData) {
        write("\n],\"otherData\":");
        write(otherData.dump(-1, ' ', false, Replace));
        write("}\n");
    }

private:
    const std::function<void(std::string_view)>& write;
    bool first = true;
};

nlohmann::json Meta(std::string_view what, int pid, int tid, nlohmann::json args) {
    return {{"name", what}, {"ph", "M"}, {"pid", pid}, {"tid", tid}, {"args", std::move(args)}};
}

} // namespace

void WriteTrace(const TBuildModel& model, const std::function<void(std::string_view)>& write) {
    TEventList events(write);
    // Processes: 1.. for the machines (local ones sorted first), then the build itself.
    const int buildPid = static_cast<int>(model.Machines.size()) + 1;
    for (std::size_t m = 0; m < model.Machines.size(); ++m) {
        const TMachine& machine = model.Machines[m];
        const int pid = static_cast<int>(m) + 1;
        const std::string host = machine.Host.empty() ? "unknown machine" : machine.Host;
        events.Add(Meta("process_name", pid, 0,
                        {{"name", host + (machine.Local ? " (local)" : " (helper)")}}));
        events.Add(
            Meta("process_sort_index", pid, 0, {{"sort_index", (machine.Local ? 0 : 1000) + pid}}));
    }
    events.Add(Meta("process_name", buildPid, 0, {{"name", "Build: " + model.Caption}}));
    events.Add(Meta("process_sort_index", buildPid, 0, {{"sort_index", 100000}}));
    events.Add(Meta("thread_name", buildPid, 0, {{"name", "graphs"}}));
    // Threads: worker row i is tid i + 1 in its machine's process.
    for (std::size_t r = 0; r < model.Rows.size(); ++r) {
        const TWorkerRow& row = model.Rows[r];
        const int pid = row.Machine + 1;
        const int tid = static_cast<int>(r) + 1;
        events.Add(Meta("thread_name", pid, tid, {{"name", row.Caption}}));
        events.Add(Meta("thread_sort_index", pid, tid, {{"sort_index", tid}}));
    }
    // Tasks without a row (restored from the cache) go on a thread of the build.
    const int cacheTid = 1;
    bool anyWithoutRow = false;
    for (const TTask& task : model.Tasks) {
        anyWithoutRow = anyWithoutRow || task.Row < 0;
    }
    if (anyWithoutRow) {
        events.Add(Meta("thread_name", buildPid, cacheTid, {{"name", "build cache"}}));
    }

    for (const TTask& task : model.Tasks) {
        const int pid =
            task.Row >= 0 ? model.Rows[static_cast<std::size_t>(task.Row)].Machine + 1 : buildPid;
        const int tid = task.Row >= 0 ? task.Row + 1 : cacheTid;
        nlohmann::json args = {
            {"task", task.TaskID}, {"outcome", KindName(KindOf(task))}, {"command", task.CmdLine}};
        if (task.Row >= 0) {
            args["worker"] = model.Rows[static_cast<std::size_t>(task.Row)].Caption;
        }
        if (task.ExitCode) {
            args["exitCode"] = *task.ExitCode;
        }
        if (task.Attempt > 1) {
            args["attempt"] = task.Attempt;
        }
        events.Add({{"name", task.Name.empty() ? task.App : task.Name},
                    {"cat", KindName(KindOf(task))},
                    {"ph", "X"},
                    {"ts", Micros(task.BeginMs)},
                    {"dur", Micros(task.DurationMs(model.EndMs))},
                    {"pid", pid},
                    {"tid", tid},
                    {"args", std::move(args)}});
    }

    for (const TGraphRow& row : model.Graphs) {
        for (const TGraphSet& set : row.Sets) {
            const std::string name = set.Name.empty() ? row.Name : set.Name;
            for (const TGraphSample& sample : set.Samples) {
                nlohmann::json args = nlohmann::json::object();
                for (std::size_t g = 0; g < set.Graphs.size(); ++g) {
                    const TGraphDef& graph = set.Graphs[g];
                    const std::string label =
                        graph.Units.empty() ? graph.Name : graph.Name + " (" + graph.Units + ")";
                    args[label] = static_cast<double>(sample.Values[g]) / graph.DivideBy;
                }
                events.Add({{"name", name},
                            {"ph", "C"},
                            {"ts", Micros(sample.Ms)},
                            {"pid", buildPid},
                            {"tid", 0},
                            {"args", std::move(args)}});
            }
        }
    }
    events.Close({{"caption", model.Caption},
                  {"buildID", model.BuildID},
                  {"computer", model.ComputerName},
                  {"durationMs", model.EndMs}});
}

} // namespace viewer
