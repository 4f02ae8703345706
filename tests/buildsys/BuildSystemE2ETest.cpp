// The real VaridAdeziz in a private installation, with the test in the console's part:
// it hands the request over, starts the process, follows the event stream and
// answers the process's objects.
#include "../e2e/MonitorSteps.h"
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
#include <map>
#include <random>
#include <set>
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
        request.SaveToFile(
            build::HandOffFilePath(build::PrepareHandOffFolder(BuildSystemTemp()), identity));
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
        adapter = std::make_unique<packets::TGrowingSharedStreamAsTStream>(*stream);
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
    // `giveUpMs` only guards against a hang.
    void ReadToCompletion(const std::function<void(const packets::TPacket&)>& onEvent = {},
                          std::uint32_t giveUpMs = GiveUpMs) {
        const std::uint64_t giveUp = platform::GetTickCount64() + giveUpMs;
        while (!Completion()) {
            if (adapter->Position() >= stream->Size()) {
                ASSERT_LT(platform::GetTickCount64(), giveUp) << "no completion";
                platform::SleepMs(5);
                continue;
            }
            // As the console reads: every available byte at once (the sections of a
            // build that has ended go away), then the events from memory.
            const std::int64_t at = adapter->Position();
            std::vector<std::uint8_t> available(static_cast<std::size_t>(stream->Size() - at));
            adapter->ReadBuffer(available.data(), available.size());
            packets::TByteReader bytes(available, at);
            while (bytes.Remaining() > 0 && !Completion()) {
                Events.push_back(packets::TPacket::CreateFromReader(bytes, &context));
                if (onEvent) {
                    onEvent(*Events.back());
                }
            }
            adapter->SetPosition(bytes.Position());
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
    std::unique_ptr<packets::TGrowingSharedStreamAsTStream> adapter;
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
         "Build class \"xml\" cannot be built on this system: the request names no job "
         "document."},
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
    // The build waits at its end until the test has read its output: the sections of
    // a build that has ended go away with it.
    const std::string gate = Temp() + "/gate-" + std::to_string(::getpid());
    Request(request, "head -c 3000000 /dev/zero | tr '\\0' x | fold -w 100; echo; "
                     "while [ ! -e '" +
                         gate +
                         "' ]; do sleep 0.01; done; "
                         "echo 'x.c:1:1: error: e' >&2; exit 4");
    request.MonitorFilename = Temp() + "/mon copy/build.mv_mon";
    TBuildRun run(request);
    std::size_t lines = 0;
    run.ReadToCompletion([&](const packets::TPacket& event) {
        if (const auto* output = dynamic_cast<const records::TMonitorEventOutputPacket*>(&event)) {
            lines += SplitLines(output->Text).size();
            if (lines >= 30000) {
                std::ofstream{gate};
            }
        }
    });
    fs::remove(gate);
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
    Request(request, "true")
        .SaveToFile(build::HandOffFilePath(build::PrepareHandOffFolder(Temp()), identity));
    result = e2e::RunProgram(VARIDADEZIZ_BINARY, {"/id=" + identity});
    EXPECT_EQ(result.ExitCode, 1);
    EXPECT_NE(result.Err.find(build::StartEventName(identity)), std::string::npos) << result.Err;
}

