// Distribution through real distccd helpers (HelperNetwork.h): the initiator is this
// installation's agent with those helpers in its settings.
#include "HelperNetwork.h"
#include "Installation.h"
#include "MonitorSteps.h"
#include "ProcessRunner.h"
#include "monitor/MonitorFile.h"
#include "packets/PacketStream.h"
#include "platform/Network.h"
#include "platform/SystemInfo.h"
#include "proxy/HelperHosts.h"
#include "records/MetaBuildPackets.h"
#include "records/MonitorEvents.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <spawn.h>
#include <sstream>
#include <thread>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

// A helper's distccd log shows a compile of a file whose name has `file` in it.
bool CompiledThere(const std::string& log, const std::string& file) {
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (Contains(line, "COMPILE_OK") && Contains(line, file)) {
            return true;
        }
    }
    return false;
}

// A folder of C compilers for a helper's PATH that take `seconds` longer for every
// compile but the helper probe's: a helper much slower than this machine.
std::string WriteSlowCompilers(const std::string& dir, int seconds) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    WriteFile(dir + "/slow",
              "#!/bin/sh\nfor a; do case \"$a\" in *.i) grep -q MORVEK-ID \"$a\" || sleep " +
                  std::to_string(seconds) +
                  ";; esac; done\nPATH=${PATH#*:} exec \"${0##*/}\" \"$@\"\n");
    fs::permissions(dir + "/slow", fs::perms::owner_all | fs::perms::group_read |
                                       fs::perms::group_exec | fs::perms::others_read |
                                       fs::perms::others_exec);
    for (const char* name : {"cc", "gcc", "x86_64-linux-gnu-gcc"}) {
        fs::create_symlink("slow", dir + "/" + name);
    }
    return dir;
}

// A folder of C compilers for a helper's PATH that fail every compile with a message but
// the helper probe's (whose source carries the probe's marker): a helper whose toolchain
// is broken in a way its probe does not see.
std::string WriteFailingCompilers(const std::string& dir) {
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    WriteFile(dir + "/broken", R"(#!/bin/sh
for a; do case "$a" in *.i) grep -q MORVEK-ID "$a" && break
echo "broken-helper-compiler: error: refuses $a" >&2; exit 1;; esac; done
PATH=${PATH#*:} exec "${0##*/}" "$@"
)");
    fs::permissions(dir + "/broken", fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exec | fs::perms::others_read |
                                         fs::perms::others_exec);
    // distcc sends cc and gcc under the target's name.
    for (const char* name : {"cc", "gcc", "x86_64-linux-gnu-gcc"}) {
        fs::create_symlink("broken", dir + "/" + name);
    }
    return dir;
}

// An SSH server in a helper's namespace that admits one key the test made: the host key,
// the authorized key, the client's key and known-hosts file all live in `dir`, so no SSH
// setting of this machine or its users is read or changed. The server goes with the
// namespace; a privilege separation folder it needed is removed again.
class TSshHelper {
public:
    TSshHelper(const std::string& ns, const std::string& address, const std::string& dir)
        : dir(dir) {
        fs::create_directories(dir);
        if (!fs::exists("/run/sshd")) {
            fs::create_directories("/run/sshd");
            madeRunFolder = true;
        }
        Keygen(dir + "/host_key");
        Keygen(dir + "/client_key");
        fs::copy_file(dir + "/client_key.pub", dir + "/authorized_keys");
        WriteFile(dir + "/sshd_config", "ListenAddress " + address + "\nPort 22\nHostKey " + dir +
                                            "/host_key\nPidFile " + dir +
                                            "/sshd.pid\nAuthorizedKeysFile " + dir +
                                            "/authorized_keys\nStrictModes no\nUsePAM no\n"
                                            "PasswordAuthentication no\n"
                                            "KbdInteractiveAuthentication no\n"
                                            "PermitRootLogin prohibit-password\n");
        // distcc runs this as its ssh: only the test's key and known-hosts file.
        WriteFile(dir + "/ssh", "#!/bin/sh\nexec ssh -F /dev/null -i " + dir +
                                    "/client_key -o IdentitiesOnly=yes -o BatchMode=yes "
                                    "-o UserKnownHostsFile=" +
                                    dir +
                                    "/known_hosts -o GlobalKnownHostsFile=/dev/null "
                                    "-o StrictHostKeyChecking=accept-new \"$@\"\n");
        fs::permissions(dir + "/ssh", fs::perms::owner_all);
        started = Sh("ip netns exec " + ns + " /usr/sbin/sshd -f " + dir + "/sshd_config -E " +
                     dir + "/sshd.log") == 0;
    }
    ~TSshHelper() {
        const std::string pid = ReadFile(dir + "/sshd.pid");
        if (!pid.empty()) {
            ::kill(std::stoi(pid), SIGTERM);
        }
        if (madeRunFolder) {
            fs::remove_all("/run/sshd");
        }
    }
    TSshHelper(const TSshHelper&) = delete;
    TSshHelper& operator=(const TSshHelper&) = delete;

