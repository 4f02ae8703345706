#include "packets/FieldTypes.h"

#include "core/Errors.h"
#include "packets/ByteReader.h"
#include "packets/PacketStream.h"
#include "packets/TextUtil.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace packets {

namespace {

template <typename T> T& At(const TFieldDef& f, const TPacket& p) {
    return *static_cast<T*>(f.Member(const_cast<TPacket&>(p)));
}
void* Address(const TFieldDef& f, const TPacket& p) {
    return f.Member(const_cast<TPacket&>(p));
}

[[noreturn]] void RangeError(const std::string& message) {
    core::Raise(core::ERangeError(message));
}

std::string Str(std::string_view s) {
    return std::string(s);
}

void CheckFixed(TByteReader& r, std::string_view name, std::size_t n) {
    if (!r.CanRead(n))
        RangeError("Trying to load " + Str(name) + " (" + std::to_string(n) +
                   " bytes) beyond the buffer end");
}

void CheckLengthByte(TByteReader& r, std::string_view name, std::string_view what) {
    if (!r.CanRead(1))
        RangeError("Trying to load " + Str(name) + " field's " + Str(what) +
                   " (1 byte) beyond the buffer end");
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

void WriteString(TStream& s, std::string_view value) {
    WriteCompact(s, static_cast<std::uint32_t>(value.size()));
    s.Write(value.data(), value.size());
}

std::string Quoted(std::string value) {
    std::replace(value.begin(), value.end(), '\0', ' ');
    return "'" + value + "'";
}

int ObjectText(const TPacket* packet, std::string& text) {
    if (!packet) {
        text = "(null)";
        return 1;
    }
    core::TStringListEx lines;
    packet->DumpToStrings(lines);
    text = lines.Text() + "\r\n";
    return 2;
}

// ---- building blocks of the rows ----

// Held and streamed as the bytes in memory: N of them, or the descriptor's size.
template <std::size_t N> struct TBytes {
    static std::size_t Width(const TFieldDef& f) { return N ? N : f.Size; }
    static bool Equal(const TFieldDef& f, const TPacket& a, const TPacket& b) {
        return std::memcmp(Address(f, a), Address(f, b), Width(f)) == 0;
    }
    static void Copy(const TFieldDef& f, TPacket& to, const TPacket& from) {
        std::memcpy(f.Member(to), Address(f, from), Width(f));
    }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        s.Write(Address(f, p), Width(f));
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        CheckFixed(l.Reader(), f.Name, Width(f));
        l.Reader().Read(f.Member(p), Width(f));
    }
};

// A C++ value compared and copied by its own operators.
template <typename T> struct TValue {
    static bool Equal(const TFieldDef& f, const TPacket& a, const TPacket& b) {
        return At<T>(f, a) == At<T>(f, b);
    }
    static void Copy(const TFieldDef& f, TPacket& to, const TPacket& from) {
        At<T>(f, to) = At<T>(f, from);
    }
};

// An object that starts empty and is emptied by a reset.
template <typename T> struct TEmptied {
    static void Reset(const TFieldDef& f, TPacket& p, bool objects) {
        if (objects)
            At<T>(f, p).clear();
    }
};

// Integers keep the bits their member holds; text and doubles go through the
// widened value.
template <typename T> struct TInteger : TBytes<sizeof(T)> {
    static std::int64_t GetInteger(const TFieldDef& f, const TPacket& p) { return At<T>(f, p); }
    static void SetInteger(const TFieldDef& f, TPacket& p, std::int64_t v) {
        At<T>(f, p) = static_cast<T>(v);
    }
    static double GetDouble(const TFieldDef& f, const TPacket& p) {
        return static_cast<double>(GetInteger(f, p));
    }
    static void SetDouble(const TFieldDef& f, TPacket& p, double v) {
        SetInteger(f, p, RoundHalfEven(v));
    }
    static std::string GetString(const TFieldDef& f, const TPacket& p) {
        return std::to_string(GetInteger(f, p));
    }
    static void SetString(const TFieldDef& f, TPacket& p, std::string_view v) {
        SetInteger(f, p, v.empty() ? 0 : ParseInt32(v));
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = GetString(f, p);
        return 1;
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool) { SetInteger(f, p, f.IntDefault); }
};

// Bytes with no typed access that a reset zeroes.
template <std::size_t N> struct TZeroed : TBytes<N> {
    static void Reset(const TFieldDef& f, TPacket& p, bool) {
        std::memset(f.Member(p), 0, TBytes<N>::Width(f));
    }
};

// ---- the rows ----

struct TBoolField : TValue<bool> {
    static std::int64_t GetInteger(const TFieldDef& f, const TPacket& p) {
        return At<bool>(f, p) ? 1 : 0;
    }
    static void SetInteger(const TFieldDef& f, TPacket& p, std::int64_t v) {
        At<bool>(f, p) = v != 0;
    }
    static std::string GetString(const TFieldDef& f, const TPacket& p) {
        return At<bool>(f, p) ? "True" : "False";
    }
    static void SetString(const TFieldDef& f, TPacket& p, std::string_view v) {
        At<bool>(f, p) = core::SameText(v, "True");
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = GetString(f, p);
        return 1;
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool) { At<bool>(f, p) = f.IntDefault != 0; }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        std::uint8_t b = At<bool>(f, p) ? 1 : 0;
        s.Write(&b, 1);
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        CheckFixed(l.Reader(), f.Name, 1);
        At<bool>(f, p) = l.Reader().ReadByte() != 0;
    }
};

