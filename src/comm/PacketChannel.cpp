#include "comm/PacketChannel.h"

#include "comm/MessageFrame.h"
#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "packets/ByteReader.h"
#include "platform/Clock.h"
#include "platform/SharedObjects.h"
#include "records/ServicePackets.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

namespace comm {

namespace {

constexpr std::size_t ControlSize = 44;
constexpr std::size_t HeadSize = MessageHeadSize;
constexpr std::uint32_t ProtocolVersion = 3;
constexpr std::uint32_t CheckIntervalMs = 4000;
constexpr std::uint32_t RepairIntervalMs = 250;

std::uint32_t Load32(std::uint8_t* block, std::size_t offset) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(block + offset))
        .load(std::memory_order_acquire);
}
void Store32(std::uint8_t* block, std::size_t offset, std::uint32_t value) {
    std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(block + offset))
        .store(value, std::memory_order_release);
}
std::uint8_t Load8(std::uint8_t* block, std::size_t offset) {
    return std::atomic_ref<std::uint8_t>(block[offset]).load(std::memory_order_acquire);
}
void Store8(std::uint8_t* block, std::size_t offset, std::uint8_t value) {
    std::atomic_ref<std::uint8_t>(block[offset]).store(value, std::memory_order_release);
}

} // namespace

std::string DisconnectReasonText(int reason) {
    switch (reason) {
    case 0:
        return "Unknown reason";
    case 1:
        return "Server is not reachable";
    case 2:
        return "Unknown protocol version";
    case 3:
        return "Connection object marked as terminated";
    case 4:
        return "Connection object marked as invalid";
    case 5:
        return "Connection object remote thread has terminated";
    case 6:
        return "Connection object event could not be opened";
    case 7:
        return "Unknown error";
    case 8:
        return "Connection object was released";
    default:
        return "Unknown state (" + std::to_string(reason) + ")";
    }
}

// ---------------------------------------------------------------- receiver

TPacketChannelReceiver::TPacketChannelReceiver(core::TNotifyQueue& queue, std::int32_t session,
                                               const packets::TProgressLogger& logger,
                                               std::uint32_t sectionSize,
                                               const core::TGUID& channelId)
    : queue(queue), id(channelId), session(session) {
    auto report = [&](std::string_view line) {
        if (logger) {
            logger(line);
        }
    };
    report("  Creating mapping object");
    if (session == packets::SessionGlobal) {
        queue.UseGlobalExternalEvent();
    }
    // The objects of a receiver that has ended are taken over (a restarted service
    // gets its channel back while clients of the old one still hold it).
    bool existed = false;
    control = platform::TSharedSection::Create(
        packets::SharedObjectName(id, session, "Channel_Data"), ControlSize, &existed,
        platform::TObjectOptions{std::nullopt, true});
    if (existed || control->Size() < ControlSize) {
        core::Raise(core::EGeneralError("Channel " + id.ToString() +
                                        " is already served by a running process"));
    }
    lock = std::make_unique<packets::TSpinLock>(Block() + 4);
    report("  Creating growing shared stream (view size is " + std::to_string(sectionSize) + ")");
    stream =
        std::make_unique<packets::TGrowingSharedStream>(id, sectionSize, logger, true, session);
    // Senders never need more than the pending limit and one section.
    stream->SetSizeLimit(static_cast<std::int64_t>(MaxPendingBytes) + sectionSize);
    report("  Creating receiver thread UID");
    identity = packets::CurrentThreadIdentity();
    startStamp = packets::CurrentThreadStartStamp();
    RepairControlBlock();
    queue.AddExternalHandler({this, "TPacketChannelReceiver"},
                             [this] { ProcessExternalNotification(); });
    report("  Creating buffer monitor timer");
    bufferMonitor = std::make_unique<core::TClock>(
        CheckIntervalMs, true, [this] { MonitorBuffer(); }, &queue);
    if (session == packets::SessionGlobal) {
        // Every user can write a global channel: what they break is mended at once,
        // and waiting messages are read even when nobody could signal them.
        repairClock = std::make_unique<core::TClock>(
            RepairIntervalMs, true,
            [this] {
                RepairControlBlock();
                stream->Repair();
                if (Load32(Block(), 12) != 0) {
                    ProcessExternalNotification();
                }
            },
            &queue);
    }
}

