#include "packets/Packet.h"

#include "packets/TextUtil.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace packets {

namespace {

TPacket* CreateBasePacket() {
    return new TPacket;
}
constinit TPacketClass TPacket_Class("TPacket",
                                     core::TGUID::Literal("{47BF5205-8993-41F5-98E9-03CB6EA34D1E}"),
                                     nullptr, {}, &CreateBasePacket);

template <typename T> T& At(const TFieldDef& f, const TPacket& p) {
    return *static_cast<T*>(f.Member(const_cast<TPacket&>(p)));
}

bool IsIntegerType(TFieldType t) {
    switch (t) {
    case TFieldType::Word:
    case TFieldType::Byte:
    case TFieldType::Int8:
    case TFieldType::Int32:
    case TFieldType::UInt32:
    case TFieldType::Int64:
    case TFieldType::Compact:
    case TFieldType::Handle:
        return true;
    default:
        return false;
    }
}

// Integer value of an integer-typed field, widened.
std::int64_t IntegerValue(const TFieldDef& f, const TPacket& p) {
    switch (f.Type) {
    case TFieldType::Byte:
        return At<std::uint8_t>(f, p);
    case TFieldType::Int8:
        return At<std::int8_t>(f, p);
    case TFieldType::Word:
        return At<std::uint16_t>(f, p);
    case TFieldType::Int32:
    case TFieldType::Compact:
        return At<std::int32_t>(f, p);
    case TFieldType::UInt32:
    case TFieldType::Handle:
        return At<std::uint32_t>(f, p);
    case TFieldType::Int64:
        return At<std::int64_t>(f, p);
    default:
        return 0;
    }
}

// Stores an integer in an integer-typed field, keeping the bits the field holds.
void StoreInteger(const TFieldDef& f, TPacket& p, std::int64_t v) {
    switch (f.Type) {
    case TFieldType::Byte:
        At<std::uint8_t>(f, p) = static_cast<std::uint8_t>(v);
        break;
    case TFieldType::Int8:
        At<std::int8_t>(f, p) = static_cast<std::int8_t>(static_cast<std::uint8_t>(v));
        break;
    case TFieldType::Word:
        At<std::uint16_t>(f, p) = static_cast<std::uint16_t>(v);
        break;
    case TFieldType::Int32:
    case TFieldType::Compact:
        At<std::int32_t>(f, p) = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
        break;
    case TFieldType::UInt32:
    case TFieldType::Handle:
        At<std::uint32_t>(f, p) = static_cast<std::uint32_t>(v);
        break;
    case TFieldType::Int64:
        At<std::int64_t>(f, p) = v;
        break;
    default:
        break;
    }
}

[[noreturn]] void FieldError(const char* what, const TPacket& p, int index) {
    throw core::EGeneralError(std::string(what) + p.Class().FieldDescription(index));
}

void ApplyDefault(const TFieldDef& f, TPacket& p, bool clearObjects) {
    switch (f.Type) {
    case TFieldType::Bool:
        At<bool>(f, p) = f.IntDefault != 0;
        break;
    case TFieldType::Enum8:
        std::memset(f.Member(p), static_cast<std::uint8_t>(f.IntDefault), 1);
        break;
    case TFieldType::Byte:
    case TFieldType::Int8:
    case TFieldType::Word:
    case TFieldType::Int32:
    case TFieldType::UInt32:
    case TFieldType::Int64:
    case TFieldType::Compact:
    case TFieldType::Handle:
        StoreInteger(f, p, f.IntDefault);
        break;
    case TFieldType::DateTime:
        At<double>(f, p) = f.FloatDefault;
        break;
    case TFieldType::Guid:
        At<core::TGUID>(f, p) = core::TGUID{};
        break;
    case TFieldType::Set:
    case TFieldType::Raw:
        std::memset(f.Member(p), 0, f.Size);
        break;
    case TFieldType::String:
        if (clearObjects || !f.TextDefault.empty())
            At<std::string>(f, p).assign(f.TextDefault);
        break;
    case TFieldType::WString:
        if (clearObjects)
            At<std::u16string>(f, p).clear();
        break;
    case TFieldType::Strings:
    case TFieldType::TextList:
        if (clearObjects)
            At<core::TStringListEx>(f, p).Clear();
        break;
    case TFieldType::Record:
        if (clearObjects)
            At<TPacket>(f, p).Clear();
        break;
    case TFieldType::OptRecord:
        if (clearObjects && At<TOptRecordBase>(f, p).Present())
            At<TOptRecordBase>(f, p).Get()->Clear();
        break;
    case TFieldType::List:
        if (clearObjects)
            At<TCustomPacketList>(f, p).Clear();
        break;
    case TFieldType::Blob:
        if (clearObjects)
            At<TMemoryStream>(f, p).Clear();
        break;
    case TFieldType::Int32List:
        if (clearObjects)
            At<std::vector<std::int32_t>>(f, p).clear();
        break;
    case TFieldType::Int64List:
        if (clearObjects)
            At<std::vector<std::int64_t>>(f, p).clear();
        break;
    }
}

bool StringListsEqual(const core::TStringListEx& a, const core::TStringListEx& b) {
    if (a.Count() != b.Count())
        return false;
    for (int i = 0; i < a.Count(); ++i)
        if (a[i] != b[i] || a.Object(i) != b.Object(i))
            return false;
    return true;
}

bool FieldEqual(const TFieldDef& f, const TPacket& a, const TPacket& b) {
    switch (f.Type) {
    case TFieldType::Bool:
        return At<bool>(f, a) == At<bool>(f, b);
    case TFieldType::Byte:
    case TFieldType::Int8:
    case TFieldType::Enum8:
        return std::memcmp(f.Member(const_cast<TPacket&>(a)), f.Member(const_cast<TPacket&>(b)),
                           1) == 0;
    case TFieldType::Word:
        return At<std::uint16_t>(f, a) == At<std::uint16_t>(f, b);
    case TFieldType::Int32:
    case TFieldType::UInt32:
    case TFieldType::Compact:
    case TFieldType::Handle:
        return std::memcmp(f.Member(const_cast<TPacket&>(a)), f.Member(const_cast<TPacket&>(b)),
                           4) == 0;
    case TFieldType::Int64:
    case TFieldType::DateTime: // the 8 bytes, not the numeric value
        return std::memcmp(f.Member(const_cast<TPacket&>(a)), f.Member(const_cast<TPacket&>(b)),
                           8) == 0;
    case TFieldType::Guid:
        return At<core::TGUID>(f, a) == At<core::TGUID>(f, b);
    case TFieldType::Set:
    case TFieldType::Raw:
        return std::memcmp(f.Member(const_cast<TPacket&>(a)), f.Member(const_cast<TPacket&>(b)),
                           f.Size) == 0;
    case TFieldType::String:
        return At<std::string>(f, a) == At<std::string>(f, b);
    case TFieldType::WString:
        return At<std::u16string>(f, a) == At<std::u16string>(f, b);
    case TFieldType::Strings:
    case TFieldType::TextList:
        return StringListsEqual(At<core::TStringListEx>(f, a), At<core::TStringListEx>(f, b));
    case TFieldType::Record:
        return At<TPacket>(f, a).IsEqual(At<TPacket>(f, b));
    case TFieldType::OptRecord: {
        const TPacket* x = At<TOptRecordBase>(f, a).Get();
        const TPacket* y = At<TOptRecordBase>(f, b).Get();
        if (!x || !y)
            return !x && !y;
        return x->IsEqual(*y);
    }
    case TFieldType::List:
        return At<TCustomPacketList>(f, a).IsEqual(At<TCustomPacketList>(f, b));
    case TFieldType::Blob:
        return At<TMemoryStream>(f, a) == At<TMemoryStream>(f, b);
    case TFieldType::Int32List:
        return At<std::vector<std::int32_t>>(f, a) == At<std::vector<std::int32_t>>(f, b);
    case TFieldType::Int64List:
        return At<std::vector<std::int64_t>>(f, a) == At<std::vector<std::int64_t>>(f, b);
    }
    return false;
}

void CopyField(const TFieldDef& f, TPacket& to, const TPacket& from) {
    switch (f.Type) {
    case TFieldType::Bool:
        At<bool>(f, to) = At<bool>(f, from);
        break;
    case TFieldType::Byte:
    case TFieldType::Int8:
    case TFieldType::Enum8:
        std::memcpy(f.Member(to), f.Member(const_cast<TPacket&>(from)), 1);
        break;
    case TFieldType::Word:
        At<std::uint16_t>(f, to) = At<std::uint16_t>(f, from);
        break;
    case TFieldType::Int32:
    case TFieldType::UInt32:
    case TFieldType::Compact:
    case TFieldType::Handle:
        std::memcpy(f.Member(to), f.Member(const_cast<TPacket&>(from)), 4);
        break;
    case TFieldType::Int64:
    case TFieldType::DateTime:
        std::memcpy(f.Member(to), f.Member(const_cast<TPacket&>(from)), 8);
        break;
    case TFieldType::Guid:
        At<core::TGUID>(f, to) = At<core::TGUID>(f, from);
        break;
    case TFieldType::Set:
    case TFieldType::Raw:
        std::memcpy(f.Member(to), f.Member(const_cast<TPacket&>(from)), f.Size);
        break;
    case TFieldType::String:
        At<std::string>(f, to) = At<std::string>(f, from);
        break;
    case TFieldType::WString:
        At<std::u16string>(f, to) = At<std::u16string>(f, from);
        break;
    case TFieldType::Strings:
    case TFieldType::TextList: {
        auto& dst = At<core::TStringListEx>(f, to);
        const auto& src = At<core::TStringListEx>(f, from);
        dst.Clear();
        dst.SetCapacity(src.Count());
        for (int i = 0; i < src.Count(); ++i)
            dst.Add(src[i], src.Object(i));
        break;
    }
    case TFieldType::Record:
        At<TPacket>(f, to).Assign(At<TPacket>(f, from));
        break;
    case TFieldType::OptRecord: {
        auto& dst = At<TOptRecordBase>(f, to);
        const TPacket* src = At<TOptRecordBase>(f, from).Get();
        if (!src)
            dst.Reset();
        else
            dst.Ensure(f.MemberClass()).Assign(*src);
        break;
    }
    case TFieldType::List:
        At<TCustomPacketList>(f, to).Assign(At<TCustomPacketList>(f, from));
        break;
    case TFieldType::Blob: {
        auto& dst = At<TMemoryStream>(f, to);
        const auto& src = At<TMemoryStream>(f, from);
        dst.SetSize(src.Bytes().size());
        if (!src.Bytes().empty())
            std::memcpy(dst.Memory(), src.Memory(), src.Bytes().size());
        break;
    }
    case TFieldType::Int32List:
        At<std::vector<std::int32_t>>(f, to) = At<std::vector<std::int32_t>>(f, from);
        break;
    case TFieldType::Int64List:
        At<std::vector<std::int64_t>>(f, to) = At<std::vector<std::int64_t>>(f, from);
        break;
    }
}

// Lines of a text as a string list reads them: CR LF, LF or CR end a line.
std::vector<std::string> SplitLines(std::string_view text) {
    core::TStringListEx list;
    list.SetText(text);
    return list.Strings();
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string Quoted(std::string value) {
    for (char& c : value)
        if (c == '\0')
            c = ' ';
    return "'" + value + "'";
}

int ObjectText(const TPacket* packet, std::string& text) {
    if (!packet) {
        text = "(null)";
        return 1;
    }
    core::TStringListEx lines;
    packet->DumpToStrings(lines);
    text = JoinLines(lines.Strings()) + "\r\n";
    return 2;
}

// Registry of classes by GUID and by registration ID.
struct TRegistry {
    std::mutex lock;
    std::unordered_map<core::TGUID, const TPacketClass*, core::TGUIDHash> byGuid;
    std::vector<const TPacketClass*> byId; // index = ID - 1
};

std::atomic<std::int32_t> nextClassId{0};
std::atomic<TRegistry*> registryTable{nullptr};

TRegistry& RegistryTable() {
    // Created on first registration; lives until the process ends.
    static TRegistry* table = [] {
        auto* t = new TRegistry;
        registryTable.store(t, std::memory_order_release);
        return t;
    }();
    return *table;
}

} // namespace

TPacketFieldKind KindOf(TFieldType type) {
    switch (type) {
    case TFieldType::Bool:
        return TPacketFieldKind::pfkBoolean;
    case TFieldType::Byte:
    case TFieldType::Int8:
    case TFieldType::Word:
    case TFieldType::Int32:
    case TFieldType::UInt32:
    case TFieldType::Int64:
    case TFieldType::Compact:
    case TFieldType::Handle:
        return TPacketFieldKind::pfkInteger;
    case TFieldType::DateTime:
        return TPacketFieldKind::pfkFloat;
    case TFieldType::String:
    case TFieldType::WString:
        return TPacketFieldKind::pfkString;
    case TFieldType::Strings:
    case TFieldType::TextList:
    case TFieldType::Record:
    case TFieldType::OptRecord:
    case TFieldType::List:
    case TFieldType::Blob:
    case TFieldType::Int32List:
    case TFieldType::Int64List:
        return TPacketFieldKind::pfkObject;
    case TFieldType::Enum8:
    case TFieldType::Guid:
    case TFieldType::Set:
    case TFieldType::Raw:
        return TPacketFieldKind::pfkNone;
    }
    return TPacketFieldKind::pfkNone;
}

// ---- class metadata ----

bool TPacketClass::InheritsFrom(const TPacketClass& other) const {
    for (const TPacketClass* c = this; c; c = c->Parent())
        if (c == &other)
            return true;
    return false;
}

const TFieldDef* TPacketClass::Field(int index) const {
    if (index < 0)
        return nullptr;
    int parentCount = ParentFieldCount();
    if (index < parentCount)
        return parent().Field(index);
    auto own = static_cast<std::size_t>(index - parentCount);
    return own < fields.size() ? &fields[own] : nullptr;
}

const TPacketClass& TPacketClass::DeclaringClass(int index) const {
    if (index >= 0 && index < ParentFieldCount())
        return parent().DeclaringClass(index);
    return *this;
}

int TPacketClass::FieldIndex(std::string_view fieldName) const {
    if (parent) {
        int i = parent().FieldIndex(fieldName);
        if (i >= 0)
            return i;
    }
    for (std::size_t j = 0; j < fields.size(); ++j)
        if (fields[j].Name == fieldName)
            return ParentFieldCount() + static_cast<int>(j);
    return -1;
}

TPacketFieldKind TPacketClass::FieldKind(int index) const {
    const TFieldDef* f = Field(index);
    return f ? KindOf(f->Type) : TPacketFieldKind::pfkNone;
}

std::string_view TPacketClass::FieldName(int index) const {
    const TFieldDef* f = Field(index);
    return f ? f->Name : std::string_view{};
}

std::string_view TPacketClass::FieldItemName(int index) const {
    const TFieldDef* f = Field(index);
    return f ? f->ItemName : std::string_view{};
}

std::string_view TPacketClass::FieldCaption(int index) const {
    const TFieldDef* f = Field(index);
    if (!f)
        return {};
    return f->Caption.empty() ? f->Name : f->Caption;
}

std::string_view TPacketClass::FieldItemCaption(int index) const {
    const TFieldDef* f = Field(index);
    if (!f)
        return {};
    return f->ItemCaption.empty() ? f->ItemName : f->ItemCaption;
}

std::string TPacketClass::FieldDescription(int index) const {
    std::string text(name);
    text += '.';
    text += FieldName(index);
    return text;
}

std::unique_ptr<TPacket> TPacketClass::Create() const {
    return std::unique_ptr<TPacket>(create());
}

// ---- registry ----

void RegisterPacketClass(const TPacketClass& cls) {
    try {
        TRegistry& table = RegistryTable();
        if (&cls != &TPacket_Class && TPacket_Class.RegistrationId() < 0)
            RegisterPacketClass(TPacket_Class);
        if (cls.idCell.load(std::memory_order_acquire) != -1)
            return;
        std::int32_t id = nextClassId.fetch_add(1) + 1;
        if (id > 0xFFFE)
            core::AssertionFailed("Packet class registration ID out of range", __FILE__, __LINE__);
        std::int32_t expected = -1;
        if (!cls.idCell.compare_exchange_strong(expected, id))
            return;
        std::lock_guard guard(table.lock);
        table.byGuid.emplace(cls.ClassGUID(), &cls);
        if (table.byId.size() < static_cast<std::size_t>(id))
            table.byId.resize(id, nullptr);
        table.byId[id - 1] = &cls;
    } catch (...) {
        core::RethrowWrapped("Failed to register packet class: " + std::string(cls.Name()));
    }
}

const TPacketClass* FindPacketClass(const core::TGUID& guid) {
    TRegistry* table = registryTable.load(std::memory_order_acquire);
    if (!table)
        return nullptr;
    std::lock_guard guard(table->lock);
    auto it = table->byGuid.find(guid);
    return it == table->byGuid.end() ? nullptr : it->second;
}

const TPacketClass* FindPacketClassById(std::int32_t id) {
    TRegistry* table = registryTable.load(std::memory_order_acquire);
    if (!table || id < 1)
        return nullptr;
    std::lock_guard guard(table->lock);
    return static_cast<std::size_t>(id) <= table->byId.size() ? table->byId[id - 1] : nullptr;
}

std::vector<const TPacketClass*> RegisteredPacketClasses() {
    std::vector<const TPacketClass*> result;
    TRegistry* table = registryTable.load(std::memory_order_acquire);
    if (!table)
        return result;
    std::lock_guard guard(table->lock);
    for (const TPacketClass* c : table->byId)
        if (c)
            result.push_back(c);
    return result;
}

// ---- packets ----

const TPacketClass& TPacket::StaticClass() {
    return TPacket_Class;
}

void TPacket::Constructed(const TPacketClass& cls, TPacket& packet) {
    ++cls.instances;
    for (const TFieldDef& f : cls.OwnFields())
        ApplyDefault(f, packet, false);
}

std::int32_t TPacket::GetFieldAsInteger(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (f && f->Type == TFieldType::Bool)
        return At<bool>(*f, *this) ? 1 : 0;
    if (!f || !IsIntegerType(f->Type))
        FieldError("Cannot get field as integer: ", *this, index);
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(IntegerValue(*f, *this)));
}

