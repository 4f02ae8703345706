// A stand-in for the task launcher in end-to-end tests of the build system: asks the
// build's endpoint for a row as the launcher does and reports an end without running
// a tool. Usage: fake_task_client CAPTION EXITCODE. A failing task prints an error
// line on stderr as a compiler would; a denied one prints the reason and exits 1.
#include "core/TaskProtocol.h"
#include "platform/LocalSocket.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: fake_task_client CAPTION EXITCODE\n");
        return 2;
    }
    const std::string caption = argv[1];
    const int exitCode = std::atoi(argv[2]);
    const char* endpoint = std::getenv("MORVEK_TASK_ENDPOINT");
    std::string error;
    auto socket = platform::TLocalSocket::Connect(endpoint ? endpoint : "", &error);
    if (!socket) {
        std::fprintf(stderr, "fake_task_client: %s\n", error.c_str());
        return 3;
    }
    core::TTaskBegin begin;
    begin.pid = ::getpid();
    begin.tool = "/usr/bin/cc";
    begin.argv = {"cc", "-c", caption};
    begin.cwd = "/";
    begin.kind = core::TTaskKind::Compile;
    begin.source = caption;
    begin.caption = caption;
    if (!socket->SendAll(core::EncodeTaskFrame(begin))) {
        return 3;
    }
    core::TTaskFrameReader reader;
    std::optional<core::TTaskMessage> answer;
    char buffer[4096];
    while (!(answer = reader.Next())) {
        const std::int64_t got = socket->Receive(buffer, sizeof buffer);
        if (got <= 0) {
            std::fprintf(stderr, "fake_task_client: the build closed the connection\n");
            return 3;
        }
        reader.Append(std::string_view(buffer, static_cast<std::size_t>(got)));
    }
    if (const auto* deny = std::get_if<core::TTaskDeny>(&*answer)) {
        std::fprintf(stderr, "fake_task_client: %s\n", deny->reason.c_str());
        return 1;
    }
    core::TTaskEnd end;
    end.exitCode = exitCode;
    if (exitCode != 0) {
        std::fprintf(stderr, "%s:1:1: error: failed on purpose\n", caption.c_str());
        end.errors = 1;
    }
    end.durationMs = 1;
    socket->SendAll(core::EncodeTaskFrame(end));
    return exitCode;
}
