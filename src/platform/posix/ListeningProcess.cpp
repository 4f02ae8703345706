#include "platform/ListeningProcess.h"

#include "platform/posix/ProcessDescriptors.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>

namespace platform {

namespace {

constexpr const char* ListenState = "0A";
// 127.0.0.1 as /proc/net/tcp writes it (host byte order, little-endian machines).
constexpr const char* LoopbackHex = "0100007F";

std::set<std::string> ListeningInodes(std::uint16_t port) {
    std::set<std::string> inodes;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line); // the heading
    char local[32];
    std::snprintf(local, sizeof local, "%s:%04X", LoopbackHex, port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, localAddress, remoteAddress, state, queues, timer, retransmits, uid,
            timeout, inode;
        fields >> slot >> localAddress >> remoteAddress >> state >> queues >> timer >>
            retransmits >> uid >> timeout >> inode;
        if (localAddress == local && state == ListenState && !inode.empty()) {
            inodes.insert("socket:[" + inode + "]");
        }
    }
    return inodes;
}

} // namespace

static bool HoldsOneOf(std::uint32_t pid, const std::set<std::string>& inodes) {
    return AnyDescriptorOf(pid, [&](int folder, const char* name) {
        char target[64];
        const ssize_t n = ::readlinkat(folder, name, target, sizeof target - 1);
        if (n <= 0) {
            return false;
        }
        target[n] = '\0';
        return inodes.count(target) > 0;
    });
}

bool ProcessListensOnLoopback(std::uint32_t pid, std::uint16_t port) {
    const std::set<std::string> inodes = ListeningInodes(port);
    if (inodes.empty()) {
        return false;
    }
    if (HoldsOneOf(pid, inodes)) {
        return true;
    }
    // A job's keeper runs the program as its child.
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                           "/children");
    std::uint32_t child = 0;
    while (children >> child) {
        if (HoldsOneOf(child, inodes)) {
            return true;
        }
    }
    return false;
}

} // namespace platform
