#pragma once
// The build-cache service configuration ("buildcache_service_config.json"): the
// agent's default file under <Folder>/resources, with the user file in the
// build-cache folder merged over it, and the cleaning of the cache's data.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace build {

// The machine's common data folder: $TAVRIX_DATA_DIR (default /var/lib/tavrix),
// created when missing; failing that $XDG_DATA_HOME (or ~/.local/share), then
// $XDG_CONFIG_HOME.
std::string CommonDataFolder();
// <common data>/Morvek/BuildCache
std::string BuildCacheFolder();
// The agent's installation folder ("Builder\Folder"), or empty.
std::string AgentFolder();

enum TBuildCacheState : int {
    bcsUnknown = 0,
    bcsNotInstalled = 1,
    bcsRunning = 2,
    bcsStopped = 3,
};

// The service's pid file, kept by the agent that runs it.
std::string BuildCachePidFile();
// The service state from the default configuration (installed) and the pid file.
TBuildCacheState QueryBuildCacheState();

class TBuildCacheSettings {
public:
    // Reads the default file of the agent folder and merges the user file over it.
    static TBuildCacheSettings Load();
    // The same from texts (an empty user text means no user file).
    static TBuildCacheSettings FromText(std::string_view defaultText, std::string_view userText,
                                        std::string_view defaultName = "default");

    std::int64_t ServicePort = 0;
    std::string GridId;
    bool UseTls = false;
    std::string TlsCnPattern;
    std::string Compression;
    std::int64_t DatabasePort = 0;
    std::string DatabaseLocation; // the build-cache folder when not configured
    std::string DatabaseLocationUser;
    std::string CacheDirectory; // the build-cache folder when not configured
    std::string RemoteUser;
    std::int64_t MaxCacheSize = 0;

    std::string TaskInfoDatabase() const;
};

// Removes the cache's data. Never raises: the result tells success, failures go to
// the diagnostic log, and `out` receives the lines meant for standard output.
bool ClearBuildCacheData(const std::function<void(std::string_view)>& out);

} // namespace build
