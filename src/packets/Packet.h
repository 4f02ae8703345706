#pragma once
// The record model. A packet class is a struct derived from TPacket with typed
// members and one constant table of field descriptors; this engine implements every
// record operation (typed access by index and name, text, dump, compare, copy,
// reset, save and load) over those tables, so a class carries no code of its own.
//
// Declaring a class:
//
//   struct TStopJobPacket : packets::TPacket {
//       core::TGUID JobID;
//       RAVEL_PACKET(TStopJobPacket, packets::TPacket, 1)
//   };
//   // in one .cpp:
//   RAVEL_PACKET_TABLE(TStopJobPacket, "{...class GUID...}",
//                      packets::fields::Guid<&TStopJobPacket::JobID>("JobID"))
//
// The table's length must equal the declared count (checked at compile time), and
// every descriptor checks the member's C++ type against its field type.
#include "core/Errors.h"
#include "core/Guid.h"
#include "core/StringListEx.h"
#include "packets/Streams.h"

#include <array>
#include <atomic>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace packets {

class TPacket;
class TPacketClass;
class TCustomPacketList;
class TPacketLoadContext;
class TPacketSaveContext;
class TByteReader;
template <typename C> class TOptRecord;

enum class TPacketFieldKind : std::uint8_t {
    pfkNone = 0,
    pfkString = 1,
    pfkInteger = 2,
    pfkBoolean = 3,
    pfkFloat = 4,
    pfkObject = 5,
};

// Field types; each names its byte encoding as well. What the engine does with a
// field of a type is that type's row in FieldTypes.cpp.
enum class TFieldType : std::uint8_t {
    Bool,
    Byte,   // unsigned 8-bit integer
    Int8,   // signed 8-bit integer (Byte encoding)
    Word,   // unsigned 16-bit integer, 2 bytes
    Enum8,  // enumeration held in one byte (Byte encoding, no integer access)
    Int32,  // signed
    UInt32, // unsigned (Int32 encoding)
    Int64,
    Compact,  // 0 .. 2^31-1
    Handle,   // operating-system handle value
    DateTime, // double: days since 1899-12-30
    Guid,
    Set, // SetN: N bytes
    Raw, // Raw(n): n bytes as held in memory
    String,
    WString,
    Strings,
    TextList, // a string list stored as one String of its text (lines ended by CR LF)
    Record,
    OptRecord,
    List,
    Blob,
    Int32List,
    Int64List,
};

// Handle values are carried as 32-bit numbers, the size every writer of the
// format uses.
using THandleValue = std::uint32_t;
constexpr int NativeHandleSize = 4;

struct TFieldDef {
    TFieldType Type = TFieldType::Bool;
    std::uint16_t Size = 0; // Set and Raw: byte count
    std::string_view Name;
    std::string_view ItemName;
    std::string_view Caption;
    std::string_view ItemCaption;
    std::int64_t IntDefault = 0;
    double FloatDefault = 0.0;
    std::string_view TextDefault;
    // Address of the member inside a packet of the declaring class. Record members
    // are returned as TPacket*, lists as TCustomPacketList*, optional records as
    // TOptRecordBase*, everything else as the member's own type.
    void* (*Member)(TPacket&) = nullptr;
    // Class of a Record or OptRecord member.
    const TPacketClass& (*MemberClass)() = nullptr;

    constexpr TFieldDef Default(std::int64_t value) const {
        TFieldDef f = *this;
        f.IntDefault = value;
        return f;
    }
    constexpr TFieldDef DefaultFloat(double value) const {
        TFieldDef f = *this;
        f.FloatDefault = value;
        return f;
    }
    constexpr TFieldDef DefaultText(std::string_view value) const {
        TFieldDef f = *this;
        f.TextDefault = value;
        return f;
    }
    constexpr TFieldDef Caption_(std::string_view caption) const {
        TFieldDef f = *this;
        f.Caption = caption;
        return f;
    }
    constexpr TFieldDef Item(std::string_view itemName, std::string_view itemCaption = {}) const {
        TFieldDef f = *this;
        f.ItemName = itemName;
        f.ItemCaption = itemCaption;
        return f;
    }
};

TPacketFieldKind KindOf(TFieldType type);

