#pragma once
// The day folders of the history (History/Local/<day>) belong to the agent's account:
// every user's build system writes its history file into them, and the owner of a
// sticky folder may remove anyone's files in it, so no user may own one.
#include "core/Guid.h"

#include <string>

namespace agent {

// Makes the day folders of build `build` that starts at `startTime` (its day and the next:
// a build may start after midnight): sticky, mode 1777, this process's. A folder of
// another user found there is removed first (it holds no one else's files: build
// systems refuse it). Failures are logged.
void PrepareHistoryDays(const std::string& agentFolder, const core::TGUID& build, double startTime);

} // namespace agent
