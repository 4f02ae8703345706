#pragma once
// Service-style process control: termination requests to a long-running program,
// and liveness of a process known only by its ID (a service's pid file).
#include <cstdint>
#include <vector>

namespace platform {

// Keeps the termination requests (SIGTERM, SIGINT) from ending the process so that
// WaitForTerminationRequest can receive them. Call before starting any thread.
void BlockTerminationRequests();
// Blocks until a termination request arrives; returns its number.
int WaitForTerminationRequest();
// Delivers a termination request to this process (wakes the waiter).
void RequestOwnTermination();

// True while a process of that ID exists.
bool ProcessAlive(std::uint32_t pid);
// When the process or thread of that ID started (clock ticks since boot), 0 when
// none exists. With the ID it tells a living one from a later one of the same ID.
std::uint64_t ProcessStartTicks(std::uint32_t id);

// One process of a snapshot of all processes.
struct TProcessEntry {
    std::uint32_t Pid = 0;
    std::uint32_t ParentPid = 0;
    // Creation time as a Windows file time (100 ns units since 1601-01-01).
    std::int64_t StartTime = 0;
};
// Every process of the machine at one moment (processes that end while the list is
// read are left out).
std::vector<TProcessEntry> SnapshotProcesses();

} // namespace platform
