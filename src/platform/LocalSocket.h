#pragma once
// Local stream sockets (unix domain) between processes of one user: the build's task
// endpoint listens, the task launchers connect. A listener accepts only peers that run
// as the same user as itself (the kernel's peer credentials), and its socket file lies
// in a private per-user runtime folder.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

// The longest socket path the system takes (the terminating NUL not counted).
std::size_t MaxLocalSocketPath();

// The per-user runtime folder for sockets, without a trailing "/": $XDG_RUNTIME_DIR
// when it is set, absolute, owned by this user, not reachable by others, and leaves
// room for a socket name of `nameRoom` bytes within the path limit; otherwise
// /tmp/morvek-<uid>, created 0700 when missing and refused (std::system_error or
// std::runtime_error with the reason) when it is a link, owned by another user or open
// to others.
std::string PrivateRuntimeFolder(std::size_t nameRoom);

enum class TLocalReadResult { Ok, Closed, Timeout, Failed };

// One connected local socket.
class TLocalConnection {
public:
    ~TLocalConnection();
    TLocalConnection(const TLocalConnection&) = delete;
    TLocalConnection& operator=(const TLocalConnection&) = delete;

    // Connects to the socket at `path`; null with the reason in `error` when it cannot.
    static std::unique_ptr<TLocalConnection> Connect(std::string_view path, std::string* error);

    // Writes all bytes; false when the peer is gone or the write fails.
    bool SendAll(std::string_view bytes);
    // Reads exactly `size` bytes, waiting at most `timeoutMs` (0xFFFFFFFF: no limit)
    // for all of them. Closed when the peer closed before the first byte or in between.
    TLocalReadResult ReadExact(void* buffer, std::size_t size, std::uint32_t timeoutMs);
    // True when the peer has closed its end (nothing it sent is consumed).
    bool PeerClosed();
    // Wakes every blocked read and send of this connection; they fail from now on.
    void Shutdown();
    // The peer's process id, as the kernel saw it at connect time (0 when unknown).
    std::uint32_t PeerPid() const { return peerPid; }

private:
    friend class TLocalListener;
    TLocalConnection(int handle, std::uint32_t peerPid) : handle(handle), peerPid(peerPid) {}
    int handle;
    std::uint32_t peerPid;
};

// A listening local socket; the socket file is removed when it is destroyed.
class TLocalListener {
public:
    ~TLocalListener();
    TLocalListener(const TLocalListener&) = delete;
    TLocalListener& operator=(const TLocalListener&) = delete;

    // Listens at `path` (its folder must exist), the file 0600. A stale socket file left
    // there by this user is replaced; anything else at the path is refused. Raises
    // std::system_error or std::runtime_error with the reason.
    static std::unique_ptr<TLocalListener> Listen(const std::string& path);

    // Waits at most `timeoutMs` for a connection; null when none came. A peer running as
    // another user is closed at once and counted in Refused().
    std::unique_ptr<TLocalConnection> Accept(std::uint32_t timeoutMs);
    const std::string& Path() const { return path; }
    std::uint64_t Refused() const { return refused; }

private:
    TLocalListener(int handle, std::string path) : handle(handle), path(std::move(path)) {}
    int handle;
    std::string path;
    std::uint64_t refused = 0;
};

} // namespace platform
