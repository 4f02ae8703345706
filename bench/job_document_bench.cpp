// Job documents: a document of N tasks (ten projects, up to two random dependencies on
// earlier tasks each) is written to a file, then loaded and checked (tasks/s loaded),
// then run as a graph on two worker rows with a no-op tool (tasks/s scheduled). A run
// that did not run every task once is an error, not a figure.
#include "buildsys/JobGraphRun.h"
#include "buildsys/WorkerRows.h"
#include "records/Registration.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace {

using namespace buildsys;

class TNullSink : public TSchedulerSink {
public:
    void TaskStarted(const TRunningTask&, const TWorkerRow&) override {}
    void TaskEnded(const TRunningTask&, const TWorkerRow&, const TTaskOutcome&) override {}
    void TaskLost(const TRunningTask&, const TWorkerRow&) override {}
    void CountsChanged(const TSchedulerCounts&) override {}
    void StopRequested(const std::string&) override {}
};

class TNoOpExecutor : public TJobTaskExecutor {
public:
    TTaskOutcome Run(const std::vector<std::string>&, const std::string&, const std::string&,
                     const TOutput&, const std::atomic<bool>&) override {
        ++ran;
        return {};
    }
    std::atomic<std::int64_t> ran{0};
};

std::string WriteDocument(std::int64_t count) {
    const std::string file = "/tmp/ravel_job_bench_" + std::to_string(::getpid()) + ".xml";
    std::ofstream out(file);
    out << "<?xml version=\"1.0\"?>\n<Build FormatVersion=\"1\">\n<Environment Name=\"E\">"
           "<Tool Name=\"n\" Path=\"/bin/true\"/></Environment>\n";
    std::mt19937_64 random(1000000);
    const std::int64_t perProject = count / 10;
    for (std::int64_t i = 0; i < count; ++i) {
        if (i % perProject == 0) {
            out << (i == 0 ? "" : "</Project>\n") << "<Project Name=\"P" << i / perProject
                << "\" Tool=\"n\">\n";
        }
        out << "<Task Name=\"t" << i << '"';
        const int deps = i == 0 ? 0 : static_cast<int>(random() % 3);
        for (int d = 0; d < deps; ++d) {
            out << (d == 0 ? " DependsOn=\"" : ";") << 't'
                << random() % static_cast<std::uint64_t>(i);
        }
        out << (deps ? "\"" : "") << "/>\n";
    }
    out << "</Project>\n</Build>\n";
    return file;
}

void BM_LoadAndSchedule(benchmark::State& state) {
    records::RegisterAllPacketClasses();
    const std::int64_t count = state.range(0);
    const std::string file = WriteDocument(count);
    const std::string environment("PATH=/usr/bin:/bin\0\0", 20);
    double loadSeconds = 0;
    double runSeconds = 0;
    for (auto _ : state) {
        const auto began = std::chrono::steady_clock::now();
        const TJobGraph graph = LoadJobGraph(file, environment);
        const auto loaded = std::chrono::steady_clock::now();
        TNullSink sink;
        TScheduler scheduler(LocalWorkerRows("bench", 2), false, sink);
        TNoOpExecutor executor;
        std::atomic<std::int64_t> events{0};
        TJobGraphRun run(
            graph, scheduler, {}, executor, [&events](const packets::TPacket&) { ++events; },
            [] { return 0; }, environment, false);
        run.Start(2);
        while (!run.WaitDone(1000)) {
        }
        run.Finish();
        const auto ran = std::chrono::steady_clock::now();
        if (graph.Tasks.size() != static_cast<std::size_t>(count) || executor.ran != count ||
            run.Counts().Succeeded != count) {
            state.SkipWithError("not every task ran once");
            break;
        }
        loadSeconds += std::chrono::duration<double>(loaded - began).count();
        runSeconds += std::chrono::duration<double>(ran - loaded).count();
    }
    std::filesystem::remove(file);
    state.counters["load_s"] = loadSeconds;
    state.counters["schedule_s"] = runSeconds;
    state.counters["loaded_tasks_per_s"] = static_cast<double>(count) / loadSeconds;
    state.counters["scheduled_tasks_per_s"] = static_cast<double>(count) / runSeconds;
}

BENCHMARK(BM_LoadAndSchedule)
    ->Arg(100000)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
