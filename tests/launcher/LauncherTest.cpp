// morvek-task as a build runs it: through a masquerade link, against a fake
// scheduler, compared with running the same tool directly.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <unistd.h>

#include "FakeScheduler.h"
#include "FakeTools.h"
#include "e2e/ProcessRunner.h"

using namespace launchertest;
using e2e::RemoveVariable;
using e2e::RunProgram;

namespace {

core::TTaskGrant Grant() {
    core::TTaskGrant grant;
    grant.task = 1;
    grant.worker = "local";
    return grant;
}

TFakeScheduler::TAnswer GrantAll(const core::TTaskBegin&) {
    return {Grant(), {}};
}

class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        tool = dir.Write("bin/cc", FakeCompiler, true);
        std::filesystem::create_directories(dir.Path() + "/masq");
        masqCc = dir.Path() + "/masq/cc";
        std::filesystem::create_symlink(LAUNCHER_BINARY, masqCc);
        dir.Write("x.c", "int x;\n");
    }
    std::string SearchPath() const {
        return dir.Path() + "/masq:" + dir.Path() + "/bin:/usr/bin:/bin";
    }
    // The tool directly, without any interception.
    e2e::TProcessResult Direct(const std::vector<std::string>& args) const {
        return RunProgram(tool, args,
                          {{"PATH", dir.Path() + "/bin:/usr/bin:/bin"},
                           {"MORVEK_TASK_ENDPOINT", RemoveVariable},
                           {"LD_PRELOAD", RemoveVariable},
                           {"MORVEK_TASK_DEPTH", "1"}},
                          dir.Path());
    }
    e2e::TProcessResult ThroughLauncher(const std::vector<std::string>& args,
                                        const std::string& endpoint,
                                        std::map<std::string, std::string> env = {}) const {
        env.emplace("PATH", SearchPath());
        env.emplace("MORVEK_TASK_ENDPOINT", endpoint.empty() ? RemoveVariable : endpoint);
        env.emplace("LD_PRELOAD", RemoveVariable);
        env.emplace("MORVEK_TASK_DEPTH", RemoveVariable);
        std::vector<std::string> words = {"-c", ExecAsBuildCommand, masqCc};
        words.insert(words.end(), args.begin(), args.end());
        return RunProgram("/bin/sh", words, env, dir.Path());
    }
    TTempFolder dir;
    std::string tool, masqCc;
};

} // namespace

