#pragma once
// Local stream sockets (unix domain): the build system's task endpoint and the
// launchers that connect to it. Handles are close-on-exec and never numbered
// 0, 1 or 2, so a process that closed its standard streams cannot mistake the
// socket for one of them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

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
    int Handle() const { return handle; }

    // The longest path a local socket can be bound or connected to.
    static std::size_t MaxPathLength();

private:
    explicit TLocalSocket(int handle) : handle(handle) {}
    int handle;
};

} // namespace platform
