#include "comm/AgentSocket.h"

#include "platform/Files.h"
#include "platform/LocalSocket.h"
#include "platform/SharedObjects.h"

#include <cstdio>

namespace comm {

namespace {
constexpr const char* SocketName = "/request";

std::string Fnv1aHex(const std::string& text) {
    std::uint64_t hash = 1469598103934665603ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}
} // namespace

std::string AgentSocketFolder() {
    const std::string root = platform::ObjectsRoot();
    const std::string folder = root + "/agent";
    if (folder.size() + std::string(SocketName).size() <= platform::TLocalSocket::MaxPathLength()) {
        return folder;
    }
    return "/tmp/morvek-agent-" + Fnv1aHex(root);
}

std::string AgentSocketPath() {
    return AgentSocketFolder() + SocketName;
}

std::unique_ptr<platform::TLocalSocket> ConnectAgentSocket(std::string& why) {
    const std::string path = AgentSocketPath();
    // The agent's account, or this user's own agent (a private installation).
    const platform::TUserId agent = platform::AgentUserId();
    const platform::TUserId me = platform::CurrentUserId();
    std::string folderWhy;
    if (!platform::IsServiceDirectoryOf(AgentSocketFolder(), me, nullptr) &&
        !platform::IsServiceDirectoryOf(AgentSocketFolder(), agent, &folderWhy)) {
        why = "no agent socket (" + folderWhy + ")";
        return nullptr;
    }
    std::string connectWhy;
    auto socket = platform::TLocalSocket::Connect(path, &connectWhy);
    if (!socket) {
        why = connectWhy;
        return nullptr;
    }
    const auto peer = socket->Peer();
    if (!peer || (peer->UserId != agent && peer->UserId != me)) {
        why = "the socket " + path + " is served by " +
              (peer ? "user " + std::to_string(peer->UserId) : std::string("an unknown user")) +
              ", not by the agent's account (user " + std::to_string(agent) + ")";
        return nullptr;
    }
    return socket;
}

} // namespace comm
