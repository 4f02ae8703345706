// Whole builds through the real programs of a private installation: the console,
// the agent and the build system, with real commands as the builds.
#include "../platform/TestProcess.h"
#include "Installation.h"
#include "ProcessRunner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

// Processes whose command line holds `marker` (with `atStart`, begins with it: the
// consoles and shells that pass the marker on do not count then).
std::vector<int> ProcessesWith(const std::string& marker, bool atStart = false) {
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string cmdline = ReadFile(entry.path().string() + "/cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        const bool match = atStart ? cmdline.starts_with(marker) : Contains(cmdline, marker);
        if (match && std::stoi(name) != ::getpid()) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

// A command line no other run of these tests has: "sleep 30.<pid><n>".
std::string Marker(int n) {
    return "sleep 30." + std::to_string(::getpid()) + std::to_string(n);
}

int ParentOf(int pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 1));
    std::string state;
    int parent = 0;
    fields >> state >> parent;
    return parent;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

char StateOf(int pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? 'X' : stat[end + 2];
}

// The exit code of a started program whose output is not read (-1: ended by a signal).
int WaitExit(const TRunningProgram& running) {
    int status = 0;
    while (::waitpid(running.Pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(running.Out);
    ::close(running.Err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Checks that `out` is "1\r\n2\r\n...count\r\n", naming the first line that differs.
void ExpectSequence(const std::string& out, long count) {
    std::size_t at = 0;
    for (long i = 1; i <= count; ++i) {
        const std::string line = std::to_string(i) + "\r\n";
        if (out.compare(at, line.size(), line) != 0) {
            FAIL() << "line " << i << " missing or wrong (" << out.size() << " bytes arrived)";
        }
        at += line.size();
    }
    EXPECT_EQ(at, out.size()) << "more output than the lines";
}

// A process that has not ended (a zombie has).
bool Running(int pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Those of the processes that work in this test's objects folder.
std::vector<int> OfThisInstallation(const std::vector<int>& pids) {
    const std::string own = "TAVRIX_OBJECTS_DIR=" + install.Objects;
    std::vector<int> found;
    for (const int pid : pids) {
        std::string environment = ReadFile("/proc/" + std::to_string(pid) + "/environ");
        std::replace(environment.begin(), environment.end(), '\0', '\n');
        if (Running(pid) && Contains("\n" + environment + "\n", "\n" + own + "\n")) {
            found.push_back(pid);
        }
    }
    return found;
}

class BuildE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetUpInstallation("build-e2e", {RAVELCON_BINARY, AGENT_BINARY}, {VARIDADEZIZ_BINARY});
    }
    static void TearDownTestSuite() { TearDownInstallation(); }
    void SetUp() override { WriteRegistry("\"MaxConcurrentBuilds\"=dword:00000001\r\n"); }

    TProcessResult Build(std::vector<std::string> args) {
        args.insert(args.begin(), "/nologo");
        return RunProgram(Ravelcon(), args);
    }
    TRunningProgram StartBuild(std::vector<std::string> args) {
        args.insert(args.begin(), "/nologo");
        return StartProgram(Ravelcon(), args);
    }
    // Starts a build that runs until it is stopped, and waits until its command runs.
    TRunningProgram StartLongBuild(const std::string& marker) {
        TRunningProgram running = StartBuild({"/COMMAND=" + marker + "; echo done"});
        EXPECT_TRUE(WaitUntil([&] { return !ProcessesWith(marker, true).empty(); }, 10000));
        return running;
    }
    // The build system the console `console` started.
    static std::vector<int> BuildSystemsOf(int console) {
        std::vector<int> found;
        for (const int pid : ProcessesWith("VaridAdeziz /id=")) {
            if (ParentOf(pid) == console) {
                found.push_back(pid);
            }
        }
        return found;
    }
    static bool Gone(const std::string& marker) {
        return WaitUntil([&] { return ProcessesWith(marker).empty(); }, 15000);
    }
};

TEST_F(BuildE2E, CommandResultsAndOutputStreams) {
    TAgent agent;
    const struct {
        std::vector<std::string> Args;
        std::string Out;
        std::string Err;
        int ExitCode;
    } cases[] = {
        {{"/COMMAND=printf 'one\\ntwo\\n'; printf 'oops\\n' >&2"}, "one\r\ntwo\r\n", "oops\r\n", 0},
        {{"/COMMAND=printf 'x.c:1:1: error: boom\\n' >&2; exit 3", "/exitcodebase=100"},
         "",
         "x.c:1:1: error: boom\r\n",
         103},
        {{"/COMMAND=exit 0", "/exitcodebase=100"}, "", "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Args[0]);
        const TProcessResult r = Build(c.Args);
        EXPECT_EQ(r.Out, c.Out);
        EXPECT_EQ(r.Err, c.Err);
        EXPECT_EQ(r.ExitCode, c.ExitCode);
    }
    // The build left its history file behind.
    EXPECT_FALSE(fs::is_empty(install.Folder + "/History/Local"));
}

TEST_F(BuildE2E, LogAndOutFilesCaptureTheOutput) {
    TAgent agent;
    const std::string log = install.Root + "/logs/build.log";
    const std::string out = install.Root + "/out/build.txt";
    const TProcessResult r = Build(
        {"/COMMAND=echo to-stdout; sleep 0.3; echo to-stderr >&2", "/LOG=" + log, "/OUT=" + out});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(ReadFile(out), "to-stdout\r\nto-stderr\r\n");
    const std::string logText = ReadFile(log);
    EXPECT_TRUE(Contains(logText, "Build Log")) << logText;
    EXPECT_TRUE(logText.ends_with("to-stdout\r\nto-stderr\r\n")) << logText;
}

// The console's watchdog looks at the build system's own mutex while no event comes:
// a build that is quiet for longer than the watchdog's 10 s is no lost build.
TEST_F(BuildE2E, AQuietBuildOutlastsTheWatchdog) {
    TAgent agent;
    const TProcessResult r = Build({"/COMMAND=echo begun; sleep 12; echo done"});
    EXPECT_EQ(r.Out, "begun\r\ndone\r\n") << r.Err;
    EXPECT_EQ(r.Err, "");
    EXPECT_EQ(r.ExitCode, 0);
}

TEST_F(BuildE2E, FullSlotsWaitOrRefuse) {
    TAgent agent;
    const TRunningProgram first = StartBuild({"/COMMAND=sleep 2; echo done"});
    ASSERT_TRUE(
        WaitUntil([] { return Contains(RunProgram(Ravelcon(), {"/LIST"}).Out, "{"); }, 10000));
    const TProcessResult refused = Build({"/NOWAIT", "/COMMAND=true"});
    EXPECT_EQ(refused.Out, "Maximum number of concurrent builds reached.\r\n");
    EXPECT_EQ(refused.ExitCode, 4);

    // A waiting build starts once the slot is free; its clear line comes first.
    const TProcessResult waited = Build({"/COMMAND=echo second"});
    EXPECT_EQ(waited.Out, "\r\nMaximum number of concurrent builds reached.\r\nWaiting for a build "
                          "to complete...\r\n" +
                              std::string(25, ' ') + "\r\nsecond\r\n");
    EXPECT_EQ(waited.ExitCode, 0);
    const TProcessResult firstResult = FinishProgram(first);
    EXPECT_EQ(firstResult.Out, "done\r\n");
    EXPECT_EQ(firstResult.ExitCode, 0);
}

TEST_F(BuildE2E, StopFromASecondConsole) {
    TAgent agent;
    for (const std::string stop : {"/STOP", "/STOPALL"}) {
        SCOPED_TRACE(stop);
        const std::string marker = Marker(stop == "/STOP" ? 1 : 2);
        const TRunningProgram running = StartLongBuild(marker);
        const TProcessResult stopped = Build({stop});
        EXPECT_EQ(stopped.ExitCode, 2) << stopped.Out;
        const TProcessResult result = FinishProgram(running);
        EXPECT_NE(result.ExitCode, 0);
        EXPECT_TRUE(Contains(result.Err, "Build was cancelled.")) << result.Err;
        EXPECT_TRUE(Gone(marker));
        EXPECT_TRUE(
            WaitUntil([] { return !Contains(RunProgram(Ravelcon(), {"/LIST"}).Out, "{"); }, 5000));
    }
}

TEST_F(BuildE2E, ListShowsTheTitleOfLiveBuildsOnly) {
    TAgent agent;
    for (const std::string title : {"First title", "Second"}) {
        SCOPED_TRACE(title);
        const std::string marker = Marker(title.size());
        const TRunningProgram running =
            StartBuild({"/TITLE=" + title, "/COMMAND=" + marker + "; echo done"});
        ASSERT_TRUE(WaitUntil([&] { return !ProcessesWith(marker, true).empty(); }, 10000));
        const TProcessResult listed = RunProgram(Ravelcon(), {"/LIST"});
        EXPECT_TRUE(Contains(listed.Out, "} (" + title + ")\r\n")) << listed.Out;
        EXPECT_EQ(Build({"/STOP"}).ExitCode, 2);
        FinishProgram(running);
        // Its console has ended: the next listing, at once, no longer names it.
        const TProcessResult after = RunProgram(Ravelcon(), {"/LIST"});
        EXPECT_FALSE(Contains(after.Out, "{")) << after.Out;
    }
}

TEST_F(BuildE2E, ConsoleKilledDuringABuild) {
    TAgent agent;
    const std::string marker = Marker(3);
    const TRunningProgram running = StartLongBuild(marker);
    // This build's own build system: other builds on the machine do not count.
    std::vector<int> buildSystems;
    for (const int pid : ProcessesWith("VaridAdeziz /id=")) {
        if (ParentOf(pid) == running.Pid) {
            buildSystems.push_back(pid);
        }
    }
    ASSERT_FALSE(buildSystems.empty());
    ::kill(running.Pid, SIGKILL);
    FinishProgram(running);
    // The build system sees its console gone and ends the build: nothing stays behind.
    EXPECT_TRUE(Gone(marker));
    for (const int pid : buildSystems) {
        EXPECT_TRUE(WaitUntil([&] { return !Running(pid); }, 15000)) << pid;
    }
    EXPECT_TRUE(WaitUntil(
        [] { return OfThisInstallation(ProcessesWith("VaridAdeziz /id=")).empty(); }, 15000));
}

TEST_F(BuildE2E, BuildSystemKilledDuringABuild) {
    TAgent agent;
    const std::string marker = Marker(4);
    const TRunningProgram running = StartLongBuild(marker);
    // The build system the console started (its job keeper carries the same name).
    for (const int pid : ProcessesWith("VaridAdeziz /id=")) {
        if (ParentOf(pid) == running.Pid) {
            ::kill(pid, SIGKILL);
        }
    }
    const auto killed = std::chrono::steady_clock::now();
    const TProcessResult result = FinishProgram(running);
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(15));
    EXPECT_EQ(result.ExitCode, 128 + SIGKILL);
    EXPECT_TRUE(Contains(result.Err, "Build Monitor has failed\r\nConnection to Build System was "
                                     "terminated unexpectedly.\r\n"))
        << result.Err;
    EXPECT_TRUE(Gone(marker));
}

TEST_F(BuildE2E, MillionLinesArriveCompleteAndInOrder) {
    TAgent agent;
    const std::string log = install.Root + "/million.log";
    const TProcessResult r =
        Build({"/COMMAND=awk 'BEGIN { for (i = 1; i <= 1000000; i++) if (i % 2) print i; else "
               "print i > \"/dev/stderr\" }'",
               "/LOG=" + log});
    ASSERT_EQ(r.ExitCode, 0);
    std::string odd;
    std::string even;
    for (int i = 1; i <= 1000000; ++i) {
        (i % 2 ? odd : even) += std::to_string(i) + "\r\n";
    }
    EXPECT_TRUE(r.Out == odd) << "standard output differs";
    EXPECT_TRUE(r.Err == even) << "standard error differs";
    // The log holds every line once, each stream in its own order.
    std::istringstream lines(ReadFile(log));
    std::string line;
    int nextOdd = 1;
    int nextEven = 2;
    int count = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line.find_first_not_of("0123456789") != std::string::npos) {
            continue; // the log header
        }
        const int value = std::stoi(line);
        int& next = value % 2 ? nextOdd : nextEven;
        ASSERT_EQ(value, next);
        next += 2;
        ++count;
    }
    EXPECT_EQ(count, 1000000);
}

// The build prints its output and ends before the console reads any of it: the
// console's reading is held back (SIGSTOP) until its build system has ended, so every
// section of the shared stream but the first is gone and the rest of the output must
// come from the history file.
TEST_F(BuildE2E, OutputOfABuildThatEndsBeforeTheConsoleReads) {
    TAgent agent;
    const struct {
        const char* Name;
        long Lines;
        bool RemoveHistory; // the output cannot be delivered then
    } cases[] = {
        {"10 MB", 1500000, false},
        {"100 MB", 13000000, false},
        {"history file gone", 1500000, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string gate = install.Root + "/gate" + std::to_string(++n);
        const TRunningProgram running =
            StartBuild({"/COMMAND=while [ ! -e " + gate + " ]; do sleep 0.05; done; seq 1 " +
                        std::to_string(c.Lines)});
        const bool waiting =
            WaitUntil([&] { return !ProcessesWith("-c while [ ! -e " + gate).empty(); }, 10000);
        const std::vector<int> buildSystems = BuildSystemsOf(running.Pid);
        if (!waiting || buildSystems.size() != 1) {
            // The console goes, and its build with it.
            ::kill(running.Pid, SIGKILL);
            FinishProgram(running);
            FAIL() << "the build did not start as expected";
        }
        ::kill(running.Pid, SIGSTOP);
        WriteFile(gate, "");
        // The stopped console cannot reap its build system: it stays a zombie.
        const bool ended = WaitUntil([&] { return StateOf(buildSystems[0]) == 'Z'; }, 300000);
        if (c.RemoveHistory) {
            fs::remove_all(install.Folder + "/History/Local");
        }
        ::kill(running.Pid, SIGCONT);
        const TProcessResult r = FinishProgram(running);
        ASSERT_TRUE(ended) << "the build system did not end";
        if (c.RemoveHistory) {
            EXPECT_TRUE(Contains(r.Err, "Build Monitor has failed")) << r.Err.substr(0, 2000);
            EXPECT_NE(r.ExitCode, 0);
            // What was read before the loss arrived, in order.
            EXPECT_TRUE(r.Out.starts_with("1\r\n2\r\n3\r\n"));
            continue;
        }
        EXPECT_EQ(r.Err, "");
        EXPECT_EQ(r.ExitCode, 0);
        ExpectSequence(r.Out, c.Lines);
    }
}

// A closed standard output or error never ends the console: the build runs to its
// end, its output still reaches /OUT, and the run ends with the build's exit code.
TEST_F(BuildE2E, ClosedStandardHandles) {
    TAgent agent;
    const std::vector<std::string> before = testing_support::LeftoverObjects(install.Objects);
    // The help screen alone.
    TRunningProgram help = StartProgram(Ravelcon(), {"/?"});
    ::close(help.Out);
    help.Out = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(WaitExit(help), 0);

    const std::string out = install.Root + "/closed.txt";
    const std::string done = install.Root + "/closed.done";
    TRunningProgram running = StartBuild(
        {"/COMMAND=seq 1 20000; seq 1 20000 >&2; sleep 0.5; seq 1 100; touch " + done + "; exit 5",
         "/exitcodebase=100", "/LOG=" + install.Root + "/closed.log"});
    ::close(running.Out);
    ::close(running.Err);
    running.Out = ::open("/dev/null", O_RDONLY);
    running.Err = ::open("/dev/null", O_RDONLY);
    EXPECT_EQ(WaitExit(running), 105);
    EXPECT_TRUE(fs::exists(done));
    // The output still reached the log, every line of it.
    const std::string log = ReadFile(install.Root + "/closed.log");
    const std::size_t last = log.find("\r\n19999\r\n20000\r\n");
    EXPECT_NE(last, std::string::npos);
    EXPECT_NE(log.find("\r\n19999\r\n20000\r\n", last + 1), std::string::npos);
    EXPECT_TRUE(log.ends_with("\r\n99\r\n100\r\n")) << log.substr(log.size() - 100);
    EXPECT_TRUE(Gone("seq 1 20000"));
    // Nothing of the build stays behind.
    EXPECT_TRUE(WaitUntil(
        [&] { return testing_support::LeftoverObjects(install.Objects) == before; }, 15000))
        << ::testing::PrintToString(testing_support::LeftoverObjects(install.Objects));
}

// A file that cannot be written is reported once, the build runs to its end, and the
// run does not end with 0 because output was lost.
TEST_F(BuildE2E, FailingOutOrLogFile) {
    TAgent agent;
    // A log file name gets an extension: a link with one leads to the full device.
    const std::string full = install.Root + "/full.log";
    fs::create_symlink("/dev/full", full);
    for (const std::string& option : {"/OUT=" + full, "/LOG=" + full}) {
        SCOPED_TRACE(option);
        const std::string done = install.Root + "/full.done";
        fs::remove(done);
        const TProcessResult r = Build({option, "/COMMAND=echo hi; seq 1 1000; touch " + done});
        EXPECT_NE(r.ExitCode, 0);
        EXPECT_TRUE(fs::exists(done));
        const std::string report =
            "Cannot write file \"" + full + "\". No space left on device\r\n";
        EXPECT_TRUE(Contains(r.Err, report)) << r.Err;
        EXPECT_EQ(r.Err.find(report), r.Err.rfind(report)) << r.Err;
    }
    fs::remove(full);
}

// A malformed byte spoils only its own line: every line of the build arrives.
TEST_F(BuildE2E, MalformedOutputLine) {
    TAgent agent;
    const TProcessResult r = Build({"/COMMAND=seq 2000; printf 'bad\\377\\n'; seq 5"});
    EXPECT_EQ(r.ExitCode, 0);
    std::string expected;
    for (int i = 1; i <= 2000; ++i) {
        expected += std::to_string(i) + "\r\n";
    }
    expected += "bad\xEF\xBF\xBD\r\n1\r\n2\r\n3\r\n4\r\n5\r\n";
    EXPECT_TRUE(r.Out == expected) << r.Out.substr(0, 200);
}

} // namespace
