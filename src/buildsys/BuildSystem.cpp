#include "buildsys/BuildSystem.h"

#include "buildsys/BuildCacheSetup.h"
#include "buildsys/BuildPlan.h"
#include "buildsys/EventWriter.h"
#include "buildsys/HelperRows.h"
#include "buildsys/JobDocumentBuild.h"
#include "buildsys/JobRunner.h"
#include "buildsys/OutputEvent.h"
#include "buildsys/StopSignals.h"
#include "buildsys/TaskBuild.h"
#include "comm/AgentConnection.h"
#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "core/StringListEx.h"
#include "core/TaskProtocol.h"
#include "monitor/MonitorFileWriter.h"
#include "packets/GrowingSharedStream.h"
#include "packets/SpinLock.h"
#include "packets/TextUtil.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SharedObjects.h"
#include "proxy/AgentSettings.h"
#include "proxy/BuildObjects.h"
#include "records/JobProfile.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>

namespace buildsys {

namespace {

constexpr std::uint32_t AttachTimeoutMs = 60000;
constexpr std::uint32_t StopCheckMs = 100;
// From the termination request to the kill of the job.
constexpr std::uint32_t GracefulStopMs = 5000;
// How long output is still read after the job's main process has ended.
constexpr std::uint32_t DrainMs = 5000;
// How long the build's end waits for the agent's acknowledgement.
constexpr std::uint32_t AgentEndReplyMs = 5000;
// More than any request with its environment block.
constexpr std::size_t HandOffFileLimit = 64u << 20;
// Kind 2 belongs to the console's own failures of following a build.
constexpr std::int32_t MessageKindError = 1;
constexpr std::int32_t MessageKindWarning = 0;

std::uint64_t Tick() {
    return platform::GetTickCount64();
}

std::string UserName() {
    for (const char* name : {"USER", "LOGNAME"}) {
        if (std::optional<std::string> value = platform::GetEnvVar(name)) {
            return *value;
        }
    }
    return {};
}

class TBuild {
public:
    explicit TBuild(const TBuildSystemArguments& arguments)
        : arguments(arguments), stop(arguments.Identity) {}
    int Run();

private:
    void Prepare();
    void LoadHandOffFile(const std::string& identity);
    int Build();
    bool WaitForAttach();
    int RunJob(const TBuildPlan& plan);
    int RunJobDocument(const TBuildPlan& plan);
    // The engines of a build's tasks; a make build adds the job profile's tools and rules.
    TTaskBuildSetup EngineSetup(const std::string& agentFolder, const TBuildPlan& plan);
    TTaskBuildSetup TaskBuildSetup(const std::string& agentFolder, const TBuildPlan& plan);
    void Complete(int exitCode);
    void Release();

    std::int32_t Ms() const { return static_cast<std::int32_t>(Tick() - startTick); }
    // Launcher connections report from threads of their own.
    void Add(const packets::TPacket& event) {
        const std::lock_guard lock(eventMutex);
        writer->Add(event, Tick());
    }
    void Output(const TOutputText& text);
    void Output(TOutputStream stream, std::string text);
    void SystemError(const std::string& text);
    void SystemWarning(const std::string& text);