    bool Started() const { return started; }
    std::string Ssh() const { return dir + "/ssh"; }
    std::string Log() const { return ReadFile(dir + "/sshd.log"); }

private:
    static void Keygen(const std::string& file) {
        EXPECT_EQ(Sh("ssh-keygen -q -t ed25519 -N '' -f " + file), 0) << file;
    }
    std::string dir;
    bool madeRunFolder = false;
    bool started = false;
};

// A C project whose compiles take a moment each, and its makefile.
void WriteProject(const std::string& dir, int files) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string objects;
    std::ostringstream main;
    main << "#include <stdio.h>\n";
    for (int i = 0; i < files; ++i) {
        std::ostringstream source;
        source << "#define F(n) int f" << i << "_##n(int x) { return x * n + " << i << "; }\n";
        for (int n = 0; n < 400; ++n) {
            source << "F(" << n << ")\n";
        }
        source << "int part" << i << "(void) { return f" << i << "_3(2); }\n";
        WriteFile(dir + "/part" + std::to_string(i) + ".c", source.str());
        objects += " part" + std::to_string(i) + ".o";
        main << "int part" << i << "(void);\n";
    }
    main << "int main(void) { int s = 0;\n";
    for (int i = 0; i < files; ++i) {
        main << "s += part" << i << "();\n";
    }
    main << "printf(\"sum %d\\n\", s); return 0; }\n";
    WriteFile(dir + "/main.c", main.str());
    WriteFile(dir + "/Makefile",
              "CFLAGS = -O1\nprog: main.o" + objects + "\n\tcc -o prog main.o" + objects + "\n");
}

template <typename T> int CountOf(const std::vector<std::unique_ptr<packets::TPacket>>& events) {
    int n = 0;
    for (const auto& event : events) {
        n += dynamic_cast<const T*>(event.get()) ? 1 : 0;
    }
    return n;
}

