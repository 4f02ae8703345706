#include "platform/ToolProcess.h"

#include "platform/LocalSocket.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

namespace {

// The running tool; negative: the ID of its own process group.
std::atomic<pid_t> runningTool{0};

void PassOn(int signal) {
    const pid_t pid = runningTool.load();
    if (pid != 0) {
        ::kill(pid, signal);
    }
}

// How long a stopped tool may take to end before its group is killed.
constexpr int StopGraceMs = 2000;

constexpr int PassedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

std::vector<char*> Pointers(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
    for (std::string& w : words) {
        pointers.push_back(w.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// True when both descriptors are open on one file (`2>&1`, one terminal, one pipe).
bool SameFile(int a, int b) {
    struct stat first {};
    struct stat second {};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

// A pipe whose ends lie above the standard streams, close-on-exec.
bool MakePipe(int ends[2]) {
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (ends[i] <= 2) {
            const int moved = ::fcntl(ends[i], F_DUPFD_CLOEXEC, 3);
            ::close(ends[i]);
            ends[i] = moved;
        }
    }
    return ends[0] >= 0 && ends[1] >= 0;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

TToolExit RunTool(const std::string& program, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env, const TToolOutputSink& sink,
                  const TToolWatch* watch) {
    TToolExit result;
    std::vector<std::string> args = argv;
    std::vector<std::string> envWords = env;
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(envWords);

    // Pipes for the open ones of this process's output streams. Streams that go to one
    // file share one pipe, so that the bytes keep the order the tool wrote them in.
    int pipes[2][2] = {{-1, -1}, {-1, -1}};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const bool oneFile = IsOpen(1) && IsOpen(2) && SameFile(1, 2);
    for (int stream = 1; stream <= (oneFile ? 1 : 2); ++stream) {
        if (IsOpen(stream)) {
            if (!MakePipe(pipes[stream - 1])) {
                result.Error = std::string("cannot create a pipe: ") + std::strerror(errno);
                posix_spawn_file_actions_destroy(&actions);
                for (auto& p : pipes) {
                    for (int fd : p) {
                        if (fd >= 0) {
                            ::close(fd);
                        }
                    }
                }
                return result;
            }
            posix_spawn_file_actions_adddup2(&actions, pipes[stream - 1][1], stream);
        }
    }
    if (oneFile) {
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }

    // The tool starts with the termination signals at their defaults unless they
    // were ignored on entry (then they stay ignored, as without the launcher).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    // The tool gets the signal mask this process got, as without the launcher.
    sigset_t entryMask;
    ::sigprocmask(SIG_SETMASK, nullptr, &entryMask);
    struct sigaction previous[4];
    for (int i = 0; i < 4; ++i) {
        struct sigaction current {};
        ::sigaction(PassedSignals[i], nullptr, &current);
        previous[i] = current;
        if (current.sa_handler != SIG_IGN) {
            sigaddset(&defaults, PassedSignals[i]);
            struct sigaction pass {};
            pass.sa_handler = PassOn;
            sigemptyset(&pass.sa_mask);
            pass.sa_flags = SA_RESTART;
            ::sigaction(PassedSignals[i], &pass, nullptr);
        }
    }
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &entryMask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    if (watch) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&attributes, flags);

    // A request arriving before the tool's ID is known waits until it is.
    sigset_t passed;
    sigset_t before;
    sigemptyset(&passed);
    for (int signal : PassedSignals) {
        sigaddset(&passed, signal);
    }
    ::sigprocmask(SIG_BLOCK, &passed, &before);
    pid_t pid = 0;
    const int rc =
        ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argp.data(), envp.data());
    if (rc == 0) {
        runningTool.store(watch ? -pid : pid);
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (auto& p : pipes) {
        if (p[1] >= 0) {
            ::close(p[1]);
        }
    }
    if (rc != 0) {
        result.Error = "cannot run \"" + program + "\": " + std::strerror(rc);
        for (auto& p : pipes) {
            if (p[0] >= 0) {
                ::close(p[0]);
            }
        }
        for (int i = 0; i < 4; ++i) {
            ::sigaction(PassedSignals[i], &previous[i], nullptr);
        }
        return result;
    }
    result.Started = true;

    // Copy both streams through until the tool closed them.
    pollfd fds[3];
    int open = 0;
    for (int i = 0; i < 2; ++i) {
        fds[i].fd = pipes[i][0];
        fds[i].events = POLLIN;
        open += pipes[i][0] >= 0 ? 1 : 0;
    }
    fds[2].fd = watch && watch->Socket ? watch->Socket->Handle() : -1;
    fds[2].events = POLLIN;
    bool stopped = false;
    char buffer[65536];
    bool writable[2] = {true, true};
    while (open > 0) {
        const int ready = ::poll(fds, 3, stopped ? StopGraceMs : -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (ready == 0) {
            ::kill(-pid, SIGKILL); // it did not end when asked
            stopped = false;
            continue;
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            const TWatchVerdict verdict = watch->Readable();
            if (verdict != TWatchVerdict::Keep) {
                fds[2].fd = -1;
            }
            if (verdict == TWatchVerdict::StopTool) {
                ::kill(-pid, SIGTERM);
                stopped = true;
            }
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
                continue;
            }
            const auto size = static_cast<std::size_t>(n);
            // A reader that went away is the tool's concern no more than it would
            // be without the launcher: the bytes are still counted.
            const bool delivered = sink && sink(i + 1, std::string_view(buffer, size));
            if (!delivered && writable[i]) {
                writable[i] = WriteAll(i + 1, buffer, size);
            }
        }
    }
    for (int i = 0; i < 2; ++i) { // the watched socket is the caller's
        if (fds[i].fd >= 0) {
            ::close(fds[i].fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    runningTool.store(0);
    for (int i = 0; i < 4; ++i) {
        ::sigaction(PassedSignals[i], &previous[i], nullptr);
    }
    if (WIFSIGNALED(status)) {
        result.Signal = WTERMSIG(status);
        result.ExitCode = 128 + result.Signal;
    } else {
        result.ExitCode = WEXITSTATUS(status);
    }
    return result;
}

std::string ExecTool(const std::string& program, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env) {
    std::vector<std::string> args = argv;
    std::vector<std::string> envWords = env;
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(envWords);
    ::execve(program.c_str(), argp.data(), envp.data());
    return "cannot run \"" + program + "\": " + std::strerror(errno);
}

std::string RealPath(std::string_view path) {
    char resolved[PATH_MAX];
    const std::string text(path);
    if (::realpath(text.c_str(), resolved) == nullptr) {
        return {};
    }
    return resolved;
}

bool IsExecutableFile(std::string_view path) {
    const std::string text(path);
    struct stat st {};
    return ::stat(text.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(text.c_str(), X_OK) == 0;
}

} // namespace platform
