#include "buildsys/JobGraphRun.h"
#include "buildsys/TaskEvents.h"
#include "buildsys/WorkerRows.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <random>
#include <set>

namespace {

using namespace buildsys;

// Runs no process: each task's exit code comes from a table by its name (the
// command's second word), and what ran is noted in order.
class TFakeExecutor : public TJobTaskExecutor {
public:
    TTaskOutcome Run(const std::vector<std::string>& command, const std::string&,
                     const std::string&, const TOutput& output, const std::atomic<bool>&) override {
        const std::string name = command.size() > 1 ? command[1] : std::string();
        TTaskOutcome outcome;
        {
            const std::lock_guard lock(mutex);
            ran.push_back(name);
            const auto found = exitCodes.find(name);
            outcome.ExitCode = found == exitCodes.end() ? 0 : found->second;
        }
        TOutputText text;
        text.Text = "ran " + name;
        output(text);
        return outcome;
    }
    std::mutex mutex;
    std::map<std::string, int> exitCodes;
    std::vector<std::string> ran;
};

struct TTask {
    std::string Name;
    std::vector<std::int32_t> DependsOn;
    std::int32_t Project = 0;
    bool StopOnErrors = false;
    bool SkipIfProjectFailed = false;
    std::vector<std::int32_t> Success = {};
    std::vector<std::int32_t> Warning = {};
};

TJobGraph Graph(const std::vector<TTask>& tasks, std::int32_t projects = 1) {
    TJobGraph graph;
    for (std::int32_t p = 0; p < projects; ++p) {
        graph.Projects.push_back(TJobProject{"P" + std::to_string(p), 0});
    }
    graph.Dependents.resize(tasks.size());
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        TJobTask task;
        task.Name = tasks[i].Name;
        task.Caption = "Do " + tasks[i].Name;
        task.Arguments = {"/bin/tool", tasks[i].Name};
        task.DependsOn = tasks[i].DependsOn;
        task.Project = tasks[i].Project;
        task.StopOnErrors = tasks[i].StopOnErrors;
        task.SkipIfProjectFailed = tasks[i].SkipIfProjectFailed;
        task.SuccessExitCodes = tasks[i].Success;
        task.WarningExitCodes = tasks[i].Warning;
        ++graph.Projects[static_cast<std::size_t>(task.Project)].TaskCount;
        for (const std::int32_t d : task.DependsOn) {
            graph.Dependents[static_cast<std::size_t>(d)].push_back(static_cast<std::int32_t>(i));
        }
        graph.Tasks.push_back(std::move(task));
    }
    return graph;
}

struct TRun {
    explicit TRun(const TJobGraph& graph, std::int32_t rowCount = 1, bool stopOnErrors = false)
        : rows(LocalWorkerRows("host", rowCount)),
          events(
              TTaskEventOptions{}, [this](const packets::TPacket& e) { Add(e); }, [] { return 0; },
              [](const std::string&) {}),
          scheduler(rows, false, events),
          run(
              graph, scheduler, {}, executor, [this](const packets::TPacket& e) { Add(e); },
              [] { return 0; }, std::string(1, '\0'), stopOnErrors) {}

    void Add(const packets::TPacket& event) {
        const std::lock_guard lock(mutex);
        Events.push_back(event.Clone());
    }
    void Go() {
        run.Start(rows.size());
        while (!run.WaitDone(1000)) {
        }
        run.Finish();
    }
    template <typename T> std::vector<const T*> All() {
        std::vector<const T*> found;
        for (const auto& e : Events) {
            if (const auto* t = dynamic_cast<const T*>(e.get())) {
                found.push_back(t);
            }
        }
        return found;
    }

    TFakeExecutor executor;
    std::vector<TWorkerRow> rows;
    std::mutex mutex;
    std::vector<std::unique_ptr<packets::TPacket>> Events;
    TTaskEvents events;
    TScheduler scheduler;
    TJobGraphRun run;
};

class JobGraphRun : public ::testing::Test {
protected:
    void SetUp() override { records::RegisterAllPacketClasses(); }
};