class Distribution : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetUpInstallation("distribution-e2e", {RAVELCON_BINARY, AGENT_BINARY},
                          {VARIDADEZIZ_BINARY, LAUNCHER_BINARY, HOOK_LIBRARY});
        fs::create_directories(install.Folder + "/masq");
        for (const char* tool : {"cc", "gcc", "c++", "g++"}) {
            fs::create_symlink("../morvek-task", install.Folder + "/masq/" + tool);
        }
        fs::create_directories(install.Folder + "/resources");
        fs::copy_file(DEFAULT_JOB_PROFILE, install.Folder + "/resources/DefaultJobProfile.xml");
        fs::create_directories(install.Folder + "/Temp");
        fs::permissions(install.Folder + "/Temp", fs::perms::all | fs::perms::sticky_bit);
        fs::create_directories(install.Folder + "/History/Local");
    }
    static void TearDownTestSuite() { TearDownInstallation(); }
    void SetUp() override {
        if (!TTestNetwork::Available()) {
            GTEST_SKIP() << "network namespaces are not available (needs root and iproute2)";
        }
        if (Sh("command -v distccd >/dev/null && command -v distcc >/dev/null && "
               "command -v make >/dev/null") != 0) {
            GTEST_SKIP() << "distcc, distccd or make is not installed (scripts/setup.sh "
                            "installs them)";
        }
        fs::remove_all(install.Folder + "/History/Local");
        fs::create_directories(install.Folder + "/History/Local");
        fs::remove(install.Folder + "/HelperState.json");
    }

    // The initiator's settings name `helpers`.
    // The initiator's agent has probed its helpers: `up` of them answered.
    static bool WaitProbed(int up, int timeoutMs = 30000) {
        return WaitUntil(
            [&] {
                const std::string status =
                    RunProgram(install.Bin + "/morvek-agent", {"--status"}).Out;
                return Occurrences(status, " up ") == up && !Contains(status, "unprobed");
            },
            timeoutMs);
    }
    static void UseHelpers(const std::string& helpers) {
        WriteRegistry("\"Helpers\"=\"" + helpers +
                      "\"\r\n\"HelperProbeSeconds\"=dword:00000001\r\n");
    }
    static std::string Project(const std::string& name) { return install.Root + "/" + name; }
    // The project built plainly, for comparison.
    static std::string PlainBuild(int files) {
        const std::string dir = Project("plain");
        WriteProject(dir, files);
        const TProcessResult plain = RunProgram("/bin/sh", {"-c", "make -C " + dir + " -j2"});
        EXPECT_EQ(plain.ExitCode, 0) << plain.Err;
        return dir;
    }
    static TProcessResult Build(const std::string& dir, std::vector<std::string> options = {}) {
        std::vector<std::string> args{"/nologo", "/COMMAND=make -C " + dir};
        args.insert(args.end(), options.begin(), options.end());
        return RunProgram(Ravelcon(), args);
    }
    static void ExpectSameObjects(const std::string& dir, const std::string& plain, int files) {
        for (int i = 0; i < files; ++i) {
            const std::string object = "/part" + std::to_string(i) + ".o";
            EXPECT_EQ(ReadFile(dir + object), ReadFile(plain + object)) << object;
        }
        EXPECT_EQ(RunProgram(dir + "/prog", {}).Out, RunProgram(plain + "/prog", {}).Out);
    }
    // The events of the build's history file (the only one).
    static std::vector<std::unique_ptr<packets::TPacket>> HistoryEvents() {
        std::vector<std::unique_ptr<packets::TPacket>> events;
        for (const auto& entry : fs::recursive_directory_iterator(install.Folder + "/History")) {
            if (entry.path().extension() != ".mv_mon") {
                continue;
            }
            records::TMetaBuildPacket meta;
            const auto stream = monitor::OpenMonitorFileForEvents(entry.path().string(), meta);
            EXPECT_NE(stream, nullptr);
            packets::TPacketLoadContext context;
            while (stream && stream->Position() < stream->Size()) {
                events.push_back(packets::TPacket::CreateFromStream(*stream, &context));
            }
        }
        return events;
    }
    static int RemoteEmployments(const std::vector<std::unique_ptr<packets::TPacket>>& events) {
        int n = 0;
        for (const auto& event : events) {
            const auto* employ =
                dynamic_cast<const records::TMonitorEventEmployPacket*>(event.get());
            n += employ && !employ->Local ? 1 : 0;
        }
        return n;
    }
};

TEST_F(Distribution, TasksRunOnTheHelpersAndObjectsEqualALocalBuild) {
    constexpr int Files = 12;
    TTestNetwork network(2);
    THelperAgent first(network.Namespace(0), network.Address(0), network.Subnet());
    THelperAgent second(network.Namespace(1), network.Address(1), network.Subnet());
    ASSERT_TRUE(first.WaitReachable()) << first.Output();
    ASSERT_TRUE(second.WaitReachable()) << second.Output();
    UseHelpers(network.Address(0) + " " + network.Address(1) + ":3632");
    TAgent agent;
    ASSERT_TRUE(WaitProbed(2));
    const std::string plain = PlainBuild(Files);
    const std::string dir = Project("distributed");
    WriteProject(dir, Files);

    const TProcessResult built = Build(dir);
    ASSERT_EQ(built.ExitCode, 0) << built.Out << built.Err;
    ExpectSameObjects(dir, plain, Files);
    // Each helper's own distccd did compiles.
    EXPECT_GE(Occurrences(first.Log(), "COMPILE_OK"), 1) << first.Log();
    EXPECT_GE(Occurrences(second.Log(), "COMPILE_OK"), 1) << second.Log();
    EXPECT_TRUE(Contains(built.Out, "Helper " + network.Address(0) + ":3632 ran")) << built.Out;
    const auto events = HistoryEvents();
    EXPECT_EQ(RemoteEmployments(events), 4); // two slots each: distccd runs a job per core here
    int remoteSteps = 0;
    for (const auto& event : events) {
        if (const auto* begin =
                dynamic_cast<const records::TMonitorEventBeginStepPacket*>(event.get())) {
            remoteSteps += begin->Remote ? 1 : 0;
            EXPECT_FALSE(begin->Remote && begin->Name == "prog") << "a link ran on a helper";
        }
    }
    EXPECT_GE(remoteSteps, 2);

    const TProcessResult status = RunProgram(install.Bin + "/morvek-agent", {"--status"});
    EXPECT_EQ(status.ExitCode, 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(Contains(status.Out, network.Address(i) + ":3632")) << status.Out;
    }
    EXPECT_EQ(Occurrences(status.Out, " up "), 2) << status.Out;
    EXPECT_TRUE(Contains(status.Out, "gcc: same compiler")) << status.Out;
}