// The tool's output reaches the build unchanged, as the task's; the launcher writes none.
TEST_F(Launcher, ExitCodesAndCountsPassThroughAndOutputGoesToTheBuildExactly) {
    struct TCase {
        std::vector<std::string> args;
        int errors, warnings;
    };
    const TCase cases[] = {
        {{"-c", "x.c", "-o", "x.o"}, 0, 0},  {{"-c", "x.c", "-DEXIT=3"}, 0, 0},
        {{"-c", "x.c", "-DEXIT=255"}, 0, 0}, {{"-c", "x.c", "-DDIAG", "-DEXIT=1"}, 2, 1},
        {{"-c", "x.c", "-DSTDIN"}, 0, 0},
    };
    // Bytes that are no UTF-8 and more than one read of a pipe.
    std::string input(200000, 'a');
    for (std::size_t i = 0; i < input.size(); i += 7) {
        input[i] = static_cast<char>(0x80 + i % 128);
    }
    dir.Write("input", input);
    TFakeScheduler scheduler(GrantAll);
    std::vector<e2e::TProcessResult> directs;
    for (const auto& c : cases) {
        const bool piped = c.args.back() == "-DSTDIN";
        directs.push_back(piped ? RunProgram("/bin/sh", {"-c", tool + " -c x.c -DSTDIN <input"},
                                             {{"MORVEK_TASK_DEPTH", "1"},
                                              {"LD_PRELOAD", RemoveVariable},
                                              {"MORVEK_TASK_ENDPOINT", RemoveVariable}},
                                             dir.Path())
                                : Direct(c.args));
        const auto launched =
            piped ? RunProgram("/bin/sh", {"-c", AsBuildOutput + masqCc + " -c x.c -DSTDIN <input"},
                               {{"PATH", SearchPath()},
                                {"LD_PRELOAD", RemoveVariable},
                                {"MORVEK_TASK_ENDPOINT", scheduler.Path()}},
                               dir.Path())
                  : ThroughLauncher(c.args, scheduler.Path());
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(launched.Out, "");
        EXPECT_EQ(launched.Err, "");
        EXPECT_EQ(launched.ExitCode, directs.back().ExitCode);
    }
    const auto connections = scheduler.Connections(std::size(cases));
    ASSERT_EQ(connections.size(), std::size(cases));
    for (std::size_t i = 0; i < connections.size(); ++i) {
        SCOPED_TRACE(cases[i].args.back());
        EXPECT_EQ(connections[i].Out, directs[i].Out);
        EXPECT_EQ(connections[i].Err, directs[i].Err);
        ASSERT_EQ(connections[i].Messages.size(), 2u);
        EXPECT_FALSE(connections[i].ClosedBeforeEnd);
        const auto& begin = std::get<core::TTaskBegin>(connections[i].Messages[0]);
        EXPECT_EQ(begin.tool, dir.Path() + "/bin/cc");
        EXPECT_EQ(begin.argv[0], masqCc);
        EXPECT_EQ(std::vector<std::string>(begin.argv.begin() + 1, begin.argv.end()),
                  cases[i].args);
        EXPECT_EQ(begin.kind, core::TTaskKind::Compile);
        EXPECT_EQ(begin.source, "x.c");
        EXPECT_EQ(begin.caption, "x.c");
        EXPECT_EQ(begin.cwd, dir.Path());
        const auto& end = std::get<core::TTaskEnd>(connections[i].Messages[1]);
        EXPECT_EQ(end.errors, cases[i].errors);
        EXPECT_EQ(end.warnings, cases[i].warnings);
        EXPECT_EQ(end.signal, 0);
        EXPECT_FALSE(end.engineFailure);
    }
    EXPECT_EQ(std::get<core::TTaskBegin>(connections[0].Messages[0]).output, "x.o");
    EXPECT_EQ(std::get<core::TTaskEnd>(connections[1].Messages[1]).exitCode, 3);
}

// The build takes a stream only where it would land on the build's output anyway: a
// stream the caller captures or redirects gets the tool's bytes itself, and the task
// still counts what it saw. A driver that reads a command's pipe and prints it on the
// build's output (as ninja does) counts as the build's output.
TEST_F(Launcher, OutputGoesWhereTheCallerPointsIt) {
    // Captures its command's output and error and prints them on its own output.
    dir.Write("driver/ninja", "#!/bin/sh\nout=$(\"$@\" 2>&1)\nprintf '%s\\n' \"$out\"\n", true);
    const std::string compile = masqCc + " -c x.c -DDIAG -DEXIT=1";
    struct TCase {
        const char* name;
        std::string script;
        bool buildOut, buildErr; // the build received the stream
        std::string shown;       // the caller's output shows this
    };
    const TCase cases[] = {
        {"captured", AsBuildOutput + "out=$(" + compile + " 2>&1); echo \"captured[$out]\"", false,
         false, "captured[out: -c x.c"},
        {"output captured, error the build's",
         AsBuildOutput + "out=$(" + compile + "); echo \"[$out]\"", false, true, "[out: -c x.c"},
        {"into a file", AsBuildOutput + compile + " >log 2>&1; cat log", false, false,
         "out: -c x.c"},
        {"no build output named", compile + " 2>&1", false, false, "out: -c x.c"},
        {"a driver that prints what it reads",
         AsBuildOutput + dir.Path() + "/driver/ninja " + compile, true, true, ""},
    };
    TFakeScheduler scheduler(GrantAll);
    for (const auto& c : cases) {
        const auto launched = RunProgram(
            "/bin/sh", {"-c", c.script},
            {{"PATH", SearchPath()}, {"MORVEK_TASK_ENDPOINT", scheduler.Path()}}, dir.Path());
        EXPECT_EQ(launched.Err, "") << c.name;
        if (c.shown.empty()) {
            EXPECT_EQ(launched.Out, "\n") << c.name;
        } else {
            EXPECT_NE(launched.Out.find(c.shown), std::string::npos)
                << c.name << ": " << launched.Out;
        }
    }
    const auto connections = scheduler.Connections(std::size(cases));
    ASSERT_EQ(connections.size(), std::size(cases));
    for (std::size_t i = 0; i < connections.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(connections[i].Out.find("out: -c x.c") != std::string::npos, cases[i].buildOut)
            << connections[i].Out;
        EXPECT_EQ(connections[i].Err.find("error: bad y") != std::string::npos, cases[i].buildErr)
            << connections[i].Err;
        ASSERT_EQ(connections[i].Messages.size(), 2u);
        const auto& end = std::get<core::TTaskEnd>(connections[i].Messages[1]);
        EXPECT_EQ(end.exitCode, 1);
        EXPECT_EQ(end.errors, 2);
        EXPECT_EQ(end.warnings, 1);
    }
}

