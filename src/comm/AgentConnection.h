#pragma once
// A connection to the local agent service: a comm pipe towards the channel that the
// product information names, opened on first use. The console's status queries and
// control commands and the build proxy's start request travel over one each.
#include <cstdint>
#include <functional>
#include <memory>

namespace packets {
class TPacket;
}

namespace comm {

class TAgentConnection {
public:
    virtual ~TAgentConnection() = default;
    // Sends a request and returns the reply (null when none came); an error reply or
    // a lost connection raises.
    virtual std::unique_ptr<packets::TPacket> Request(const packets::TPacket& request);
    // Sends without waiting for a reply.
    virtual void Post(const packets::TPacket& request);
    // False once the connection is closed (never opened, or lost).
    virtual bool Open() const { return false; }
    // How long Request waits for a reply (by default DefaultReplyTimeoutMs).
    virtual void SetReplyTimeout(std::uint32_t ms) { (void)ms; }
    // Called once when a connection that was open is lost.
    virtual void SetOnDisconnected(std::function<void()> handler) { (void)handler; }
};

// The real connection: a local comm pipe named "Build Service" with 2 MiB sections
// to the agent's global channel.
std::unique_ptr<TAgentConnection> ConnectToAgent();

} // namespace comm
