// Tasks through the build's endpoint and scheduler: each iteration is one task as a
// launcher makes it (connect, begin, grant, end) with a no-op tool, from several
// client threads at once against two worker rows.
#include "buildsys/TaskEndpoint.h"
#include "buildsys/WorkerRows.h"
#include "platform/LocalSocket.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

class TNullSink : public buildsys::TSchedulerSink {
public:
    void TaskStarted(const buildsys::TRunningTask&, const buildsys::TWorkerRow&) override {}
    void TaskEnded(const buildsys::TRunningTask&, const buildsys::TWorkerRow&,
                   const buildsys::TTaskOutcome&) override {}
    void TaskLost(const buildsys::TRunningTask&, const buildsys::TWorkerRow&) override {}
    void CountsChanged(const buildsys::TSchedulerCounts&) override {}
    void StopRequested(const std::string&) override {}
};

struct TServer {
    TServer() {
        char pattern[] = "/tmp/ravel_bench_XXXXXX";
        folder = ::mkdtemp(pattern);
        scheduler =
            std::make_unique<buildsys::TScheduler>(buildsys::LocalWorkerRows("b", 2), false, sink);
        endpoint = std::make_unique<buildsys::TTaskEndpoint>(*scheduler, folder + "/e.sock");
    }
    ~TServer() {
        endpoint.reset();
        std::filesystem::remove_all(folder);
    }
    std::string folder;
    TNullSink sink;
    std::unique_ptr<buildsys::TScheduler> scheduler;
    std::unique_ptr<buildsys::TTaskEndpoint> endpoint;
};

TServer* server = nullptr;

bool OneTask(const std::string& path, const std::string& begin, const std::string& end) {
    auto socket = platform::TLocalSocket::Connect(path);
    if (!socket || !socket->SendAll(begin)) {
        return false;
    }
    core::TTaskFrameReader reader;
    char buffer[4096];
    std::optional<core::TTaskMessage> answer;
    while (!(answer = reader.Next())) {
        const std::int64_t got = socket->Receive(buffer, sizeof buffer);
        if (got <= 0) {
            return false;
        }
        reader.Append(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
    return std::holds_alternative<core::TTaskGrant>(*answer) && socket->SendAll(end);
}

void BM_TaskThroughEndpoint(benchmark::State& state) {
    if (state.thread_index() == 0) {
        server = new TServer;
    }
    core::TTaskBegin begin;
    begin.tool = "/bin/true";
    begin.argv = {"true"};
    begin.caption = "noop";
    const std::string beginFrame = core::EncodeTaskFrame(begin);
    const std::string endFrame = core::EncodeTaskFrame(core::TTaskEnd{});
    for (auto _ : state) {
        if (!OneTask(server->endpoint->Path(), beginFrame, endFrame)) {
            state.SkipWithError("task failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        delete server;
        server = nullptr;
    }
}
BENCHMARK(BM_TaskThroughEndpoint)->Threads(4)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
