#pragma once
// Helpers for tests that need real child processes and private object and
// registry folders. A test program re-runs itself as a child: the child's first
// arguments are "--ravel-child ACTION", and a static registration in the test
// file runs the action before GoogleTest starts.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace testing_support {

using TChildAction = std::function<int(const std::vector<std::string>& args)>;

inline std::vector<std::string> OwnArguments() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::vector<std::string> args;
    std::string arg;
    while (std::getline(in, arg, '\0')) {
        args.push_back(arg);
    }
    return args;
}

// Runs the requested child action, if it is one of `actions`, and ends the process.
inline bool RegisterChildActions(const std::map<std::string, TChildAction>& actions) {
    const std::vector<std::string> args = OwnArguments();
    if (args.size() < 3 || args[1] != "--ravel-child") {
        return false;
    }
    const auto it = actions.find(args[2]);
    if (it == actions.end()) {
        return false;
    }
    int code = 99;
    try {
        code = it->second(std::vector<std::string>(args.begin() + 3, args.end()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "child action failed: %s\n", e.what());
        code = 98;
    } catch (...) {
        code = 98;
    }
    std::fflush(nullptr);
    ::_exit(code);
}

// Starts this test program as a child running `action`.
inline pid_t SpawnChild(const std::string& action, const std::vector<std::string>& args = {}) {
    std::vector<std::string> all{"/proc/self/exe", "--ravel-child", action};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ);
    EXPECT_EQ(rc, 0);
    return pid;
}

// The child's exit code, or 128 + signal number.
inline int WaitChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

// True once the process has ended: gone, or a zombie that nobody has collected yet
// (an orphan's new parent may never collect it).
inline bool ProcessEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return true;
    }
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// Waits (up to a generous limit) until the process has ended.
inline bool WaitProcessEnded(pid_t pid) {
    for (int i = 0; i < 1000 && !ProcessEnded(pid); ++i) {
        ::usleep(10000);
    }
    return ProcessEnded(pid);
}

// A private temporary folder, removed at the end.
class TTempDir {
public:
    explicit TTempDir(const char* base = "/tmp") {
        std::string pattern = std::string(base) + "/ravel-test-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        path = pattern;
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    const std::string& Path() const { return path; }

private:
    std::string path;
};

// Points an environment variable at a value for the life of the object.
class TScopedEnv {
public:
    TScopedEnv(const char* name, const std::string& value) : name(name) {
        if (const char* old = std::getenv(name)) {
            previous = old;
            hadPrevious = true;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~TScopedEnv() {
        if (hadPrevious) {
            ::setenv(name, previous.c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

private:
    const char* name;
    std::string previous;
    bool hadPrevious = false;
};

// Object files (not folders, not directory locks) left below a namespace root.
inline std::vector<std::string> LeftoverObjects(const std::string& root) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root, ec)) {
        if (entry.is_regular_file() && entry.path().filename() != ".lock") {
            files.push_back(entry.path().string());
        }
    }
    return files;
}

// A private namespace root; the test fails when objects are left behind.
class TObjectsDirFixture : public ::testing::Test {
protected:
    TObjectsDirFixture() : dir("/dev/shm"), env("TAVRIX_OBJECTS_DIR", dir.Path()) {}
    // Checked after the derived fixture's members (which may hold objects) are gone.
    ~TObjectsDirFixture() override {
        EXPECT_TRUE(LeftoverObjects(dir.Path()).empty())
            << "left behind: " << ::testing::PrintToString(LeftoverObjects(dir.Path()));
    }
    TTempDir dir;
    TScopedEnv env;
};

} // namespace testing_support