TEST_F(Distribution, AHelperKilledMidBuildLosesNoTask) {
    constexpr int Files = 24;
    TTestNetwork network(2);
    THelperAgent doomed(network.Namespace(0), network.Address(0), network.Subnet());
    THelperAgent steady(network.Namespace(1), network.Address(1), network.Subnet());
    ASSERT_TRUE(doomed.WaitReachable()) << doomed.Output();
    ASSERT_TRUE(steady.WaitReachable()) << steady.Output();
    UseHelpers(network.Address(0) + " " + network.Address(1));
    TAgent agent;
    ASSERT_TRUE(WaitProbed(2));
    const std::string plain = PlainBuild(Files);
    const std::string dir = Project("killed");
    WriteProject(dir, Files);

    const TRunningProgram running =
        StartProgram(Ravelcon(), {"/nologo", "/COMMAND=make -C " + dir});
    // As soon as the helper works for the build (not for a probe), it goes away.
    ASSERT_TRUE(WaitUntil([&] { return CompiledThere(doomed.Log(), "part"); }, 60000))
        << doomed.Log();
    doomed.Kill();
    const TProcessResult built = FinishProgram(running);
    ASSERT_EQ(built.ExitCode, 0) << built.Out << built.Err;
    ExpectSameObjects(dir, plain, Files);
    EXPECT_TRUE(
        Contains(built.Out, "Helper " + network.Address(0) + ":3632 is not employed any more"))
        << built.Out;
    const auto events = HistoryEvents();
    EXPECT_GE(CountOf<records::TMonitorEventStepFailedPacket>(events), 1);
    // Every compile and the link ended well once.
    int succeeded = 0;
    for (const auto& event : events) {
        if (const auto* end =
                dynamic_cast<const records::TMonitorEventEndStepPacket*>(event.get())) {
            succeeded += end->ExitCode == 0 && !end->Double ? 1 : 0;
        }
    }
    EXPECT_EQ(succeeded, Files + 2);
}

// Every compile fails on the helper (its compiler, not distribution): without
// /ONLYFAILLOCALLY the build fails with the compiler's message; with it each task runs
// again here and the build ends as a local one.
TEST_F(Distribution, AHelperWhoseCompilerFailsEveryCompile) {
    constexpr int Files = 4;
    TTestNetwork network(1);
    const std::string broken = WriteFailingCompilers(install.Root + "/broken-compilers");
    THelperAgent helper(network.Namespace(0), network.Address(0), network.Subnet(), "",
                        {"PATH=" + broken + ":/usr/bin:/bin"});
    ASSERT_TRUE(helper.WaitReachable()) << helper.Output();
    UseHelpers(network.Address(0));
    TAgent agent;
    ASSERT_TRUE(WaitProbed(1));
    const std::string plain = PlainBuild(Files);
    for (const bool onlyFailLocally : {false, true}) {
        SCOPED_TRACE(onlyFailLocally ? "only fail locally" : "plain failure");
        fs::remove_all(install.Folder + "/History/Local");
        fs::create_directories(install.Folder + "/History/Local");
        const std::string dir = Project(onlyFailLocally ? "failing-retried" : "failing");
        WriteProject(dir, Files);
        // Avoid local: every compile goes to the helper first.
        std::vector<std::string> options{"/AVOIDLOCAL=ON"};
        if (onlyFailLocally) {
            options.push_back("/ONLYFAILLOCALLY=ON");
        }
        const TProcessResult built = Build(dir, options);
        const std::string output = built.Out + built.Err;
        EXPECT_TRUE(Contains(output, "broken-helper-compiler: error")) << output;
        EXPECT_TRUE(WaitUntil([&] { return Contains(helper.Log(), "COMPILE_ERROR"); }, 5000))
            << helper.Log();
        int failedCompiles = 0;
        for (const auto& event : HistoryEvents()) {
            if (const auto* end =
                    dynamic_cast<const records::TMonitorEventEndStepPacket*>(event.get())) {
                failedCompiles += end->ExitCode == 1 ? 1 : 0;
            }
        }
        if (onlyFailLocally) {
            ASSERT_EQ(built.ExitCode, 0) << output;
            ExpectSameObjects(dir, plain, Files);
            EXPECT_TRUE(Contains(output, "failed on helper " + network.Address(0))) << output;
            EXPECT_EQ(failedCompiles, 0);
        } else {
            EXPECT_NE(built.ExitCode, 0) << output;
            EXPECT_FALSE(fs::exists(dir + "/prog"));
            EXPECT_GE(failedCompiles, 1) << "no task ended with the compiler's status";
        }
    }
}