TEST_F(Launcher, SignalledToolIsExitStatus128PlusSignal) {
    TFakeScheduler scheduler(GrantAll);
    for (const auto& [name, number] : {std::pair{"KILL", 9}, std::pair{"SEGV", 11}}) {
        const auto launched =
            ThroughLauncher({"-c", "x.c", std::string("-DSIG=") + name}, scheduler.Path());
        EXPECT_EQ(launched.ExitCode, 128 + number) << name;
    }
    const auto connections = scheduler.Connections(2);
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(std::get<core::TTaskEnd>(connections[0].Messages.at(1)).signal, 9);
    EXPECT_EQ(std::get<core::TTaskEnd>(connections[1].Messages.at(1)).exitCode, 139);
}

TEST_F(Launcher, TerminationRequestReachesTheToolAndEndsTheTask) {
    TFakeScheduler scheduler(GrantAll);
    const auto running = e2e::StartProgram(
        masqCc, {"-c", "x.c", "-DSLEEP"},
        {{"PATH", SearchPath()}, {"MORVEK_TASK_ENDPOINT", scheduler.Path()}}, dir.Path());
    const std::string started = dir.Path() + "/started";
    for (int i = 0; i < 2000 && !std::filesystem::exists(started); ++i) {
        ::usleep(10000);
    }
    ASSERT_TRUE(std::filesystem::exists(started));
    ::kill(running.Pid, SIGTERM);
    const auto result = e2e::FinishProgram(running);
    EXPECT_EQ(result.ExitCode, 128 + SIGTERM);
    const auto connections = scheduler.Connections(1);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(std::get<core::TTaskEnd>(connections[0].Messages.at(1)).signal, SIGTERM);
}

TEST_F(Launcher, GrantEnvironmentAndPrefixApplyToTheToolOnly) {
    const std::string wrapper = dir.Write("engine/wrap", FakeWrapper, true);
    TFakeScheduler scheduler([&](const core::TTaskBegin&) {
        core::TTaskGrant grant = Grant();
        grant.prefix = {wrapper};
        grant.env = {{"FOO", "bar baz"}};
        return TFakeScheduler::TAnswer{grant, {}};
    });
    const auto launched = ThroughLauncher(
        {"-c", "x.c"}, scheduler.Path(), {{"LD_PRELOAD", "/x/libMorvekHook.so:/keep/libother.so"}});
    EXPECT_EQ(launched.ExitCode, 0);
    const auto connections = scheduler.Connections(1);
    ASSERT_EQ(connections.size(), 1u);
    const std::string& err = connections[0].Err;
    EXPECT_NE(err.find("wrapped: " + dir.Path() + "/bin/cc"), std::string::npos) << err;
    // The tool runs outside the interception, one level deep, with the grant's variable.
    EXPECT_NE(err.find("endpoint= preload=/keep/libother.so depth=1 foo=bar baz"),
              std::string::npos)
        << err;
}

TEST_F(Launcher, MissingPrefixEngineIsAnEngineFailure) {
    TFakeScheduler scheduler([&](const core::TTaskBegin&) {
        core::TTaskGrant grant = Grant();
        grant.prefix = {"no-such-engine-ravel"};
        return TFakeScheduler::TAnswer{grant, {}};
    });
    const auto launched = ThroughLauncher({"-c", "x.c"}, scheduler.Path());
    EXPECT_EQ(launched.ExitCode, 127);
    EXPECT_NE(launched.Err.find("no-such-engine-ravel"), std::string::npos);
    const auto connections = scheduler.Connections(1);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_TRUE(std::get<core::TTaskEnd>(connections[0].Messages.at(1)).engineFailure);
}