void TPacket::SetFieldAsInteger(int index, std::int32_t value) {
    const TFieldDef* f = Class().Field(index);
    if (f && f->Type == TFieldType::Bool) {
        At<bool>(*f, *this) = value != 0;
        return;
    }
    if (!f || !IsIntegerType(f->Type))
        FieldError("Cannot set field as integer: ", *this, index);
    StoreInteger(*f, *this, value);
}

std::string TPacket::GetFieldAsString(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (f) {
        switch (f->Type) {
        case TFieldType::String:
            return At<std::string>(*f, *this);
        case TFieldType::WString:
            return Utf16ToText(At<std::u16string>(*f, *this));
        case TFieldType::Strings:
        case TFieldType::TextList:
            return At<core::TStringListEx>(*f, *this).Text();
        case TFieldType::Bool:
            return At<bool>(*f, *this) ? "True" : "False";
        case TFieldType::DateTime:
            return FormatGeneral4(At<double>(*f, *this));
        default:
            if (IsIntegerType(f->Type))
                return std::to_string(IntegerValue(*f, *this));
        }
    }
    FieldError("Cannot get field as string: ", *this, index);
}

void TPacket::SetFieldAsString(int index, std::string_view value) {
    const TFieldDef* f = Class().Field(index);
    if (f) {
        switch (f->Type) {
        case TFieldType::String:
            At<std::string>(*f, *this) = std::string(value);
            return;
        case TFieldType::WString:
            At<std::u16string>(*f, *this) = TextToUtf16(value);
            return;
        case TFieldType::Strings:
        case TFieldType::TextList:
            At<core::TStringListEx>(*f, *this).SetText(value);
            return;
        case TFieldType::Bool:
            At<bool>(*f, *this) = core::SameText(value, "True");
            return;
        case TFieldType::DateTime:
            At<double>(*f, *this) = ParseFloat(value);
            return;
        default:
            if (IsIntegerType(f->Type)) {
                StoreInteger(*f, *this, value.empty() ? 0 : ParseInt32(value));
                return;
            }
        }
    }
    FieldError("Cannot set field as string: ", *this, index);
}

