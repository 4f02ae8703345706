#include "buildsys/TaskEndpoint.h"
#include "buildsys/WorkerRows.h"

#include "platform/LocalSocket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace buildsys;
using platform::TLocalSocket;

// Counts what the scheduler reports, checking that a row never runs two tasks.
class TRecordingSink : public TSchedulerSink {
public:
    explicit TRecordingSink(std::size_t rows) : runningOn(rows, 0) {}
    void TaskStarted(const TRunningTask& task, const TWorkerRow&) override {
        const std::lock_guard lock(mutex);
        EXPECT_EQ(runningOn[static_cast<std::size_t>(task.Row)], 0);
        runningOn[static_cast<std::size_t>(task.Row)] = task.TaskID;
        ++started;
    }
    void TaskEnded(const TRunningTask& task, const TWorkerRow&, const TTaskOutcome& o) override {
        const std::lock_guard lock(mutex);
        Free(task);
        ++ended;
        lastExit = o.ExitCode;
    }
    void TaskLost(const TRunningTask& task, const TWorkerRow&) override {
        const std::lock_guard lock(mutex);
        Free(task);
        ++lost;
    }
    void CountsChanged(const TSchedulerCounts&) override {}
    void StopRequested(const std::string&) override { ++stops; }

    std::mutex mutex;
    std::vector<std::int32_t> runningOn;
    std::atomic<int> started{0}, ended{0}, lost{0}, stops{0}, lastExit{-1};

private:
    void Free(const TRunningTask& task) {
        EXPECT_EQ(runningOn[static_cast<std::size_t>(task.Row)], task.TaskID);
        runningOn[static_cast<std::size_t>(task.Row)] = 0;
    }
};

// A launcher as the protocol describes it, driven step by step.
class TFakeLauncher {
public:
    explicit TFakeLauncher(const std::string& path) {
        std::string error;
        socket = TLocalSocket::Connect(path, &error);
        EXPECT_TRUE(socket) << error;
    }
    void Begin(const std::string& caption) {
        core::TTaskBegin begin;
        begin.pid = ::getpid();
        begin.tool = "/usr/bin/cc";
        begin.argv = {"cc", "-c", caption};
        begin.cwd = "/";
        begin.kind = core::TTaskKind::Compile;
        begin.source = caption;
        begin.caption = caption;
        ASSERT_TRUE(socket->SendAll(core::EncodeTaskFrame(begin)));
    }
    // The answer: a grant or a deny; none when the connection ended.
    std::optional<core::TTaskMessage> Answer() {
        char buffer[4096];
        for (;;) {
            if (auto message = reader.Next()) {
                return message;
            }
            const std::int64_t got = socket->Receive(buffer, sizeof buffer);
            if (got <= 0) {
                return std::nullopt;
            }
            reader.Append(std::string_view(buffer, static_cast<std::size_t>(got)));
        }
    }
    void End(int exitCode, const std::string& cache = {}) {
        core::TTaskEnd end;
        end.exitCode = exitCode;
        end.cache = cache;
        ASSERT_TRUE(socket->SendAll(core::EncodeTaskFrame(end)));
    }
    std::unique_ptr<TLocalSocket> socket;
    core::TTaskFrameReader reader;
};

