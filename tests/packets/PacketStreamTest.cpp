#include "TestPackets.h"

#include "packets/ByteReader.h"
#include "packets/Compression.h"
#include "packets/PacketStream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace testpackets;

namespace {

std::vector<std::uint8_t> Bytes(const TMemoryStream& s) {
    return {s.Bytes().begin(), s.Bytes().end()};
}

std::vector<std::uint8_t> SaveFull(const TPacket& p) {
    TMemoryStream s;
    p.SaveToStream(s);
    return Bytes(s);
}

std::string Hex(std::span<const std::uint8_t> bytes) {
    std::string text;
    char buf[4];
    for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        text += buf;
    }
    if (!text.empty())
        text.pop_back();
    return text;
}

TAllTypesPacket& Filled(TAllTypesPacket& p) {
    p.Flag = false;
    p.Small = 7;
    p.Signed8 = -5;
    p.Color = TColor::Green;
    p.Count = -100000;
    p.CodePage = 65001;
    p.Big = -(std::int64_t{1} << 40);
    p.Packed = 1000000;
    p.Handle = 0x1234;
    p.When = 46366.25;
    p.Id = core::TGUID::Literal("{0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4DAA}");
    p.Options.Include(TOption::Ninth);
    p.Options.Include(TOption::Last);
    p.Few.Include(TOption::First);
    p.Os = {10, 19045, {1, 2, 3, 4}};
    p.Name = std::string(300, 'n');
    p.Wide = u"Grüße \U0001F600";
    p.Lines.Add("first");
    p.Lines.Add("");
    p.Inner.Name = "inner";
    p.Inner.Value = 42;
    p.Opt.Create().Value = -1;
    p.Items.AddNew().Name = "a";
    p.Items.AddNew().Name = "b";
    p.Data.Write("\0\1\2", 3);
    p.Numbers = {1, -2, 3};
    p.BigNumbers = {std::int64_t{1} << 50};
    p.Small16 = 0xBEEF;
    p.Notes.Add("one");
    p.Notes.Add("two");
    p.Version = "";
    return p;
}

template <typename E> std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong class: ") + e.what();
    }
    return "no error";
}

class PacketStreamTest : public ::testing::Test {
protected:
    void SetUp() override { RegisterTestPackets(); }
};

TEST_F(PacketStreamTest, FieldlessPacketIsExactlyTheHead) {
    TEmptyTestPacket p;
    EXPECT_EQ(Hex(SaveFull(p)), "02 00 00 00 20 00 00 00 00 00 00 00 00 00 00 00 "
                                "4E 1A 5C 0D 21 7B 3A 4C 9E 55 1F 0A 2B 3C 4D 01");
}

TEST_F(PacketStreamTest, CounterEncodings) {
    struct Case {
        std::uint32_t value;
        bool wide; // Compact16
        const char* bytes;
    };
    const Case cases[] = {
        {0, false, "00"},
        {127, false, "FE"},
        {128, false, "01 01 00 00"},
        {200, false, "91 01 00 00"},
        {0x7FFFFFFF, false, "FF FF FF FF"},
        {0, true, "00"},
        {127, true, "FE"},
        {200, true, "91 01"},
        {32767, true, "FF FF"},
    };
    for (const auto& c : cases) {
        TMemoryStream s;
        c.wide ? WriteCompact16(s, c.value) : WriteCompact(s, c.value);
        EXPECT_EQ(Hex(s.Bytes()), c.bytes) << c.value;
        TByteReader r(s.Bytes());
        EXPECT_EQ(c.wide ? ReadCompact16(r, "X") : ReadCompact(r, "X"), c.value);
        EXPECT_EQ(r.Remaining(), 0u);
    }
}

TEST_F(PacketStreamTest, StringCountSwitchesToFourBytesAt128) {
    TInnerPacket p;
    for (std::size_t n : {127u, 128u}) {
        p.Name.assign(n, 'x');
        auto bytes = SaveFull(p);
        std::span<const std::uint8_t> count(bytes.data() + 32, n < 128 ? 1 : 4);
        EXPECT_EQ(Hex(count), n < 128 ? "FE" : "01 01 00 00");
        EXPECT_EQ(bytes.size(), 32 + count.size() + n + 4);
    }
}

TEST_F(PacketStreamTest, EveryTypeRoundTripsInBothForms) {
    TAllTypesPacket p;
    Filled(p);
    for (bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "full");
        TMemoryStream s;
        TPacketSaveContext sc;
        p.SaveToStream(s, compact ? &sc : nullptr);
        p.SaveToStream(s, compact ? &sc : nullptr);
        s.SetPosition(0);
        TPacketLoadContext lc;
        for (int i = 0; i < 2; ++i) {
            auto loaded = TPacket::CreateFromStream(s, compact ? &lc : nullptr);
            EXPECT_TRUE(loaded->IsEqual(p));
        }
        EXPECT_EQ(s.Position(), s.Size());
    }
}

