#pragma once
// The message of a packet channel as bytes: the 44-byte head (see PacketChannel.h)
// followed by the packet. Packet channels write it into shared streams; the agent's
// request socket carries it as is, one message after the other.
#include "comm/PacketChannel.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace comm {

constexpr std::size_t MessageHeadSize = 44;

std::array<std::uint8_t, MessageHeadSize> MakeMessageHead(std::uint8_t flags, std::uint32_t id,
                                                          const core::TGUID& replyTo,
                                                          std::int32_t session,
                                                          std::uint32_t length);
// The head's fields into `message` (no packet). Raises on a wrong version or a length
// below the head's own or above `maxLength`.
void ReadMessageHead(std::span<const std::uint8_t, MessageHeadSize> head,
                     TPacketChannelMessage& message, std::uint32_t maxLength);
// The packet of a message body; an unreadable one becomes an exception packet that
// says why (the receiver answers it as an error).
std::unique_ptr<packets::TPacket> ReadMessagePacket(std::span<const std::uint8_t> body);
// A whole message without a reply channel (head and packet).
std::string EncodeMessage(const packets::TPacket& packet, std::uint8_t flags, std::uint32_t id);

// Cuts a byte stream into messages. Bytes come in any pieces.
class TMessageFrameReader {
public:
    explicit TMessageFrameReader(std::uint32_t maxLength) : maxLength(maxLength) {}
    void Append(const void* bytes, std::size_t count);
    // The next complete message, or null when more bytes are needed. Raises on a
    // malformed head: the stream cannot be framed any more.
    std::unique_ptr<TPacketChannelMessage> Next();
    std::size_t Buffered() const { return buffer.size() - start; }

private:
    std::uint32_t maxLength;
    std::string buffer;
    std::size_t start = 0;
};

} // namespace comm