TPacketChannelReceiver::~TPacketChannelReceiver() {
    queue.RemoveExternalHandlers(this);
    queue.Remove(this);
    repairClock.reset();
    bufferMonitor.reset();
    Terminate();
    stream.reset();
    lock.reset();
    control.reset();
}

std::uint8_t* TPacketChannelReceiver::Block() const {
    return static_cast<std::uint8_t*>(control->Data());
}

void TPacketChannelReceiver::Terminate() {
    terminated = true;
    Store8(Block(), 41, 1);
}

// Writes back the fields only the receiver sets, should anyone else have changed them
// (a global channel's block is writable by every user; a private one only by its own).
void TPacketChannelReceiver::RepairControlBlock() {
    if (terminated) {
        return;
    }
    std::uint8_t* block = Block();
    const core::TGUID& queueGuid = queue.ExternalEventGuid();
    if (Load32(block, 0) != ProtocolVersion || Load32(block, 16) != startStamp ||
        Load32(block, 20) != identity || std::memcmp(block + 24, queueGuid.Bytes.data(), 16) != 0 ||
        Load8(block, 40) != 1 || Load8(block, 41) != 0) {
        std::memcpy(block + 24, queueGuid.Bytes.data(), 16);
        Store32(block, 16, startStamp);
        Store32(block, 20, identity);
        Store8(block, 41, 0);
        Store8(block, 40, 1);
        Store32(block, 0, ProtocolVersion);
    }
}

void TPacketChannelReceiver::DropPending(const std::string& why, const core::TGUID* sender) {
    ++dropped;
    Store32(Block(), 12, 0);
    try {
        stream->Reset();
    } catch (const std::exception& e) {
        core::Log().Warning(e.what());
    }
    core::Log().Warning("Connection object buffer: malformed message dropped\r\n" + why);
    if (sender && onMalformed) {
        onMalformed(*sender);
    }
}

void TPacketChannelReceiver::Receive() {
    if (session == packets::SessionGlobal) {
        RepairControlBlock();
    }
    if (Load32(Block(), 12) == 0 || terminated) {
        return;
    }
    const packets::TSpinLockGuard guard(*lock);
    const std::uint32_t pending = Load32(Block(), 12);
    if (pending > MaxPendingBytes || pending > stream->Size()) {
        DropPending("Pending length " + std::to_string(pending) + " exceeds the buffer", nullptr);
        return;
    }
    std::unique_ptr<core::TGUID> sender;
    try {
        std::int64_t at = 0;
        while (at < pending) {
            std::array<std::uint8_t, HeadSize> headBytes{};
            stream->Seek(at, packets::TSeekOrigin::soBeginning);
            if (stream->Read(headBytes.data(), HeadSize) != HeadSize) {
                core::Raise(core::ERangeError("Stream read error"));
            }
            auto message = std::make_unique<TPacketChannelMessage>();
            // A malformed head still names the sender whose channel is dropped.
            sender = std::make_unique<core::TGUID>();
            std::memcpy(sender->Bytes.data(), &headBytes[16], 16);
            ReadMessageHead(headBytes, *message, static_cast<std::uint32_t>(pending - at));
            std::vector<std::uint8_t> body(message->Length - HeadSize);
            if (!body.empty() && stream->Read(body.data(), body.size()) != body.size()) {
                core::Raise(core::ERangeError("Stream read error"));
            }
            message->Packet = ReadMessagePacket(body);
            at += message->Length;
            sender.reset();
            received.push_back(std::move(message));
        }
        Store32(Block(), 12, 0);
    } catch (const std::exception& e) {
        // What was read before stays; the rest cannot be framed any more.
        DropPending(e.what(), sender.get());
    }
}

void TPacketChannelReceiver::DispatchReceived() {
    while (!received.empty()) {
        std::unique_ptr<TPacketChannelMessage> message = std::move(received.front());
        received.erase(received.begin());
        if (onMessage) {
            onMessage(*message);
        }
    }
}

void TPacketChannelReceiver::ProcessExternalNotification() {
    try {
        Receive();
        DispatchReceived();
        bufferMonitor->Restart();
    } catch (...) {
        core::RethrowWrapped("Failed to process external notification on receiving channel");
    }
}

void TPacketChannelReceiver::MonitorBuffer() {
    bufferMonitor->SetEnabled(false);
    if (session == packets::SessionGlobal) {
        RepairControlBlock();
    }
    const packets::TSpinLockGuard guard(*lock);
    if (Load32(Block(), 12) == 0 && stream->Size() > 0) {
        stream->Reset();
    }
}

