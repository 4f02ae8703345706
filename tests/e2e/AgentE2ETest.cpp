// The real morvek-agent and the real ravelcon in a private installation: their own
// objects, registry and data folders, with info.dat beside the programs.
#include "../platform/TestProcess.h"
#include "Installation.h"
#include "ProcessRunner.h"
#include "comm/CommPipe.h"
#include "comm/ProductInfo.h"
#include "core/NotifyQueue.h"
#include "packets/SpinLock.h"
#include "platform/Registry.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

using namespace testing_support;
using namespace e2e;
namespace fs = std::filesystem;

namespace {

class AgentE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        e2e::SetUpInstallation("agent-e2e", {RAVELCON_BINARY, AGENT_BINARY, TULCLIENT_LIBRARY});
    }
    static void TearDownTestSuite() { e2e::TearDownInstallation(); }
    void SetUp() override { WriteRegistry(); }

    e2e::TProcessResult Run(const std::vector<std::string>& args) {
        return e2e::RunProgram(Ravelcon(), args);
    }

    // A pipe of the test itself, as a build proxy would open one.
    std::unique_ptr<comm::TLocalCommPipe> Pipe() {
        return std::make_unique<comm::TLocalCommPipe>(install.Channel, 2097152, nullptr,
                                                      "Build Service", -2);
    }
    core::TGUID GrantBuild(comm::TLocalCommPipe& pipe, const std::string& caption) {
        records::TStartJobRequestPacket request;
        request.ComponentDisplayName = caption;
        auto reply = pipe.Request(request);
        EXPECT_EQ(&reply->Class(), &records::TStartJobRequestReplyPacket::StaticClass());
        const auto& granted = static_cast<records::TStartJobRequestReplyPacket&>(*reply);
        EXPECT_EQ(granted.Result, 0);
        return granted.JobID;
    }
};

} // namespace

TEST_F(AgentE2E, StatusWithTheAgentStoppedAndRunning) {
    e2e::TProcessResult down = Run({"/QUERYAGENTSTATUS", "/nologo"});
    EXPECT_EQ(down.ExitCode, 0);
    EXPECT_EQ(down.Out, "Agent Services Status: not running\r\n"
                        "Connectivity to Coordinator: not connected\r\n"
                        "TUL Connection to Manager: Not connected (no coordinator configured)\r\n");

    TAgent agent;
    e2e::TProcessResult up = Run({"/QUERYAGENTSTATUS", "/nologo", "/nosuchoption"});
    EXPECT_EQ(up.ExitCode, 0);
    EXPECT_TRUE(Contains(up.Out, "Agent Services Status: OK\r\nConnectivity to Coordinator: "
                                 "not connected\r\n"))
        << up.Out;
    // A coordinator that does not answer is named in the endpoint line.
    WriteRegistry("\"Coordinator\"=\"127.0.0.1:1\"\r\n");
    up = Run({"/QUERYAGENTSTATUS", "/nologo"});
    EXPECT_TRUE(Contains(up.Out, "Connectivity to Coordinator: OK\r\n")) << up.Out;
    EXPECT_TRUE(Contains(up.Out, "TUL Connection to Manager: Not connected (127.0.0.1:1: "))
        << up.Out;
    // The run sequence goes on to the leftover check.
    e2e::TProcessResult leftover = Run({"/LIST", "/nologo", "/bogus"});
    EXPECT_EQ(leftover.ExitCode, 3);
    EXPECT_EQ(leftover.Out, "Fatal Error: Invalid/conflicting options specified: bogus\r\n");
}