// A helper far slower than this machine: when this machine's rows have nothing left to
// do, the compiles still running on the helper run here as well, the local attempts win,
// and the build's objects, output and result are those of one attempt each.
TEST_F(Distribution, IdleLocalRowsDoubleTheSlowRemoteTasks) {
    constexpr int Files = 4;
    TTestNetwork network(1);
    const std::string slow = WriteSlowCompilers(install.Root + "/slow-compilers", 20);
    THelperAgent helper(network.Namespace(0), network.Address(0), network.Subnet(), "",
                        {"PATH=" + slow + ":/usr/bin:/bin"});
    ASSERT_TRUE(helper.WaitReachable()) << helper.Output();
    UseHelpers(network.Address(0));
    TAgent agent;
    ASSERT_TRUE(WaitProbed(1));
    const std::string plain = PlainBuild(Files);
    const std::string dir = Project("doubled");
    WriteProject(dir, Files);
    // Each compile says one thing: it must appear once, whichever attempt won.
    for (int i = 0; i < Files; ++i) {
        const std::string source = dir + "/part" + std::to_string(i) + ".c";
        WriteFile(source,
                  ReadFile(source) + "#warning \"said by part" + std::to_string(i) + "\"\n");
    }

    const TProcessResult built = Build(dir);
    ASSERT_EQ(built.ExitCode, 0) << built.Out << built.Err;
    const std::string output = built.Out + built.Err;
    ExpectSameObjects(dir, plain, Files);
    for (int i = 0; i < Files; ++i) {
        const std::string said = "warning: #warning \"said by part" + std::to_string(i) + "\"";
        EXPECT_EQ(Occurrences(output, said), 1) << output;
    }
    const TEvents events = HistoryEvents();
    const TStepCheck steps = CheckSteps(events, true);
    EXPECT_EQ(steps.Failed, 0);
    int losers = 0, remoteLosers = 0, takenBack = 0;
    std::map<std::string, bool> remoteWorker;
    for (const auto& event : events) {
        if (const auto* begin =
                dynamic_cast<const records::TMonitorEventBeginStepPacket*>(event.get())) {
            remoteWorker[begin->WorkerID] = begin->Remote;
        }
        if (const auto* end =
                dynamic_cast<const records::TMonitorEventEndStepPacket*>(event.get())) {
            losers += end->Double ? 1 : 0;
            remoteLosers += end->Double && remoteWorker[end->WorkerID] ? 1 : 0;
            // A local attempt loses only when a compile released later took its row.
            takenBack += end->Double && !remoteWorker[end->WorkerID] && end->ExitCode == 128 + 9;
        }
    }
    // Every task that went to the helper lost there to its local attempt.
    EXPECT_GE(remoteLosers, 1);
    EXPECT_EQ(losers, remoteLosers + takenBack);
    EXPECT_EQ(steps.Ends - losers, Files + 2); // each compile and the link ended once
    // No temporary object is left beside the real ones.
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_FALSE(Contains(entry.path().filename().string(), ".double-")) << entry.path();
    }
}

// Two compiles that take a few seconds here and far longer on the slow helper, and a
// third released two seconds into the build, while this machine's rows run the first two
// a second time.
void WriteLateProject(const std::string& dir) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (int i = 0; i < 2; ++i) {
        std::ostringstream source;
        source << "#define F(n) int f" << i << "_##n(int x) { int s = 0; for (int i = 0; i < x; "
               << "++i) s += (i * n) ^ (s >> 3); return s; }\n";
        for (int n = 0; n < 1500; ++n) {
            source << "F(" << n << ")\n";
        }
        source << "int heavy" << i << "(void) { return f" << i << "_3(4); }\n";
        WriteFile(dir + "/heavy" + std::to_string(i) + ".c", source.str());
    }
    WriteFile(dir + "/late.c", "#include <stdio.h>\nint heavy0(void);\nint heavy1(void);\n"
                               "int main(void) { printf(\"%d\\n\", heavy0() + heavy1()); }\n");
    WriteFile(dir + "/Makefile", "CFLAGS = -O2\nprog: heavy0.o heavy1.o late.o\n"
                                 "\tcc -o prog heavy0.o heavy1.o late.o\n"
                                 "gate:\n\tsleep 2 && touch gate\nlate.o: gate\n");
}