struct TEnum8Field : TBytes<1> {
    static void Reset(const TFieldDef& f, TPacket& p, bool) {
        std::memset(f.Member(p), static_cast<std::uint8_t>(f.IntDefault), 1);
    }
};

struct TCompactField : TInteger<std::int32_t> {
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        WriteCompact(s, static_cast<std::uint32_t>(At<std::int32_t>(f, p)));
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        At<std::int32_t>(f, p) = static_cast<std::int32_t>(ReadCompact(l.Reader(), f.Name));
    }
};

struct THandleField : TInteger<THandleValue> {
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        std::uint8_t size = NativeHandleSize;
        s.Write(&size, 1);
        s.Write(Address(f, p), NativeHandleSize);
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        TByteReader& r = l.Reader();
        CheckLengthByte(r, f.Name, "length");
        int size = r.ReadByte();
        if (size != 4 && size != 8)
            RangeError("Invalid size value (" + std::to_string(size) + " bytes) for " +
                       Str(f.Name));
        CheckFixed(r, f.Name, static_cast<std::size_t>(size));
        if (size > NativeHandleSize)
            RangeError("The size read for the handler (" + std::to_string(size) +
                       " bytes) is bigger than the native type of " + Str(f.Name) + " (" +
                       std::to_string(NativeHandleSize) + " bytes)");
        r.Read(f.Member(p), NativeHandleSize);
    }
};

// Equal and copied as its 8 bytes, not as a number.
struct TDateTimeField : TBytes<8> {
    static double GetDouble(const TFieldDef& f, const TPacket& p) { return At<double>(f, p); }
    static void SetDouble(const TFieldDef& f, TPacket& p, double v) { At<double>(f, p) = v; }
    static std::string GetString(const TFieldDef& f, const TPacket& p) {
        return FormatGeneral4(At<double>(f, p));
    }
    static void SetString(const TFieldDef& f, TPacket& p, std::string_view v) {
        At<double>(f, p) = ParseFloat(v);
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = FormatDateTime(At<double>(f, p));
        return 1;
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool) { At<double>(f, p) = f.FloatDefault; }
};

static_assert(sizeof(core::TGUID) == 16);
struct TGuidField : TBytes<16> {
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = At<core::TGUID>(f, p).ToString();
        return 1;
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool) { At<core::TGUID>(f, p) = {}; }
};

// A size byte, then that many bytes; a reader's wider set is cut, a narrower one
// zero-filled.
struct TSetField : TZeroed<0> {
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        auto size = static_cast<std::uint8_t>(f.Size);
        s.Write(&size, 1);
        s.Write(Address(f, p), f.Size);
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        TByteReader& r = l.Reader();
        CheckLengthByte(r, f.Name, "length");
        std::uint8_t stored = r.ReadByte();
        if (stored == 0)
            RangeError("Zero or Negative length (0 bytes) trying to load " + Str(f.Name));
        CheckCounted(r, f.Name, stored);
        auto* bytes = static_cast<std::uint8_t*>(f.Member(p));
        if (stored >= f.Size) {
            r.Read(bytes, f.Size);
            r.Skip(stored - f.Size);
        } else {
            std::memset(bytes, 0, f.Size);
            r.Read(bytes, stored);
        }
    }
};

