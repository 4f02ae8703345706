#pragma once
// What a build's request, the agent's grant and the machine's build-cache settings
// make of the build cache for this build.
#include "buildsys/CacheEngine.h"
#include "records/BuildPackets.h"

#include <cstdint>
#include <string>
#include <vector>

namespace buildsys {

// The agent's local build-cache service, as its grant of the build's slot names it
// (no port: the service is not running or this user may not use it).
struct TBuildCacheAccess {
    std::int32_t Port = 0;
    std::string Password;
    // The shared server of the agent's settings (host:port; empty: none) and its password.
    std::string SharedServer;
    std::string SharedPassword;
};

// ccache's URL of a Redis server; `password` empty for none.
// How long ccache waits for a Redis level to connect and to answer one command: a
// server that hangs costs each task this much, not ccache's default of 10 s.
constexpr int RedisConnectTimeoutMs = 250;
constexpr int RedisOperationTimeoutMs = 1000;
std::string RedisStorageUrl(const std::string& hostPort, const std::string& password);

// The setup for a build whose request is `request`, run in `baseDir`, with tools found
// on `searchPath`. `byDefault`: the agent's setting turns the cache on for every build.
// Reasons the cache stays off although asked for go to `problems`; a build cache
// profile that cannot be read raises (the request names a file that is not usable).
TBuildCacheSetup MakeBuildCacheSetup(const records::TBuildCommandPacket& request,
                                     const TBuildCacheAccess& access, bool byDefault,
                                     const std::string& agentFolder, const std::string& buildID,
                                     const std::string& baseDir, const std::string& searchPath,
                                     std::vector<std::string>& problems);

} // namespace buildsys
