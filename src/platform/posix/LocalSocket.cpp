#include "platform/LocalSocket.h"

#include "platform/Clock.h"
#include "platform/Raise.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>
#include <vector>

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

constexpr std::uint32_t NoLimit = 0xFFFFFFFFu;

[[noreturn]] void RaiseErrno(const std::string& what, int code = errno) {
    platform::Raise(std::system_error(code, std::generic_category(), what));
}

// A folder of this user that no one else can enter or change; `why` tells otherwise.
bool IsPrivateFolder(const std::string& path, std::string& why) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = path + " is not a folder";
    } else if (st.st_uid != ::geteuid()) {
        why = path + " belongs to another user";
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        why = path + " is open to other users";
    } else {
        return true;
    }
    return false;
}

int Remaining(std::uint64_t deadline, std::uint32_t timeoutMs) {
    if (timeoutMs == NoLimit) {
        return -1;
    }
    const std::uint64_t now = GetTickCount64();
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
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

void TLocalSocket::Shutdown() {
    ::shutdown(handle, SHUT_RDWR);
}

bool TLocalSocket::WaitReadable(std::uint32_t timeoutMs) {
    const std::uint64_t deadline = GetTickCount64() + (timeoutMs == NoLimit ? 0 : timeoutMs);
    for (;;) {
        pollfd p{handle, POLLIN, 0};
        const int ready = ::poll(&p, 1, Remaining(deadline, timeoutMs));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        return ready > 0;
    }
}

bool TLocalSocket::PeerClosed() {
    pollfd p{handle, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::optional<TPeerCredentials> TLocalSocket::Peer() const {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(handle, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        length != sizeof peer || peer.pid <= 0) {
        return std::nullopt;
    }
    return TPeerCredentials{static_cast<std::uint32_t>(peer.uid),
                            static_cast<std::uint32_t>(peer.pid)};
}

std::int64_t TLocalSocket::SendNow(std::string_view bytes, std::string* errorText) {
    for (;;) {
        const ssize_t sent =
            ::send(handle, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0) {
            return sent;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return 0;
        }
        if (errno != EINTR) {
            SetError(errorText,
                     std::string("cannot send on a local socket: ") + std::strerror(errno));
            return -1;
        }
    }
}

std::int64_t TLocalSocket::ReceiveNow(void* buffer, std::size_t count, std::string* errorText) {
    for (;;) {
        const ssize_t got = ::recv(handle, buffer, count, MSG_DONTWAIT);
        if (got >= 0) {
            return got;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return WouldBlock;
        }
        if (errno != EINTR) {
            SetError(errorText,
                     std::string("cannot receive on a local socket: ") + std::strerror(errno));
            return -1;
        }
    }
}

int TLocalSocket::Poll(std::span<TPollItem> items, std::uint32_t timeoutMs) {
    std::vector<pollfd> handles(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        handles[i].fd = items[i].Handle;
        handles[i].events = static_cast<short>((items[i].WantRead ? POLLIN : 0) |
                                               (items[i].WantWrite ? POLLOUT : 0));
    }
    const std::uint64_t deadline = GetTickCount64() + (timeoutMs == NoLimit ? 0 : timeoutMs);
    int ready;
    do {
        ready = ::poll(handles.data(), handles.size(), Remaining(deadline, timeoutMs));
    } while (ready < 0 && errno == EINTR);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const short got = ready > 0 ? handles[i].revents : 0;
        items[i].Readable = (got & POLLIN) != 0;
        items[i].Writable = (got & POLLOUT) != 0;
        items[i].Failed = (got & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    return ready;
}

std::string PrivateRuntimeFolder(std::size_t nameRoom) {
    // One byte for the "/" before the name.
    const std::size_t limit = TLocalSocket::MaxPathLength();
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && runtime[0] == '/') {
        std::string folder(runtime);
        while (folder.size() > 1 && folder.back() == '/') {
            folder.pop_back();
        }
        std::string why;
        if (folder.size() + 1 + nameRoom <= limit && IsPrivateFolder(folder, why)) {
            return folder;
        }
    }
    const std::string folder = "/tmp/morvek-" + std::to_string(::geteuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        RaiseErrno("Cannot create the runtime folder " + folder);
    }
    std::string why;
    if (!IsPrivateFolder(folder, why)) {
        platform::Raise(std::runtime_error("Unsafe runtime folder: " + why));
    }
    if (folder.size() + 1 + nameRoom > limit) {
        platform::Raise(
            std::runtime_error("The runtime folder " + folder + " leaves no room for a socket"));
    }
    return folder;
}

TLocalListener::~TLocalListener() {
    // A socket that someone else has put at the path since is not ours to remove.
    const bool ours = StillAtPath();
    ::close(handle);
    if (ours) {
        ::unlink(path.c_str());
    }
}

bool TLocalListener::StillAtPath() const {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
           static_cast<std::uint64_t>(st.st_dev) == device &&
           static_cast<std::uint64_t>(st.st_ino) == inode;
}

std::unique_ptr<TLocalListener> TLocalListener::Listen(const std::string& path, TPeers peers) {
    if (path.empty() || path.size() > TLocalSocket::MaxPathLength()) {
        platform::Raise(std::runtime_error("The socket path " + path + " is too long"));
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode) || st.st_uid != ::geteuid()) {
            platform::Raise(
                std::runtime_error("Refusing to replace " + path + ": not a socket of this user"));
        }
        ::unlink(path.c_str()); // left behind by a build that crashed
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    const int fd =
        AboveStandardStreams(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd < 0) {
        RaiseErrno("Cannot create a socket");
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int code = errno;
        ::close(fd);
        RaiseErrno("Cannot listen at " + path, code);
    }
    // A private folder already keeps others out; the file says so too. Every user
    // must be able to connect to a socket for everyone. (No umask: it is the whole
    // process's.)
    const mode_t mode = peers == TPeers::EveryUser ? 0666 : 0600;
    struct stat bound {};
    if (::chmod(path.c_str(), mode) != 0 || ::lstat(path.c_str(), &bound) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        const int code = errno;
        ::close(fd);
        ::unlink(path.c_str());
        RaiseErrno("Cannot listen at " + path, code);
    }
    std::unique_ptr<TLocalListener> listener(new TLocalListener(fd, path, peers));
    listener->device = static_cast<std::uint64_t>(bound.st_dev);
    listener->inode = static_cast<std::uint64_t>(bound.st_ino);
    return listener;
}

std::unique_ptr<TLocalSocket> TLocalListener::Accept(std::uint32_t timeoutMs) {
    const std::uint64_t deadline = GetTickCount64() + (timeoutMs == NoLimit ? 0 : timeoutMs);
    for (;;) {
        const int fd = ::accept4(handle, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            ucred peer{};
            socklen_t length = sizeof peer;
            if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
                (peers == TPeers::OwnUser && peer.uid != ::geteuid())) {
                ::close(fd);
                ++refused;
                continue;
            }
            return std::unique_ptr<TLocalSocket>(new TLocalSocket(AboveStandardStreams(fd)));
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors and the like: the caller tries again later, after a
            // pause so that it does not spin.
            ::usleep(static_cast<useconds_t>(
                std::min(Remaining(deadline, timeoutMs) < 0 ? 50 : Remaining(deadline, timeoutMs),
                         50) *
                1000));
            return nullptr;
        }
        const int wait = Remaining(deadline, timeoutMs);
        if (wait == 0) {
            return nullptr;
        }
        pollfd p{handle, POLLIN, 0};
        if (::poll(&p, 1, wait) == 0) {
            return nullptr;
        }
    }
}

} // namespace platform
