#include "buildsys/Scheduler.h"
#include "buildsys/WorkerRows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

namespace {

using namespace buildsys;

// Records what the scheduler reports and checks, as it happens, that a row never runs
// two tasks and that every end belongs to the task running on its row.
class TCheckingSink : public TSchedulerSink {
public:
    explicit TCheckingSink(std::size_t rows) : runningOn(rows, 0) {}
    void TaskStarted(const TRunningTask& task, const TWorkerRow& row) override {
        const auto r = static_cast<std::size_t>(task.Row);
        EXPECT_EQ(runningOn[r], 0) << "row " << row.ID << " already runs task " << runningOn[r];
        runningOn[r] = task.TaskID;
        ++started;
    }
    void TaskEnded(const TRunningTask& task, const TWorkerRow&, const TTaskOutcome&) override {
        EndOn(task);
        ++ended;
    }
    void TaskLost(const TRunningTask& task, const TWorkerRow&) override {
        EndOn(task);
        ++lost;
    }
    void CountsChanged(const TSchedulerCounts& c) override { last = c; }
    void StopRequested(const std::string& reason) override { stops.push_back(reason); }

    std::vector<std::int32_t> runningOn;
    int started = 0, ended = 0, lost = 0;
    TSchedulerCounts last;
    std::vector<std::string> stops;

private:
    void EndOn(const TRunningTask& task) {
        const auto r = static_cast<std::size_t>(task.Row);
        EXPECT_EQ(runningOn[r], task.TaskID);
        runningOn[r] = 0;
    }
};

TTaskRequest Task(const std::string& caption) {
    TTaskRequest request;
    request.Caption = caption;
    request.Tool = "/usr/bin/cc";
    request.Argv = {"cc", "-c", caption};
    request.Kind = "compile";
    return request;
}

TTaskOutcome Exit(int code) {
    TTaskOutcome outcome;
    outcome.ExitCode = code;
    return outcome;
}

struct SchedulerTest : ::testing::Test {
    std::vector<TWorkerRow> rows = LocalWorkerRows("host", 2);
    TCheckingSink sink{2};
};

TEST_F(SchedulerTest, GrantsFreeRowsAndQueuesTheRestInArrivalOrder) {
    TScheduler scheduler(rows, false, sink);
    const auto a = scheduler.Submit(Task("a.c"));
    const auto b = scheduler.Submit(Task("b.c"));
    const auto c = scheduler.Submit(Task("c.c"));
    const auto d = scheduler.Submit(Task("d.c"));
    const auto ga = scheduler.Await(a, 0);
    const auto gb = scheduler.Await(b, 0);
    ASSERT_TRUE(ga && ga->Granted);
    ASSERT_TRUE(gb && gb->Granted);
    EXPECT_EQ(ga->Row, 0);
    EXPECT_EQ(gb->Row, 1);
    EXPECT_EQ(ga->WorkerID, "host#1");
    EXPECT_FALSE(scheduler.Await(c, 0));
    EXPECT_FALSE(scheduler.Await(d, 0));
    EXPECT_EQ(scheduler.Counts().Waiting, 2);
    EXPECT_EQ(scheduler.Counts().Running, 2);

    scheduler.Finish(b, Exit(0));
    const auto gc = scheduler.Await(c, 0);
    ASSERT_TRUE(gc && gc->Granted);
    EXPECT_EQ(gc->Row, 1); // the row that freed
    EXPECT_FALSE(scheduler.Await(d, 0));
    scheduler.Finish(a, Exit(0));
    scheduler.Finish(c, Exit(0));
    ASSERT_TRUE(scheduler.Await(d, 0));
    scheduler.Finish(d, Exit(0));
    EXPECT_EQ(sink.started, 4);
    EXPECT_EQ(sink.ended, 4);
    EXPECT_EQ(sink.last.Succeeded, 4);
    EXPECT_EQ(sink.last.Running, 0);
    EXPECT_EQ(sink.last.Known, 4);
}

TEST_F(SchedulerTest, LostLauncherFreesItsRowAtOnce) {
    TScheduler scheduler(rows, false, sink);
    const auto a = scheduler.Submit(Task("a.c"));
    const auto b = scheduler.Submit(Task("b.c"));
    const auto c = scheduler.Submit(Task("c.c"));
    ASSERT_TRUE(scheduler.Await(a, 0));
    scheduler.Abandon(a);
    EXPECT_EQ(sink.lost, 1);
    const auto gc = scheduler.Await(c, 0);
    ASSERT_TRUE(gc && gc->Granted);
    EXPECT_EQ(gc->Row, 0);
    // A late end of the lost task changes nothing.
    scheduler.Finish(a, Exit(0));
    EXPECT_EQ(sink.ended, 0);
    scheduler.Finish(b, Exit(0));
    scheduler.Finish(c, Exit(0));
    EXPECT_EQ(sink.last.Failed, 1);
    EXPECT_EQ(sink.last.Succeeded, 2);
    EXPECT_EQ(sink.last.Done, 3);
}

TEST_F(SchedulerTest, LauncherLostWhileWaitingLeavesTheQueue) {
    TScheduler scheduler(rows, false, sink);
    const auto a = scheduler.Submit(Task("a.c"));
    scheduler.Submit(Task("b.c"));
    const auto c = scheduler.Submit(Task("c.c"));
    const auto d = scheduler.Submit(Task("d.c"));
    scheduler.Abandon(c);
    EXPECT_EQ(scheduler.Counts().Waiting, 1);
    EXPECT_EQ(scheduler.Counts().Known, 3);
    scheduler.Finish(a, Exit(0));
    const auto gd = scheduler.Await(d, 0);
    ASSERT_TRUE(gd && gd->Granted);
    EXPECT_EQ(sink.started, 3);
    EXPECT_EQ(sink.lost, 0); // it never ran
}

TEST_F(SchedulerTest, StopOnErrorsDeniesWaitingAndLaterTasks) {
    TScheduler scheduler(rows, true, sink);
    const auto a = scheduler.Submit(Task("a.c"));
    const auto b = scheduler.Submit(Task("b.c"));
    const auto c = scheduler.Submit(Task("c.c"));
    scheduler.Finish(a, Exit(1));
    ASSERT_EQ(sink.stops.size(), 1u);
    EXPECT_NE(sink.stops[0].find("a.c"), std::string::npos);
    const auto gc = scheduler.Await(c, 0);
    ASSERT_TRUE(gc);
    EXPECT_FALSE(gc->Granted);
    EXPECT_FALSE(gc->DenyReason.empty());
    const auto e = scheduler.Submit(Task("e.c"));
    const auto ge = scheduler.Await(e, 0);
    ASSERT_TRUE(ge);
    EXPECT_FALSE(ge->Granted);
    // The running task still reports its end; a second failure stops nothing again.
    scheduler.Finish(b, Exit(2));
    EXPECT_EQ(sink.stops.size(), 1u);
    EXPECT_EQ(sink.started, 2);
    EXPECT_EQ(sink.ended, 2);
    EXPECT_EQ(sink.last.Failed, 2);
    EXPECT_EQ(sink.last.Known, 2);
}

TEST_F(SchedulerTest, FailuresDoNotStopABuildThatGoesOn) {
    TScheduler scheduler(rows, false, sink);
    const auto a = scheduler.Submit(Task("a.c"));
    const auto b = scheduler.Submit(Task("b.c"));
    TTaskOutcome killed;
    killed.Signal = 9;
    scheduler.Finish(a, killed);
    EXPECT_TRUE(sink.stops.empty());
    const auto c = scheduler.Submit(Task("c.c"));
    ASSERT_TRUE(scheduler.Await(c, 0)->Granted);
    scheduler.Finish(b, Exit(0));
    scheduler.Finish(c, Exit(0));
    EXPECT_EQ(sink.last.Failed, 1);
    EXPECT_EQ(sink.last.Succeeded, 2);
}

TEST_F(SchedulerTest, ErrorsAndWarningsAddUp) {
    TScheduler scheduler(rows, false, sink);
    const auto a = scheduler.Submit(Task("a.c"));
    TTaskOutcome outcome = Exit(1);
    outcome.Errors = 2;
    outcome.Warnings = 3;
    scheduler.Finish(a, outcome);
    const auto b = scheduler.Submit(Task("b.c"));
    outcome = Exit(0);
    outcome.Warnings = 1;
    outcome.Errors = -5; // nonsense from a client counts as none
    scheduler.Finish(b, outcome);
    EXPECT_EQ(sink.last.Errors, 2);
    EXPECT_EQ(sink.last.Warnings, 4);
}

// Many launcher threads at once, a few failing and a few dying: every row runs one task
// at a time (the sink checks), and the counts come out exact.
TEST(SchedulerConcurrency, ManyLaunchersShareTheRows) {
    const std::vector<TWorkerRow> rows = LocalWorkerRows("h", 3);
    TCheckingSink sink(rows.size());
    TScheduler scheduler(rows, false, sink);
    constexpr int Threads = 8;
    constexpr int PerThread = 250;
    std::atomic<int> failed{0}, lost{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < PerThread; ++i) {
                const auto ticket = scheduler.Submit(Task("t" + std::to_string(i)));
                std::optional<TTaskGrant> grant;
                while (!(grant = scheduler.Await(ticket, 1000))) {
                }
                ASSERT_TRUE(grant->Granted);
                const unsigned roll = random() % 40;
                if (roll == 0) {
                    ++lost;
                    scheduler.Abandon(ticket);
                } else if (roll < 3) {
                    ++failed;
                    scheduler.Finish(ticket, Exit(1));
                } else {
                    scheduler.Finish(ticket, Exit(0));
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const TSchedulerCounts counts = scheduler.Counts();
    EXPECT_EQ(counts.Done, Threads * PerThread);
    EXPECT_EQ(counts.Failed, failed + lost);
    EXPECT_EQ(counts.Succeeded, Threads * PerThread - failed - lost);
    EXPECT_EQ(sink.lost, lost.load());
    EXPECT_EQ(counts.Running, 0);
    EXPECT_EQ(counts.Waiting, 0);
}

TEST(WorkerRows, CountFromCoresAgentSettingAndMaxCpus) {
    struct Case {
        std::uint32_t cores;
        std::optional<std::int64_t> agent;
        std::int32_t maxCpus;
        std::int32_t rows;
    };
    const Case cases[] = {
        {8, std::nullopt, 0, 8},
        {8, 4, 0, 4},
        {8, 16, 0, 8},
        {8, std::nullopt, 3, 3},
        {8, 4, 2, 2},
        {8, 2, 6, 2},
        {8, 0, 0, 8},
        {8, -1, -1, 8},
        {0, std::nullopt, 0, 1},
        {2, std::nullopt, 100, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LocalRowCount(c.cores, c.agent, c.maxCpus), c.rows)
            << c.cores << " cores, agent " << c.agent.value_or(-99) << ", max " << c.maxCpus;
    }
    const auto rows = LocalWorkerRows("box", 2);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].ID, "box#2");
    EXPECT_EQ(rows[1].Caption, "box #2");
    EXPECT_TRUE(rows[1].Local);
}

} // namespace

