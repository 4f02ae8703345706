#include "packets/PacketStream.h"

#include "packets/Compression.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace packets {

namespace {

template <typename T> T& At(const TFieldDef& f, const TPacket& p) {
    return *static_cast<T*>(f.Member(const_cast<TPacket&>(p)));
}

[[noreturn]] void RangeError(const std::string& message) {
    throw core::ERangeError(message);
}
[[noreturn]] void GeneralError(const std::string& message) {
    throw core::EGeneralError(message);
}

std::string Str(std::string_view s) {
    return std::string(s);
}

// ---- writing ----

void WriteString(TStream& s, std::string_view value) {
    WriteCompact(s, static_cast<std::uint32_t>(value.size()));
    s.Write(value.data(), value.size());
}

void SaveFieldsOf(const TPacket& p, TStream& s, TPacketSaveContext* ctx);

void SaveField(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext* ctx) {
    void* m = f.Member(const_cast<TPacket&>(p));
    switch (f.Type) {
    case TFieldType::Bool: {
        std::uint8_t b = *static_cast<bool*>(m) ? 1 : 0;
        s.Write(&b, 1);
        break;
    }
    case TFieldType::Byte:
    case TFieldType::Int8:
    case TFieldType::Enum8:
        s.Write(m, 1);
        break;
    case TFieldType::Word:
        s.Write(m, 2);
        break;
    case TFieldType::Int32:
    case TFieldType::UInt32:
        s.Write(m, 4);
        break;
    case TFieldType::Int64:
    case TFieldType::DateTime:
        s.Write(m, 8);
        break;
    case TFieldType::Compact:
        WriteCompact(s, static_cast<std::uint32_t>(*static_cast<std::int32_t*>(m)));
        break;
    case TFieldType::Handle: {
        std::uint8_t size = NativeHandleSize;
        s.Write(&size, 1);
        s.Write(m, NativeHandleSize);
        break;
    }
    case TFieldType::Guid:
        s.Write(m, 16);
        break;
    case TFieldType::Set: {
        auto size = static_cast<std::uint8_t>(f.Size);
        s.Write(&size, 1);
        s.Write(m, f.Size);
        break;
    }
    case TFieldType::Raw:
        s.Write(m, f.Size);
        break;
    case TFieldType::String:
        WriteString(s, *static_cast<std::string*>(m));
        break;
    case TFieldType::WString: {
        const auto& w = *static_cast<std::u16string*>(m);
        WriteCompact(s, static_cast<std::uint32_t>(w.size()));
        s.Write(w.data(), 2 * w.size());
        break;
    }
    case TFieldType::Strings: {
        const auto& list = *static_cast<core::TStringListEx*>(m);
        WriteCompact(s, static_cast<std::uint32_t>(list.Count()));
        for (const auto& line : list.Strings())
            WriteString(s, line);
        break;
    }
    case TFieldType::TextList:
        WriteString(s, static_cast<core::TStringListEx*>(m)->Text());
        break;
    case TFieldType::Record:
        static_cast<TPacket*>(m)->SaveToStream(s, ctx, 0);
        break;
    case TFieldType::OptRecord: {
        const TPacket* member = static_cast<TOptRecordBase*>(m)->Get();
        std::uint8_t present = member ? 1 : 0;
        s.Write(&present, 1);
        if (member)
            member->SaveToStream(s, ctx, 0);
        break;
    }
    case TFieldType::List:
        static_cast<TCustomPacketList*>(m)->SaveToStream(s, ctx);
        break;
    case TFieldType::Blob: {
        auto bytes = static_cast<TMemoryStream*>(m)->Bytes();
        if (ctx) {
            WriteCompact(s, static_cast<std::uint32_t>(bytes.size()));
        } else {
            auto count = static_cast<std::int32_t>(bytes.size());
            s.WriteValue(count);
        }
        s.Write(bytes.data(), bytes.size());
        break;
    }
    case TFieldType::Int32List: {
        const auto& v = *static_cast<std::vector<std::int32_t>*>(m);
        WriteCompact(s, static_cast<std::uint32_t>(v.size()));
        s.Write(v.data(), 4 * v.size());
        break;
    }
    case TFieldType::Int64List: {
        const auto& v = *static_cast<std::vector<std::int64_t>*>(m);
        WriteCompact(s, static_cast<std::uint32_t>(v.size()));
        s.Write(v.data(), 8 * v.size());
        break;
    }
    }
}

void SaveFieldsOf(const TPacket& p, TStream& s, TPacketSaveContext* ctx) {
    const TPacketClass& cls = p.Class();
    int n = cls.FieldCount();
    for (int i = 0; i < n; ++i)
        SaveField(*cls.Field(i), p, s, ctx);
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

struct TLoader {
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

void CheckFixed(TByteReader& r, std::string_view name, std::size_t n) {
    if (!r.CanRead(n))
        RangeError("Trying to load " + Str(name) + " (" + std::to_string(n) +
                   " bytes) beyond the buffer end");
}

// Overflow and bounds checks of a counted value; nothing is allocated before them.
void CheckCounted(TByteReader& r, std::string_view name, std::uint64_t n) {
    if (r.Position() + static_cast<std::int64_t>(n) > std::numeric_limits<std::int32_t>::max())
        RangeError("Position calculation will overflow trying to load " + Str(name) +
                   " (Position: " + std::to_string(r.Position()) +
                   ", Length: " + std::to_string(n) + ")");
    if (!r.CanRead(static_cast<std::size_t>(n)))
        RangeError("Trying to load " + Str(name) + " (" + std::to_string(n) +
                   " bytes) beyond the buffer end");
}

std::string ReadString(TByteReader& r, std::string_view name) {
    std::uint32_t c = ReadCompact(r, name);
    if (c == 0)
        return {};
    CheckCounted(r, name, c);
    auto bytes = r.Take(c);
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void LoadInto(TPacket& p, TLoader& l);
std::unique_ptr<TPacket> CreateFrom(TLoader& l);

void LoadField(const TFieldDef& f, TPacket& p, TLoader& l) {
    TByteReader& r = l.r;
    void* m = f.Member(p);
    switch (f.Type) {
    case TFieldType::Bool:
        CheckFixed(r, f.Name, 1);
        *static_cast<bool*>(m) = r.ReadByte() != 0;
        break;
    case TFieldType::Byte:
    case TFieldType::Int8:
    case TFieldType::Enum8:
        CheckFixed(r, f.Name, 1);
        r.Read(m, 1);
        break;
    case TFieldType::Word:
        CheckFixed(r, f.Name, 2);
        r.Read(m, 2);
        break;
    case TFieldType::Int32:
    case TFieldType::UInt32:
        CheckFixed(r, f.Name, 4);
        r.Read(m, 4);
        break;
    case TFieldType::Int64:
    case TFieldType::DateTime:
        CheckFixed(r, f.Name, 8);
        r.Read(m, 8);
        break;
    case TFieldType::Guid:
        CheckFixed(r, f.Name, 16);
        r.Read(m, 16);
        break;
    case TFieldType::Raw:
        CheckFixed(r, f.Name, f.Size);
        r.Read(m, f.Size);
        break;
    case TFieldType::Compact:
        *static_cast<std::int32_t*>(m) = static_cast<std::int32_t>(ReadCompact(r, f.Name));
        break;
    case TFieldType::Set: {
        if (!r.CanRead(1))
            RangeError("Trying to load " + Str(f.Name) +
                       " field's length (1 byte) beyond the buffer end");
        std::uint8_t stored = r.ReadByte();
        if (stored == 0)
            RangeError("Zero or Negative length (0 bytes) trying to load " + Str(f.Name));
        CheckCounted(r, f.Name, stored);
        auto* bytes = static_cast<std::uint8_t*>(m);
        if (stored >= f.Size) {
            r.Read(bytes, f.Size);
            r.Skip(stored - f.Size);
        } else {
            std::memset(bytes, 0, f.Size);
            r.Read(bytes, stored);
        }
        break;
    }
    case TFieldType::Handle: {
        if (!r.CanRead(1))
            RangeError("Trying to load " + Str(f.Name) +
                       " field's length (1 byte) beyond the buffer end");
        int size = r.ReadByte();
        if (size != 4 && size != 8)
            RangeError("Invalid size value (" + std::to_string(size) + " bytes) for " +
                       Str(f.Name));
        CheckFixed(r, f.Name, static_cast<std::size_t>(size));
        if (size > NativeHandleSize)
            RangeError("The size read for the handler (" + std::to_string(size) +
                       " bytes) is bigger than the native type of " + Str(f.Name) + " (" +
                       std::to_string(NativeHandleSize) + " bytes)");
        r.Read(m, NativeHandleSize);
        break;
    }
    case TFieldType::String:
        *static_cast<std::string*>(m) = ReadString(r, f.Name);
        break;
    case TFieldType::WString: {
        std::uint32_t c = ReadCompact(r, f.Name);
        auto& w = *static_cast<std::u16string*>(m);
        if (c == 0) {
            w.clear();
            break;
        }
        std::uint64_t bytes = 2ull * c;
        CheckCounted(r, f.Name, bytes);
        w.resize(c);
        r.Read(w.data(), static_cast<std::size_t>(bytes));
        break;
    }
    case TFieldType::Strings: {
        std::uint32_t c = ReadCompact(r, f.Name);
        auto& list = *static_cast<core::TStringListEx*>(m);
        list.Clear();
        list.SetCapacity(static_cast<int>(std::min<std::uint32_t>(c, 32)));
        std::string itemName = Str(f.Name) + "#";
        for (std::uint32_t k = 1; k <= c; ++k)
            list.Add(ReadString(r, itemName + std::to_string(k)));
        break;
    }
    case TFieldType::TextList:
        static_cast<core::TStringListEx*>(m)->SetText(ReadString(r, f.Name));
        break;
    case TFieldType::Record:
        LoadInto(*static_cast<TPacket*>(m), l);
        break;
    case TFieldType::OptRecord: {
        if (!r.CanRead(1))
            RangeError("Trying to load " + Str(f.Name) +
                       " field's availability (1 byte) beyond the buffer end");
        auto& opt = *static_cast<TOptRecordBase*>(m);
        if (r.ReadByte() != 0)
            LoadInto(opt.Ensure(f.MemberClass()), l);
        else
            opt.Reset();
        break;
    }
    case TFieldType::List: {
        auto& list = *static_cast<TCustomPacketList*>(m);
        auto count = r.Read<std::int32_t>();
        list.Clear();
        list.SetCapacity(std::min<std::int32_t>(count, 32));
        for (std::int32_t k = 0; k < count; ++k)
            list.Add(CreateFrom(l));
        break;
    }
    case TFieldType::Blob: {
        std::uint64_t count;
        if (l.ctx) {
            count = ReadCompact(r, f.Name);
        } else {
            if (!r.CanRead(4))
                RangeError("Trying to load " + Str(f.Name) +
                           " field's length (4 bytes) beyond the buffer end");
            auto stored = r.Read<std::int32_t>();
            if (stored < 0)
                RangeError("Negative length (" + std::to_string(stored) +
                           " bytes) trying to load " + Str(f.Name));
            count = static_cast<std::uint64_t>(stored);
        }
        CheckCounted(r, f.Name, count);
        auto& blob = *static_cast<TMemoryStream*>(m);
        blob.SetSize(static_cast<std::size_t>(count));
        blob.SetPosition(0);
        r.Read(blob.Memory(), static_cast<std::size_t>(count));
        break;
    }
    case TFieldType::Int32List:
    case TFieldType::Int64List: {
        std::uint32_t c = ReadCompact(r, f.Name);
        std::size_t width = f.Type == TFieldType::Int32List ? 4 : 8;
        CheckCounted(r, f.Name, std::uint64_t{c} * width);
        if (width == 4) {
            auto& v = *static_cast<std::vector<std::int32_t>*>(m);
            v.resize(c);
            r.Read(v.data(), 4ull * c);
        } else {
            auto& v = *static_cast<std::vector<std::int64_t>*>(m);
            v.resize(c);
            r.Read(v.data(), 8ull * c);
        }
        break;
    }
    }
}

// Loads the stored fields in index order, parent fields first; `remaining` ends with
// the number of stored fields the class does not know.
void LoadFieldsOf(TPacket& p, int& remaining, TLoader& l) {
    if (remaining <= 0)
        return;
    const TPacketClass& cls = p.Class();
    int n = cls.FieldCount();
    for (int i = 0; i < n && remaining > 0; ++i, --remaining)
        LoadField(*cls.Field(i), p, l);
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
        std::size_t previous = l.r.NarrowEnd(info.EndPosition);
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

// Runs `load` over a cursor on the stream's bytes from its position on, then moves
// the stream to where the cursor stopped.
template <typename F> void WithReader(TStream& stream, F&& load) {
    std::int64_t pos = stream.Position();
    std::int64_t size = stream.Size();
    if (pos < 0 || pos >= size)
        RangeError("Buffer position out of bounds before loading packet header");
    bool contiguous = false;
    auto bytes = stream.Contiguous(contiguous);
    if (contiguous) {
        TByteReader reader(bytes);
        reader.SetPosition(pos);
        try {
            load(reader);
        } catch (...) {
            stream.SetPosition(reader.Position());
            throw;
        }
        stream.SetPosition(reader.Position());
        return;
    }
    std::vector<std::uint8_t> copy(static_cast<std::size_t>(size - pos));
    copy.resize(stream.Read(copy.data(), copy.size()));
    TByteReader reader(copy, pos);
    try {
        load(reader);
    } catch (...) {
        stream.SetPosition(reader.Position());
        throw;
    }
    stream.SetPosition(reader.Position());
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
    WithReader(stream, [&](TByteReader& r) { LoadFromReader(r, context); });
}

std::unique_ptr<TPacket> TPacket::CreateFromStream(TStream& stream, TPacketLoadContext* context,
                                                   TPacketLoadOptions options) {
    if (options & ploCompressed) {
        TDecompressStream reader(&stream, 0, 1, false, -1);
        return CreateFromStream(reader, context, options & ~ploCompressed);
    }
    std::unique_ptr<TPacket> result;
    WithReader(stream, [&](TByteReader& r) { result = CreateFromReader(r, context); });
    return result;
}

void TPacket::LoadFromReader(TByteReader& reader, TPacketLoadContext* context) {
    TLoader l{reader, context};
    LoadInto(*this, l);
}

std::unique_ptr<TPacket> TPacket::CreateFromReader(TByteReader& reader,
                                                   TPacketLoadContext* context) {
    TLoader l{reader, context};
    return CreateFrom(l);
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
    bool contiguous = false;
    auto bytes = stream.Contiguous(contiguous);
    std::vector<std::uint8_t> copy;
    TByteReader reader;
    if (contiguous) {
        reader = TByteReader(bytes);
        reader.SetPosition(pos);
    } else {
        copy.resize(static_cast<std::size_t>(stream.Size() - pos));
        copy.resize(stream.Read(copy.data(), copy.size()));
        reader = TByteReader(copy, pos);
    }
    TLoader l{reader, context};
    try {
        auto count = reader.Read<std::int32_t>();
        Clear();
        SetCapacity(std::min<std::int32_t>(count, 32));
        for (std::int32_t k = 0; k < count; ++k)
            Add(CreateFrom(l));
    } catch (...) {
        stream.SetPosition(reader.Position());
        throw;
    }
    stream.SetPosition(reader.Position());
}

} // namespace packets