// A compile released while this machine's rows run second attempts takes a row back at
// once: that attempt's step ends as a killed loser, its files go, and the task's first
// attempt on the helper decides. With HelperDoubling=0 no task runs twice.
TEST_F(Distribution, ALaterTaskTakesBackTheRowOfASecondAttempt) {
    TTestNetwork network(1);
    const std::string slow = WriteSlowCompilers(install.Root + "/slow-compilers-late", 20);
    THelperAgent helper(network.Namespace(0), network.Address(0), network.Subnet(), "",
                        {"PATH=" + slow + ":/usr/bin:/bin"});
    ASSERT_TRUE(helper.WaitReachable()) << helper.Output();
    const std::string plain = Project("plain-late");
    WriteLateProject(plain);
    ASSERT_EQ(RunProgram("/bin/sh", {"-c", "make -C " + plain + " -j2"}).ExitCode, 0);
    for (const bool doubling : {true, false}) {
        SCOPED_TRACE(doubling ? "doubling" : "doubling off");
        // Two rows here whatever the machine, so that both run a second attempt.
        WriteRegistry("\"Helpers\"=\"" + network.Address(0) +
                      "\"\r\n\"HelperProbeSeconds\"=dword:00000001\r\n\"HelperDoubling\"=dword:" +
                      (doubling ? "00000001" : "00000000") +
                      "\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]\r\n"
                      "\"MaxLocalCores\"=dword:00000002\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Agent]\r\n");
        fs::remove_all(install.Folder + "/History/Local");
        fs::create_directories(install.Folder + "/History/Local");
        TAgent agent;
        ASSERT_TRUE(WaitProbed(1));
        const std::string dir = Project("late");
        WriteLateProject(dir);
        const TProcessResult built = Build(dir);
        ASSERT_EQ(built.ExitCode, 0) << built.Out << built.Err;
        for (const char* object : {"/heavy0.o", "/heavy1.o", "/late.o"}) {
            EXPECT_EQ(ReadFile(dir + object), ReadFile(plain + object)) << object;
        }
        EXPECT_EQ(RunProgram(dir + "/prog", {}).Out, RunProgram(plain + "/prog", {}).Out);
        for (const auto& entry : fs::directory_iterator(dir)) {
            EXPECT_FALSE(Contains(entry.path().filename().string(), ".double-")) << entry.path();
        }

        const TEvents events = HistoryEvents();
        const TStepCheck steps = CheckSteps(events, true);
        EXPECT_EQ(steps.Failed, 0);
        // Per row, the step that runs and how the last one ended.
        struct TRowState {
            bool remote = false;
            std::string running;
            const records::TMonitorEventEndStepPacket* lastEnd = nullptr;
        };
        std::map<std::string, TRowState> rows;
        std::map<std::string, int> endsOf; // ends that decided, by task name
        int losers = 0, takenBack = 0;
        for (const auto& event : events) {
            if (const auto* begin =
                    dynamic_cast<const records::TMonitorEventBeginStepPacket*>(event.get())) {
                TRowState& row = rows[begin->WorkerID];
                // The late compile follows a killed second attempt on its row.
                if (Contains(begin->Name, "late") && row.lastEnd && row.lastEnd->Double &&
                    row.lastEnd->ExitCode == 128 + 9) {
                    EXPECT_FALSE(begin->Remote);
                    ++takenBack;
                }
                row.remote = begin->Remote;
                row.running = begin->Name;
                row.lastEnd = nullptr;
            }
            if (const auto* end =
                    dynamic_cast<const records::TMonitorEventEndStepPacket*>(event.get())) {
                TRowState& row = rows[end->WorkerID];
                losers += end->Double ? 1 : 0;
                endsOf[row.running] += end->Double ? 0 : 1;
                row.lastEnd = end;
            }
        }
        EXPECT_EQ(takenBack, doubling ? 1 : 0);
        EXPECT_EQ(losers > 0, doubling);
        EXPECT_EQ(endsOf.size(), 4u); // three compiles and the link,
        for (const auto& [name, ends] : endsOf) {
            EXPECT_EQ(ends, 1) << name; // each decided once
        }
    }
}