double TPacket::GetFieldAsDouble(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (f && f->Type == TFieldType::DateTime)
        return At<double>(*f, *this);
    if (!f || !IsIntegerType(f->Type))
        FieldError("Cannot get field as double: ", *this, index);
    return static_cast<double>(IntegerValue(*f, *this));
}

void TPacket::SetFieldAsDouble(int index, double value) {
    const TFieldDef* f = Class().Field(index);
    if (f && f->Type == TFieldType::DateTime) {
        At<double>(*f, *this) = value;
        return;
    }
    if (!f || !IsIntegerType(f->Type))
        FieldError("Cannot set field as double: ", *this, index);
    StoreInteger(*f, *this, RoundHalfEven(value));
}

TFieldObject TPacket::GetFieldAsObject(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (f) {
        switch (f->Type) {
        case TFieldType::Strings:
        case TFieldType::TextList:
            return &At<core::TStringListEx>(*f, *this);
        case TFieldType::Record:
            return &At<TPacket>(*f, *this);
        case TFieldType::OptRecord:
            return At<TOptRecordBase>(*f, *this).Get();
        case TFieldType::List:
            return &At<TCustomPacketList>(*f, *this);
        case TFieldType::Blob:
            return &At<TMemoryStream>(*f, *this);
        case TFieldType::Int32List:
            return &At<std::vector<std::int32_t>>(*f, *this);
        case TFieldType::Int64List:
            return &At<std::vector<std::int64_t>>(*f, *this);
        default:
            break;
        }
    }
    FieldError("Cannot get field as object: ", *this, index);
}

