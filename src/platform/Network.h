#pragma once
// Reachability of a network service.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// True when a TCP connection to host:port opens within the timeout; otherwise
// `error` tells why.
bool TcpProbe(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
              std::string& error);

// Connects to host:port, sends `request`, and reads what the service sends until it
// closes the connection (at most `maxBytes`), all within the timeout; none on failure,
// with `error` telling why.
std::optional<std::string> TcpExchange(std::string_view host, std::uint16_t port,
                                       std::string_view request, std::uint32_t timeoutMs,
                                       std::size_t maxBytes, std::string& error);

} // namespace platform
