#include "buildsys/TaskBuild.h"

#include "buildsys/MachineInfo.h"
#include "buildsys/ParallelJobs.h"
#include "buildsys/WorkerRows.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/SystemInfo.h"

#include <stdexcept>

namespace buildsys {

namespace {

constexpr const char* DefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

} // namespace

std::optional<std::string> EnvironmentValue(std::string_view block, std::string_view name) {
    while (!block.empty() && block.front() != '\0') {
        const std::size_t end = std::min(block.find('\0'), block.size());
        const std::string_view entry = block.substr(0, end);
        if (entry.size() > name.size() && entry.starts_with(name) && entry[name.size()] == '=') {
            return std::string(entry.substr(name.size() + 1));
        }
        block.remove_prefix(std::min(end + 1, block.size()));
    }
    return std::nullopt;
}

std::vector<std::string> InterceptionEnvironment(const TInterception& interception,
                                                 const std::optional<std::string>& path,
                                                 const std::optional<std::string>& preload) {
    const std::string& folder = interception.AgentFolder;
    std::vector<std::string> entries = {
        "MORVEK_TASK_ENDPOINT=" + interception.Endpoint,
        "MORVEK_TASK_TOOLS=" + interception.Tools,
        "MORVEK_TASK_LAUNCHER=" + folder + "/morvek-task",
    };
    if (interception.Masquerade) {
        const std::string searchPath = path && !path->empty() ? *path : DefaultSearchPath;
        entries.push_back("PATH=" + folder + "/masq:" + searchPath);
    }
    if (interception.Hook) {
        const std::string hook = folder + "/libMorvekHook.so";
        entries.push_back("LD_PRELOAD=" +
                          (preload && !preload->empty() ? hook + " " + *preload : hook));
    }
    return entries;
}

TTaskBuild::TTaskBuild(const records::TBuildCommandPacket& request, TTaskBuildSetup setup, TAdd add,
                       std::function<std::int32_t()> ms)
    : request(request), setup(std::move(setup)), add(std::move(add)), ms(std::move(ms)) {}

TTaskBuild::~TTaskBuild() {
    Finish();
}

void TTaskBuild::Start(TBuildPlan& plan) {
    const platform::TMachineFacts facts = platform::ReadMachineFacts();
    const std::int32_t rowCount = LocalRowCount(platform::UsableCpuCount(), setup.LocalCoresLimit,
                                                request.OverrideMaxHelpersPerJob);
    rows = LocalWorkerRows(facts.HostName, rowCount);

    records::TMonitorEventProjectListPacket projects;
    projects.ms = ms();
    records::TMonitorEventProjectPacket& project = projects.List.AddNew();
    project.Name = request.Caption.empty() ? request.PrimaryFilename : request.Caption;
    project.Filename = request.PrimaryFilename;
    add(projects);

    records::TStaticPacket staticInfo;
    FillStaticInfo(facts, rowCount, staticInfo);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        records::TMonitorEventEmployPacket employ;
        employ.ms = ms();
        employ.ID = rows[i].ID;
        employ.RowIndex = static_cast<std::int32_t>(i);
        employ.StaticInfo.Assign(staticInfo);
        employ.Caption = rows[i].Caption;
        employ.Host = rows[i].Host;
        employ.Local = rows[i].Local;
        add(employ);
        employed = i + 1;
    }
    if (!request.HasFlag(records::TBuildFlag::MonitorSuppressGraphs)) {
        sampler = std::make_unique<TGraphSampler>(add, ms);
        sampler->Define();
    }

    TTaskEventOptions options;
    options.ShowCmd = request.HasFlag(records::TBuildFlag::ShowCmd);
    options.ShowAgent = request.HasFlag(records::TBuildFlag::ShowAgent);
    options.ShowTime = request.HasFlag(records::TBuildFlag::ShowTime);
    options.SuppressBars = request.HasFlag(records::TBuildFlag::MonitorSuppressBars);
    events = std::make_unique<TTaskEvents>(options, add, ms,
                                           [this](const std::string&) { stopRequested = true; });
    scheduler = std::make_unique<TScheduler>(
        rows, request.HasFlag(records::TBuildFlag::StopOnErrors), *events);
    scheduler->SetRules(setup.Rules);
    endpoint = std::make_unique<TTaskEndpoint>(*scheduler, TTaskEndpoint::PathFor(setup.BuildID));

    TInterception interception;
    interception.AgentFolder = setup.AgentFolder;
    interception.Endpoint = endpoint->Path();
    interception.Tools = setup.Tools;
    interception.Masquerade = platform::DirectoryExists(setup.AgentFolder + "/masq");
    interception.Hook = platform::FileExists(setup.AgentFolder + "/libMorvekHook.so");
    if (!interception.Masquerade) {
        warnings.push_back("The masquerade folder " + setup.AgentFolder +
                           "/masq is not installed: tools called by bare name are no tasks.");
    }
    if (!interception.Hook) {
        warnings.push_back("The exec hook " + setup.AgentFolder +
                           "/libMorvekHook.so is not installed: tools called by path are no "
                           "tasks.");
    }
    std::vector<std::string> forced =
        InterceptionEnvironment(interception, EnvironmentValue(plan.Environment, "PATH"),
                                EnvironmentValue(plan.Environment, "LD_PRELOAD"));
    if (!request.KeepNumOfJobs) {
        const bool shellCommand = plan.Arguments.size() == 3 && plan.Arguments[1] == "-c";
        const TParallelCommand parallel =
            OfferParallelism(shellCommand ? plan.Arguments[2] : std::string(),
                             EnvironmentValue(plan.Environment, "MAKEFLAGS"), rowCount);
        if (shellCommand) {
            plan.Arguments[2] = parallel.Command;
        }
        if (parallel.MakeFlags) {
            forced.push_back("MAKEFLAGS=" + *parallel.MakeFlags);
        }
    }
    plan.Environment = MergeEnvironment(plan.Environment, forced);
    nextSample = platform::GetTickCount64() + TGraphSampler::IntervalMs;
}

std::uint64_t TTaskBuild::Tick(std::uint64_t now) {
    if (!sampler) {
        return now + TGraphSampler::IntervalMs;
    }
    if (now >= nextSample) {
        const TSchedulerCounts counts = scheduler->Counts();
        sampler->Sample(counts.Running, counts.Waiting);
        nextSample = now + TGraphSampler::IntervalMs;
    }
    return nextSample;
}

void TTaskBuild::Finish() {
    if (finished) {
        return;
    }
    finished = true;
    if (scheduler) {
        scheduler->Stop("The build has ended.");
    }
    if (endpoint) {
        endpoint->Stop();
    }
    // Also when Start failed half way: every employed row is released.
    for (std::size_t i = 0; i < employed; ++i) {
        records::TMonitorEventUnemployPacket unemploy;
        unemploy.ms = ms();
        unemploy.ID = rows[i].ID;
        unemploy.RowIndex = static_cast<std::int32_t>(i);
        add(unemploy);
    }
}

} // namespace buildsys