TEST_F(PacketStreamTest, WordAndTextListEncodings) {
    TAllTypesPacket p;
    p.Small16 = 0xBEEF;
    p.Notes.Add("a");
    p.Notes.Add("b");
    auto bytes = SaveFull(p);
    // The last three fields: Word, text list as one String, Version "-1".
    std::span<const std::uint8_t> tail(bytes.data() + bytes.size() - 12, 12);
    EXPECT_EQ(Hex(tail), "EF BE 0C 61 0D 0A 62 0D 0A 04 2D 31");
}

TEST_F(PacketStreamTest, CompactStreamIntroducesEachClassOnce) {
    TMemoryStream s;
    TPacketSaveContext sc;
    TEmptyTestPacket empty;
    TInnerPacket inner;
    empty.SaveToStream(s, &sc);
    inner.SaveToStream(s, &sc);
    inner.SaveToStream(s, &sc);
    empty.SaveToStream(s, &sc);
    // 00, reserved, field count 0, GUID; the second class gets ID 2.
    EXPECT_EQ(Hex(s.Bytes().subspan(0, 20)),
              "00 00 00 00 4E 1A 5C 0D 21 7B 3A 4C 9E 55 1F 0A 2B 3C 4D 01");
    EXPECT_EQ(Hex(s.Bytes().subspan(20, 4)), "00 00 02 00");
    std::size_t second = 20 + 20 + 5;       // inner's fields: empty Name, 4-byte Value
    EXPECT_EQ(s.Bytes()[second], 0x04);     // inner again: context ID 2
    EXPECT_EQ(s.Bytes()[second + 6], 0x02); // empty again: context ID 1
    EXPECT_EQ(s.Size(), static_cast<std::int64_t>(second + 7));
    s.SetPosition(0);
    TPacketLoadContext lc;
    std::vector<std::string_view> classes;
    while (s.Position() < s.Size())
        classes.push_back(TPacket::CreateFromStream(s, &lc)->ClassName());
    EXPECT_EQ(classes, (std::vector<std::string_view>{"TEmptyTestPacket", "TInnerPacket",
                                                      "TInnerPacket", "TEmptyTestPacket"}));
    EXPECT_EQ(lc.Count(), 2);
}

TEST_F(PacketStreamTest, FullFormVersionRule) {
    // A newer writer: 5 fields read by the registered 3-field class.
    TVersion5Packet v5;
    v5.A = 1;
    v5.B = "b";
    v5.C = 3;
    v5.D = "skipped";
    TMemoryStream s;
    v5.SaveToStream(s);
    TEmptyTestPacket().SaveToStream(s);
    s.SetPosition(0);
    auto loaded = TPacket::CreateFromStream(s);
    auto& v3 = static_cast<TVersion3Packet&>(*loaded);
    EXPECT_EQ(&v3.Class(), &TVersion3Packet::StaticClass());
    EXPECT_EQ(v3.C, 3);
    EXPECT_EQ(TPacket::CreateFromStream(s)->ClassName(), "TEmptyTestPacket");

    // An older writer: the third field keeps its default, or its value in an object.
    TVersion2Packet v2;
    v2.A = 5;
    TMemoryStream old;
    v2.SaveToStream(old);
    old.SetPosition(0);
    auto created = TPacket::CreateFromStream(old);
    EXPECT_EQ(static_cast<TVersion3Packet&>(*created).C, 7);
    EXPECT_EQ(old.Position(), old.Size());
    TVersion3Packet existing;
    existing.C = 11;
    old.SetPosition(0);
    existing.LoadFromStream(old);
    EXPECT_EQ(existing.A, 5);
    EXPECT_EQ(existing.C, 11);
}

TEST_F(PacketStreamTest, CompactFormVersionRule) {
    TVersion3Packet v3;
    v3.A = 1;
    v3.B = "b";
    v3.C = 3;
    TMemoryStream s;
    TPacketSaveContext sc;
    v3.SaveToStream(s, &sc);
    auto bytes = Bytes(s);
    ASSERT_EQ(bytes[2], 3); // field count in the intro

    auto patched = bytes;
    patched[2] = 4;
    TMemoryStream more(patched);
    TPacketLoadContext lc;
    EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { TPacket::CreateFromStream(more, &lc); }),
              "Unsupported version of packet class: TVersion3Packet (version 4)");

    patched = bytes;
    patched[2] = 2;
    patched.resize(patched.size() - 4); // field C is not in the stream
    TMemoryStream fewer(patched);
    TPacketLoadContext lc2;
    auto loaded = TPacket::CreateFromStream(fewer, &lc2);
    EXPECT_EQ(static_cast<TVersion3Packet&>(*loaded).B, "b");
    EXPECT_EQ(static_cast<TVersion3Packet&>(*loaded).C, 7);
    EXPECT_EQ(fewer.Position(), fewer.Size());
}

