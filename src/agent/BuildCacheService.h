#pragma once
// The agent's build-cache service: the local Redis instance of the build-cache
// configuration, the shared level of every allowed user's compiler cache. It listens
// on 127.0.0.1 only, at localRedisInstance.port, keeps its data (*.rdb) in dbLocation
// and is protected by a password the agent generates once and hands only to builds of
// users allowed to use it. The password reaches Redis through its standard input,
// never a command line or a file. A service that dies is started again.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace platform {
class TChildProcess;
} // namespace platform

namespace agent {

class TBuildCacheService {
public:
    // Starts in a row that fail before it is given up until the next Start.
    static constexpr int MaxRestarts = 5;
    // The pause before a restart after a failed start, doubled by each further failure.
    static constexpr std::uint64_t FirstRestartPauseMs = 2000;
    // A service that ends sooner after its start counts as a failed start.
    static constexpr std::uint64_t StableRunMs = 30000;
    // How long a start waits for the service to accept connections.
    static constexpr std::uint32_t ReadyTimeoutMs = 10000;

    TBuildCacheService();
    ~TBuildCacheService();
    TBuildCacheService(const TBuildCacheService&) = delete;
    TBuildCacheService& operator=(const TBuildCacheService&) = delete;

    // Whether the configuration asks for the service (a port is configured).
    static bool Configured();
    // Starts it from the configuration (nothing when it runs); raises when it cannot.
    void Start();
    // Ends it; it stays stopped until Start.
    void Stop();
    // Starts it again when it died while it should run.
    void Watch();
    bool Running();
    // The port while it runs, else 0.
    std::int32_t Port();
    const std::string& Password() const { return password; }
    // The folders of the configuration it was last started with (empty before).
    const std::string& CacheFolder() const { return cacheFolder; }
    const std::string& DatabaseFolder() const { return databaseFolder; }
    std::optional<std::uint32_t> Pid();

private:
    void Launch();
    // Counts a failed start and puts the next one off.
    void Failed();

    std::unique_ptr<platform::TChildProcess> process;
    std::string password;
    std::string cacheFolder;
    std::string databaseFolder;
    std::int32_t port = 0;
    bool wanted = false;
    int failedStarts = 0;
    std::uint64_t startedAt = 0;   // ticks of the last good start
    std::uint64_t nextRestart = 0; // no restart before these ticks
};

// Whether `user` may use the build cache: the agent setting BuildCacheUsers lists user
// names or IDs (separated by commas or blanks); no or an empty setting allows everyone.
bool MayUseBuildCache(const std::string& allowedUsers, std::uint32_t user);

} // namespace agent
