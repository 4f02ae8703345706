#pragma once
// The helpers a build may employ, as the agent's helper state tells them: read at the
// start (waiting a little for helpers whose first probe has not answered yet) and
// again while the build runs, so that a helper that comes back is employed again.
#include "buildsys/Scheduler.h"
#include "proxy/HelperState.h"
#include "records/ProfilePackets.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace buildsys {

// How long a build waits for the first probe of a helper.
inline constexpr std::uint32_t FirstProbeWaitMs = 2000;

// The state at `path`; none without a file (no helpers) or when it cannot be used
// (`why` then says why). Waits at most `waitMs` while a helper has not been probed.
std::optional<build::THelperState> AwaitHelperState(const std::string& path, std::uint32_t waitMs,
                                                    std::string& why);

// Rows for the helpers of `state`, each helper its slots, all of them at most `room`.
std::vector<TWorkerRow> HelperWorkerRows(const build::THelperState& state, std::int32_t room);

// The compilers a reachable helper runs as this machine does.
std::set<std::string> EmployableCompilers(const build::THelperStatus& status);

} // namespace buildsys
