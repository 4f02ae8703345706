// The real VaridAdeziz in a private installation, with the test in the console's part:
// it hands the request over, starts the process, follows the event stream and
// answers the process's objects.
#include "../e2e/ProcessRunner.h"
#include "../platform/TestProcess.h"
#include "monitor/MonitorFile.h"
#include "packets/GrowingSharedStream.h"
#include "packets/PacketStream.h"
#include "packets/SpinLock.h"
#include "platform/Clock.h"
#include "platform/SharedObjects.h"
#include "proxy/BuildObjects.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t GiveUpMs = 30000;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find("\r\n", start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return lines;
        }
        start = end + 2;
    }
}

template <typename T> const T* As(const std::unique_ptr<packets::TPacket>& packet) {
    return dynamic_cast<const T*>(packet.get());
}

// A private installation: agent folder, registry and shared-object namespace.
class BuildSystem : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        records::RegisterAllPacketClasses();
        root = fs::temp_directory_path() / ("ravel-buildsys-e2e-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "etc");
        fs::create_directories(root / "agent" / "Temp");
        objects = "/dev/shm/ravel-buildsys-e2e-" + std::to_string(::getpid());
        std::ofstream(root / "etc" / "machine.reg", std::ios::binary)
            << "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]\r\n"
               "\"Folder\"=\""
            << (root / "agent").string() << "\"\r\n\"TempDir\"=\""
            << (root / "agent" / "Temp").string() << "\"\r\n";
        ::setenv("TAVRIX_OBJECTS_DIR", objects.c_str(), 1);
        ::setenv("TAVRIX_REGISTRY_DIR", (root / "etc").c_str(), 1);
    }
    static void TearDownTestSuite() {
        fs::remove_all(root);
        fs::remove_all(objects);
    }
    void TearDown() override {
        // Everything of a build goes with it: the test's own objects too.
        EXPECT_TRUE(LeftoverObjects(objects).empty())
            << ::testing::PrintToString(LeftoverObjects(objects));
    }

    static std::string Folder() { return (root / "agent").string(); }
    static std::string Temp() { return (root / "agent" / "Temp").string(); }

    static records::TBuildCommandPacket& Request(records::TBuildCommandPacket& request,
                                                 const std::string& command) {
        request.BuildClass = "make";
        request.Command = command;
        request.Caption = "Test build";
        request.CurDir = Temp();
        request.EnvBlock = std::string("PATH=/usr/bin:/bin\0\0", 21);
        request.SetFlag(records::TBuildFlag::Attach);
        return request;
    }

    static inline fs::path root;
    static inline std::string objects;
};