TEST_F(AgentE2E, StopAndListCommands) {
    TAgent agent;
    struct TCase {
        std::vector<std::string> Args;
        std::string Out;
        int ExitCode;
    };
    const TCase idle[] = {
        {{"/STOP=123"}, "Fatal Error: Invalid build ID \"123\"\r\n", 3},
        {{"/STOP=6B29FC40-CA47-1067-B31D-00DD010662DA"},
         "Fatal Error: Invalid build ID \"6B29FC40-CA47-1067-B31D-00DD010662DA\"\r\n",
         3},
        {{"/STOP={6B29FC40-CA47-1067-B31D-00DD010662DA}"},
         "Invalid build ID or multiple builds running.\r\n",
         3},
        {{"/STOP"}, "Invalid build ID or multiple builds running.\r\n", 3},
        {{"/STOPALL"}, "", 0},
        {{"/LIST"}, "", 0},
    };
    for (const TCase& c : idle) {
        std::vector<std::string> args = c.Args;
        args.push_back("/nologo");
        const e2e::TProcessResult r = Run(args);
        EXPECT_EQ(r.Out, c.Out) << c.Args[0];
        EXPECT_EQ(r.ExitCode, c.ExitCode) << c.Args[0];
    }

    auto pipe = Pipe();
    const core::TGUID first = GrantBuild(*pipe, "first build");
    const core::TGUID second = GrantBuild(*pipe, "second build");
    e2e::TProcessResult list = Run({"/LIST", "/nologo"});
    EXPECT_EQ(list.ExitCode, 0);
    // The title is the build's own (/TITLE), known once its build system runs; the
    // name of the console that asked for the slot is no title.
    EXPECT_EQ(list.Out, "1: " + first.ToString() + " ()\r\n2: " + second.ToString() + " ()\r\n");
    // Lower-case input is accepted; the stop reaches the build's stop event.
    std::string lower = first.ToString();
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    e2e::TProcessResult stop = Run({"/STOP=" + lower, "/nologo"});
    EXPECT_EQ(stop.Out, "Build Stop request sent successfully.\r\n");
    EXPECT_EQ(stop.ExitCode, 2);
    auto stopEvent = platform::TEvent::Open("Global\\TavrixBuildStop_" + first.ToString());
    ASSERT_TRUE(stopEvent);
    EXPECT_TRUE(stopEvent->Wait(0));
    // Two builds: /STOP without an ID is ambiguous; /STOPALL stops both.
    EXPECT_EQ(Run({"/STOP", "/nologo"}).ExitCode, 3);
    e2e::TProcessResult all = Run({"/STOPALL", "/nologo", "/exitcodebase=100"});
    EXPECT_EQ(all.Out, "Build Stop request sent successfully.\r\n"
                       "Build Stop request sent successfully.\r\n");
    EXPECT_EQ(all.ExitCode, 102);
}

TEST_F(AgentE2E, EnableAndDisable) {
    TAgent agent;
    e2e::TProcessResult disabled = Run({"/DISABLE", "/nologo"});
    EXPECT_EQ(disabled.Out, "Agent disabled.\r\n");
    EXPECT_EQ(disabled.ExitCode, 0);
    auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                            "SOFTWARE\\Tavrix\\Morvek\\Agent");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ReadInteger("Enabled"), 0);

    WriteRegistry("\"AllowEnableDisable\"=dword:00000000\r\n");
    e2e::TProcessResult refused = Run({"/ENABLE", "/nologo"});
    EXPECT_EQ(refused.Out, "Error: not allowed to enable agent.\r\n");
    EXPECT_EQ(refused.ExitCode, 3);
}

TEST_F(AgentE2E, ResetClearsTheAgentFileCache) {
    TAgent agent;
    WriteFile(install.Folder + "/FileCache/a/b.obj", "x");
    e2e::TProcessResult reset = Run({"/RESET", "/nologo"});
    EXPECT_EQ(reset.Out, "Agent file cache contents cleared successfully.\r\n");
    EXPECT_EQ(reset.ExitCode, 0);
    EXPECT_FALSE(fs::exists(install.Folder + "/FileCache/a"));
}