struct TaskEndpointTest : ::testing::Test {
    void SetUp() override {
        char pattern[] = "/tmp/ravel_ep_XXXXXX";
        folder = ::mkdtemp(pattern);
        path = folder + "/e.sock";
    }
    void TearDown() override { std::system(("rm -rf '" + folder + "'").c_str()); }
    template <class Pred> static bool Eventually(Pred pred) {
        for (int i = 0; i < 500; ++i) {
            if (pred()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    std::string folder, path;
};

TEST_F(TaskEndpointTest, GrantsRowsAndQueuesOverConnections) {
    TRecordingSink sink(1);
    TScheduler scheduler(LocalWorkerRows("h", 1), false, sink);
    TTaskEndpoint endpoint(scheduler, path);
    TFakeLauncher a(path), b(path);
    a.Begin("a.c");
    const auto grantA = a.Answer();
    ASSERT_TRUE(grantA && std::holds_alternative<core::TTaskGrant>(*grantA));
    EXPECT_EQ(std::get<core::TTaskGrant>(*grantA).worker, "h#1");
    b.Begin("b.c");
    ASSERT_TRUE(Eventually([&] { return scheduler.Counts().Waiting == 1; }));
    a.End(0);
    const auto grantB = b.Answer();
    ASSERT_TRUE(grantB && std::holds_alternative<core::TTaskGrant>(*grantB));
    EXPECT_NE(std::get<core::TTaskGrant>(*grantB).task, std::get<core::TTaskGrant>(*grantA).task);
    b.End(3);
    ASSERT_TRUE(Eventually([&] { return sink.ended == 2; }));
    EXPECT_EQ(sink.lastExit, 3);
}

// Wraps the command as a cache around a distribution engine would.
class TWrappingEngine : public TTaskEngine {
public:
    TWrappingEngine(std::string word, std::string variable) : word(word), variable(variable) {}
    void Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) override {
        command.Prefix.insert(command.Prefix.begin(), word);
        command.Env[variable] = row.ID + " " + task.Request.Source;
    }
    void Ended(const TRunningTask& task, const TWorkerRow&, const TTaskOutcome& outcome,
               const std::string& cache) override {
        const std::lock_guard lock(mutex);
        ended.push_back(task.Request.Source + ":" + std::to_string(outcome.ExitCode) + ":" + cache);
    }
    std::mutex mutex;
    std::vector<std::string> ended;

private:
    std::string word, variable;
};

TEST_F(TaskEndpointTest, EnginesShapeTheGrantInOrderAndLearnTheEnd) {
    TRecordingSink sink(1);
    TScheduler scheduler(LocalWorkerRows("h", 1), false, sink);
    TWrappingEngine inner("distcc", "INNER"), outer("ccache", "OUTER");
    TTaskEndpoint endpoint(scheduler, path, {&inner, &outer});
    TFakeLauncher a(path);
    a.Begin("a.c");
    const auto answer = a.Answer();
    ASSERT_TRUE(answer && std::holds_alternative<core::TTaskGrant>(*answer));
    const auto& grant = std::get<core::TTaskGrant>(*answer);
    EXPECT_EQ(grant.prefix, (std::vector<std::string>{"ccache", "distcc"}));
    EXPECT_EQ(grant.env.at("INNER"), "h#1 a.c");
    EXPECT_EQ(grant.env.at("OUTER"), "h#1 a.c");
    a.End(2, "miss");
    ASSERT_TRUE(Eventually([&] { return sink.ended == 1; }));
    const std::lock_guard lock(outer.mutex);
    EXPECT_EQ(outer.ended, (std::vector<std::string>{"a.c:2:miss"}));
}

TEST_F(TaskEndpointTest, ClosedConnectionFreesItsRowAtOnce) {
    TRecordingSink sink(1);
    TScheduler scheduler(LocalWorkerRows("h", 1), false, sink);
    TTaskEndpoint endpoint(scheduler, path);
    auto a = std::make_unique<TFakeLauncher>(path);
    a->Begin("a.c");
    ASSERT_TRUE(a->Answer());
    // A second launcher waits, then dies while waiting: it leaves the queue.
    auto b = std::make_unique<TFakeLauncher>(path);
    b->Begin("b.c");
    ASSERT_TRUE(Eventually([&] { return scheduler.Counts().Waiting == 1; }));
    b.reset();
    ASSERT_TRUE(Eventually([&] { return scheduler.Counts().Waiting == 0; }));
    TFakeLauncher c(path);
    c.Begin("c.c");
    ASSERT_TRUE(Eventually([&] { return scheduler.Counts().Waiting == 1; }));
    a.reset(); // the running launcher dies
    const auto grantC = c.Answer();
    ASSERT_TRUE(grantC && std::holds_alternative<core::TTaskGrant>(*grantC));
    EXPECT_EQ(sink.lost, 1);
    c.End(0);
    ASSERT_TRUE(Eventually([&] { return sink.ended == 1; }));
    EXPECT_EQ(sink.started, 2);
}

TEST_F(TaskEndpointTest, StopOnErrorsDeniesTheNextTask) {
    TRecordingSink sink(1);
    TScheduler scheduler(LocalWorkerRows("h", 1), true, sink);
    TTaskEndpoint endpoint(scheduler, path);
    TFakeLauncher a(path), b(path);
    a.Begin("a.c");
    ASSERT_TRUE(a.Answer());
    b.Begin("b.c");
    ASSERT_TRUE(Eventually([&] { return scheduler.Counts().Waiting == 1; }));
    a.End(1);
    const auto deny = b.Answer();
    ASSERT_TRUE(deny && std::holds_alternative<core::TTaskDeny>(*deny));
    EXPECT_FALSE(std::get<core::TTaskDeny>(*deny).reason.empty());
    EXPECT_EQ(sink.stops, 1);
    EXPECT_EQ(sink.started, 1);
}

// Hostile or broken clients are dropped; the build's own tasks go on.
TEST_F(TaskEndpointTest, BadClientsAreRefusedWithoutHarm) {
    TRecordingSink sink(1);
    TScheduler scheduler(LocalWorkerRows("h", 1), false, sink);
    TTaskEndpoint endpoint(scheduler, path);
    const std::string frames[] = {
        std::string("\x05\x00\x00\x00{oops", 9),                 // not JSON
        std::string("\xff\xff\xff\x7f", 4),                      // oversized length
        core::EncodeTaskFrame(core::TTaskEnd{}),                 // an end first
        std::string("\x0b\x00\x00\x00{\"type\":1}", 15),         // wrong type
        std::string("\x20\x00\x00\x00{\"type\":\"begin\"}", 20), // cut short
    };
    for (const std::string& frame : frames) {
        TFakeLauncher bad(path);
        ASSERT_TRUE(bad.socket->SendAll(frame));
        bad.socket->ShutdownSend();
        EXPECT_FALSE(bad.Answer()); // closed without an answer
    }
    EXPECT_EQ(endpoint.Rejected(), std::size(frames));
    // A launcher that ends with garbage after its grant is a lost task.
    TFakeLauncher garbage(path);
    garbage.Begin("g.c");
    ASSERT_TRUE(garbage.Answer());
    ASSERT_TRUE(garbage.socket->SendAll(std::string("\x03\x00\x00\x00[1]", 7)));
    ASSERT_TRUE(Eventually([&] { return sink.lost == 1; }));
    TFakeLauncher good(path);
    good.Begin("ok.c");
    ASSERT_TRUE(good.Answer());
    good.End(0);
    ASSERT_TRUE(Eventually([&] { return sink.ended == 1; }));
    EXPECT_EQ(sink.started, 2);
}

TEST_F(TaskEndpointTest, StopCutsOpenConnectionsAsLostTasks) {
    TRecordingSink sink(1);
    TScheduler scheduler(LocalWorkerRows("h", 1), false, sink);
    TTaskEndpoint endpoint(scheduler, path);
    TFakeLauncher a(path), b(path);
    a.Begin("a.c");
    ASSERT_TRUE(a.Answer());
    b.Begin("b.c");
    ASSERT_TRUE(Eventually([&] { return scheduler.Counts().Waiting == 1; }));
    endpoint.Stop();
    EXPECT_EQ(sink.lost, 1);
    EXPECT_EQ(sink.started, 1);
    EXPECT_EQ(scheduler.Counts().Waiting, 0);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
}

// Many launchers at once through real connections, some failing, some dying: the
// counts come out exact and a row never runs two tasks (the sink checks).
TEST_F(TaskEndpointTest, ManyConcurrentLaunchers) {
    TRecordingSink sink(3);
    TScheduler scheduler(LocalWorkerRows("h", 3), false, sink);
    TTaskEndpoint endpoint(scheduler, path);
    constexpr int Threads = 6;
    constexpr int PerThread = 60;
    std::atomic<int> failed{0}, died{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 1));
            for (int i = 0; i < PerThread; ++i) {
                TFakeLauncher launcher(path);
                launcher.Begin("f" + std::to_string(i) + ".c");
                const auto answer = launcher.Answer();
                ASSERT_TRUE(answer && std::holds_alternative<core::TTaskGrant>(*answer));
                const unsigned roll = random() % 20;
                if (roll == 0) {
                    ++died;
                } else {
                    failed += roll < 3 ? 1 : 0;
                    launcher.End(roll < 3 ? 1 : 0);
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(Eventually([&] { return scheduler.Counts().Done == Threads * PerThread; }));
    const TSchedulerCounts counts = scheduler.Counts();
    EXPECT_EQ(counts.Failed, failed + died);
    EXPECT_EQ(sink.lost, died.load());
    EXPECT_EQ(counts.Succeeded, Threads * PerThread - failed - died);
}

TEST(TaskEndpointPath, ShortPathForABuild) {
    const std::string path = TTaskEndpoint::PathFor("{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
    EXPECT_TRUE(path.ends_with("/t-0a1b2c3d4e5f60718293a4b5c6d7e8f9.sock")) << path;
    EXPECT_LE(path.size(), TLocalSocket::MaxPathLength());
}

} // namespace

// What a tool wrote reaches the build as whole lines of its task, per stream and in
// order, before the task's end; an unfinished last line is kept also when the
// launcher is lost.
TEST_F(TaskEndpointTest, ToolOutputBecomesLinesOfItsTaskBeforeItsEnd) {
    struct TLine {
        std::int32_t TaskID;
        TOutputStream Stream;
        std::string Text;
        int EndedBefore;
    };
    for (const bool lost : {false, true}) {
        SCOPED_TRACE(lost ? "launcher lost" : "launcher ends");
        TRecordingSink sink(1);
        TScheduler scheduler(LocalWorkerRows("h", 1), false, sink);
        std::mutex mutex;
        std::vector<TLine> lines;
        TTaskEndpoint endpoint(
            scheduler, path, {}, [&](std::int32_t taskID, const TOutputText& text) {
                const std::lock_guard lock(mutex);
                lines.push_back({taskID, text.Stream, text.Text, sink.ended + sink.lost});
            });
        TFakeLauncher a(path);
        a.Begin("a.c");
        const auto grant = a.Answer();
        ASSERT_TRUE(grant && std::holds_alternative<core::TTaskGrant>(*grant));
        const std::int32_t task =
            static_cast<std::int32_t>(std::get<core::TTaskGrant>(*grant).task);
        for (const auto& [stream, bytes] : std::vector<std::pair<int, std::string>>{
                 {2, "a.c:1:2: err"}, {1, "first\nsec"}, {2, "or: bad \xff\n"}, {1, "ond"}}) {
            ASSERT_TRUE(a.socket->SendAll(core::EncodeTaskFrame(core::TTaskOutput{stream, bytes})));
        }
        if (lost) {
            a.socket.reset();
        } else {
            a.End(1);
        }
        ASSERT_TRUE(Eventually([&] { return sink.ended + sink.lost == 1; }));
        const std::lock_guard lock(mutex);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0].Text, "first");
        EXPECT_EQ(lines[0].Stream, TOutputStream::Out);
        EXPECT_EQ(lines[1].Text, "a.c:1:2: error: bad \xef\xbf\xbd");
        EXPECT_EQ(lines[1].Stream, TOutputStream::Err);
        EXPECT_EQ(lines[2].Text, "second");
        for (const TLine& line : lines) {
            EXPECT_EQ(line.TaskID, task);
            EXPECT_EQ(line.EndedBefore, 0);
        }
        EXPECT_EQ(endpoint.Rejected(), 0u);
    }
}