// Class metadata: one constant-initialised object per packet class.
class TPacketClass {
public:
    using TClassFn = const TPacketClass& (*)();
    constexpr TPacketClass(std::string_view name, core::TGUID guid, TClassFn parent,
                           std::span<const TFieldDef> fields, TPacket* (*create)())
        : name(name), guid(guid), parent(parent), fields(fields), create(create) {}
    TPacketClass(const TPacketClass&) = delete;
    TPacketClass& operator=(const TPacketClass&) = delete;

    std::string_view Name() const { return name; }
    const core::TGUID& ClassGUID() const { return guid; }
    const TPacketClass* Parent() const { return parent ? &parent() : nullptr; }
    bool InheritsFrom(const TPacketClass& other) const;

    int FieldCount() const {
        return (parent ? parent().FieldCount() : 0) + static_cast<int>(fields.size());
    }
    int ParentFieldCount() const { return parent ? parent().FieldCount() : 0; }
    std::span<const TFieldDef> OwnFields() const { return fields; }
    // Null for an index outside every class of the chain.
    const TFieldDef* Field(int index) const;
    const TPacketClass& DeclaringClass(int index) const;
    int FieldIndex(std::string_view name) const;
    TPacketFieldKind FieldKind(int index) const;
    std::string_view FieldName(int index) const;
    std::string_view FieldItemName(int index) const;
    std::string_view FieldCaption(int index) const;     // falls back to the name
    std::string_view FieldItemCaption(int index) const; // falls back to the item name
    // "Class.Field" (an unknown index gives "Class.").
    std::string FieldDescription(int index) const;

    std::unique_ptr<TPacket> Create() const;

    // -1 until registered, then 1, 2, 3 ... in registration order.
    std::int32_t RegistrationId() const { return idCell.load(std::memory_order_acquire); }
    // Live objects of exactly this class (diagnostics only; not interlocked).
    std::int32_t InstanceCount() const { return instances; }

private:
    friend class TPacket;
    friend void RegisterPacketClass(const TPacketClass&);

    std::string_view name;
    core::TGUID guid;
    TClassFn parent;
    std::span<const TFieldDef> fields;
    TPacket* (*create)();
    mutable std::atomic<std::int32_t> idCell{-1};
    mutable std::int32_t instances = 0;
};

// Registers the class once (idempotent); IDs above 65534 are a programming error.
void RegisterPacketClass(const TPacketClass& cls);
const TPacketClass* FindPacketClass(const core::TGUID& guid);
const TPacketClass* FindPacketClassById(std::int32_t id);
// Every registered class in registration order.
std::vector<const TPacketClass*> RegisteredPacketClasses();

// What GetFieldAsObject returns.
using TFieldObject =
    std::variant<std::monostate, core::TStringListEx*, TPacket*, TCustomPacketList*, TMemoryStream*,
                 std::vector<std::int32_t>*, std::vector<std::int64_t>*>;

// Save and load options.
enum TPacketSaveOption : unsigned {
    psoCreateFolder = 1,
    psoViaTempFile = 2,
    psoCompressed = 4,
    psoMappedFile = 8,
    psoBuffered = 16,
};
using TPacketSaveOptions = unsigned;
enum TPacketLoadOption : unsigned {
    ploCompressed = 1,
    ploWaitForFile = 2,
};
using TPacketLoadOptions = unsigned;

class TPacket {
public:
    TPacket() = default;
    virtual ~TPacket() = default;
    TPacket(const TPacket&) = delete;
    TPacket& operator=(const TPacket&) = delete;

    static const TPacketClass& StaticClass();
    virtual const TPacketClass& Class() const { return StaticClass(); }
    std::string_view ClassName() const { return Class().Name(); }
    int FieldCount() const { return Class().FieldCount(); }
    int FieldIndex(std::string_view name) const { return Class().FieldIndex(name); }

    // Typed access by index; a field of another type or an unknown index raises
    // "Cannot get field as integer: Class.Field" and its siblings.
    std::int32_t GetFieldAsInteger(int index) const;
    void SetFieldAsInteger(int index, std::int32_t value);
    std::string GetFieldAsString(int index) const;
    void SetFieldAsString(int index, std::string_view value);
    double GetFieldAsDouble(int index) const;
    void SetFieldAsDouble(int index, double value);
    TFieldObject GetFieldAsObject(int index) const;