// One build, with the test as its console.
class TBuildRun {
public:
    explicit TBuildRun(records::TBuildCommandPacket& request, bool withStopEvent = false)
        : id(core::NewGuid()), identity(id.ToString()) {
        request.BuildID = id;
        request.SaveToFile(build::HandOffFilePath(BuildSystemTemp(), identity));
        if (withStopEvent) {
            stopEvent = platform::TEvent::Create(build::BuildStopEventName(identity), true, false);
        }
        start = platform::TEvent::Create(build::StartEventName(identity), false, false);
        Spawn();
        const std::uint64_t giveUp = platform::GetTickCount64() + GiveUpMs;
        while (!start->Wait(20)) {
            if (Ended() || platform::GetTickCount64() > giveUp) {
                ADD_FAILURE() << "no start: " << Stderr();
                return;
            }
        }
        owner = platform::TMutex::Create(build::OwnerTerminationMutexName(identity), false);
        EXPECT_EQ(owner->Wait(GiveUpMs), platform::TMutexWaitResult::Acquired);
        stream = std::make_unique<packets::TGrowingSharedStream>(id, packets::DefaultSectionSize,
                                                                 packets::TProgressLogger{}, false,
                                                                 packets::SessionOwn);
        // As the console does: the events stay readable after the build system ended.
        stream->Prefetch(0);
        adapter = std::make_unique<packets::TGrowingSharedStreamAdapter>(*stream);
        auto attached = platform::TEvent::Open(build::OwnerAttachedEventName(identity));
        EXPECT_NE(attached, nullptr);
        if (attached) {
            attached->Set();
        }
    }
    ~TBuildRun() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            WaitChild(pid);
        }
        ::unlink(outputFile.c_str());
    }

    // Reads events up to the completion; `onEvent` sees each as it comes.
    void ReadToCompletion(const std::function<void(const packets::TPacket&)>& onEvent = {}) {
        const std::uint64_t giveUp = platform::GetTickCount64() + GiveUpMs;
        while (!Completion()) {
            if (adapter->Position() >= stream->Size()) {
                ASSERT_LT(platform::GetTickCount64(), giveUp) << "no completion";
                platform::SleepMs(5);
                continue;
            }
            Events.push_back(packets::TPacket::CreateFromStream(*adapter, &context));
            if (onEvent) {
                onEvent(*Events.back());
            }
        }
    }
    const records::TMonitorEventCompletePacket* Completion() const {
        return Events.empty() ? nullptr : As<records::TMonitorEventCompletePacket>(Events.back());
    }
    // The raw bytes of the stream so far.
    std::string StreamBytes() {
        std::string bytes(static_cast<std::size_t>(stream->Size()), '\0');
        stream->Seek(0, packets::TSeekOrigin::soBeginning);
        EXPECT_EQ(stream->Read(bytes.data(), bytes.size()), bytes.size());
        return bytes;
    }
    // The console stops following: the process may end.
    int Finish() {
        owner->Release();
        const int code = WaitChild(pid);
        pid = -1;
        stream.reset();
        adapter.reset();
        owner.reset();
        start.reset();
        stopEvent.reset();
        return code;
    }
    void Stop() { stopEvent->Set(); }
    void ReleaseOwner() { owner->Release(); }

    // Output lines of all output events of one stream, in order.
    std::vector<std::string> Lines(bool errors) const {
        std::vector<std::string> lines;
        for (const auto& event : Events) {
            if (const auto* output = As<records::TMonitorEventOutputPacket>(event)) {
                const std::string& text = errors ? output->ErrText : output->Text;
                if (!text.empty()) {
                    for (std::string& line : SplitLines(text)) {
                        lines.push_back(std::move(line));
                    }
                }
            }
        }
        return lines;
    }
    std::string Stderr() const { return ReadFile(outputFile); }
    bool Ended() {
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) == pid ? (pid = -1, true) : false;
    }

    core::TGUID id;
    std::string identity;
    std::vector<std::unique_ptr<packets::TPacket>> Events;

private:
    static std::string BuildSystemTemp() {
        return (fs::temp_directory_path() / ("ravel-buildsys-e2e-" + std::to_string(::getpid())) /
                "agent" / "Temp")
            .string();
    }
    void Spawn() {
        outputFile = BuildSystemTemp() + "/" + identity + ".out";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::string program = VARIDADEZIZ_BINARY;
        std::string argument = "/id=" + identity;
        char* argv[] = {program.data(), argument.data(), nullptr};
        EXPECT_EQ(::posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }

    pid_t pid = -1;
    std::string outputFile;
    std::unique_ptr<platform::TEvent> start;
    std::unique_ptr<platform::TEvent> stopEvent;
    std::unique_ptr<platform::TMutex> owner;
    std::unique_ptr<packets::TGrowingSharedStream> stream;
    std::unique_ptr<packets::TGrowingSharedStreamAdapter> adapter;
    packets::TPacketLoadContext context;
};