TEST_F(Launcher, DenyStopsWithoutRunningTheTool) {
    TFakeScheduler scheduler([](const core::TTaskBegin&) {
        return TFakeScheduler::TAnswer{core::TTaskDeny{"the build is stopping"}, {}};
    });
    const auto launched = ThroughLauncher({"-c", "x.c"}, scheduler.Path());
    EXPECT_EQ(launched.ExitCode, 1);
    EXPECT_EQ(launched.Out, "");
    EXPECT_NE(launched.Err.find("the build is stopping"), std::string::npos);
}

TEST_F(Launcher, ToolRunsUnchangedWhenTheBuildIsAbsentOrBroken) {
    const std::vector<std::string> args = {"-c", "x.c", "-DDIAG", "-DEXIT=4"};
    const auto direct = Direct(args);
    TFakeScheduler closes([](const core::TTaskBegin&) { return TFakeScheduler::TAnswer{}; });
    TFakeScheduler garbage([](const core::TTaskBegin&) {
        return TFakeScheduler::TAnswer{std::nullopt, std::string("\x05\0\0\0nope!", 9)};
    });
    TFakeScheduler oversized([](const core::TTaskBegin&) {
        return TFakeScheduler::TAnswer{std::nullopt, std::string("\xff\xff\xff\x7f", 4)};
    });
    TFakeScheduler stale(GrantAll);
    stale.StopListening();
    TFakeScheduler gone([](const core::TTaskBegin&) {
        TFakeScheduler::TAnswer answer{Grant(), {}};
        answer.Close = true;
        return answer;
    });
    struct TCase {
        const char* name;
        std::string endpoint;
        std::map<std::string, std::string> env;
    };
    const TCase cases[] = {
        {"no endpoint", "", {}},
        {"absent socket", dir.Path() + "/none", {}},
        {"stale socket", stale.Path(), {}},
        {"a file, not a socket", dir.Path() + "/x.c", {}},
        {"scheduler closes", closes.Path(), {}},
        {"scheduler closes after the grant", gone.Path(), {}},
        {"scheduler sends garbage", garbage.Path(), {}},
        {"scheduler sends an oversized frame", oversized.Path(), {}},
        {"garbage endpoint", std::string(300, 'e'), {}},
        {"garbage depth and tools",
         dir.Path() + "/none",
         {{"MORVEK_TASK_DEPTH", "x\x01y"},
          {"MORVEK_TASK_TOOLS", ":::*"},
          {"MORVEK_TASK_LAUNCHER", "\x02"}}},
    };
    for (const auto& c : cases) {
        const auto launched = ThroughLauncher(args, c.endpoint, c.env);
        EXPECT_EQ(launched.Out, direct.Out) << c.name;
        EXPECT_EQ(launched.Err, direct.Err) << c.name;
        EXPECT_EQ(launched.ExitCode, direct.ExitCode) << c.name;
    }
}

TEST_F(Launcher, ProbesRunDirectlyWithoutATask) {
    TFakeScheduler scheduler(GrantAll);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--version"}, {"-dumpmachine"}, {"-E", "x.c"}, {}}) {
        const auto direct = Direct(args);
        const auto launched = ThroughLauncher(args, scheduler.Path());
        EXPECT_EQ(launched.Out, direct.Out);
        EXPECT_EQ(launched.ExitCode, direct.ExitCode);
    }
    // The first connection the scheduler sees is the task after the probes.
    ThroughLauncher({"-c", "x.c"}, scheduler.Path());
    const auto connections = scheduler.Connections(1);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(std::get<core::TTaskBegin>(connections[0].Messages.at(0)).argv.at(1), "-c");
}