TEST_F(JobGraphRun, TasksRunAfterWhatTheyDependOn) {
    // a -> b, a -> c, {b, c} -> d
    const TJobGraph graph =
        Graph({{"a", {}}, {"b", {0}}, {"c", {0}}, {"d", {1, 2}}, {"e", {}, 1}}, 2);
    TRun r(graph, 2);
    r.Go();
    ASSERT_EQ(r.executor.ran.size(), 5u);
    std::map<std::string, std::size_t> at;
    for (std::size_t i = 0; i < r.executor.ran.size(); ++i) {
        at[r.executor.ran[i]] = i;
    }
    EXPECT_LT(at["a"], at["b"]);
    EXPECT_LT(at["a"], at["c"]);
    EXPECT_LT(at["b"], at["d"]);
    EXPECT_LT(at["c"], at["d"]);
    const TJobRunCounts counts = r.run.Counts();
    EXPECT_EQ(counts.Succeeded, 5);
    EXPECT_EQ(counts.Failed + counts.Skipped + counts.Errors, 0);
    // Begin steps: the caption, and the tasks waited for (the last to end first).
    std::map<std::string, std::string> after;
    std::map<std::string, std::int32_t> ids;
    for (const auto* begin : r.All<records::TMonitorEventBeginStepPacket>()) {
        after[begin->Name] = begin->Status;
        ids[begin->Name] = begin->TaskID;
    }
    EXPECT_EQ(after["Do a"], "");
    EXPECT_EQ(after["Do b"], "after:" + std::to_string(ids["Do a"]));
    const std::string bc = std::to_string(ids["Do b"]) + "," + std::to_string(ids["Do c"]);
    const std::string cb = std::to_string(ids["Do c"]) + "," + std::to_string(ids["Do b"]);
    EXPECT_TRUE(after["Do d"] == "after:" + bc || after["Do d"] == "after:" + cb) << after["Do d"];
    // Output keeps its task; each project completes once; the last count holds all.
    EXPECT_EQ(r.All<records::TMonitorEventOutputPacket>().size(), 5u);
    std::multiset<std::int32_t> completed;
    for (const auto* c : r.All<records::TMonitorEventProjectCompletePacket>()) {
        completed.insert(c->ProjectIndex);
    }
    EXPECT_EQ(completed, (std::multiset<std::int32_t>{0, 1}));
    const auto counted = r.All<records::TMonitorEventCountPacket>();
    ASSERT_FALSE(counted.empty());
    EXPECT_EQ(counted.back()->Built, 5);
}

