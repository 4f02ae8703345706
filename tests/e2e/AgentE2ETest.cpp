// The real morvek-agent and the real ravelcon in a private installation: their own
// objects, registry and data folders, with info.dat beside the programs.
#include "../platform/TestProcess.h"
#include "Installation.h"
#include "ProcessRunner.h"
#include "comm/AgentConnection.h"
#include "comm/AgentSocket.h"
#include "comm/MessageFrame.h"
#include "comm/ProductInfo.h"
#include "core/NotifyQueue.h"
#include "packets/SpinLock.h"
#include "platform/LocalSocket.h"
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

    // A connection of the test itself, as a build proxy would open one.
    std::unique_ptr<comm::TAgentConnection> Pipe() { return comm::ConnectToAgent(); }
    core::TGUID GrantBuild(comm::TAgentConnection& pipe, const std::string& caption) {
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
    ASSERT_TRUE(pipe->Request(records::TQueryServiceStatusPacket()));
    ASSERT_TRUE(pipe->Open());
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
// Child: sends `count` status requests over its own pipe; writes each round trip
// (microseconds) to `file`, one per line.
int StatusLoad(const std::vector<std::string>& args) {
    // Child actions run before main(): the registry store is not ready yet, so the
    // agent's account comes from the environment.
    ::setenv("TAVRIX_AGENT_USER", std::to_string(::getuid()).c_str(), 1);
    records::RegisterAllPacketClasses();
    const int count = std::stoi(args[2]);
    std::ofstream out(args[1]);
    int answered = 0;
    {
        core::TNotifyQueue queue;
        queue.Attach();
        const auto pipe = comm::ConnectToAgent();
        for (int i = 0; i < count; ++i) {
            const auto start = std::chrono::steady_clock::now();
            auto reply = pipe->Request(records::TQueryServiceStatusPacket());
            const auto took = std::chrono::steady_clock::now() - start;
            if (&reply->Class() == &records::TQueryServiceStatusReplyPacket::StaticClass()) {
                ++answered;
            }
            out << std::chrono::duration_cast<std::chrono::microseconds>(took).count() << "\n";
        }
    }
    return answered == count ? 0 : 1;
}

const bool agentChildActions = RegisterChildActions({{"status-load", StatusLoad}});
} // namespace

namespace {
// The bytes of a message head as a client would write them, with `length` and
// `flags` of its own choice.
std::string Head(std::uint8_t flags, std::uint32_t length, std::uint8_t version = 3) {
    auto head = comm::MakeMessageHead(flags, 1, core::TGUID{}, -1, length);
    head[0] = version;
    return std::string(head.begin(), head.end());
}
// True once the agent has closed the connection (bounded wait).
bool ClosedByAgent(platform::TLocalSocket& socket) {
    char byte;
    for (int i = 0; i < 50; ++i) {
        if (socket.WaitReadable(100) && socket.Receive(&byte, 1) <= 0) {
            return true;
        }
    }
    return false;
}
} // namespace

TEST_F(AgentE2E, BadSendersDoNotStopTheAgent) {
    TAgent agent;
    // Requests no longer travel through a shared channel that every user could write.
    EXPECT_FALSE(platform::TSharedSection::Open("Global\\Tavrix_" + install.Channel.ToString() +
                                                "_Channel_Data"));
    const std::string status =
        comm::EncodeMessage(records::TQueryServiceStatusPacket(), comm::mfReplyExpected, 1);
    const struct {
        const char* What;
        std::string Bytes;
    } malformed[] = {
        {"a wrong version", Head(comm::mfReplyExpected, 44, 2)},
        {"a length below the head's", Head(comm::mfReplyExpected, 12)},
        {"a length beyond every limit", Head(comm::mfReplyExpected, 0xFFFFFFF0u)},
        {"a reply sent to the agent", Head(comm::mfReply, 44)},
    };
    for (const auto& bad : malformed) {
        SCOPED_TRACE(bad.What);
        std::string why;
        const auto socket = comm::ConnectAgentSocket(why);
        ASSERT_TRUE(socket) << why;
        ASSERT_TRUE(socket->SendAll(bad.Bytes));
        EXPECT_TRUE(ClosedByAgent(*socket));
        EXPECT_EQ(Run({"/LIST", "/nologo"}).ExitCode, 0);
    }
    {
        // Half a message, then nothing; and a client that sends and never reads its
        // replies: neither holds up anyone else.
        std::string why;
        const auto half = comm::ConnectAgentSocket(why);
        ASSERT_TRUE(half) << why;
        ASSERT_TRUE(half->SendAll(status.substr(0, 30)));
        const auto flooding = comm::ConnectAgentSocket(why);
        ASSERT_TRUE(flooding) << why;
        for (int i = 0; i < 100000 && flooding->SendNow(status) > 0; ++i) {
        }
        const e2e::TProcessResult list = Run({"/LIST", "/nologo"});
        EXPECT_EQ(list.ExitCode, 0) << list.Out;
    }

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

TEST_F(AgentE2E, AgentPutsItsSocketBackWhenItIsRemoved) {
    TAgent agent;
    for (const bool wholeFolder : {false, true}) {
        SCOPED_TRACE(wholeFolder ? "folder removed" : "socket removed");
        fs::remove_all(wholeFolder ? comm::AgentSocketFolder() : comm::AgentSocketPath());
        // It looks every two seconds.
        bool back = false;
        for (int i = 0; i < 100 && !back; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::string why;
            back = comm::ConnectAgentSocket(why) != nullptr;
        }
        EXPECT_TRUE(back);
        const e2e::TProcessResult list = Run({"/LIST", "/nologo"});
        EXPECT_EQ(list.ExitCode, 0) << list.Out;
    }
    // A second agent does not take the socket of the running one.
    const e2e::TProcessResult second = e2e::RunProgram(install.Bin + "/morvek-agent", {});
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_TRUE(Contains(second.Err, "already served by a running process")) << second.Err;
    EXPECT_EQ(Run({"/LIST", "/nologo"}).ExitCode, 0);
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