int TPacket::GetFieldText(int index, std::string& text) const {
    text.clear();
    const TFieldDef* f = Class().Field(index);
    if (!f)
        return 0;
    switch (f->Type) {
    case TFieldType::Guid:
        text = At<core::TGUID>(*f, *this).ToString();
        return 1;
    case TFieldType::String:
        text = Quoted(At<std::string>(*f, *this));
        return 1;
    case TFieldType::WString:
        text = Quoted(Utf16ToText(At<std::u16string>(*f, *this)));
        return 1;
    case TFieldType::Bool:
        text = At<bool>(*f, *this) ? "True" : "False";
        return 1;
    case TFieldType::DateTime:
        text = FormatDateTime(At<double>(*f, *this));
        return 1;
    case TFieldType::Strings:
    case TFieldType::TextList:
        text = At<core::TStringListEx>(*f, *this).Text();
        return 2;
    case TFieldType::Record:
        return ObjectText(&At<TPacket>(*f, *this), text);
    case TFieldType::OptRecord:
        return ObjectText(At<TOptRecordBase>(*f, *this).Get(), text);
    case TFieldType::List:
        text = At<TCustomPacketList>(*f, *this).ListToText();
        return 2;
    case TFieldType::Blob:
        text = "(size = " + std::to_string(At<TMemoryStream>(*f, *this).Size()) + ")";
        return 1;
    default:
        if (IsIntegerType(f->Type)) {
            text = std::to_string(IntegerValue(*f, *this));
            return 1;
        }
        return 0;
    }
}