// Builds at task level: a launcher stand-in in the agent folder turns the tasks on,
// and the build's command runs fake launchers that ask the endpoint for rows.
class TaskBuild : public BuildSystem {
protected:
    void SetUp() override {
        fs::copy_file(FAKE_TASK_CLIENT, Folder() + "/morvek-task",
                      fs::copy_options::overwrite_existing);
        fs::create_directories(Folder() + "/resources");
        fs::copy_file(DEFAULT_JOB_PROFILE, Folder() + "/resources/DefaultJobProfile.xml",
                      fs::copy_options::overwrite_existing);
    }
    void TearDown() override {
        fs::remove(Folder() + "/morvek-task");
        fs::remove(Folder() + "/libMorvekHook.so");
        fs::remove_all(Folder() + "/masq");
        fs::remove_all(Folder() + "/resources");
        BuildSystem::TearDown();
    }
    // The real launcher, hook and masquerade folder in place of the stand-in.
    static void InstallLauncher() {
        fs::copy_file(LAUNCHER_BINARY, Folder() + "/morvek-task",
                      fs::copy_options::overwrite_existing);
        fs::copy_file(HOOK_LIBRARY, Folder() + "/libMorvekHook.so",
                      fs::copy_options::overwrite_existing);
        fs::create_directories(Folder() + "/masq");
        for (const char* tool : {"cc", "gcc", "c++", "g++"}) {
            fs::create_symlink("../morvek-task", Folder() + "/masq/" + tool);
        }
    }
    // A fresh copy of an example project.
    static std::string CopyExample(const std::string& name) {
        const std::string copy = Temp() + "/" + name + "-" + std::to_string(::getpid());
        fs::remove_all(copy);
        fs::copy(std::string(EXAMPLES_DIR) + "/" + name, copy, fs::copy_options::recursive);
        return copy;
    }
    // The events of a monitor file, read back.
    static e2e::TEvents FileEvents(const std::string& file) { return e2e::MonitorFileEvents(file); }
    // A command running `tasks` fake launchers, `parallel` at a time; the ones in
    // `failing` fail.
    static std::string TaskCommand(int tasks, int parallel, const std::set<int>& failing) {
        const std::string list = Temp() + "/tasks-" + std::to_string(::getpid());
        std::ofstream out(list);
        for (int i = 0; i < tasks; ++i) {
            out << "t" << i << ".c " << (failing.count(i) ? 1 : 0) << "\n";
        }
        return "xargs -P " + std::to_string(parallel) + " -L 1 " + FAKE_TASK_CLIENT + " < '" +
               list + "'";
    }

    using TStepCheck = e2e::TStepCheck;
    static TStepCheck CheckSteps(const e2e::TEvents& events) { return e2e::CheckSteps(events); }
    template <typename T>
    static const T* Last(const std::vector<std::unique_ptr<packets::TPacket>>& events) {
        const T* found = nullptr;
        for (const auto& event : events) {
            if (const auto* t = As<T>(event)) {
                found = t;
            }
        }
        return found;
    }
    template <typename T>
    static int CountOf(const std::vector<std::unique_ptr<packets::TPacket>>& events) {
        int n = 0;
        for (const auto& event : events) {
            n += As<T>(event) ? 1 : 0;
        }
        return n;
    }
};

TEST_F(TaskBuild, ManyTasksSomeFailingEndWithTheRightCounts) {
    constexpr int Tasks = 2000;
    std::set<int> failing;
    std::mt19937 random(1234);
    while (failing.size() < 100) {
        failing.insert(static_cast<int>(random() % Tasks));
    }
    records::TBuildCommandPacket request;
    Request(request, TaskCommand(Tasks, 6, failing));
    request.MonitorFilename = Temp() + "/tasks.mv_mon";
    TBuildRun run(request);
    run.ReadToCompletion({}, 600000); // thousands of processes on a busy machine
    EXPECT_EQ(run.Finish(), 123);     // xargs: some command failed
    const auto events = FileEvents(request.MonitorFilename);
    const TStepCheck steps = CheckSteps(events);
    EXPECT_EQ(steps.Begins, Tasks);
    EXPECT_EQ(steps.Ends, Tasks);
    EXPECT_EQ(steps.Failed, 0);
    EXPECT_EQ(steps.NonZeroExits, 100);
    const auto* count = Last<records::TMonitorEventCountPacket>(events);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->Built, Tasks - 100);
    EXPECT_EQ(count->Errors, 100);
    const auto* done = Last<records::TMonitorEventCompletePacket>(events);
    ASSERT_NE(done, nullptr);
    EXPECT_FALSE(done->Success);
    EXPECT_EQ(done->ExitCode, 123);
    EXPECT_EQ(done->ErrorCount, 100); // the error lines of the output
    EXPECT_EQ(CountOf<records::TMonitorEventProjectListPacket>(events), 1);
    EXPECT_GE(CountOf<records::TMonitorEventAddGraphRowPacket>(events), 3);
    fs::remove(request.MonitorFilename);
}

