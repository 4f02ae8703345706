#pragma once
// Runs the tasks of a job document's graph on the scheduler's rows: a task is ready
// when every task it depends on has succeeded, and then asks for a row like any
// other task (so the engines shape it: remote where its tool allows, cached where
// the cache allows). A failed task fails its project; the tasks that depend on it,
// and the later tasks with SkipIfProjectFailed of a failed project, are skipped. A
// failure of a task that stops on errors (or of any task under /STOPONERRORS) lets
// no further task start; the running ones end as they do, the rest count as skipped.
//
// Events: per task, the scheduler's sink (begin step with Name = caption and
// Status "after:<task IDs it waited for, the last to end first>", end step); the
// task's output with its task ID; count and project count events after every end;
// a project output line and a project complete event when a project's last task
// is done.
#include "buildsys/JobGraph.h"
#include "buildsys/JobTaskExecutor.h"
#include "buildsys/TaskEngine.h"
#include "packets/Packet.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace buildsys {

struct TJobRunCounts {
    std::int32_t Succeeded = 0;
    std::int32_t Failed = 0;
    std::int32_t Skipped = 0;
    std::int32_t Errors = 0;
    std::int32_t Warnings = 0;
};

class TJobGraphRun {
public:
    using TAdd = std::function<void(const packets::TPacket&)>;
    // `add` must be safe to call from any thread. `environment` is the tasks' base
    // environment block; `stopOnErrors` is the build's /STOPONERRORS.
    TJobGraphRun(const TJobGraph& graph, TScheduler& scheduler, std::vector<TTaskEngine*> engines,
                 TJobTaskExecutor& executor, TAdd add, std::function<std::int32_t()> ms,
                 std::string environment, bool stopOnErrors);
    ~TJobGraphRun();
    TJobGraphRun(const TJobGraphRun&) = delete;
    TJobGraphRun& operator=(const TJobGraphRun&) = delete;

    // Starts `workers` threads that take ready tasks.
    void Start(std::size_t workers);
    // Waits at most `timeoutMs` for every task to be done; true when they are.
    bool WaitDone(std::uint32_t timeoutMs);
    // No further task starts; the running ones are asked to end.
    void Cancel();
    // Waits for the workers; every task not run by then counts as skipped.
    void Finish();
    TJobRunCounts Counts() const;
    // The order in which tasks started (task numbers), for tests.
    std::vector<std::int32_t> StartOrder() const;

private:
    enum class TState : std::uint8_t { Pending, Ready, Running, Succeeded, Failed, Skipped };
    void Worker();
    void RunTask(std::int32_t task, std::string after);
    // One run of the task as its grant on `row` shapes it; `cache` gets the cache
    // engine's outcome text.
    TTaskOutcome RunGranted(const TJobTask& job, const TRunningTask& granted, const TWorkerRow& row,
                            std::string& cache);
    // Under the lock.
    void Ended(std::int32_t task, bool succeeded, const TTaskOutcome& outcome, std::int32_t id);
    void Skip(std::int32_t task);
    void Done(std::int32_t task);
    void Stop(const std::string& reason);
    void ReportCounts(std::int32_t project);
    std::string AfterOf(std::int32_t task) const;
    bool AllDone() const { return done == graph.Tasks.size(); }

    const TJobGraph& graph;
    TScheduler& scheduler;
    const std::vector<TTaskEngine*> engines;
    TJobTaskExecutor& executor;
    TAdd add;
    std::function<std::int32_t()> ms;
    const std::string environment;
    const bool stopOnErrors;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<TState> state;
    std::vector<std::int32_t> waitingFor; // dependencies not yet succeeded
    std::vector<std::int32_t> taskID;     // the scheduler's ID, once granted
    std::vector<std::uint32_t> endOrder;  // 1 for the first to end
    std::uint32_t ends = 0;
    std::deque<std::int32_t> ready;
    std::vector<TJobRunCounts> projectCounts;
    std::vector<std::int32_t> projectLeft;
    std::vector<bool> projectFailed;
    TJobRunCounts counts;
    std::size_t done = 0;
    std::int32_t running = 0; // tasks between their start and their end
    bool stopping = false;
    std::atomic<bool> cancel{false};
    std::vector<std::int32_t> startOrder;
    std::vector<std::thread> workers;
    bool finished = false;
};

} // namespace buildsys
