#pragma once
// Sends a tool's output to the build over the task's connection, so that the build
// writes it as its task's output. Once a send fails (the build is gone) it sends
// nothing more and the caller writes the bytes itself, unchanged.
#include <string_view>

namespace platform {
class TLocalSocket;
} // namespace platform

namespace launcher {

class TOutputForwarder {
public:
    explicit TOutputForwarder(platform::TLocalSocket& socket) : socket(socket) {}
    // True when the build received the bytes of `stream` (1 output, 2 error).
    bool Send(int stream, std::string_view bytes);

private:
    platform::TLocalSocket& socket;
    bool broken = false;
};

} // namespace launcher