    // The same by field name.
    std::int32_t GetFieldAsInteger(std::string_view name) const {
        return GetFieldAsInteger(FieldIndex(name));
    }
    void SetFieldAsInteger(std::string_view name, std::int32_t value) {
        SetFieldAsInteger(FieldIndex(name), value);
    }
    std::string GetFieldAsString(std::string_view name) const {
        return GetFieldAsString(FieldIndex(name));
    }
    void SetFieldAsString(std::string_view name, std::string_view value) {
        SetFieldAsString(FieldIndex(name), value);
    }
    double GetFieldAsDouble(std::string_view name) const {
        return GetFieldAsDouble(FieldIndex(name));
    }
    void SetFieldAsDouble(std::string_view name, double value) {
        SetFieldAsDouble(FieldIndex(name), value);
    }
    TFieldObject GetFieldAsObject(std::string_view name) const {
        return GetFieldAsObject(FieldIndex(name));
    }

    // 0 no text form, 1 one line, 2 several lines.
    int GetFieldText(int index, std::string& text) const;
    void DumpToStrings(core::TStringListEx& lines) const;

    bool IsEqual(const TPacket& other) const;
    // Calls `onDifference` with every differing field index (or -1 once for
    // another class); true when nothing differs.
    bool CompareFields(const TPacket& other, const std::function<void(int)>& onDifference) const;
    // Copies every field of `source`, whose class must be this class or derived from it.
    void Assign(const TPacket& source);
    std::unique_ptr<TPacket> Clone() const;
    void Clear();

    // Handles are process-local numbers on this system: a packet cannot carry one
    // into another process. The caller supplies the translation (for example
    // duplicating a descriptor it will pass on by other means); every nonzero
    // Handle field takes the translated value.
    void DuplicateHandles(const std::function<THandleValue(THandleValue)>& duplicate);

    // Binary form.
    void SaveToStream(TStream& stream, TPacketSaveContext* context = nullptr,
                      TPacketSaveOptions options = 0) const;
    void LoadFromStream(TStream& stream, TPacketLoadContext* context = nullptr,
                        TPacketLoadOptions options = 0);
    static std::unique_ptr<TPacket> CreateFromStream(TStream& stream,
                                                     TPacketLoadContext* context = nullptr,
                                                     TPacketLoadOptions options = 0);
    void SaveToFile(const std::string& fileName, TPacketSaveOptions options = 0) const;
    void LoadFromFile(const std::string& fileName, TPacketLoadOptions options = 0);

    // The same over a cursor of bytes already in memory: the reader's position
    // ends after the packet.
    void LoadFromReader(TByteReader& reader, TPacketLoadContext* context = nullptr);
    // When it fails, `context` is left as it was (the packet may have introduced a
    // class before it failed), so the packet can be loaded again from more bytes.
    static std::unique_ptr<TPacket> CreateFromReader(TByteReader& reader,
                                                     TPacketLoadContext* context = nullptr);

    // Fails with "Attempt to access uninitialized member object: Class.Field" when absent.
    template <typename C> C& Required(TOptRecord<C>& member);
    template <typename C> const C& Required(const TOptRecord<C>& member) const;

protected:
    // Called by every class constructor and destructor (the RAVEL_PACKET macro).
    static void Constructed(const TPacketClass& cls, TPacket& packet);
    static void Destroyed(const TPacketClass& cls) { --cls.instances; }

private:
    [[noreturn]] void ThrowUninitialized(const void* member) const;
};

// Holder of an optional nested packet.
class TOptRecordBase {
public:
    bool Present() const { return static_cast<bool>(value); }
    TPacket* Get() const { return value.get(); }
    void Reset() { value.reset(); }
    // Creates the member if needed (of class `cls`) and returns it.
    TPacket& Ensure(const TPacketClass& cls);

private:
    std::unique_ptr<TPacket> value;
};

template <typename C> class TOptRecord : public TOptRecordBase {
public:
    C* Get() const { return static_cast<C*>(TOptRecordBase::Get()); }
    C* operator->() const { return Get(); }
    // Frees the member when given nothing, else creates it if needed and copies `source`.
    void Set(const C* source) {
        if (!source)
            Reset();
        else
            Ensure(C::StaticClass()).Assign(*source);
    }
    C& Create() { return static_cast<C&>(Ensure(C::StaticClass())); }
};

