// Two local users on one installation: root owns the agent and a build, `nobody`
// attacks them. Every attack fails for the attacker while root's build goes on and
// ends with its own exit code; `nobody` builds, lists and stops builds of its own.
#include "../platform/TestProcess.h"
#include "Installation.h"
#include "ProcessRunner.h"
#include "comm/AgentSocket.h"
#include "comm/MessageFrame.h"
#include "core/Guid.h"
#include "platform/LocalSocket.h"
#include "platform/SharedObjects.h"
#include "records/ServicePackets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <memory>
#include <optional>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

constexpr int NobodyId = 65534;

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// The build identities that a /LIST output names.
std::vector<std::string> ListedIds(const std::string& listing) {
    static const std::regex id(R"(\{[0-9A-F-]{36}\})");
    std::vector<std::string> ids;
    for (auto it = std::sregex_iterator(listing.begin(), listing.end(), id);
         it != std::sregex_iterator(); ++it) {
        ids.push_back(it->str());
    }
    return ids;
}

// The pid of the build system that runs build `id` (its command line names it).
int BuildSystemPid(const std::string& id) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        const std::string cmdline((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        if (Contains(cmdline, "VaridAdeziz") && Contains(cmdline, "/id=" + id)) {
            return std::stoi(name);
        }
    }
    return -1;
}

// The files of the global folder whose names hold `id`.
std::vector<std::string> GlobalObjectsOf(const std::string& id) {
    std::vector<std::string> found;
    const fs::path folder = fs::path(platform::ObjectFilePath("Global\\x")).parent_path();
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (Contains(entry.path().filename().string(), id.substr(1, 8))) {
            found.push_back(entry.path().filename().string());
        }
    }
    return found;
}

// Runs `action` in a child process that has become `user` (nobody by default); its
// exit code.
int AsNobodyProcess(const std::function<int()>& action, uid_t user = NobodyId) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 ||
            ::setresuid(user, user, user) != 0) {
            ::_exit(100);
        }
        ::_exit(action());
    }
    return child < 0 ? -1 : testing_support::WaitChild(child);
}