// A compile whose -c and source are in a response file is a compile task of that source;
// the tool still gets the arguments as written. A file that cannot be read, or that is
// a pipe (the tool's standard input), is left to the tool untouched.
TEST_F(Launcher, ResponseFilesAreReadForTheTaskOnly) {
    TFakeScheduler scheduler(GrantAll);
    dir.Write("compile.rsp", "-c 'x.c'\n");
    const auto launched = ThroughLauncher({"@compile.rsp", "-DEXIT=3"}, scheduler.Path());
    EXPECT_EQ(launched.ExitCode, 3);
    const auto missing = ThroughLauncher({"@missing.rsp", "-DEXIT=4"}, scheduler.Path());
    EXPECT_EQ(missing.ExitCode, 4);
    const std::string script =
        AsBuildOutput + "printf 'input bytes\\n' | " + masqCc + " @/dev/stdin -DSTDIN";
    const auto piped = RunProgram(
        "/bin/sh", {"-c", script},
        {{"PATH", SearchPath()}, {"MORVEK_TASK_ENDPOINT", scheduler.Path()}}, dir.Path());
    const auto connections = scheduler.Connections(3);
    ASSERT_EQ(connections.size(), 3u);
    EXPECT_EQ(connections[0].Out, "out: @compile.rsp -DEXIT=3\n");
    EXPECT_EQ(connections[2].Out, "input bytes\nout: @/dev/stdin -DSTDIN\n");
    const auto& begin = std::get<core::TTaskBegin>(connections[0].Messages.at(0));
    EXPECT_EQ(begin.kind, core::TTaskKind::Compile);
    EXPECT_EQ(begin.source, "x.c");
    EXPECT_EQ(std::vector<std::string>(begin.argv.begin() + 1, begin.argv.end()),
              (std::vector<std::string>{"@compile.rsp", "-DEXIT=3"}));
    EXPECT_EQ(std::get<core::TTaskBegin>(connections[1].Messages.at(0)).source, "");
}

TEST_F(Launcher, StandardStreamsPassThrough) {
    TFakeScheduler scheduler(GrantAll);
    const std::string script =
        AsBuildOutput + "printf 'input bytes\\n' | " + masqCc + " -c x.c -DSTDIN";
    const auto piped = RunProgram(
        "/bin/sh", {"-c", script},
        {{"PATH", SearchPath()}, {"MORVEK_TASK_ENDPOINT", scheduler.Path()}}, dir.Path());
    EXPECT_EQ(piped.ExitCode, 0);
    // A closed output stream stays closed for the tool, exactly as without the launcher.
    const auto closedDirect = RunProgram("/bin/sh", {"-c", tool + " -c x.c -DEXIT=2 >&-"},
                                         {{"MORVEK_TASK_DEPTH", "1"}}, dir.Path());
    const auto closedLaunched = RunProgram(
        "/bin/sh", {"-c", masqCc + " -c x.c -DEXIT=2 >&-"},
        {{"PATH", SearchPath()}, {"MORVEK_TASK_ENDPOINT", scheduler.Path()}}, dir.Path());
    EXPECT_EQ(closedLaunched.ExitCode, closedDirect.ExitCode);
    EXPECT_EQ(closedLaunched.Out, closedDirect.Out);
    const auto connections = scheduler.Connections(2);
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[0].Out, "input bytes\nout: -c x.c -DSTDIN\n");
    EXPECT_EQ(connections[1].Out, "");
}

TEST_F(Launcher, NeverStartsItselfAgain) {
    // Every "cc" on PATH is the launcher: it refuses at once instead of recursing.
    std::filesystem::create_directories(dir.Path() + "/other");
    std::filesystem::create_symlink(LAUNCHER_BINARY, dir.Path() + "/other/cc");
    const auto launched = RunProgram(masqCc, {"-c", "x.c"},
                                     {{"PATH", dir.Path() + "/masq:" + dir.Path() + "/other"},
                                      {"MORVEK_TASK_ENDPOINT", RemoveVariable}},
                                     dir.Path());
    EXPECT_EQ(launched.ExitCode, 127);
    EXPECT_NE(launched.Err.find("not on PATH"), std::string::npos) << launched.Err;
    // --tool naming the launcher itself falls back to the search, which skips it.
    const auto named =
        RunProgram(LAUNCHER_BINARY, {"--tool=" + masqCc, "cc", "-c", "x.c"},
                   {{"PATH", SearchPath()}, {"MORVEK_TASK_ENDPOINT", RemoveVariable}}, dir.Path());
    EXPECT_EQ(named.ExitCode, 0);
    EXPECT_NE(named.Out.find("out: -c x.c"), std::string::npos);
    // Launchers of two installs that find each other stop after a few rounds.
    const auto deep = RunProgram(masqCc, {"-c", "x.c"},
                                 {{"PATH", SearchPath()}, {"MORVEK_TASK_DEPTH", "4"}}, dir.Path());
    EXPECT_EQ(deep.ExitCode, 127);
    const auto usage = RunProgram(LAUNCHER_BINARY, {"cc"}, {}, dir.Path());
    EXPECT_EQ(usage.ExitCode, 2);
}
