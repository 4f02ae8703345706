#include "platform/ProcessTree.h"

#include "platform/ProcessControl.h"

#include <csignal>
#include <map>
#include <unistd.h>
#include <vector>

namespace platform {

std::set<std::uint32_t> ProcessGroupsBelow(std::uint32_t pid) {
    std::multimap<std::uint32_t, std::uint32_t> children;
    for (const TProcessEntry& entry : SnapshotProcesses()) {
        children.emplace(entry.ParentPid, entry.Pid);
    }
    std::set<std::uint32_t> groups;
    std::set<std::uint32_t> seen{pid};
    std::vector<std::uint32_t> pending{pid};
    while (!pending.empty()) {
        const std::uint32_t parent = pending.back();
        pending.pop_back();
        const auto [first, last] = children.equal_range(parent);
        for (auto it = first; it != last; ++it) {
            if (!seen.insert(it->second).second) {
                continue;
            }
            pending.push_back(it->second);
            const pid_t group = ::getpgid(static_cast<pid_t>(it->second));
            if (group > 1) {
                groups.insert(static_cast<std::uint32_t>(group));
            }
        }
    }
    return groups;
}

bool SignalProcessGroup(std::uint32_t group, bool kill) {
    return group > 1 && ::kill(-static_cast<pid_t>(group), kill ? SIGKILL : SIGTERM) == 0;
}

} // namespace platform
