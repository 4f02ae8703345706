#include "platform/Clock.h"

#include <cerrno>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

std::uint64_t GetTickCount64() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

TLocalTime LocalTimeNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    const time_t seconds = ts.tv_sec;
    ::localtime_r(&seconds, &local);
    TLocalTime result;
    result.Year = local.tm_year + 1900;
    result.Month = local.tm_mon + 1;
    result.Day = local.tm_mday;
    result.Hour = local.tm_hour;
    result.Minute = local.tm_min;
    result.Second = local.tm_sec;
    result.Millisecond = static_cast<int>(ts.tv_nsec / 1000000);
    return result;
}

void SleepMs(std::uint32_t ms) {
    timespec request{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    timespec remaining{};
    while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) {
        request = remaining;
    }
}

std::uint32_t CurrentThreadId() {
    // The kernel thread id: unique machine-wide while the thread lives, as robust
    // mutexes record it. Not cached: a forked child must not report its parent's id.
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

std::string ComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "localhost";
    }
    return name;
}

} // namespace platform