// Sends `request` as a raw message (whose head names `replyTo`, a channel of another
// user, when given) and returns the agent's reply text: the error message or the
// reply's class. `reply`, when given, receives the reply.
std::string SendRequest(const packets::TPacket& request,
                        const std::optional<core::TGUID>& replyTo = std::nullopt,
                        std::unique_ptr<packets::TPacket>* received = nullptr) {
    std::string why;
    const auto socket = comm::ConnectAgentSocket(why);
    if (!socket) {
        return "no connection: " + why;
    }
    std::string bytes = comm::EncodeMessage(request, comm::mfReplyExpected, 7);
    if (replyTo) {
        std::memcpy(bytes.data() + 16, replyTo->Bytes.data(), 16);
    }
    if (!socket->SendAll(bytes)) {
        return "not sent";
    }
    comm::TMessageFrameReader reader(1u << 20);
    for (int i = 0; i < 100; ++i) {
        if (auto reply = reader.Next()) {
            const auto* error = dynamic_cast<records::TCommExceptionPacket*>(reply->Packet.get());
            std::string text =
                error ? error->ExceptionMessage : std::string(reply->Packet->ClassName());
            if (received) {
                *received = std::move(reply->Packet);
            }
            return text;
        }
        char chunk[4096];
        if (!socket->WaitReadable(100)) {
            continue;
        }
        const std::int64_t got = socket->Receive(chunk, sizeof chunk);
        if (got <= 0) {
            return "closed";
        }
        reader.Append(chunk, static_cast<std::size_t>(got));
    }
    return "no reply";
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

class UserAccessE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (::geteuid() != 0) {
            return;
        }
        SetUpInstallation("user-access", {RAVELCON_BINARY, AGENT_BINARY}, {VARIDADEZIZ_BINARY});
        // As the stage script leaves a prefix: every user may reach the programs; the
        // temp and history folders are shared like /tmp.
        fs::permissions(install.Root, fs::perms(0755));
        for (const std::string dir : {"/Temp", "/History", "/History/Local"}) {
            fs::create_directories(install.Folder + dir);
            fs::permissions(install.Folder + dir, fs::perms(01777));
        }
        nobodyHome = install.Root + "/home-nobody";
        fs::create_directories(nobodyHome);
        ASSERT_EQ(::chown(nobodyHome.c_str(), NobodyId, NobodyId), 0);
    }
    static void TearDownTestSuite() {
        if (::geteuid() == 0) {
            TearDownInstallation();
        }
    }
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "two-user tests need root (to act as nobody as well)";
        }
        WriteRegistry("\"MaxConcurrentBuilds\"=dword:00000004\r\n");
    }

    static std::vector<std::string> Console(std::vector<std::string> args) {
        args.insert(args.begin(), "/nologo");
        return args;
    }
    static TProcessResult AsRoot(std::vector<std::string> args) {
        return RunProgram(Ravelcon(), Console(std::move(args)), {}, "/tmp");
    }
    static std::vector<std::string> NobodyArgs(std::vector<std::string> args) {
        std::vector<std::string> full = {"--reuid=" + std::to_string(NobodyId),
                                         "--regid=" + std::to_string(NobodyId), "--clear-groups",
                                         "--", Ravelcon()};
        for (std::string& a : Console(std::move(args))) {
            full.push_back(std::move(a));
        }
        return full;
    }
    static std::map<std::string, std::string> NobodyEnv() {
        return {{"HOME", nobodyHome}, {"XDG_CONFIG_HOME", nobodyHome}, {"USER", "nobody"}};
    }
    static TProcessResult AsNobody(std::vector<std::string> args) {
        return RunProgram(Setpriv, NobodyArgs(std::move(args)), NobodyEnv(), "/tmp");
    }
    static TRunningProgram StartAsNobody(std::vector<std::string> args) {
        return StartProgram(Setpriv, NobodyArgs(std::move(args)), NobodyEnv(), "/tmp");
    }
    // Starts a build of root that waits for `release` to exist, then prints and
    // ends with 7; returns once the agent lists it.
    static TRunningProgram StartRootBuild(const std::string& release, std::string& id) {
        const TRunningProgram running = StartProgram(
            Ravelcon(),
            Console({"/TITLE=RootBuild", "/COMMAND=while [ ! -e " + release +
                                             " ]; do sleep 0.1; done; echo root-done; exit 7"}),
            {}, "/tmp");
        // Listed with its title once its build system runs.
        EXPECT_TRUE(
            WaitUntil([&] { return Contains(AsRoot({"/LIST"}).Out, "(RootBuild)"); }, 15000));
        const std::vector<std::string> ids = ListedIds(AsRoot({"/LIST"}).Out);
        id = ids.empty() ? std::string() : ids.front();
        return running;
    }
    static void ExpectRootBuildUnharmed(const TRunningProgram& running,
                                        const std::string& release) {
        WriteFile(release, "");
        const TProcessResult result = FinishProgram(running);
        EXPECT_TRUE(result.Out.ends_with("\r\nroot-done\r\n")) << result.Out;
        EXPECT_EQ(result.ExitCode, 7) << result.Err;
    }

    static constexpr const char* Setpriv = "/usr/bin/setpriv";
    static inline std::string nobodyHome;
};

TEST_F(UserAccessE2E, NobodyBuildsListsAndStopsItsOwnBuilds) {
    TAgent agent;
    const TProcessResult built = AsNobody({"/COMMAND=id -u; exit 5"});
    EXPECT_EQ(built.Out, std::to_string(NobodyId) + "\r\n") << built.Err;
    EXPECT_EQ(built.ExitCode, 5);

    const TRunningProgram running =
        StartAsNobody({"/TITLE=NobodyBuild", "/COMMAND=sleep 30; echo never"});
    ASSERT_TRUE(
        WaitUntil([] { return Contains(AsNobody({"/LIST"}).Out, "(NobodyBuild)"); }, 15000));
    const TProcessResult listed = AsNobody({"/LIST"});
    EXPECT_TRUE(Contains(listed.Out, "(NobodyBuild)")) << listed.Out;
    const TProcessResult stopped = AsNobody({"/STOP=" + ListedIds(listed.Out).front()});
    EXPECT_EQ(stopped.ExitCode, 2) << stopped.Out;
    const TProcessResult result = FinishProgram(running);
    EXPECT_NE(result.ExitCode, 0);
    EXPECT_TRUE(Contains(result.Err, "Build was cancelled.")) << result.Err;
    // Its console has ended: the list no longer names it, at once.
    const TProcessResult after = AsNobody({"/LIST"});
    EXPECT_TRUE(ListedIds(after.Out).empty()) << after.Out;
}

