#include "agent/AgentService.h"

#include "agent/HistoryDays.h"
#include "comm/AgentSocket.h"
#include "comm/ProductInfo.h"
#include "comm/SocketCommServer.h"
#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "monitor/MonitorFile.h"
#include "packets/TextUtil.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/SharedObjects.h"
#include "platform/UserAccess.h"
#include "proxy/AgentSettings.h"
#include "proxy/BuildCacheSettings.h"
#include "proxy/BuildObjects.h"
#include "proxy/SharedCacheServer.h"
#include "records/MetaBuildPackets.h"
#include "records/ServicePackets.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace agent {

namespace {

namespace fs = std::filesystem;
using records::TStartJobRequestReplyPacket;

// Enough for the metadata record at the start of a history file.
constexpr std::size_t HistoryRecordLimit = 16u << 20;

// Replies are sent by the handlers; a request without its own reply gets the
// pipe's empty packet.
template <typename T> T& RequestOf(comm::TCommExecuteContext& context) {
    return static_cast<T&>(context.Request);
}

} // namespace

TAgentService::TAgentService(core::TNotifyQueue& queue) : host(platform::ComputerName()) {
    // The objects root holds every user's object folder (sticky, like /tmp) and the
    // agent's socket folder.
    const std::string root = platform::ObjectsRoot();
    platform::ForceDirectories(platform::ExtractFileDir(root));
    if (std::string why; !platform::EnsureStickyDirectory(root, &why)) {
        core::Raise(core::EGeneralError(why));
    }
    // Requests come over the agent's socket: the kernel names each caller.
    server = std::make_unique<comm::TSocketCommServer>(comm::AgentSocketFolder(),
                                                       comm::AgentSocketPath(), queue);
    auto& methods = server->Methods();
    auto bind = [this](void (TAgentService::*method)(comm::TCommExecuteContext&)) {
        return [this, method](comm::TCommExecuteContext& c) { (this->*method)(c); };
    };
    methods.Register(records::TQueryServiceStatusPacket::StaticClass(),
                     bind(&TAgentService::Status));
    methods.Register(records::TEnableAgentPacket::StaticClass(), bind(&TAgentService::Enable));
    methods.Register(records::TClearFileCachePacket::StaticClass(),
                     bind(&TAgentService::ClearFileCache));
    methods.Register(records::TStartJobRequestPacket::StaticClass(),
                     bind(&TAgentService::StartJob));
    methods.Register(records::TStopJobPacket::StaticClass(), bind(&TAgentService::StopJob));
    methods.Register(records::TJobEndedPacket::StaticClass(), bind(&TAgentService::JobEnded));
    methods.Register(records::TRequestBuildStatusPacket::StaticClass(),
                     bind(&TAgentService::BuildStatus));
    methods.Register(records::TCoordBuildActivityInfo::StaticClass(),
                     bind(&TAgentService::BuildActivity));
    methods.Register(records::TStartBCServicePacket::StaticClass(),
                     bind(&TAgentService::StartBuildCache));
    methods.Register(records::TStopBCServicePacket::StaticClass(),
                     bind(&TAgentService::StopBuildCache));
    watch = std::make_unique<core::TClock>(
        1000, true,
        [this] {
            WatchBuilds();
            buildCache.Watch();
        },
        &queue);
    if (TBuildCacheService::Configured()) {
        try {
            buildCache.Start();
        } catch (const std::exception& e) {
            core::Log().Warning("Build cache service not started\r\n" + std::string(e.what()));
        }
    }
}

TAgentService::~TAgentService() {
    watch.reset();
    StopBuildCacheService();
    builds.clear();
    server.reset();
}

std::string TAgentService::SettingsKey() const {
    return comm::AgentSettingsKey() + "\\Agent";
}

namespace {
// One value of the agent's settings; unreadable settings are logged and count as absent.
template <typename T, typename Read>
T ReadSetting(const std::string& keyPath, const std::string& name, const T& fallback, Read read) {
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine, keyPath);
        return key ? read(*key).value_or(fallback) : fallback;
    } catch (const std::exception& e) {
        core::Log().Warning("Agent setting " + name + " unreadable\r\n" + e.what());
        return fallback;
    }
}
} // namespace

