#pragma once
// A build of class "xml": the job document named by the request's primary file, read
// and checked before anything runs, then run as a graph on this machine's worker
// rows and the helpers' (distributed and cached as a make build's tasks are). Start:
// rows, the project list of the document's projects with their task counts, employ
// per local row (helper rows as their helpers answer), graph definitions. While it runs: a graph
// sample once a second. Finish: what did not run counts as skipped, every row is unemployed.
#include "buildsys/GraphSampler.h"
#include "buildsys/JobGraphRun.h"
#include "buildsys/TaskBuild.h"
#include "buildsys/TaskEvents.h"
#include "records/BuildPackets.h"

#include <memory>
#include <optional>

namespace buildsys {

class TJobDocumentBuild {
public:
    using TAdd = std::function<void(const packets::TPacket&)>;
    // `add` must be safe to call from any thread.
    // The tasks get the engines of `setup` (its tools and rules are the make build's).
    TJobDocumentBuild(const records::TBuildCommandPacket& request, TTaskBuildSetup setup, TAdd add,
                      std::function<std::int32_t()> ms);
    ~TJobDocumentBuild();

    // Loads and checks the document (raises EXmlRecordError or EJobDocumentError with
    // every error, before any event of the run), then starts the run. `environment` is
    // the tasks' environment block.
    void Start(const std::string& environment);
    // Samples the graphs when due; returns the tick of the next sample.
    std::uint64_t Tick(std::uint64_t now);
    bool WaitDone(std::uint32_t timeoutMs) { return run->WaitDone(timeoutMs); }
    void Cancel() { run->Cancel(); }
    void Finish();
    TJobRunCounts Counts() const { return run ? run->Counts() : TJobRunCounts{}; }
    // What Start found missing of the engines.
    const std::vector<std::string>& Warnings() const { return warnings; }

private:
    // The task events of the scheduler, without its counts: the run counts per project.
    class TStepSink : public TSchedulerSink {
    public:
        explicit TStepSink(TTaskEvents& events) : events(events) {}
        void RowEmployment(std::int32_t index, const TWorkerRow& row, bool employed,
                           const std::string& reason) override {
            events.RowEmployment(index, row, employed, reason);
        }
        void TaskRetried(const TRunningTask& task, const TWorkerRow& row,
                         const TTaskOutcome& outcome, const std::string& reason) override {
            events.TaskRetried(task, row, outcome, reason);
        }
        void TaskStarted(const TRunningTask& task, const TWorkerRow& row) override {
            events.TaskStarted(task, row);
        }
        void TaskEnded(const TRunningTask& task, const TWorkerRow& row,
                       const TTaskOutcome& outcome) override {
            events.TaskEnded(task, row, outcome);
        }
        void TaskLost(const TRunningTask& task, const TWorkerRow& row) override {
            events.TaskLost(task, row);
        }
        void CountsChanged(const TSchedulerCounts&) override {}
        void StopRequested(const std::string&) override {}

    private:
        TTaskEvents& events;
    };

    const records::TBuildCommandPacket& request;
    TAdd add;
    std::function<std::int32_t()> ms;
    TTaskBuildSetup setup;
    std::unique_ptr<TBuildEngines> engines;
    std::vector<std::string> warnings;
    TJobGraph graph;
    std::vector<TWorkerRow> rows;
    std::unique_ptr<TTaskEvents> events;
    std::unique_ptr<TStepSink> sink;
    std::unique_ptr<TScheduler> scheduler;
    TProcessTaskExecutor executor;
    std::unique_ptr<TJobGraphRun> run;
    std::unique_ptr<TGraphSampler> sampler;
    std::size_t employed = 0;
    bool finished = false;
};

} // namespace buildsys
