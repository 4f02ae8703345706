// The exec hook preloaded into a program that starts tools in every common way,
// with a fake scheduler as the build's endpoint.
#include <gtest/gtest.h>

#include <filesystem>

#include "FakeScheduler.h"
#include "FakeTools.h"
#include "e2e/ProcessRunner.h"

using namespace launchertest;
using e2e::RemoveVariable;
using e2e::RunProgram;

namespace {

class Hook : public ::testing::Test {
protected:
    void SetUp() override {
        tool = dir.Write("bin/cc", FakeCompiler, true);
        other = dir.Write("bin/notcc", FakeCompiler, true);
        dir.Write("x.c", "int x;\n");
    }
    std::map<std::string, std::string> Env(const std::string& endpoint) const {
        return {{"PATH", dir.Path() + "/bin:/usr/bin:/bin"},
                {"LD_PRELOAD", HOOK_LIBRARY},
                {"MORVEK_TASK_ENDPOINT", endpoint},
                {"MORVEK_TASK_TOOLS", "gcc:c++:cc:clang-[0-9]*"},
                {"MORVEK_TASK_LAUNCHER", LAUNCHER_BINARY},
                {"MORVEK_TASK_DEPTH", RemoveVariable}};
    }
    e2e::TProcessResult Client(const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& env) const {
        std::vector<std::string> words = {"-c", ExecAsBuildCommand, HOOK_CLIENT};
        words.insert(words.end(), args.begin(), args.end());
        return RunProgram("/bin/sh", words, env, dir.Path());
    }
    TTempFolder dir;
    std::string tool, other;
};

core::TTaskGrant Grant() {
    core::TTaskGrant grant;
    grant.worker = "local";
    return grant;
}

} // namespace

TEST_F(Hook, EveryWayOfStartingAProfiledToolBecomesATask) {
    TFakeScheduler scheduler([](const core::TTaskBegin&) {
        return TFakeScheduler::TAnswer{Grant(), {}};
    });
    struct TCase {
        std::vector<std::string> args;
        std::string argv0;
    };
    const std::string absolute = dir.Path() + "/bin/cc";
    const TCase cases[] = {
        {{"execv", absolute, "-c", "x.c", "-DEXIT=5"}, absolute},
        {{"execve", absolute, "-c", "x.c", "-DEXIT=5"}, absolute},
        {{"execvp", "cc", "-c", "x.c", "-DEXIT=5"}, "cc"},
        {{"execl", absolute, "-c", "x.c", "-DEXIT=5"}, absolute},
        {{"posix_spawn", absolute, "-c", "x.c", "-DEXIT=5"}, absolute},
        {{"posix_spawnp", "cc", "-c", "x.c", "-DEXIT=5"}, "cc"},
        {{"system", "cc", "-c", "x.c", "-DEXIT=5"}, "cc"},
        {{"vfork", "cc", "-c", "x.c", "-DEXIT=5"}, "cc"},
        {{"closefds", "cc", "-c", "x.c", "-DEXIT=5"}, "cc"},
        {{"fexecve", absolute, "-c", "x.c", "-DEXIT=5"}, absolute},
        {{"execveat", absolute, "-c", "x.c", "-DEXIT=5"}, absolute},
        {{"execveat-empty", absolute, "-c", "x.c", "-DEXIT=5"}, absolute},
    };
    for (const auto& c : cases) {
        const auto result = Client(c.args, Env(scheduler.Path()));
        EXPECT_EQ(result.ExitCode, 5) << c.args[0] << ": " << result.Err;
    }
    const auto connections = scheduler.Connections(std::size(cases));
    ASSERT_EQ(connections.size(), std::size(cases));
    for (std::size_t i = 0; i < connections.size(); ++i) {
        SCOPED_TRACE(cases[i].args[0]);
        ASSERT_EQ(connections[i].Messages.size(), 2u);
        const auto& begin = std::get<core::TTaskBegin>(connections[i].Messages[0]);
        EXPECT_EQ(std::filesystem::canonical(begin.tool), std::filesystem::canonical(tool));
        EXPECT_EQ(begin.argv.at(0), cases[i].argv0);
        EXPECT_EQ(begin.argv.at(1), "-c");
        EXPECT_EQ(begin.kind, core::TTaskKind::Compile);
        EXPECT_EQ(std::get<core::TTaskEnd>(connections[i].Messages[1]).exitCode, 5);
        // The tool's output is the task's; the tool itself ran outside the interception.
        EXPECT_NE(connections[i].Out.find("out: -c x.c -DEXIT=5"), std::string::npos);
        EXPECT_NE(connections[i].Err.find("endpoint= preload= depth=1"), std::string::npos)
            << connections[i].Err;
    }
}

