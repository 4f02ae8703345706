#pragma once
// The binary form of packets. Numbers are little-endian.
//
// Full form (no streaming context): a 32-byte head, then the fields.
//   0  4  format version, 2
//   4  4  total size of the packet, head included (signed)
//   8  4  number of fields written
//  12  4  reserved, 0
//  16 16  class GUID in Windows memory order
// A reader with more fields than the stream leaves the rest untouched; one with fewer
// skips the rest by the head's size.
//
// Compact form (with a context, for long streams of small records): a Compact16
// class reference instead of the head, no size. Reference 0 introduces a class with
// 19 bytes (1 reserved, 2 field count, 16 GUID) and gives it the next context ID
// (1, 2, ...); later packets of that class write its ID. A class that has fewer
// fields than an intro declares cannot be read, since nothing tells where it ends.
//
// Counters: Compact is one byte value*2 below 128, else four bytes value*2+1;
// Compact16 is one byte value*2 below 128, else two bytes value*2+1.
// Fields by type: Bool/Byte 1 byte; Word 2; Int32 4; Int64 and DateTime 8; GUID 16; Raw(n) n;
// Compact; SetN a size byte then that many bytes; Handle a size byte (4) then the
// value; String a Compact byte count and the bytes; WString a Compact count of UTF-16
// units and the units; Strings a Compact count of Strings; a text list one String
// holding its lines, each ended by CR LF; Record the nested packet
// (same form); OptRecord a presence byte and the nested packet; List a 4-byte signed
// count and the nested packets; Blob a count (4 bytes signed in the full form,
// Compact in the compact form) and the bytes; Int32List/Int64List a Compact count
// and the values.
#include "packets/ByteReader.h"
#include "packets/Packet.h"

#include <cstdint>
#include <vector>

namespace packets {

constexpr std::int32_t PacketFormatVersion = 2;
constexpr int PacketHeadSize = 32;
constexpr int ClassIntroSize = 19;
// Nested records deeper than this are refused, so no input can exhaust the stack.
constexpr int MaxPacketNesting = 64;

// The reader's class table of one compact stream, kept from its first packet on.
class TPacketLoadContext {
public:
    struct TEntry {
        const TPacketClass* Class;
        int FieldCount; // fields the writer's class had
    };
    int Count() const { return static_cast<int>(entries.size()); }
    const TEntry& Entry(int index) const { return entries[index]; }
    void Add(const TPacketClass& cls, int fieldCount) { entries.push_back({&cls, fieldCount}); }
    void Clear() { entries.clear(); }
    // Forgets the classes introduced after the first `count` (a packet that failed
    // to load may have introduced one before it failed).
    void Truncate(int count) {
        if (count < Count()) {
            entries.resize(static_cast<std::size_t>(count));
        }
    }

private:
    std::vector<TEntry> entries;
};

// The writer's counterpart: registration ID -> context ID.
class TPacketSaveContext {
public:
    // 0 when the class has not been introduced yet.
    int Find(std::int32_t registrationId) const {
        auto i = static_cast<std::size_t>(registrationId);
        return i < ids.size() ? ids[i] : 0;
    }
    int Add(std::int32_t registrationId);
    int Count() const { return count; }
    void Clear() {
        ids.clear();
        count = 0;
    }

private:
    std::vector<std::uint16_t> ids;
    int count = 0;
};

struct TPacketLoadInfo {
    const TPacketClass* PacketClass = nullptr;
    std::int64_t RemainingSize = -1; // head size - 32; -1 in the compact form
    int FieldCount = 0;              // fields the stream holds
    std::int64_t EndPosition = -1;   // right after the packet; -1 in the compact form
};

// Field routines shared by every class; `name` is used in the error messages.
void WriteCompact(TStream& stream, std::uint32_t value);
void WriteCompact16(TStream& stream, std::uint32_t value);
std::uint32_t ReadCompact(TByteReader& reader, std::string_view name);
std::uint32_t ReadCompact16(TByteReader& reader, std::string_view name);

} // namespace packets