TEST_F(BuildSystem, CommandOutputArrivesSplitAndInOrder) {
    records::TBuildCommandPacket request;
    Request(request, "i=0; while [ $i -lt 2000 ]; do echo out $i; echo err $i >&2; i=$((i+1)); "
                     "done; printf 'no line end'; exit 0");
    TBuildRun run(request);
    run.ReadToCompletion();

    ASSERT_GE(run.Events.size(), 3u);
    const auto* started = As<records::TMonitorEventStartedPacket>(run.Events.front());
    ASSERT_NE(started, nullptr);
    EXPECT_EQ(started->ms, 0);
    EXPECT_EQ(started->ID, run.id);
    EXPECT_EQ(started->Caption, "Test build");
    EXPECT_TRUE(started->BuildFlags.Contains(records::TBuildFlag::Attach));
    EXPECT_FALSE(started->ComputerName.empty());
    EXPECT_GT(started->StartTime, 40000.0);

    std::vector<std::string> out;
    std::vector<std::string> err;
    for (int i = 0; i < 2000; ++i) {
        out.push_back("out " + std::to_string(i));
        err.push_back("err " + std::to_string(i));
    }
    out.push_back("no line end");
    EXPECT_EQ(run.Lines(false), out);
    EXPECT_EQ(run.Lines(true), err);
    std::int32_t lastMs = 0;
    for (const auto& event : run.Events) {
        if (const auto* output = As<records::TMonitorEventOutputPacket>(event)) {
            EXPECT_TRUE(output->Text.empty() != output->ErrText.empty());
            EXPECT_GE(output->ms, lastMs);
            lastMs = output->ms;
        }
    }
    const auto* done = run.Completion();
    EXPECT_TRUE(done->Success);
    EXPECT_FALSE(done->Cancel);
    EXPECT_EQ(done->ExitCode, 0);
    EXPECT_EQ(done->Summary, records::BuildSummaryText(0, 0, 0, 0));
    EXPECT_EQ(run.Finish(), 0);
}

