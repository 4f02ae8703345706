// Starts a program the way build tools do, for the exec hook tests:
//   hook_client MODE PROGRAM [ARGS...]
// MODE: execv, execvp, execve, execl (exactly 3 ARGS), posix_spawn, posix_spawnp,
// system, vfork, closefds (closes and reassigns its descriptors, then execvp),
// fexecve, execveat (the program's folder as the descriptor), execveat-empty
// (AT_EMPTY_PATH on the program's own descriptor).
// Exits with the program's status when it waits for it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

int StatusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int Wait(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return StatusOf(status);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: hook_client MODE PROGRAM [ARGS...]\n");
        return 2;
    }
    const std::string mode = argv[1];
    char** program = argv + 2;
    if (mode == "execv") {
        ::execv(program[0], program);
    } else if (mode == "execvp") {
        ::execvp(program[0], program);
    } else if (mode == "execve") {
        ::execve(program[0], program, environ);
    } else if (mode == "fexecve" || mode == "execveat-empty") {
        const int fd = ::open(program[0], O_RDONLY); // scripts need it open across the exec
        if (fd >= 0) {
            if (mode == "fexecve") {
                ::fexecve(fd, program, environ);
            } else {
                ::execveat(fd, "", program, environ, AT_EMPTY_PATH);
            }
        }
    } else if (mode == "execveat") {
        const std::string path = program[0];
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (dir >= 0) {
            ::execveat(dir, path.substr(slash + 1).c_str(), program, environ, 0);
        }
    } else if (mode == "execl" && argc == 6) {
        ::execl(program[0], program[0], program[1], program[2], program[3], nullptr);
    } else if (mode == "posix_spawn" || mode == "posix_spawnp") {
        pid_t pid = 0;
        const int rc = mode == "posix_spawn"
                           ? ::posix_spawn(&pid, program[0], nullptr, nullptr, program, environ)
                           : ::posix_spawnp(&pid, program[0], nullptr, nullptr, program, environ);
        if (rc != 0) {
            std::fprintf(stderr, "spawn: %s\n", std::strerror(rc));
            return 126;
        }
        return Wait(pid);
    } else if (mode == "system") {
        std::string command;
        for (char** a = program; *a; ++a) {
            command += std::string(command.empty() ? "" : " ") + *a;
        }
        const int status = std::system(command.c_str());
        return status < 0 ? 126 : StatusOf(status);
    } else if (mode == "vfork") {
        const pid_t pid = ::vfork();
        if (pid == 0) {
            ::execvp(program[0], program);
            ::_exit(127);
        }
        return Wait(pid);
    } else if (mode == "closefds") {
        // Standard input from the null device, output onto the error stream, every
        // other descriptor closed.
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        ::dup2(2, 1);
        for (int fd = 3; fd < 1024; ++fd) {
            ::close(fd);
        }
        ::execvp(program[0], program);
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    std::fprintf(stderr, "exec: %s\n", std::strerror(errno));
    return 127;
}
