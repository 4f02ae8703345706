// The build proxy against a stand-in build system in a private agent folder, object
// namespace and registry: the agent's answer, the hand-off, the start handshake with
// its restart rule, and following the event stream to the end of the build.
#include "proxy/BuildProxy.h"
#include "core/NotifyQueue.h"
#include "monitor/MonitorEventLoop.h"
#include "platform/Clock.h"
#include "platform/SharedObjects.h"
#include "proxy/BuildObjects.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"
#include "support/ScopedEnvVar.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using build::TBuildProxy;
using testing_support::TScopedEnvVar;

namespace {

class TFakeAgent : public comm::TAgentConnection {
public:
    TFakeAgent(std::uint8_t result, core::TGUID id) : result(result), id(id) {}
    std::unique_ptr<packets::TPacket> Request(const packets::TPacket&) override {
        auto reply = std::make_unique<records::TStartJobRequestReplyPacket>();
        reply->Result = result;
        reply->JobID = id;
        return reply;
    }

private:
    std::uint8_t result;
    core::TGUID id;
};

struct TSeen {
    std::vector<std::string> Lines; // output texts, and "message: <text>"
    int Completions = 0;
    bool Success = false;
    int SystemErrors = 0;
    int ExitCode = -1;
    std::vector<std::string> Reports;
};

class BuildProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        records::RegisterAllPacketClasses();
        root = fs::temp_directory_path() / ("ravel-proxy-" + std::to_string(::getpid()));
        fs::remove_all(root);
        folder = root + "/agent";
        fs::create_directories(folder);
        fs::copy_file(FAKE_BUILD_SYSTEM, folder + "/VaridAdeziz");
        registry = std::make_unique<TScopedEnvVar>("TAVRIX_REGISTRY_DIR", root);
        objects = std::make_unique<TScopedEnvVar>(
            "TAVRIX_OBJECTS_DIR", "/dev/shm/ravel-proxy-" + std::to_string(::getpid()));
        counter = std::make_unique<TScopedEnvVar>("RAVEL_FAKE_COUNTER", root + "/counter");
        WriteSettings(true);
        request.SetFlag(records::TBuildFlag::Attach);
        request.BuildClass = "make";
        request.Command = "true";
    }
    void TearDown() override {
        proxy.reset();
        fs::remove_all(root);
        fs::remove_all("/dev/shm/ravel-proxy-" + std::to_string(::getpid()));
    }

    void WriteSettings(bool hideWindow) {
        std::ofstream(root + "/machine.reg")
            << "Windows Registry Editor Version 5.00\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]\n"
               "\"Folder\"=\""
            << folder << "\"\n\"TempDir\"=\"" << folder << "/Temp\"\n"
            << "\"HideWindow\"=dword:0000000" << (hideWindow ? 1 : 0) << "\n";
    }

    // A proxy as the console makes it, counting the end of the build like the console.
    void MakeProxy(std::uint8_t result = 0) {
        proxy = std::make_unique<TBuildProxy>(
            "Test Console", "", build::bpoWaitOnDestroy, [this](packets::TPacket& event) {
                if (auto* output = dynamic_cast<records::TMonitorEventOutputPacket*>(&event)) {
                    seen.Lines.push_back(output->Text + output->ErrText);
                } else if (auto* message =
                               dynamic_cast<records::TMonitorEventMessagePacket*>(&event)) {
                    seen.Lines.push_back("message: " + message->Message + ": " + message->Text);
                } else if (auto* complete =
                               dynamic_cast<records::TMonitorEventCompletePacket*>(&event)) {
                    seen.Success = complete->Success;
                    seen.SystemErrors = complete->SystemErrorCount;
                    Count();
                }
            });
        proxy->SetExitHandler([this](core::TProcess& process) {
            seen.ExitCode = process.ExitCode();
            Count();
        });
        proxy->SetMessageSink([this](std::string_view line) { seen.Reports.emplace_back(line); });
        proxy->SetConnectionFactory(
            [result, this] { return std::make_unique<TFakeAgent>(result, jobID); });
    }
    void Count() {
        if (++seen.Completions > 1) {
            core::MainQueue().Stop();
        }
    }
    // Runs the main loop until the build ended, or 30 s passed.
    void RunBuild() {
        core::TClock guard(30000, true, [] { core::MainQueue().Stop(); });
        core::MainQueue().Resume();
        core::MainQueue().Run();
    }
    // Build-system processes started so far.
    int Starts() const {
        int starts = 0;
        std::ifstream(root + "/counter") >> starts;
        return starts;
    }
    std::string ErrorOf(const std::string& mode) {
        TScopedEnvVar fake("RAVEL_FAKE_MODE", mode);
        MakeProxy();
        try {
            proxy->StartBuild(request, "");
        } catch (const std::exception& e) {
            return e.what();
        }
        return "";
    }

    std::string root;
    std::string folder;
    std::unique_ptr<TScopedEnvVar> registry, objects, counter;
    records::TBuildCommandPacket request;
    core::TGUID jobID = core::NewGuid();
    std::unique_ptr<TBuildProxy> proxy;
    TSeen seen;
};

TEST_F(BuildProxyTest, RefusalStartsNothing) {
    MakeProxy(1);
    EXPECT_EQ(proxy->StartBuild(request, ""), 1);
    EXPECT_EQ(request.BuildID, jobID);
    EXPECT_FALSE(fs::exists(folder + "/Temp"));
    EXPECT_EQ(proxy->State(), TBuildProxy::TState::New);
}

