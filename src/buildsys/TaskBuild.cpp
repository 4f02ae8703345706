#include "buildsys/TaskBuild.h"

#include "buildsys/HelperRows.h"
#include "buildsys/MachineInfo.h"
#include "buildsys/OutputEvent.h"
#include "buildsys/ParallelJobs.h"
#include "buildsys/SchedulerPolicySetup.h"
#include "buildsys/WorkerRows.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SystemInfo.h"

#include <climits>
#include <filesystem>
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
    const std::int32_t localCount = LocalRowCount(platform::UsableCpuCount(), setup.LocalCoresLimit,
                                                  request.OverrideMaxHelpersPerJob);
    rows = LocalWorkerRows(facts.HostName, localCount);
    // /MAXCPUS counts this machine's rows and the helpers' together.
    const std::int32_t maxCpus = request.OverrideMaxHelpersPerJob;
    engines =
        std::make_unique<TBuildEngines>(setup.AgentFolder, setup.BuildID, setup.Cache, add, ms);
    const std::vector<TWorkerRow> helperRows =
        engines->HelperRows(maxCpus > 0 ? std::max(0, maxCpus - localCount) : INT_MAX, warnings);
    rows.insert(rows.end(), helperRows.begin(), helperRows.end());

    records::TMonitorEventProjectListPacket projects;
    projects.ms = ms();
    records::TMonitorEventProjectPacket& project = projects.List.AddNew();
    project.Name = request.Caption.empty() ? request.PrimaryFilename : request.Caption;
    project.Filename = request.PrimaryFilename;
    add(projects);

    records::TStaticPacket staticInfo;
    FillStaticInfo(facts, localCount, staticInfo);
    for (std::size_t i = 0; i < static_cast<std::size_t>(localCount); ++i) {
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
        // The row is ready at once; its end of initialisation tells whether it caches.
        records::TMonitorEventBeginInitPacket beginInit;
        beginInit.WorkerID = rows[i].ID;
        beginInit.RowCaption = rows[i].Caption;
        add(beginInit);
        records::TMonitorEventEndInitPacket endInit;
        endInit.ms = ms();
        endInit.WorkerID = rows[i].ID;
        endInit.UseBuildCache = setup.Cache.Enabled ? 1 : 0;
        add(endInit);
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
    events->OnRowEmployment(
        [this](std::int32_t index, const TWorkerRow& row, bool on, const std::string& reason) {
            engines->RowEmployment(index, row, on, reason);
        });
    scheduler = std::make_unique<TScheduler>(
        rows, request.HasFlag(records::TBuildFlag::StopOnErrors), *events);
    scheduler->SetPolicy(SchedulerPolicyFor(request));
    scheduler->SetRules(setup.Rules);
    const std::vector<TTaskEngine*> order = engines->Start(*scheduler);
    // make starts as many jobs as every row could run, also the rows of helpers that
    // answer only later: the scheduler keeps the ones without a free row waiting.
    const auto rowCount = static_cast<std::int32_t>(rows.size());
    events->SetCacheStatus(
        [this](const TRunningTask& task) { return engines->Cache().Status(task); });
    endpoint = std::make_unique<TTaskEndpoint>(
        *scheduler, TTaskEndpoint::PathFor(setup.BuildID), order,
        [this](std::int32_t taskID, const TOutputText& text) { TaskOutput(taskID, text); });

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
}

void TTaskBuild::TaskOutput(std::int32_t taskID, const TOutputText& text) {
    outputErrors += text.Errors;
    outputWarnings += text.Warnings;
    AddOutputEvent(add, ms(), text, taskID);
}

std::uint64_t TTaskBuild::Tick(std::uint64_t now) {
    if (engines) {
        engines->Tick(now);
    }
    if (!sampler) {
        return now + TGraphSampler::IntervalMs;
    }
    return sampler->SampleWhenDue(now, [this] {
        const TSchedulerCounts counts = scheduler->Counts();
        return std::pair{counts.Running, counts.Waiting};
    });
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
    if (engines) {
        engines->Finish();
    }
    // Also when Start failed half way: every employed row is released.
    UnemployRows(scheduler.get(), employed, rows, add, ms());
}

} // namespace buildsys