void TPacket::DumpToStrings(core::TStringListEx& lines) const {
    lines.Add("(" + std::string(ClassName()) + ")");
    const TPacketClass& cls = Class();
    for (int i = 0; i < cls.FieldCount(); ++i) {
        std::string text;
        int r = GetFieldText(i, text);
        std::string head = "  " + std::string(cls.FieldName(i)) + " = ";
        if (r == 0) {
            lines.Add(head + "(?)");
        } else if (r == 1) {
            lines.Add(head + text);
        } else {
            lines.Add(head);
            for (const auto& line : SplitLines(text))
                lines.Add("    " + line);
        }
    }
}

bool TPacket::IsEqual(const TPacket& other) const {
    if (this == &other)
        return true;
    if (Class().ClassGUID() != other.Class().ClassGUID())
        return false;
    const TPacketClass& cls = Class();
    if (&cls != &other.Class()) // same GUID (a request base and TPacket): no fields on either side
        return cls.FieldCount() == 0 && other.FieldCount() == 0;
    for (int i = 0; i < cls.FieldCount(); ++i)
        if (!FieldEqual(*cls.Field(i), *this, other))
            return false;
    return true;
}

bool TPacket::CompareFields(const TPacket& other,
                            const std::function<void(int)>& onDifference) const {
    if (this == &other)
        return true;
    const TPacketClass& cls = Class();
    if (cls.ClassGUID() != other.Class().ClassGUID()) {
        if (onDifference)
            onDifference(-1);
        return false;
    }
    if (&cls != &other.Class()) {
        if (cls.FieldCount() == 0 && other.FieldCount() == 0)
            return true;
        if (onDifference)
            onDifference(-1);
        return false;
    }
    bool same = true;
    for (int i = 0; i < cls.FieldCount(); ++i) {
        if (!FieldEqual(*cls.Field(i), *this, other)) {
            same = false;
            if (onDifference)
                onDifference(i);
        }
    }
    return same;
}

