// Whole-process wall time of a console invocation against /bin/true: both are
// spawned the same way, so the difference is the console's own start-up cost.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

void SpawnAndWait(benchmark::State& state, std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = 0;
        if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            state.SkipWithError("spawn failed");
            break;
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

void BM_BinTrue(benchmark::State& state) {
    SpawnAndWait(state, {"/bin/true"});
}
void BM_RavelconHelp(benchmark::State& state) {
    SpawnAndWait(state, {RAVELCON_BINARY, "/nologo", "/?"});
}

BENCHMARK(BM_BinTrue)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(20)
    ->Repetitions(25)
    ->ReportAggregatesOnly();
BENCHMARK(BM_RavelconHelp)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(20)
    ->Repetitions(25)
    ->ReportAggregatesOnly();

} // namespace

BENCHMARK_MAIN();
