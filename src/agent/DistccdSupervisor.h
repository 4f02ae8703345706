#pragma once
// Helper mode: the agent runs distccd as its child, listening only on the configured
// address and port, admitting only the configured networks, one job per usable core,
// its log in the agent's log folder. A distccd that dies is started again (after a
// pause that grows while it keeps dying); it ends with the supervisor.
#include "agent/HelperSettings.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class TChildProcess;
}

namespace agent {

class TDistccdSupervisor {
public:
    // Raises core::EGeneralError naming what is wrong with the settings (no listen
    // address, a port out of range, networks that are missing, bad or admit everyone).
    explicit TDistccdSupervisor(const THelperSettings& settings);
    ~TDistccdSupervisor();
    TDistccdSupervisor(const TDistccdSupervisor&) = delete;
    TDistccdSupervisor& operator=(const TDistccdSupervisor&) = delete;

    // distccd's command line.
    const std::vector<std::string>& Arguments() const { return arguments; }
    const std::string& LogFile() const { return logFile; }
    // How many times distccd was started.
    unsigned Starts() const;

private:
    void Run();
    bool Stopping() const;
    // Ends distccd and every process group it made (under the lock).
    void EndAll(std::set<std::uint32_t> groups);

    std::vector<std::string> arguments;
    std::string logFile;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    unsigned starts = 0;
    std::unique_ptr<platform::TChildProcess> child;
    std::thread thread;
};

} // namespace agent
