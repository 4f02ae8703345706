#pragma once
// Request and reply over packet channels. A pipe sends a request, waits for the
// reply with the same message ID and turns an error reply into an error; in the
// other direction it executes incoming requests through a map from request class
// to handler and sends their replies, or an exception packet when a handler fails.
//
// TLocalCommPipe talks to a service on this machine: a sender towards the service's
// channel and a receiver of its own for the replies. TCommServer is the service's
// end: one receiver on the service channel and a sender per reply channel.
#include "comm/PacketChannel.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace comm {

class TCommPipe;
class TCommExecuteContext;

using TCommHandler = std::function<void(TCommExecuteContext&)>;
// Sends one packet as a reply: the message ID or 0 when it could not be sent.
using TReplySender =
    std::function<std::uint32_t(const packets::TPacket&, std::uint32_t id, std::uint8_t flags)>;

class TCommMethodMap {
public:
    // The class must be registered.
    void Register(const packets::TPacketClass& cls, TCommHandler handler);
    const TCommHandler* Find(std::int32_t registrationId) const;

private:
    std::unordered_map<std::int32_t, TCommHandler> handlers;
};

class TCommExecuteContext {
public:
    TCommExecuteContext(TCommPipe& pipe, packets::TPacket& request, std::uint32_t messageId,
                        std::uint8_t flags, TReplySender send);
    // Only once, only when the requester expects a reply, only on the creating thread.
    bool SendReply(const packets::TPacket& reply, std::uint8_t flags = 0);

    TCommPipe& Pipe;
    packets::TPacket& Request;
    const std::uint32_t MessageID;
    const std::uint8_t Flags;
    bool ReplySent = false;
    // The user who sent the request, as the system vouches for it (the creator of the
    // requester's reply channel); none when it cannot be told.
    std::optional<std::uint32_t> Caller;
    // The process that sent it, when the system names it.
    std::optional<std::uint32_t> CallerProcess;

private:
    std::uint32_t thread;
    TReplySender send;
};

enum class TCommState : int { Connecting = 0, Connected = 1, Terminated = 2 };

class TCommPipe {
public:
    explicit TCommPipe(core::TNotifyQueue& queue, TCommMethodMap* methods = nullptr);
    virtual ~TCommPipe();
    TCommPipe(const TCommPipe&) = delete;
    TCommPipe& operator=(const TCommPipe&) = delete;

    virtual std::unique_ptr<TPacketChannelMessage> WaitForReply(std::uint32_t messageId,
                                                                std::uint32_t timeoutMs) = 0;
    virtual std::uint32_t Send(const packets::TPacket& packet, std::uint32_t messageId,
                               std::uint8_t flags) = 0;
    virtual void CheckConnected() = 0;
    virtual void CheckConnection() {}
    virtual void Terminate() = 0;

    // Sends and waits for the reply (owned by the caller). An exception reply raises
    // "Failed to complete request: ...".
    std::unique_ptr<packets::TPacket> Request(const packets::TPacket& request,
                                              std::uint8_t flags = 0, std::uint32_t timeoutMs = 0);
    // The same; the reply is dropped at once.
    void RequestNoReply(const packets::TPacket& request, std::uint8_t flags = 0,
                        std::uint32_t timeoutMs = 0);

    TCommState State() const { return state; }
    bool EverConnected() const { return everConnected; }
    bool WasTerminated() const { return wasTerminated; }
    std::uint32_t Serial() const { return serial; }
    TCommMethodMap& Methods() { return *methods; }
    void AddOnConnect(std::function<void()> handler) { onConnect.push_back(std::move(handler)); }
    void AddOnTerminate(std::function<void()> handler) {
        onTerminate.push_back(std::move(handler));
    }

    // Runs an incoming message through the method map; replies go through `send`.
    void ExecuteMessage(TPacketChannelMessage& message, const TReplySender& send,
                        std::optional<std::uint32_t> caller = std::nullopt,
                        std::optional<std::uint32_t> callerProcess = std::nullopt);

protected:
    void SetState(TCommState value);
    virtual std::string_view PipeClassName() const { return "TCommPipe"; }
    core::TNotifyQueue& queue;

private:
    std::uint32_t serial;
    TCommState state = TCommState::Connecting;
    bool everConnected = false;
    bool wasTerminated = false;
    std::unique_ptr<TCommMethodMap> ownMethods;
    TCommMethodMap* methods;
    std::vector<std::function<void()>> onConnect;
    std::vector<std::function<void()>> onTerminate;
};

class TLocalCommPipe : public TCommPipe {
public:
    TLocalCommPipe(const core::TGUID& serviceChannel, std::uint32_t sectionSize,
                   const packets::TProgressLogger& logger, std::string remoteName,
                   std::int32_t session, core::TNotifyQueue* queue = nullptr);
    ~TLocalCommPipe() override;

    std::unique_ptr<TPacketChannelMessage> WaitForReply(std::uint32_t messageId,
                                                        std::uint32_t timeoutMs) override;
    std::uint32_t Send(const packets::TPacket& packet, std::uint32_t messageId,
                       std::uint8_t flags) override;
    void CheckConnected() override;
    void Terminate() override;

    TPacketChannelReceiver& Receiver() { return *receiver; }
    TPacketChannelSender& Sender() { return *sender; }

protected:
    std::string_view PipeClassName() const override { return "TLocalCommPipe"; }

private:
    std::string remoteName;
    std::unique_ptr<TPacketChannelReceiver> receiver;
    std::unique_ptr<TPacketChannelSender> sender;
};

// The service end: executes the requests that arrive on its channel and replies to
// each requester's own channel.
class TCommServer : public TCommPipe {
public:
    TCommServer(const core::TGUID& channel, std::uint32_t sectionSize, std::int32_t session,
                const packets::TProgressLogger& logger = nullptr,
                core::TNotifyQueue* queue = nullptr);
    ~TCommServer() override;

    std::unique_ptr<TPacketChannelMessage> WaitForReply(std::uint32_t messageId,
                                                        std::uint32_t timeoutMs) override;
    std::uint32_t Send(const packets::TPacket& packet, std::uint32_t messageId,
                       std::uint8_t flags) override;
    void CheckConnected() override {}
    void Terminate() override;

    TPacketChannelReceiver& Receiver() { return *receiver; }
    // Reply channels currently open.
    std::size_t ReplyChannels() const { return senders.size(); }

protected:
    std::string_view PipeClassName() const override { return "TCommServer"; }

private:
    TPacketChannelSender* SenderFor(const core::TGUID& replyTo, std::int32_t session);
    void Prune();

    std::uint32_t sectionSize;
    std::unique_ptr<TPacketChannelReceiver> receiver;
    std::map<core::TGUID, std::unique_ptr<TPacketChannelSender>> senders;
    std::unique_ptr<core::TClock> pruneClock;
};

} // namespace comm