// A packet cut short after its class intro leaves the load context as it was, so
// the same packet loads once its rest has arrived.
TEST_F(PacketStreamTest, FailedLoadLeavesTheContextAsItWas) {
    TVersion3Packet v3;
    v3.B = "long enough to be cut";
    TMemoryStream s;
    TPacketSaveContext sc;
    v3.SaveToStream(s, &sc);
    const auto bytes = Bytes(s);
    TPacketLoadContext lc;
    TByteReader cut(std::span<const std::uint8_t>(bytes).first(bytes.size() - 6));
    EXPECT_THROW(TPacket::CreateFromReader(cut, &lc), core::Exception);
    EXPECT_EQ(lc.Count(), 0);
    TByteReader whole(bytes);
    EXPECT_EQ(static_cast<TVersion3Packet&>(*TPacket::CreateFromReader(whole, &lc)).B, v3.B);
    EXPECT_EQ(lc.Count(), 1);
}

TEST_F(PacketStreamTest, WiderSetIsCutToTheReadersSize) {
    TWideSetPacket wide;
    wide.Options.Include(TOption::First);
    wide.Options.Include(TOption::Last);
    wide.After = 77;
    TMemoryStream s;
    wide.SaveToStream(s);
    s.SetPosition(0);
    TNarrowSetPacket narrow;
    narrow.LoadFromStream(s);
    EXPECT_EQ(narrow.Options.Bytes()[0], 0x01);
    EXPECT_EQ(narrow.After, 77);

    // And a narrower stored set fills the low-order bytes only.
    TMemoryStream back;
    narrow.SaveToStream(back);
    back.SetPosition(0);
    wide.LoadFromStream(back);
    EXPECT_EQ(wide.Options.Bytes()[0], 0x01);
    EXPECT_EQ(wide.Options.Bytes()[7], 0x00);
}

TEST_F(PacketStreamTest, NegativeListCountGivesAnEmptyList) {
    TAllTypesPacket p;
    p.Items.AddNew();
    TMemoryStream s;
    TPacketSaveContext sc;
    TAllTypesPacket().SaveToStream(s, &sc);
    auto bytes = Bytes(s);
    // Items is the only 4-byte field holding 0 right before Data's count.
    TAllTypesPacket probe;
    // Locate Items' count: everything before it is fixed for a fresh packet.
    TMemoryStream prefix;
    TPacketSaveContext sc2;
    probe.Items.AddNew();
    probe.SaveToStream(prefix, &sc2);
    std::size_t at = 0;
    for (std::size_t i = 0; i + 4 <= bytes.size(); ++i)
        if (bytes[i] != prefix.Bytes()[i]) {
            at = i;
            break;
        }
    ASSERT_GT(at, 0u);
    bytes[at] = 0xFF;
    bytes[at + 1] = 0xFF;
    bytes[at + 2] = 0xFF;
    bytes[at + 3] = 0xFF;
    TMemoryStream in(bytes);
    TPacketLoadContext lc;
    p.LoadFromStream(in, &lc);
    EXPECT_TRUE(p.Items.IsEmpty());
    EXPECT_EQ(in.Position(), in.Size());
}

TEST_F(PacketStreamTest, HeadErrors) {
    TInnerPacket inner;
    auto good = SaveFull(inner);
    auto withVersion = good;
    withVersion[0] = 1;
    auto unregistered = SaveFull(TUnregisteredPacket());
    auto tooSmall = good;
    tooSmall[4] = 0;

    struct Case {
        std::vector<std::uint8_t> bytes;
        std::int64_t position;
        bool range;
        std::string message;
    };
    const Case cases[] = {
        {good, static_cast<std::int64_t>(good.size()), true,
         "Buffer position out of bounds before loading packet header"},
        {good, -1, true, "Buffer position out of bounds before loading packet header"},
        {{good.begin(), good.begin() + 31},
         0,
         true,
         "Trying to load packet header beyond the buffer end"},
        {withVersion, 0, false, "Cannot load packet. Unknown format version: 1"},
        {unregistered, 0, false,
         "Unregistered packet class: {0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D05}"},
        {tooSmall, 0, true, "Invalid packet size in packet header: 0"},
    };
    for (const auto& c : cases) {
        TMemoryStream s(c.bytes);
        s.SetPosition(c.position);
        auto message = c.range
                           ? ErrorOf<core::ERangeError>([&] { TPacket::CreateFromStream(s); })
                           : ErrorOf<core::EGeneralError>([&] { TPacket::CreateFromStream(s); });
        EXPECT_EQ(message, c.message);
    }
}

TEST_F(PacketStreamTest, IncompatibleClassReadsNoField) {
    TAllTypesPacket target;
    TMemoryStream s;
    TInnerPacket().SaveToStream(s);
    s.SetPosition(0);
    EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { target.LoadFromStream(s); }),
              "Incompatible packet class: {0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D02} "
              "({0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D03}, TAllTypesPacket expected)");
    EXPECT_TRUE(target.IsEqual(TAllTypesPacket()));
    EXPECT_EQ(s.Position(), 32);

    TMemoryStream compact;
    TPacketSaveContext sc;
    TInnerPacket().SaveToStream(compact, &sc);
    compact.SetPosition(0);
    TPacketLoadContext lc;
    EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { target.LoadFromStream(compact, &lc); }),
              "Incompatible packet class: {0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D02} "
              "({0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D03}, TAllTypesPacket expected)");
}

