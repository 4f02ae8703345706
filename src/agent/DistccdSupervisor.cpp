#include "agent/DistccdSupervisor.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/SharedObjects.h"
#include "platform/SystemInfo.h"
#include "proxy/HelperHosts.h"

#include <algorithm>
#include <chrono>
#include <fstream>

namespace agent {

namespace {

constexpr std::uint32_t FirstRestartDelayMs = 1000;
constexpr std::uint32_t LastRestartDelayMs = 30000;
// A distccd that ran this long counts as healthy: its next restart is quick again.
constexpr std::uint64_t HealthyRunMs = 60000;

std::int64_t CheckedPort(std::int64_t port, const char* name) {
    if (port < 1 || port > 65535) {
        throw core::EGeneralError(std::string("The setting ") + name + " (" +
                                  std::to_string(port) + ") is no port from 1 to 65535");
    }
    return port;
}

// Whom distccd becomes when started by the superuser.
std::string DistccdUser(const std::string& setting) {
    if (!setting.empty()) {
        return setting;
    }
    try {
        platform::ParseUserId("distcc");
        return "distcc";
    } catch (const std::exception&) {
        return "nobody";
    }
}

} // namespace

TDistccdSupervisor::TDistccdSupervisor(const THelperSettings& settings) {
    if (settings.Listen.empty()) {
        throw core::EGeneralError("A helper needs the address distccd listens on (the "
                                  "HelperListen setting); none is set");
    }
    const std::vector<std::string> networks =
        build::ParseAllowedNetworks(settings.Allow, settings.AllowForce);
    const std::int64_t port = CheckedPort(settings.Port, "HelperPort");
    const std::int64_t statsPort = CheckedPort(settings.StatsPort, "HelperStatsPort");
    const std::string logDir =
        platform::ExtractFileDir(core::TDiagnosticLog::DefaultFileName());
    platform::ForceDirectories(logDir);
    logFile = logDir + "/distccd.log";
    arguments = {"distccd",     "--daemon",   "--no-detach", "--listen",
                 settings.Listen, "--port",   std::to_string(port), "--jobs",
                 std::to_string(std::max(1u, platform::UsableCpuCount())), "--log-file",
                 logFile,       "--log-level", "info",       "--stats",
                 "--stats-port", std::to_string(statsPort)};
    for (const std::string& network : networks) {
        arguments.push_back("--allow");
        arguments.push_back(network);
    }
    // distccd opens its log after it has given up the superuser's rights.
    { std::ofstream(logFile, std::ios::app); }
    if (platform::CurrentUserId() == 0) {
        const std::string user = DistccdUser(settings.User);
        arguments.push_back("--user");
        arguments.push_back(user);
        std::string error;
        if (!platform::GiveFileTo(logFile, platform::ParseUserId(user), &error)) {
            throw core::EGeneralError(error);
        }
    }
    thread = std::thread([this] { Run(); });
}

TDistccdSupervisor::~TDistccdSupervisor() {
    {
        const std::lock_guard lock(mutex);
        stopping = true;
        if (child) {
            child->CancelWait();
        }
    }
    wake.notify_all();
    thread.join();
}

unsigned TDistccdSupervisor::Starts() const {
    const std::lock_guard lock(mutex);
    return starts;
}

void TDistccdSupervisor::Run() {
    std::uint32_t delay = FirstRestartDelayMs;
    std::unique_lock lock(mutex);
    while (!stopping) {
        platform::TSpawnOptions options;
        options.Arguments = arguments;
        options.Job = true; // distccd's children go with it, and it dies with the agent
        try {
            child = platform::TChildProcess::Spawn(options);
            ++starts;
            core::Log().Line("distccd started, pid " + std::to_string(child->Id()) + ": " +
                             [this] {
                                 std::string line;
                                 for (const std::string& a : arguments) {
                                     line += (line.empty() ? "" : " ") + a;
                                 }
                                 return line;
                             }());
        } catch (const std::exception& e) {
            core::Log().Warning("distccd cannot start\r\n" + std::string(e.what()));
        }
        const std::uint64_t started = platform::GetTickCount64();
        if (child) {
            platform::TChildProcess& running = *child;
            lock.unlock();
            running.WaitForExit(0xFFFFFFFFu);
            lock.lock();
            if (stopping) {
                break;
            }
            const std::optional<int> status = child->ExitCode();
            child->KillGroup(); // what it left running
            child.reset();
            core::Log().Warning("distccd ended (status " + std::to_string(status.value_or(-1)) +
                                "); it is started again in " + std::to_string(delay) + " ms");
        }
        if (platform::GetTickCount64() - started >= HealthyRunMs) {
            delay = FirstRestartDelayMs;
        }
        wake.wait_for(lock, std::chrono::milliseconds(delay), [this] { return stopping; });
        delay = std::min(delay * 2, LastRestartDelayMs);
    }
    if (child) {
        // The wait was cancelled for good: collect the child by polling.
        const auto collected = [this] {
            for (int i = 0; i < 100; ++i) {
                if (child->ExitCode()) {
                    return true;
                }
                platform::SleepMs(50);
            }
            return false;
        };
        child->TerminateGroup();
        if (!collected()) {
            child->KillGroup();
            collected();
        }
        child.reset();
        core::Log().Line("distccd stopped");
    }
}

} // namespace agent