template <typename C> C& TPacket::Required(TOptRecord<C>& member) {
    if (!member.Present())
        ThrowUninitialized(&member);
    return *member.Get();
}
template <typename C> const C& TPacket::Required(const TOptRecord<C>& member) const {
    if (!member.Present())
        ThrowUninitialized(&member);
    return *member.Get();
}

// An owning list of packets.
class TCustomPacketList {
public:
    TCustomPacketList() = default;
    virtual ~TCustomPacketList() = default;
    TCustomPacketList(const TCustomPacketList&) = delete;
    TCustomPacketList& operator=(const TCustomPacketList&) = delete;

    virtual const TPacketClass& ItemClass() const { return TPacket::StaticClass(); }

    int Count() const { return static_cast<int>(items.size()); }
    bool IsEmpty() const { return items.empty(); }
    // Out of range raises "List index out of bounds (%d)"; the item stays owned by the list.
    TPacket& Items(int index) const;
    int Add(std::unique_ptr<TPacket> packet);
    // The packet's class must be ItemClass or derived from it.
    int AddChecked(std::unique_ptr<TPacket> packet);
    void AddCopies(const TCustomPacketList& other);
    void Assign(const TCustomPacketList& other);
    void Delete(int index);
    void Clear() { items.clear(); }
    void SetCapacity(int capacity) { items.reserve(capacity > 0 ? capacity : 0); }
    bool IsEqual(const TCustomPacketList& other) const;
    std::string ListToText() const;

    void SaveToStream(TStream& stream, TPacketSaveContext* context = nullptr) const;
    void LoadFromStream(TStream& stream, TPacketLoadContext* context = nullptr);

private:
    std::vector<std::unique_ptr<TPacket>> items;
};

// A list whose items are of class C (or derived from it).
template <typename C> class TPacketList : public TCustomPacketList {
public:
    const TPacketClass& ItemClass() const override { return C::StaticClass(); }
    C& Items(int index) const { return static_cast<C&>(TCustomPacketList::Items(index)); }
    C& operator[](int index) const { return Items(index); }
    C& AddNew() {
        auto packet = std::make_unique<C>();
        C& ref = *packet;
        Add(std::move(packet));
        return ref;
    }
};

// A set stored in N bytes: member n is bit n mod 8 of byte n div 8.
template <typename E, std::size_t N> class TSet {
public:
    static_assert(N >= 1 && N <= 255);
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> members) {
        for (E m : members)
            Include(m);
    }
    constexpr bool Contains(E member) const {
        auto n = static_cast<std::size_t>(member);
        return n < 8 * N && (bytes[n / 8] >> (n % 8)) & 1;
    }
    constexpr void Include(E member) {
        auto n = static_cast<std::size_t>(member);
        if (n < 8 * N)
            bytes[n / 8] = static_cast<std::uint8_t>(bytes[n / 8] | (1u << (n % 8)));
    }
    constexpr void Exclude(E member) {
        auto n = static_cast<std::size_t>(member);
        if (n < 8 * N)
            bytes[n / 8] = static_cast<std::uint8_t>(bytes[n / 8] & ~(1u << (n % 8)));
    }
    constexpr void Set(E member, bool on) { on ? Include(member) : Exclude(member); }
    constexpr bool Empty() const {
        for (auto b : bytes)
            if (b)
                return false;
        return true;
    }
    const std::array<std::uint8_t, N>& Bytes() const { return bytes; }
    std::array<std::uint8_t, N>& Bytes() { return bytes; }
    friend constexpr bool operator==(const TSet&, const TSet&) = default;

private:
    std::array<std::uint8_t, N> bytes{};
};

