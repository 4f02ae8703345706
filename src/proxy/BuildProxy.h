#pragma once
// The build proxy: runs one build on behalf of the console. It asks the agent for a
// build slot, completes the request, hands it to a new build-system process through
// the hand-off file and the build's named objects, and follows the build's event
// stream until the build completes or the proxy is stopped. Its class-level
// services turn options into the request before any proxy exists.
#include "comm/AgentConnection.h"
#include "core/Process.h"
#include "core/StringListEx.h"
#include "records/BuildPackets.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace platform {
class TEvent;
class TMutex;
} // namespace platform

namespace monitor {
class TMonitorEventLoop;
}

namespace build {

// Proxy options.
enum TBuildProxyOption : unsigned {
    bpoWaitOnDestroy = 4, // destroyed while attached: wait for the build system to end
};

class TBuildProxy {
public:
    enum class TState : int { New = 0, Attached = 3, Stopped = 4 };

    using TEventHandler = std::function<void(packets::TPacket&)>;
    using TExitHandler = std::function<void(core::TProcess&)>;
    using TConnectionFactory = std::function<std::unique_ptr<comm::TAgentConnection>()>;
    // Receives the lines the proxy shows on the console (the 217 restart report).
    using TMessageSink = std::function<void(std::string_view)>;

    // An empty initiator name means the display name.
    TBuildProxy(std::string displayName, std::string initiatorName, unsigned options,
                TEventHandler eventHandler);
    // Stops (waiting for the build system when attached with bpoWaitOnDestroy) and
    // releases everything.
    ~TBuildProxy();
    TBuildProxy(const TBuildProxy&) = delete;
    TBuildProxy& operator=(const TBuildProxy&) = delete;

    void SetExitHandler(TExitHandler handler) { exitHandler = std::move(handler); }
    void SetMessageSink(TMessageSink sink) { messageSink = std::move(sink); }
    // The agent connection used for the start request (the real one by default).
    void SetConnectionFactory(TConnectionFactory factory) { connect = std::move(factory); }
    // The pause before a restart of the build system (tests shorten it).
    void SetRestartPause(std::uint32_t ms) { restartPause = ms; }

    // 0: started (and attached when the request asks for it); otherwise the agent's
    // refusal (1 all slots busy, 2 not enough cores, 4 update pending) and nothing was
    // started. Errors raise "Failed to start build." with the cause.
    int StartBuild(records::TBuildCommandPacket& request, std::string_view extraArguments);
    // Ends following the build; with `wait`, also waits for the build system to end.
    void Stop(bool wait);

    TState State() const { return state; }
    bool Completed() const;
    const std::string& Identity() const { return identity; }
    // The build-system command line of the last start.
    const std::string& CommandLine() const { return commandLine; }
    // The event loop while attached (tests look at it).
    monitor::TMonitorEventLoop* EventLoop() const { return eventLoop.get(); }

    // Fills in what the build system needs at hand-off: build class, title, current
    // directory, initiator and the IDE monitor among the console's ancestors.
    void CompleteRequest(records::TBuildCommandPacket& request) const;

    // Appends the options of the solution's configuration file (if there is one for
    // `configuration`) to `options` and keeps its text in the request.
    static void LoadBuildConfigFile(std::string_view configuration,
                                    records::TBuildCommandPacket& request,
                                    core::TStringListEx& options);
    // Applies the tuning and build-cache options; accepted ones leave the list.
    static void ApplyBuildOptions(records::TBuildCommandPacket& request,
                                  core::TStringListEx& options);
    // "vc6", "evc4", "xml", "wrap", or the Visual Studio class ("VC16DE", "VC17" ...).
    static std::string GetBuildClass(const std::string& primaryFile, std::string_view versionText,
                                     bool useEnvironment, bool useMSBuild);
    static bool IsVSBuildClass(std::string_view buildClass);
    static bool IsJobBuildClass(std::string_view buildClass);
    static std::string GetBuildTitle(const records::TBuildCommandPacket& request);

private:
    void WriteHandOffFile() const;
    void RemoveHandOffFile() const;
    void LaunchBuildSystem();
    void TakeOwnerTermination();
    void AttachToEvents();
    void Dispatch(packets::TPacket& event);
    void Report(std::string_view line) const;

    std::string displayName;
    std::string initiatorName;
    unsigned options;
    TEventHandler eventHandler;
    TExitHandler exitHandler;
    TMessageSink messageSink;
    TConnectionFactory connect;
    std::uint32_t restartPause = 1000;

    core::TGUID buildID;
    std::string identity;
    std::string extraArguments;
    std::string commandLine;
    std::string handOffFile;  // in this user's own folder; the build system deletes it
    std::string handOffBytes; // the request in its file form
    records::TBuildFlags flags;
    TState state = TState::New;

    std::unique_ptr<comm::TAgentConnection> agent;
    std::unique_ptr<platform::TEvent> startEvent;
    std::unique_ptr<core::TProcess> process;
    std::unique_ptr<platform::TMutex> ownerTermination;
    std::unique_ptr<monitor::TMonitorEventLoop> eventLoop;
};

} // namespace build
