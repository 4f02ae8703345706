#include "platform/Process.h"

#include "platform/Environment.h"
#include "platform/Raise.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

[[noreturn]] void RaiseErrno(const std::string& what, int code = errno) {
    platform::Raise(std::system_error(code, std::generic_category(), what));
}

int NiceValue(TPriorityClass priority) {
    switch (priority) {
    case TPriorityClass::Idle:
        return 19;
    case TPriorityClass::BelowNormal:
        return 5;
    case TPriorityClass::AboveNormal:
        return -5;
    case TPriorityClass::High:
        return -10;
    case TPriorityClass::RealTime:
        return -15;
    case TPriorityClass::Normal:
        break;
    }
    return 0;
}

void CloseQuietly(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

} // namespace

TPipeEnd::~TPipeEnd() {
    CloseQuietly(handle);
}

void TPipeEnd::CreatePipe(std::unique_ptr<TPipeEnd>& readEnd, std::unique_ptr<TPipeEnd>& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        RaiseErrno("Failed to create pipe");
    }
    readEnd.reset(new TPipeEnd(fds[0]));
    writeEnd.reset(new TPipeEnd(fds[1]));
}

long TPipeEnd::Read(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(handle, buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(n);
    }
}

bool TPipeEnd::Write(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(handle, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

TFileIdentity TPipeEnd::Identity() const {
    struct stat st {};
    if (::fstat(handle, &st) != 0) {
        RaiseErrno("Failed to read the status of a pipe");
    }
    return TFileIdentity{static_cast<std::uint64_t>(st.st_dev),
                         static_cast<std::uint64_t>(st.st_ino)};
}

namespace {
constexpr const char* Shell = "/bin/sh";
} // namespace

std::vector<std::string> ShellCommandArguments(const std::string& commandLine) {
    return {Shell, "-c", commandLine};
}

std::vector<std::string> ScriptFileArguments(const std::string& fileName) {
    return {Shell, fileName};
}

std::string_view ScriptFileExtension() {
    return ".sh";
}

std::string ScriptFileText(std::string_view commandLine) {
    return "#!/bin/sh\n" + std::string(commandLine) + "\n";
}

std::vector<std::string> SplitCommandLine(std::string_view s) {
    std::vector<std::string> args;
    std::size_t i = 0;
    const std::size_t n = s.size();
    for (;;) {
        while (i < n && (s[i] == ' ' || s[i] == '\t')) {
            ++i;
        }
        if (i >= n) {
            return args;
        }
        std::string arg;
        bool quoted = false;
        while (i < n) {
            const char c = s[i];
            if (!quoted && (c == ' ' || c == '\t')) {
                break;
            }
            if (c == '\\') {
                std::size_t k = 0;
                while (i + k < n && s[i + k] == '\\') {
                    ++k;
                }
                if (i + k < n && s[i + k] == '"') {
                    arg.append(k / 2, '\\');
                    if (k % 2 == 1) {
                        arg.push_back('"');
                        i += k + 1;
                    } else {
                        i += k;
                    }
                } else {
                    arg.append(k, '\\');
                    i += k;
                }
                continue;
            }
            if (c == '"') {
                if (quoted && i + 1 < n && s[i + 1] == '"') {
                    arg.push_back('"');
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg.push_back(c);
            ++i;
        }
        args.push_back(std::move(arg));
    }
}

std::string FindProgram(std::string_view name, std::string_view searchPath) {
    if (name.empty()) {
        return {};
    }
    if (name.find('/') != std::string_view::npos) {
        return std::string(name);
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = searchPath.find(':', start);
        std::string dir(
            searchPath.substr(start, end == std::string_view::npos ? end : end - start));
        if (dir.empty()) {
            dir = ".";
        }
        const std::string candidate = dir + "/" + std::string(name);
        struct stat st {};
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string_view::npos) {
            return {};
        }
        start = end + 1;
    }
}

std::string TempFolder() {
    std::string dir = GetEnvVar("TMPDIR").value_or("");
    if (dir.empty()) {
        dir = "/tmp";
    }
    if (dir.back() != '/') {
        dir.push_back('/');
    }
    return dir;
}

TChildProcess::~TChildProcess() {
    if (!status) {
        ExitCode(); // collects a child that has ended meanwhile
    }
    CloseQuietly(pidfd);
    CloseQuietly(cancelFd);
}

namespace {

// Runs in the forked child of a job, before anything else of it: forks the process
// that goes on to become the program (false there) and stays as its keeper, which
// never returns. The keeper ends with the program's status (a program ended by a
// signal ends it by the same signal) and kills the whole group when `parent` dies.
// Only async-signal-safe calls: the parent may have threads.
bool KeepJob(pid_t parent, int reportFd) {
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGCHLD);
    sigaddset(&watched, SIGUSR1);
    sigaddset(&watched, SIGTERM);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &watched, nullptr);
    const pid_t program = ::fork();
    if (program < 0) {
        return true;
    }
    if (program == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        return false;
    }
    // The program reports a failed start itself; the keeper holds no pipe open.
    ::close(reportFd);
    for (int fd = 0; fd <= 2; ++fd) {
        ::close(fd);
    }
    for (;;) {
        siginfo_t info{};
        if (::sigwaitinfo(&watched, &info) < 0) {
            continue;
        }
        if (info.si_signo == SIGUSR1 && ::getppid() != parent) {
            return true;
        }
        if (info.si_signo != SIGCHLD) {
            continue; // termination requests reach the program through the group
        }
        int status = 0;
        if (::waitpid(program, &status, WNOHANG) != program) {
            continue;
        }
        if (WIFSIGNALED(status)) {
            const int signal = WTERMSIG(status);
            ::signal(signal, SIG_DFL);
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, signal);
            ::sigprocmask(SIG_UNBLOCK, &only, nullptr);
            ::raise(signal);
            ::_exit(128 + signal);
        }
        ::_exit(WEXITSTATUS(status));
    }
}

} // namespace