namespace {

using namespace buildsys;

// Records the rows tasks start on, retries and employment changes.
class TDistributionSink : public TSchedulerSink {
public:
    void TaskStarted(const TRunningTask& task, const TWorkerRow&) override {
        startedOn.push_back(task.Row);
    }
    void TaskEnded(const TRunningTask&, const TWorkerRow&, const TTaskOutcome&) override {}
    void TaskLost(const TRunningTask&, const TWorkerRow&) override {}
    void CountsChanged(const TSchedulerCounts& c) override { last = c; }
    void StopRequested(const std::string&) override {}
    void TaskRetried(const TRunningTask& task, const TWorkerRow&, const TTaskOutcome&,
                     const std::string& reason) override {
        retried.push_back(task.Row);
        reasons.push_back(reason);
    }
    void RowEmployment(std::int32_t index, const TWorkerRow&, bool employed,
                       const std::string&) override {
        (employed ? employedRows : unemployedRows).push_back(index);
    }
    std::vector<std::int32_t> startedOn, retried, employedRows, unemployedRows;
    std::vector<std::string> reasons;
    TSchedulerCounts last;
};

std::vector<TWorkerRow> LocalAndHelperRows() {
    std::vector<TWorkerRow> rows = LocalWorkerRows("here", 1);
    for (int n = 1; n <= 2; ++n) {
        rows.push_back(TWorkerRow{"h:3632#" + std::to_string(n), "h #" + std::to_string(n), "h",
                                  false, "h:3632", "h:3632/2"});
    }
    return rows;
}

TTaskRequest Compile(bool remote) {
    TTaskRequest request;
    request.Tool = "/usr/bin/gcc";
    request.Argv = {"gcc", "-c", "a.c"};
    request.Kind = remote ? "compile" : "link";
    request.AllowRemote = remote;
    return request;
}

std::int32_t RowOf(TScheduler& scheduler, TScheduler::TTicket ticket) {
    const std::optional<TTaskGrant> grant = scheduler.Await(ticket, 1000);
    EXPECT_TRUE(grant && grant->Granted);
    return grant ? grant->Row : -1;
}

TEST(SchedulerDistribution, RemoteTasksGoToHelpersAndLocalOnesStay) {
    TDistributionSink sink;
    TScheduler scheduler(LocalAndHelperRows(), false, sink);
    // A helper row takes nothing before its helper is up.
    const auto first = scheduler.Submit(Compile(true));
    EXPECT_EQ(RowOf(scheduler, first), 0);
    scheduler.EnableHelper("h:3632", {"gcc"});
    EXPECT_EQ(sink.employedRows, (std::vector<std::int32_t>{1, 2}));
    const auto remote = scheduler.Submit(Compile(true));
    EXPECT_EQ(RowOf(scheduler, remote), 1);
    // A link waits for this machine's row even while a helper row is free.
    const auto link = scheduler.Submit(Compile(false));
    EXPECT_FALSE(scheduler.Await(link, 50).has_value());
    scheduler.Finish(first, TTaskOutcome{});
    EXPECT_EQ(RowOf(scheduler, link), 0);
    // A compiler the helper does not run alike stays here.
    TTaskRequest clang = Compile(true);
    clang.Tool = "/usr/bin/clang";
    clang.Argv[0] = "clang";
    const auto other = scheduler.Submit(clang);
    EXPECT_FALSE(scheduler.Await(other, 50).has_value());
    scheduler.Finish(link, TTaskOutcome{});
    EXPECT_EQ(RowOf(scheduler, other), 0);
}

TEST(SchedulerDistribution, DistributionFailureRunsTheTaskAgainElsewhere) {
    TDistributionSink sink;
    TScheduler scheduler(LocalAndHelperRows(), false, sink);
    scheduler.EnableHelper("h:3632", {"gcc"});
    const auto a = scheduler.Submit(Compile(true));
    const auto b = scheduler.Submit(Compile(true));
    EXPECT_EQ(RowOf(scheduler, a), 1);
    EXPECT_EQ(RowOf(scheduler, b), 2);
    TTaskOutcome lost;
    lost.ExitCode = 116;
    lost.EngineFailure = true;
    EXPECT_TRUE(scheduler.Finish(a, lost));
    EXPECT_EQ(sink.retried, (std::vector<std::int32_t>{1}));
    EXPECT_FALSE(scheduler.HelperEnabled("h:3632"));
    // The free row goes at once, the busy one when its task ends.
    EXPECT_EQ(sink.unemployedRows, (std::vector<std::int32_t>{1}));
    EXPECT_EQ(RowOf(scheduler, a), 0);
    EXPECT_FALSE(scheduler.Finish(b, TTaskOutcome{}));
    EXPECT_EQ(sink.unemployedRows, (std::vector<std::int32_t>{1, 2}));
    EXPECT_FALSE(scheduler.Finish(a, TTaskOutcome{}));
    EXPECT_EQ(scheduler.Counts().Succeeded, 2);
    EXPECT_EQ(scheduler.Counts().Failed, 0);
    // Back again: its rows are employed again.
    scheduler.EnableHelper("h:3632", {"gcc"});
    EXPECT_EQ(sink.employedRows, (std::vector<std::int32_t>{1, 2, 1, 2}));
}

TEST(SchedulerDistribution, EveryRowOfAHelperThatFailsGoes) {
    TDistributionSink sink;
    TScheduler scheduler(LocalAndHelperRows(), false, sink);
    scheduler.EnableHelper("h:3632", {"gcc"});
    const auto a = scheduler.Submit(Compile(true));
    const auto b = scheduler.Submit(Compile(true));
    EXPECT_EQ(RowOf(scheduler, a), 1);
    EXPECT_EQ(RowOf(scheduler, b), 2);
    TTaskOutcome lost;
    lost.ExitCode = 116;
    lost.EngineFailure = true;
    // Both tasks lose the helper; the second learns it when the helper is off already.
    EXPECT_TRUE(scheduler.Finish(b, lost));
    EXPECT_TRUE(scheduler.Finish(a, lost));
    EXPECT_EQ(sink.unemployedRows, (std::vector<std::int32_t>{2, 1}));
    EXPECT_EQ(scheduler.EmployedRows(), (std::vector<std::int32_t>{0}));
    EXPECT_EQ(RowOf(scheduler, b), 0);
}

TEST(SchedulerDistribution, OnlyFailLocallyAndAvoidLocal) {
    TDistributionSink sink;
    TScheduler scheduler(LocalAndHelperRows(), false, sink);
    scheduler.SetPolicy(TSchedulerPolicy{true, true});
    scheduler.EnableHelper("h:3632", {"gcc"});
    const auto a = scheduler.Submit(Compile(true));
    const auto b = scheduler.Submit(Compile(true));
    const auto c = scheduler.Submit(Compile(true));
    EXPECT_EQ(RowOf(scheduler, a), 1);
    EXPECT_EQ(RowOf(scheduler, b), 2);
    // Avoid local: the third waits for a helper row though this machine's row is free.
    EXPECT_FALSE(scheduler.Await(c, 50).has_value());
    TTaskOutcome error;
    error.ExitCode = 1;
    error.Errors = 1;
    EXPECT_TRUE(scheduler.Finish(a, error)); // a compile error on a helper: again here
    EXPECT_TRUE(scheduler.HelperEnabled("h:3632"));
    EXPECT_EQ(RowOf(scheduler, a), 0);
    EXPECT_EQ(RowOf(scheduler, c), 1);
    EXPECT_FALSE(scheduler.Finish(a, error)); // failing here too, it counts as failed
    EXPECT_EQ(scheduler.Counts().Failed, 1);
}

// Every step of every row in order, checking that each end or failure belongs to the
// task running on its row.
class TStepSink : public TSchedulerSink {
public:
    struct TStep {
        std::int32_t Row;
        std::int32_t TaskID;
        char What; // b begin, e end, l lost
        bool Double;
        bool operator==(const TStep&) const = default;
    };
    void TaskStarted(const TRunningTask& task, const TWorkerRow&) override {
        EXPECT_EQ(running[task.Row], 0) << "row " << task.Row << " runs two tasks";
        running[task.Row] = task.TaskID;
        steps.push_back({task.Row, task.TaskID, 'b', false});
    }
    void TaskEnded(const TRunningTask& task, const TWorkerRow&, const TTaskOutcome& o) override {
        EXPECT_EQ(running[task.Row], task.TaskID);
        running[task.Row] = 0;
        steps.push_back({task.Row, task.TaskID, 'e', o.Double});
    }
    void TaskLost(const TRunningTask& task, const TWorkerRow&) override {
        EXPECT_EQ(running[task.Row], task.TaskID);
        running[task.Row] = 0;
        steps.push_back({task.Row, task.TaskID, 'l', false});
    }
    void CountsChanged(const TSchedulerCounts&) override {}
    void StopRequested(const std::string&) override {}
    std::map<std::int32_t, std::int32_t> running;
    std::vector<TStep> steps;
};

struct SchedulerDoubling : ::testing::Test {
    TStepSink sink;
    TScheduler scheduler{LocalAndHelperRows(), false, sink};
    TScheduler::TTicket a = 0, b = 0;
    // Two remote tasks on the helper's rows, both allowed a second attempt.
    void StartTwo(const TSchedulerPolicy& policy = {}) {
        scheduler.SetPolicy(policy);
        scheduler.EnableHelper("h:3632", {"gcc"});
        a = scheduler.Submit(Compile(true));
        b = scheduler.Submit(Compile(true));
        ASSERT_EQ(RowOf(scheduler, a), 1);
        ASSERT_EQ(RowOf(scheduler, b), 2);
        scheduler.AllowDouble(a);
        scheduler.AllowDouble(b);
    }
    using TStep = TStepSink::TStep;
};

TEST_F(SchedulerDoubling, TheIdleLocalRowRunsTheLongestRemoteTaskAndTheFirstToEndWins) {
    StartTwo();
    // The longest-running task (granted first) gets this machine's only row.
    const std::optional<TRunningTask> second = scheduler.DoubleOf(a);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Row, 0);
    EXPECT_FALSE(scheduler.DoubleOf(b));
    TTaskOutcome stopped;
    stopped.Signal = 15;
    scheduler.DoubleWon(a, stopped, TTaskOutcome{});
    EXPECT_FALSE(scheduler.Finish(a, TTaskOutcome{})); // a late end changes nothing
    // The row is free again: the other remote task runs here too, and its first
    // attempt ends first this time.
    const std::optional<TRunningTask> third = scheduler.DoubleOf(b);
    ASSERT_TRUE(third);
    EXPECT_FALSE(scheduler.Finish(b, TTaskOutcome{}));
    EXPECT_EQ(sink.steps, (std::vector<TStep>{{1, 1, 'b', false},
                                              {2, 2, 'b', false},
                                              {0, 3, 'b', false},
                                              {1, 1, 'e', true},
                                              {0, 3, 'e', false},
                                              {0, 4, 'b', false},
                                              {0, 4, 'e', true},
                                              {2, 2, 'e', false}}));
    EXPECT_EQ(scheduler.Counts().Succeeded, 2);
    EXPECT_EQ(scheduler.Counts().Done, 2);
    EXPECT_EQ(scheduler.Counts().Running, 0);
}

