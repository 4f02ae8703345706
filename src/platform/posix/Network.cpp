#include "platform/Network.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return static_cast<int>(std::max<long long>(0, left));
}

// A non-blocking socket connected to host:port before the deadline, trying each
// address the name has; -1 with `error` telling why.
int Connect(const std::string& host, const std::string& port,
            std::chrono::steady_clock::time_point deadline, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
        return -1;
    }
    error = "no address for " + host;
    int connected = -1;
    for (addrinfo* a = found; a && connected < 0; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, RemainingMs(deadline));
            if (rc == 0) {
                error = "connection to " + host + ":" + port + " timed out";
                ::close(fd);
                continue;
            }
            int soError = 0;
            socklen_t len = sizeof soError;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
            rc = soError == 0 ? 0 : -1;
            errno = soError;
        }
        if (rc == 0) {
            connected = fd;
        } else {
            error = host + ":" + port + ": " + std::strerror(errno);
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    return connected;
}

} // namespace

bool TcpProbe(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
              std::string& error) {
    const int fd =
        Connect(std::string(host), std::to_string(port),
                std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs), error);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

std::optional<std::string> TcpExchange(std::string_view host, std::uint16_t port,
                                       std::string_view request, std::uint32_t timeoutMs,
                                       std::size_t maxBytes, std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    const auto remaining = [&] { return RemainingMs(deadline); };
    const std::string hostText(host);
    const std::string portText = std::to_string(port);
    const int fd = Connect(hostText, portText, deadline, error);
    if (fd < 0) {
        return std::nullopt;
    }
    const auto fail = [&](std::string why) {
        error = hostText + ":" + portText + ": " + std::move(why);
        ::close(fd);
        return std::nullopt;
    };
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN) {
            pollfd w{fd, POLLOUT, 0};
            if (::poll(&w, 1, remaining()) <= 0) {
                return fail("cannot send in time");
            }
            continue;
        }
        if (n <= 0) {
            return fail(std::strerror(errno));
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string reply;
    char buffer[4096];
    for (;;) {
        pollfd r{fd, POLLIN, 0};
        if (::poll(&r, 1, remaining()) <= 0) {
            return fail("no complete answer in time");
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                continue;
            }
            return fail(std::strerror(errno));
        }
        if (reply.size() + static_cast<std::size_t>(n) > maxBytes) {
            return fail("answer larger than " + std::to_string(maxBytes) + " bytes");
        }
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return reply;
}

} // namespace platform