TEST_F(PacketStreamTest, ContextErrors) {
    TPacketLoadContext lc;
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool range;
        std::string message;
    };
    auto unregistered = std::vector<std::uint8_t>{0, 0, 1, 0};
    auto guid = TUnregisteredPacket::StaticClass().ClassGUID().Bytes;
    unregistered.insert(unregistered.end(), guid.begin(), guid.end());
    const Case cases[] = {
        {{0x06}, false, "Invalid streaming context ID: 3"},
        {{0x01}, true, "Trying to load PacketClass field's wlength (1 byte) beyond the buffer end"},
        {{0x00, 0, 0}, true, "Trying to load packet class intro beyond the buffer end"},
        {unregistered, false,
         "Unregistered packet class in context: {0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D05}"},
    };
    for (const auto& c : cases) {
        TMemoryStream s(c.bytes);
        auto call = [&] { TPacket::CreateFromStream(s, &lc); };
        EXPECT_EQ(c.range ? ErrorOf<core::ERangeError>(call) : ErrorOf<core::EGeneralError>(call),
                  c.message);
    }
}

// Truncations and hostile values inside fields: the exact message, the range error
// class, and the wrapper of CreateFromStream around it.
TEST_F(PacketStreamTest, FieldErrors) {
    TAllTypesPacket filled;
    Filled(filled);
    auto full = SaveFull(filled);
    TInnerPacket inner;
    inner.Name = std::string(200, 'x');
    auto innerBytes = SaveFull(inner);
    auto cut = [](const std::vector<std::uint8_t>& v, std::size_t n) {
        return std::vector<std::uint8_t>(v.begin(), v.begin() + n);
    };
    auto overflow = innerBytes;
    overflow[32] = overflow[33] = overflow[34] = overflow[35] = 0xFF;

    // Offsets: head 0..31, Flag 32, Small 33, Signed8 34, Color 35, Count 36..39.
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool inner;
        std::string message;
    };
    const Case cases[] = {
        {cut(full, 32), false, "Trying to load Flag (1 bytes) beyond the buffer end"},
        {cut(full, 38), false, "Trying to load Count (4 bytes) beyond the buffer end"},
        {cut(innerBytes, 32), true,
         "Trying to load short Name field's length (1 byte) beyond the buffer end"},
        {cut(innerBytes, 33), true,
         "Trying to load Name field's length (3 bytes) beyond the buffer end"},
        {cut(innerBytes, 100), true, "Trying to load Name (200 bytes) beyond the buffer end"},
        {overflow, true,
         "Position calculation will overflow trying to load Name "
         "(Position: 36, Length: 2147483647)"},
    };
    for (const auto& c : cases) {
        TMemoryStream s(c.bytes);
        EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { TPacket::CreateFromStream(s); }),
                  "Failed to load packet fields\r\n" + c.message);
        std::unique_ptr<TPacket> target(c.inner ? static_cast<TPacket*>(new TInnerPacket)
                                                : new TAllTypesPacket);
        TByteReader r(c.bytes);
        EXPECT_EQ(ErrorOf<core::ERangeError>([&] { target->LoadFromReader(r); }), c.message);
    }
}

TEST_F(PacketStreamTest, HostileCountsFailBeforeAllocating) {
    auto stream = [](std::int32_t fields, std::initializer_list<std::uint8_t> body) {
        TMemoryStream s;
        std::int32_t values[4] = {2, 0x7FFFFFF0, fields, 0};
        s.Write(values, 16);
        s.Write(TCountedPacket::StaticClass().ClassGUID().Bytes.data(), 16);
        for (auto b : body)
            s.Write(&b, 1);
        s.SetPosition(0);
        return s;
    };
    struct Case {
        TMemoryStream s;
        std::string message;
    };
    Case cases[] = {
        {stream(1, {0xFF, 0xFF, 0xFF, 0x7F}),
         "Buffer position out of bounds before loading packet header"},
        {stream(2, {0, 0, 0, 0, 0xFB, 0xFF, 0xFF, 0xFF}),
         "Negative length (-5 bytes) trying to load Data"},
        {stream(2, {0, 0, 0, 0, 0x00, 0x00, 0x00, 0x40}),
         "Trying to load Data (1073741824 bytes) beyond the buffer end"},
        {stream(3, {0, 0, 0, 0, 0, 0, 0, 0, 0xD1, 0x07, 0, 0, 'a', 0}),
         "Trying to load Wide (2000 bytes) beyond the buffer end"},
        {stream(4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x0F}),
         "Trying to load Numbers (1073741816 bytes) beyond the buffer end"},
        {stream(2, {0, 0, 0, 0, 0, 0}),
         "Trying to load Data field's length (4 bytes) beyond the buffer end"},
    };
    for (auto& c : cases)
        EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { TPacket::CreateFromStream(c.s); }),
                  "Failed to load packet fields\r\n" + c.message);
}

