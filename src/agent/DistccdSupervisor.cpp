#include "agent/DistccdSupervisor.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/ProcessTree.h"
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
// How often the process groups below distccd are noted.
constexpr std::uint32_t GroupScanMs = 1000;

std::int64_t CheckedPort(std::int64_t port, const char* name) {
    if (port < 1 || port > 65535) {
        core::Raise(core::EGeneralError(std::string("The setting ") + name + " (" +
                                        std::to_string(port) + ") is no port from 1 to 65535"));
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
        core::Raise(core::EGeneralError("A helper needs the address distccd listens on (the "
                                        "HelperListen setting); none is set"));
    }
    const std::vector<std::string> networks =
        build::ParseAllowedNetworks(settings.Allow, settings.AllowForce);
    const std::int64_t port = CheckedPort(settings.Port, "HelperPort");
    const std::int64_t statsPort = CheckedPort(settings.StatsPort, "HelperStatsPort");
    const std::string logDir = platform::ExtractFileDir(core::TDiagnosticLog::DefaultFileName());
    platform::ForceDirectories(logDir);
    logFile = logDir + "/distccd.log";
    arguments = {"distccd",
                 "--daemon",
                 "--no-detach",
                 "--listen",
                 settings.Listen,
                 "--port",
                 std::to_string(port),
                 "--jobs",
                 std::to_string(std::max(1u, platform::UsableCpuCount())),
                 "--log-file",
                 logFile,
                 "--log-level",
                 "info",
                 "--stats",
                 "--stats-port",
                 std::to_string(statsPort)};
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
            core::Raise(core::EGeneralError(error));
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
        options.Job = true; // its own process group, and it dies with the agent
        try {
            child = platform::TChildProcess::Spawn(options);
            ++starts;
            std::string line;
            for (const std::string& a : arguments) {
                line += (line.empty() ? "" : " ") + a;
            }
            core::Log().Line("distccd started, pid " + std::to_string(child->Id()) + ": " + line);
        } catch (const std::exception& e) {
            core::Log().Warning("distccd cannot start\r\n" + std::string(e.what()));
        }
        const std::uint64_t started = platform::GetTickCount64();
        if (child) {
            // distccd moves its workers into a process group of their own: the groups
            // below it are noted while it runs, so that none outlives it.
            std::set<std::uint32_t> groups{child->Id()};
            platform::TChildProcess& running = *child;
            lock.unlock();
            bool ended = false;
            while (!ended && !Stopping()) {
                const std::set<std::uint32_t> below = platform::ProcessGroupsBelow(running.Id());
                groups.insert(below.begin(), below.end());
                ended = running.WaitForExit(GroupScanMs);
            }
            lock.lock();
            if (stopping) {
                EndAll(groups);
                break;
            }
            const std::optional<int> status = child->ExitCode();
            for (const std::uint32_t group : groups) {
                platform::SignalProcessGroup(group, true);
            }
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
}

bool TDistccdSupervisor::Stopping() const {
    const std::lock_guard lock(mutex);
    return stopping;
}

void TDistccdSupervisor::EndAll(std::set<std::uint32_t> groups) {
    // distccd still runs: what it made since the last look counts too.
    const std::set<std::uint32_t> below = platform::ProcessGroupsBelow(child->Id());
    groups.insert(below.begin(), below.end());
    // The wait was cancelled for good: the child is collected by polling.
    const auto collected = [this] {
        for (int i = 0; i < 100; ++i) {
            if (child->ExitCode()) {
                return true;
            }
            platform::SleepMs(50);
        }
        return false;
    };
    for (const std::uint32_t group : groups) {
        platform::SignalProcessGroup(group, false);
    }
    if (!collected()) {
        child->KillGroup();
        collected();
    }
    for (const std::uint32_t group : groups) {
        platform::SignalProcessGroup(group, true); // what did not end when asked
    }
    child.reset();
    core::Log().Line("distccd stopped");
}

} // namespace agent