TEST_F(TaskBuild, StopOnErrorsStopsAtTheFirstFailure) {
    records::TBuildCommandPacket request;
    Request(request, TaskCommand(300, 2, {10}));
    request.SetFlag(records::TBuildFlag::StopOnErrors);
    request.MonitorFilename = Temp() + "/stop.mv_mon";
    TBuildRun run(request);
    run.ReadToCompletion();
    EXPECT_NE(run.Finish(), 0);
    const auto events = FileEvents(request.MonitorFilename);
    const TStepCheck steps = CheckSteps(events);
    // Two launchers run at once, so the failing task may begin before its neighbour.
    EXPECT_EQ(steps.NonZeroExits, 1);
    EXPECT_GE(steps.Begins, 1);
    EXPECT_LT(steps.Begins, 300);
    const auto* done = Last<records::TMonitorEventCompletePacket>(events);
    ASSERT_NE(done, nullptr);
    EXPECT_FALSE(done->Success);
    EXPECT_NE(done->ExitCode, 0);
    fs::remove(request.MonitorFilename);
}

TEST_F(TaskBuild, TaskLinesOfShowOptionsAndSuppressedData) {
    records::TBuildCommandPacket request;
    Request(request, TaskCommand(3, 1, {}));
    request.SetFlag(records::TBuildFlag::ShowCmd);
    request.SetFlag(records::TBuildFlag::ShowAgent);
    request.SetFlag(records::TBuildFlag::ShowTime);
    TBuildRun run(request);
    run.ReadToCompletion();
    EXPECT_EQ(run.Finish(), 0);
    std::map<std::int32_t, std::string> captions;
    for (const auto& event : run.Events) {
        if (const auto* begin = As<records::TMonitorEventBeginStepPacket>(event)) {
            captions[begin->TaskID] = begin->Name;
        }
    }
    ASSERT_EQ(captions.size(), 3u) << ::testing::PrintToString(run.Lines(true));
    int commandLines = 0, endLines = 0;
    for (const auto& event : run.Events) {
        const auto* output = As<records::TMonitorEventOutputPacket>(event);
        if (!output || output->TaskID == 0) {
            continue;
        }
        ASSERT_TRUE(captions.count(output->TaskID));
        const std::string& caption = captions[output->TaskID];
        if (output->Text == "cc -c " + caption) {
            ++commandLines;
        } else {
            EXPECT_TRUE(output->Text.starts_with(caption + " (Agent '")) << output->Text;
            EXPECT_TRUE(output->Text.ends_with(" s)")) << output->Text;
            ++endLines;
        }
    }
    EXPECT_EQ(commandLines, 3);
    EXPECT_EQ(endLines, 3);

    records::TBuildCommandPacket limited;
    Request(limited, TaskCommand(3, 1, {}));
    limited.SetFlag(records::TBuildFlag::MonitorSuppressBars);
    limited.SetFlag(records::TBuildFlag::MonitorSuppressGraphs);
    TBuildRun quiet(limited);
    quiet.ReadToCompletion();
    EXPECT_EQ(quiet.Finish(), 0);
    EXPECT_EQ(CountOf<records::TMonitorEventBeginStepPacket>(quiet.Events), 0);
    EXPECT_EQ(CountOf<records::TMonitorEventEndStepPacket>(quiet.Events), 0);
    EXPECT_EQ(CountOf<records::TMonitorEventAddGraphRowPacket>(quiet.Events), 0);
    EXPECT_EQ(Last<records::TMonitorEventCountPacket>(quiet.Events)->Built, 3);
}