// Descriptor builders. Each checks the member's type against the field type.
namespace fields {

template <typename M> struct MemberTraits;
template <typename C, typename T> struct MemberTraits<T C::*> {
    using Class = C;
    using Type = T;
};
template <auto M> using ClassOf = typename MemberTraits<decltype(M)>::Class;
template <auto M> using TypeOf = typename MemberTraits<decltype(M)>::Type;

template <auto M> void* Plain(TPacket& p) {
    return &(static_cast<ClassOf<M>&>(p).*M);
}
template <auto M> void* AsPacket(TPacket& p) {
    return static_cast<TPacket*>(&(static_cast<ClassOf<M>&>(p).*M));
}
template <auto M> void* AsList(TPacket& p) {
    return static_cast<TCustomPacketList*>(&(static_cast<ClassOf<M>&>(p).*M));
}
template <auto M> void* AsOpt(TPacket& p) {
    return static_cast<TOptRecordBase*>(&(static_cast<ClassOf<M>&>(p).*M));
}
template <typename C> const TPacketClass& ClassFn() {
    return C::StaticClass();
}

template <auto M, typename T>
constexpr TFieldDef Make(TFieldType type, std::string_view name, std::uint16_t size = 0) {
    static_assert(std::is_same_v<TypeOf<M>, T>, "member type does not match the field type");
    TFieldDef f;
    f.Type = type;
    f.Name = name;
    f.Size = size;
    f.Member = &Plain<M>;
    return f;
}

template <auto M> constexpr TFieldDef Bool(std::string_view n) {
    return Make<M, bool>(TFieldType::Bool, n);
}
template <auto M> constexpr TFieldDef Byte(std::string_view n) {
    if constexpr (std::is_enum_v<TypeOf<M>>) {
        static_assert(sizeof(TypeOf<M>) == 1);
        return Make<M, TypeOf<M>>(TFieldType::Enum8, n);
    } else if constexpr (std::is_same_v<TypeOf<M>, std::int8_t>) {
        return Make<M, std::int8_t>(TFieldType::Int8, n);
    } else {
        return Make<M, std::uint8_t>(TFieldType::Byte, n);
    }
}
template <auto M> constexpr TFieldDef Word(std::string_view n) {
    return Make<M, std::uint16_t>(TFieldType::Word, n);
}
template <auto M> constexpr TFieldDef Int32(std::string_view n) {
    if constexpr (std::is_same_v<TypeOf<M>, std::uint32_t>)
        return Make<M, std::uint32_t>(TFieldType::UInt32, n);
    else
        return Make<M, std::int32_t>(TFieldType::Int32, n);
}
template <auto M> constexpr TFieldDef Int64(std::string_view n) {
    return Make<M, std::int64_t>(TFieldType::Int64, n);
}
template <auto M> constexpr TFieldDef Compact(std::string_view n) {
    return Make<M, std::int32_t>(TFieldType::Compact, n);
}
template <auto M> constexpr TFieldDef Handle(std::string_view n) {
    return Make<M, THandleValue>(TFieldType::Handle, n);
}
template <auto M> constexpr TFieldDef DateTime(std::string_view n) {
    return Make<M, double>(TFieldType::DateTime, n);
}
template <auto M> constexpr TFieldDef Guid(std::string_view n) {
    return Make<M, core::TGUID>(TFieldType::Guid, n);
}
template <auto M> constexpr TFieldDef Set(std::string_view n) {
    static_assert(std::is_trivially_copyable_v<TypeOf<M>> && sizeof(TypeOf<M>) <= 255);
    return Make<M, TypeOf<M>>(TFieldType::Set, n, sizeof(TypeOf<M>));
}
template <auto M> constexpr TFieldDef Raw(std::string_view n) {
    static_assert(std::is_trivially_copyable_v<TypeOf<M>>);
    return Make<M, TypeOf<M>>(TFieldType::Raw, n, sizeof(TypeOf<M>));
}
template <auto M> constexpr TFieldDef String(std::string_view n) {
    return Make<M, std::string>(TFieldType::String, n);
}
template <auto M> constexpr TFieldDef WString(std::string_view n) {
    return Make<M, std::u16string>(TFieldType::WString, n);
}
template <auto M> constexpr TFieldDef Strings(std::string_view n) {
    return Make<M, core::TStringListEx>(TFieldType::Strings, n);
}
template <auto M> constexpr TFieldDef TextList(std::string_view n) {
    return Make<M, core::TStringListEx>(TFieldType::TextList, n);
}
template <auto M> constexpr TFieldDef Record(std::string_view n) {
    using T = TypeOf<M>;
    static_assert(std::is_base_of_v<TPacket, T>);
    TFieldDef f;
    f.Type = TFieldType::Record;
    f.Name = n;
    f.Member = &AsPacket<M>;
    f.MemberClass = &ClassFn<T>;
    return f;
}
template <auto M> constexpr TFieldDef OptRecord(std::string_view n) {
    using T = TypeOf<M>;
    static_assert(std::is_base_of_v<TOptRecordBase, T>);
    using C = std::remove_pointer_t<decltype(std::declval<T>().Get())>;
    TFieldDef f;
    f.Type = TFieldType::OptRecord;
    f.Name = n;
    f.Member = &AsOpt<M>;
    f.MemberClass = &ClassFn<C>;
    return f;
}
template <auto M> constexpr TFieldDef List(std::string_view n) {
    static_assert(std::is_base_of_v<TCustomPacketList, TypeOf<M>>);
    TFieldDef f;
    f.Type = TFieldType::List;
    f.Name = n;
    f.Member = &AsList<M>;
    return f;
}
template <auto M> constexpr TFieldDef Blob(std::string_view n) {
    return Make<M, TMemoryStream>(TFieldType::Blob, n);
}
template <auto M> constexpr TFieldDef Int32List(std::string_view n) {
    return Make<M, std::vector<std::int32_t>>(TFieldType::Int32List, n);
}
template <auto M> constexpr TFieldDef Int64List(std::string_view n) {
    return Make<M, std::vector<std::int64_t>>(TFieldType::Int64List, n);
}

template <typename... F> constexpr auto Table(F... f) {
    return std::array<TFieldDef, sizeof...(F)>{f...};
}

} // namespace fields

