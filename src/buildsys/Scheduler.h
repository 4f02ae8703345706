#pragma once
// The scheduler of a build's tasks: every task asks for a worker row, gets the lowest
// free one or waits in arrival order until one frees, runs, and gives the row back when
// it ends or its launcher is gone. A row runs one task at a time; the scheduler is the
// only one that grants rows. Thread-safe: every launcher connection is served by a
// thread of its own. The sink is called under the scheduler's lock, so the events of
// one row reach it in the order they happened (an end before the next begin).
//
// Rows of helpers run remote-allowed tasks only, and only while their helper is up (the
// build turns it on and off); remote-allowed tasks go to a free helper row first.
// A task that fails on a helper for distribution reasons (or, with only-fail-locally,
// at all) is not ended: it goes back to the head of the queue for a row elsewhere
// (this machine, or another helper after a distribution failure), and a helper whose
// distribution failed takes no more tasks until the build turns it on again.
//
// Doubling: when no queued task is left for a free row of this machine while tasks
// still run on helpers, the longest-running of them that may run twice (its connection
// says so) is granted that row as well, as a second attempt of the same task. The
// first attempt to end for good decides; the other one's step ends as the loser (Double).
// A second attempt holds its row only while nothing else wants it: a queued task that
// could run on this machine, finding every row here busy, takes back the row of the
// latest second attempt that has not ended yet (its step ends as a loser, killed; the
// first attempt goes on, and may be doubled anew when a row here falls idle again).
#include "buildsys/ExitCodeRule.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace buildsys {

struct TWorkerRow {
    std::string ID; // the worker ID of the events
    std::string Caption;
    std::string Host;
    bool Local = true;
    std::string Helper;     // the helper's name; empty for this machine
    std::string DistccHost; // the helper as distcc names it
};

// What a launcher asks to run.
struct TTaskRequest {
    std::int64_t Pid = 0;
    std::string Tool; // the resolved real tool
    std::vector<std::string> Argv;
    std::string Cwd;
    std::string Kind; // compile, link, archive, assemble, other
    std::string Source;
    std::string Output;
    std::string Caption;
    // The task IDs of the tasks it waited for, "," separated, the last to end first
    // (tasks of a job document; empty for others).
    std::string After;
    // From the job profile's rule for the tool (TTaskRules), or the job document's tool.
    bool AllowRemote = false; // a compile that may run on another machine
    TExitCodeRule ExitCodes;
};

class TTaskRules;

// How a task ended, as its launcher reports it.
struct TTaskOutcome {
    std::int32_t ExitCode = 0;
    std::int32_t Signal = 0;
    std::int32_t Errors = 0;
    std::int32_t Warnings = 0;
    std::int64_t DurationMs = 0;
    bool EngineFailure = false;
    bool Double = false; // this attempt lost: another attempt of its task ended first
    // Set by Judge from the task's exit code rule; until then only exit code 0 succeeds.
    std::optional<TExitVerdict> Verdict;
    bool Failed() const {
        return Verdict ? *Verdict == TExitVerdict::Failure : ExitCode != 0 || Signal != 0;
    }
    // Judges the exit once: a warning exit code adds a warning.
    void Judge(const TExitCodeRule& rule);
};

struct TTaskGrant {
    bool Granted = false;
    std::int32_t TaskID = 0;
    std::int32_t Row = 0;
    std::string WorkerID;
    std::string DenyReason;
};

struct TSchedulerCounts {
    std::int32_t Known = 0;     // tasks that asked for a row
    std::int32_t Done = 0;      // tasks that ended, however
    std::int32_t Succeeded = 0; // ended with a success or warning exit code
    std::int32_t Failed = 0;    // ended otherwise, or their launcher was lost
    std::int32_t Running = 0;
    std::int32_t Waiting = 0;
    std::int32_t Errors = 0;   // error lines the tasks reported
    std::int32_t Warnings = 0; // warning lines the tasks reported
};

// A task the scheduler granted a row.
struct TRunningTask {
    std::int32_t TaskID = 0;
    std::int32_t Row = 0;
    TTaskRequest Request;
};

class TSchedulerSink {
public:
    virtual ~TSchedulerSink() = default;
    virtual void TaskStarted(const TRunningTask& task, const TWorkerRow& row) = 0;
    virtual void TaskEnded(const TRunningTask& task, const TWorkerRow& row,
                           const TTaskOutcome& outcome) = 0;
    // The launcher was lost before it reported the end: the task could not run.
    virtual void TaskLost(const TRunningTask& task, const TWorkerRow& row) = 0;
    virtual void CountsChanged(const TSchedulerCounts& counts) = 0;
    // The first failing task of a build that stops on errors.
    virtual void StopRequested(const std::string& reason) = 0;
    // The task ended on a helper in a way that runs it again elsewhere.
    virtual void TaskRetried(const TRunningTask& task, const TWorkerRow& row,
                             const TTaskOutcome& outcome, const std::string& reason) {
        (void)task;
        (void)row;
        (void)outcome;
        (void)reason;
    }
    // A helper's row is employed again or no more (a row that still runs a task is
    // unemployed when the task ends).
    virtual void RowEmployment(std::int32_t index, const TWorkerRow& row, bool employed,
                               const std::string& reason) {
        (void)index;
        (void)row;
        (void)employed;
        (void)reason;
    }
};

