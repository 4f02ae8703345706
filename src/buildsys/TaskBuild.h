#pragma once
// A build run at task level: the worker rows of this machine, the scheduler and its
// endpoint, the interception set up in the build command's environment, and the
// events of rows, tasks, counts, the project and the graphs.
//
// Start: rows, project list, employ per row, graph definitions; the command gets
// <Folder>/masq first on PATH, the exec hook in LD_PRELOAD, the endpoint, the profiled
// tool names and the launcher in MORVEK_TASK_*, and (unless the request keeps the
// job count) enough parallel work for the rows. While it runs: a graph sample once a
// second. Finish: the endpoint closes (a launcher still connected is a lost task) and
// every row is unemployed.
#include "buildsys/BuildEngines.h"
#include "buildsys/BuildPlan.h"
#include "buildsys/GraphSampler.h"
#include "buildsys/Scheduler.h"
#include "buildsys/TaskEndpoint.h"
#include "buildsys/TaskEvents.h"
#include "buildsys/TaskRules.h"
#include "proxy/HelperState.h"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace buildsys {

struct TTaskBuildSetup {
    std::string AgentFolder; // <Folder>: masq/, the hook and the launcher
    std::string BuildID;     // names the endpoint
    std::string Tools;       // ":"-separated file name patterns of the profiled tools
    std::optional<std::int64_t> LocalCoresLimit; // the agent's setting, if any
    TBuildCacheSetup Cache;
    std::shared_ptr<const TTaskRules> Rules; // the job profile's, if any
};

struct TInterception {
    std::string AgentFolder;
    std::string Endpoint;
    std::string Tools;      // ":"-separated file name patterns
    bool Masquerade = true; // <Folder>/masq is installed
    bool Hook = true;       // <Folder>/libMorvekHook.so is installed
};

// The interception entries of a build's environment ("name=value"), `path` and
// `preload` being the build's own PATH and LD_PRELOAD.
std::vector<std::string> InterceptionEnvironment(const TInterception& interception,
                                                 const std::optional<std::string>& path,
                                                 const std::optional<std::string>& preload);

// The value of `name` in an environment block; none when absent.
std::optional<std::string> EnvironmentValue(std::string_view block, std::string_view name);

class TTaskBuild {
public:
    using TAdd = std::function<void(const packets::TPacket&)>;
    // `add` must be safe to call from any thread (launcher connections report through it).
    TTaskBuild(const records::TBuildCommandPacket& request, TTaskBuildSetup setup, TAdd add,
               std::function<std::int32_t()> ms);
    ~TTaskBuild();

    // Emits the start events and rewrites `plan` (command and environment).
    void Start(TBuildPlan& plan);
    // Samples the graphs when due; returns the tick of the next sample.
    std::uint64_t Tick(std::uint64_t now);
    // True once the first failure of a build that stops on errors asked to stop.
    bool StopRequested() const { return stopRequested; }
    void Finish();
    TSchedulerCounts Counts() const { return scheduler->Counts(); }
    std::int32_t RowCount() const { return static_cast<std::int32_t>(rows.size()); }
    // What Start found missing of the interception.
    const std::vector<std::string>& Warnings() const { return warnings; }
    // The error and warning lines in the output of the tasks.
    std::int32_t OutputErrors() const { return outputErrors; }
    std::int32_t OutputWarnings() const { return outputWarnings; }

private:
    const records::TBuildCommandPacket& request;
    TTaskBuildSetup setup;
    TAdd add;
    std::function<std::int32_t()> ms;
    std::vector<TWorkerRow> rows;
    std::unique_ptr<TTaskEvents> events;
    std::unique_ptr<TScheduler> scheduler;
    std::unique_ptr<TBuildEngines> engines;
    std::unique_ptr<TTaskEndpoint> endpoint;
    std::unique_ptr<TGraphSampler> sampler;
    std::atomic<bool> stopRequested{false};
    std::atomic<std::int32_t> outputErrors{0};
    std::atomic<std::int32_t> outputWarnings{0};
    void TaskOutput(std::int32_t taskID, const TOutputText& text);
    bool finished = false;
    std::size_t employed = 0; // rows with an employ event
    std::vector<std::string> warnings;
};

} // namespace buildsys
