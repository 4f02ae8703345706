#pragma once
// The local agent service: listens on the agent's socket (comm/AgentSocket.h) and
// answers the console's requests.
//
// Settings (machine hive, "<agent settings key>\Agent"): AllowEnableDisable (dword,
// default 1), Enabled (dword, default 1, written by enable/disable),
// MaxConcurrentBuilds (default 4), CoresPerBuild (default 1), UpdatePending (dword,
// default 0), Coordinator ("host:port", empty = stand-alone), FileCacheDir (default
// <Folder>/FileCache), BuildCacheUsers (who may use the build-cache service: user
// names or IDs; empty or absent = every local user).
//
// A granted build stays listed until its build system ends: the build system owns
// the mutex "Global\TavrixBuildMutex_<id>" while it runs and, as it ends, says so with
// a job-ended request; the agent drops the build on that request from the user the
// slot was granted to, once the mutex it saw held is gone, free or abandoned, or when
// no build system claimed it within the claim time. To stop a build the agent sets
// the manual-reset event "Global\TavrixBuildStop_<id>", which it creates at the grant.
//
// Who may ask what: status and the list of builds, everyone; stopping a build, the
// user who started it and administrators; enable/disable, the file cache reset, the
// build-cache service and the build-activity log, administrators only. The caller is
// the user that the kernel names for the connection of the agent's socket; an
// administrator is a user who may write the machine settings (the test the console
// applies before it clears the build cache). A refused request is an error reply.
#include "agent/BuildCacheService.h"
#include "comm/CommPipe.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class TEvent;
class TChildProcess;
} // namespace platform

namespace agent {

struct TAgentBuild {
    core::TGUID ID;
    std::string Caption; // the build's title once its history file names it
    // The user who asked for the slot, as the system vouches for it.
    std::optional<std::uint32_t> Owner;
    std::uint64_t Granted = 0;
    double StartTime = 0;
    bool Claimed = false;
    std::unique_ptr<platform::TEvent> StopEvent;
};

class TAgentService {
public:
    explicit TAgentService(core::TNotifyQueue& queue);
    ~TAgentService();

    // How long a grant waits for its build system (tests shorten it).
    void SetClaimTimeout(std::uint32_t ms) { claimTimeout = ms; }
    std::size_t RunningBuilds() const { return builds.size(); }
    // The agent folder: the installation's setting, else the program's folder.
    static std::string Folder();

private:
    void Status(comm::TCommExecuteContext& context);
    void Enable(comm::TCommExecuteContext& context);
    void ClearFileCache(comm::TCommExecuteContext& context);
    void StartJob(comm::TCommExecuteContext& context);
    void StopJob(comm::TCommExecuteContext& context);
    void JobEnded(comm::TCommExecuteContext& context);
    void BuildStatus(comm::TCommExecuteContext& context);
    void BuildActivity(comm::TCommExecuteContext& context);
    void StartBuildCache(comm::TCommExecuteContext& context);
    void StopBuildCache(comm::TCommExecuteContext& context);
    void WatchBuilds();
    void RequireAdministrator(const comm::TCommExecuteContext& context,
                              std::string_view what) const;
    bool IsAdministrator(const std::optional<std::uint32_t>& user) const;
    void LearnCaption(TAgentBuild& build) const;
    void StopBuildCacheService();

    std::string SettingsKey() const;
    std::int64_t Setting(const std::string& name, std::int64_t fallback) const;
    std::string TextSetting(const std::string& name, const std::string& fallback) const;

    std::unique_ptr<comm::TCommPipe> server;
    std::vector<std::unique_ptr<TAgentBuild>> builds;
    std::unique_ptr<core::TClock> watch;
    TBuildCacheService buildCache;
    std::uint32_t claimTimeout = 120000;
    std::string host;
};

} // namespace agent
