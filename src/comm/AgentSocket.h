#pragma once
// Where the local agent takes requests: a local stream socket at a fixed path of the
// installation, in a folder of the agent's account that only that account may
// change. The kernel tells the agent who each caller is (peer credentials), and
// tells each caller which account listens, so that neither side trusts a name
// written into a request or a file planted by another user.
#include <memory>
#include <string>

namespace platform {
class TLocalSocket;
}

namespace comm {

// The socket's folder: "<objects root>/agent", or, when a socket path there would
// not fit the system's limit, a short folder in /tmp named by a hash of the
// objects root (so every user of the installation finds the same one).
std::string AgentSocketFolder();
// The socket: "<folder>/request".
std::string AgentSocketPath();

// Connects to the agent's socket after checking that its folder is the agent
// account's and that the agent account listens (peer credentials); an agent of
// this user's own is trusted too. Null with the
// reason otherwise (no agent, or a socket planted by another user).
std::unique_ptr<platform::TLocalSocket> ConnectAgentSocket(std::string& why);

} // namespace comm
