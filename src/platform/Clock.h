#pragma once
// Ticks, wall-clock time and the identities of the running process and thread.
#include <cstdint>
#include <string>

namespace platform {

// Milliseconds of a monotonic clock (never goes back, unaffected by clock changes).
std::uint64_t GetTickCount64();

// The local date and time, to the millisecond.
struct TLocalTime {
    int Year = 0;
    int Month = 0; // 1..12
    int Day = 0;   // 1..31
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int Millisecond = 0;
};
TLocalTime LocalTimeNow();

void SleepMs(std::uint32_t ms);

// The system-wide identity of the calling thread and of the process.
std::uint32_t CurrentThreadId();
std::uint32_t CurrentProcessId();

std::string ComputerName();

} // namespace platform
