#include "platform/Network.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

bool TcpProbe(std::string_view host, std::uint16_t port, std::uint32_t timeoutMs,
              std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string hostText(host);
    const std::string portText = std::to_string(port);
    if (const int rc = ::getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + hostText + ": " + ::gai_strerror(rc);
        return false;
    }
    error = "no address for " + hostText;
    bool connected = false;
    for (addrinfo* a = found; a && !connected; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            error = std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            rc = ::poll(&p, 1, static_cast<int>(timeoutMs));
            if (rc == 0) {
                error = "connection to " + hostText + ":" + portText + " timed out";
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
            connected = true;
        } else {
            error = hostText + ":" + portText + ": " + std::strerror(errno);
        }
        ::close(fd);
    }
    ::freeaddrinfo(found);
    return connected;
}

} // namespace platform