std::int64_t TAgentService::Setting(const std::string& name, std::int64_t fallback) const {
    return ReadSetting(SettingsKey(), name, fallback,
                       [&](const platform::TRegistryKey& key) { return key.ReadInteger(name); });
}

std::string TAgentService::TextSetting(const std::string& name, const std::string& fallback) const {
    return ReadSetting(SettingsKey(), name, fallback,
                       [&](const platform::TRegistryKey& key) { return key.ReadString(name); });
}

std::string TAgentService::Folder() {
    std::string folder = build::AgentFolder();
    if (folder.empty()) {
        folder = platform::ExtractFileDir(platform::ProgramFileName());
    }
    return folder;
}

void TAgentService::Status(comm::TCommExecuteContext& context) {
    // One read of the settings per request: they may change while the agent runs.
    std::string coordinator;
    bool allowEnableDisable = true;
    try {
        if (const auto key =
                platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine, SettingsKey())) {
            coordinator = key->ReadString("Coordinator").value_or("");
            allowEnableDisable = key->ReadInteger("AllowEnableDisable").value_or(1) != 0;
        }
    } catch (const std::exception& e) {
        core::Log().Warning("Agent settings unreadable\r\n" + std::string(e.what()));
    }
    records::TQueryServiceStatusReplyPacket reply;
    reply.StandAlone = coordinator.empty();
    reply.CoordinatorID = coordinator;
    reply.CpuCount = static_cast<std::int32_t>(std::max(1u, std::thread::hardware_concurrency()));
    reply.StaticPacket.Host = host;
    reply.AgentID = host;
    reply.StaticPacket.AllowEnableDisable = allowEnableDisable;
    reply.BuildCacheSupported = true;
    reply.StaticPacket.LocalBCServicePort = buildCache.Port();
    reply.StaticPacket.UseLocalBuildCache = buildCache.Running();
    // What the service was started with: a status answers without reading files.
    reply.StaticPacket.BuildCacheFolder = buildCache.CacheFolder();
    reply.StaticPacket.BuildCacheDatabaseFolder = buildCache.DatabaseFolder();
    context.SendReply(reply);
}

namespace {
std::string UserText(const std::optional<std::uint32_t>& user) {
    return user ? "user " + std::to_string(*user) : "an unidentified user";
}
} // namespace

bool TAgentService::IsAdministrator(const std::optional<std::uint32_t>& user) const {
    return user &&
           platform::UserMayReplaceFile(
               platform::TRegistryKey::HiveFileName(platform::TRegRoot::LocalMachine), *user);
}

void TAgentService::RequireAdministrator(const comm::TCommExecuteContext& context,
                                         std::string_view what) const {
    if (IsAdministrator(context.Caller)) {
        return;
    }
    core::Log().Warning("Refused to " + std::string(what) + " for " + UserText(context.Caller));
    core::Raise(core::EGeneralError(
        "Access denied: only an administrator may " + std::string(what) +
        ". An administrator is a user who may write the machine settings (" +
        platform::TRegistryKey::HiveFileName(platform::TRegRoot::LocalMachine) + ")."));
}

void TAgentService::Enable(comm::TCommExecuteContext& context) {
    const bool enable = RequestOf<records::TEnableAgentPacket>(context).Enable;
    RequireAdministrator(context, enable ? "enable the agent" : "disable the agent");
    if (Setting("AllowEnableDisable", 1) == 0) {
        core::Raise(core::EGeneralError("Enabling or disabling this agent is not allowed"));
    }
    platform::TRegistryKey::Create(platform::TRegRoot::LocalMachine, SettingsKey())
        ->WriteInteger("Enabled", enable ? 1 : 0);
    core::Log().Line(enable ? "Agent enabled" : "Agent disabled");
}

void TAgentService::ClearFileCache(comm::TCommExecuteContext& context) {
    RequireAdministrator(context, "clear the agent's file cache");
    const std::string dir = TextSetting("FileCacheDir", Folder() + "/FileCache");
    std::error_code ec;
    if (fs::is_directory(dir, ec)) {
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            fs::remove_all(entry.path(), ec);
        }
    }
    core::Log().Line("File cache cleared: " + dir);
}

