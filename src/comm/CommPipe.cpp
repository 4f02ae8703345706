#include "comm/CommPipe.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/SharedObjects.h"
#include "records/ServicePackets.h"

#include <atomic>

namespace comm {

namespace {
std::atomic<std::uint32_t> pipeSerial{0};
} // namespace

void TCommMethodMap::Register(const packets::TPacketClass& cls, TCommHandler handler) {
    packets::RegisterPacketClass(cls);
    handlers[cls.RegistrationId()] = std::move(handler);
}

const TCommHandler* TCommMethodMap::Find(std::int32_t registrationId) const {
    const auto it = handlers.find(registrationId);
    return it == handlers.end() ? nullptr : &it->second;
}

TCommExecuteContext::TCommExecuteContext(TCommPipe& pipe, packets::TPacket& request,
                                         std::uint32_t messageId, std::uint8_t flags,
                                         TReplySender send)
    : Pipe(pipe), Request(request), MessageID(messageId), Flags(flags),
      thread(platform::CurrentThreadId()), send(std::move(send)) {}

bool TCommExecuteContext::SendReply(const packets::TPacket& reply, std::uint8_t flags) {
    if (platform::CurrentThreadId() != thread) {
        core::AssertionFailed("Reply sent from another thread", __FILE__, __LINE__);
    }
    try {
        if (!(Flags & mfReplyExpected)) {
            core::Raise(core::EGeneralError("Reply packet is not expected by caller"));
        }
        if (ReplySent) {
            core::Raise(core::EGeneralError("Reply packet can only be sent once"));
        }
        ReplySent = true;
        return send(reply, MessageID, static_cast<std::uint8_t>((flags | mfReply) & 7)) != 0;
    } catch (...) {
        core::RethrowWrapped("Failed to send reply packet: " + std::string(reply.ClassName()));
    }
}

// ---------------------------------------------------------------- pipe

TCommPipe::TCommPipe(core::TNotifyQueue& queue, TCommMethodMap* given)
    : queue(queue), serial(++pipeSerial), methods(given) {
    if (!methods) {
        ownMethods = std::make_unique<TCommMethodMap>();
        methods = ownMethods.get();
    }
}

TCommPipe::~TCommPipe() {
    queue.Remove(this);
}

void TCommPipe::SetState(TCommState value) {
    if (value < state) {
        core::AssertionFailed("Comm pipe state moves back", __FILE__, __LINE__);
    }
    if (value == state) {
        return;
    }
    state = value;
    if (value == TCommState::Connected) {
        everConnected = true;
        for (const auto& handler : onConnect) {
            queue.Post({this, "TCommPipe"}, "OnConnect", handler);
        }
    } else if (value == TCommState::Terminated) {
        wasTerminated = true;
        for (const auto& handler : onTerminate) {
            queue.Post({this, "TCommPipe"}, "OnTerminate", handler);
        }
    }
}

std::unique_ptr<packets::TPacket> TCommPipe::Request(const packets::TPacket& request,
                                                     std::uint8_t flags, std::uint32_t timeoutMs) {
    const std::uint32_t id =
        Send(request, 0, static_cast<std::uint8_t>((flags | mfReplyExpected) & 7));
    std::unique_ptr<TPacketChannelMessage> message = WaitForReply(id, timeoutMs);
    if (!message || !message->Packet) {
        core::Raise(core::EGeneralError("Timed out waiting for reply from local connection"));
    }
    std::unique_ptr<packets::TPacket> reply = std::move(message->Packet);
    if (reply->Class().InheritsFrom(records::TCommExceptionPacket::StaticClass())) {
        const auto& error = static_cast<const records::TCommExceptionPacket&>(*reply);
        core::Raise(core::EGeneralError("Failed to complete request: " + error.ExceptionMethodName +
                                        "\r\n" + error.ExceptionMessage));
    }
    return reply;
}

void TCommPipe::RequestNoReply(const packets::TPacket& request, std::uint8_t flags,
                               std::uint32_t timeoutMs) {
    Request(request, flags, timeoutMs);
}

void TCommPipe::ExecuteMessage(TPacketChannelMessage& message, const TReplySender& send,
                               std::optional<std::uint32_t> caller,
                               std::optional<std::uint32_t> callerProcess) {
    packets::TPacket& packet = *message.Packet;
    TCommExecuteContext context(*this, packet, message.MessageID, message.Flags, send);
    context.Caller = caller;
    context.CallerProcess = callerProcess;
    try {
        if (message.Flags & mfReply) {
            core::Raise(core::EGeneralError("Unexpected message reply received"));
        }
        if (packet.Class().InheritsFrom(records::TCommExceptionPacket::StaticClass())) {
            core::Raise(core::EGeneralError(
                "Failed to load packet: " +
                static_cast<records::TCommExceptionPacket&>(packet).ExceptionMessage));
        }
        const TCommHandler* handler = methods->Find(packet.Class().RegistrationId());
        if (!handler) {
            core::Raise(core::EGeneralError(
                "Unknown method ID: " + std::to_string(packet.Class().RegistrationId()) + " (" +
                std::string(packet.ClassName()) + ")"));
        }
        (*handler)(context);
        if ((message.Flags & mfReplyExpected) && !context.ReplySent) {
            const packets::TPacket empty;
            context.SendReply(empty);
        }
    } catch (const std::exception& e) {
        std::string text = std::string(PipeClassName()) + " Method Exception\r\n[" +
                           std::string(packet.ClassName()) + "]\r\n" + e.what();
        if (context.ReplySent) {
            text += "\r\n(reply already sent)";
        }
        const bool replyExpected = (message.Flags & mfReplyExpected) != 0;
        if (replyExpected && !context.ReplySent) {
            text += "\r\n(sending exception packet as reply)";
        }
        core::Log().Warning(text);
        if (replyExpected && !context.ReplySent) {
            records::TCommExceptionPacket error;
            error.ExceptionMessage = e.what();
            error.ExceptionClass = core::ErrorClassName(e);
            const bool unreadable =
                packet.Class().InheritsFrom(records::TCommExceptionPacket::StaticClass());
            error.ExceptionMethodName = unreadable ? "" : std::string(packet.ClassName());
            context.ReplySent = true;
            send(error, message.MessageID, mfReply | mfErrorReply);
        } else if (!replyExpected) {
            SetState(TCommState::Terminated);
        }
    }
}

// ---------------------------------------------------------------- local pipe

TLocalCommPipe::TLocalCommPipe(const core::TGUID& serviceChannel, std::uint32_t sectionSize,
                               const packets::TProgressLogger& logger, std::string remote,
                               std::int32_t session, core::TNotifyQueue* givenQueue)
    : TCommPipe(givenQueue ? *givenQueue : core::MainQueue()), remoteName(std::move(remote)) {
    auto report = [&](std::string_view line) {
        if (logger) {
            logger(line);
        }
    };
    report("  Creating packet receiver");
    receiver =
        std::make_unique<TPacketChannelReceiver>(queue, -1, nullptr, sectionSize, core::NewGuid());
    report("  Creating packet sender");
    sender = std::make_unique<TPacketChannelSender>(queue, sectionSize, session, serviceChannel,
                                                    receiver->ChannelId());
    receiver->SetCallback([this](TPacketChannelMessage& message) {
        ExecuteMessage(message, [this](const packets::TPacket& p, std::uint32_t id,
                                       std::uint8_t flags) { return Send(p, id, flags); });
    });
    report("  Attempting connection");
    if (sender->Connect()) {
        SetState(TCommState::Connected);
        sender->SetDisconnectCallback([this] { SetState(TCommState::Terminated); });
    } else {
        SetState(TCommState::Terminated);
    }
}

TLocalCommPipe::~TLocalCommPipe() {
    receiver->Terminate();
    if (sender->Connected() && sender->TargetEvent()) {
        sender->TargetEvent()->Set();
    }
    sender->SetDisconnectCallback(nullptr);
    sender.reset();
    receiver.reset();
}

std::unique_ptr<TPacketChannelMessage> TLocalCommPipe::WaitForReply(std::uint32_t messageId,
                                                                    std::uint32_t timeoutMs) {
    return receiver->WaitForReply(*sender, messageId, timeoutMs);
}

std::uint32_t TLocalCommPipe::Send(const packets::TPacket& packet, std::uint32_t messageId,
                                   std::uint8_t flags) {
    return sender->Send(messageId, packet, static_cast<std::uint8_t>(flags & 7));
}

void TLocalCommPipe::CheckConnected() {
    if (State() != TCommState::Connected) {
        core::Raise(core::EGeneralError("Failed to connect to " + remoteName +
                                        " (on local machine): " + sender->ReasonText()));
    }
}

void TLocalCommPipe::Terminate() {
    core::Raise(core::EGeneralError("Cannot terminate a local connection"));
}

// ---------------------------------------------------------------- server

TCommServer::TCommServer(const core::TGUID& channel, std::uint32_t size, std::int32_t session,
                         const packets::TProgressLogger& logger, core::TNotifyQueue* givenQueue)
    : TCommPipe(givenQueue ? *givenQueue : core::MainQueue()), sectionSize(size) {
    receiver = std::make_unique<TPacketChannelReceiver>(queue, session, logger, size, channel);
    receiver->SetCallback([this](TPacketChannelMessage& message) {
        const core::TGUID replyTo = message.ReplyTo;
        const std::int32_t replySession = message.Session;
        // Only the requester's own account can have created its reply channel there.
        std::optional<std::uint32_t> caller;
        try {
            if (const auto control = platform::TSharedSection::Open(
                    packets::SharedObjectName(replyTo, replySession, "Channel_Data"))) {
                caller = control->OwnerUserId();
            }
        } catch (const std::exception&) {
            // A channel that fails the owner checks names nobody.
        }
        ExecuteMessage(
            message,
            [this, replyTo, replySession](const packets::TPacket& p, std::uint32_t id,
                                          std::uint8_t flags) {
                TPacketChannelSender* sender = SenderFor(replyTo, replySession);
                return sender ? sender->Send(id, p, flags) : 0;
            },
            caller);
    });
    receiver->SetMalformedCallback([this](const core::TGUID& replyTo) { senders.erase(replyTo); });
    pruneClock = std::make_unique<core::TClock>(
        4000, true, [this] { Prune(); }, &queue);
    SetState(TCommState::Connected);
}

TCommServer::~TCommServer() {
    pruneClock.reset();
    senders.clear();
    receiver.reset();
}

TPacketChannelSender* TCommServer::SenderFor(const core::TGUID& replyTo, std::int32_t session) {
    auto it = senders.find(replyTo);
    if (it != senders.end() && it->second->Connected()) {
        return it->second.get();
    }
    auto sender = std::make_unique<TPacketChannelSender>(queue, sectionSize, session, replyTo,
                                                         receiver->ChannelId());
    if (!sender->Connect()) {
        senders.erase(replyTo);
        return nullptr;
    }
    TPacketChannelSender* result = sender.get();
    senders[replyTo] = std::move(sender);
    return result;
}

void TCommServer::Prune() {
    for (auto it = senders.begin(); it != senders.end();) {
        it->second->Check(true);
        it = it->second->Connected() ? std::next(it) : senders.erase(it);
    }
}

std::unique_ptr<TPacketChannelMessage> TCommServer::WaitForReply(std::uint32_t, std::uint32_t) {
    core::Raise(core::EGeneralError("A service connection does not wait for replies"));
}

std::uint32_t TCommServer::Send(const packets::TPacket&, std::uint32_t, std::uint8_t) {
    core::Raise(core::EGeneralError("A service connection sends replies only"));
}

void TCommServer::Terminate() {
    receiver->Terminate();
    SetState(TCommState::Terminated);
}

} // namespace comm
