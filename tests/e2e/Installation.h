#pragma once
// One private installation of the real programs for a test program: its own bin
// folder with info.dat, agent folder, registry hive, data folder and shared-object
// namespace, so tests never meet an installed agent or each other.
#include "ProcessRunner.h"
#include "core/Guid.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <vector>

namespace e2e {

struct TInstall {
    std::string Root;
    std::string Bin;
    std::string Folder; // the agent folder
    std::string Objects;
    core::TGUID Channel;
};
extern TInstall install;

// Creates the installation named `name` with the given programs in its bin folder
// and `agentPrograms` in the agent folder; points this process's environment at it.
void SetUpInstallation(const std::string& name, const std::vector<std::string>& programs,
                       const std::vector<std::string>& agentPrograms = {});
void TearDownInstallation();

// What a task-level build needs in the agent folder, as "cmake --install" puts it there.
struct TLauncherFiles {
    std::string Launcher;         // morvek-task
    std::string Hook;             // libMorvekHook.so
    std::string Profile;          // the default job profile
    std::string MasqueradeScript; // the install script that makes <Folder>/masq
};
void InstallTaskLauncher(const TLauncherFiles& files);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool Contains(const std::string& text, const std::string& part);

inline std::string Ravelcon() {
    return install.Bin + "/ravelcon";
}

// The agent's settings as the stage script writes them; `extra` adds Agent values.
void WriteRegistry(const std::string& extra = "", int redisPort = 0);

// The installation's agent, running for the lifetime of the object.
class TAgent {
public:
    TAgent();
    ~TAgent() { Stop(SIGTERM); }
    // The exit status (128 + signal when killed).
    int Stop(int signal);
    pid_t Pid() const { return pid; }

private:
    pid_t pid = -1;
    int status = -1;
};

} // namespace e2e
