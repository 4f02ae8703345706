#pragma once
// The console's connection to the local agent service: the status query of the
// run sequence and the requests that follow it. Tests hand the console a fake.
#include <functional>
#include <memory>
#include <string>

namespace packets {
class TPacket;
}

namespace console {

// What the agent service answered to the status query.
struct TServiceStatus {
    bool StandAlone = true;
    bool CoordinatorVersionMismatch = false;
    bool AllowEnableDisable = false;
    std::string Host;
};

class TServiceLink {
public:
    virtual ~TServiceLink() = default;
    // Connects and asks for the service status; null when no service answered.
    virtual std::unique_ptr<TServiceStatus> QueryStatus() = 0;
    // Sends a request and returns the reply (null when none came); an error reply or
    // a lost connection raises.
    virtual std::unique_ptr<packets::TPacket> Request(const packets::TPacket& request);
    // Sends without waiting for a reply.
    virtual void Post(const packets::TPacket& request);
    // False once the connection is closed (never opened, or lost).
    virtual bool Open() const { return false; }
    // Called once when a connection that was open is lost.
    virtual void SetOnDisconnected(std::function<void()> handler) { (void)handler; }
};

// The link used by the program: a local comm pipe to the agent service named by
// the product information.
std::unique_ptr<TServiceLink> CreateAgentServiceLink();

} // namespace console
