#pragma once
// The processes a child leaves below itself: a daemon may put its workers into process
// groups of their own, and these must go with it.
#include <cstdint>
#include <set>

namespace platform {

// The process groups of every process below `pid` (its descendants, not itself).
std::set<std::uint32_t> ProcessGroupsBelow(std::uint32_t pid);
// Asks every process of the group to end (SIGTERM), or kills them (SIGKILL); false
// when the group has no process left.
bool SignalProcessGroup(std::uint32_t group, bool kill);

} // namespace platform
