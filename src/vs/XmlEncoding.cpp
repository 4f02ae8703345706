#include "vs/XmlEncoding.h"

#include "core/StringListEx.h"

#include <array>
#include <cstdint>

namespace vs {

namespace {
// Windows-1252 at 0x80..0x9F; its five unassigned bytes keep their C1 code points,
// as the system's own conversion does.
constexpr std::array<char16_t, 32> Windows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

enum class TSingleByte { None, Windows1252, Latin1 };

void AppendUtf8(std::string& out, char16_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of the declaration's encoding pseudo-attribute, or empty.
std::string_view DeclaredEncoding(std::string_view bytes) {
    if (!bytes.starts_with("<?xml") || bytes.size() < 6 || !IsBlank(bytes[5])) {
        return {};
    }
    const std::size_t end = bytes.find("?>");
    const std::string_view declaration = bytes.substr(0, end);
    std::size_t at = declaration.find("encoding");
    if (at == std::string_view::npos) {
        return {};
    }
    at += 8;
    while (at < declaration.size() && IsBlank(declaration[at])) {
        ++at;
    }
    if (at >= declaration.size() || declaration[at] != '=') {
        return {};
    }
    ++at;
    while (at < declaration.size() && IsBlank(declaration[at])) {
        ++at;
    }
    if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\'')) {
        return {};
    }
    const std::size_t close = declaration.find(declaration[at], at + 1);
    if (close == std::string_view::npos) {
        return {};
    }
    return declaration.substr(at + 1, close - at - 1);
}

TSingleByte SingleByteEncoding(std::string_view name) {
    for (const std::string_view alias : {"windows-1252", "cp1252", "x-cp1252"}) {
        if (core::SameText(name, alias)) {
            return TSingleByte::Windows1252;
        }
    }
    for (const std::string_view alias : {"iso-8859-1", "iso8859-1", "iso_8859-1", "latin1",
                                         "latin-1", "l1", "cp819", "us-ascii", "ascii"}) {
        if (core::SameText(name, alias)) {
            return TSingleByte::Latin1;
        }
    }
    return TSingleByte::None;
}
} // namespace

std::optional<std::string> DecodeDeclaredEncoding(std::string_view bytes) {
    const TSingleByte encoding = SingleByteEncoding(DeclaredEncoding(bytes));
    if (encoding == TSingleByte::None) {
        return std::nullopt;
    }
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8);
    for (const char c : bytes) {
        const auto byte = static_cast<std::uint8_t>(c);
        if (encoding == TSingleByte::Windows1252 && byte >= 0x80 && byte < 0xA0) {
            AppendUtf8(out, Windows1252High[byte - 0x80]);
        } else {
            AppendUtf8(out, byte);
        }
    }
    return out;
}

} // namespace vs
