#include "platform/LocalSocket.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace platform {

namespace {

// Moves a fresh handle above the standard streams, close-on-exec.
int AboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2) {
        return fd;
    }
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

void SetError(std::string* errorText, std::string text) {
    if (errorText) {
        *errorText = std::move(text);
    }
}

} // namespace

TLocalSocket::~TLocalSocket() {
    if (handle >= 0) {
        ::close(handle);
    }
}

std::size_t TLocalSocket::MaxPathLength() {
    return sizeof(sockaddr_un::sun_path) - 1;
}

std::unique_ptr<TLocalSocket> TLocalSocket::Connect(std::string_view path, std::string* errorText) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() > MaxPathLength() ||
        path.find('\0') != std::string_view::npos) {
        SetError(errorText, "invalid local socket path \"" + std::string(path) + "\"");
        return nullptr;
    }
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd = AboveStandardStreams(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd < 0) {
        SetError(errorText, std::string("cannot create a local socket: ") + std::strerror(errno));
        return nullptr;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        SetError(errorText,
                 "cannot connect to \"" + std::string(path) + "\": " + std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TLocalSocket>(new TLocalSocket(fd));
}

std::unique_ptr<TLocalSocket> TLocalSocket::Adopt(int handle) {
    return std::unique_ptr<TLocalSocket>(new TLocalSocket(handle));
}

bool TLocalSocket::Pair(std::unique_ptr<TLocalSocket>& first, std::unique_ptr<TLocalSocket>& second,
                        std::string* errorText) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        SetError(errorText, std::string("cannot create a socket pair: ") + std::strerror(errno));
        return false;
    }
    first.reset(new TLocalSocket(AboveStandardStreams(fds[0])));
    second.reset(new TLocalSocket(AboveStandardStreams(fds[1])));
    return first->handle >= 0 && second->handle >= 0;
}

bool TLocalSocket::SendAll(std::string_view bytes, std::string* errorText) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(handle, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetError(errorText,
                     std::string("cannot send on a local socket: ") + std::strerror(errno));
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

std::int64_t TLocalSocket::Receive(void* buffer, std::size_t count, std::string* errorText) {
    for (;;) {
        const ssize_t got = ::recv(handle, buffer, count, 0);
        if (got >= 0) {
            return got;
        }
        if (errno != EINTR) {
            SetError(errorText,
                     std::string("cannot receive on a local socket: ") + std::strerror(errno));
            return -1;
        }
    }
}

void TLocalSocket::ShutdownSend() {
    ::shutdown(handle, SHUT_WR);
}

} // namespace platform
