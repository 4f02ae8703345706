#pragma once
// Service-style process control: termination requests to a long-running program,
// and liveness of a process known only by its ID (a service's pid file).
#include <cstdint>

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

} // namespace platform
