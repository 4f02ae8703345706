#pragma once
// "morvek-agent --status": the helpers of this machine as its agent last found them.
#include <string>

namespace agent {

// The report for the state file at `statePath`: every helper with its state, slots,
// the tasks it ran and its compilers, and whether the agent that wrote it still runs.
std::string HelperStatusReport(const std::string& statePath);

} // namespace agent