TEST_F(PacketStreamTest, NestingDepthIsBounded) {
    // A list item may be of any class: items holding lists holding items ...
    TMemoryStream s;
    TPacketSaveContext sc;
    std::unique_ptr<TAllTypesPacket> root = std::make_unique<TAllTypesPacket>();
    TAllTypesPacket* at = root.get();
    for (int i = 0; i < MaxPacketNesting + 5; ++i) {
        auto child = std::make_unique<TAllTypesPacket>();
        TAllTypesPacket* next = child.get();
        at->Opt.Reset();
        static_cast<TCustomPacketList&>(at->Items).Add(std::move(child));
        at = next;
    }
    root->SaveToStream(s, &sc);
    s.SetPosition(0);
    TPacketLoadContext lc;
    auto message = ErrorOf<core::EGeneralError>([&] { TPacket::CreateFromStream(s, &lc); });
    EXPECT_NE(message.find("Packets are nested too deeply (more than 64 levels)"),
              std::string::npos);
}

// Every prefix of a full and a compact stream either loads or fails with an error of
// the program; none reads out of bounds (checked under the sanitizers).
TEST_F(PacketStreamTest, EveryTruncationFailsCleanly) {
    TAllTypesPacket p;
    Filled(p);
    for (bool compact : {false, true}) {
        TMemoryStream s;
        TPacketSaveContext sc;
        p.SaveToStream(s, compact ? &sc : nullptr);
        auto bytes = Bytes(s);
        for (std::size_t n = 1; n < bytes.size(); ++n) {
            TMemoryStream part(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + n));
            TPacketLoadContext lc;
            EXPECT_THROW(TPacket::CreateFromStream(part, compact ? &lc : nullptr), core::Exception)
                << n;
        }
    }
}

TEST_F(PacketStreamTest, BufferedAndCompressedOptions) {
    TAllTypesPacket p;
    Filled(p);
    auto plain = SaveFull(p);
    TMemoryStream buffered;
    p.SaveToStream(buffered, nullptr, psoBuffered);
    EXPECT_EQ(Bytes(buffered), plain);

    TMemoryStream packed;
    p.SaveToStream(packed, nullptr, psoCompressed | psoBuffered);
    EXPECT_EQ(Hex(packed.Bytes().subspan(0, 5)), "73 64 63 32 03");
    packed.SetPosition(0);
    TAllTypesPacket loaded;
    loaded.LoadFromStream(packed, nullptr, ploCompressed);
    EXPECT_TRUE(loaded.IsEqual(p));
    packed.SetPosition(0);
    EXPECT_TRUE(TPacket::CreateFromStream(packed, nullptr, ploCompressed)->IsEqual(p));
}

// Packets read one after another from a decompressing reader (a stream that is not
// one buffer), through the 64-bit adapter.
TEST_F(PacketStreamTest, PacketsFromADecompressingReader) {
    TAllTypesPacket p;
    Filled(p);
    TMemoryStream plain;
    TPacketSaveContext sc;
    p.SaveToStream(plain, &sc);
    TInnerPacket().SaveToStream(plain, &sc);
    plain.SetPosition(0);
    TMemoryStream packed;
    Compress(plain, plain.Size(), packed);
    TDecompressStreamAdapter adapter(
        std::make_unique<TDecompressStream>(new TMemoryStream(Bytes(packed)), 0, 1, true));
    EXPECT_EQ(adapter.Size(), plain.Size());
    TPacketLoadContext lc;
    EXPECT_TRUE(TPacket::CreateFromStream(adapter.Stream(), &lc)->IsEqual(p));
    std::int64_t first = adapter.Position();
    EXPECT_GT(first, 0);
    EXPECT_EQ(TPacket::CreateFromStream(adapter.Stream(), &lc)->ClassName(), "TInnerPacket");
    EXPECT_EQ(adapter.Position(), plain.Size());
    adapter.SetPosition(first);
    EXPECT_EQ(TPacket::CreateFromStream(adapter.Stream(), &lc)->ClassName(), "TInnerPacket");
}

// A stream that is not one buffer: it hands out at most `chunk` bytes a read and
// counts what it handed out.
class TPieceStream : public TStream {
public:
    TPieceStream(std::vector<std::uint8_t> bytes, std::size_t chunk)
        : memory(std::move(bytes)), chunk(chunk) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        std::size_t n = memory.Read(buffer, std::min(count, chunk));
        handedOut += n;
        return n;
    }
    void Write(const void* buffer, std::size_t count) override { memory.Write(buffer, count); }
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        return memory.Seek(offset, origin);
    }
    std::int64_t Size() const override { return memory.Size(); }
    std::int64_t Position() const override { return memory.Position(); }
    std::size_t handedOut = 0;

private:
    TMemoryStream memory;
    std::size_t chunk;
};

