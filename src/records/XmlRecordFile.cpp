#include "records/XmlRecordFile.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <map>
#include <mutex>
#include <pugixml.hpp>
#include <sstream>

#include "core/Errors.h"
#include "core/StringListEx.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace records {

namespace {

using packets::TCustomPacketList;
using packets::TFieldDef;
using packets::TFieldType;
using packets::TOptRecordBase;
using packets::TPacket;
using packets::TPacketClass;

constexpr std::size_t MaxFileBytes = 64 * 1024 * 1024;

std::string_view ItemElementName(const TFieldDef& field) {
    return field.ItemName.empty() ? field.Name : field.ItemName;
}

bool IsAttributeField(TFieldType type) {
    switch (type) {
    case TFieldType::Record:
    case TFieldType::OptRecord:
    case TFieldType::List:
    case TFieldType::Strings:
        return false;
    default:
        return true;
    }
}

// Where the parser reports positions: lines of the original text. The line starts
// are found once, so that a position costs a search, not a count from the start.
class TPositions {
public:
    TPositions(std::string_view text, std::string_view fileName, const char* buffer,
               TXmlRecordLines* lines)
        : text(text), fileName(fileName), buffer(buffer), lines(lines) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') {
                lineEnds.push_back(static_cast<std::ptrdiff_t>(i));
            }
        }
    }

    int LineOfOffset(std::ptrdiff_t offset) const {
        offset = std::clamp<std::ptrdiff_t>(offset, 0, static_cast<std::ptrdiff_t>(text.size()));
        return 1 + static_cast<int>(std::lower_bound(lineEnds.begin(), lineEnds.end(), offset) -
                                    lineEnds.begin());
    }
    int LineOf(const char* inBuffer, const pugi::xml_node& fallback) const {
        if (inBuffer >= buffer && inBuffer < buffer + text.size()) {
            return LineOfOffset(inBuffer - buffer);
        }
        return LineOfOffset(fallback.offset_debug());
    }
    [[noreturn]] void Fail(int line, const std::string& message) const {
        core::Raise(
            EXmlRecordError(std::string(fileName) + ":" + std::to_string(line) + ": " + message));
    }
    void Record(const TPacket& packet, const pugi::xml_node& element) const {
        if (lines) {
            (*lines)[&packet] = LineOf(element.name(), element);
        }
    }

private:
    std::string_view text;
    std::string_view fileName;
    const char* buffer;
    TXmlRecordLines* lines;
    std::vector<std::ptrdiff_t> lineEnds;
};

template <typename T>
bool ParseInteger(std::string_view text, std::int64_t low, std::int64_t high, T& out) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

const char HexDigits[] = "0123456789ABCDEF";

std::string ToHex(const std::uint8_t* bytes, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text.push_back(HexDigits[bytes[i] >> 4]);
        text.push_back(HexDigits[bytes[i] & 15]);
    }
    return text;
}

