#pragma once
// Reachability of a network service.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// True when a TCP connection to host:port opens within the timeout; otherwise
// `error` tells why.
bool TcpProbe(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
              std::string& error);

} // namespace platform