TEST_F(TaskBuild, CommandGetsRowsAndInterception) {
    struct Case {
        std::int32_t maxCpus;
        bool keepJobs;
    };
    for (const Case c : {Case{0, false}, Case{1, false}, Case{0, true}}) {
        records::TBuildCommandPacket request;
        Request(request, "echo \"flags=$MAKEFLAGS\"; echo \"endpoint=$MORVEK_TASK_ENDPOINT\"; "
                         "echo \"launcher=$MORVEK_TASK_LAUNCHER\"");
        request.OverrideMaxHelpersPerJob = c.maxCpus;
        request.KeepNumOfJobs = c.keepJobs;
        TBuildRun run(request);
        run.ReadToCompletion();
        EXPECT_EQ(run.Finish(), 0);
        const int rows = CountOf<records::TMonitorEventEmployPacket>(run.Events);
        if (c.maxCpus > 0) {
            EXPECT_EQ(rows, c.maxCpus);
        }
        EXPECT_GE(rows, 1);
        const std::vector<std::string> lines = run.Lines(false);
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], c.keepJobs ? "flags=" : "flags=-j" + std::to_string(rows));
        EXPECT_TRUE(lines[1].ends_with(".sock")) << lines[1];
        EXPECT_LE(lines[1].size(), sizeof("endpoint=") - 1 + 107);
        EXPECT_EQ(lines[2], "launcher=" + Folder() + "/morvek-task");
        // The endpoint is gone with its build.
        EXPECT_FALSE(fs::exists(lines[1].substr(9)));
    }
}

// make through the real launcher: every compile and link is one task, and the build
// ends as it does without the build system.
TEST_F(TaskBuild, ExamplesWithMakeThroughTheLauncher) {
    InstallLauncher();
    struct Case {
        const char* project;
        int tasks; // compile and link calls
    };
    for (const Case c : {Case{"hello", 3}, Case{"broken", -1}}) {
        SCOPED_TRACE(c.project);
        const std::string direct = CopyExample(c.project);
        const e2e::TProcessResult plain =
            e2e::RunProgram("/bin/sh", {"-c", "make -C '" + direct + "' 2>&1"});
        const std::string dir = CopyExample(c.project);
        records::TBuildCommandPacket request;
        Request(request, "make -C '" + dir + "'");
        request.MonitorFilename = Temp() + "/example.mv_mon";
        TBuildRun run(request);
        run.ReadToCompletion({}, 120000);
        const int exitCode = run.Finish();
        EXPECT_EQ(exitCode == 0, plain.ExitCode == 0) << plain.Out;
        const auto events = FileEvents(request.MonitorFilename);
        const TStepCheck steps = CheckSteps(events);
        if (c.tasks > 0) {
            EXPECT_EQ(exitCode, 0) << ::testing::PrintToString(run.Lines(true));
            EXPECT_EQ(steps.Begins, c.tasks);
            EXPECT_EQ(steps.Ends, c.tasks);
            EXPECT_EQ(steps.NonZeroExits, 0);
            EXPECT_EQ(e2e::RunProgram(dir + "/hello", {}).Out,
                      e2e::RunProgram(direct + "/hello", {}).Out);
            for (const char* object : {"hello.o", "greeting.o"}) {
                EXPECT_EQ(ReadFile(dir + "/" + object), ReadFile(direct + "/" + object)) << object;
            }
        } else {
            EXPECT_NE(exitCode, 0);
            EXPECT_GE(steps.NonZeroExits, 1);
            EXPECT_EQ(steps.Begins, steps.Ends);
            const auto* done = Last<records::TMonitorEventCompletePacket>(events);
            ASSERT_NE(done, nullptr);
            EXPECT_GE(done->ErrorCount, 1);
        }
        fs::remove_all(dir);
        fs::remove_all(direct);
        fs::remove(request.MonitorFilename);
    }
}

// A small C project: a static library of two files and a program that uses it.
void WriteCProject(const std::string& dir) {
    fs::create_directories(dir);
    const std::pair<const char*, const char*> files[] = {
        {"CMakeLists.txt", "cmake_minimum_required(VERSION 3.16)\nproject(small C)\n"
                           "add_library(parts STATIC one.c two.c)\n"
                           "add_executable(small main.c)\ntarget_link_libraries(small parts)\n"},
        {"one.c", "int one(void) { return 1; }\n"},
        {"two.c", "int two(void) { return 2; }\n"},
        {"main.c", "#include <stdio.h>\nint one(void);\nint two(void);\n"
                   "int main(void) { printf(\"sum %d\\n\", one() + two()); return 0; }\n"},
    };
    for (const auto& [name, text] : files) {
        std::ofstream(dir + "/" + name) << text;
    }
}

