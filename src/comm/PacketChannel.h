#pragma once
// A packet channel: any number of senders in other processes append messages to a
// receiver's growing shared stream and wake the receiver through the external
// event of its notify queue. The receiver drains every pending message at once.
//
// Control block "Channel_Data" (44 bytes, little-endian, created by the receiver):
//    0  4  protocol version (3)        4  8  spin lock
//   12  4  pending length: bytes of unread messages at the start of the stream
//   16  4  receiver's start stamp      20  4  thread identity of the receiver
//   24 16  GUID of the receiver's notify queue (names its external event)
//   40  1  valid   41  1  terminated   42  2  unused
//
// Message head (44 bytes) in front of every packet (full stream form):
//    0  1  head version (3)   1 3 zero   4 1 flags (1 reply, 2 error, 4 reply expected)
//    5  3  zero   8 4 message ID   12 4 -1   16 16 reply-to channel GUID
//   32  4  sender's session number (-1 within one session)   36 4 zero
//   40  4  message length: head plus packet
// The channel's stream has the channel's GUID and session, owned by the receiver.
// The receiver's queue event lives in the channel's session too.
//
// Every byte a sender can write is checked against hard limits: a malformed
// message is dropped with what follows it (and its sender's reply channel is
// forgotten), a control block that someone else changed is repaired, and the
// receiver keeps serving.
#include "core/Guid.h"
#include "core/NotifyQueue.h"
#include "packets/GrowingSharedStream.h"
#include "packets/Packet.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {
class TSharedSection;
class TEvent;
} // namespace platform

namespace comm {

enum TMessageFlags : std::uint8_t {
    mfReply = 1,
    mfErrorReply = 2,
    mfReplyExpected = 4,
};

constexpr std::uint32_t DefaultReplyTimeoutMs = 600000;

struct TPacketChannelMessage {
    std::uint8_t Version = 3;
    std::uint8_t Flags = 0;
    std::uint32_t MessageID = 0;
    core::TGUID ReplyTo;
    std::int32_t Session = -1;
    std::uint32_t Length = 0;
    std::unique_ptr<packets::TPacket> Packet;
};

enum class TDisconnectReason : int {
    Unknown = 0,
    NotReachable = 1,
    ProtocolVersion = 2,
    Terminated = 3,
    Invalid = 4,
    ThreadTerminated = 5,
    EventNotOpened = 6,
    Error = 7,
    Released = 8,
};
std::string DisconnectReasonText(int reason);
// The most bytes of messages that may wait in one channel.
constexpr std::uint32_t MaxPendingBytes = 64u << 20;

class TPacketChannelSender;

class TPacketChannelReceiver {
public:
    using TCallback = std::function<void(TPacketChannelMessage&)>;

    TPacketChannelReceiver(core::TNotifyQueue& queue, std::int32_t session,
                           const packets::TProgressLogger& logger, std::uint32_t sectionSize,
                           const core::TGUID& channelId);
    ~TPacketChannelReceiver();
    TPacketChannelReceiver(const TPacketChannelReceiver&) = delete;
    TPacketChannelReceiver& operator=(const TPacketChannelReceiver&) = delete;

    void SetCallback(TCallback callback) { onMessage = std::move(callback); }
    // Told the reply channel of a sender whose message was malformed.
    void SetMalformedCallback(std::function<void(const core::TGUID&)> callback) {
        onMalformed = std::move(callback);
    }
    // Messages dropped as malformed so far.
    std::size_t DroppedCount() const { return dropped; }
    void SetDefaultTimeout(std::uint32_t ms) { defaultTimeout = ms; }
    const core::TGUID& ChannelId() const { return id; }

    // Waits for the reply of `sender`'s message `messageId`; other messages that
    // arrive meanwhile are dispatched later through the queue.
    std::unique_ptr<TPacketChannelMessage> WaitForReply(TPacketChannelSender& sender,
                                                        std::uint32_t messageId,
                                                        std::uint32_t timeoutMs = 0);
    // Reads pending messages and hands them to the callback (the external handler).
    void ProcessExternalNotification();
    // Marks the channel terminated: senders stop sending.
    void Terminate();
    packets::TGrowingSharedStream& Stream() { return *stream; }
    std::size_t ReceivedCount() const { return received.size(); }

private:
    std::uint8_t* Block() const;
    void Receive();
    void DispatchReceived();
    void MonitorBuffer();
    void RepairControlBlock();
    void DropPending(const std::string& why, const core::TGUID* sender);

    core::TNotifyQueue& queue;
    core::TGUID id;
    std::int32_t session;
    std::unique_ptr<platform::TSharedSection> control;
    std::unique_ptr<packets::TSpinLock> lock;
    std::unique_ptr<packets::TGrowingSharedStream> stream;
    std::vector<std::unique_ptr<TPacketChannelMessage>> received;
    TCallback onMessage;
    std::function<void(const core::TGUID&)> onMalformed;
    std::unique_ptr<core::TClock> bufferMonitor;
    std::unique_ptr<core::TClock> repairClock;
    std::uint32_t defaultTimeout = 0;
    bool terminated = false;
    std::uint32_t identity = 0;
    std::uint32_t startStamp = 0;
    std::size_t dropped = 0;
};

class TPacketChannelSender {
public:
    TPacketChannelSender(core::TNotifyQueue& queue, std::uint32_t sectionSize, std::int32_t session,
                         const core::TGUID& target, const core::TGUID& replyTo);
    ~TPacketChannelSender();
    TPacketChannelSender(const TPacketChannelSender&) = delete;
    TPacketChannelSender& operator=(const TPacketChannelSender&) = delete;

    bool Connect();
    // The message ID, or 0 when not connected or when writing failed.
    std::uint32_t Send(std::uint32_t messageId, const packets::TPacket& packet, std::uint8_t flags);
    void Check(bool deep);

    bool Connected() const { return connected; }
    int Reason() const { return reason; }
    std::string ReasonText() const { return DisconnectReasonText(reason); }
    const core::TGUID& Target() const { return target; }
    std::int32_t TargetSession() const { return session; }
    void SetDisconnectCallback(std::function<void()> callback) {
        onDisconnect = std::move(callback);
    }
    platform::TEvent* TargetEvent() const { return targetEvent.get(); }
    std::string TargetEventNativeName() const;

private:
    std::uint8_t* Block() const;
    void Disconnect(int why);

    core::TNotifyQueue& queue;
    std::uint32_t creatorThread;
    core::TGUID target;
    std::int32_t session;
    core::TGUID replyTo;
    std::int32_t headSession;
    std::uint32_t sectionSize;
    bool connected = false;
    int reason = 0;
    core::TGUID targetQueue;
    std::unique_ptr<platform::TSharedSection> control;
    std::unique_ptr<packets::TSpinLock> lock;
    std::unique_ptr<packets::TGrowingSharedStream> stream;
    std::unique_ptr<platform::TEvent> targetEvent;
    std::unique_ptr<core::TClock> checkClock;
    std::function<void()> onDisconnect;
    std::uint32_t lastId = 0;
};

} // namespace comm
