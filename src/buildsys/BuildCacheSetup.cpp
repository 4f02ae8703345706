#include "buildsys/BuildCacheSetup.h"

#include <algorithm>

#include "platform/Files.h"
#include "platform/LocalSocket.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/SharedObjects.h"
#include "proxy/AgentSettings.h"
#include "proxy/BuildCacheSettings.h"
#include "records/BuildCacheProfile.h"

namespace buildsys {

namespace {

// "cache-" + 32 hex digits of the build ID
constexpr std::size_t LogFolderRoom = 6 + 32 + 16;

// The server of cluster `name` in the agent setting BuildCacheClusters
// ("name=host:port;name=host:port"); empty when it names none.
std::string ClusterServer(const std::string& name) {
    std::string clusters;
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      build::AgentSettingsKey() + "\\Agent");
        clusters = key ? key->ReadString("BuildCacheClusters").value_or("") : "";
    } catch (const std::exception&) {
        return "";
    }
    std::size_t at = 0;
    while (at < clusters.size()) {
        const std::size_t end = std::min(clusters.find(';', at), clusters.size());
        const std::string entry = clusters.substr(at, end - at);
        at = end + 1;
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos && entry.substr(0, equals) == name) {
            return entry.substr(equals + 1);
        }
    }
    return "";
}

} // namespace

std::string RedisStorageUrl(const std::string& hostPort, const std::string& password) {
    return "redis://" + (password.empty() ? std::string() : "default:" + password + "@") +
           hostPort + "|connect-timeout=" + std::to_string(RedisConnectTimeoutMs) +
           "|operation-timeout=" + std::to_string(RedisOperationTimeoutMs);
}

TBuildCacheSetup MakeBuildCacheSetup(const records::TBuildCommandPacket& request,
                                     const TBuildCacheAccess& access, bool byDefault,
                                     const std::string& agentFolder, const std::string& buildID,
                                     const std::string& baseDir, const std::string& searchPath,
                                     std::vector<std::string>& problems) {
    TBuildCacheSetup setup;
    if (!request.HasFlag(records::TBuildFlag::BuildAvoidanceCache) && !byDefault) {
        return setup;
    }
    auto profile = std::make_shared<records::TBuildCacheProfileDocument>();
    records::LoadBuildCacheProfile(records::DefaultBuildCacheProfilePath(agentFolder),
                                   request.BuildCacheProfile, *profile);
    setup.Profile = std::move(profile);
    const std::string off = "The build runs without the build cache: ";
    setup.Ccache = platform::FindProgram("ccache", searchPath);
    if (setup.Ccache.empty()) {
        problems.push_back(off + "ccache is not installed (not found on PATH).");
        return setup;
    }
    std::string cacheDirectory;
    try {
        cacheDirectory = build::TBuildCacheSettings::Load().CacheDirectory;
    } catch (const std::exception& e) {
        problems.push_back(off + "its settings cannot be read. " + e.what());
        return setup;
    }
    // FileCache holds one private store per user.
    const std::string fileCache = platform::IncludeTrailingDelimiter(cacheDirectory) + "FileCache";
    setup.LocalStore = fileCache + "/u" + std::to_string(platform::CurrentUserId());
    std::string error;
    if (!platform::ForceDirectories(cacheDirectory) ||
        !platform::EnsureSharedDirectory(fileCache, &error) ||
        !platform::EnsurePrivateDirectory(setup.LocalStore, &error)) {
        problems.push_back(off + "the store " + setup.LocalStore + " is not usable. " + error);
        return setup;
    }
    setup.TaskInfoFile = setup.LocalStore + "/TaskExtraInfo.db";
    std::string hex;
    for (const char c : buildID) {
        if (std::isxdigit(static_cast<unsigned char>(c)) && hex.size() < 32) {
            hex.push_back(c);
        }
    }
    setup.LogFolder = platform::PrivateRuntimeFolder(LogFolderRoom) + "/cache-" + hex;
    if (!platform::EnsurePrivateDirectory(setup.LogFolder, &error)) {
        problems.push_back(off + "the folder " + setup.LogFolder + " is not usable. " + error);
        return setup;
    }
    // A server the request names gets the password of the agent's settings when it is
    // their shared server.
    const auto named = [&access](const std::string& server) {
        return RedisStorageUrl(server, server == access.SharedServer ? access.SharedPassword : "");
    };
    if (!request.RemoteBuildCacheServer.empty() && !request.UseBuildCacheCluster) {
        setup.SharedUrl = named(request.RemoteBuildCacheServer);
    } else if (request.UseBuildCacheCluster) {
        const std::string server = ClusterServer(request.RemoteBuildCacheServer);
        if (server.empty()) {
            problems.push_back("The build cache cluster \"" + request.RemoteBuildCacheServer +
                               "\" is not in the agent setting BuildCacheClusters: only the "
                               "local store is used.");
        } else {
            setup.SharedUrl = named(server);
        }
    } else {
        // The local service answers first; the shared server of the settings serves what
        // it does not have and gets every new result too.
        std::vector<std::string> levels;
        if (request.UseLocalBuildCache && access.Port > 0) {
            levels.push_back(
                RedisStorageUrl("127.0.0.1:" + std::to_string(access.Port), access.Password));
        }
        if (!access.SharedServer.empty()) {
            levels.push_back(RedisStorageUrl(access.SharedServer, access.SharedPassword));
        }
        for (const std::string& level : levels) {
            setup.SharedUrl += (setup.SharedUrl.empty() ? "" : " ") + level;
        }
    }
    setup.ReadOnly = request.BuildCacheReadOnly;
    setup.BaseDir = baseDir;
    setup.Enabled = true;
    return setup;
}

} // namespace buildsys