std::unique_ptr<TChildProcess> TChildProcess::Spawn(const TSpawnOptions& options) {
    if (options.Arguments.empty()) {
        RaiseErrno("Failed to create process", EINVAL);
    }
    const std::string path =
        options.SearchPath ? *options.SearchPath : GetEnvVar("PATH").value_or("/usr/bin:/bin");
    const std::string program = FindProgram(options.Arguments[0], path);
    if (program.empty()) {
        RaiseErrno("Failed to create process \"" + options.Arguments[0] + "\"", ENOENT);
    }

    // Everything the child needs is prepared before the fork: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<std::string> args = options.Arguments;
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    std::vector<char*> envp;
    char** env = environ;
    if (options.EnvironmentBlock) {
        for (const std::string_view entry : EnvBlockEntries(*options.EnvironmentBlock)) {
            envStrings.emplace_back(entry);
        }
        for (std::string& e : envStrings) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        env = envp.data();
    }
    const int niceValue = NiceValue(options.Priority);
    const bool ownGroup = options.Job || options.NewProcessGroup || options.NewSession;

    int nullFd = -1;
    if (options.StdIn == nullptr) {
        nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nullFd < 0) {
            RaiseErrno("Failed to open the null device");
        }
    }
    const int inFd = options.StdIn != nullptr ? options.StdIn->handle : nullFd;
    const int outFd = options.StdOut != nullptr ? options.StdOut->handle : STDOUT_FILENO;
    const int errFd = options.StdErr != nullptr ? options.StdErr->handle : STDERR_FILENO;
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        const int code = errno;
        CloseQuietly(nullFd);
        RaiseErrno("Failed to create process", code);
    }
    const pid_t parent = ::getpid();
    const char* workingDir = options.WorkingDir.empty() ? nullptr : options.WorkingDir.c_str();

    const pid_t pid = ::fork();
    if (pid == 0) {
        auto fail = [&](int code) {
            (void)!::write(report[1], &code, sizeof code);
            ::_exit(127);
        };
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (options.NewSession) {
            ::setsid();
        } else if (ownGroup) {
            ::setpgid(0, 0);
        }
        if (options.Job) {
            // A keeper stays between this process and the program: when this process
            // dies (even by SIGKILL) the keeper ends the job's whole process group.
            ::prctl(PR_SET_PDEATHSIG, SIGUSR1);
            if (::getppid() != parent || KeepJob(parent, report[1])) {
                ::kill(0, SIGKILL);
                ::_exit(127);
            }
        }
        if (niceValue != 0) {
            ::setpriority(PRIO_PROCESS, 0, niceValue); // refused without the right: ignored
        }
        if (workingDir != nullptr && ::chdir(workingDir) != 0) {
            fail(errno);
        }
        // Duplicate upwards first so that one descriptor may serve two standard handles.
        const int in = ::fcntl(inFd, F_DUPFD_CLOEXEC, 3);
        const int out = ::fcntl(outFd, F_DUPFD_CLOEXEC, 3);
        const int err = ::fcntl(errFd, F_DUPFD_CLOEXEC, 3);
        if (in < 0 || out < 0 || err < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
            ::dup2(err, 2) < 0) {
            fail(errno);
        }
        ::execve(program.c_str(), argv.data(), env);
        fail(errno);
    }
    const int forkError = errno;
    ::close(report[1]);
    CloseQuietly(nullFd);
    if (pid < 0) {
        ::close(report[0]);
        RaiseErrno("Failed to create process \"" + options.Arguments[0] + "\"", forkError);
    }
    if (ownGroup && !options.NewSession) {
        ::setpgid(pid, pid); // either side may win the race; both ask for the same
    }
    int childError = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == sizeof childError) {
        int ignored = 0;
        ::waitpid(pid, &ignored, 0);
        RaiseErrno("Failed to create process \"" + options.Arguments[0] + "\"", childError);
    }
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    const int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return std::unique_ptr<TChildProcess>(new TChildProcess(pid, pidfd, cancelFd, ownGroup));
}