TEST_F(Hook, OtherProgramsAndCallsOutsideABuildAreUntouched) {
    TFakeScheduler scheduler([](const core::TTaskBegin&) {
        return TFakeScheduler::TAnswer{Grant(), {}};
    });
    // A program not in the profile keeps its environment and runs as called.
    for (const char* mode :
         {"execv", "execvp", "posix_spawnp", "system", "fexecve", "execveat", "execveat-empty"}) {
        const bool byName = std::string(mode) == "execvp" || std::string(mode) == "posix_spawnp" ||
                            std::string(mode) == "system";
        const std::string program = byName ? "notcc" : other;
        const auto result = Client({mode, program, "-c", "x.c", "-DEXIT=6"}, Env(scheduler.Path()));
        EXPECT_EQ(result.ExitCode, 6) << mode;
        EXPECT_NE(result.Err.find("endpoint=" + scheduler.Path() + " preload=" HOOK_LIBRARY),
                  std::string::npos)
            << mode << ": " << result.Err;
    }
    // A profiled tool without an endpoint, and one whose exec fails, as without the hook.
    auto env = Env(scheduler.Path());
    env["MORVEK_TASK_ENDPOINT"] = RemoveVariable;
    const auto outside = Client({"execvp", "cc", "-c", "x.c", "-DEXIT=7"}, env);
    EXPECT_EQ(outside.ExitCode, 7);
    const auto missing = Client({"execvp", "clang-99", "-c", "x.c"}, Env(scheduler.Path()));
    EXPECT_EQ(missing.ExitCode, 127);
    EXPECT_NE(missing.Err.find("No such file"), std::string::npos) << missing.Err;
    const std::string notExecutable = dir.Write("noexec/cc", "int x;\n");
    const auto unexecutable = Client({"execv", notExecutable}, Env(scheduler.Path()));
    EXPECT_EQ(unexecutable.ExitCode, 127);
    // The first and only task the scheduler sees is the one after these.
    Client({"execvp", "cc", "-c", "x.c"}, Env(scheduler.Path()));
    const auto connections = scheduler.Connections(1);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(std::get<core::TTaskBegin>(connections[0].Messages.at(0)).argv.back(), "x.c");
}

TEST_F(Hook, RealCompilerThroughMakeStyleCallsMatchesDirectRun) {
    TFakeScheduler scheduler([](const core::TTaskBegin&) {
        return TFakeScheduler::TAnswer{Grant(), {}};
    });
    dir.Write("bad.c", "int f(void) { int unused; return y; }\n");
    const auto gcc = std::filesystem::path("/usr/bin/gcc");
    if (!std::filesystem::exists(gcc)) {
        GTEST_SKIP() << "no gcc";
    }
    std::vector<e2e::TProcessResult> directs;
    for (const char* source : {"x.c", "bad.c"}) {
        const std::string obj = std::string(source) + ".o";
        auto env = Env(scheduler.Path());
        env["PATH"] = "/usr/bin:/bin";
        const auto hooked = Client({"execvp", "gcc", "-Wall", "-c", source, "-o", obj}, env);
        const auto direct = RunProgram("/usr/bin/gcc", {"-Wall", "-c", source, "-o", obj},
                                       {{"LD_PRELOAD", RemoveVariable}}, dir.Path());
        EXPECT_EQ(hooked.ExitCode, direct.ExitCode) << source;
        EXPECT_EQ(hooked.Out, "") << source;
        EXPECT_EQ(hooked.Err, "") << source;
        directs.push_back(direct);
    }
    const auto connections = scheduler.Connections(2);
    ASSERT_EQ(connections.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(connections[i].Out, directs[i].Out);
        EXPECT_EQ(connections[i].Err, directs[i].Err);
    }
    const auto& end = std::get<core::TTaskEnd>(connections[1].Messages.at(1));
    EXPECT_EQ(end.exitCode, 1);
    EXPECT_EQ(end.errors, 1);
    EXPECT_EQ(end.warnings, 2); // unused variable, end of a non-void function
}