TEST_F(AgentE2E, ClearBuildCacheRestartsARunningService) {
    const int port = 20000 + getpid() % 20000;
    WriteRegistry("", port);
    TAgent agent;
    auto pipe = Pipe();
    pipe->Request(records::TStartBCServicePacket());
    const std::string cache = install.Root + "/var/Morvek/BuildCache";
    const std::string pidFile = cache + "/buildcache_service.pid";
    const std::string firstPid = ReadFile(pidFile);
    ASSERT_FALSE(firstPid.empty());
    EXPECT_EQ(::kill(std::stoi(firstPid), 0), 0);

    WriteFile(cache + "/dump.rdb", "rdb");
    WriteFile(cache + "/FileCache/x/y.o", "o");
    WriteFile(cache + "/Intermediate/z", "z");
    e2e::TProcessResult cleaned = Run({"/CLEARBUILDCACHE", "/nologo", "ignored.sln"});
    EXPECT_EQ(cleaned.Out, "Build cache cleaned.\r\n");
    EXPECT_EQ(cleaned.ExitCode, 0);
    EXPECT_FALSE(fs::exists(cache + "/dump.rdb"));
    EXPECT_FALSE(fs::exists(cache + "/FileCache"));
    EXPECT_FALSE(fs::exists(cache + "/Intermediate"));
    const std::string secondPid = ReadFile(pidFile);
    EXPECT_NE(secondPid, firstPid); // stopped, then started again
    EXPECT_EQ(::kill(std::stoi(secondPid), 0), 0);

    // An already clean cache (no database file left) is cleaned again, and the service
    // comes back.
    e2e::TProcessResult again = Run({"/CLEARBUILDCACHE", "/nologo"});
    EXPECT_EQ(again.Out, "Build cache cleaned.\r\n");
    EXPECT_EQ(again.ExitCode, 0);
    const std::string thirdPid = ReadFile(pidFile);
    EXPECT_NE(thirdPid, secondPid);
    EXPECT_EQ(::kill(std::stoi(thirdPid), 0), 0);

    // Settings nobody may write: the no-rights line, and nothing is deleted.
    WriteFile(cache + "/dump.rdb", "rdb");
    e2e::TProcessResult noRights = e2e::RunProgram(Ravelcon(), {"/CLEARBUILDCACHE", "/nologo"},
                                                   {{"TAVRIX_REGISTRY_DIR", "/proc/self/fdinfo"}});
    EXPECT_EQ(noRights.Out, "Please note that user has no administrative rights so cannot clear "
                            "cache.\r\nFatal Error: Build cache clean failed.\r\n");
    EXPECT_EQ(noRights.ExitCode, 3);
    EXPECT_TRUE(fs::exists(cache + "/dump.rdb"));

    pipe->Request(records::TStopBCServicePacket());
    EXPECT_FALSE(fs::exists(pidFile));
}

TEST_F(AgentE2E, AgentKilledWhileARequestWaits) {
    TAgent agent;
    auto pipe = Pipe();
    ASSERT_EQ(pipe->State(), comm::TCommState::Connected);
    ::kill(agent.Pid(), SIGSTOP);
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        agent.Stop(SIGKILL);
    });
    std::string error;
    try {
        pipe->Request(records::TRequestBuildStatusPacket());
    } catch (const std::exception& e) {
        error = e.what();
    }
    killer.join();
    EXPECT_EQ(error, "Connection terminated while waiting for reply from local connection: "
                     "Connection object remote thread has terminated");
    // A console started now finds no service.
    EXPECT_EQ(Run({"/LIST", "/nologo"}).Out,
              "Processing is unable to continue due to the Agent Service is not running.\r\n");
}

namespace {
// Child: takes the agent channel's spin lock and is killed holding it.
int HoldChannelLock(const std::vector<std::string>& args) {
    auto block = platform::TSharedSection::Open(args[0]);
    packets::TSpinLock lock(static_cast<std::uint8_t*>(block->Data()) + 4);
    lock.Lock();
    ::kill(::getpid(), SIGKILL);
    return 0;
}
// Child: sends `count` status requests over its own pipe; writes each round trip
// (microseconds) to `file`, one per line.
int StatusLoad(const std::vector<std::string>& args) {
    records::RegisterAllPacketClasses();
    core::TGUID channel;
    core::TGUID::TryParse(args[0], channel);
    const int count = std::stoi(args[2]);
    std::ofstream out(args[1]);
    int answered = 0;
    {
        core::TNotifyQueue queue;
        queue.Attach();
        comm::TLocalCommPipe pipe(channel, 2097152, nullptr, "Build Service", -2, &queue);
        for (int i = 0; i < count; ++i) {
            const auto start = std::chrono::steady_clock::now();
            auto reply = pipe.Request(records::TQueryServiceStatusPacket());
            const auto took = std::chrono::steady_clock::now() - start;
            if (&reply->Class() == &records::TQueryServiceStatusReplyPacket::StaticClass()) {
                ++answered;
            }
            out << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << "\n";
        }
    }
    return answered == count ? 0 : 1;
}

const bool agentChildActions =
    RegisterChildActions({{"hold-lock", HoldChannelLock}, {"status-load", StatusLoad}});
} // namespace

