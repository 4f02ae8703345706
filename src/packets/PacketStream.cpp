#include "packets/PacketStream.h"

#include "core/Errors.h"
#include "packets/Compression.h"
#include "packets/FieldTypes.h"

#include <cstring>

namespace packets {

namespace {

[[noreturn]] void RangeError(const std::string& message) {
    core::Raise(core::ERangeError(message));
}
[[noreturn]] void GeneralError(const std::string& message) {
    core::Raise(core::EGeneralError(message));
}

std::string Str(std::string_view s) {
    return std::string(s);
}

// ---- writing ----

void SaveFieldsOf(const TPacket& p, TStream& s, TPacketSaveContext* ctx) {
    const TPacketClass& cls = p.Class();
    int n = cls.FieldCount();
    for (int i = 0; i < n; ++i)
        FieldOps(cls.Field(i)->Type).Save(*cls.Field(i), p, s, ctx);
}

void WriteHead(TStream& s, std::int32_t size, const TPacketClass& cls) {
    std::uint8_t head[PacketHeadSize] = {};
    std::int32_t values[3] = {PacketFormatVersion, size, cls.FieldCount()};
    std::memcpy(head, values, sizeof values);
    std::memcpy(head + 16, cls.ClassGUID().Bytes.data(), 16);
    s.Write(head, sizeof head);
}

void WriteClassReference(TStream& s, const TPacketClass& cls, TPacketSaveContext& ctx) {
    std::int32_t regId = cls.RegistrationId();
    if (regId < 1)
        core::AssertionFailed("Packet class " + Str(cls.Name()) + " is not registered", __FILE__,
                              __LINE__);
    int id = ctx.Find(regId);
    if (id != 0) {
        WriteCompact16(s, static_cast<std::uint32_t>(id));
        return;
    }
    ctx.Add(regId);
    std::uint8_t intro[1 + ClassIntroSize] = {};
    auto fieldCount = static_cast<std::uint16_t>(cls.FieldCount());
    std::memcpy(intro + 2, &fieldCount, 2);
    std::memcpy(intro + 4, cls.ClassGUID().Bytes.data(), 16);
    s.Write(intro, sizeof intro);
}

// ---- reading ----

struct TLoader;
void LoadInto(TPacket& p, TLoader& l);
std::unique_ptr<TPacket> CreateFrom(TLoader& l);

struct TLoader final : TFieldLoader {
    TLoader(TByteReader& r, TPacketLoadContext* ctx) : r(r), ctx(ctx) {}
    TByteReader& Reader() override { return r; }
    TPacketLoadContext* Context() override { return ctx; }
    void LoadNested(TPacket& packet) override { LoadInto(packet, *this); }
    std::unique_ptr<TPacket> CreateNested() override { return CreateFrom(*this); }

