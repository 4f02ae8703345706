#include "buildsys/JobDocumentBuild.h"

#include "buildsys/MachineInfo.h"
#include "buildsys/SchedulerPolicySetup.h"
#include "buildsys/WorkerRows.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"
#include "records/MonitorEvents.h"

#include <algorithm>
#include <climits>

namespace buildsys {

TJobDocumentBuild::TJobDocumentBuild(const records::TBuildCommandPacket& request,
                                     TTaskBuildSetup setup, TAdd add,
                                     std::function<std::int32_t()> ms)
    : request(request), add(std::move(add)), ms(std::move(ms)), setup(std::move(setup)) {}

TJobDocumentBuild::~TJobDocumentBuild() {
    Finish();
}

void TJobDocumentBuild::Start(const std::string& environment) {
    graph = LoadJobGraph(request.PrimaryFilename, environment);

    const platform::TMachineFacts facts = platform::ReadMachineFacts();
    const std::int32_t rowCount = LocalRowCount(platform::UsableCpuCount(), setup.LocalCoresLimit,
                                                request.OverrideMaxHelpersPerJob);
    rows = LocalWorkerRows(facts.HostName, rowCount);
    // /MAXCPUS counts this machine's rows and the helpers' together.
    const std::int32_t maxCpus = request.OverrideMaxHelpersPerJob;
    engines =
        std::make_unique<TBuildEngines>(setup.AgentFolder, setup.BuildID, setup.Cache, add, ms);
    const std::vector<TWorkerRow> helperRows =
        engines->HelperRows(maxCpus > 0 ? std::max(0, maxCpus - rowCount) : INT_MAX, warnings);
    rows.insert(rows.end(), helperRows.begin(), helperRows.end());

    records::TMonitorEventProjectListPacket projects;
    projects.ms = ms();
    projects.TaskCount = static_cast<std::int32_t>(graph.Tasks.size());
    for (const TJobProject& project : graph.Projects) {
        records::TMonitorEventProjectPacket& entry = projects.List.AddNew();
        entry.Name = project.Name;
        entry.Filename = request.PrimaryFilename;
        entry.TaskCount = project.TaskCount;
    }
    add(projects);

    records::TStaticPacket staticInfo;
    FillStaticInfo(facts, rowCount, staticInfo);
    for (std::size_t i = 0; i < static_cast<std::size_t>(rowCount); ++i) {
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
    events = std::make_unique<TTaskEvents>(options, add, ms, [](const std::string&) {});
    events->OnRowEmployment(
        [this](std::int32_t index, const TWorkerRow& row, bool on, const std::string& reason) {
            engines->RowEmployment(index, row, on, reason);
        });
    events->SetCacheStatus(
        [this](const TRunningTask& task) { return engines->Cache().Status(task); });
    sink = std::make_unique<TStepSink>(*events);
    // The run stops on errors itself: per task, and for /STOPONERRORS.
    scheduler = std::make_unique<TScheduler>(rows, false, *sink);
    scheduler->SetPolicy(SchedulerPolicyFor(request));
    run = std::make_unique<TJobGraphRun>(graph, *scheduler, engines->Start(*scheduler), executor,
                                         add, ms, environment,
                                         request.HasFlag(records::TBuildFlag::StopOnErrors));
    run->Start(rows.size());
}

std::uint64_t TJobDocumentBuild::Tick(std::uint64_t now) {
    if (engines) {
        engines->Tick(now);
    }
    if (!sampler || !scheduler) {
        return now + TGraphSampler::IntervalMs;
    }
    return sampler->SampleWhenDue(now, [this] {
        const TSchedulerCounts counts = scheduler->Counts();
        return std::pair{counts.Running, counts.Waiting};
    });
}

void TJobDocumentBuild::Finish() {
    if (finished) {
        return;
    }
    finished = true;
    if (run) {
        run->Finish();
    }
    if (scheduler) {
        scheduler->Stop("The build has ended.");
    }
    if (engines) {
        engines->Finish();
    }
    // Helper rows too: those employed now.
    UnemployRows(scheduler.get(), employed, rows, add, ms());
}

} // namespace buildsys