TEST_F(SchedulerDoubling, AFailedOrLostSecondAttemptDecidesNothing) {
    StartTwo();
    ASSERT_TRUE(scheduler.DoubleOf(a));
    scheduler.DoubleLost(a, Exit(1));
    // a keeps its first attempt and gets no second one again; b gets the row.
    EXPECT_FALSE(scheduler.DoubleOf(a));
    ASSERT_TRUE(scheduler.DoubleOf(b));
    scheduler.Abandon(b); // the launcher is gone: both of its attempts end
    EXPECT_FALSE(scheduler.Finish(a, TTaskOutcome{}));
    EXPECT_EQ(sink.steps, (std::vector<TStep>{{1, 1, 'b', false},
                                              {2, 2, 'b', false},
                                              {0, 3, 'b', false},
                                              {0, 3, 'e', true},
                                              {0, 4, 'b', false},
                                              {0, 4, 'e', true},
                                              {2, 2, 'l', false},
                                              {1, 1, 'e', false}}));
    EXPECT_EQ(scheduler.Counts().Succeeded, 1);
    EXPECT_EQ(scheduler.Counts().Failed, 1);
}

TEST_F(SchedulerDoubling, AQueuedTaskTakesBackTheRowOfASecondAttempt) {
    // A link may run here only; a compile finds both helper rows busy.
    for (const bool remote : {false, true}) {
        SCOPED_TRACE(remote ? "compile" : "link");
        TStepSink steps;
        TScheduler tried(LocalAndHelperRows(), false, steps);
        tried.EnableHelper("h:3632", {"gcc"});
        const auto first = tried.Submit(Compile(true));
        const auto other = tried.Submit(Compile(true));
        tried.AllowDouble(first);
        tried.AllowDouble(other);
        const std::optional<TRunningTask> second = tried.DoubleOf(first);
        ASSERT_TRUE(second);
        const auto queued = tried.Submit(Compile(remote));
        EXPECT_EQ(RowOf(tried, queued), 0);
        // Its step ended as a loser: the attempt is dropped and never settles.
        EXPECT_FALSE(tried.DoubleOf(first));
        EXPECT_FALSE(tried.SettleDouble(first, second->TaskID));
        EXPECT_EQ(tried.Counts().Running, 3);
        // The freed row runs the longest-running remote task again: a new attempt.
        EXPECT_FALSE(tried.Finish(queued, TTaskOutcome{}));
        const std::optional<TRunningTask> again = tried.DoubleOf(first);
        ASSERT_TRUE(again);
        EXPECT_NE(again->TaskID, second->TaskID);
        EXPECT_FALSE(tried.SettleDouble(first, second->TaskID));
        EXPECT_FALSE(tried.Finish(first, TTaskOutcome{}));
        ASSERT_TRUE(tried.DoubleOf(other));
        EXPECT_FALSE(tried.Finish(other, TTaskOutcome{}));
        EXPECT_EQ(steps.steps, (std::vector<TStep>{{1, 1, 'b', false},
                                                   {2, 2, 'b', false},
                                                   {0, 3, 'b', false},
                                                   {0, 3, 'e', true},
                                                   {0, 4, 'b', false},
                                                   {0, 4, 'e', false},
                                                   {0, 5, 'b', false},
                                                   {0, 5, 'e', true},
                                                   {1, 1, 'e', false},
                                                   {0, 6, 'b', false},
                                                   {0, 6, 'e', true},
                                                   {2, 2, 'e', false}}));
        EXPECT_EQ(tried.Counts().Succeeded, 3);
        EXPECT_EQ(tried.Counts().Running, 0);
    }
}