void TAgentService::StartJob(comm::TCommExecuteContext& context) {
    const auto& request = RequestOf<records::TStartJobRequestPacket>(context);
    // Slots of builds that ended since the last watch are free again.
    WatchBuilds();
    TStartJobRequestReplyPacket reply;
    const std::int64_t cores = std::max(1u, std::thread::hardware_concurrency());
    const std::int64_t perBuild = std::max<std::int64_t>(1, Setting("CoresPerBuild", 1));
    const auto running = static_cast<std::int64_t>(builds.size());
    if (Setting("UpdatePending", 0) != 0) {
        reply.Result = 4;
    } else if (running >= Setting("MaxConcurrentBuilds", 4)) {
        reply.Result = 1;
    } else if (cores - running * perBuild < perBuild) {
        reply.Result = 2;
    } else {
        auto granted = std::make_unique<TAgentBuild>();
        granted->ID = core::NewGuid();
        granted->Owner = context.Caller;
        granted->Granted = platform::GetTickCount64();
        granted->StartTime = packets::LocalDateTimeNow();
        // Only the agent stops a build: others may wait for the event, not set it.
        granted->StopEvent =
            platform::TEvent::Create(build::BuildStopEventName(granted->ID.ToString()), true, false,
                                     nullptr, {std::nullopt, false, true});
        reply.JobID = granted->ID;
        PrepareHistoryDays(Folder(), granted->ID, granted->StartTime);
        if (granted->Owner &&
            MayUseBuildCache(TextSetting("BuildCacheUsers", ""), *granted->Owner)) {
            if (buildCache.Running()) {
                reply.BuildCachePort = buildCache.Port();
                reply.BuildCachePassword = buildCache.Password();
            }
            try {
                const build::TSharedCacheServer shared =
                    build::ReadSharedCacheServer(TextSetting("BuildCacheSharedServer", ""),
                                                 TextSetting("BuildCacheSharedPasswordFile", ""));
                reply.BuildCacheSharedServer = shared.Server;
                reply.BuildCacheSharedPassword = shared.Password;
            } catch (const core::EGeneralError& e) {
                core::Log().Line(std::string("The shared build cache is not used: ") + e.what());
            }
        }
        core::Log().Line("Build slot granted: " + granted->ID.ToString() + " to " +
                         UserText(granted->Owner) + " (pid " +
                         std::to_string(context.CallerProcess.value_or(0)) + ", " +
                         request.ComponentDisplayName + ")");
        builds.push_back(std::move(granted));
    }
    context.SendReply(reply);
}

void TAgentService::StopJob(comm::TCommExecuteContext& context) {
    const core::TGUID id = RequestOf<records::TStopJobPacket>(context).JobID;
    TAgentBuild* target = nullptr;
    if (id.IsNull()) {
        if (builds.size() == 1) {
            target = builds.front().get();
        }
    } else {
        for (const auto& b : builds) {
            if (b->ID == id) {
                target = b.get();
            }
        }
    }
    if (!target) {
        // Unknown or ambiguous: the empty reply says so.
        return;
    }
    const bool owner = target->Owner && context.Caller && *target->Owner == *context.Caller;
    if (!owner && !IsAdministrator(context.Caller)) {
        core::Log().Warning("Refused to stop build " + target->ID.ToString() + " for " +
                            UserText(context.Caller));
        core::Raise(core::EGeneralError("Access denied: build " + target->ID.ToString() +
                                        " belongs to another user; only its owner or an "
                                        "administrator may stop it."));
    }
    target->StopEvent->Set();
    core::Log().Line("Build stop requested: " + target->ID.ToString());
    records::TStopJobPacket reply;
    reply.JobID = target->ID;
    context.SendReply(reply);
}

void TAgentService::JobEnded(comm::TCommExecuteContext& context) {
    // A build system that ends before the next watch would otherwise look unclaimed: it
    // says so itself, as the build's user (the kernel names the caller).
    const core::TGUID id = RequestOf<records::TJobEndedPacket>(context).JobID;
    const auto found =
        std::find_if(builds.begin(), builds.end(),
                     [&](const std::unique_ptr<TAgentBuild>& b) { return b->ID == id; });
    if (found == builds.end()) {
        return;
    }
    const TAgentBuild& b = **found;
    if (!b.Owner || !context.Caller || *b.Owner != *context.Caller) {
        core::Log().Warning("Refused to end build " + b.ID.ToString() + " for " +
                            UserText(context.Caller));
        core::Raise(core::EGeneralError("Access denied: build " + b.ID.ToString() +
                                        " belongs to another user; only its own build system "
                                        "may end it."));
    }
    core::Log().Line("Build ended: " + b.ID.ToString());
    builds.erase(found);
}