TEST_F(UserAccessE2E, AnotherUserCanNeitherStopNorReconfigure) {
    TAgent agent;
    const std::string release = install.Root + "/release-stop";
    std::string id;
    const TRunningProgram running = StartRootBuild(release, id);
    ASSERT_FALSE(id.empty());
    // The list shows the build's own title, to everyone.
    EXPECT_TRUE(Contains(AsNobody({"/LIST"}).Out, id + " (RootBuild)"));

    const std::string settings = ReadFile(install.Root + "/etc/machine.reg");
    WriteFile(install.Folder + "/FileCache/kept", "root's cached object");
    const struct {
        std::vector<std::string> Args;
        std::string Says;
    } attacks[] = {
        {{"/STOP=" + id}, "belongs to another user"},
        {{"/STOPALL"}, "belongs to another user"},
        {{"/DISABLE"}, "only an administrator may disable the agent"},
        {{"/ENABLE"}, "only an administrator may enable the agent"},
        {{"/RESET"}, "only an administrator may clear the agent's file cache"},
    };
    for (const auto& attack : attacks) {
        SCOPED_TRACE(attack.Args[0]);
        const TProcessResult r = AsNobody(attack.Args);
        EXPECT_EQ(r.ExitCode, 3) << r.Out << r.Err;
        EXPECT_TRUE(Contains(r.Out, "Access denied")) << r.Out;
        EXPECT_TRUE(Contains(r.Out, attack.Says)) << r.Out;
    }
    EXPECT_EQ(ReadFile(install.Root + "/etc/machine.reg"), settings);
    EXPECT_TRUE(fs::exists(install.Folder + "/FileCache/kept"));
    EXPECT_EQ(ListedIds(AsRoot({"/LIST"}).Out), std::vector<std::string>{id});
    ExpectRootBuildUnharmed(running, release);

    // The administrator may do what was refused.
    const TProcessResult reset = AsRoot({"/RESET"});
    EXPECT_EQ(reset.ExitCode, 0) << reset.Out;
    EXPECT_FALSE(fs::exists(install.Folder + "/FileCache/kept"));
}

TEST_F(UserAccessE2E, NamingAnotherUsersReplyChannelGivesNoneOfItsRights) {
    TAgent agent;
    const std::string release = install.Root + "/release-spoof";
    std::string id;
    const TRunningProgram running = StartRootBuild(release, id);
    ASSERT_FALSE(id.empty());
    core::TGUID build;
    ASSERT_TRUE(core::TGUID::TryParse(id, build));
    // A reply channel of root's: the caller was once taken to be its owner.
    const core::TGUID rootChannel = core::NewGuid();
    const auto rootBlock = platform::TSharedSection::Create(
        "Global\\Tavrix_" + rootChannel.ToString() + "_Channel_Data", 44);
    ASSERT_EQ(rootBlock->OwnerUserId(), 0u);
    WriteFile(install.Folder + "/FileCache/kept", "root's cached object");

    records::TStopJobPacket stop;
    stop.JobID = build;
    const struct {
        const char* What;
        const packets::TPacket& Request;
        const char* Says;
    } spoofs[] = {
        {"stop root's build", stop, "belongs to another user"},
        {"clear the file cache", records::TClearFileCachePacket(), "only an administrator"},
    };
    for (const auto& spoof : spoofs) {
        SCOPED_TRACE(spoof.What);
        const std::string answerFile = nobodyHome + "/answer";
        fs::remove(answerFile);
        const int code = AsNobodyProcess([&] {
            std::ofstream(answerFile) << SendRequest(spoof.Request, rootChannel);
            return 0;
        });
        ASSERT_EQ(code, 0);
        const std::string answer = ReadFile(answerFile);
        EXPECT_TRUE(Contains(answer, "Access denied")) << answer;
        EXPECT_TRUE(Contains(answer, spoof.Says)) << answer;
    }
    EXPECT_TRUE(fs::exists(install.Folder + "/FileCache/kept"));
    EXPECT_EQ(ListedIds(AsRoot({"/LIST"}).Out), std::vector<std::string>{id});
    ExpectRootBuildUnharmed(running, release);
}

