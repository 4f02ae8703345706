#pragma once
// Sends a tool's output to the build over the task's connection, so that the build
// writes it as its task's output. Only the streams the build takes are sent; once a
// send fails (the build is gone) it sends nothing more. What is not sent the caller
// writes itself, unchanged.
#include "launcher/BuildStreams.h"

#include <string_view>

namespace platform {
class TLocalSocket;
} // namespace platform

namespace launcher {

class TOutputForwarder {
public:
    TOutputForwarder(platform::TLocalSocket& socket, TBuildStreams streams)
        : socket(socket), streams(streams) {}
    // True when the build received the bytes of `stream` (1 output, 2 error).
    bool Send(int stream, std::string_view bytes);
    // True when the build takes both streams of the task.
    bool TakesAll() const { return streams.Output && streams.Error; }

private:
    platform::TLocalSocket& socket;
    TBuildStreams streams;
    bool broken = false;
};

} // namespace launcher
