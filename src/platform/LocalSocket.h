#pragma once
// Local stream sockets (unix domain): the build system's task endpoint and the
// launchers that connect to it, and the agent's request socket. The task endpoint
// accepts only peers that run as its own user (the kernel's peer credentials), and
// its socket file lies in a private per-user runtime folder; the agent's socket
// accepts every user and tells who each peer is. Handles are close-on-exec and never numbered
// 0, 1 or 2, so a process that closed its standard streams cannot mistake the
// socket for one of them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// Who is at the other end of a connection, as the kernel recorded it when the
// connection was made (for a listener's end: when it started listening).
struct TPeerCredentials {
    std::uint32_t UserId = 0;
    std::uint32_t ProcessId = 0;
};

// One handle to wait for in TLocalSocket::Poll.
struct TPollItem {
    int Handle = -1;
    bool WantRead = false;
    bool WantWrite = false;
    // Results.
    bool Readable = false;
    bool Writable = false;
    bool Failed = false; // hung up or in error
};

// One connected local stream socket; closed by the destructor.
class TLocalSocket {
public:
    ~TLocalSocket();
    TLocalSocket(const TLocalSocket&) = delete;
    TLocalSocket& operator=(const TLocalSocket&) = delete;

    // Connects to the socket at `path`. Null with a text naming the path and the
    // system's reason when the path is too long, absent, not a socket or nobody listens.
    static std::unique_ptr<TLocalSocket> Connect(std::string_view path,
                                                 std::string* errorText = nullptr);
    // Takes ownership of an already connected socket handle (tests, accepted connections).
    static std::unique_ptr<TLocalSocket> Adopt(int handle);
    // A connected pair, for tests and in-process use.
    static bool Pair(std::unique_ptr<TLocalSocket>& first, std::unique_ptr<TLocalSocket>& second,
                     std::string* errorText = nullptr);

    // Sends all bytes; false with the system's text on failure (a closed peer
    // is a failure, never a SIGPIPE).
    bool SendAll(std::string_view bytes, std::string* errorText = nullptr);
    // Reads at most `count` bytes, waiting for at least one; 0 when the peer
    // closed; -1 with the system's text on failure. Retries interrupted reads.
    std::int64_t Receive(void* buffer, std::size_t count, std::string* errorText = nullptr);
    // Ends the sending direction; the peer reads end of stream.
    void ShutdownSend();
    // Ends both directions: a read or send blocked in another thread returns.
    void Shutdown();
    // Waits at most `timeoutMs` until bytes (or the peer's end) can be read: true
    // when they can, false on timeout or failure.
    bool WaitReadable(std::uint32_t timeoutMs);
    // True when the peer has closed its end (nothing it sent is consumed).
    bool PeerClosed();
    int Handle() const { return handle; }
    // The peer's user and process; none when the system cannot tell.
    std::optional<TPeerCredentials> Peer() const;

    // Without waiting: the bytes sent (0 when none fit now), or -1 on failure.
    std::int64_t SendNow(std::string_view bytes, std::string* errorText = nullptr);
    // Without waiting: the bytes read, 0 when the peer closed, WouldBlock when none
    // are there, or -1 on failure.
    static constexpr std::int64_t WouldBlock = -2;
    std::int64_t ReceiveNow(void* buffer, std::size_t count, std::string* errorText = nullptr);

    // Waits at most `timeoutMs` until one of the items is ready; the number ready
    // (0 on timeout), or -1 on failure. Interrupted waits are retried.
    static int Poll(std::span<TPollItem> items, std::uint32_t timeoutMs);

    // The longest path a local socket can be bound or connected to.
    static std::size_t MaxPathLength();

private:
    friend class TLocalListener;
    explicit TLocalSocket(int handle) : handle(handle) {}
    int handle;
};

// The per-user runtime folder for sockets, without a trailing "/": $XDG_RUNTIME_DIR
// when it is set, absolute, owned by this user, closed to others, and leaves room
// for a socket name of `nameRoom` bytes within the path limit; otherwise
// /tmp/morvek-<uid>, created 0700 when missing and refused (std::system_error or
// std::runtime_error with the reason) when it is a link, another user's or open to
// others.
std::string PrivateRuntimeFolder(std::size_t nameRoom);

// A listening local socket; its file is removed when it is destroyed.
class TLocalListener {
public:
    ~TLocalListener();
    TLocalListener(const TLocalListener&) = delete;
    TLocalListener& operator=(const TLocalListener&) = delete;

    enum class TPeers {
        OwnUser,   // the file 0600; peers of another user are refused
        EveryUser, // the file 0666; every peer is accepted (Peer() tells who it is)
    };
    // Listens at `path` (its folder must exist). A stale socket file of this user
    // is replaced; anything else at the path is refused. Raises std::system_error
    // or std::runtime_error with the reason.
    static std::unique_ptr<TLocalListener> Listen(const std::string& path,
                                                  TPeers peers = TPeers::OwnUser);

    // Waits at most `timeoutMs` for a connection; null when none came. With OwnUser,
    // a peer that runs as another user is closed at once and counted in Refused().
    std::unique_ptr<TLocalSocket> Accept(std::uint32_t timeoutMs);
    const std::string& Path() const { return path; }
    std::uint64_t Refused() const { return refused; }
    int Handle() const { return handle; }
    // False once the path no longer names this listener's socket (removed or replaced).
    bool StillAtPath() const;

private:
    TLocalListener(int handle, std::string path, TPeers peers)
        : handle(handle), path(std::move(path)), peers(peers) {}
    int handle;
    std::string path;
    TPeers peers;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t refused = 0;
};

} // namespace platform