TEST_F(UserAccessE2E, AFakeAgentSocketOfAnotherUserIsRefused) {
    const std::string folder = comm::AgentSocketFolder();
    const std::string own = install.Objects + "/fake-of-nobody";
    // The objects root as the first program that makes an object leaves it, also when
    // this test runs alone.
    fs::create_directories(install.Objects);
    fs::permissions(install.Objects, fs::perms(01777));
    // Nobody serves a socket where the agent's would be: first in a folder of its own
    // at the agent's folder name, then moved into a folder of root's.
    const struct {
        const char* What;
        bool RootFolder;
        const char* Says;
    } plants[] = {
        {"in a folder of its own", false, "is owned by user 65534"},
        {"in root's folder", true, "is served by user 65534"},
    };
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.What);
        fs::remove_all(folder);
        fs::remove_all(own);
        const std::string ready = nobodyHome + "/fake-ready";
        fs::remove(ready);
        const pid_t fake = ::fork();
        ASSERT_GE(fake, 0);
        if (fake == 0) {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(NobodyId, NobodyId, NobodyId) != 0 ||
                ::setresuid(NobodyId, NobodyId, NobodyId) != 0) {
                ::_exit(100);
            }
            const std::string at = plant.RootFolder ? own : folder;
            ::mkdir(at.c_str(), 0755);
            const auto listener = platform::TLocalListener::Listen(
                at + "/request", platform::TLocalListener::TPeers::EveryUser);
            std::ofstream(ready) << "ready";
            for (int i = 0; i < 200; ++i) {
                listener->Accept(50); // answers nothing
            }
            ::_exit(0);
        }
        const bool listening = WaitUntil([&] { return fs::exists(ready); }, 10000);
        if (plant.RootFolder && listening) {
            std::error_code ec;
            fs::create_directories(folder, ec);
            fs::permissions(folder, fs::perms(0755), ec);
            fs::rename(own + "/request", folder + "/request", ec);
            EXPECT_FALSE(ec) << ec.message();
        }
        std::string why;
        const bool connected = listening && comm::ConnectAgentSocket(why) != nullptr;
        const TProcessResult list = AsRoot({"/LIST"});
        ::kill(fake, SIGKILL);
        testing_support::WaitChild(fake);
        ASSERT_TRUE(listening);
        EXPECT_FALSE(connected);
        EXPECT_TRUE(Contains(why, plant.Says)) << why;
        EXPECT_EQ(list.ExitCode, 3) << list.Out;
        EXPECT_TRUE(Contains(list.Out, "Agent Service is not running")) << list.Out;
    }
    // The real agent takes its folder back and serves.
    fs::remove_all(folder);
    ::mkdir(folder.c_str(), 0777);
    ASSERT_EQ(::chown(folder.c_str(), NobodyId, NobodyId), 0);
    TAgent agent;
    EXPECT_EQ(StatOf(folder).st_uid, 0u);
    EXPECT_EQ(AsNobody({"/LIST"}).ExitCode, 0);
    fs::remove_all(own);
}

TEST_F(UserAccessE2E, TheAgentAccountIsAMachineSetting) {
    const struct {
        const char* Setting;
        int ListExit;
    } cases[] = {
        {"\"ServiceUser\"=\"nobody\"\r\n", 0}, // the configured account is trusted
        {"", 3},                               // any other account is not
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Setting);
        WriteRegistry(c.Setting);
        fs::remove_all(comm::AgentSocketFolder());
        const TRunningProgram agent =
            StartProgram(Setpriv,
                         {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                          install.Bin + "/morvek-agent"},
                         NobodyEnv(), "/tmp");
        const bool up = WaitUntil([] { return fs::exists(comm::AgentSocketPath()); }, 10000);
        const TProcessResult list = AsRoot({"/LIST"});
        ::kill(agent.Pid, SIGTERM);
        const TProcessResult ended = FinishProgram(agent);
        ASSERT_TRUE(up) << ended.Err;
        EXPECT_EQ(list.ExitCode, c.ListExit) << list.Out << list.Err;
        EXPECT_EQ(StatOf(comm::AgentSocketFolder()).st_uid, static_cast<uid_t>(NobodyId));
    }
    fs::remove_all(comm::AgentSocketFolder());
}