struct TStringField : TValue<std::string> {
    static std::string GetString(const TFieldDef& f, const TPacket& p) {
        return At<std::string>(f, p);
    }
    static void SetString(const TFieldDef& f, TPacket& p, std::string_view v) {
        At<std::string>(f, p) = std::string(v);
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = Quoted(At<std::string>(f, p));
        return 1;
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool objects) {
        if (objects || !f.TextDefault.empty())
            At<std::string>(f, p).assign(f.TextDefault);
    }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        WriteString(s, At<std::string>(f, p));
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        At<std::string>(f, p) = ReadString(l.Reader(), f.Name);
    }
};

struct TWStringField : TValue<std::u16string>, TEmptied<std::u16string> {
    static std::string GetString(const TFieldDef& f, const TPacket& p) {
        return Utf16ToText(At<std::u16string>(f, p));
    }
    static void SetString(const TFieldDef& f, TPacket& p, std::string_view v) {
        At<std::u16string>(f, p) = TextToUtf16(v);
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = Quoted(GetString(f, p));
        return 1;
    }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        const auto& w = At<std::u16string>(f, p);
        WriteCompact(s, static_cast<std::uint32_t>(w.size()));
        s.Write(w.data(), 2 * w.size());
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        TByteReader& r = l.Reader();
        std::uint32_t c = ReadCompact(r, f.Name);
        auto& w = At<std::u16string>(f, p);
        if (c == 0) {
            w.clear();
            return;
        }
        std::uint64_t bytes = 2ull * c;
        CheckCounted(r, f.Name, bytes);
        w.resize(c);
        r.Read(w.data(), static_cast<std::size_t>(bytes));
    }
};

// A string list: the items and their object references.
struct TStringListField {
    using L = core::TStringListEx;
    static std::string GetString(const TFieldDef& f, const TPacket& p) {
        return At<L>(f, p).Text();
    }
    static void SetString(const TFieldDef& f, TPacket& p, std::string_view v) {
        At<L>(f, p).SetText(v);
    }
    static TFieldObject GetObject(const TFieldDef& f, const TPacket& p) { return &At<L>(f, p); }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = At<L>(f, p).Text();
        return 2;
    }
    static bool Equal(const TFieldDef& f, const TPacket& a, const TPacket& b) {
        const L& x = At<L>(f, a);
        const L& y = At<L>(f, b);
        if (x.Count() != y.Count())
            return false;
        for (int i = 0; i < x.Count(); ++i)
            if (x[i] != y[i] || x.Object(i) != y.Object(i))
                return false;
        return true;
    }
    static void Copy(const TFieldDef& f, TPacket& to, const TPacket& from) {
        L& dst = At<L>(f, to);
        const L& src = At<L>(f, from);
        dst.Clear();
        dst.SetCapacity(src.Count());
        for (int i = 0; i < src.Count(); ++i)
            dst.Add(src[i], src.Object(i));
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool objects) {
        if (objects)
            At<L>(f, p).Clear();
    }
};

// A Compact count of Strings.
struct TStringsField : TStringListField {
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        const auto& list = At<L>(f, p);
        WriteCompact(s, static_cast<std::uint32_t>(list.Count()));
        for (const auto& line : list.Strings())
            WriteString(s, line);
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        std::uint32_t c = ReadCompact(l.Reader(), f.Name);
        auto& list = At<L>(f, p);
        list.Clear();
        list.SetCapacity(static_cast<int>(std::min<std::uint32_t>(c, 32)));
        std::string itemName = Str(f.Name) + "#";
        for (std::uint32_t k = 1; k <= c; ++k)
            list.Add(ReadString(l.Reader(), itemName + std::to_string(k)));
    }
};

// One String holding the lines.
struct TTextListField : TStringListField {
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        WriteString(s, At<L>(f, p).Text());
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        At<L>(f, p).SetText(ReadString(l.Reader(), f.Name));
    }
};

struct TRecordField {
    static TFieldObject GetObject(const TFieldDef& f, const TPacket& p) {
        return &At<TPacket>(f, p);
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        return ObjectText(&At<TPacket>(f, p), text);
    }
    static bool Equal(const TFieldDef& f, const TPacket& a, const TPacket& b) {
        return At<TPacket>(f, a).IsEqual(At<TPacket>(f, b));
    }
    static void Copy(const TFieldDef& f, TPacket& to, const TPacket& from) {
        At<TPacket>(f, to).Assign(At<TPacket>(f, from));
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool objects) {
        if (objects)
            At<TPacket>(f, p).Clear();
    }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext* ctx) {
        At<TPacket>(f, p).SaveToStream(s, ctx, 0);
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        l.LoadNested(At<TPacket>(f, p));
    }
};