TEST_F(BuildSystem, OutputArrivesWhileTheCommandRuns) {
    // The command goes on only once the test has seen its first line.
    const std::string go = Temp() + "/go-" + std::to_string(::getpid());
    records::TBuildCommandPacket request;
    Request(request, "echo first; echo warming >&2; i=0; while [ ! -e '" + go +
                         "' ] && [ $i -lt 3000 ]; do sleep 0.01; i=$((i+1)); done; "
                         "[ -e '" +
                         go + "' ] && echo second");
    TBuildRun run(request);
    bool sawFirst = false;
    run.ReadToCompletion([&](const packets::TPacket& event) {
        const auto* output = dynamic_cast<const records::TMonitorEventOutputPacket*>(&event);
        if (output && output->Text == "first") {
            sawFirst = true;
            std::ofstream(go) << "go";
        }
    });
    EXPECT_TRUE(sawFirst);
    EXPECT_EQ(run.Lines(false), (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(run.Lines(true), (std::vector<std::string>{"warming"}));
    EXPECT_EQ(run.Finish(), 0);
    fs::remove(go);
}

TEST_F(BuildSystem, EnvironmentAndFolderOfTheRequest) {
    records::TBuildCommandPacket request;
    Request(request, "echo \"$FROM_BLOCK|$FORCED|$ADDED|${RAVEL_OWN:-none}\"; pwd");
    ::setenv("RAVEL_OWN", "leaked", 1);
    request.EnvBlock = std::string("FROM_BLOCK=b\0FORCED=old\0PATH=/usr/bin:/bin\0\0", 44);
    request.ForcedEnv.Add("FORCED=new");
    request.ForcedEnv.Add("ADDED=a");
    request.CurDir = "/usr";
    TBuildRun run(request);
    run.ReadToCompletion();
    ::unsetenv("RAVEL_OWN");
    EXPECT_EQ(run.Lines(false), (std::vector<std::string>{"b|new|a|none", "/usr"}));
    EXPECT_EQ(run.Finish(), 0);
}

TEST_F(BuildSystem, FailingCommandsCountDiagnosticsAndKeepTheirExitCode) {
    struct Case {
        const char* command;
        int exitCode;
        std::int32_t errors;
        std::int32_t warnings;
    };
    const Case cases[] = {
        {"printf 'x.c:1:1: error: boom\\n' >&2; exit 3", 3, 1, 0},
        {"printf 'x.c:1:1: warning: w\\nx.c:2:1: warning: v\\n'; printf 'ld: error: u\\n' >&2; "
         "exit 0",
         0, 1, 2},
        {"kill -9 $$", 128 + 9, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        records::TBuildCommandPacket request;
        Request(request, c.command);
        TBuildRun run(request);
        run.ReadToCompletion();
        std::int32_t errors = 0;
        std::int32_t warnings = 0;
        for (const auto& event : run.Events) {
            if (const auto* output = As<records::TMonitorEventOutputPacket>(event)) {
                errors += output->ErrorCount;
                warnings += output->WarningCount;
            }
        }
        EXPECT_EQ(errors, c.errors);
        EXPECT_EQ(warnings, c.warnings);
        const auto* done = run.Completion();
        EXPECT_EQ(done->ErrorCount, c.errors);
        EXPECT_EQ(done->WarningCount, c.warnings);
        EXPECT_EQ(done->ExitCode, c.exitCode);
        EXPECT_EQ(done->Success, c.exitCode == 0);
        EXPECT_EQ(done->Summary, records::BuildSummaryText(0, 0, c.errors, c.warnings));
        EXPECT_EQ(run.Finish(), c.exitCode);
    }
}

TEST_F(BuildSystem, RequestsItCannotRunFailWithABuildSystemError) {
    struct Case {
        const char* buildClass;
        const char* command;
        const char* curDir;
        const char* text;
    };
    const Case cases[] = {
        {"VC17", "", "/",
         "Build class \"VC17\" cannot be built on this system: Visual Studio "
         "builds need Windows."},
        {"xml", "", "/",
         "Build class \"xml\" cannot be built on this system: XML job files are "
         "not supported yet."},
        {"make", "", "/",
         "Build class \"make\" cannot be built on this system: the request "
         "holds no command to run."},
        {"make", "true", "/no/such/folder",
         "Failed to start the build command: the folder \"/no/such/folder\" does not exist."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buildClass);
        records::TBuildCommandPacket request;
        Request(request, c.command);
        request.BuildClass = c.buildClass;
        request.CurDir = c.curDir;
        TBuildRun run(request);
        run.ReadToCompletion();
        ASSERT_EQ(run.Events.size(), 4u);
        const auto* message = As<records::TMonitorEventMessagePacket>(run.Events[1]);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(message->Kind, 1);
        EXPECT_EQ(message->Message, "Build System error");
        EXPECT_EQ(message->Text, c.text);
        const auto* output = As<records::TMonitorEventOutputPacket>(run.Events[2]);
        ASSERT_NE(output, nullptr);
        EXPECT_EQ(output->ErrText, message->Text);
        EXPECT_EQ(output->Text, "");
        const auto* done = run.Completion();
        EXPECT_FALSE(done->Success);
        EXPECT_FALSE(done->Cancel);
        EXPECT_EQ(done->SystemErrorCount, 1);
        EXPECT_EQ(done->ExitCode, 1);
        EXPECT_EQ(done->Summary, records::BuildSummaryText(1, 0, 0, 0));
        EXPECT_EQ(run.Finish(), 1);
    }
}

TEST_F(BuildSystem, CancelEndsTheWholeJob) {
    for (const bool byStopEvent : {true, false}) {
        SCOPED_TRACE(byStopEvent ? "stop event" : "owner released");
        records::TBuildCommandPacket request;
        Request(request, "trap 'echo got TERM; exit 9' TERM; sleep 100 & sleep 100 & "
                         "echo pids $! $$; wait");
        TBuildRun run(request, byStopEvent);
        std::vector<pid_t> pids;
        run.ReadToCompletion([&](const packets::TPacket& event) {
            const auto* output = dynamic_cast<const records::TMonitorEventOutputPacket*>(&event);
            if (output && output->Text.starts_with("pids ")) {
                std::istringstream(output->Text.substr(5)) >> pids.emplace_back() >>
                    pids.emplace_back();
                byStopEvent ? run.Stop() : run.ReleaseOwner();
            }
        });
        ASSERT_EQ(pids.size(), 2u);
        const auto* done = run.Completion();
        EXPECT_TRUE(done->Cancel);
        EXPECT_FALSE(done->Success);
        EXPECT_EQ(done->ExitCode, 1);
        const std::vector<std::string> out = run.Lines(false);
        EXPECT_NE(std::find(out.begin(), out.end(), "got TERM"), out.end());
        const std::vector<std::string> err = run.Lines(true);
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err.back(), "Build was cancelled.");
        if (byStopEvent) {
            EXPECT_EQ(run.Finish(), 1);
        } else {
            // The owner has gone: the process ends without waiting.
            const std::uint64_t giveUp = platform::GetTickCount64() + GiveUpMs;
            while (!run.Ended() && platform::GetTickCount64() < giveUp) {
                platform::SleepMs(10);
            }
        }
        for (pid_t pid : pids) {
            EXPECT_TRUE(WaitProcessEnded(pid)) << pid;
        }
    }
}

TEST_F(BuildSystem, WhatTheCommandLeavesRunningEndsWithIt) {
    // One holds the output pipes, one does not.
    records::TBuildCommandPacket request;
    Request(request, "sleep 100 & a=$!; sleep 100 >/dev/null 2>&1 & echo $a $!");
    TBuildRun run(request);
    run.ReadToCompletion();
    EXPECT_EQ(run.Completion()->ExitCode, 0);
    const std::vector<std::string> out = run.Lines(false);
    ASSERT_EQ(out.size(), 1u);
    pid_t first = 0;
    pid_t second = 0;
    std::istringstream(out[0]) >> first >> second;
    EXPECT_TRUE(WaitProcessEnded(first));
    EXPECT_TRUE(WaitProcessEnded(second));
    EXPECT_EQ(run.Finish(), 0);
}

TEST_F(BuildSystem, MonitorFilesHoldTheStreamBytes) {
    records::TBuildCommandPacket request;
    // More than one section of the shared stream, several blocks of the files.
    Request(request, "head -c 3000000 /dev/zero | tr '\\0' x | fold -w 100; "
                     "echo 'x.c:1:1: error: e' >&2; exit 4");
    request.MonitorFilename = Temp() + "/mon copy/build.mv_mon";
    TBuildRun run(request);
    run.ReadToCompletion();
    EXPECT_EQ(run.Lines(false), std::vector<std::string>(30000, std::string(100, 'x')));
    const std::string shared = run.StreamBytes();
    EXPECT_GT(shared.size(), packets::DefaultSectionSize);
    const double startTime = As<records::TMonitorEventStartedPacket>(run.Events[0])->StartTime;
    EXPECT_EQ(run.Finish(), 4);

    const std::string history =
        monitor::HistoryFilePath(Folder(), monitor::StartDayText(startTime), run.id);
    for (const std::string& file : {history, request.MonitorFilename}) {
        SCOPED_TRACE(file);
        records::TMetaBuildPacket meta;
        const auto events = monitor::OpenMonitorFileForEvents(file, meta);
        ASSERT_NE(events, nullptr);
        std::string bytes(static_cast<std::size_t>(events->Size()), '\0');
        events->ReadBuffer(bytes.data(), bytes.size());
        EXPECT_TRUE(bytes == shared);
        EXPECT_EQ(meta.ID, run.id);
        EXPECT_EQ(meta.Caption, "Test build");
        EXPECT_EQ(meta.StartTime, startTime);
        EXPECT_EQ(meta.Command.Command, request.Command);
        EXPECT_FALSE(meta.Incomplete);
        EXPECT_EQ(meta.ExitCode, 4);
        EXPECT_EQ(meta.ErrorCount, 1);
        EXPECT_FALSE(meta.Cancelled);
        EXPECT_GT(meta.Duration, 0.0);
    }
}

TEST_F(BuildSystem, FailuresBeforeTheStartAreReportedOnStandardError) {
    // Bad arguments.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{},
          {"/id=x"},
          {"/id={0A1B2C3D-0000-4000-8000-00000000ABCD}", "/x"}}) {
        const e2e::TProcessResult result = e2e::RunProgram(VARIDADEZIZ_BINARY, args);
        EXPECT_EQ(result.ExitCode, 2);
        EXPECT_FALSE(result.Err.empty());
    }
    // No request for the identity, then a request but no console waiting for the start.
    const std::string identity = core::NewGuid().ToString();
    e2e::TProcessResult result = e2e::RunProgram(VARIDADEZIZ_BINARY, {"/id=" + identity});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_NE(result.Err.find(identity + ".mv_bld_cmd"), std::string::npos) << result.Err;
    records::TBuildCommandPacket request;
    Request(request, "true").SaveToFile(build::HandOffFilePath(Temp(), identity));
    result = e2e::RunProgram(VARIDADEZIZ_BINARY, {"/id=" + identity});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_NE(result.Err.find(build::StartEventName(identity)), std::string::npos) << result.Err;
}

} // namespace
