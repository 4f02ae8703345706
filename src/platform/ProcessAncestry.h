#pragma once
// The processes above this one and what they hold open: a tool's launcher asks whether
// the process that reads its output pipe is a build driver that prints what it reads.
// Processes of other users show none of their descriptors.
#include "platform/FileIdentity.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct TAncestor {
    std::uint32_t Pid = 0;
    std::string Name; // the kernel's short command name
};

// This process's parent, its parent and so on, nearest first: at most `limit` of them,
// ending before process 1 (and 0).
std::vector<TAncestor> Ancestors(int limit);
// True when process `pid` has a descriptor open on `file`.
bool ProcessHolds(std::uint32_t pid, const TFileIdentity& file);
// What standard stream `stream` of process `pid` is open on; none when it is closed or
// not visible.
std::optional<TFileIdentity> IdentityOfProcessStream(std::uint32_t pid, int stream);

} // namespace platform