void TPacket::Assign(const TPacket& source) {
    if (&source == this)
        return;
    const TPacketClass& cls = Class();
    if (!source.Class().InheritsFrom(cls))
        core::AssertionFailed("Assign from a packet of class " + std::string(source.ClassName()) +
                                  " to " + std::string(cls.Name()),
                              __FILE__, __LINE__);
    for (int i = 0; i < cls.FieldCount(); ++i)
        CopyField(*cls.Field(i), *this, source);
}

std::unique_ptr<TPacket> TPacket::Clone() const {
    auto copy = Class().Create();
    copy->Assign(*this);
    return copy;
}

void TPacket::Clear() {
    const TPacketClass& cls = Class();
    for (int i = 0; i < cls.FieldCount(); ++i)
        ApplyDefault(*cls.Field(i), *this, true);
}

void TPacket::DuplicateHandles(const std::function<THandleValue(THandleValue)>& duplicate) {
    const TPacketClass& cls = Class();
    for (int i = 0; i < cls.FieldCount(); ++i) {
        const TFieldDef& f = *cls.Field(i);
        if (f.Type == TFieldType::Handle && At<THandleValue>(f, *this) != 0)
            At<THandleValue>(f, *this) = duplicate(At<THandleValue>(f, *this));
    }
}

void TPacket::ThrowUninitialized(const void* member) const {
    const TPacketClass& cls = Class();
    std::string_view fieldName;
    for (int i = 0; i < cls.FieldCount(); ++i) {
        const TFieldDef& f = *cls.Field(i);
        if (f.Type == TFieldType::OptRecord &&
            f.Member(const_cast<TPacket&>(*this)) == static_cast<const TOptRecordBase*>(member)) {
            fieldName = f.Name;
            break;
        }
    }
    throw core::EGeneralError("Attempt to access uninitialized member object: " +
                              std::string(cls.Name()) + "." + std::string(fieldName));
}

