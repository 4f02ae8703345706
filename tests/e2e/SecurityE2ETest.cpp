// The agent and builds against processes that are killed and against a second
// local user, through the real programs of a private installation. The cases with
// a second user run as the superuser and act as "nobody"; they are skipped otherwise.
#include "Installation.h"
#include "ProcessRunner.h"

#include "../platform/TestProcess.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <grp.h>
#include <random>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

constexpr uid_t Nobody = 65534;

bool Eventually(const std::function<bool()>& condition, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

// Every object file below the installation's namespace root.
std::set<std::string> ObjectFiles() {
    std::set<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(install.Objects, ec)) {
        if (entry.is_regular_file(ec)) {
            files.insert(entry.path().string());
        }
    }
    return files;
}

std::set<std::string> Added(const std::set<std::string>& before) {
    std::set<std::string> added;
    for (const std::string& file : ObjectFiles()) {
        if (!before.contains(file)) {
            added.insert(file);
        }
    }
    return added;
}

// The processes below `pid` (children, their children, ...).
std::set<int> Descendants(int pid) {
    std::map<int, std::vector<int>> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = ReadFile(entry.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 1));
        std::string state;
        int parent = 0;
        fields >> state >> parent;
        children[parent].push_back(std::stoi(name));
    }
    std::set<int> found;
    std::vector<int> open{pid};
    while (!open.empty()) {
        const int next = open.back();
        open.pop_back();
        for (const int child : children[next]) {
            if (found.insert(child).second) {
                open.push_back(child);
            }
        }
    }
    return found;
}

bool AllEnded(const std::set<int>& pids) {
    for (const int pid : pids) {
        if (!testing_support::ProcessEnded(pid)) {
            return false;
        }
    }
    return true;
}

bool BecomeNobody() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(Nobody, Nobody, Nobody) == 0 &&
           ::setresuid(Nobody, Nobody, Nobody) == 0;
}

// Writes random bytes over every object file of the namespace that this process
// can open, until `seconds` have passed.
void ScribbleOverEveryObject(int seconds) {
    std::mt19937 random(static_cast<unsigned>(::getpid()));
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        std::vector<std::string> folders{install.Objects};
        for (std::size_t f = 0; f < folders.size(); ++f) {
            DIR* dir = ::opendir(folders[f].c_str());
            if (dir == nullptr) {
                continue;
            }
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name == "." || name == "..") {
                    continue;
                }
                const std::string path = folders[f] + "/" + name;
                struct stat st {};
                if (::lstat(path.c_str(), &st) != 0) {
                    continue;
                }
                if (S_ISDIR(st.st_mode)) {
                    folders.push_back(path);
                    continue;
                }
                const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
                if (fd < 0 || !S_ISREG(st.st_mode) || st.st_size == 0) {
                    if (fd >= 0) {
                        ::close(fd);
                    }
                    continue;
                }
                const auto size = static_cast<std::size_t>(st.st_size);
                void* map = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
                ::close(fd);
                if (map == MAP_FAILED) {
                    continue;
                }
                auto* bytes = static_cast<std::uint8_t*>(map);
                for (int n = 0; n < 64; ++n) {
                    const std::size_t at = random() % size;
                    const std::size_t length = std::min<std::size_t>(1 + random() % 16, size - at);
                    for (std::size_t i = 0; i < length; ++i) {
                        bytes[at + i] = static_cast<std::uint8_t>(random());
                    }
                }
                ::munmap(map, size);
            }
            ::closedir(dir);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class SecurityE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetUpInstallation("security-e2e", {RAVELCON_BINARY, AGENT_BINARY}, {VARIDADEZIZ_BINARY});
    }
    static void TearDownTestSuite() { TearDownInstallation(); }
    void SetUp() override { WriteRegistry("\"MaxConcurrentBuilds\"=dword:00000002\r\n"); }

    static TRunningProgram StartBuild(const std::string& command) {
        return StartProgram(Ravelcon(), {"/nologo", "/COMMAND=" + command});
    }
    // Waits until the build's command runs below the console.
    static bool Started(const TRunningProgram& running) {
        return Eventually([&] { return Descendants(running.Pid).size() >= 2; }, 15000);
    }
};

} // namespace

