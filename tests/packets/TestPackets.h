#pragma once
// Packet classes that exercise every field type.
#include "packets/Packet.h"

namespace testpackets {

using namespace packets;

enum class TColor : std::uint8_t { Red, Green, Blue };
enum class TOption { First = 0, Ninth = 9, Last = 63 };
using TOptions = TSet<TOption, 8>;
using TSmallSet = TSet<TOption, 1>;

struct TOsRecord {
    std::uint32_t Major;
    std::uint32_t Minor;
    std::uint8_t Tag[4];
};

struct TEmptyTestPacket : TPacket {
    RAVEL_PACKET(TEmptyTestPacket, TPacket, 0)
};

struct TInnerPacket : TPacket {
    std::string Name;
    std::int32_t Value = 0;
    RAVEL_PACKET(TInnerPacket, TPacket, 2)
};
using TInnerPacketList = TPacketList<TInnerPacket>;

struct TAllTypesPacket : TPacket {
    bool Flag = false;
    std::uint8_t Small = 0;
    std::int8_t Signed8 = 0;
    TColor Color{};
    std::int32_t Count = 0;
    std::uint32_t CodePage = 0;
    std::int64_t Big = 0;
    std::int32_t Packed = 0;
    THandleValue Handle = 0;
    double When = 0;
    core::TGUID Id;
    TOptions Options;
    TSmallSet Few;
    TOsRecord Os{};
    std::string Name;
    std::u16string Wide;
    core::TStringListEx Lines;
    TInnerPacket Inner;
    TOptRecord<TInnerPacket> Opt;
    TInnerPacketList Items;
    TMemoryStream Data;
    std::vector<std::int32_t> Numbers;
    std::vector<std::int64_t> BigNumbers;
    std::uint16_t Small16 = 0;
    core::TStringListEx Notes;
    std::string Version;
    RAVEL_PACKET(TAllTypesPacket, TPacket, 26)
};

// Three versions of one class (same GUID): only V3 is registered.
struct TVersion3Packet : TPacket {
    std::int32_t A = 0;
    std::string B;
    std::int32_t C = 0;
    RAVEL_PACKET(TVersion3Packet, TPacket, 3)
};
struct TVersion2Packet : TPacket {
    std::int32_t A = 0;
    std::string B;
    RAVEL_PACKET(TVersion2Packet, TPacket, 2)
};
struct TVersion5Packet : TPacket {
    std::int32_t A = 0;
    std::string B;
    std::int32_t C = 0;
    std::string D;
    std::int64_t E = 0;
    RAVEL_PACKET(TVersion5Packet, TPacket, 5)
};

// Unregistered, for the unregistered-class errors.
struct TUnregisteredPacket : TPacket {
    std::int32_t X = 0;
    RAVEL_PACKET(TUnregisteredPacket, TPacket, 1)
};

// A class whose set is one byte, sharing the GUID of TWideSetPacket.
struct TWideSetPacket : TPacket {
    TOptions Options;
    std::int32_t After = 0;
    RAVEL_PACKET(TWideSetPacket, TPacket, 2)
};
struct TNarrowSetPacket : TPacket {
    TSmallSet Options;
    std::int32_t After = 0;
    RAVEL_PACKET(TNarrowSetPacket, TPacket, 2)
};

// A request-style class on the comm base.
struct TTestRequestPacket : TCommPacket {
    std::int32_t Code = 0;
    RAVEL_PACKET(TTestRequestPacket, TCommPacket, 1)
};

// Counted fields only, for hand-built hostile streams.
struct TCountedPacket : TPacket {
    TInnerPacketList Items;
    TMemoryStream Data;
    std::u16string Wide;
    std::vector<std::int64_t> Numbers;
    RAVEL_PACKET(TCountedPacket, TPacket, 4)
};

void RegisterTestPackets();

} // namespace testpackets