TEST_F(AgentE2E, BadSendersDoNotStopTheAgent) {
    TAgent agent;
    const std::string blockName = "Global\\Tavrix_" + install.Channel.ToString() + "_Channel_Data";
    // A sender killed while holding the channel's lock: the next one takes it over.
    EXPECT_EQ(WaitChild(SpawnChild("hold-lock", {blockName})), 128 + SIGKILL);
    e2e::TProcessResult after = Run({"/LIST", "/nologo"});
    EXPECT_EQ(after.ExitCode, 0) << after.Out;
    EXPECT_TRUE(
        Contains(ReadFile(install.Bin + "/Logs/ravelcon.log"), "Abandoned Spinlock Warning"));

    // An older protocol version written into the agent's block by someone else is
    // mended by the agent: the next client still connects.
    auto block = platform::TSharedSection::Open(blockName);
    auto* version = static_cast<std::uint8_t*>(block->Data());
    version[0] = 2;
    auto mended = Pipe();
    EXPECT_NO_THROW(mended->CheckConnected());
    EXPECT_EQ(version[0], 3);

    // A request of a class the agent does not know gets an exception reply.
    auto pipe = Pipe();
    std::string unknown;
    try {
        pipe->Request(records::TAttachToBuildPacket());
    } catch (const std::exception& e) {
        unknown = e.what();
    }
    EXPECT_TRUE(Contains(unknown, "Failed to complete request: TAttachToBuildPacket\r\n"
                                  "Unknown method ID: "))
        << unknown;
    EXPECT_EQ(Run({"/LIST", "/nologo"}).ExitCode, 0);
    EXPECT_EQ(agent.Stop(SIGTERM), 0);
}

TEST_F(AgentE2E, EightClientsOfAThousandRequestsEach) {
    const std::vector<std::string> before = LeftoverObjects(install.Objects);
    constexpr int Clients = 8;
    constexpr int Requests = 1000;
    std::vector<double> times;
    double seconds = 0;
    {
        TAgent agent;
        const auto start = std::chrono::steady_clock::now();
        std::vector<pid_t> children;
        for (int i = 0; i < Clients; ++i) {
            children.push_back(
                SpawnChild("status-load",
                           {install.Channel.ToString(), install.Root + "/load" + std::to_string(i),
                            std::to_string(Requests)}));
        }
        for (pid_t child : children) {
            EXPECT_EQ(WaitChild(child), 0); // every request answered with a status
        }
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (int i = 0; i < Clients; ++i) {
            std::ifstream in(install.Root + "/load" + std::to_string(i));
            int lines = 0;
            for (double us = 0; in >> us; ++lines) {
                times.push_back(us);
            }
            EXPECT_EQ(lines, Requests);
        }
        EXPECT_EQ(agent.Stop(SIGTERM), 0);
    }
    // Everything the agent and the clients created is gone again, at the latest once
    // the next process has swept what ended processes left (a stream the stopped agent
    // still held when its client ended).
    platform::RemoveAbandonedObjects(true);
    EXPECT_EQ(LeftoverObjects(install.Objects), before);
    ASSERT_EQ(times.size(), static_cast<std::size_t>(Clients * Requests));
    std::sort(times.begin(), times.end());
    RecordProperty("median_us", std::to_string(times[times.size() / 2]));
    RecordProperty("p99_us", std::to_string(times[times.size() * 99 / 100]));
    RecordProperty("requests_per_s", std::to_string(times.size() / seconds));
    std::printf("status round trip: median %.0f us, p99 %.0f us, %.0f requests/s\n",
                times[times.size() / 2], times[times.size() * 99 / 100], times.size() / seconds);
}