TEST_F(UserAccessE2E, AnotherUserCanNeitherStopNorEndTheBuild) {
    TAgent agent;
    const std::string release = install.Root + "/release-events";
    std::string id;
    const TRunningProgram running = StartRootBuild(release, id);
    ASSERT_FALSE(id.empty());
    core::TGUID build;
    ASSERT_TRUE(core::TGUID::TryParse(id, build));
    // No object of the build in the global folder may be written by another user: it
    // could neither stop the build nor end it.
    const std::vector<std::string> objects = GlobalObjectsOf(id);
    EXPECT_FALSE(objects.empty());
    for (const std::string& name : objects) {
        SCOPED_TRACE(name);
        const std::string path = platform::ObjectFilePath("Global\\" + name);
        const TProcessResult writable =
            RunProgram(Setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                 "/bin/sh", "-c", "test -w \"$0\"", path});
        EXPECT_EQ(writable.ExitCode, 1) << writable.Err;
    }
    // Nor may it tell the agent that the build has ended.
    const std::string answerFile = nobodyHome + "/answer";
    fs::remove(answerFile);
    records::TJobEndedPacket ended;
    ended.JobID = build;
    ASSERT_EQ(AsNobodyProcess([&] {
                  std::ofstream(answerFile) << SendRequest(ended);
                  return 0;
              }),
              0);
    const std::string answer = ReadFile(answerFile);
    EXPECT_TRUE(Contains(answer, "Access denied")) << answer;
    EXPECT_TRUE(Contains(answer, "belongs to another user")) << answer;
    EXPECT_EQ(ListedIds(AsRoot({"/LIST"}).Out), std::vector<std::string>{id});
    ExpectRootBuildUnharmed(running, release);
}

// The agent as the package runs it: under a system account that cannot hand objects to
// other users.
TEST_F(UserAccessE2E, AnAgentOfASystemAccountTakesABuildsEndOnlyFromItsUser) {
    constexpr uid_t Third = 65533;
    WriteRegistry("\"MaxConcurrentBuilds\"=dword:00000004\r\n\"ServiceUser\"=\"nobody\"\r\n");
    const std::string answers = install.Root + "/answers-third";
    fs::create_directories(answers);
    ASSERT_EQ(::chown(answers.c_str(), Third, Third), 0);
    struct TNobodyAgent {
        TRunningProgram Program;
        ~TNobodyAgent() {
            ::kill(Program.Pid, SIGTERM);
            FinishProgram(Program);
            fs::remove_all(comm::AgentSocketFolder());
        }
    };
    fs::remove_all(comm::AgentSocketFolder());
    const TNobodyAgent agent{StartProgram(
        Setpriv,
        {"--reuid=65534", "--regid=65534", "--clear-groups", "--", install.Bin + "/morvek-agent"},
        NobodyEnv(), "/tmp")};
    ASSERT_TRUE(WaitUntil([] { return fs::exists(comm::AgentSocketPath()); }, 10000));
    // Clients of this test's own processes trust the agent's account by the override.
    const auto send = [&](uid_t user, const packets::TPacket& request, const std::string& file) {
        fs::remove(file);
        return AsNobodyProcess(
            [&] {
                ::setenv("TAVRIX_AGENT_USER", "65534", 1);
                std::unique_ptr<packets::TPacket> reply;
                std::string text = SendRequest(request, std::nullopt, &reply);
                if (const auto* granted =
                        dynamic_cast<const records::TStartJobRequestReplyPacket*>(reply.get())) {
                    text = granted->Result == 0
                               ? granted->JobID.ToString()
                               : "no slot: result " + std::to_string(granted->Result);
                }
                std::ofstream(file) << text;
                return 0;
            },
            user);
    };

    // A slot of root's whose build system has not started yet: the window in which only
    // the build's end could free it before its claim times out.
    ASSERT_EQ(send(0, records::TStartJobRequestPacket(), answers + "/slot"), 0);
    const std::string id = ReadFile(answers + "/slot");
    core::TGUID build;
    ASSERT_TRUE(core::TGUID::TryParse(id, build)) << id;
    EXPECT_EQ(ListedIds(AsRoot({"/LIST"}).Out), std::vector<std::string>{id});
    const std::vector<std::string> objects = GlobalObjectsOf(id);
    for (const std::string& name : objects) {
        const struct stat st = StatOf(platform::ObjectFilePath("Global\\" + name));
        EXPECT_EQ(st.st_mode & 0022, 0u) << name;
    }

    // A third user tries every way to end it: setting an event of the build, and saying so.
    const int attacked = AsNobodyProcess(
        [&] {
            ::setenv("TAVRIX_AGENT_USER", "65534", 1);
            for (const std::string& name : objects) {
                try {
                    if (const auto event = platform::TEvent::Open("Global\\" + name)) {
                        event->Set();
                    }
                } catch (const std::exception&) {
                }
            }
            return 0;
        },
        Third);
    ASSERT_EQ(attacked, 0);
    records::TJobEndedPacket ended;
    ended.JobID = build;
    ASSERT_EQ(send(Third, ended, answers + "/third"), 0);
    const std::string refused = ReadFile(answers + "/third");
    EXPECT_TRUE(Contains(refused, "Access denied")) << refused;
    EXPECT_EQ(ListedIds(AsRoot({"/LIST"}).Out), std::vector<std::string>{id});

    // Its own user ends it: the slot is free at once.
    ASSERT_EQ(send(0, ended, answers + "/root"), 0);
    EXPECT_FALSE(Contains(ReadFile(answers + "/root"), "Access denied"));
    EXPECT_TRUE(ListedIds(AsRoot({"/LIST"}).Out).empty());

    // A whole build of root's: it ends with its own exit code, and the agent knows at once.
    const TProcessResult built = AsRoot({"/COMMAND=echo built; exit 4"});
    EXPECT_EQ(built.ExitCode, 4) << built.Out << built.Err;
    EXPECT_TRUE(Contains(built.Out, "built")) << built.Out;
    const TProcessResult after = AsRoot({"/LIST"});
    EXPECT_TRUE(ListedIds(after.Out).empty()) << after.Out;
}