void TAgentService::BuildStatus(comm::TCommExecuteContext& context) {
    // Builds that ended since the last watch are not listed.
    WatchBuilds();
    records::TRequestBuildStatusReplayPacket reply;
    for (const auto& b : builds) {
        LearnCaption(*b);
        auto& item = reply.Builds.AddNew();
        item.BuildID = b->ID;
        item.Caption = b->Caption;
        item.DisplayTitle = b->Caption;
        item.StartTime = b->StartTime;
        item.LocalCores = static_cast<std::int32_t>(Setting("CoresPerBuild", 1));
    }
    context.SendReply(reply);
}

void TAgentService::LearnCaption(TAgentBuild& b) const {
    if (!b.Caption.empty() || !b.Owner) {
        return;
    }
    // The title is the build's own: its history file names it from the start, in a
    // file of the build's owner (a file of anyone else is no evidence).
    const double day = 1.0;
    for (const double start : {b.StartTime, b.StartTime + day}) {
        const std::string file =
            monitor::HistoryFilePath(Folder(), monitor::StartDayText(start), b.ID);
        if (platform::FileOwner(file) != b.Owner) {
            continue;
        }
        std::string bytes;
        if (platform::ReadWholeFile(file, bytes, HistoryRecordLimit) !=
            platform::TFileReadResult::Ok) {
            continue;
        }
        try {
            packets::TMemoryStream stream(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
            records::TMetaBuildPacket meta;
            meta.LoadFromStream(stream);
            if (meta.ID == b.ID) {
                b.Caption = meta.Caption;
                return;
            }
        } catch (const std::exception& e) {
            core::Log().Warning("History file of build " + b.ID.ToString() + " unreadable\r\n" +
                                e.what());
        }
    }
}

void TAgentService::BuildActivity(comm::TCommExecuteContext& context) {
    RequireAdministrator(context, "write the build-activity log");
    const auto& info = RequestOf<records::TCoordBuildActivityInfo>(context);
    core::TStringListEx lines;
    info.DumpToStrings(lines);
    const std::string logDir = Folder() + "/Logs";
    platform::ForceDirectories(logDir);
    std::ofstream out(logDir + "/BuildActivity.log", std::ios::app | std::ios::binary);
    const platform::TLocalTime now = platform::LocalTimeNow();
    out << "[" << core::FormatLogTimestamp(now) << "]\r\n";
    for (int i = 0; i < lines.Count(); ++i) {
        out << lines[i] << "\r\n";
    }
    if (!out) {
        core::Raise(core::EGeneralError("Failed to write the build activity log"));
    }
}

void TAgentService::StartBuildCache(comm::TCommExecuteContext& context) {
    RequireAdministrator(context, "start the build-cache service");
    buildCache.Start();
}

void TAgentService::StopBuildCache(comm::TCommExecuteContext& context) {
    RequireAdministrator(context, "stop the build-cache service");
    StopBuildCacheService();
}

void TAgentService::StopBuildCacheService() {
    buildCache.Stop();
}

void TAgentService::WatchBuilds() {
    const std::uint64_t now = platform::GetTickCount64();
    std::erase_if(builds, [&](const std::unique_ptr<TAgentBuild>& b) {
        std::unique_ptr<platform::TMutex> mutex;
        try {
            // The build system holds it as the build's user.
            mutex = platform::TMutex::Open(build::BuildMutexName(b->ID.ToString(), true),
                                           {b->Owner, false, false});
        } catch (const std::exception&) {
            mutex.reset();
        }
        const bool held = mutex && mutex->QueryState() == platform::TMutexState::Owned;
        if (held) {
            b->Claimed = true;
            return false;
        }
        const bool ended = b->Claimed || now - b->Granted > claimTimeout;
        if (ended) {
            core::Log().Line("Build ended: " + b->ID.ToString());
        }
        return ended;
    });
}

} // namespace agent