std::unique_ptr<TPacketChannelMessage>
TPacketChannelReceiver::WaitForReply(TPacketChannelSender& sender, std::uint32_t messageId,
                                     std::uint32_t timeoutMs) {
    std::uint32_t timeout = timeoutMs != 0        ? timeoutMs
                            : defaultTimeout != 0 ? defaultTimeout
                                                  : DefaultReplyTimeoutMs;
    const std::uint64_t start = platform::GetTickCount64();
    const std::uint64_t deadline = start + timeout;
    bool first = true;
    bool dispatchPosted = false;
    for (;;) {
        const std::uint64_t now = platform::GetTickCount64();
        const std::uint64_t remaining = deadline > now ? deadline - now : 0;
        const auto slice = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, 4000));
        platform::TEvent* toSet = first ? sender.TargetEvent() : nullptr;
        first = false;
        const bool signalled = queue.WaitForExternalEvent(slice, toSet);
        Receive();
        std::unique_ptr<TPacketChannelMessage> reply;
        for (auto it = received.rbegin(); it != received.rend();) {
            TPacketChannelMessage& m = **it;
            if ((m.Flags & mfReply) && m.MessageID == messageId && m.ReplyTo == sender.Target()) {
                if (reply) {
                    core::AssertionFailed("Second reply to one message", __FILE__, __LINE__);
                }
                reply = std::move(*it);
                it = decltype(it)(received.erase(std::next(it).base()));
                continue;
            }
            if (!dispatchPosted) {
                dispatchPosted = true;
                queue.Post({this, "TPacketChannelReceiver"}, "DispatchReceived",
                           [this] { DispatchReceived(); });
            }
            ++it;
        }
        if (reply) {
            return reply;
        }
        if (platform::GetTickCount64() - start > 2000) {
            sender.Check(true);
        }
        if (!sender.Connected()) {
            core::Raise(core::EGeneralError(
                "Connection terminated while waiting for reply from local connection: " +
                sender.ReasonText()));
        }
        if (!signalled && remaining <= 4000) {
            break;
        }
    }
    core::Raise(core::EGeneralError("Timed out waiting for reply from local connection (after " +
                                    std::to_string(timeout / 1000) + " seconds; Event name: " +
                                    sender.TargetEventNativeName() + ")"));
}

// ---------------------------------------------------------------- sender

TPacketChannelSender::TPacketChannelSender(core::TNotifyQueue& queue, std::uint32_t sectionSize,
                                           std::int32_t session, const core::TGUID& target,
                                           const core::TGUID& replyTo)
    : queue(queue), creatorThread(platform::CurrentThreadId()), target(target), session(session),
      replyTo(replyTo), headSession(session == -1 ? -1 : packets::ProcessSessionNumber()),
      sectionSize(sectionSize) {
    queue.AddExternalHandler({this, "TPacketChannelSender"}, [this] { Check(false); });
}

TPacketChannelSender::~TPacketChannelSender() {
    queue.RemoveExternalHandlers(this);
    queue.Remove(this);
    if (connected) {
        Disconnect(static_cast<int>(TDisconnectReason::Released));
    }
}

std::uint8_t* TPacketChannelSender::Block() const {
    return static_cast<std::uint8_t*>(control->Data());
}

std::string TPacketChannelSender::TargetEventNativeName() const {
    const std::string base = core::TNotifyQueue::ExternalEventName(targetQueue, -1);
    if (session == packets::SessionGlobal) {
        return "\\BaseNamedObjects\\" + base;
    }
    if (session < 0) {
        return platform::OwnSessionObjectDirectory() + base;
    }
    return "\\Sessions\\" + std::to_string(session) + "\\BaseNamedObjects\\" + base;
}

