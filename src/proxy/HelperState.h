#pragma once
// What the agent knows of its helpers, written by the agent after every probe into a
// file every local user may read (the agent's alone to write) and read by each build
// system and by "morvek-agent --status". A file is simpler than a request: the build
// reads it without a round trip, while it runs (helpers that come back), and it stays
// readable when the agent is busy.
#include "proxy/HelperHosts.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace build {

struct THelperStatus {
    THelperHost Host;
    bool Probed = false; // the first probe has answered
    bool Reachable = false;
    int Slots = 0;              // tasks it runs at once
    std::int64_t ProbedAt = 0;  // ms since the epoch
    std::int64_t TasksRun = -1; // compiles the helper reports, -1: unknown
    std::string Message;        // why it is not reachable, or empty
    // Compiler name -> empty when the helper's compiler is this machine's, else why not.
    std::map<std::string, std::string> Compilers;
    bool operator==(const THelperStatus&) const = default;
};

struct THelperState {
    std::int64_t AgentPid = 0;
    std::int64_t WrittenAt = 0; // ms since the epoch
    std::vector<THelperStatus> Helpers;
    bool operator==(const THelperState&) const = default;
};

// <agent folder>/HelperState.json
std::string HelperStatePath(const std::string& agentFolder);

std::string HelperStateToJson(const THelperState& state);
// Raises core::EGeneralError naming the fault for text that is no state of this form.
THelperState HelperStateFromJson(std::string_view json);

// Writes the state for everyone to read. Raises core::EGeneralError when it cannot.
void WriteHelperState(const std::string& path, const THelperState& state);
// The state, when the file is there, is the superuser's or this user's, and reads;
// otherwise none and `why` says why.
std::optional<THelperState> ReadHelperState(const std::string& path, std::string& why);

// Milliseconds since the epoch.
std::int64_t WallClockMs();

} // namespace build