bool FromHex(std::string_view text, std::uint8_t* bytes, std::size_t size) {
    if (text.size() != 2 * size) {
        return false;
    }
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        c = static_cast<char>(c & ~0x20);
        return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    };
    for (std::size_t i = 0; i < size; ++i) {
        const int high = digit(text[2 * i]);
        const int low = digit(text[2 * i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
}

[[noreturn]] void Unsupported(const TPacketClass& cls, const TFieldDef& field) {
    core::Raise(EXmlRecordError("the field " + std::string(cls.Name()) + "." +
                                std::string(field.Name) + " has no XML file form"));
}

// The text of a simple field.
std::string AttributeText(const TPacketClass& cls, const TFieldDef& field, TPacket& packet) {
    void* member = field.Member(packet);
    switch (field.Type) {
    case TFieldType::Bool:
        return *static_cast<bool*>(member) ? "true" : "false";
    case TFieldType::Byte:
        return std::to_string(*static_cast<std::uint8_t*>(member));
    case TFieldType::Int8:
        return std::to_string(*static_cast<std::int8_t*>(member));
    case TFieldType::Word:
        return std::to_string(*static_cast<std::uint16_t*>(member));
    case TFieldType::Int32:
    case TFieldType::Compact:
        return std::to_string(*static_cast<std::int32_t*>(member));
    case TFieldType::UInt32:
        return std::to_string(*static_cast<std::uint32_t*>(member));
    case TFieldType::Int64:
        return std::to_string(*static_cast<std::int64_t*>(member));
    case TFieldType::String:
        return *static_cast<std::string*>(member);
    case TFieldType::WString: {
        std::string text;
        platform::Utf16ToUtf8(*static_cast<std::u16string*>(member), text);
        return text;
    }
    case TFieldType::TextList:
        return static_cast<core::TStringListEx*>(member)->Text();
    case TFieldType::Set:
    case TFieldType::Raw:
        return ToHex(static_cast<const std::uint8_t*>(member), field.Size);
    default:
        Unsupported(cls, field);
    }
}

// Sets a simple field from its text; false when the text is malformed.
bool SetAttribute(const TPacketClass& cls, const TFieldDef& field, TPacket& packet,
                  std::string_view text, std::string& expected) {
    void* member = field.Member(packet);
    constexpr auto int32Min = std::numeric_limits<std::int32_t>::min();
    constexpr auto int32Max = std::numeric_limits<std::int32_t>::max();
    switch (field.Type) {
    case TFieldType::Bool:
        expected = "true or false";
        if (text == "true" || text == "1") {
            *static_cast<bool*>(member) = true;
            return true;
        }
        if (text == "false" || text == "0") {
            *static_cast<bool*>(member) = false;
            return true;
        }
        return false;
    case TFieldType::Byte:
        expected = "an integer from 0 to 255";
        return ParseInteger(text, 0, 255, *static_cast<std::uint8_t*>(member));
    case TFieldType::Int8:
        expected = "an integer from -128 to 127";
        return ParseInteger(text, -128, 127, *static_cast<std::int8_t*>(member));
    case TFieldType::Word:
        expected = "an integer from 0 to 65535";
        return ParseInteger(text, 0, 65535, *static_cast<std::uint16_t*>(member));
    case TFieldType::Int32:
        expected = "a 32-bit integer";
        return ParseInteger(text, int32Min, int32Max, *static_cast<std::int32_t*>(member));
    case TFieldType::Compact:
        expected = "an integer from 0 to 2147483647";
        return ParseInteger(text, 0, int32Max, *static_cast<std::int32_t*>(member));
    case TFieldType::UInt32:
        expected = "an integer from 0 to 4294967295";
        return ParseInteger(text, 0, 4294967295LL, *static_cast<std::uint32_t*>(member));
    case TFieldType::Int64:
        expected = "a 64-bit integer";
        return ParseInteger(text, std::numeric_limits<std::int64_t>::min(),
                            std::numeric_limits<std::int64_t>::max(),
                            *static_cast<std::int64_t*>(member));
    case TFieldType::String:
        *static_cast<std::string*>(member) = std::string(text);
        return true;
    case TFieldType::WString:
        expected = "UTF-8 text";
        return platform::Utf8ToUtf16(text, *static_cast<std::u16string*>(member));
    case TFieldType::TextList:
        static_cast<core::TStringListEx*>(member)->SetText(text);
        return true;
    case TFieldType::Set:
    case TFieldType::Raw:
        expected = std::to_string(2 * field.Size) + " hexadecimal digits";
        return FromHex(text, static_cast<std::uint8_t*>(member), field.Size);
    default:
        Unsupported(cls, field);
    }
}

// The field (by index) of every attribute and child element name of a class.
struct TClassNames {
    std::map<std::string, int, std::less<>> attributes;
    std::map<std::string, int, std::less<>> elements;
};

TClassNames MakeNamesOf(const TPacketClass& cls) {
    TClassNames names;
    for (int i = 0; i < cls.FieldCount(); ++i) {
        const TFieldDef& field = *cls.Field(i);
        auto& map = IsAttributeField(field.Type) ? names.attributes : names.elements;
        const std::string name(field.Type == TFieldType::List ? ItemElementName(field)
                                                              : field.Name);
        if (!map.emplace(name, i).second) {
            core::Raise(EXmlRecordError("the class " + std::string(cls.Name()) +
                                        " has two fields of the XML name " + name));
        }
    }
    return names;
}

// Per class, once: a document holds many records of the same few classes.
const TClassNames& NamesOf(const TPacketClass& cls) {
    static std::mutex mutex;
    static std::map<const TPacketClass*, TClassNames> known;
    const std::lock_guard lock(mutex);
    auto found = known.find(&cls);
    if (found == known.end()) {
        found = known.emplace(&cls, MakeNamesOf(cls)).first;
    }
    return found->second;
}

void ReadElement(const pugi::xml_node& element, TPacket& packet, const TPositions& at, int depth) {
    if (depth > 64) {
        at.Fail(at.LineOf(element.name(), element), "elements nested too deeply");
    }
    at.Record(packet, element);
    const TPacketClass& cls = packet.Class();
    const TClassNames& names = NamesOf(cls);
    std::vector<bool> seen(static_cast<std::size_t>(cls.FieldCount()), false);
    for (const pugi::xml_attribute& attribute : element.attributes()) {
        const int line = at.LineOf(attribute.name(), element);
        const auto found = names.attributes.find(std::string_view(attribute.name()));
        if (found == names.attributes.end()) {
            at.Fail(line, "unknown attribute " + std::string(attribute.name()) + " of <" +
                              element.name() + ">");
        }
        if (seen[static_cast<std::size_t>(found->second)]) {
            at.Fail(line, "attribute " + std::string(attribute.name()) + " of <" + element.name() +
                              "> given twice");
        }
        seen[static_cast<std::size_t>(found->second)] = true;
        std::string expected;
        if (!SetAttribute(cls, *cls.Field(found->second), packet, attribute.value(), expected)) {
            at.Fail(line, "malformed value \"" + std::string(attribute.value()) +
                              "\" of attribute " + attribute.name() + " of <" + element.name() +
                              ">: expected " + expected);
        }
    }
    for (const pugi::xml_node& child : element.children()) {
        if (child.type() == pugi::node_comment || child.type() == pugi::node_pi) {
            continue;
        }
        const int line =
            at.LineOf(child.type() == pugi::node_element ? child.name() : child.value(), child);
        if (child.type() != pugi::node_element) {
            at.Fail(line, std::string("unexpected text in <") + element.name() + ">");
        }
        const auto found = names.elements.find(std::string_view(child.name()));
        if (found == names.elements.end()) {
            at.Fail(line, "unknown element <" + std::string(child.name()) + "> in <" +
                              element.name() + ">");
        }
        const TFieldDef& field = *cls.Field(found->second);
        void* member = field.Member(packet);
        switch (field.Type) {
        case TFieldType::List: {
            auto& list = *static_cast<TCustomPacketList*>(member);
            std::unique_ptr<TPacket> item = list.ItemClass().Create();
            ReadElement(child, *item, at, depth + 1);
            list.Add(std::move(item));
            break;
        }
        case TFieldType::Record:
            if (seen[static_cast<std::size_t>(found->second)]) {
                at.Fail(line, "element <" + std::string(child.name()) + "> given twice");
            }
            ReadElement(child, *static_cast<TPacket*>(member), at, depth + 1);
            break;
        case TFieldType::OptRecord: {
            if (seen[static_cast<std::size_t>(found->second)]) {
                at.Fail(line, "element <" + std::string(child.name()) + "> given twice");
            }
            auto& holder = *static_cast<TOptRecordBase*>(member);
            ReadElement(child, holder.Ensure(field.MemberClass()), at, depth + 1);
            break;
        }
        case TFieldType::Strings: {
            const pugi::xml_attribute value = child.attribute("Value");
            const pugi::xml_attribute first = child.first_attribute();
            if (!value || first != value || value.next_attribute() ||
                child.find_child([](const pugi::xml_node& n) {
                    return n.type() == pugi::node_element || n.type() == pugi::node_pcdata ||
                           n.type() == pugi::node_cdata;
                })) {
                at.Fail(line, "<" + std::string(child.name()) +
                                  "> holds one Value attribute and nothing else");
            }
            static_cast<core::TStringListEx*>(member)->Add(value.value());
            break;
        }
        default:
            Unsupported(cls, field);
        }
        seen[static_cast<std::size_t>(found->second)] = true;
    }
}

bool IsDefault(const TPacketClass& cls, const TFieldDef& field, TPacket& packet, TPacket& fresh) {
    return AttributeText(cls, field, packet) == AttributeText(cls, field, fresh);
}

void WriteElement(pugi::xml_node element, TPacket& packet, bool root) {
    const TPacketClass& cls = packet.Class();
    const std::unique_ptr<TPacket> fresh = cls.Create();
    for (int i = 0; i < cls.FieldCount(); ++i) {
        const TFieldDef& field = *cls.Field(i);
        if (!IsAttributeField(field.Type)) {
            continue;
        }
        const bool always = root && field.Name == "FormatVersion";
        if (always || !IsDefault(cls, field, packet, *fresh)) {
            element.append_attribute(std::string(field.Name).c_str())
                .set_value(AttributeText(cls, field, packet).c_str());
        }
    }
    for (int i = 0; i < cls.FieldCount(); ++i) {
        const TFieldDef& field = *cls.Field(i);
        void* member = field.Member(packet);
        const std::string name(field.Type == TFieldType::List ? ItemElementName(field)
                                                              : field.Name);
        switch (field.Type) {
        case TFieldType::List: {
            const auto& list = *static_cast<TCustomPacketList*>(member);
            for (int n = 0; n < list.Count(); ++n) {
                WriteElement(element.append_child(name.c_str()), list.Items(n), false);
            }
            break;
        }
        case TFieldType::Record: {
            auto& record = *static_cast<TPacket*>(member);
            const std::unique_ptr<TPacket> empty = record.Class().Create();
            if (!record.IsEqual(*empty)) {
                WriteElement(element.append_child(name.c_str()), record, false);
            }
            break;
        }
        case TFieldType::OptRecord: {
            auto& holder = *static_cast<TOptRecordBase*>(member);
            if (holder.Present()) {
                WriteElement(element.append_child(name.c_str()), *holder.Get(), false);
            }
            break;
        }
        case TFieldType::Strings: {
            const auto& strings = *static_cast<core::TStringListEx*>(member);
            for (int n = 0; n < strings.Count(); ++n) {
                element.append_child(name.c_str())
                    .append_attribute("Value")
                    .set_value(strings[n].c_str());
            }
            break;
        }
        default:
            break;
        }
    }
}

} // namespace

std::string XmlElementNameOf(const TPacketClass& cls) {
    std::string_view name = cls.Name();
    if (name.starts_with("T")) {
        name.remove_prefix(1);
    }
    if (name.starts_with("Xml_")) {
        name.remove_prefix(4);
    }
    if (name.ends_with("Document") && name.size() > 8) {
        name.remove_suffix(8);
    }
    return std::string(name);
}

void ReadXmlRecord(std::string_view text, std::string_view fileName, TPacket& packet,
                   TXmlRecordLines* lines) {
    // Parsed in place so that every name points into this copy of the text.
    std::string buffer(text);
    pugi::xml_document document;
    const pugi::xml_parse_result result = document.load_buffer_inplace(
        buffer.data(), buffer.size(), pugi::parse_default, pugi::encoding_utf8);
    const TPositions at(text, fileName, buffer.data(), lines);
    if (!result) {
        at.Fail(at.LineOfOffset(result.offset),
                std::string("not valid XML: ") + result.description());
    }
    const pugi::xml_node root = document.document_element();
    const std::string rootName = XmlElementNameOf(packet.Class());
    if (!root) {
        at.Fail(1, "no <" + rootName + "> element");
    }
    if (rootName != root.name()) {
        at.Fail(at.LineOf(root.name(), root), "the root element is <" + std::string(root.name()) +
                                                  ">, expected <" + rootName + ">");
    }
    packet.Clear();
    ReadElement(root, packet, at, 0);
}

void LoadXmlRecordFile(const std::string& fileName, TPacket& packet, TXmlRecordLines* lines) {
    std::string text;
    std::string error;
    if (platform::ReadWholeFile(fileName, text, MaxFileBytes + 1, &error) !=
        platform::TFileReadResult::Ok) {
        core::Raise(EXmlRecordError("cannot read " + fileName + ": " + error));
    }
    if (text.size() > MaxFileBytes) {
        core::Raise(
            EXmlRecordError(fileName + ": larger than " + std::to_string(MaxFileBytes) + " bytes"));
    }
    ReadXmlRecord(text, fileName, packet, lines);
}

std::string WriteXmlRecord(const TPacket& packet) {
    pugi::xml_document document;
    auto declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    // The writer reads members through the table, which hands out mutable addresses.
    auto& source = const_cast<TPacket&>(packet);
    WriteElement(document.append_child(XmlElementNameOf(packet.Class()).c_str()), source, true);
    std::ostringstream out;
    document.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

void SaveXmlRecordFile(const std::string& fileName, const TPacket& packet) {
    const std::string text = WriteXmlRecord(packet);
    std::string error;
    auto writer =
        platform::TFileWriter::Create(fileName, platform::TFileWriter::TMode::Truncate, &error);
    if (!writer || !writer->Write(text, &error)) {
        core::Raise(EXmlRecordError("cannot write " + fileName + ": " + error));
    }
}

} // namespace records