bool TPacketChannelSender::Connect() {
    if (connected) {
        return true;
    }
    try {
        control = platform::TSharedSection::Open(
            packets::SharedObjectName(target, session, "Channel_Data"));
        if (!control || control->Size() < ControlSize) {
            control.reset();
            reason = static_cast<int>(TDisconnectReason::NotReachable);
            return false;
        }
        auto refusal = [this] {
            if (Load8(Block(), 40) == 0) {
                return static_cast<int>(TDisconnectReason::Invalid);
            }
            if (Load8(Block(), 41) != 0) {
                return static_cast<int>(TDisconnectReason::Terminated);
            }
            if (Load32(Block(), 0) <= 2) {
                return static_cast<int>(TDisconnectReason::ProtocolVersion);
            }
            if (packets::IsThreadIdentityDead(Load32(Block(), 20), Load32(Block(), 16))) {
                return static_cast<int>(TDisconnectReason::ThreadTerminated);
            }
            return 0;
        };
        int why = refusal();
        // Every user can write a global channel's block, and its receiver mends it
        // within a fraction of a second: a refusal there is looked at again.
        // A restarted receiver replaces the block: the name is opened again.
        for (int retry = 0; why != 0 && session == packets::SessionGlobal && retry < 8; ++retry) {
            platform::SleepMs(125);
            auto again = platform::TSharedSection::Open(
                packets::SharedObjectName(target, session, "Channel_Data"));
            if (again && again->Size() >= ControlSize) {
                control = std::move(again);
            }
            why = refusal();
        }
        if (why != 0) {
            control.reset();
            reason = why;
            return false;
        }
        std::memcpy(targetQueue.Bytes.data(), Block() + 24, 16);
        targetEvent =
            platform::TEvent::Open(core::TNotifyQueue::ExternalEventName(targetQueue, session));
        if (!targetEvent) {
            control.reset();
            reason = static_cast<int>(TDisconnectReason::EventNotOpened);
            return false;
        }
        lock = std::make_unique<packets::TSpinLock>(Block() + 4);
        stream = std::make_unique<packets::TGrowingSharedStream>(target, sectionSize, nullptr,
                                                                 false, session);
        checkClock = std::make_unique<core::TClock>(
            CheckIntervalMs, true, [this] { Check(true); }, &queue);
        connected = true;
        reason = 0;
        return true;
    } catch (...) {
        reason = static_cast<int>(TDisconnectReason::Error);
        checkClock.reset();
        stream.reset();
        lock.reset();
        targetEvent.reset();
        control.reset();
        core::RethrowWrapped("Failed to connect to packet channel receiver");
    }
}

void TPacketChannelSender::Disconnect(int why) {
    reason = why;
    connected = false;
    checkClock.reset();
    stream.reset();
    lock.reset();
    targetEvent.reset();
    control.reset();
    if (onDisconnect) {
        onDisconnect();
    }
}

void TPacketChannelSender::Check(bool deep) {
    if (!connected || !control) {
        return;
    }
    int why = 0;
    if (Load8(Block(), 41) != 0) {
        why = static_cast<int>(TDisconnectReason::Terminated);
    } else if (deep) {
        try {
            if (packets::IsThreadIdentityDead(Load32(Block(), 20), Load32(Block(), 16))) {
                why = static_cast<int>(TDisconnectReason::ThreadTerminated);
            }
        } catch (const std::exception&) {
            why = static_cast<int>(TDisconnectReason::Error);
        }
    }
    if (why != 0) {
        Disconnect(why);
    }
}

std::uint32_t TPacketChannelSender::Send(std::uint32_t messageId, const packets::TPacket& packet,
                                         std::uint8_t flags) {
    if (platform::CurrentThreadId() != creatorThread) {
        core::AssertionFailed("Packet channel sender used from another thread", __FILE__, __LINE__);
    }
    Check(false);
    if (!connected) {
        return 0;
    }
    try {
        const std::uint32_t id = (flags & mfReply) ? messageId : ++lastId;
        // The message is put together in memory first, so the shared stream is
        // written (and its lock taken) once.
        packets::TMemoryStream message;
        message.SetSize(HeadSize);
        message.Seek(HeadSize, packets::TSeekOrigin::soBeginning);
        packet.SaveToStream(message);
        const auto length = static_cast<std::uint32_t>(message.Size());
        const auto head = MakeMessageHead(flags, id, replyTo, headSession, length);
        std::memcpy(message.Memory(), head.data(), HeadSize);
        {
            const packets::TSpinLockGuard guard(*lock);
            const std::uint32_t start = Load32(Block(), 12);
            if (start > MaxPendingBytes || length > MaxPendingBytes - start) {
                core::Raise(core::EGeneralError("Channel buffer is full"));
            }
            stream->Seek(start, packets::TSeekOrigin::soBeginning);
            stream->Write(message.Memory(), length);
            Store32(Block(), 12, start + length);
        }
        if (!(flags & mfReplyExpected)) {
            targetEvent->Set();
        }
        return id;
    } catch (const std::exception&) {
        return 0;
    }
}

} // namespace comm