TEST_F(UserAccessE2E, AgentSeesAnotherUsersBuildEndWhenItsProcessesAreKilled) {
    TAgent agent;
    const std::string pidFile = nobodyHome + "/command-pid";
    fs::remove(pidFile);
    const TRunningProgram console =
        StartAsNobody({"/TITLE=NobodyKilled", "/COMMAND=echo $$ > " + pidFile + "; exec sleep 60"});
    ASSERT_TRUE(WaitUntil([] { return Contains(AsRoot({"/LIST"}).Out, "(NobodyKilled)"); }, 15000));
    const std::vector<std::string> ids = ListedIds(AsRoot({"/LIST"}).Out);
    ASSERT_EQ(ids.size(), 1u);
    const std::string id = ids.front();
    const int buildSystem = BuildSystemPid(id);
    ASSERT_GT(buildSystem, 0);
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(pidFile); }, 15000));
    // Its stop event is the agent's alone.
    const struct stat st = StatOf(platform::ObjectFilePath("Global\\TavrixBuildStop_" + id));
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0022, 0u);
    // The agent's one-second watch sees the build system hold its mutex.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    // Killed without a word: the agent can only tell by the mutex it no longer holds.
    ::kill(console.Pid, SIGKILL);
    ::kill(buildSystem, SIGKILL);
    FinishProgram(console);
    const bool gone = WaitUntil([] { return ListedIds(AsRoot({"/LIST"}).Out).empty(); }, 10000);
    // What they left in the global folder went with the build's end.
    const std::vector<std::string> left = GlobalObjectsOf(id);
    std::ifstream in(pidFile);
    int command = 0;
    if (in >> command && command > 0) {
        ::kill(command, SIGKILL);
    }
    fs::remove(pidFile);
    EXPECT_TRUE(gone) << AsRoot({"/LIST"}).Out;
    EXPECT_TRUE(left.empty()) << ::testing::PrintToString(left);
}

