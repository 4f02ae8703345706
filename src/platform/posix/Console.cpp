#include "platform/Console.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace platform {

namespace {
void WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}
} // namespace

bool StdOutIsConsole() {
    return ::isatty(STDOUT_FILENO) == 1;
}

void WriteStdOut(std::string_view bytes) {
    WriteAll(STDOUT_FILENO, bytes);
}
void WriteStdErr(std::string_view bytes) {
    WriteAll(STDERR_FILENO, bytes);
}

void IgnoreBrokenPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}

void EnableVirtualTerminal() {}

void ExitProcess(int code) {
    ::_exit(static_cast<unsigned>(code) & 0xFFu);
}

} // namespace platform