    const TBuildSystemArguments& arguments;
    TStopSignals stop;
    records::TBuildCommandPacket request;
    TBuildCacheAccess cacheAccess; // the agent's grant, from the hand-off
    std::unique_ptr<platform::TMutex> buildMutex;
    std::unique_ptr<platform::TEvent> attachedEvent;
    std::unique_ptr<packets::TGrowingSharedStream> stream;
    std::unique_ptr<packets::TGrowingSharedStreamAsTStream> streamAdapter;
    std::vector<std::unique_ptr<monitor::TMonitorFileWriter>> files;
    std::unique_ptr<TEventWriter> writer;
    std::mutex eventMutex; // guards writer once tasks run
    std::unique_ptr<TTaskBuild> tasks;
    double startTime = 0;
    std::uint64_t startTick = 0;
    TOutputScanner scanner;
    std::int32_t systemErrors = 0;
    TJobRunCounts jobCounts; // of a job document's tasks
    bool cancelled = false;
};

int TBuild::Run() {
    stop.WatchTerminationRequests();
    try {
        Prepare();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VaridAdeziz: %s\n", e.what());
        Release();
        return 1;
    }
    int exitCode = 1;
    try {
        exitCode = Build();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "VaridAdeziz: %s\n", e.what());
        try {
            SystemError(e.what());
            Complete(1);
        } catch (const std::exception&) {
            // The events themselves failed: the message on stderr is all there is.
        }
        exitCode = 1;
    }
    // No waiting for the console: it keeps the stream's first section mapped and
    // reads whatever it has not mapped yet from the monitor file.
    Release();
    return exitCode;
}

void TBuild::LoadHandOffFile(const std::string& identity) {
    // Only a file of this user, in this user's own folder, may say what to run.
    const std::string folder = build::HandOffFolder(build::AgentTempFolder());
    std::string error;
    if (!platform::EnsurePrivateDirectory(folder, &error)) {
        core::Raise(
            core::EGeneralError("The build's hand-off folder is not safe to use.\r\n" + error));
    }
    const std::string file = build::HandOffFilePath(folder, identity);
    std::string bytes;
    if (!platform::ReadPrivateFile(file, bytes, HandOffFileLimit, &error)) {
        core::Raise(core::EGeneralError("The build request cannot be used.\r\n" + error));
    }
    // Read once: the request (environment included) does not stay on disk.
    std::error_code ec;
    std::filesystem::remove(file, ec);
    packets::TMemoryStream stream(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    try {
        request.LoadFromStream(stream);
        // The agent's grant follows the request when it opens its build-cache service.
        if (stream.Position() < stream.Size()) {
            records::TStartJobRequestReplyPacket grant;
            grant.LoadFromStream(stream);
            cacheAccess.Port = grant.BuildCachePort;
            cacheAccess.Password = grant.BuildCachePassword;
            cacheAccess.SharedServer = grant.BuildCacheSharedServer;
            cacheAccess.SharedPassword = grant.BuildCacheSharedPassword;
        }
    } catch (...) {
        core::RethrowWrapped("Failed to load the build request \"" + file + "\".");
    }
}

// History/Local/<day>: every user's build system writes its history file there. The
// agent makes the day's folder; one of another user is refused, since its owner could
// remove every file in it.
void PrepareHistoryFolder(const std::string& historyFile) {
    const std::string day = platform::ExtractFileDir(historyFile);
    const std::string local = platform::ExtractFileDir(day);
    const std::string history = platform::ExtractFileDir(local);
    std::string error;
    if (!platform::EnsureSharedDirectory(history, &error) ||
        !platform::EnsureSharedDirectory(local, &error) ||
        !platform::EnsureSharedDirectory(day, &error)) {
        core::Raise(core::EGeneralError("The history folder is not safe to use.\r\n" + error));
    }
}

void TBuild::Prepare() {
    records::RegisterAllPacketClasses();
    const std::string& identity = arguments.Identity;
    const std::string agentFolder = build::RequireAgentFolder();
    LoadHandOffFile(identity);

    bool existed = false;
    // Others (the agent, a viewer) only read whether it is held.
    buildMutex = platform::TMutex::Create(build::BuildMutexName(identity, true), true, &existed,
                                          {std::nullopt, false, true});
    if (existed) {
        buildMutex.reset(); // another process holds it
        core::Raise(core::EGeneralError("Build " + identity + " is already running."));
    }
    attachedEvent = platform::TEvent::Create(build::OwnerAttachedEventName(identity), true, false);
    // The build's output is its user's alone: the stream lives in the own session.
    stream = std::make_unique<packets::TGrowingSharedStream>(
        arguments.ID, packets::DefaultSectionSize, packets::TProgressLogger{}, true,
        packets::SessionOwn);
    streamAdapter = std::make_unique<packets::TGrowingSharedStreamAsTStream>(*stream);

    startTime = packets::LocalDateTimeNow();
    records::TMetaBuildPacket meta;
    meta.ID = arguments.ID;
    meta.Caption = request.Caption;
    meta.ComputerName = platform::ComputerName();
    meta.UserName = UserName();
    meta.BuildFlags = request.Flags;
    meta.StartTime = startTime;
    meta.ProductVersionText = core::BuildNumber();
    meta.PrimaryFilename = request.PrimaryFilename;
    meta.Command.Assign(request);
    const std::string history =
        monitor::HistoryFilePath(agentFolder, monitor::StartDayText(startTime), arguments.ID);
    PrepareHistoryFolder(history);
    // The history file is new in a folder that every user writes; a /MON copy may
    // replace a file of this user's own.
    files.push_back(std::make_unique<monitor::TMonitorFileWriter>(history, meta, true));
    if (!request.MonitorFilename.empty()) {
        files.push_back(std::make_unique<monitor::TMonitorFileWriter>(
            platform::ExpandPath(request.MonitorFilename, request.CurDir), meta));
    }
    std::vector<monitor::TMonitorFileWriter*> targets;
    for (const auto& file : files) {
        targets.push_back(file.get());
    }
    writer = std::make_unique<TEventWriter>(*streamAdapter, std::move(targets));

    const std::string startName = build::StartEventName(identity);
    const std::unique_ptr<platform::TEvent> start = platform::TEvent::Open(startName);
    if (!start) {
        core::Raise(core::EGeneralError("The start event \"" + startName + "\" does not exist."));
    }
    start->Set();
}

int TBuild::Build() {
    startTick = Tick();
    // Events go out only once the console follows them.
    if (request.HasFlag(records::TBuildFlag::Attach) && !WaitForAttach()) {
        cancelled = true;
    }
    records::TMonitorEventStartedPacket started;
    started.ms = 0;
    started.StartTime = startTime;
    started.BuildFlags = request.Flags;
    started.Caption = request.Caption;
    started.PrimaryFileName = request.PrimaryFilename;
    started.ID = arguments.ID;
    started.ComputerName = platform::ComputerName();
    Add(started);
    writer->Flush();

    int exitCode = 1;
    if (!cancelled) {
        const TBuildPlan plan = PlanBuild(request, platform::GetEnvBlock());
        if (!plan.Refusal.empty()) {
            SystemError(plan.Refusal);
        } else if (core::SameText(request.BuildClass, "xml")) {
            exitCode = RunJobDocument(plan);
        } else {
            exitCode = RunJob(plan);
        }
    }
    if (cancelled) {
        Output(TOutputStream::Err, "Build was cancelled.");
        exitCode = 1;
    }
    Complete(exitCode);
    return exitCode;
}

bool TBuild::WaitForAttach() {
    const std::uint64_t giveUp = Tick() + AttachTimeoutMs;
    while (Tick() < giveUp) {
        if (attachedEvent->Wait(StopCheckMs)) {
            stop.OwnerFollowing(); // the console holds its mutex by now
            return true;
        }
        if (stop.Check()) {
            return false;
        }
    }
    return false; // nobody came to follow the build
}

int TBuild::RunJob(const TBuildPlan& plan) {
    const std::string failed = "Failed to start the build command: ";
    if (!plan.WorkingDir.empty() && !platform::DirectoryExists(plan.WorkingDir)) {
        // The system's own reason would blame the shell.
        SystemError(failed + "the folder \"" + plan.WorkingDir + "\" does not exist.");
        return 1;
    }
    TBuildPlan taskPlan = plan;
    try {
        const std::string agentFolder = build::RequireAgentFolder();
        if (platform::FileExists(agentFolder + "/morvek-task")) {
            tasks = std::make_unique<TTaskBuild>(
                request, TaskBuildSetup(agentFolder, plan),
                [this](const packets::TPacket& event) { Add(event); }, [this] { return Ms(); });
            tasks->Start(taskPlan);
            for (const std::string& warning : tasks->Warnings()) {
                SystemWarning(warning);
            }
        } else {
            SystemWarning("The task launcher " + agentFolder +
                          "/morvek-task is not installed: the build runs as one command, "
                          "without tasks.");
        }
    } catch (const std::exception& e) {
        SystemError("Failed to prepare the build's tasks: " + std::string(e.what()));
        tasks.reset();
        return 1;
    }
    std::unique_ptr<TJobRunner> job;
    try {
        job = std::make_unique<TJobRunner>(taskPlan.Arguments, taskPlan.WorkingDir,
                                           taskPlan.Environment,
                                           tasks ? core::BuildOutputVariable : std::string_view());
    } catch (const std::exception& e) {
        SystemError(failed + e.what());
        if (tasks) {
            tasks->Finish();
        }
        return 1;
    }
    bool stoppedOnError = false;
    bool exited = false;
    int closed = 0;
    std::optional<std::uint64_t> killAt;
    std::optional<std::uint64_t> drainUntil;
    std::uint64_t nextCheck = Tick();
    for (;;) {
        const std::uint64_t now = Tick();
        if (!exited && !cancelled && now >= nextCheck) {
            if (stop.Check()) {
                cancelled = true;
                job->Terminate();
                killAt = now + GracefulStopMs;
            }
            nextCheck = now + StopCheckMs;
        }
        if (!exited && !cancelled && !stoppedOnError && tasks && tasks->StopRequested()) {
            // The first failure stops the build: running tasks end with the job.
            stoppedOnError = true;
            job->Terminate();
            killAt = now + GracefulStopMs;
        }
        if (killAt && now >= *killAt) {
            job->Kill();
            killAt.reset();
        }
        std::uint64_t deadline = drainUntil.value_or(now + StopCheckMs);
        std::optional<std::uint64_t> flushDue;
        {
            const std::lock_guard lock(eventMutex);
            flushDue = writer->Deadline();
        }
        for (const std::optional<std::uint64_t>& due :
             {killAt, flushDue,
              tasks ? std::optional<std::uint64_t>(tasks->Tick(now)) : std::nullopt}) {
            if (due) {
                deadline = std::min(deadline, *due);
            }
        }
        for (TJobEvent& event : job->Wait(deadline)) {
            switch (event.Kind) {
            case TJobEvent::TKind::Output:
                if (std::optional<TOutputText> text = scanner.Add(event.Stream, event.Bytes)) {
                    Output(*text);
                }
                break;
            case TJobEvent::TKind::Closed:
                if (std::optional<TOutputText> text = scanner.Finish(event.Stream)) {
                    Output(*text);
                }
                ++closed;
                break;
            case TJobEvent::TKind::Exited:
                // What the main process leaves behind in its job ends with it.
                exited = true;
                job->Kill();
                killAt.reset();
                drainUntil = Tick() + DrainMs;
                break;
            }
        }
        {
            const std::lock_guard lock(eventMutex);
            writer->FlushIfDue(Tick());
        }
        if (exited && (closed == 2 || Tick() >= *drainUntil)) {
            break;
        }
    }
    if (closed < 2) {
        // A process that left the job still holds a pipe: keep what came of its lines.
        for (TOutputStream s : {TOutputStream::Out, TOutputStream::Err}) {
            if (std::optional<TOutputText> text = scanner.Finish(s)) {
                Output(*text);
            }
        }
    }
    // Launchers still connected now are lost tasks; every row is released.
    if (tasks) {
        tasks->Finish();
    }
    const int exitCode = job->ExitCode().value_or(1);
    return stoppedOnError && exitCode == 0 ? 1 : exitCode;
}

int TBuild::RunJobDocument(const TBuildPlan& plan) {
    std::unique_ptr<TJobDocumentBuild> document;
    try {
        document = std::make_unique<TJobDocumentBuild>(
            request, EngineSetup(build::RequireAgentFolder(), plan),
            [this](const packets::TPacket& event) { Add(event); }, [this] { return Ms(); });
    } catch (const std::exception& e) {
        SystemError("Failed to prepare the build's tasks: " + std::string(e.what()));
        return 1;
    }
    try {
        document->Start(plan.Environment);
    } catch (const std::exception& e) {
        // Every error of the document, before anything ran.
        SystemError(e.what());
        return 1;
    }
    for (const std::string& warning : document->Warnings()) {
        SystemWarning(warning);
    }
    std::uint64_t nextCheck = Tick();
    for (;;) {
        const std::uint64_t now = Tick();
        if (!cancelled && now >= nextCheck) {
            if (stop.Check()) {
                cancelled = true;
                document->Cancel();
            }
            nextCheck = now + StopCheckMs;
        }
        std::uint64_t deadline = std::min(nextCheck, document->Tick(now));
        {
            const std::lock_guard lock(eventMutex);
            writer->FlushIfDue(Tick());
            if (const std::optional<std::uint64_t> due = writer->Deadline()) {
                deadline = std::min(deadline, *due);
            }
        }
        const std::uint64_t after = Tick();
        if (document->WaitDone(static_cast<std::uint32_t>(
                deadline > after ? std::min<std::uint64_t>(deadline - after, StopCheckMs) : 0))) {
            break;
        }
    }
    document->Finish();
    jobCounts = document->Counts();
    return jobCounts.Failed > 0 || jobCounts.Skipped > 0 || cancelled ? 1 : 0;
}

TTaskBuildSetup TBuild::TaskBuildSetup(const std::string& agentFolder, const TBuildPlan& plan) {
    TTaskBuildSetup setup = EngineSetup(agentFolder, plan);
    records::TXml_ProfileDocument profile;
    records::LoadJobProfile(records::DefaultJobProfilePath(agentFolder), request.ProfileFilename,
                            profile);
    setup.Tools = records::InterceptedToolPatterns(profile);
    setup.Rules = std::make_shared<const TTaskRules>(profile);
    return setup;
}

TTaskBuildSetup TBuild::EngineSetup(const std::string& agentFolder, const TBuildPlan& plan) {
    TTaskBuildSetup setup;
    setup.AgentFolder = agentFolder;
    setup.BuildID = arguments.ID.ToString();
    setup.LocalCoresLimit = build::ReadBuilderInteger("MaxLocalCores");
    std::vector<std::string> problems;
    setup.Cache = MakeBuildCacheSetup(
        request, cacheAccess, build::ReadBuilderInteger("UseBuildCache").value_or(0) != 0,
        agentFolder, setup.BuildID,
        plan.WorkingDir.empty() ? platform::GetCurrentDir() : plan.WorkingDir,
        EnvironmentValue(plan.Environment, "PATH").value_or("/usr/local/bin:/usr/bin:/bin"),
        problems);
    cacheAccess.Password.clear();
    cacheAccess.SharedPassword.clear();
    for (const std::string& problem : problems) {
        SystemWarning(problem);
    }
    return setup;
}

void TBuild::Output(const TOutputText& text) {
    AddOutputEvent([this](const packets::TPacket& event) { Add(event); }, Ms(), text);
}

void TBuild::Output(TOutputStream stream, std::string text) {
    TOutputText output;
    output.Stream = stream;
    output.Text = std::move(text);
    Output(output);
}

void TBuild::SystemError(const std::string& text) {
    ++systemErrors;
    Add(*records::NewMessageEvent(Ms(), MessageKindError, packets::LocalDateTimeNow(),
                                  "Build System error", text, {}, {}, 0));
    // The console prints output events only.
    Output(TOutputStream::Err, text);
}

void TBuild::SystemWarning(const std::string& text) {
    Add(*records::NewMessageEvent(Ms(), MessageKindWarning, packets::LocalDateTimeNow(),
                                  "Build System warning", text, {}, {}, 0));
}

void TBuild::Complete(int exitCode) {
    const std::int32_t errors =
        scanner.Errors() + jobCounts.Errors + (tasks ? tasks->OutputErrors() : 0);
    const std::int32_t warnings =
        scanner.Warnings() + jobCounts.Warnings + (tasks ? tasks->OutputWarnings() : 0);
    const bool success = exitCode == 0 && !cancelled && systemErrors == 0;
    Add(*records::NewCompleteEvent(Ms(), cancelled,
                                   records::BuildSummaryText(systemErrors, 0, errors, warnings),
                                   success, 0, systemErrors, errors, warnings, exitCode));
    {
        const std::lock_guard lock(eventMutex);
        writer->Flush();
    }
    monitor::TMonitorFileOutcome outcome;
    outcome.ErrorCount = errors;
    outcome.WarningCount = warnings;
    outcome.SystemErrorCount = systemErrors;
    outcome.Duration = static_cast<double>(Tick() - startTick) / 86400000.0;
    outcome.Cancelled = cancelled;
    outcome.ExitCode = exitCode;
    for (const auto& file : files) {
        file->Finish(outcome);
    }
}

void TBuild::Release() {
    tasks.reset(); // its connections write events
    writer.reset();
    files.clear();
    streamAdapter.reset();
    stream.reset();
    attachedEvent.reset();
    if (buildMutex) {
        buildMutex->Release();
        buildMutex.reset();
    }
    // The agent frees the build's slot at once; it believes only the build's own user.
    // Without an answer it learns the end from the build's mutex.
    try {
        const std::unique_ptr<comm::TAgentConnection> agent = comm::ConnectToAgent();
        agent->SetReplyTimeout(AgentEndReplyMs);
        records::TJobEndedPacket ended;
        ended.JobID = arguments.ID;
        agent->Request(ended);
    } catch (const std::exception& e) {
        core::Log().Warning("The agent was not told that the build ended\r\n" +
                            std::string(e.what()));
    }
}

} // namespace

int RunBuildSystem(const TBuildSystemArguments& arguments) {
    TBuild build(arguments);
    return build.Run();
}

} // namespace buildsys