// /AVOIDLOCAL: while a helper is employed, every compile runs on its rows; links here.
TEST_F(Distribution, AvoidLocalKeepsCompilesOnHelperRows) {
    constexpr int Files = 6;
    TTestNetwork network(1);
    THelperAgent helper(network.Namespace(0), network.Address(0), network.Subnet());
    ASSERT_TRUE(helper.WaitReachable()) << helper.Output();
    UseHelpers(network.Address(0));
    TAgent agent;
    ASSERT_TRUE(WaitProbed(1));
    const std::string plain = PlainBuild(Files);
    const std::string dir = Project("avoid-local");
    WriteProject(dir, Files);
    const TProcessResult built = Build(dir, {"/AVOIDLOCAL=ON"});
    ASSERT_EQ(built.ExitCode, 0) << built.Out << built.Err;
    ExpectSameObjects(dir, plain, Files);
    int compiles = 0;
    for (const auto& event : HistoryEvents()) {
        if (const auto* begin =
                dynamic_cast<const records::TMonitorEventBeginStepPacket*>(event.get())) {
            const bool link = begin->Name == "prog";
            compiles += link ? 0 : 1;
            EXPECT_EQ(begin->Remote, !link) << begin->Name << " on " << begin->WorkerID;
        }
    }
    EXPECT_EQ(compiles, Files + 1);
}

// distcc's SSH transport: the helper is named @ADDRESS and reached through an SSH server
// with key authentication in its namespace; the compiles run there.
TEST_F(Distribution, SshTransportRunsCompilesOnTheHelper) {
    if (Sh("test -x /usr/sbin/sshd && command -v ssh-keygen >/dev/null") != 0) {
        GTEST_SKIP() << "openssh-server is not installed (scripts/setup.sh installs it)";
    }
    constexpr int Files = 4;
    TTestNetwork network(1);
    TSshHelper helper(network.Namespace(0), network.Address(0), install.Root + "/ssh-helper");
    ASSERT_TRUE(helper.Started()) << helper.Log();
    // The initiator's agent (its probes) and the build's tasks take distcc's ssh from here.
    struct TSshVariable {
        explicit TSshVariable(const std::string& ssh) { ::setenv("DISTCC_SSH", ssh.c_str(), 1); }
        ~TSshVariable() { ::unsetenv("DISTCC_SSH"); }
    } variable(helper.Ssh());
    UseHelpers("@" + network.Address(0));
    TAgent agent;
    // Each probe compile over SSH opens a session: slow on a busy machine.
    ASSERT_TRUE(WaitProbed(1, 240000))
        << RunProgram(install.Bin + "/morvek-agent", {"--status"}).Out << helper.Log();
    const std::string plain = PlainBuild(Files);
    const std::string dir = Project("ssh");
    WriteProject(dir, Files);
    const TProcessResult built = Build(dir, {"/AVOIDLOCAL=ON"});
    ASSERT_EQ(built.ExitCode, 0) << built.Out << built.Err;
    ExpectSameObjects(dir, plain, Files);
    EXPECT_TRUE(Contains(built.Out, "Helper @" + network.Address(0) + " ran " +
                                        std::to_string(Files + 1) + " tasks (0 failed"))
        << built.Out;
    EXPECT_TRUE(Contains(helper.Log(), "Accepted publickey")) << helper.Log();
    int remoteSteps = 0;
    for (const auto& event : HistoryEvents()) {
        if (const auto* begin =
                dynamic_cast<const records::TMonitorEventBeginStepPacket*>(event.get())) {
            remoteSteps += begin->Remote ? 1 : 0;
        }
    }
    EXPECT_EQ(remoteSteps, Files + 1);
}