bool HaveTools(std::initializer_list<const char*> tools) {
    for (const char* tool : tools) {
        if (e2e::RunProgram("/bin/sh", {"-c", std::string("command -v ") + tool}).ExitCode != 0) {
            return false;
        }
    }
    return true;
}

// A CMake project configured outside the build system and built by ninja inside it:
// the absolute compiler paths are caught by the exec hook, one task per compile and
// link, and the objects are those of a plain build.
TEST_F(TaskBuild, CMakeConfiguredOutsideBuiltWithNinja) {
    if (!HaveTools({"cmake", "ninja"})) {
        GTEST_SKIP() << "cmake or ninja is not installed (scripts/setup.sh installs both)";
    }
    InstallLauncher();
    const std::string dir = Temp() + "/cmake-outside-" + std::to_string(::getpid());
    WriteCProject(dir);
    const e2e::TProcessResult configure =
        e2e::RunProgram("/bin/sh", {"-c", "cd '" + dir + "' && cmake -S . -B b -G Ninja 2>&1"});
    ASSERT_EQ(configure.ExitCode, 0) << configure.Out;
    const e2e::TProcessResult plain =
        e2e::RunProgram("/bin/sh", {"-c", "ninja -C '" + dir + "/b' 2>&1"});
    ASSERT_EQ(plain.ExitCode, 0) << plain.Out;
    const char* outputs[] = {"CMakeFiles/parts.dir/one.c.o", "CMakeFiles/parts.dir/two.c.o",
                             "CMakeFiles/small.dir/main.c.o", "small"};
    std::map<std::string, std::string> before;
    for (const char* output : outputs) {
        before[output] = ReadFile(dir + "/b/" + output);
        ASSERT_FALSE(before[output].empty()) << output;
    }
    const std::string plainRun = e2e::RunProgram(dir + "/b/small", {}).Out;
    ASSERT_EQ(e2e::RunProgram("/bin/sh", {"-c", "ninja -C '" + dir + "/b' -t clean"}).ExitCode, 0);

    records::TBuildCommandPacket request;
    Request(request, "ninja -C '" + dir + "/b'");
    request.MonitorFilename = Temp() + "/cmake-outside.mv_mon";
    TBuildRun run(request);
    run.ReadToCompletion({}, 120000);
    EXPECT_EQ(run.Finish(), 0) << ::testing::PrintToString(run.Lines(true));
    const TStepCheck steps = CheckSteps(FileEvents(request.MonitorFilename));
    // Three compiles, the archive (ar and ranlib, both profiled tools) and the link.
    EXPECT_EQ(steps.Begins, 6);
    EXPECT_EQ(steps.Ends, 6);
    EXPECT_EQ(steps.NonZeroExits, 0);
    for (const char* output : outputs) {
        EXPECT_EQ(ReadFile(dir + "/b/" + output), before[output]) << output;
    }
    EXPECT_EQ(e2e::RunProgram(dir + "/b/small", {}).Out, plainRun);
    EXPECT_EQ(plainRun, "sum 3\n");
    fs::remove_all(dir);
    fs::remove(request.MonitorFilename);
}

