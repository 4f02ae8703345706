#pragma once
// The task launcher: stands in for one call of a profiled tool. Outside a build,
// for probes, or when the build cannot be reached it runs the real tool in its
// place; otherwise it asks the build's scheduler for a row, runs the tool (after
// the grant's prefix words, with the grant's environment) passing its streams
// through, and reports the end.
#include <string>
#include <vector>

namespace launcher {

// Runs the launcher for `args` (the process's argv) and `env` (its environment);
// returns the exit status (or does not return when the tool replaced the process).
int RunLauncher(const std::vector<std::string>& args, const std::vector<std::string>& env);

} // namespace launcher