// Loading from a stream that is not in memory reads the packet, not the rest of the
// stream (a history file holds a small record before gigabytes of events).
TEST_F(PacketStreamTest, LoadingFromAStreamReadsOnlyWhatItNeeds) {
    TAllTypesPacket p;
    Filled(p);
    const std::size_t trailing = 8 << 20;
    for (bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "full");
        TMemoryStream s;
        TPacketSaveContext sc;
        p.SaveToStream(s, compact ? &sc : nullptr);
        const auto packetSize = static_cast<std::size_t>(s.Size());
        s.SetSize(packetSize + trailing);
        struct Load {
            const char* name;
            std::function<void(TStream&, TPacketLoadContext*)> run;
        };
        const Load loads[] = {
            {"create",
             [&](TStream& from, TPacketLoadContext* lc) {
                 EXPECT_TRUE(TPacket::CreateFromStream(from, lc)->IsEqual(p));
             }},
            {"load",
             [&](TStream& from, TPacketLoadContext* lc) {
                 TAllTypesPacket loaded;
                 loaded.LoadFromStream(from, lc);
                 EXPECT_TRUE(loaded.IsEqual(p));
             }},
        };
        for (const auto& load : loads) {
            SCOPED_TRACE(load.name);
            TPieceStream from(Bytes(s), std::size_t{1} << 30);
            TPacketLoadContext lc;
            load.run(from, compact ? &lc : nullptr);
            EXPECT_EQ(from.Position(), static_cast<std::int64_t>(packetSize));
            EXPECT_LT(from.handedOut, packetSize + (256u << 10));
        }
    }
    // A run of small packets, as a replay loads events: each is read about once.
    TMemoryStream run;
    TPacketSaveContext sc;
    TInnerPacket small;
    small.Name = "event";
    for (int i = 0; i < 2000; ++i)
        small.SaveToStream(run, &sc);
    TPieceStream events(Bytes(run), std::size_t{1} << 30);
    TPacketLoadContext lc;
    for (int i = 0; i < 2000; ++i)
        ASSERT_TRUE(TPacket::CreateFromStream(events, &lc)->IsEqual(small));
    EXPECT_LT(events.handedOut, 3 * static_cast<std::size_t>(run.Size()));

    TInnerPacketList list;
    list.AddNew().Name = "x";
    TMemoryStream s;
    list.SaveToStream(s);
    const auto listSize = static_cast<std::size_t>(s.Size());
    s.SetSize(listSize + trailing);
    TPieceStream from(Bytes(s), std::size_t{1} << 30);
    TInnerPacketList loaded;
    loaded.LoadFromStream(from);
    EXPECT_TRUE(loaded.IsEqual(list));
    EXPECT_EQ(from.Position(), static_cast<std::int64_t>(listSize));
    EXPECT_LT(from.handedOut, listSize + (256u << 10));
}

// A stream that hands out few bytes a read: values cut across reads, large values
// (read straight into their member) and a run of packets all load, and every
// truncation fails cleanly.
TEST_F(PacketStreamTest, PiecewiseStreamsLoadLikeMemory) {
    TAllTypesPacket p;
    Filled(p);
    p.Name.assign(300000, 'x');
    p.Data.SetSize(200000);
    std::memset(p.Data.Memory(), 0x5A, 200000);
    p.BigNumbers.assign(70000, -3);
    for (bool compact : {false, true}) {
        SCOPED_TRACE(compact ? "compact" : "full");
        TMemoryStream s;
        TPacketSaveContext sc;
        for (int i = 0; i < 3; ++i)
            p.SaveToStream(s, compact ? &sc : nullptr);
        for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{70000}}) {
            SCOPED_TRACE(chunk);
            TPieceStream from(Bytes(s), chunk);
            TPacketLoadContext lc;
            for (int i = 0; i < 3; ++i)
                EXPECT_TRUE(TPacket::CreateFromStream(from, compact ? &lc : nullptr)->IsEqual(p));
            EXPECT_EQ(from.Position(), s.Size());
        }
    }
    TAllTypesPacket small;
    Filled(small);
    for (bool compact : {false, true}) {
        TMemoryStream s;
        TPacketSaveContext sc;
        small.SaveToStream(s, compact ? &sc : nullptr);
        auto bytes = Bytes(s);
        for (std::size_t n = 1; n < bytes.size(); ++n) {
            TPieceStream part(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + n), 5);
            TPacketLoadContext lc;
            EXPECT_THROW(TPacket::CreateFromStream(part, compact ? &lc : nullptr), core::Exception)
                << n;
        }
    }
}

