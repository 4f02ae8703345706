#include "platform/ProcessControl.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <sys/sysinfo.h>
#include <time.h>
#include <unistd.h>

namespace platform {

namespace {
sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
} // namespace

void BlockTerminationRequests() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationRequest() {
    const sigset_t set = TerminationSet();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

void RequestOwnTermination() {
    ::kill(::getpid(), SIGTERM);
}

bool ProcessAlive(std::uint32_t pid) {
    if (pid == 0) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

namespace {

// Seconds since the epoch at which the system booted; process start times in
// /proc/<pid>/stat count clock ticks from the boot.
double BootTime() {
    timespec now{};
    timespec up{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    ::clock_gettime(CLOCK_BOOTTIME, &up);
    return static_cast<double>(now.tv_sec - up.tv_sec) +
           static_cast<double>(now.tv_nsec - up.tv_nsec) / 1e9;
}

// Fields of /proc/<pid>/stat after the command name, which may hold blanks and
// parentheses and so ends at the last ')'.
// A process that ends while its file is read makes the read fail (ESRCH): read with
// plain calls, since a stream buffer's read error escapes an istreambuf_iterator as an
// exception.
bool ReadStat(const std::string& pid, std::uint32_t& parent, unsigned long long& startTicks) {
    const std::string path = "/proc/" + pid + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[1024];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    if (got <= 0) {
        return false;
    }
    const std::string text(buffer, static_cast<std::size_t>(got));
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string state;
    unsigned long long value = 0;
    fields >> state >> parent; // fields 3 and 4
    for (int field = 5; field <= 22 && fields >> value; ++field) {
        if (field == 22) {
            startTicks = value;
            return true;
        }
    }
    return false;
}

} // namespace

std::uint64_t ProcessStartTicks(std::uint32_t id) {
    if (id == 0) {
        return 0;
    }
    // Read with one system call: the lock owners' liveness is asked often.
    const std::string path = "/proc/" + std::to_string(id) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[1024];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) {
        return 0;
    }
    text[got] = '\0';
    const char* close = std::strrchr(text, ')');
    if (close == nullptr) {
        return 0;
    }
    // Fields after the command name start with field 3 (state); field 22 is the start.
    const char* at = close + 1;
    for (int field = 3; field < 22; ++field) {
        at = std::strchr(at + 1, ' ');
        if (at == nullptr) {
            return 0;
        }
    }
    // A zombie has ended: its thread can hold nothing any more.
    const char* state = close + 2;
    if (*state == 'Z' || *state == 'X') {
        return 0;
    }
    return std::strtoull(at + 1, nullptr, 10);
}

std::vector<TProcessEntry> SnapshotProcesses() {
    std::vector<TProcessEntry> result;
    DIR* dir = ::opendir("/proc");
    if (!dir) {
        return result;
    }
    const double boot = BootTime();
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    constexpr double FileTimeEpoch = 11644473600.0; // 1601-01-01 to 1970-01-01, seconds
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        TProcessEntry process;
        unsigned long long start = 0;
        if (!ReadStat(name, process.ParentPid, start)) {
            continue;
        }
        process.Pid = static_cast<std::uint32_t>(std::strtoul(name.c_str(), nullptr, 10));
        const double seconds = boot + static_cast<double>(start) / ticks + FileTimeEpoch;
        process.StartTime = static_cast<std::int64_t>(seconds * 1e7);
        result.push_back(process);
    }
    ::closedir(dir);
    return result;
}

} // namespace platform