struct TSchedulerPolicy {
    bool AvoidLocal = false;      // remote-allowed tasks stay off this machine while a helper is up
    bool OnlyFailLocally = false; // a task failing on a helper runs again here first
    bool Double = true;           // idle rows here run a remote task a second time
};

class TScheduler {
public:
    TScheduler(std::vector<TWorkerRow> rows, bool stopOnErrors, TSchedulerSink& sink);

    using TTicket = std::uint64_t;
    // Queues a task; it waits for a row unless one is free now.
    TTicket Submit(TTaskRequest request);
    // The job profile's rules that Classify applies (none: every task keeps the defaults).
    void SetRules(std::shared_ptr<const TTaskRules> taskRules);
    // Fills a request's AllowRemote and ExitCodes from the rules.
    void Classify(TTaskRequest& request) const;
    // Waits at most `timeoutMs` for the ticket's answer: none while it still waits,
    // else its grant or its denial (the build is stopping). Asks again after none.
    std::optional<TTaskGrant> Await(TTicket ticket, std::uint32_t timeoutMs);
    // The task ended as its launcher reports; its row is free at once. True when the
    // task runs again elsewhere: Await gives its next grant.
    bool Finish(TTicket ticket, const TTaskOutcome& outcome);
    // The launcher is gone: a waiting task leaves the queue, a running one is lost and
    // frees its row. Nothing happens for a ticket that already ended.
    void Abandon(TTicket ticket);
    // No task starts any more: the waiting ones and every later one are denied.
    void Stop(const std::string& reason);

    // The running task may run a second time on this machine (its command allows it).
    void AllowDouble(TTicket ticket);
    // The second attempt granted to the task, while it runs.
    std::optional<TRunningTask> DoubleOf(TTicket ticket) const;
    // The second attempt ended without deciding (it failed, or the first ended before
    // it): its step ends as the loser and its row is free; the task goes on.
    void DoubleLost(TTicket ticket, const TTaskOutcome& outcome);
    // The second attempt ended first with `outcome`, the task's result: the first
    // attempt's step ends as the loser with `stopped` (how it ended when stopped).
    void DoubleWon(TTicket ticket, const TTaskOutcome& stopped, const TTaskOutcome& outcome);
    // The second attempt `doubleTaskID` has ended and is about to decide or lose: its row
    // is not taken back any more. False when it was taken back already (or is no more):
    // then it must be dropped, as the scheduler has ended its step.
    bool SettleDouble(TTicket ticket, std::int32_t doubleTaskID);
    // How a taken-back second attempt's step ends: killed.
    static constexpr std::int32_t TakenBackSignal = 9;

    void SetPolicy(const TSchedulerPolicy& policy);
    // The helper takes tasks of the `compilers` (tool file names) on its rows from now on.
    void EnableHelper(const std::string& helper, const std::set<std::string>& compilers);
    // The helper takes no more tasks; `reason` goes with the unemployment.
    void DisableHelper(const std::string& helper, const std::string& reason);
    bool HelperEnabled(const std::string& helper) const;
    // Rows employed now, by index.
    std::vector<std::int32_t> EmployedRows() const;

    bool Stopping() const;
    TSchedulerCounts Counts() const;
    const std::vector<TWorkerRow>& Rows() const { return rows; }

private:
    struct TTicketState {
        TRunningTask Task;
        std::optional<TTaskGrant> Answer;
        bool Running = false;
        bool LocalOnly = false;
        std::set<std::string> FailedOn; // helpers where it failed
        bool Doublable = false;
        bool Doubled = false; // a second attempt was granted once: never again
        std::optional<TRunningTask> Double;
        bool DoubleSettled = false; // the second attempt ended: its row is not taken back
    };
    void Dispatch();     // under the lock
    void GrantDoubles(); // under the lock
    // The row of a second attempt given up for `state`, which no free row may run.
    std::optional<std::size_t> TakeBackDouble(const TTicketState& state); // under the lock
    void EndDouble(TTicketState& state, TTaskOutcome outcome);  // under the lock, as the loser
    void CountEnd(const TTaskOutcome& outcome);                 // under the lock
    void Publish();                                             // under the lock
    void Release(std::map<TTicket, TTicketState>::iterator it); // under the lock
    void StopLocked(const std::string& reason);                 // under the lock, tells the sink
    void DenyFromNowOn(const std::string& reason);              // under the lock
    std::optional<std::size_t> ChooseRow(const TTicketState& state) const; // under the lock
    bool Eligible(std::size_t row, const TTicketState& state) const;       // under the lock
    void Employ(std::size_t row, bool on, const std::string& reason);      // under the lock
    void DisableLocked(const std::string& helper, const std::string& reason);

    const std::vector<TWorkerRow> rows;
    const bool stopOnErrors;
    TSchedulerSink& sink;
    std::shared_ptr<const TTaskRules> rules;
    mutable std::mutex mutex;
    std::condition_variable answered;
    std::vector<bool> busy;
    std::vector<bool> employed;
    std::map<std::string, std::set<std::string>> helpersUp; // helper -> its compilers
    TSchedulerPolicy policy;
    std::deque<TTicket> queue;
    std::map<TTicket, TTicketState> tickets;
    TTicket nextTicket = 1;
    std::int32_t nextTaskID = 1;
    TSchedulerCounts counts;
    bool stopping = false;
    std::string stopReason;
};

} // namespace buildsys