class PacketFileTest : public PacketStreamTest {
protected:
    void SetUp() override {
        PacketStreamTest::SetUp();
        dir = std::filesystem::temp_directory_path() /
              ("packets_file_test_" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::permissions(dir / "ro.pkt", std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(dir, ec);
    }
    std::filesystem::path dir;
};

TEST_F(PacketFileTest, SaveAndLoadWithOptions) {
    TAllTypesPacket p;
    Filled(p);
    const TPacketSaveOptions options[] = {0, psoViaTempFile, psoCompressed, psoMappedFile,
                                          psoBuffered | psoViaTempFile};
    for (auto o : options) {
        std::string name = (dir / "p.pkt").string();
        p.SaveToFile(name, o);
        EXPECT_FALSE(std::filesystem::exists(name + ".temp"));
        TAllTypesPacket loaded;
        loaded.LoadFromFile(name, (o & psoCompressed) ? TPacketLoadOptions{ploCompressed} : 0u);
        EXPECT_TRUE(loaded.IsEqual(p)) << o;
    }
    std::string nested = (dir / "a" / "b" / "p.pkt").string();
    EXPECT_THROW(p.SaveToFile(nested), core::Exception);
    p.SaveToFile(nested, psoCreateFolder);
    TAllTypesPacket loaded;
    loaded.LoadFromFile(nested, ploWaitForFile);
    EXPECT_TRUE(loaded.IsEqual(p));
}

TEST_F(PacketFileTest, FileErrorsAreWrapped) {
    TInnerPacket p;
    std::string missing = (dir / "missing.pkt").string();
    EXPECT_EQ(ErrorOf<core::Exception>([&] { p.LoadFromFile(missing, ploWaitForFile); })
                  .rfind("Failed to load packet TInnerPacket from file " + missing +
                             "\r\nCannot open file: " + missing,
                         0),
              0u);
    std::string other = (dir / "other.pkt").string();
    TEmptyTestPacket().SaveToFile(other);
    EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { p.LoadFromFile(other); }),
              "Failed to load packet TInnerPacket from file " + other +
                  "\r\nIncompatible packet class: {0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D01} "
                  "({0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4D02}, TInnerPacket expected)");

    std::string readOnly = (dir / "ro.pkt").string();
    p.SaveToFile(readOnly);
    std::filesystem::permissions(readOnly, std::filesystem::perms::owner_read);
    EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { p.SaveToFile(readOnly); }),
              "Cannot overwrite a read-only file: " + readOnly);
    EXPECT_EQ(ErrorOf<core::EGeneralError>([&] { p.SaveToFile(readOnly, psoViaTempFile); }),
              "Failed to delete file '" + readOnly + "'\r\nCannot delete a read-only file");
}

} // namespace