TEST_F(SecurityE2E, ConsoleKilledMidBuildLeavesNoObjectsAndNoProcesses) {
    TAgent agent;
    const std::set<std::string> before = ObjectFiles();
    const TRunningProgram running = StartBuild("sleep 30; echo done");
    ASSERT_TRUE(Started(running));
    ASSERT_FALSE(Added(before).empty()) << "the build made no objects";
    const std::set<int> build = Descendants(running.Pid);
    ::kill(running.Pid, SIGKILL);
    FinishProgram(running);
    EXPECT_TRUE(Eventually([&] { return AllEnded(build); }, 15000))
        << "a process of the build still runs";
    EXPECT_TRUE(Eventually([&] { return Added(before).empty(); }, 15000))
        << "left behind: " << ::testing::PrintToString(Added(before));
}

TEST_F(SecurityE2E, AgentKilledDuringABuildStartsAgainAtOnce) {
    auto first = std::make_unique<TAgent>();
    const TRunningProgram running = StartBuild("sleep 3; echo done");
    ASSERT_TRUE(Started(running));
    first->Stop(SIGKILL);
    // A service manager restarts it while the console of the old one still runs.
    TAgent second;
    // The old agent's control block still says "ready" until the new one has taken the
    // channel over: ask until it answers (bounded).
    TProcessResult list;
    for (int attempt = 0; attempt < 50; ++attempt) {
        list = RunProgram(Ravelcon(), {"/nologo", "/LIST"});
        if (list.ExitCode == 0 || testing_support::ProcessEnded(second.Pid())) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_EQ(list.ExitCode, 0) << list.Out << list.Err;
    EXPECT_FALSE(testing_support::ProcessEnded(second.Pid())) << "the new agent ended";
    FinishProgram(running);
    const TProcessResult build = RunProgram(Ravelcon(), {"/nologo", "/COMMAND=echo again"});
    EXPECT_EQ(build.Out, "again\r\n") << build.Err;
    EXPECT_EQ(build.ExitCode, 0);
}

TEST_F(SecurityE2E, AnotherUserListsBuildsThroughTheAgent) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to act as a second user (nobody)";
    }
    TAgent agent;
    const TProcessResult list =
        RunProgram("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                        Ravelcon(), "/nologo", "/LIST"});
    EXPECT_EQ(list.ExitCode, 0) << list.Out << list.Err;
    // Whatever objects it made live in its own folder, which only it may enter.
    for (const std::string& file : ObjectFiles()) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0 || st.st_uid != Nobody) {
            continue;
        }
        const std::string folder = fs::path(file).parent_path().string();
        EXPECT_EQ(folder, install.Objects + "/u65534") << file;
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, Nobody);
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
}

TEST_F(SecurityE2E, AgentSurvivesAnotherUserScribblingOverEveryObjectItCanOpen) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs the superuser to act as a second user (nobody)";
    }
    const char* setting = std::getenv("RAVEL_SOAK_SECONDS");
    const int seconds = setting != nullptr ? std::atoi(setting) : 30;
    TAgent agent;
    ASSERT_EQ(RunProgram(Ravelcon(), {"/nologo", "/LIST"}).ExitCode, 0);
    const pid_t scribbler = ::fork();
    ASSERT_GE(scribbler, 0);
    if (scribbler == 0) {
        if (!BecomeNobody()) {
            ::_exit(3);
        }
        ScribbleOverEveryObject(seconds);
        ::_exit(0);
    }
    ASSERT_EQ(testing_support::WaitChild(scribbler), 0);
    const auto stopped = std::chrono::steady_clock::now();
    const TProcessResult list = RunProgram(Ravelcon(), {"/nologo", "/LIST"});
    const auto took = std::chrono::steady_clock::now() - stopped;
    EXPECT_EQ(list.ExitCode, 0) << list.Out << list.Err;
    EXPECT_FALSE(testing_support::ProcessEnded(agent.Pid())) << "the agent ended";
    std::printf(
        "status answered %lld ms after %d s of scribbling\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        seconds);
    const TProcessResult build = RunProgram(Ravelcon(), {"/nologo", "/COMMAND=echo after"});
    EXPECT_EQ(build.Out, "after\r\n") << build.Err;
}