TPacket& TOptRecordBase::Ensure(const TPacketClass& cls) {
    if (!value)
        value = cls.Create();
    return *value;
}

// ---- lists ----

TPacket& TCustomPacketList::Items(int index) const {
    if (index < 0 || index >= Count())
        throw core::ERangeError("List index out of bounds (" + std::to_string(index) + ")");
    return *items[index];
}

int TCustomPacketList::Add(std::unique_ptr<TPacket> packet) {
    items.push_back(std::move(packet));
    return Count() - 1;
}

int TCustomPacketList::AddChecked(std::unique_ptr<TPacket> packet) {
    if (!packet || !packet->Class().InheritsFrom(ItemClass()))
        core::AssertionFailed("Packet list item of a wrong class", __FILE__, __LINE__);
    return Add(std::move(packet));
}

void TCustomPacketList::AddCopies(const TCustomPacketList& other) {
    if (!other.ItemClass().InheritsFrom(ItemClass()))
        core::AssertionFailed("Packet list copied from a list of a wrong item class", __FILE__,
                              __LINE__);
    if (&other == this) {
        int n = Count();
        items.reserve(2 * n);
        for (int i = 0; i < n; ++i)
            items.push_back(items[i]->Clone());
        return;
    }
    items.reserve(items.size() + other.items.size());
    for (const auto& item : other.items)
        items.push_back(item->Clone());
}

void TCustomPacketList::Assign(const TCustomPacketList& other) {
    if (&other == this)
        return;
    Clear();
    AddCopies(other);
}

void TCustomPacketList::Delete(int index) {
    Items(index);
    items.erase(items.begin() + index);
}

bool TCustomPacketList::IsEqual(const TCustomPacketList& other) const {
    if (&other == this)
        return true;
    if (Count() != other.Count())
        return false;
    for (std::size_t k = 0; k < items.size(); ++k)
        if (!items[k]->IsEqual(*other.items[k]))
            return false;
    return true;
}

std::string TCustomPacketList::ListToText() const {
    if (items.empty())
        return "(empty list)";
    std::vector<std::string> lines;
    int n = Count();
    for (int k = 1; k <= n; ++k) {
        lines.push_back("[" + std::to_string(k) + "/" + std::to_string(n) + "]");
        core::TStringListEx dump;
        items[k - 1]->DumpToStrings(dump);
        for (const auto& line : dump.Strings())
            lines.push_back(line);
        lines.emplace_back();
    }
    return JoinLines(lines);
}

} // namespace packets
