#include "buildsys/JobDocumentBuild.h"

#include "buildsys/MachineInfo.h"
#include "buildsys/WorkerRows.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"
#include "records/MonitorEvents.h"

namespace buildsys {

TJobDocumentBuild::TJobDocumentBuild(const records::TBuildCommandPacket& request, TAdd add,
                                     std::function<std::int32_t()> ms,
                                     std::optional<std::int64_t> localCoresLimit)
    : request(request), add(std::move(add)), ms(std::move(ms)), localCoresLimit(localCoresLimit) {}

TJobDocumentBuild::~TJobDocumentBuild() {
    Finish();
}

void TJobDocumentBuild::Start(const std::string& environment) {
    graph = LoadJobGraph(request.PrimaryFilename, environment);

    const platform::TMachineFacts facts = platform::ReadMachineFacts();
    const std::int32_t rowCount = LocalRowCount(platform::UsableCpuCount(), localCoresLimit,
                                                request.OverrideMaxHelpersPerJob);
    rows = LocalWorkerRows(facts.HostName, rowCount);

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
    events = std::make_unique<TTaskEvents>(options, add, ms, [](const std::string&) {});
    sink = std::make_unique<TStepSink>(*events);
    // The run stops on errors itself: per task, and for /STOPONERRORS.
    scheduler = std::make_unique<TScheduler>(rows, false, *sink);
    run = std::make_unique<TJobGraphRun>(graph, *scheduler, std::vector<TTaskEngine*>{}, executor,
                                         add, ms, environment,
                                         request.HasFlag(records::TBuildFlag::StopOnErrors));
    run->Start(rows.size());
}

std::uint64_t TJobDocumentBuild::Tick(std::uint64_t now) {
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
    for (std::size_t i = 0; i < employed; ++i) {
        records::TMonitorEventUnemployPacket unemploy;
        unemploy.ms = ms();
        unemploy.ID = rows[i].ID;
        unemploy.RowIndex = static_cast<std::int32_t>(i);
        add(unemploy);
    }
}

} // namespace buildsys