TEST_F(JobGraphRun, FailuresSkipWhatDependsOnThemOrStopTheBuild) {
    const struct {
        const char* Label;
        bool TaskStops;
        bool BuildStops;
        std::vector<std::string> Ran;
        TJobRunCounts Counts;
    } cases[] = {
        // a fails: b (after a) and c (after b) are skipped, d still runs.
        {"goes on", false, false, {"a", "d"}, {1, 1, 2, 1, 0}},
        {"task stops", true, false, {"a"}, {0, 1, 3, 1, 0}},
        {"/STOPONERRORS", false, true, {"a"}, {0, 1, 3, 1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        TJobGraph graph = Graph({{"a", {}, 0, c.TaskStops}, {"b", {0}}, {"c", {1}}, {"d", {}}});
        TRun r(graph, 1, c.BuildStops);
        r.executor.exitCodes["a"] = 2;
        r.Go();
        EXPECT_EQ(r.executor.ran, c.Ran);
        const TJobRunCounts counts = r.run.Counts();
        EXPECT_EQ(counts.Succeeded, c.Counts.Succeeded);
        EXPECT_EQ(counts.Failed, c.Counts.Failed);
        EXPECT_EQ(counts.Skipped, c.Counts.Skipped);
        EXPECT_EQ(counts.Errors, c.Counts.Errors);
        EXPECT_EQ(r.All<records::TMonitorEventProjectCompletePacket>().size(), 1u);
        EXPECT_EQ(r.All<records::TMonitorEventCountPacket>().back()->Skipped, c.Counts.Skipped);
    }
}

TEST_F(JobGraphRun, SkipIfProjectFailedSkipsOnlyInAFailedProject) {
    const TJobGraph graph = Graph(
        {{"a", {}, 0}, {"b", {}, 0, false, true}, {"c", {}, 0}, {"x", {}, 1, false, true}}, 2);
    TRun r(graph, 1);
    r.executor.exitCodes["a"] = 1;
    r.Go();
    EXPECT_EQ(r.executor.ran, (std::vector<std::string>{"a", "c", "x"}));
    EXPECT_EQ(r.run.Counts().Skipped, 1);
    EXPECT_EQ(r.run.Counts().Failed, 1);
}

TEST_F(JobGraphRun, ExitCodeListsDecide) {
    const struct {
        int ExitCode;
        std::vector<std::int32_t> Success;
        std::vector<std::int32_t> Warning;
        bool Succeeds;
        std::int32_t Warnings;
    } cases[] = {
        {0, {}, {}, true, 0},   {1, {}, {}, false, 0},    {3, {0, 3}, {}, true, 0},
        {0, {1}, {}, false, 0}, {1, {}, {1, 2}, true, 1}, {2, {0}, {1}, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ExitCode);
        const TJobGraph graph =
            Graph({{"a", {}, 0, false, false, c.Success, c.Warning}, {"b", {0}}});
        TRun r(graph);
        r.executor.exitCodes["a"] = c.ExitCode;
        r.Go();
        EXPECT_EQ(r.run.Counts().Succeeded, c.Succeeds ? 2 : 0);
        EXPECT_EQ(r.run.Counts().Warnings, c.Warnings);
        EXPECT_EQ(r.executor.ran.size(), c.Succeeds ? 2u : 1u);
        const auto ends = r.All<records::TMonitorEventEndStepPacket>();
        ASSERT_FALSE(ends.empty());
        EXPECT_EQ(ends.front()->ExitCode, c.ExitCode); // the real code stays in the event
    }
}

// Ten thousand tasks with random dependencies on earlier ones, on several rows.
TEST_F(JobGraphRun, RandomGraphsRunEachTaskOnceAfterItsDependencies) {
    std::mt19937 random(18);
    std::vector<TTask> tasks;
    const int count = 10000;
    for (int i = 0; i < count; ++i) {
        TTask task{"t" + std::to_string(i), {}, i % 3};
        const int deps = i == 0 ? 0 : static_cast<int>(random() % 4);
        for (int d = 0; d < deps; ++d) {
            task.DependsOn.push_back(
                static_cast<std::int32_t>(random() % static_cast<unsigned>(i)));
        }
        std::sort(task.DependsOn.begin(), task.DependsOn.end());
        task.DependsOn.erase(std::unique(task.DependsOn.begin(), task.DependsOn.end()),
                             task.DependsOn.end());
        tasks.push_back(task);
    }
    const TJobGraph graph = Graph(tasks, 3);
    TRun r(graph, 4);
    r.Go();
    ASSERT_EQ(r.executor.ran.size(), static_cast<std::size_t>(count));
    std::map<std::string, std::size_t> at;
    for (std::size_t i = 0; i < r.executor.ran.size(); ++i) {
        EXPECT_TRUE(at.emplace(r.executor.ran[i], i).second) << r.executor.ran[i] << " ran twice";
    }
    for (const TTask& task : tasks) {
        for (const std::int32_t d : task.DependsOn) {
            EXPECT_LT(at[tasks[static_cast<std::size_t>(d)].Name], at[task.Name]);
        }
    }
    EXPECT_EQ(r.run.Counts().Succeeded, count);
}

TEST_F(JobGraphRun, CancelLetsNothingNewStart) {
    const TJobGraph graph = Graph({{"a", {}}, {"b", {0}}});
    TRun r(graph);
    r.run.Cancel();
    r.Go();
    EXPECT_TRUE(r.executor.ran.empty());
    EXPECT_EQ(r.run.Counts().Skipped, 2);
}

// Distribution as far as the run sees it: a prefix on helper rows.
class TPrefixOnHelpers : public TTaskEngine {
public:
    void Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) override {
        if (!row.Local) {
            command.Prefix = {"distcc"};
        }
        const std::lock_guard lock(mutex);
        wrapped.push_back(task.Request.Kind + (row.Local ? " here" : " remote"));
    }
    std::mutex mutex;
    std::vector<std::string> wrapped;
};

// Runs no process: a run through the distribution engine fails as its own failures do.
class TDistributionFails : public TJobTaskExecutor {
public:
    TTaskOutcome Run(const std::vector<std::string>& command, const std::string&,
                     const std::string&, const TOutput&, const std::atomic<bool>&) override {
        const std::lock_guard lock(mutex);
        ran.push_back(command.front());
        TTaskOutcome outcome;
        outcome.ExitCode = command.front() == "distcc" ? 116 : 0;
        return outcome;
    }
    std::mutex mutex;
    std::vector<std::string> ran;
};

TEST_F(JobGraphRun, ACompileGoesToAHelperAndComesBackWhenItsDistributionFails) {
    TJobGraph graph;
    graph.Projects.push_back(TJobProject{"P", 2});
    TJobTask compile;
    compile.Name = compile.Caption = "a.o";
    compile.Arguments = {"/usr/bin/gcc", "-c", "a.c", "-o", "a.o"};
    compile.AllowRemote = true;
    TJobTask link = compile;
    link.Name = link.Caption = "app";
    link.Arguments = {"/usr/bin/gcc", "a.o", "-o", "app"};
    link.DependsOn = {0};
    graph.Tasks = {compile, link};
    graph.Dependents = {{1}, {}};

    std::vector<TWorkerRow> rows = LocalWorkerRows("here", 1);
    rows.push_back(TWorkerRow{"h:3632#1", "h #1", "h", false, "h:3632", "h:3632/1"});
    const auto add = [](const packets::TPacket&) {};
    TTaskEvents events(
        TTaskEventOptions{}, add, [] { return 0; }, [](const std::string&) {});
    TScheduler scheduler(rows, false, events);
    scheduler.EnableHelper("h:3632", {"gcc"});
    TPrefixOnHelpers engine;
    TDistributionFails executor;
    TJobGraphRun run(
        graph, scheduler, {&engine}, executor, add, [] { return 0; }, std::string(1, '\0'), false);
    run.Start(rows.size());
    while (!run.WaitDone(1000)) {
    }
    run.Finish();
    // The link never leaves this machine; the compile runs here after its helper failed.
    EXPECT_EQ(engine.wrapped,
              (std::vector<std::string>{"compile remote", "compile here", "link here"}));
    EXPECT_EQ(executor.ran, (std::vector<std::string>{"distcc", "/usr/bin/gcc", "/usr/bin/gcc"}));
    EXPECT_EQ(run.Counts().Succeeded, 2);
    EXPECT_EQ(run.Counts().Failed, 0);
}

// Notes the environment each task runs with.
class TEnvironmentSeen : public TJobTaskExecutor {
public:
    TTaskOutcome Run(const std::vector<std::string>&, const std::string&, const std::string& env,
                     const TOutput&, const std::atomic<bool>&) override {
        seen = env;
        return TTaskOutcome{};
    }
    std::string seen;
};

// Puts every task through the cache.
class TCacheEverything : public TTaskEngine {
public:
    void Wrap(const TRunningTask&, const TWorkerRow&, TTaskCommand& command) override {
        command.Prefix = {"ccache"};
        command.Env["CCACHE_DIR"] = "/store";
    }
};

TEST_F(JobGraphRun, ACachedTaskGetsNoneOfTheUsersOwnCacheSettings) {
    TJobGraph graph;
    graph.Projects.push_back(TJobProject{"P", 1});
    TJobTask compile;
    compile.Name = compile.Caption = "a.o";
    compile.Arguments = {"/usr/bin/gcc", "-c", "a.c", "-o", "a.o"};
    graph.Tasks = {compile};
    graph.Dependents = {{}};
    const std::vector<TWorkerRow> rows = LocalWorkerRows("here", 1);
    const auto add = [](const packets::TPacket&) {};
    TTaskEvents events(
        TTaskEventOptions{}, add, [] { return 0; }, [](const std::string&) {});
    TScheduler scheduler(rows, false, events);
    TCacheEverything engine;
    TEnvironmentSeen executor;
    const std::string environment("CCACHE_COMPILERCHECK=none\0FLAVOUR=1\0CCACHE_DIR=/mine\0\0", 54);
    TJobGraphRun run(
        graph, scheduler, {&engine}, executor, add, [] { return 0; }, environment, false);
    run.Start(rows.size());
    while (!run.WaitDone(1000)) {
    }
    run.Finish();
    EXPECT_EQ(executor.seen, std::string("FLAVOUR=1\0CCACHE_DIR=/store\0\0", 29));
}

} // namespace