// A CMake project configured inside the build system keeps no path of that build: the
// cache may name the stable masquerade folder, whose launcher runs the real tool outside
// a build, and the project builds later without the build system.
TEST_F(TaskBuild, CMakeConfiguredInsideBuildsWithout) {
    if (!HaveTools({"cmake", "ninja"})) {
        GTEST_SKIP() << "cmake or ninja is not installed (scripts/setup.sh installs both)";
    }
    InstallLauncher();
    const std::string dir = (root / ("cmake-inside-" + std::to_string(::getpid()))).string();
    WriteCProject(dir);
    records::TBuildCommandPacket request;
    Request(request, "cd '" + dir + "' && cmake -S . -B b -G Ninja");
    TBuildRun run(request);
    run.ReadToCompletion({}, 120000);
    ASSERT_EQ(run.Finish(), 0) << ::testing::PrintToString(run.Lines(true));
    const std::string cache = ReadFile(dir + "/b/CMakeCache.txt");
    ASSERT_FALSE(cache.empty());
    // Every path into the agent folder is one of the stable masquerade folder.
    for (std::size_t at = cache.find(Folder()); at != std::string::npos;
         at = cache.find(Folder(), at + 1)) {
        EXPECT_EQ(cache.compare(at, Folder().size() + 6, Folder() + "/masq/"), 0)
            << cache.substr(at, 120);
    }
    EXPECT_EQ(cache.find(".sock"), std::string::npos);
    EXPECT_EQ(cache.find("MORVEK_TASK"), std::string::npos);
    // CMake found the compiler in the masquerade folder first on PATH.
    EXPECT_NE(cache.find("_COMPILER:FILEPATH=" + Folder() + "/masq/"), std::string::npos);
    // No build system runs now: the recorded launcher runs the real tools.
    const e2e::TProcessResult later =
        e2e::RunProgram("/bin/sh", {"-c", "ninja -C '" + dir + "/b' 2>&1"});
    EXPECT_EQ(later.ExitCode, 0) << later.Out;
    EXPECT_EQ(e2e::RunProgram(dir + "/b/small", {}).Out, "sum 3\n");
    fs::remove_all(dir);
}

// A hand-written configure script probes the compiler the way autotools does, then
// make builds what it wrote; inside the build system both end as they do outside.
TEST_F(TaskBuild, ConfigureScriptAndMake) {
    InstallLauncher();
    const std::string configure =
        "#!/bin/sh\n"
        "CC=${CC:-cc}\n"
        "$CC --version >/dev/null || { echo 'no compiler' >&2; exit 1; }\n"
        "echo '#include <stdio.h>' | $CC -E - >/dev/null || exit 1\n"
        "printf 'int main(void) { return 0; }\\n' > conftest.c\n"
        "$CC -o conftest conftest.c && ./conftest || { echo 'cannot link' >&2; exit 1; }\n"
        "rm -f conftest conftest.c\n"
        "printf 'small: main.o one.o two.o\\n\\t%s -o small main.o one.o two.o\\n"
        "%%.o: %%.c\\n\\t%s -c -o $@ $<\\n' \"$CC\" \"$CC\" > Makefile\n";
    std::map<std::string, std::string> built[2];
    std::string runs[2];
    for (int inside = 0; inside < 2; ++inside) {
        SCOPED_TRACE(inside ? "inside" : "outside");
        const std::string dir = Temp() + "/configure-" + std::to_string(::getpid());
        WriteCProject(dir);
        std::ofstream(dir + "/configure") << configure;
        fs::permissions(dir + "/configure", fs::perms::owner_all);
        const std::string command = "cd '" + dir + "' && ./configure && make";
        if (inside) {
            records::TBuildCommandPacket request;
            Request(request, command);
            request.MonitorFilename = Temp() + "/configure.mv_mon";
            TBuildRun run(request);
            run.ReadToCompletion({}, 120000);
            EXPECT_EQ(run.Finish(), 0) << ::testing::PrintToString(run.Lines(true));
            const TStepCheck steps = CheckSteps(FileEvents(request.MonitorFilename));
            // The conftest compile and link, three compiles and the link; the version
            // and preprocessor probes are no tasks.
            EXPECT_EQ(steps.Begins, 5);
            EXPECT_EQ(steps.Begins, steps.Ends);
            EXPECT_EQ(steps.NonZeroExits, 0);
            fs::remove(request.MonitorFilename);
        } else {
            const e2e::TProcessResult plain = e2e::RunProgram("/bin/sh", {"-c", command + " 2>&1"});
            ASSERT_EQ(plain.ExitCode, 0) << plain.Out;
        }
        for (const char* output : {"main.o", "one.o", "two.o", "small", "Makefile"}) {
            built[inside][output] = ReadFile(dir + "/" + output);
            EXPECT_FALSE(built[inside][output].empty()) << output;
        }
        runs[inside] = e2e::RunProgram(dir + "/small", {}).Out;
        fs::remove_all(dir);
    }
    EXPECT_EQ(built[1], built[0]);
    EXPECT_EQ(runs[1], runs[0]);
    EXPECT_EQ(runs[0], "sum 3\n");
}

} // namespace
