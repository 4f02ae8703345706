#include "packets/Packet.h"

#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "packets/FieldTypes.h"

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

bool FieldEqual(const TFieldDef& f, const TPacket& a, const TPacket& b) {
    return FieldOps(f.Type).Equal(f, a, b);
}

[[noreturn]] void FieldError(const char* what, const TPacket& p, int index) {
    core::Raise(core::EGeneralError(std::string(what) + p.Class().FieldDescription(index)));
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
    return FieldOps(type).Kind;
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
        FieldOps(f.Type).Reset(f, packet, false);
}

std::int32_t TPacket::GetFieldAsInteger(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).GetInteger)
        FieldError("Cannot get field as integer: ", *this, index);
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(FieldOps(f->Type).GetInteger(*f, *this)));
}

void TPacket::SetFieldAsInteger(int index, std::int32_t value) {
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).SetInteger)
        FieldError("Cannot set field as integer: ", *this, index);
    FieldOps(f->Type).SetInteger(*f, *this, value);
}

std::string TPacket::GetFieldAsString(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).GetString)
        FieldError("Cannot get field as string: ", *this, index);
    return FieldOps(f->Type).GetString(*f, *this);
}

void TPacket::SetFieldAsString(int index, std::string_view value) {
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).SetString)
        FieldError("Cannot set field as string: ", *this, index);
    FieldOps(f->Type).SetString(*f, *this, value);
}

double TPacket::GetFieldAsDouble(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).GetDouble)
        FieldError("Cannot get field as double: ", *this, index);
    return FieldOps(f->Type).GetDouble(*f, *this);
}

void TPacket::SetFieldAsDouble(int index, double value) {
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).SetDouble)
        FieldError("Cannot set field as double: ", *this, index);
    FieldOps(f->Type).SetDouble(*f, *this, value);
}

TFieldObject TPacket::GetFieldAsObject(int index) const {
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).GetObject)
        FieldError("Cannot get field as object: ", *this, index);
    return FieldOps(f->Type).GetObject(*f, *this);
}

int TPacket::GetFieldText(int index, std::string& text) const {
    text.clear();
    const TFieldDef* f = Class().Field(index);
    if (!f || !FieldOps(f->Type).Text)
        return 0;
    return FieldOps(f->Type).Text(*f, *this, text);
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
            for (const std::string_view line : core::SplitLines(text))
                lines.Add("    " + std::string(line));
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
        FieldOps(cls.Field(i)->Type).Copy(*cls.Field(i), *this, source);
}

std::unique_ptr<TPacket> TPacket::Clone() const {
    auto copy = Class().Create();
    copy->Assign(*this);
    return copy;
}

void TPacket::Clear() {
    const TPacketClass& cls = Class();
    for (int i = 0; i < cls.FieldCount(); ++i)
        FieldOps(cls.Field(i)->Type).Reset(*cls.Field(i), *this, true);
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
    core::Raise(core::EGeneralError("Attempt to access uninitialized member object: " +
                                    std::string(cls.Name()) + "." + std::string(fieldName)));
}

TPacket& TOptRecordBase::Ensure(const TPacketClass& cls) {
    if (!value)
        value = cls.Create();
    return *value;
}

// ---- lists ----

TPacket& TCustomPacketList::Items(int index) const {
    if (index < 0 || index >= Count())
        core::Raise(core::ERangeError("List index out of bounds (" + std::to_string(index) + ")"));
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
    core::TStringListEx lines;
    int n = Count();
    for (int k = 1; k <= n; ++k) {
        lines.Add("[" + std::to_string(k) + "/" + std::to_string(n) + "]");
        items[k - 1]->DumpToStrings(lines);
        lines.Add("");
    }
    return lines.Text();
}

} // namespace packets
