// Wake-up paths of the core runtime: two processes ping-ponging through two named
// events against the same exchange over bare futex words, and the notify queue's
// post-to-run latency (posted from another thread, answered through an event).
#include "core/NotifyQueue.h"
#include "platform/SharedObjects.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// A private namespace root, so the benchmark never meets an installed agent.
void UsePrivateObjects() {
    static const bool done = [] {
        char pattern[] = "/dev/shm/ravel-bench-XXXXXX";
        if (::mkdtemp(pattern) != nullptr) {
            ::setenv("TAVRIX_OBJECTS_DIR", pattern, 1);
            static const std::string root = pattern;
            std::atexit([] { std::filesystem::remove_all(root); });
        }
        return true;
    }();
    (void)done;
}

struct TShared {
    std::atomic<std::uint32_t> Ping;
    std::atomic<std::uint32_t> Pong;
    std::atomic<std::uint32_t> Quit;
};

TShared* MapShared() {
    void* p =
        ::mmap(nullptr, sizeof(TShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return new (p) TShared{};
}

void FutexWait(std::atomic<std::uint32_t>& word) {
    while (word.load() == 0) {
        ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT, 0, nullptr,
                  nullptr, 0);
    }
    word.store(0);
}

void FutexSet(std::atomic<std::uint32_t>& word) {
    word.store(1);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE, INT_MAX, nullptr,
              nullptr, 0);
}

void BM_BareFutexRoundTrip(benchmark::State& state) {
    TShared* shared = MapShared();
    const pid_t child = ::fork();
    if (child == 0) {
        for (;;) {
            FutexWait(shared->Ping);
            if (shared->Quit.load() != 0) {
                ::_exit(0);
            }
            FutexSet(shared->Pong);
        }
    }
    for (auto _ : state) {
        FutexSet(shared->Ping);
        FutexWait(shared->Pong);
    }
    shared->Quit.store(1);
    FutexSet(shared->Ping);
    ::waitpid(child, nullptr, 0);
    ::munmap(shared, sizeof(TShared));
}
BENCHMARK(BM_BareFutexRoundTrip)->UseRealTime();

void BM_NamedEventRoundTrip(benchmark::State& state) {
    UsePrivateObjects();
    const std::string suffix = std::to_string(::getpid());
    auto ping = platform::TEvent::Create("Global\\BenchPing_" + suffix, false, false);
    auto pong = platform::TEvent::Create("Global\\BenchPong_" + suffix, false, false);
    TShared* shared = MapShared();
    const pid_t child = ::fork();
    if (child == 0) {
        // The child finds both events by name, as another program would.
        auto myPing = platform::TEvent::Open("Global\\BenchPing_" + suffix);
        auto myPong = platform::TEvent::Open("Global\\BenchPong_" + suffix);
        for (;;) {
            myPing->Wait(platform::InfiniteTimeout);
            if (shared->Quit.load() != 0) {
                ::_exit(0);
            }
            myPong->Set();
        }
    }
    for (auto _ : state) {
        ping->Set();
        pong->Wait(platform::InfiniteTimeout);
    }
    shared->Quit.store(1);
    ping->Set();
    ::waitpid(child, nullptr, 0);
    ::munmap(shared, sizeof(TShared));
}
BENCHMARK(BM_NamedEventRoundTrip)->UseRealTime();

void BM_NotifyQueuePostToRun(benchmark::State& state) {
    UsePrivateObjects();
    core::TNotifyQueue* queue = nullptr;
    auto ready = platform::TEvent::CreateLocal(true, false);
    auto ran = platform::TEvent::CreateLocal(false, false);
    std::thread loop([&] {
        core::TNotifyQueue own;
        own.Attach();
        queue = &own;
        ready->Set();
        own.Run();
    });
    ready->Wait(platform::InfiniteTimeout);
    int target = 0;
    for (auto _ : state) {
        queue->Post({&target, "TBench"}, "Ran", [&] { ran->Set(); });
        ran->Wait(platform::InfiniteTimeout);
    }
    queue->Post({&target, "TBench"}, "Stop", [&] { queue->Stop(); });
    loop.join();
}
BENCHMARK(BM_NotifyQueuePostToRun)->UseRealTime();

void BM_NotifyQueuePostAndProcess(benchmark::State& state) {
    core::TNotifyQueue queue;
    queue.Attach();
    int target = 0;
    int count = 0;
    for (auto _ : state) {
        queue.Post({&target, "TBench"}, "Count", [&] { ++count; });
        queue.ProcessQueue();
    }
    benchmark::DoNotOptimize(count);
}
BENCHMARK(BM_NotifyQueuePostAndProcess);

} // namespace

BENCHMARK_MAIN();
