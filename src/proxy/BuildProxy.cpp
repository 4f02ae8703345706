#include "proxy/BuildProxy.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "core/ProductVersion.h"
#include "monitor/EventSources.h"
#include "monitor/MonitorEventLoop.h"
#include "platform/Clock.h"
#include "platform/CommandLine.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/SharedObjects.h"
#include "proxy/AgentSettings.h"
#include "proxy/BuildCacheSettings.h"
#include "proxy/BuildObjects.h"
#include "proxy/PriorityClass.h"
#include "records/MonitorEvents.h"
#include "records/ServicePackets.h"

#include <filesystem>
#include <system_error>

namespace build {

namespace {

constexpr std::int32_t ComponentVersion = 2015861;
constexpr std::string_view ComponentVersionText = core::ProductVersionText;
constexpr std::uint32_t StartTimeoutMs = 60000;
constexpr std::uint32_t StartPollMs = 50;
constexpr int RestartLimit = 30;

std::string WithoutTrailingLineBreak(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

} // namespace

TBuildProxy::TBuildProxy(std::string displayName, std::string initiatorName, unsigned options,
                         TEventHandler eventHandler)
    : displayName(std::move(displayName)), initiatorName(std::move(initiatorName)),
      options(options), eventHandler(std::move(eventHandler)), connect(comm::ConnectToAgent) {
    if (this->initiatorName.empty()) {
        this->initiatorName = this->displayName;
    }
}

TBuildProxy::~TBuildProxy() {
    try {
        Stop(flags.Contains(records::TBuildFlag::Attach) && (options & bpoWaitOnDestroy) != 0);
    } catch (const std::exception& e) {
        core::Log().Warning("Failed to stop the build proxy\r\n" + std::string(e.what()));
    }
    eventLoop.reset();
    agent.reset();
    startEvent.reset();
}

bool TBuildProxy::Completed() const {
    return eventLoop && eventLoop->Completed();
}

int TBuildProxy::StartBuild(records::TBuildCommandPacket& request,
                            std::string_view extraArguments) {
    if (state != TState::New) {
        core::Raise(core::EGeneralError("Internal Error: Proxy object cannot be reused."));
    }
    try {
        agent = connect();
        records::TStartJobRequestPacket start;
        start.ComponentVersion = ComponentVersion;
        start.ComponentVersionText = std::string(ComponentVersionText);
        start.ComponentDisplayName = displayName;
        start.PluginVersion = request.PluginUpDateVer;
        const auto reply = agent->Request(start);
        if (!reply || &reply->Class() != &records::TStartJobRequestReplyPacket::StaticClass()) {
            core::Raise(core::EGeneralError("The agent service did not answer the start request"));
        }
        const auto& granted = static_cast<const records::TStartJobRequestReplyPacket&>(*reply);
        request.BuildID = granted.JobID;
        if (granted.Result != 0) {
            agent.reset();
            return granted.Result;
        }

        CompleteRequest(request);
        flags = request.Flags;
        buildID = request.BuildID;
        identity = buildID.ToString();
        this->extraArguments = std::string(extraArguments);
        packets::TMemoryStream bytes;
        request.SaveToStream(bytes);
        if (granted.BuildCachePort > 0 || !granted.BuildCacheSharedServer.empty()) {
            // The build-cache passwords reach the build system only through its private
            // hand-off file, which it deletes once read; the shared server serves even
            // while the local service is down.
            granted.SaveToStream(bytes);
        }
        handOffBytes = std::string(bytes.Text());
        handOffFile = HandOffFilePath(PrepareHandOffFolder(AgentTempFolder()), identity);
        try {
            LaunchBuildSystem();
        } catch (...) {
            RemoveHandOffFile();
            throw;
        }
        if (flags.Contains(records::TBuildFlag::Attach)) {
            TakeOwnerTermination();
            AttachToEvents();
        }
        return 0;
    } catch (...) {
        agent.reset();
        core::RethrowWrapped("Failed to start build.");
    }
}

void TBuildProxy::WriteHandOffFile() const {
    // The folder is this user's own: a file left by an earlier start is ours to replace.
    RemoveHandOffFile();
    std::string error;
    const auto file =
        platform::TFileWriter::Create(handOffFile, platform::TFileWriter::TMode::CreateNew, &error);
    if (!file || !file->Write(handOffBytes, &error)) {
        core::Raise(core::EOSError("Cannot create file: " + handOffFile + "\r\n" + error, 0));
    }
}

void TBuildProxy::RemoveHandOffFile() const {
    std::error_code ec;
    std::filesystem::remove(handOffFile, ec);
}

void TBuildProxy::LaunchBuildSystem() {
    const std::string program =
        platform::IncludeTrailingDelimiter(RequireAgentFolder()) + std::string(BuildSystemProgram);
    commandLine = platform::QuoteArgument(program) + " /id=" + identity;
    if (!this->extraArguments.empty()) {
        commandLine += " " + extraArguments;
    }
    const bool hidden = ReadBuilderFlag("HideWindow", true);
    const std::optional<platform::TPriorityClass> priority =
        PriorityClassOf(ReadBuilderInteger("BuildSysPriorityClass").value_or(128));
    startEvent = platform::TEvent::Create(StartEventName(identity), false, false);

    for (int attempt = 0;; ++attempt) {
        // The build system deletes the file once it has read it: each start gets its own.
        WriteHandOffFile();
        process = std::make_unique<core::TProcess>(
            commandLine, hidden ? core::poCaptureOutput | core::poSeparateErrors : 0u);
        process->SetNewConsole(true);
        process->SetNewProcessGroup(true);
        if (priority) {
            process->SetPriority(*priority);
        }
        process->Start();

        const std::uint64_t since = platform::GetTickCount64();
        bool started = false;
        bool ended = false;
        while (!started && !ended) {
            started = startEvent->Wait(StartPollMs);
            if (!started && process->Wait(0)) {
                // It may have signalled just before it ended.
                started = startEvent->Wait(0);
                ended = !started;
            }
            if (!started && !ended && platform::GetTickCount64() - since >= StartTimeoutMs) {
                core::Raise(core::EGeneralError(
                    "Timed out waiting for Build System process to initialize."));
            }
        }
        if (started) {
            process->SetOnTerminated([this] {
                // Whatever the build system wrote is complete now: read it without
                // waiting for the next tick.
                if (eventLoop) {
                    eventLoop->ReadSoon();
                }
                if (exitHandler) {
                    exitHandler(*process);
                }
            });
            return;
        }
        const int exitCode = process->ExitCode();
        const std::string out = WithoutTrailingLineBreak(process->OutputText());
        const std::string err = WithoutTrailingLineBreak(process->ErrorText());
        if (exitCode != BuildSystemRestartExitCode) {
            core::Raise(
                core::EGeneralError("Build System process failed to initialize (exit code " +
                                    std::to_string(exitCode) + ").\r\n\r\n" + out + "\r\n" + err));
        }
        if (attempt == RestartLimit) {
            core::Raise(core::EGeneralError("Build System process restart tries limit reached"));
        }
        const std::string line =
            "VaridAdeziz failed to start with error code 217!\r\nStdOut: " + out + "\r\n" +
            "StdErr: " + err;
        Report(line);
        core::Log().Line(line);
        platform::SleepMs(restartPause);
    }
}

void TBuildProxy::TakeOwnerTermination() {
    // The build system learns that its console has gone when this mutex is free or
    // abandoned; a failure here only costs that signal.
    try {
        ownerTermination = platform::TMutex::Create(OwnerTerminationMutexName(identity), false);
        core::WaitReporting(*ownerTermination, platform::InfiniteTimeout, true);
    } catch (const std::exception& e) {
        ownerTermination.reset();
        core::Log().Line("Owner termination mutex not taken\r\n" + std::string(e.what()));
    }
}

void TBuildProxy::AttachToEvents() {
    try {
        const std::string attachedName = OwnerAttachedEventName(identity);
        const auto attached = platform::TEvent::Open(attachedName);
        if (!attached) {
            core::Raise(core::EGeneralError("Failed to open event '" + attachedName + "'"));
        }
        bool global = false;
        auto source = monitor::TSharedStreamEventSource::Open(buildID, global);
        // The build system holds its mutex in the global namespace wherever its stream
        // lives (the agent looks there too).
        monitor::TMonitorEventLoop::TSettings settings{buildID, BuildMutexName(identity, true),
                                                       AgentFolder()};
        eventLoop = std::make_unique<monitor::TMonitorEventLoop>(
            std::move(source), std::move(settings),
            [this](packets::TPacket& event) { Dispatch(event); },
            [this] { Stop(flags.Contains(records::TBuildFlag::Attach)); });
        eventLoop->Start();
        state = TState::Attached;
        attached->Set();
    } catch (...) {
        core::RethrowWrapped("Failed to attach to build events stream.");
    }
}

void TBuildProxy::Dispatch(packets::TPacket& event) {
    if (&event.Class() == &records::TMonitorEventStartedPacket::StaticClass()) {
        // The build has its slot and runs: the agent connection is no longer needed.
        agent.reset();
    }
    if (eventHandler) {
        eventHandler(event);
    }
}

void TBuildProxy::Stop(bool wait) {
    if (ownerTermination) {
        try {
            ownerTermination->Release();
        } catch (const std::exception&) {
        }
        ownerTermination.reset();
    }
    if (eventLoop) {
        eventLoop->Shutdown();
    }
    if (process) {
        if (state == TState::Attached && wait) {
            process->Wait(platform::InfiniteTimeout);
        } else {
            process->Detach();
        }
        process.reset();
    }
    state = TState::Stopped;
}

void TBuildProxy::Report(std::string_view line) const {
    if (messageSink) {
        messageSink(line);
    }
}

} // namespace build
