#include "agent/BuildCacheService.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/ListeningProcess.h"
#include "platform/Network.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Random.h"
#include "platform/SharedObjects.h"
#include "proxy/BuildCacheSettings.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace agent {

namespace {

namespace fs = std::filesystem;
constexpr std::size_t PasswordBytes = 32;
constexpr std::uint32_t ProbePauseMs = 50;

std::string NewPassword() {
    unsigned char bytes[PasswordBytes];
    std::string error;
    if (!platform::RandomBytes(bytes, sizeof bytes, nullptr, &error)) {
        core::Raise(
            core::EGeneralError("Cannot make the build-cache service's password: " + error));
    }
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) {
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

// A value of Redis's configuration syntax.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

TBuildCacheService::TBuildCacheService() = default;

TBuildCacheService::~TBuildCacheService() {
    Stop();
}

bool TBuildCacheService::Configured() {
    try {
        return build::TBuildCacheSettings::Load().DatabasePort > 0;
    } catch (const std::exception&) {
        return false;
    }
}

void TBuildCacheService::Start() {
    wanted = true;
    failedStarts = 0;
    nextRestart = 0;
    if (Running()) {
        return;
    }
    Launch();
}

void TBuildCacheService::Launch() {
    if (password.empty()) {
        password = NewPassword();
    }
    const build::TBuildCacheSettings settings = build::TBuildCacheSettings::Load();
    if (settings.DatabasePort <= 0 || settings.DatabasePort > 65535) {
        core::Raise(core::EGeneralError("The build-cache service has no valid port (" +
                                        std::to_string(settings.DatabasePort) + ")"));
    }
    platform::ForceDirectories(settings.DatabaseLocation);
    cacheFolder = settings.CacheDirectory;
    databaseFolder = settings.DatabaseLocation;
    const std::string program =
        platform::FindProgram("redis-server", "/usr/local/bin:/usr/bin:/bin");
    if (program.empty()) {
        core::Raise(core::EGeneralError("The build-cache service cannot start: redis-server is not "
                                        "installed"));
    }
    const std::string config =
        "bind 127.0.0.1\n"
        "protected-mode yes\n"
        "port " +
        std::to_string(settings.DatabasePort) +
        "\n"
        "dir " +
        Quoted(settings.DatabaseLocation) +
        "\n"
        "dbfilename buildcache.rdb\n"
        "logfile " +
        Quoted(platform::IncludeTrailingDelimiter(build::BuildCacheFolder()) +
               "buildcache_service.log") +
        "\n"
        "daemonize no\n"
        "requirepass " +
        password + "\n";
    std::unique_ptr<platform::TPipeEnd> readEnd;
    std::unique_ptr<platform::TPipeEnd> writeEnd;
    platform::TPipeEnd::CreatePipe(readEnd, writeEnd);
    // The whole configuration waits in the pipe (far below its capacity) and the writing
    // end is closed before the start, so that no process holds it and Redis reads to
    // its end.
    const bool written = writeEnd->Write(config);
    writeEnd.reset();
    platform::TSpawnOptions options;
    // "-": the configuration comes on standard input.
    options.Arguments = {program, "-"};
    options.Job = true;
    options.StdIn = readEnd.get();
    process = platform::TChildProcess::Spawn(options);
    readEnd.reset();
    port = static_cast<std::int32_t>(settings.DatabasePort);
    const auto giveUp =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ReadyTimeoutMs);
    std::string error;
    bool ready = false;
    while (written && !process->WaitForExit(0) && std::chrono::steady_clock::now() < giveUp) {
        // Only our own process may be the one listening: the password goes to no one else.
        if (platform::ProcessListensOnLoopback(process->Id(), static_cast<std::uint16_t>(port)) &&
            platform::TcpProbe("127.0.0.1", static_cast<std::uint16_t>(port), 500, error)) {
            ready = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ProbePauseMs));
    }
    if (!ready) {
        process->Kill();
        process->WaitForExit(10000);
        process.reset();
        port = 0;
        Failed();
        // Our Redis is gone: whoever still answers there holds the port.
        const bool taken = platform::TcpProbe(
            "127.0.0.1", static_cast<std::uint16_t>(settings.DatabasePort), 500, error);
        core::Raise(
            core::EGeneralError("The build-cache service did not start on 127.0.0.1:" +
                                std::to_string(settings.DatabasePort) +
                                (taken ? ": the port is in use by another process; choose another "
                                         "localRedisInstance.port"
                                       : "") +
                                " (see " + build::BuildCacheFolder() + "/buildcache_service.log)"));
    }
    startedAt = platform::GetTickCount64();
    std::ofstream(build::BuildCachePidFile()) << process->Id() << "\n";
    core::Log().Line("Build cache service started, pid " + std::to_string(process->Id()) +
                     ", port " + std::to_string(port));
}

void TBuildCacheService::Stop() {
    wanted = false;
    if (!process) {
        return;
    }
    process->Kill();
    process->WaitForExit(10000);
    process.reset();
    port = 0;
    std::error_code ec;
    fs::remove(build::BuildCachePidFile(), ec);
    core::Log().Line("Build cache service stopped");
}

void TBuildCacheService::Failed() {
    ++failedStarts;
    nextRestart = platform::GetTickCount64() + (FirstRestartPauseMs << (failedStarts - 1));
}

void TBuildCacheService::Watch() {
    if (!wanted || Running() || failedStarts >= MaxRestarts) {
        return;
    }
    if (process) {
        const bool early = platform::GetTickCount64() - startedAt < StableRunMs;
        if (early) {
            Failed();
        } else {
            failedStarts = 0;
            nextRestart = 0;
        }
        core::Log().Warning("Build cache service ended (exit status " +
                            std::to_string(process->ExitCode().value_or(-1)) + ")" +
                            (early ? " soon after its start" : "") +
                            (failedStarts >= MaxRestarts
                                 ? "; it is not started again until the agent is told to start it"
                                 : "; restarting it"));
        process.reset();
        port = 0;
    }
    if (failedStarts >= MaxRestarts || platform::GetTickCount64() < nextRestart) {
        return;
    }
    try {
        Launch();
    } catch (const std::exception& e) {
        core::Log().Warning(std::string("Build cache service restart failed\r\n") + e.what() +
                            (failedStarts >= MaxRestarts
                                 ? "\r\nIt is not started again until the agent is told to "
                                   "start it."
                                 : ""));
    }
}

bool TBuildCacheService::Running() {
    return process && !process->WaitForExit(0);
}

std::int32_t TBuildCacheService::Port() {
    return Running() ? port : 0;
}

std::optional<std::uint32_t> TBuildCacheService::Pid() {
    return Running() ? std::optional<std::uint32_t>(process->Id()) : std::nullopt;
}

bool MayUseBuildCache(const std::string& allowedUsers, std::uint32_t user) {
    std::size_t at = 0;
    bool any = false;
    while (at < allowedUsers.size()) {
        const std::size_t end = allowedUsers.find_first_of(", \t", at);
        const std::string name =
            allowedUsers.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? allowedUsers.size() : end + 1;
        if (name.empty()) {
            continue;
        }
        any = true;
        try {
            if (platform::ParseUserId(name) == user) {
                return true;
            }
        } catch (const std::exception&) {
            // An unknown name allows nobody.
        }
    }
    return !any;
}

} // namespace agent
