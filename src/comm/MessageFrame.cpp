#include "comm/MessageFrame.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "packets/ByteReader.h"
#include "packets/Streams.h"
#include "records/ServicePackets.h"

#include <cstring>

namespace comm {

namespace {
void Put32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}
} // namespace

std::array<std::uint8_t, MessageHeadSize> MakeMessageHead(std::uint8_t flags, std::uint32_t id,
                                                          const core::TGUID& replyTo,
                                                          std::int32_t session,
                                                          std::uint32_t length) {
    std::array<std::uint8_t, MessageHeadSize> head{};
    head[0] = 3;
    head[4] = flags;
    Put32(&head[8], id);
    Put32(&head[12], 0xFFFFFFFFu);
    std::memcpy(&head[16], replyTo.Bytes.data(), 16);
    Put32(&head[32], static_cast<std::uint32_t>(session));
    Put32(&head[40], length);
    return head;
}

void ReadMessageHead(std::span<const std::uint8_t, MessageHeadSize> bytes,
                     TPacketChannelMessage& message, std::uint32_t maxLength) {
    packets::TByteReader head(bytes);
    message.Version = head.ReadByte();
    head.Skip(3);
    message.Flags = head.ReadByte();
    head.Skip(3);
    message.MessageID = head.Read<std::uint32_t>();
    head.Skip(4);
    head.Read(message.ReplyTo.Bytes.data(), 16);
    message.Session = head.Read<std::int32_t>();
    head.Skip(4);
    message.Length = head.Read<std::uint32_t>();
    if (message.Version != 3 || message.Length < MessageHeadSize || message.Length > maxLength) {
        core::Raise(core::EGeneralError("Invalid message head (version " +
                                        std::to_string(message.Version) + ", length " +
                                        std::to_string(message.Length) + ")"));
    }
}

std::unique_ptr<packets::TPacket> ReadMessagePacket(std::span<const std::uint8_t> body) {
    try {
        packets::TByteReader reader(body);
        return packets::TPacket::CreateFromReader(reader);
    } catch (const std::exception& e) {
        auto error = std::make_unique<records::TCommExceptionPacket>();
        error->ExceptionMessage = e.what();
        error->ExceptionClass = core::ErrorClassName(e);
        core::Log().Warning("Connection object buffer unreadable\r\n" + std::string(e.what()));
        return error;
    }
}

std::string EncodeMessage(const packets::TPacket& packet, std::uint8_t flags, std::uint32_t id) {
    packets::TMemoryStream message;
    message.SetSize(MessageHeadSize);
    message.Seek(MessageHeadSize, packets::TSeekOrigin::soBeginning);
    packet.SaveToStream(message);
    const auto length = static_cast<std::uint32_t>(message.Size());
    const auto head = MakeMessageHead(flags, id, core::TGUID{}, -1, length);
    std::memcpy(message.Memory(), head.data(), MessageHeadSize);
    return std::string(message.Text());
}

void TMessageFrameReader::Append(const void* bytes, std::size_t count) {
    if (start > 0 && start == buffer.size()) {
        buffer.clear();
        start = 0;
    }
    buffer.append(static_cast<const char*>(bytes), count);
}

std::unique_ptr<TPacketChannelMessage> TMessageFrameReader::Next() {
    if (Buffered() < MessageHeadSize) {
        return nullptr;
    }
    const auto* at = reinterpret_cast<const std::uint8_t*>(buffer.data() + start);
    auto message = std::make_unique<TPacketChannelMessage>();
    ReadMessageHead(std::span<const std::uint8_t, MessageHeadSize>(at, MessageHeadSize), *message,
                    maxLength);
    if (Buffered() < message->Length) {
        return nullptr;
    }
    message->Packet = ReadMessagePacket(
        std::span<const std::uint8_t>(at + MessageHeadSize, message->Length - MessageHeadSize));
    start += message->Length;
    if (start == buffer.size()) {
        buffer.clear();
        start = 0;
    } else if (start > buffer.size() / 2) {
        buffer.erase(0, start);
        start = 0;
    }
    return message;
}

} // namespace comm
