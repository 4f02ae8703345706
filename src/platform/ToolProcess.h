#pragma once
// Running one tool for a task launcher: in place of the launcher (exec), or as
// a child whose standard output and error the launcher copies through while it
// reads them. Standard input is always inherited unchanged.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct TToolExit {
    bool Started = false;
    std::string Error; // why the tool could not start
    int ExitCode = 0;  // the exit status, or 128 + signal for a killed tool
    int Signal = 0;    // the signal that ended it, 0 if none
};

// Receives the bytes of the tool's stream 1 (output) or 2 (error) as they arrive. It
// returns true when it delivered them elsewhere; otherwise they are written to this
// process's own stream, as they are when there is no sink.
using TToolOutputSink = std::function<bool(int stream, std::string_view bytes)>;

class TLocalSocket;

// What a tool's run watches besides its output: a connection that may tell it to stop.
enum class TWatchVerdict { Keep, StopTool, Forget };
struct TToolWatch {
    TLocalSocket* Socket = nullptr;
    // Called when the socket is readable: StopTool ends the tool's process group (the
    // run then discards nothing; it still reads the streams to their end), Forget stops
    // watching (the peer is gone).
    std::function<TWatchVerdict()> Readable;
};

// Runs `program` with `argv` and `env` ("name=value" entries). A standard stream
// of this process that is closed stays closed for the tool and is not read. When
// output and error go to one file, the tool writes both into one pipe (read as
// output), so their order stays the tool's.
// Termination requests (SIGINT, SIGTERM, SIGHUP, SIGQUIT) that this process
// receives meanwhile are passed on to the tool unless they were ignored on entry.
// With a watch the tool runs in a process group of its own, which the passed requests
// and a stop reach as a whole (a tool that outlives a stop by a grace period is killed).
TToolExit RunTool(const std::string& program, const std::vector<std::string>& argv,
                  const std::vector<std::string>& env, const TToolOutputSink& sink,
                  const TToolWatch* watch = nullptr);

// Replaces this process by the tool; returns only on failure, with the reason.
std::string ExecTool(const std::string& program, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env);

// The file with every symbolic link and "." / ".." resolved; empty when it does not exist.
std::string RealPath(std::string_view path);
// A regular file this process may execute.
bool IsExecutableFile(std::string_view path);

} // namespace platform
