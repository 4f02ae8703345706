#include "TestPackets.h"

namespace testpackets {

using namespace packets::fields;

RAVEL_PACKET_TABLE(TEmptyTestPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D01}")
RAVEL_PACKET_TABLE(TInnerPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D02}",
                   String<&TInnerPacket::Name>("Name"), Int32<&TInnerPacket::Value>("Value"))
RAVEL_PACKET_TABLE(
    TAllTypesPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D03}",
    Bool<&TAllTypesPacket::Flag>("Flag").Default(1),
    Byte<&TAllTypesPacket::Small>("Small").Default(255),
    Byte<&TAllTypesPacket::Signed8>("Signed8").Default(-1),
    Byte<&TAllTypesPacket::Color>("Color").Default(2),
    Int32<&TAllTypesPacket::Count>("Count").Default(-1),
    Int32<&TAllTypesPacket::CodePage>("CodePage"), Int64<&TAllTypesPacket::Big>("Big"),
    Compact<&TAllTypesPacket::Packed>("Packed"), Handle<&TAllTypesPacket::Handle>("Handle"),
    DateTime<&TAllTypesPacket::When>("When").DefaultFloat(1.5), Guid<&TAllTypesPacket::Id>("Id"),
    Set<&TAllTypesPacket::Options>("Options"), Set<&TAllTypesPacket::Few>("Few"),
    Raw<&TAllTypesPacket::Os>("Os"),
    String<&TAllTypesPacket::Name>("Name").Caption_("Display Name"),
    WString<&TAllTypesPacket::Wide>("Wide"),
    Strings<&TAllTypesPacket::Lines>("Lines").Item("Line", "Text Line"),
    Record<&TAllTypesPacket::Inner>("Inner"), OptRecord<&TAllTypesPacket::Opt>("Opt"),
    List<&TAllTypesPacket::Items>("Items").Item("Item"), Blob<&TAllTypesPacket::Data>("Data"),
    Int32List<&TAllTypesPacket::Numbers>("Numbers"),
    Int64List<&TAllTypesPacket::BigNumbers>("BigNumbers"),
    Word<&TAllTypesPacket::Small16>("Small16"), TextList<&TAllTypesPacket::Notes>("Notes"),
    String<&TAllTypesPacket::Version>("Version").DefaultText("-1"))
RAVEL_PACKET_TABLE(TVersion3Packet, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D04}",
                   Int32<&TVersion3Packet::A>("A"), String<&TVersion3Packet::B>("B"),
                   Int32<&TVersion3Packet::C>("C").Default(7))
RAVEL_PACKET_TABLE(TVersion2Packet, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D04}",
                   Int32<&TVersion2Packet::A>("A"), String<&TVersion2Packet::B>("B"))
RAVEL_PACKET_TABLE(TVersion5Packet, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D04}",
                   Int32<&TVersion5Packet::A>("A"), String<&TVersion5Packet::B>("B"),
                   Int32<&TVersion5Packet::C>("C"), String<&TVersion5Packet::D>("D"),
                   Int64<&TVersion5Packet::E>("E"))
RAVEL_PACKET_TABLE(TUnregisteredPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D05}",
                   Int32<&TUnregisteredPacket::X>("X"))
RAVEL_PACKET_TABLE(TWideSetPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D06}",
                   Set<&TWideSetPacket::Options>("Options"), Int32<&TWideSetPacket::After>("After"))
RAVEL_PACKET_TABLE(TNarrowSetPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D06}",
                   Set<&TNarrowSetPacket::Options>("Options"),
                   Int32<&TNarrowSetPacket::After>("After"))
RAVEL_PACKET_TABLE(TTestRequestPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D07}",
                   Int32<&TTestRequestPacket::Code>("Code"))

RAVEL_PACKET_TABLE(TCountedPacket, "{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D08}",
                   List<&TCountedPacket::Items>("Items"), Blob<&TCountedPacket::Data>("Data"),
                   WString<&TCountedPacket::Wide>("Wide"),
                   Int64List<&TCountedPacket::Numbers>("Numbers"))

void RegisterTestPackets() {
    RegisterPacketClass(TCountedPacket::StaticClass());
    RegisterPacketClass(TEmptyTestPacket::StaticClass());
    RegisterPacketClass(TInnerPacket::StaticClass());
    RegisterPacketClass(TAllTypesPacket::StaticClass());
    RegisterPacketClass(TVersion3Packet::StaticClass());
    RegisterPacketClass(TWideSetPacket::StaticClass());
    RegisterPacketClass(TTestRequestPacket::StaticClass());
}

} // namespace testpackets