    TByteReader& r;
    TPacketLoadContext* ctx;
    int depth = 0;
};

class TDepthGuard {
public:
    explicit TDepthGuard(TLoader& l) : l(l) {
        if (++l.depth > MaxPacketNesting) {
            --l.depth;
            GeneralError("Packets are nested too deeply (more than " +
                         std::to_string(MaxPacketNesting) + " levels)");
        }
    }
    ~TDepthGuard() { --l.depth; }

private:
    TLoader& l;
};

// Loads the stored fields in index order, parent fields first; `remaining` ends with
// the number of stored fields the class does not know.
void LoadFieldsOf(TPacket& p, int& remaining, TLoader& l) {
    if (remaining <= 0)
        return;
    const TPacketClass& cls = p.Class();
    int n = cls.FieldCount();
    for (int i = 0; i < n && remaining > 0; ++i, --remaining)
        FieldOps(cls.Field(i)->Type).Load(*cls.Field(i), p, l);
}

TPacketLoadInfo ReadHead(TLoader& l, const TPacketClass* expected) {
    TByteReader& r = l.r;
    if (r.Position() < 0 || r.Position() >= r.EndPosition())
        RangeError("Buffer position out of bounds before loading packet header");
    TPacketLoadInfo info;
    if (l.ctx) {
        std::uint32_t id = ReadCompact16(r, "PacketClass");
        if (id != 0) {
            if (id - 1 >= static_cast<std::uint32_t>(l.ctx->Count()))
                GeneralError("Invalid streaming context ID: " + std::to_string(id));
            const auto& entry = l.ctx->Entry(static_cast<int>(id - 1));
            info.PacketClass = entry.Class;
            info.FieldCount = entry.FieldCount;
        } else {
            if (!r.CanRead(ClassIntroSize))
                RangeError("Trying to load packet class intro beyond the buffer end");
            r.Skip(1);
            auto fieldCount = r.Read<std::uint16_t>();
            core::TGUID guid;
            r.Read(guid.Bytes.data(), 16);
            const TPacketClass* cls = FindPacketClass(guid);
            if (!cls)
                GeneralError("Unregistered packet class in context: " + guid.ToString());
            if (cls->FieldCount() < fieldCount)
                GeneralError("Unsupported version of packet class: " + Str(cls->Name()) +
                             " (version " + std::to_string(fieldCount) + ")");
            l.ctx->Add(*cls, fieldCount);
            info.PacketClass = cls;
            info.FieldCount = fieldCount;
        }
        if (expected && info.PacketClass != expected)
            GeneralError("Incompatible packet class: " + info.PacketClass->ClassGUID().ToString() +
                         " (" + expected->ClassGUID().ToString() + ", " + Str(expected->Name()) +
                         " expected)");
        return info;
    }
    if (!r.CanRead(PacketHeadSize))
        RangeError("Trying to load packet header beyond the buffer end");
    auto version = r.Read<std::int32_t>();
    auto size = r.Read<std::int32_t>();
    auto fieldCount = r.Read<std::int32_t>();
    r.Skip(4);
    core::TGUID guid;
    r.Read(guid.Bytes.data(), 16);
    if (version != PacketFormatVersion)
        GeneralError("Cannot load packet. Unknown format version: " + std::to_string(version));
    if (expected) {
        if (guid != expected->ClassGUID())
            GeneralError("Incompatible packet class: " + guid.ToString() + " (" +
                         expected->ClassGUID().ToString() + ", " + Str(expected->Name()) +
                         " expected)");
        info.PacketClass = expected;
    } else {
        info.PacketClass = FindPacketClass(guid);
        if (!info.PacketClass)
            GeneralError("Unregistered packet class: " + guid.ToString());
    }
    // A packet is never smaller than its head; a smaller size would send the reader
    // backwards into data it has already read.
    if (size < PacketHeadSize)
        RangeError("Invalid packet size in packet header: " + std::to_string(size));
    info.FieldCount = fieldCount;
    info.RemainingSize = size - PacketHeadSize;
    info.EndPosition = r.Position() + info.RemainingSize;
    return info;
}

// Loads the fields after the head and moves to the packet's end. In the full form the
// fields are confined to the packet's declared size.
void LoadBody(TPacket& p, const TPacketLoadInfo& info, TLoader& l) {
    int remaining = info.FieldCount;
    if (info.EndPosition >= 0) {
        std::int64_t previous = l.r.NarrowEnd(info.EndPosition);
        try {
            LoadFieldsOf(p, remaining, l);
        } catch (...) {
            l.r.RestoreEnd(previous);
            throw;
        }
        l.r.RestoreEnd(previous);
        l.r.SetPosition(info.EndPosition);
    } else {
        LoadFieldsOf(p, remaining, l);
        if (info.EndPosition < -1)
            RangeError("Next packet position is negative after loading " + Str(p.ClassName()) +
                       " packet fields");
    }
}

void LoadInto(TPacket& p, TLoader& l) {
    TDepthGuard depth(l);
    TPacketLoadInfo info = ReadHead(l, &p.Class());
    LoadBody(p, info, l);
}

std::unique_ptr<TPacket> CreateFrom(TLoader& l) {
    TDepthGuard depth(l);
    TPacketLoadInfo info = ReadHead(l, nullptr);
    std::unique_ptr<TPacket> p = info.PacketClass->Create();
    try {
        LoadBody(*p, info, l);
    } catch (...) {
        core::RethrowWrapped("Failed to load packet fields");
    }
    return p;
}

// Runs `load` over a cursor on the stream's bytes from its position on (in place when
// they lie in memory, else read as the cursor reaches them), then moves the stream to
// where the cursor stopped.
template <typename F> void WithReader(TStream& stream, F&& load) {
    bool contiguous = false;
    auto bytes = stream.Contiguous(contiguous);
    TByteReader reader = contiguous ? TByteReader(bytes) : TByteReader(stream);
    if (contiguous)
        reader.SetPosition(stream.Position());
    try {
        load(reader);
    } catch (...) {
        stream.SetPosition(reader.Position());
        throw;
    }
    stream.SetPosition(reader.Position());
}

void CheckPacketStart(TStream& stream) {
    std::int64_t pos = stream.Position();
    if (pos < 0 || pos >= stream.Size())
        RangeError("Buffer position out of bounds before loading packet header");
}

} // namespace

// ---- counters ----

void WriteCompact(TStream& stream, std::uint32_t value) {
    if (value < 128) {
        auto b = static_cast<std::uint8_t>(value * 2);
        stream.Write(&b, 1);
    } else {
        std::uint32_t word = value * 2 + 1;
        stream.Write(&word, 4);
    }
}

void WriteCompact16(TStream& stream, std::uint32_t value) {
    if (value < 128) {
        auto b = static_cast<std::uint8_t>(value * 2);
        stream.Write(&b, 1);
    } else {
        auto word = static_cast<std::uint16_t>(value * 2 + 1);
        stream.Write(&word, 2);
    }
}

std::uint32_t ReadCompact(TByteReader& r, std::string_view name) {
    if (!r.CanRead(1))
        RangeError("Trying to load short " + Str(name) +
                   " field's length (1 byte) beyond the buffer end");
    std::uint32_t word = r.ReadByte();
    if (word & 1) {
        if (!r.CanRead(3))
            RangeError("Trying to load " + Str(name) +
                       " field's length (3 bytes) beyond the buffer end");
        std::uint8_t more[3];
        r.Read(more, 3);
        word |= std::uint32_t{more[0]} << 8 | std::uint32_t{more[1]} << 16 |
                std::uint32_t{more[2]} << 24;
    }
    return word >> 1;
}

std::uint32_t ReadCompact16(TByteReader& r, std::string_view name) {
    if (!r.CanRead(1))
        RangeError("Trying to load short " + Str(name) +
                   " field's wlength (1 byte) beyond the buffer end");
    std::uint32_t word = r.ReadByte();
    if (word & 1) {
        if (!r.CanRead(1))
            RangeError("Trying to load " + Str(name) +
                       " field's wlength (1 byte) beyond the buffer end");
        word |= std::uint32_t{r.ReadByte()} << 8;
    }
    return word >> 1;
}

int TPacketSaveContext::Add(std::int32_t registrationId) {
    if (count >= 32767)
        core::AssertionFailed("Too many packet classes in one stream", __FILE__, __LINE__);
    auto i = static_cast<std::size_t>(registrationId);
    if (ids.size() <= i)
        ids.resize(i + 1, 0);
    ids[i] = static_cast<std::uint16_t>(++count);
    return count;
}

// ---- TPacket stream operations ----

void TPacket::SaveToStream(TStream& stream, TPacketSaveContext* context,
                           TPacketSaveOptions options) const {
    if (options & psoCompressed) {
        TMemoryStream plain;
        SaveToStream(plain, context, options & ~(psoCompressed | psoBuffered));
        plain.SetPosition(0);
        Compress(plain, plain.Size(), stream, CompressionMethod);
        return;
    }
    if (options & psoBuffered) {
        TMemoryStream buffer;
        SaveToStream(buffer, context, options & ~psoBuffered);
        stream.Write(buffer.Memory(), buffer.Bytes().size());
        return;
    }
    if (context) {
        WriteClassReference(stream, Class(), *context);
        SaveFieldsOf(*this, stream, context);
        return;
    }
    std::int64_t p0 = stream.Position();
    WriteHead(stream, 0, Class());
    SaveFieldsOf(*this, stream, nullptr);
    std::int64_t p1 = stream.Position();
    stream.SetPosition(p0);
    WriteHead(stream, static_cast<std::int32_t>(p1 - p0), Class());
    stream.SetPosition(p1);
}

void TPacket::LoadFromStream(TStream& stream, TPacketLoadContext* context,
                             TPacketLoadOptions options) {
    if (options & ploCompressed) {
        TDecompressStream reader(&stream, 0, 1, false, -1);
        LoadFromStream(reader, context, options & ~ploCompressed);
        return;
    }
    CheckPacketStart(stream);
    WithReader(stream, [&](TByteReader& r) { LoadFromReader(r, context); });
}

std::unique_ptr<TPacket> TPacket::CreateFromStream(TStream& stream, TPacketLoadContext* context,
                                                   TPacketLoadOptions options) {
    if (options & ploCompressed) {
        TDecompressStream reader(&stream, 0, 1, false, -1);
        return CreateFromStream(reader, context, options & ~ploCompressed);
    }
    std::unique_ptr<TPacket> result;
    CheckPacketStart(stream);
    WithReader(stream, [&](TByteReader& r) { result = CreateFromReader(r, context); });
    return result;
}

void TPacket::LoadFromReader(TByteReader& reader, TPacketLoadContext* context) {
    TLoader l{reader, context};
    LoadInto(*this, l);
}

std::unique_ptr<TPacket> TPacket::CreateFromReader(TByteReader& reader,
                                                   TPacketLoadContext* context) {
    const int classes = context != nullptr ? context->Count() : 0;
    try {
        TLoader l{reader, context};
        return CreateFrom(l);
    } catch (...) {
        if (context != nullptr) {
            context->Truncate(classes);
        }
        throw;
    }
}

// ---- lists ----

void TCustomPacketList::SaveToStream(TStream& stream, TPacketSaveContext* context) const {
    auto count = static_cast<std::int32_t>(items.size());
    stream.WriteValue(count);
    for (const auto& item : items)
        item->SaveToStream(stream, context, 0);
}

void TCustomPacketList::LoadFromStream(TStream& stream, TPacketLoadContext* context) {
    std::int64_t pos = stream.Position();
    if (pos < 0 || pos > stream.Size())
        RangeError("Stream read error");
    WithReader(stream, [&](TByteReader& reader) {
        TLoader l{reader, context};
        auto count = reader.Read<std::int32_t>();
        Clear();
        SetCapacity(std::min<std::int32_t>(count, 32));
        for (std::int32_t k = 0; k < count; ++k)
            Add(CreateFrom(l));
    });
}

} // namespace packets