// Base of the requests of the comm protocol: no fields, the class identity of TPacket,
// never registered. It knows nothing of the pipes: a handler gets the request's
// execute context as its argument.
class TCommPacket : public TPacket {};

} // namespace packets

// Declares the class's metadata inside a packet struct.
#define RAVEL_PACKET(T, Parent, OwnFields)                                                         \
public:                                                                                            \
    using Inherited = Parent;                                                                      \
    static constexpr int OwnFieldCount = OwnFields;                                                \
    static const ::packets::TPacketClass& StaticClass();                                           \
    const ::packets::TPacketClass& Class() const override {                                        \
        return StaticClass();                                                                      \
    }                                                                                              \
    T() {                                                                                          \
        ::packets::TPacket::Constructed(StaticClass(), *this);                                     \
    }                                                                                              \
    ~T() override {                                                                                \
        ::packets::TPacket::Destroyed(StaticClass());                                              \
    }

// Defines the metadata of a class declared with RAVEL_PACKET: its GUID and its own
// fields in stream order. Use at namespace scope of the class's namespace.
#define RAVEL_PACKET_TABLE(T, GuidText, ...)                                                       \
    namespace {                                                                                    \
    constexpr auto T##_Fields = ::packets::fields::Table(__VA_ARGS__);                             \
    static_assert(T##_Fields.size() == T::OwnFieldCount,                                           \
                  "field table length differs from the declared field count");                     \
    ::packets::TPacket* T##_Create() {                                                             \
        return new T;                                                                              \
    }                                                                                              \
    constinit ::packets::TPacketClass T##_Class(#T, ::core::TGUID::Literal(GuidText),              \
                                                &T::Inherited::StaticClass, T##_Fields,            \
                                                &T##_Create);                                      \
    }                                                                                              \
    const ::packets::TPacketClass& T::StaticClass() {                                              \
        return T##_Class;                                                                          \
    }

// For a class without own fields.
#define RAVEL_PACKET_TABLE_EMPTY(T, GuidText)                                                      \
    namespace {                                                                                    \
    static_assert(T::OwnFieldCount == 0);                                                          \
    ::packets::TPacket* T##_Create() {                                                             \
        return new T;                                                                              \
    }                                                                                              \
    constinit ::packets::TPacketClass T##_Class(#T, ::core::TGUID::Literal(GuidText),              \
                                                &T::Inherited::StaticClass, {}, &T##_Create);      \
    }                                                                                              \
    const ::packets::TPacketClass& T::StaticClass() {                                              \
        return T##_Class;                                                                          \
    }