// A presence byte, then the nested packet; a reset clears a present one.
struct TOptRecordField {
    using O = TOptRecordBase;
    static TFieldObject GetObject(const TFieldDef& f, const TPacket& p) {
        return At<O>(f, p).Get();
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        return ObjectText(At<O>(f, p).Get(), text);
    }
    static bool Equal(const TFieldDef& f, const TPacket& a, const TPacket& b) {
        const TPacket* x = At<O>(f, a).Get();
        const TPacket* y = At<O>(f, b).Get();
        if (!x || !y)
            return !x && !y;
        return x->IsEqual(*y);
    }
    static void Copy(const TFieldDef& f, TPacket& to, const TPacket& from) {
        auto& dst = At<O>(f, to);
        const TPacket* src = At<O>(f, from).Get();
        if (!src)
            dst.Reset();
        else
            dst.Ensure(f.MemberClass()).Assign(*src);
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool objects) {
        if (objects && At<O>(f, p).Present())
            At<O>(f, p).Get()->Clear();
    }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext* ctx) {
        const TPacket* member = At<O>(f, p).Get();
        std::uint8_t present = member ? 1 : 0;
        s.Write(&present, 1);
        if (member)
            member->SaveToStream(s, ctx, 0);
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        TByteReader& r = l.Reader();
        CheckLengthByte(r, f.Name, "availability");
        auto& opt = At<O>(f, p);
        if (r.ReadByte() != 0)
            l.LoadNested(opt.Ensure(f.MemberClass()));
        else
            opt.Reset();
    }
};

// A 4-byte signed count, then the packets, each naming its class.
struct TListField {
    using L = TCustomPacketList;
    static TFieldObject GetObject(const TFieldDef& f, const TPacket& p) { return &At<L>(f, p); }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = At<L>(f, p).ListToText();
        return 2;
    }
    static bool Equal(const TFieldDef& f, const TPacket& a, const TPacket& b) {
        return At<L>(f, a).IsEqual(At<L>(f, b));
    }
    static void Copy(const TFieldDef& f, TPacket& to, const TPacket& from) {
        At<L>(f, to).Assign(At<L>(f, from));
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool objects) {
        if (objects)
            At<L>(f, p).Clear();
    }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext* ctx) {
        At<L>(f, p).SaveToStream(s, ctx);
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        auto& list = At<L>(f, p);
        auto count = l.Reader().Read<std::int32_t>();
        list.Clear();
        list.SetCapacity(std::min<std::int32_t>(count, 32));
        for (std::int32_t k = 0; k < count; ++k)
            list.Add(l.CreateNested());
    }
};

// The count is 4 bytes signed in the full form and Compact in the compact form.
struct TBlobField : TValue<TMemoryStream> {
    static TFieldObject GetObject(const TFieldDef& f, const TPacket& p) {
        return &At<TMemoryStream>(f, p);
    }
    static int Text(const TFieldDef& f, const TPacket& p, std::string& text) {
        text = "(size = " + std::to_string(At<TMemoryStream>(f, p).Size()) + ")";
        return 1;
    }
    static void Copy(const TFieldDef& f, TPacket& to, const TPacket& from) {
        auto& dst = At<TMemoryStream>(f, to);
        const auto& src = At<TMemoryStream>(f, from);
        dst.SetSize(src.Bytes().size());
        if (!src.Bytes().empty())
            std::memcpy(dst.Memory(), src.Memory(), src.Bytes().size());
    }
    static void Reset(const TFieldDef& f, TPacket& p, bool objects) {
        if (objects)
            At<TMemoryStream>(f, p).Clear();
    }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext* ctx) {
        auto bytes = At<TMemoryStream>(f, p).Bytes();
        if (ctx) {
            WriteCompact(s, static_cast<std::uint32_t>(bytes.size()));
        } else {
            auto count = static_cast<std::int32_t>(bytes.size());
            s.WriteValue(count);
        }
        s.Write(bytes.data(), bytes.size());
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        TByteReader& r = l.Reader();
        std::uint64_t count;
        if (l.Context()) {
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
        auto& blob = At<TMemoryStream>(f, p);
        blob.SetSize(static_cast<std::size_t>(count));
        blob.SetPosition(0);
        r.Read(blob.Memory(), static_cast<std::size_t>(count));
    }
};