bool TChildProcess::WaitForExit(std::uint32_t timeoutMs) {
    if (status) {
        return true;
    }
    const int timeout = timeoutMs == 0xFFFFFFFFu ? -1 : static_cast<int>(timeoutMs);
    if (pidfd < 0) {
        // No process descriptors: poll the child's state in short slices.
        std::uint32_t waited = 0;
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid != 0) {
                return true;
            }
            if (timeout >= 0 && waited >= timeoutMs) {
                return false;
            }
            pollfd cancel{cancelFd, POLLIN, 0};
            if (::poll(&cancel, 1, 50) > 0) {
                return false;
            }
            waited += 50;
        }
    }
    pollfd fds[2] = {{pidfd, POLLIN, 0}, {cancelFd, POLLIN, 0}};
    for (;;) {
        const int rc = ::poll(fds, 2, timeout);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        return rc > 0 && (fds[0].revents & POLLIN) != 0;
    }
}

void TChildProcess::CancelWait() {
    const std::uint64_t one = 1;
    (void)!::write(cancelFd, &one, sizeof one);
}

std::optional<int> TChildProcess::ExitCode() {
    if (status) {
        return status;
    }
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG) != 0 ||
        info.si_pid == 0) {
        return std::nullopt;
    }
    status = info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
    return status;
}

bool TChildProcess::Kill() {
    if (status) {
        return false;
    }
    if (pidfd >= 0) {
        return ::syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) == 0;
    }
    return ::kill(pid, SIGKILL) == 0;
}

bool TChildProcess::KillGroup() {
    return ownGroup && ::kill(-pid, SIGKILL) == 0;
}

bool TChildProcess::TerminateGroup() {
    return ownGroup && ::kill(-pid, SIGTERM) == 0;
}

} // namespace platform