TEST_F(SchedulerDoubling, ASecondAttemptThatEndedKeepsItsRow) {
    StartTwo();
    const std::optional<TRunningTask> second = scheduler.DoubleOf(a);
    ASSERT_TRUE(second);
    EXPECT_FALSE(scheduler.SettleDouble(a, second->TaskID + 1)); // not this attempt
    EXPECT_FALSE(scheduler.SettleDouble(b, second->TaskID));     // b has none
    ASSERT_TRUE(scheduler.SettleDouble(a, second->TaskID));
    const auto link = scheduler.Submit(Compile(false));
    EXPECT_FALSE(scheduler.Await(link, 50).has_value());
    ASSERT_TRUE(scheduler.DoubleOf(a));
    scheduler.DoubleWon(a, TTaskOutcome{}, TTaskOutcome{});
    EXPECT_EQ(RowOf(scheduler, link), 0);
    EXPECT_FALSE(scheduler.Finish(link, TTaskOutcome{}));
    // Settled, then lost: the row is free for the next second attempt, which is taken
    // back again only until it settles.
    const std::optional<TRunningTask> third = scheduler.DoubleOf(b);
    ASSERT_TRUE(third);
    ASSERT_TRUE(scheduler.SettleDouble(b, third->TaskID));
    scheduler.DoubleLost(b, Exit(1));
    EXPECT_FALSE(scheduler.SettleDouble(b, third->TaskID));
    EXPECT_FALSE(scheduler.Finish(b, TTaskOutcome{}));
    EXPECT_EQ(sink.steps, (std::vector<TStep>{{1, 1, 'b', false},
                                              {2, 2, 'b', false},
                                              {0, 3, 'b', false},
                                              {1, 1, 'e', true},
                                              {0, 3, 'e', false},
                                              {0, 4, 'b', false},
                                              {0, 4, 'e', false},
                                              {0, 5, 'b', false},
                                              {0, 5, 'e', true},
                                              {2, 2, 'e', false}}));
}