TEST_F(BuildProxyTest, FollowsBuildToItsEnd) {
    TScopedEnvVar fake("RAVEL_FAKE_MODE", "ok");
    TScopedEnvVar exitCode("RAVEL_FAKE_EXIT", "3");
    request.SetFlag(records::TBuildFlag::UseIDEMonitor);
    MakeProxy();
    ASSERT_EQ(proxy->StartBuild(request, "/exitcodebase=100"), 0);
    EXPECT_EQ(proxy->State(), TBuildProxy::TState::Attached);
    const std::string identity = jobID.ToString();
    EXPECT_TRUE(
        proxy->CommandLine().ends_with("VaridAdeziz /id=" + identity + " /exitcodebase=100"));

    // The hand-off file holds the completed request.
    records::TBuildCommandPacket handedOff;
    handedOff.LoadFromFile(
        build::HandOffFilePath(build::HandOffFolder(folder + "/Temp"), identity));
    EXPECT_EQ(handedOff.BuildID, jobID);
    EXPECT_EQ(handedOff.InitiatorName, "Test Console");
    EXPECT_EQ(handedOff.CurDir, fs::current_path().string());
    EXPECT_FALSE(handedOff.HasFlag(records::TBuildFlag::UseIDEMonitor));
    EXPECT_EQ(handedOff.UseIDEMonitorPID, 0);

    RunBuild();
    EXPECT_EQ(seen.Lines, (std::vector<std::string>{"line one", "warning one"}));
    EXPECT_EQ(seen.ExitCode, 3);
    EXPECT_EQ(seen.Completions, 2);
    EXPECT_TRUE(proxy->Completed());
    EXPECT_THROW(
        try { proxy->StartBuild(request, ""); } catch (const std::exception& e) {
            EXPECT_STREQ(e.what(), "Internal Error: Proxy object cannot be reused.");
            throw;
        },
        std::exception);
}

TEST_F(BuildProxyTest, IDEMonitorIsTheFirstAncestorWithItsMutex) {
    // This process is the first of the chain; holding its mutex makes it the monitor's.
    auto monitorMutex = platform::TMutex::Create(build::IDEMonitorMutexName(::getpid()), true);
    request.SetFlag(records::TBuildFlag::UseIDEMonitor);
    MakeProxy();
    proxy->CompleteRequest(request);
    EXPECT_TRUE(request.HasFlag(records::TBuildFlag::UseIDEMonitor));
    EXPECT_EQ(request.UseIDEMonitorPID, ::getpid());
}

TEST_F(BuildProxyTest, HandshakeFailures) {
    EXPECT_EQ(ErrorOf("fail"),
              "Failed to start build.\r\nBuild System process failed to initialize "
              "(exit code 5).\r\n\r\nbad out\r\nbad err");
    WriteSettings(false);
    EXPECT_EQ(ErrorOf("fail"),
              "Failed to start build.\r\nBuild System process failed to initialize "
              "(exit code 5).\r\n\r\n\r\n");
}

TEST_F(BuildProxyTest, RestartsWhileTheBuildSystemAsksForIt) {
    TScopedEnvVar fake("RAVEL_FAKE_MODE", "restart:3");
    MakeProxy();
    ASSERT_EQ(proxy->StartBuild(request, ""), 0);
    ASSERT_EQ(seen.Reports.size(), 3u);
    EXPECT_EQ(seen.Reports[2], "VaridAdeziz failed to start with error code 217!\r\nStdOut: out "
                               "3\r\nStdErr: err 3");
    RunBuild();
    EXPECT_EQ(Starts(), 4);
    EXPECT_EQ(seen.Lines.size(), 2u);
}

TEST_F(BuildProxyTest, RestartLimit) {
    TScopedEnvVar fake("RAVEL_FAKE_MODE", "restart:-1");
    MakeProxy();
    proxy->SetRestartPause(0);
    try {
        proxy->StartBuild(request, "");
        ADD_FAILURE() << "started";
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(),
                     "Failed to start build.\r\nBuild System process restart tries limit reached");
    }
    EXPECT_EQ(Starts(), 31);
    EXPECT_EQ(seen.Reports.size(), 30u);
}

TEST_F(BuildProxyTest, DamagedEventIsReadFromTheMonitorFile) {
    TScopedEnvVar fake("RAVEL_FAKE_MODE", "corrupt");
    MakeProxy();
    ASSERT_EQ(proxy->StartBuild(request, ""), 0);
    RunBuild();
    EXPECT_EQ(seen.Lines, (std::vector<std::string>{"line one", "warning one"}));
    EXPECT_TRUE(seen.Success);
    EXPECT_EQ(seen.Completions, 2);
}

TEST_F(BuildProxyTest, BuildSystemThatVanishesFailsTheMonitor) {
    TScopedEnvVar fake("RAVEL_FAKE_MODE", "vanish");
    MakeProxy();
    ASSERT_EQ(proxy->StartBuild(request, ""), 0);
    RunBuild();
    EXPECT_EQ(seen.Lines, (std::vector<std::string>{
                              "message: Build Monitor has failed: Connection to Build System was "
                              "terminated unexpectedly."}));
    EXPECT_FALSE(seen.Success);
    EXPECT_EQ(seen.SystemErrors, 1);
    EXPECT_EQ(seen.ExitCode, 9);
    EXPECT_EQ(proxy->State(), TBuildProxy::TState::Stopped);
}

} // namespace
