#include "ProcessRunner.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace e2e {

TRunningProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env,
                             const std::string& workDir) {
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        if (env.count(text.substr(0, text.find('='))) == 0) {
            envStrings.push_back(text);
        }
    }
    for (const auto& [name, value] : env) {
        if (value != RemoveVariable) {
            envStrings.push_back(name + "=" + value);
        }
    }
    std::vector<char*> envp;
    for (std::string& s : envStrings) {
        envp.push_back(s.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : argStrings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    int outPipe[2];
    int errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (!workDir.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    }
    pid_t pid = 0;
    const int spawned =
        ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (spawned != 0) {
        ::close(outPipe[0]);
        ::close(errPipe[0]);
        throw std::runtime_error("spawn failed: " + std::string(std::strerror(spawned)));
    }
    return {pid, outPipe[0], errPipe[0]};
}

TProcessResult FinishProgram(const TRunningProgram& running) {
    const pid_t pid = running.Pid;
    TProcessResult result;
    pollfd fds[2] = {{running.Out, POLLIN, 0}, {running.Err, POLLIN, 0}};
    std::string* sinks[2] = {&result.Out, &result.Err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, 60000) <= 0 && errno != EINTR) {
            break; // a hung program: give up reading, the wait below still reaps it
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[65536];
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
            ::kill(pid, SIGKILL);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env,
                          const std::string& workDir) {
    return FinishProgram(StartProgram(program, args, env, workDir));
}

} // namespace e2e