// A Compact count, then the values.
template <typename T> struct TNumberListField : TValue<std::vector<T>>, TEmptied<std::vector<T>> {
    using V = std::vector<T>;
    static TFieldObject GetObject(const TFieldDef& f, const TPacket& p) { return &At<V>(f, p); }
    static void Save(const TFieldDef& f, const TPacket& p, TStream& s, TPacketSaveContext*) {
        const auto& v = At<V>(f, p);
        WriteCompact(s, static_cast<std::uint32_t>(v.size()));
        s.Write(v.data(), sizeof(T) * v.size());
    }
    static void Load(const TFieldDef& f, TPacket& p, TFieldLoader& l) {
        TByteReader& r = l.Reader();
        std::uint32_t c = ReadCompact(r, f.Name);
        CheckCounted(r, f.Name, std::uint64_t{c} * sizeof(T));
        auto& v = At<V>(f, p);
        v.resize(c);
        r.Read(v.data(), sizeof(T) * std::uint64_t{c});
    }
};

// A row from the operations a type defines; what it leaves out stays null.
template <typename F> constexpr TFieldOps Row(TFieldType type, TPacketFieldKind kind) {
    TFieldOps ops{type, kind};
    if constexpr (requires { &F::GetInteger; }) {
        ops.GetInteger = &F::GetInteger;
        ops.SetInteger = &F::SetInteger;
    }
    if constexpr (requires { &F::GetDouble; }) {
        ops.GetDouble = &F::GetDouble;
        ops.SetDouble = &F::SetDouble;
    }
    if constexpr (requires { &F::GetString; }) {
        ops.GetString = &F::GetString;
        ops.SetString = &F::SetString;
    }
    if constexpr (requires { &F::GetObject; })
        ops.GetObject = &F::GetObject;
    if constexpr (requires { &F::Text; })
        ops.Text = &F::Text;
    ops.Equal = &F::Equal;
    ops.Copy = &F::Copy;
    ops.Reset = &F::Reset;
    ops.Save = &F::Save;
    ops.Load = &F::Load;
    return ops;
}

using T = TFieldType;
using K = TPacketFieldKind;

// In the order of TFieldType.
constexpr TFieldOps Rows[] = {
    Row<TBoolField>(T::Bool, K::pfkBoolean),
    Row<TInteger<std::uint8_t>>(T::Byte, K::pfkInteger),
    Row<TInteger<std::int8_t>>(T::Int8, K::pfkInteger),
    Row<TInteger<std::uint16_t>>(T::Word, K::pfkInteger),
    Row<TEnum8Field>(T::Enum8, K::pfkNone),
    Row<TInteger<std::int32_t>>(T::Int32, K::pfkInteger),
    Row<TInteger<std::uint32_t>>(T::UInt32, K::pfkInteger),
    Row<TInteger<std::int64_t>>(T::Int64, K::pfkInteger),
    Row<TCompactField>(T::Compact, K::pfkInteger),
    Row<THandleField>(T::Handle, K::pfkInteger),
    Row<TDateTimeField>(T::DateTime, K::pfkFloat),
    Row<TGuidField>(T::Guid, K::pfkNone),
    Row<TSetField>(T::Set, K::pfkNone),
    Row<TZeroed<0>>(T::Raw, K::pfkNone),
    Row<TStringField>(T::String, K::pfkString),
    Row<TWStringField>(T::WString, K::pfkString),
    Row<TStringsField>(T::Strings, K::pfkObject),
    Row<TTextListField>(T::TextList, K::pfkObject),
    Row<TRecordField>(T::Record, K::pfkObject),
    Row<TOptRecordField>(T::OptRecord, K::pfkObject),
    Row<TListField>(T::List, K::pfkObject),
    Row<TBlobField>(T::Blob, K::pfkObject),
    Row<TNumberListField<std::int32_t>>(T::Int32List, K::pfkObject),
    Row<TNumberListField<std::int64_t>>(T::Int64List, K::pfkObject),
};

constexpr bool RowsInTypeOrder() {
    for (std::size_t i = 0; i < std::size(Rows); ++i)
        if (Rows[i].Type != static_cast<TFieldType>(i))
            return false;
    return std::size(Rows) == static_cast<std::size_t>(TFieldType::Int64List) + 1;
}
static_assert(RowsInTypeOrder(), "one row per field type, in the order of TFieldType");

} // namespace

const TFieldOps& FieldOps(TFieldType type) {
    auto i = static_cast<std::size_t>(type);
    if (i >= std::size(Rows))
        core::AssertionFailed("Unknown field type " + std::to_string(i), __FILE__, __LINE__);
    return Rows[i];
}

} // namespace packets
