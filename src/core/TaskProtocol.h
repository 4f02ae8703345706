#pragma once
// Messages between a task launcher and the build system's scheduler.
//
// One local stream connection carries one task. Every message is a frame: a
// 32-bit little-endian payload length (at most MaxTaskFrameBytes) followed by
// that many bytes of UTF-8 JSON holding one object with a "type" member:
//   launcher -> scheduler  begin  {pid, tool, argv, cwd, kind, source, output, caption}
//   scheduler -> launcher  grant  {task, row, worker, remote, prefix, env[, keyVariables,
//                                  keyFile]} or deny {reason}
//   launcher -> scheduler  output {stream, data}  (any number, between grant and end)
//   launcher -> scheduler  end    {exitCode, signal, errors, warnings, durationMs,
//                                  engineFailure, cache}
//   launcher -> scheduler  local  {argv, env}  (after a remote grant, before the tool runs:
//                                  how the task runs on this machine, for a second attempt)
//   scheduler -> launcher  settled {exitCode, signal}  (another attempt of the task ended
//                                  first: stop the tool, send its end, exit with this status)
// An output's bytes travel as a string of one code point per byte (U+0000 to U+00FF),
// so that any byte sequence, valid UTF-8 or not, arrives unchanged.
// A length prefix keeps a reader from scanning for delimiters, and JSON lets
// either side add fields without breaking the other: unknown members are ignored,
// missing or wrongly typed ones are errors.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/Errors.h"

namespace core {

inline constexpr std::uint32_t MaxTaskFrameBytes = 1u << 20;
// Names, in the build's environment, the pipes of the build's own output: a task's
// launcher sends the tool's output to the build only when it would land there anyway.
inline constexpr std::string_view BuildOutputVariable = "MORVEK_BUILD_OUTPUT";

// A frame or message that breaks the rules above.
class ETaskProtocolError : public EGeneralError {
public:
    using EGeneralError::EGeneralError;
    const char* ClassName() const override { return "ETaskProtocolError"; }
};

enum class TTaskKind { Compile, Link, Archive, Assemble, Other };

// "compile", "link", "archive", "assemble", "other".
const char* TaskKindName(TTaskKind kind);
std::optional<TTaskKind> TaskKindFromName(std::string_view name);

// Whether the exit status of a remote run is a failure of the distribution engine
// itself (distcc reports those with 100 to 127), not of the compiler.
bool DistributionFailureStatus(std::int32_t exitCode);

struct TTaskBegin {
    std::int64_t pid = 0;
    std::string tool;              // the real tool, resolved
    std::vector<std::string> argv; // as called, argv[0] included
    std::string cwd;
    TTaskKind kind = TTaskKind::Other;
    std::string source;
    std::string output;
    std::string caption;
    bool operator==(const TTaskBegin&) const = default;
};

struct TTaskGrant {
    std::int64_t task = 0;
    std::int32_t row = 0;
    std::string worker;
    bool remote = false;
    std::vector<std::string> prefix;        // words run before the tool, e.g. "ccache"
    std::map<std::string, std::string> env; // set for the tool only
    // The launcher writes these variables of its environment to keyFile before the run.
    std::vector<std::string> keyVariables;
    std::string keyFile;
    bool operator==(const TTaskGrant&) const = default;
};

struct TTaskDeny {
    std::string reason;
    bool operator==(const TTaskDeny&) const = default;
};

struct TTaskEnd {
    std::int32_t exitCode = 0;
    std::int32_t signal = 0;
    std::int32_t errors = 0;
    std::int32_t warnings = 0;
    std::int64_t durationMs = 0;
    bool engineFailure = false;
    std::string cache;
    bool operator==(const TTaskEnd&) const = default;
};

// Bytes the tool wrote to its standard output (stream 1) or error (stream 2).
struct TTaskOutput {
    std::int32_t stream = 1;
    std::string bytes;
    bool operator==(const TTaskOutput&) const = default;
};

// How the launcher runs its tool on this machine: argv (argv[0] as it runs) and the
// whole environment ("name=value").
struct TTaskLocalRun {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    bool operator==(const TTaskLocalRun&) const = default;
};

// The task's result came from another attempt: the launcher exits with this status.
struct TTaskSettled {
    std::int32_t exitCode = 0;
    std::int32_t signal = 0;
    bool operator==(const TTaskSettled&) const = default;
};

using TTaskMessage = std::variant<TTaskBegin, TTaskGrant, TTaskDeny, TTaskEnd, TTaskOutput,
                                  TTaskLocalRun, TTaskSettled>;

// The JSON object of a message.
std::string TaskMessageToJson(const TTaskMessage& message);
// Raises ETaskProtocolError naming the fault: not JSON, not an object, an
// unknown type, a missing or wrongly typed member, a number out of range.
TTaskMessage TaskMessageFromJson(std::string_view json);

// The length prefix plus the JSON object. Raises ETaskProtocolError when the
// message is larger than a frame may be.
std::string EncodeTaskFrame(const TTaskMessage& message);

// Cuts frames out of the bytes of a connection as they arrive.
class TTaskFrameReader {
public:
    void Append(std::string_view bytes) { buffer.append(bytes); }
    // The next complete message; nothing when more bytes are needed. Raises
    // ETaskProtocolError on an oversized length or a bad payload; the reader is
    // unusable afterwards (the connection must be dropped).
    std::optional<TTaskMessage> Next();
    // Bytes received but not yet part of a complete frame.
    std::size_t Pending() const { return buffer.size() - offset; }

private:
    std::string buffer;
    std::size_t offset = 0;
};

} // namespace core
