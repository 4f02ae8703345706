#pragma once
// Who listens on a loopback TCP port: a service that a program starts must be the one
// that answers there, not a process that took the port first.
#include <cstdint>

namespace platform {

// True when process `pid`, or a child of it (the program of a job), holds a socket
// listening on 127.0.0.1:`port`.
bool ProcessListensOnLoopback(std::uint32_t pid, std::uint16_t port);

} // namespace platform
