#pragma once
// A shared build-cache server of the agent's settings: a Redis server that several
// machines use as their compiler cache's second level. BuildCacheSharedServer names it
// ("host:port"), BuildCacheSharedPasswordFile a file that only the agent's account can
// change, holding its password (the first line). The agent hands both to builds of users
// allowed to use the cache, as it does with its local service.
#include <string>

namespace build {

struct TSharedCacheServer {
    std::string Server; // host:port; empty: none
    std::string Password;
};

// The server of the two settings; raises core::EGeneralError naming the setting or file
// that is not usable (a malformed address, a password file another user could change,
// a password that does not fit into the cache's storage address).
TSharedCacheServer ReadSharedCacheServer(const std::string& server,
                                         const std::string& passwordFile);

// Checks the two texts themselves; the same errors.
TSharedCacheServer ParseSharedCacheServer(const std::string& server,
                                          const std::string& passwordText);

} // namespace build