TEST_F(SchedulerDoubling, NoSecondAttemptWhenTheRowIsWantedOrDoublingIsOff) {
    struct TCase {
        const char* name;
        TSchedulerPolicy policy;
        bool queuedLocalTask;
    };
    TSchedulerPolicy avoidLocal;
    avoidLocal.AvoidLocal = true;
    TSchedulerPolicy off;
    off.Double = false;
    for (const TCase& c :
         {TCase{"avoid local", avoidLocal, false}, TCase{"doubling off", off, false},
          TCase{"a task waits for this machine", TSchedulerPolicy{}, true}}) {
        SCOPED_TRACE(c.name);
        TStepSink steps;
        TScheduler tried(LocalAndHelperRows(), false, steps);
        tried.SetPolicy(c.policy);
        tried.EnableHelper("h:3632", {"gcc"});
        std::optional<TScheduler::TTicket> busy, link;
        if (c.queuedLocalTask) {
            busy = tried.Submit(Compile(false));
            ASSERT_EQ(RowOf(tried, *busy), 0);
            link = tried.Submit(Compile(false));
        }
        const auto remote = tried.Submit(Compile(true));
        ASSERT_EQ(RowOf(tried, remote), 1);
        tried.AllowDouble(remote);
        EXPECT_FALSE(tried.DoubleOf(remote));
        if (link) {
            // The local row goes to the waiting link, not to a second attempt.
            tried.Finish(*busy, TTaskOutcome{});
            EXPECT_EQ(RowOf(tried, *link), 0);
            EXPECT_FALSE(tried.DoubleOf(remote));
        }
    }
    // A task nobody allowed a second attempt gets none.
    scheduler.EnableHelper("h:3632", {"gcc"});
    const auto plain = scheduler.Submit(Compile(true));
    ASSERT_EQ(RowOf(scheduler, plain), 1);
    EXPECT_FALSE(scheduler.DoubleOf(plain));
}

} // namespace