TEST_F(Distribution, AllHelpersDownAtStartBuildsLocally) {
    constexpr int Files = 4;
    TTestNetwork network(2); // namespaces without helpers: connections are refused
    UseHelpers(network.Address(0) + " " + network.Address(1) + "/3");
    TAgent agent;
    const std::string plain = PlainBuild(Files);
    const std::string dir = Project("local");
    WriteProject(dir, Files);
    // The link tells the jobs make was given.
    WriteFile(dir + "/Makefile",
              ReadFile(dir + "/Makefile") + "\t@echo \"make flags: $(MAKEFLAGS)\"\n");
    const TProcessResult built = Build(dir);
    ASSERT_EQ(built.ExitCode, 0) << built.Out << built.Err;
    ExpectSameObjects(dir, plain, Files);
    // Jobs for every row, the helpers' too: a helper that answers later gets tasks.
    const int rows = static_cast<int>(platform::UsableCpuCount()) + build::DistccDefaultLimit + 3;
    EXPECT_TRUE(Contains(built.Out, "-j" + std::to_string(rows))) << built.Out;
    EXPECT_TRUE(Contains(built.Out + built.Err, "No helper is reachable"))
        << built.Out << built.Err;
    EXPECT_EQ(RemoteEmployments(HistoryEvents()), 0);
    const TProcessResult status = RunProgram(install.Bin + "/morvek-agent", {"--status"});
    EXPECT_EQ(Occurrences(status.Out, " down "), 2) << status.Out;
}

TEST_F(Distribution, AHelperRefusesClientsOutsideItsNetworks) {
    TTestNetwork network(1);
    // Only an address that is not the initiator's.
    THelperAgent helper(network.Namespace(0), network.Address(0), network.Address(0) + "/32");
    ASSERT_TRUE(helper.WaitReachable()) << helper.Output();
    const std::string dir = Project("refused");
    WriteProject(dir, 1);
    fs::create_directories(dir + "/distcc");
    const TProcessResult compiled =
        RunProgram("/usr/bin/distcc", {"gcc", "-c", "part0.c", "-o", "part0.o"},
                   {{"DISTCC_HOSTS", network.Address(0)},
                    {"DISTCC_FALLBACK", "0"},
                    {"DISTCC_DIR", dir + "/distcc"}},
                   dir);
    EXPECT_NE(compiled.ExitCode, 0);
    EXPECT_FALSE(fs::exists(dir + "/part0.o"));
    EXPECT_TRUE(WaitUntil([&] { return Contains(helper.Log(), network.Initiator()); }, 5000))
        << helper.Log();
    EXPECT_EQ(Occurrences(helper.Log(), "COMPILE_OK"), 0) << helper.Log();
}

// Helper mode runs distccd only with networks that make sense, restarts it when it
// dies and stops it with the agent.
TEST_F(Distribution, HelperModeSupervisesDistccd) {
    TTestNetwork network(1);
    struct Case {
        const char* allow;
        const char* extra;
        const char* message;
    };
    for (const Case c :
         {Case{"", "", "none are set"}, Case{"0.0.0.0/0", "", "admits every address"},
          Case{"10.213.0.0/16 0.0.0.0/0", "", "admits every address"},
          Case{"10.213.0.0/33", "", "not an IPv4 address"}}) {
        SCOPED_TRACE(c.allow);
        THelperAgent refused(network.Namespace(0), network.Address(0), c.allow, c.extra);
        EXPECT_NE(refused.WaitExit(), 0);
        EXPECT_TRUE(Contains(refused.Output(), c.message)) << refused.Output();
    }
    THelperAgent forced(network.Namespace(0), network.Address(0), "0.0.0.0/0",
                        "\"HelperAllowForce\"=dword:00000001\r\n");
    ASSERT_TRUE(forced.WaitReachable()) << forced.Output();
    const auto distccd = [&] {
        std::vector<int> pids = NamespacePids(forced.Namespace());
        std::erase(pids, forced.Pid());
        return pids;
    };
    const std::vector<int> before = distccd();
    ASSERT_FALSE(before.empty());
    for (const int pid : before) {
        ::kill(pid, SIGKILL);
    }
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::vector<int> now = distccd();
            return !now.empty() && std::find(now.begin(), now.end(), before.front()) == now.end();
        },
        15000));
    EXPECT_TRUE(forced.WaitReachable());
    ::kill(forced.Pid(), SIGTERM);
    EXPECT_EQ(forced.WaitExit(), 0);
    EXPECT_TRUE(WaitUntil([&] { return NamespacePids(forced.Namespace()).empty(); }, 10000))
        << [&] {
               std::string left;
               for (const int pid : NamespacePids(forced.Namespace())) {
                   left += ReadFile("/proc/" + std::to_string(pid) + "/stat") + "\n";
               }
               return left;
           }();
}

} // namespace