// Pins the bytes of every field type in both forms and what every typed access and
// text gives for every field, so that a change of the engine's internals cannot alter them.
TEST_F(PacketStreamTest, EveryTypeKeepsItsBytesAndAccess) {
    TAllTypesPacket p;
    Filled(p);
    const std::string names = std::string(300, 'n');
    std::string run;
    for (int i = 0; i < 300; ++i)
        run += "6E ";
    const std::string full =
        "02 00 00 00 80 02 00 00 1A 00 00 00 00 00 00 00 4E 1A 5C 0D 21 7B 3A 4C "
        "9E 55 1F 0A 2B 3C 4D 03 00 07 FB 01 60 79 FE FF E9 FD 00 00 00 00 00 00 "
        "00 FF FF FF 81 84 1E 00 04 34 12 00 00 00 00 00 00 C8 A3 E6 40 4E 1A 5C "
        "0D 21 7B 3A 4C 9E 55 1F 0A 2B 3C 4D AA 08 00 02 00 00 00 00 00 80 01 01 "
        "0A 00 00 00 65 4A 00 00 01 02 03 04 59 02 00 00"
        " " +
        run +
        "10 47 00 72 00 FC 00 DF 00 65 00 20 00 3D D8 00 DE 04 0A 66 69 72 73 74 "
        "00 02 00 00 00 2A 00 00 00 02 00 00 00 00 00 00 00 4E 1A 5C 0D 21 7B 3A "
        "4C 9E 55 1F 0A 2B 3C 4D 02 0A 69 6E 6E 65 72 2A 00 00 00 01 02 00 00 00 "
        "25 00 00 00 02 00 00 00 00 00 00 00 4E 1A 5C 0D 21 7B 3A 4C 9E 55 1F 0A "
        "2B 3C 4D 02 00 FF FF FF FF 02 00 00 00 02 00 00 00 26 00 00 00 02 00 00 "
        "00 00 00 00 00 4E 1A 5C 0D 21 7B 3A 4C 9E 55 1F 0A 2B 3C 4D 02 02 61 00 "
        "00 00 00 02 00 00 00 26 00 00 00 02 00 00 00 00 00 00 00 4E 1A 5C 0D 21 "
        "7B 3A 4C 9E 55 1F 0A 2B 3C 4D 02 02 62 00 00 00 00 03 00 00 00 00 01 02 "
        "06 01 00 00 00 FE FF FF FF 03 00 00 00 02 00 00 00 00 00 00 04 00 EF BE "
        "14 6F 6E 65 0D 0A 74 77 6F 0D 0A 00";
    const std::string compact =
        "00 00 1A 00 4E 1A 5C 0D 21 7B 3A 4C 9E 55 1F 0A 2B 3C 4D 03 00 07 FB 01 "
        "60 79 FE FF E9 FD 00 00 00 00 00 00 00 FF FF FF 81 84 1E 00 04 34 12 00 "
        "00 00 00 00 00 C8 A3 E6 40 4E 1A 5C 0D 21 7B 3A 4C 9E 55 1F 0A 2B 3C 4D "
        "AA 08 00 02 00 00 00 00 00 80 01 01 0A 00 00 00 65 4A 00 00 01 02 03 04 "
        "59 02 00 00"
        " " +
        run +
        "10 47 00 72 00 FC 00 DF 00 65 00 20 00 3D D8 00 DE 04 0A 66 69 72 73 74 "
        "00 00 00 02 00 4E 1A 5C 0D 21 7B 3A 4C 9E 55 1F 0A 2B 3C 4D 02 0A 69 6E "
        "6E 65 72 2A 00 00 00 01 04 00 FF FF FF FF 02 00 00 00 04 02 61 00 00 00 "
        "00 04 02 62 00 00 00 00 06 00 01 02 06 01 00 00 00 FE FF FF FF 03 00 00 "
        "00 02 00 00 00 00 00 00 04 00 EF BE 14 6F 6E 65 0D 0A 74 77 6F 0D 0A 00";
    EXPECT_EQ(Hex(SaveFull(p)), full);
    TMemoryStream s;
    TPacketSaveContext sc;
    p.SaveToStream(s, &sc);
    EXPECT_EQ(Hex(s.Bytes()), compact);

    // Per field: integer, string, double, object access ("!" when refused) and text.
    const std::string expected[] = {
        "Flag: i=0 s=False d=! o=! t1=False",
        "Small: i=7 s=7 d=7.000000 o=! t1=7",
        "Signed8: i=-5 s=-5 d=-5.000000 o=! t1=-5",
        "Color: i=! s=! d=! o=! t0=",
        "Count: i=-100000 s=-100000 d=-100000.000000 o=! t1=-100000",
        "CodePage: i=65001 s=65001 d=65001.000000 o=! t1=65001",
        "Big: i=0 s=-1099511627776 d=-1099511627776.000000 o=! t1=-1099511627776",
        "Packed: i=1000000 s=1000000 d=1000000.000000 o=! t1=1000000",
        "Handle: i=4660 s=4660 d=4660.000000 o=! t1=4660",
        "When: i=! s=4.637E4 d=46366.250000 o=! t1=2026-12-10 06:00:00",
        "Id: i=! s=! d=! o=! t1={0D5C1A4E-7B21-4C3A-9E55-1F0A2B3C4DAA}",
        "Options: i=! s=! d=! o=! t0=",
        "Few: i=! s=! d=! o=! t0=",
        "Os: i=! s=! d=! o=! t0=",
        "Name: i=! s=" + names + " d=! o=! t1='" + names + "'",
        "Wide: i=! s=Grüße 😀 d=! o=! t1='Grüße 😀'",
        "Lines: i=! s=first\\r\\n\\r\\n d=! o=1 t2=first\\r\\n\\r\\n",
        "Inner: i=! s=! d=! o=2 t2=(TInnerPacket)\\r\\n  Name = 'inner'\\r\\n  Value = "
        "42\\r\\n\\r\\n",
        "Opt: i=! s=! d=! o=2 t2=(TInnerPacket)\\r\\n  Name = ''\\r\\n  Value = -1\\r\\n\\r\\n",
        "Items: i=! s=! d=! o=3 t2=[1/2]\\r\\n(TInnerPacket)\\r\\n  Name = 'a'\\r\\n  Value = "
        "0\\r\\n\\r\\n[2/2]\\r\\n(TInnerPacket)\\r\\n  Name = 'b'\\r\\n  Value = 0\\r\\n\\r\\n",
        "Data: i=! s=! d=! o=4 t1=(size = 3)",
        "Numbers: i=! s=! d=! o=5 t0=",
        "BigNumbers: i=! s=! d=! o=6 t0=",
        "Small16: i=48879 s=48879 d=48879.000000 o=! t1=48879",
        "Notes: i=! s=one\\r\\ntwo\\r\\n d=! o=1 t2=one\\r\\ntwo\\r\\n",
        "Version: i=! s= d=! o=! t1=''",
    };
    ASSERT_EQ(p.FieldCount(), static_cast<int>(std::size(expected)));
    for (int i = 0; i < p.FieldCount(); ++i) {
        std::string row = std::string(p.Class().FieldName(i)) + ":";
        auto attempt = [&](const char* what, const std::function<std::string()>& call) {
            row += std::string(" ") + what + "=";
            try {
                row += call();
            } catch (const core::EGeneralError&) {
                row += "!";
            }
        };
        attempt("i", [&] { return std::to_string(p.GetFieldAsInteger(i)); });
        attempt("s", [&] { return p.GetFieldAsString(i); });
        attempt("d", [&] { return std::to_string(p.GetFieldAsDouble(i)); });
        attempt("o", [&] { return std::to_string(p.GetFieldAsObject(i).index()); });
        std::string text;
        const int lines = p.GetFieldText(i, text);
        row += " t" + std::to_string(lines) + "=" + text;
        std::string shown;
        for (char c : row)
            shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
        EXPECT_EQ(shown, expected[i]);
    }
}
