#include "comm/AgentConnection.h"

#include "comm/AgentSocket.h"
#include "comm/MessageFrame.h"
#include "core/Errors.h"
#include "core/NotifyQueue.h"
#include "platform/Clock.h"
#include "platform/LocalSocket.h"
#include "records/Registration.h"
#include "records/ServicePackets.h"

namespace comm {

std::unique_ptr<packets::TPacket> TAgentConnection::Request(const packets::TPacket& request) {
    core::Raise(
        core::EGeneralError("Failed to connect to Build Service (on local machine): cannot send " +
                            std::string(request.ClassName())));
}

void TAgentConnection::Post(const packets::TPacket& request) {
    (void)Request(request);
}

namespace {

constexpr std::uint32_t CheckIntervalMs = 4000;
// Replies hold a few records; anything larger is no reply of the agent.
constexpr std::uint32_t MaxReplyBytes = 64u << 20;

// Requests and replies over the agent's local socket, one connection per object,
// opened on first use. The agent learns who asks from the kernel.
class TAgentSocketConnection final : public TAgentConnection {
public:
    std::unique_ptr<packets::TPacket> Request(const packets::TPacket& request) override {
        Connect();
        const std::uint32_t id = ++lastId;
        Write(request, mfReplyExpected, id);
        const std::uint64_t deadline = platform::GetTickCount64() + replyTimeoutMs;
        for (;;) {
            while (std::unique_ptr<TPacketChannelMessage> message = NextMessage()) {
                if (!(message->Flags & mfReply) || message->MessageID != id) {
                    continue; // a reply to a request that was given up on
                }
                return Unwrap(std::move(message->Packet));
            }
            const std::uint64_t now = platform::GetTickCount64();
            if (now >= deadline) {
                core::Raise(core::EGeneralError(
                    "Timed out waiting for reply from local connection (after " +
                    std::to_string(replyTimeoutMs / 1000) + " seconds)"));
            }
            if (!socket->WaitReadable(static_cast<std::uint32_t>(deadline - now))) {
                continue;
            }
            char chunk[16384];
            std::string why;
            const std::int64_t got = socket->Receive(chunk, sizeof chunk, &why);
            if (got <= 0) {
                // The end read, or a reset: the agent's process is gone.
                Lost();
                core::Raise(core::EGeneralError(
                    "Connection terminated while waiting for reply from local connection: " +
                    DisconnectReasonText(static_cast<int>(TDisconnectReason::ThreadTerminated))));
            }
            reader.Append(chunk, static_cast<std::size_t>(got));
        }
    }

    void Post(const packets::TPacket& request) override {
        Connect();
        Write(request, 0, ++lastId);
    }

    bool Open() const override { return socket && !lost; }

    void SetReplyTimeout(std::uint32_t ms) override { replyTimeoutMs = ms; }

    void SetOnDisconnected(std::function<void()> handler) override {
        onDisconnected = std::move(handler);
    }

private:
    // A no-op once connected; a lost connection stays lost.
    void Connect() {
        if (!socket) {
            records::RegisterAllPacketClasses();
            std::string why;
            socket = ConnectAgentSocket(why);
            if (!socket) {
                core::Raise(core::EGeneralError(
                    "Failed to connect to Build Service (on local machine): " +
                    DisconnectReasonText(static_cast<int>(TDisconnectReason::NotReachable)) + " (" +
                    why + ")"));
            }
            // Told when the agent goes away, as long as the connection is kept.
            notify = core::TNotifyQueue::ThreadQueue();
            if (!notify) {
                notify = &core::MainQueue();
            }
            watch = std::make_unique<core::TClock>(
                CheckIntervalMs, true,
                [this] {
                    if (!lost && socket->PeerClosed()) {
                        Lost();
                    }
                },
                notify);
        }
        if (lost) {
            core::Raise(core::EGeneralError(
                "Failed to connect to Build Service (on local machine): " +
                DisconnectReasonText(static_cast<int>(TDisconnectReason::Terminated))));
        }
    }

    void Write(const packets::TPacket& request, std::uint8_t flags, std::uint32_t id) {
        std::string why;
        if (!socket->SendAll(EncodeMessage(request, flags, id), &why)) {
            Lost();
            core::Raise(core::EGeneralError("Failed to send " + std::string(request.ClassName()) +
                                            " to Build Service (on local machine): " + why));
        }
    }

    std::unique_ptr<TPacketChannelMessage> NextMessage() {
        try {
            return reader.Next();
        } catch (const std::exception& e) {
            Lost();
            core::Raise(
                core::EGeneralError("Invalid reply from Build Service: " + std::string(e.what())));
        }
    }

    static std::unique_ptr<packets::TPacket> Unwrap(std::unique_ptr<packets::TPacket> reply) {
        if (reply->Class().InheritsFrom(records::TCommExceptionPacket::StaticClass())) {
            const auto& error = static_cast<const records::TCommExceptionPacket&>(*reply);
            core::Raise(
                core::EGeneralError("Failed to complete request: " + error.ExceptionMethodName +
                                    "\r\n" + error.ExceptionMessage));
        }
        return reply;
    }

    void Lost() {
        if (lost) {
            return;
        }
        lost = true;
        if (onDisconnected) {
            notify->Post({this, "TAgentSocketConnection"}, "OnDisconnected", onDisconnected);
        }
    }

public:
    ~TAgentSocketConnection() override {
        watch.reset();
        if (notify) {
            notify->Remove(this);
        }
    }

private:
    std::unique_ptr<platform::TLocalSocket> socket;
    TMessageFrameReader reader{MaxReplyBytes};
    std::unique_ptr<core::TClock> watch;
    core::TNotifyQueue* notify = nullptr;
    std::function<void()> onDisconnected;
    std::uint32_t lastId = 0;
    std::uint32_t replyTimeoutMs = DefaultReplyTimeoutMs;
    bool lost = false;
};

} // namespace

std::unique_ptr<TAgentConnection> ConnectToAgent() {
    return std::make_unique<TAgentSocketConnection>();
}

} // namespace comm