TEST_F(UserAccessE2E, HandOffFilesAreTheOwnersAlone) {
    TAgent agent;
    const std::string temp = install.Folder + "/Temp";
    // Another user's folder under root's name: root's build refuses it and runs nothing.
    const std::string rootFolder = temp + "/u0";
    fs::remove_all(rootFolder);
    const TProcessResult squat =
        RunProgram(Setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--", "/bin/mkdir",
                             "-m", "0777", rootFolder});
    ASSERT_EQ(squat.ExitCode, 0) << squat.Err;
    const std::string marker = install.Root + "/ran-in-squatted-folder";
    const TProcessResult refused = AsRoot({"/COMMAND=touch " + marker});
    EXPECT_NE(refused.ExitCode, 0);
    EXPECT_TRUE(Contains(refused.Out + refused.Err, "owned by another user")) << refused.Out;
    EXPECT_FALSE(fs::exists(marker));
    fs::remove_all(rootFolder);

    // Root's own build: its folder is private, its hand-off file gone once read.
    const TProcessResult own = AsRoot({"/COMMAND=echo fine"});
    EXPECT_EQ(own.ExitCode, 0) << own.Out << own.Err;
    const struct stat folder = StatOf(rootFolder);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_EQ(folder.st_uid, 0u);
    EXPECT_TRUE(fs::is_empty(rootFolder));
    EXPECT_EQ(StatOf(temp).st_mode & 07777, 01777u);

    // The build system refuses a hand-off file that its own user does not own.
    const std::string forgedId = "{0F0F0F0F-0000-4000-8000-000000000001}";
    const std::string forged = rootFolder + "/" + forgedId + ".mv_bld_cmd";
    WriteFile(forged, "anything");
    ASSERT_EQ(::chown(forged.c_str(), NobodyId, NobodyId), 0);
    const TProcessResult buildSystem =
        RunProgram(install.Folder + "/VaridAdeziz", {"/id=" + forgedId});
    EXPECT_NE(buildSystem.ExitCode, 0);
    EXPECT_TRUE(Contains(buildSystem.Err, "owned by another user")) << buildSystem.Err;
    fs::remove(forged);
}

TEST_F(UserAccessE2E, HistoryFilesArePrivateInSharedFolders) {
    TAgent agent;
    // The first build of a day is another user's: its day folder is still the agent's.
    for (const auto& day : fs::directory_iterator(install.Folder + "/History/Local")) {
        fs::remove_all(day.path());
    }
    const TProcessResult nobody = AsNobody({"/COMMAND=echo of-nobody"});
    EXPECT_EQ(nobody.ExitCode, 0) << nobody.Out << nobody.Err;
    ::umask(0);
    const TProcessResult root = AsRoot({"/COMMAND=echo secret-of-root"});
    ::umask(022);
    EXPECT_EQ(root.ExitCode, 0) << root.Err;

    int rootFiles = 0;
    int nobodyFiles = 0;
    for (const auto& day : fs::directory_iterator(install.Folder + "/History/Local")) {
        EXPECT_EQ(StatOf(day.path().string()).st_mode & 07777, 01777u) << day.path();
        EXPECT_EQ(StatOf(day.path().string()).st_uid, 0u) << day.path();
        for (const auto& file : fs::directory_iterator(day.path())) {
            const struct stat st = StatOf(file.path().string());
            EXPECT_EQ(st.st_mode & 07777, 0600u) << file.path();
            ++(st.st_uid == 0 ? rootFiles : nobodyFiles);
        }
    }
    EXPECT_GE(rootFiles, 1);
    EXPECT_GE(nobodyFiles, 1);
    // Nobody cannot read root's history.
    const TProcessResult peek = RunProgram(
        Setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--", "/bin/sh", "-c",
                  "cat " + install.Folder + "/History/Local/*/* 2>/dev/null | grep -c secret-of"});
    EXPECT_NE(peek.Out, "") << peek.Err;
    EXPECT_EQ(peek.Out.substr(0, 1), "0");
    // Nor remove it.
    RunProgram(Setpriv, {"--reuid=65534", "--regid=65534", "--clear-groups", "--", "/bin/sh", "-c",
                         "rm -f " + install.Folder + "/History/Local/*/*"});
    int rootFilesLeft = 0;
    for (const auto& day : fs::directory_iterator(install.Folder + "/History/Local")) {
        for (const auto& file : fs::directory_iterator(day.path())) {
            rootFilesLeft += StatOf(file.path().string()).st_uid == 0 ? 1 : 0;
        }
    }
    EXPECT_EQ(rootFilesLeft, rootFiles);
}

} // namespace
