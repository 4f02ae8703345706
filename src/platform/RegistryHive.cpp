#include "platform/Registry.h"

#include "platform/AsciiCase.h"
#include "platform/Raise.h"
#include "platform/Text.h"

#include <algorithm>
#include <cstdio>

namespace platform {

namespace {

constexpr std::string_view Header5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view Header4 = "REGEDIT4";

constexpr auto Upper = UpperAscii;
constexpr auto SameNoCase = SameTextAscii;

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = Upper(c);
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Splits "A\B\C" into its components; false for an empty component.
bool SplitPath(std::string_view path, std::vector<std::string_view>& parts) {
    parts.clear();
    if (path.empty()) {
        return true;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        const std::string_view part = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (part.empty()) {
            return false;
        }
        parts.push_back(part);
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

// Trims separators that callers commonly add around a key path.
std::string_view CleanPath(std::string_view path) {
    while (!path.empty() && path.front() == '\\') {
        path.remove_prefix(1);
    }
    while (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    return path;
}

class TParser {
public:
    TParser(std::string_view text, std::string_view rootName, std::string_view fileName)
        : text(text), rootName(rootName), fileName(fileName) {}

    TRegHive Run() {
        TRegHive hive;
        bool headerSeen = false;
        std::string currentKey;
        bool inKey = false;
        bool deletedKey = false;
        while (NextLine()) {
            const std::string_view trimmed = TrimLeft(TrimRight(line));
            if (!headerSeen) {
                if (trimmed.empty()) {
                    continue;
                }
                if (trimmed != Header5 && trimmed != Header4) {
                    Fail("missing \"" + std::string(Header5) + "\" header");
                }
                headerSeen = true;
                continue;
            }
            if (trimmed.empty() || trimmed.front() == ';') {
                continue;
            }
            if (trimmed.front() == '[') {
                if (trimmed.back() != ']') {
                    Fail("unterminated key name");
                }
                std::string_view name = trimmed.substr(1, trimmed.size() - 2);
                deletedKey = !name.empty() && name.front() == '-';
                if (deletedKey) {
                    name.remove_prefix(1);
                }
                currentKey = KeyBelowRoot(name);
                if (deletedKey) {
                    hive.DeleteKey(currentKey);
                } else {
                    hive.CreateKey(currentKey);
                }
                inKey = true;
                continue;
            }
            if (!inKey) {
                Fail("value outside a key");
            }
            std::string logical(trimmed);
            // A trailing "\" continues a value on the next line.
            while (!logical.empty() && logical.back() == '\\' && IsHexContinuation(logical)) {
                logical.pop_back();
                if (!NextLine()) {
                    Fail("value continues past the end of the file");
                }
                logical += TrimLeft(TrimRight(line));
            }
            ParseValue(logical, hive, currentKey, deletedKey);
        }
        if (!headerSeen) {
            lineNumber = 1;
            Fail("missing \"" + std::string(Header5) + "\" header");
        }
        return hive;
    }

private:
    bool NextLine() {
        if (pos >= text.size()) {
            return false;
        }
        const std::size_t end = text.find('\n', pos);
        line = text.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? text.size() : end + 1;
        ++lineNumber;
        return true;
    }

    [[noreturn]] void Fail(const std::string& reason) const {
        platform::Raise(TRegistryError("Malformed registry file \"" + std::string(fileName) +
                                       "\", line " + std::to_string(lineNumber) + ": " + reason));
    }

    std::string KeyBelowRoot(std::string_view name) {
        if (name.size() < rootName.size() ||
            !SameNoCase(name.substr(0, rootName.size()), rootName) ||
            (name.size() > rootName.size() && name[rootName.size()] != '\\')) {
            Fail("key \"" + std::string(name) + "\" is not below " + std::string(rootName));
        }
        const std::string_view rest =
            name.size() > rootName.size() ? name.substr(rootName.size() + 1) : std::string_view{};
        std::vector<std::string_view> parts;
        if (!SplitPath(rest, parts) || (name.size() > rootName.size() && rest.empty())) {
            Fail("empty component in key \"" + std::string(name) + "\"");
        }
        return std::string(rest);
    }

    // True when the value is a hex list, whose lines may be continued.
    static bool IsHexContinuation(std::string_view logical) {
        const std::size_t eq = logical.find("=hex");
        return eq != std::string_view::npos && logical.find('"', eq) == std::string_view::npos;
    }

    // Reads a quoted string starting at s[i] == '"'; advances i past the closing quote.
    std::string Quoted(std::string_view s, std::size_t& i) const {
        std::string out;
        ++i;
        while (i < s.size()) {
            const char c = s[i++];
            if (c == '"') {
                return out;
            }
            if (c == '\\') {
                if (i >= s.size() || (s[i] != '\\' && s[i] != '"')) {
                    Fail("bad escape in string");
                }
                out.push_back(s[i++]);
                continue;
            }
            out.push_back(c);
        }
        Fail("unterminated string");
    }

    void ParseValue(std::string_view s, TRegHive& hive, const std::string& key, bool deletedKey) {
        std::size_t i = 0;
        TRegValue value;
        if (s[0] == '@') {
            i = 1;
        } else if (s[0] == '"') {
            value.Name = Quoted(s, i);
        } else {
            Fail("value name expected");
        }
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) {
            ++i;
        }
        if (i >= s.size() || s[i] != '=') {
            Fail("\"=\" expected after value name");
        }
        ++i;
        std::string_view data = TrimLeft(s.substr(i));
        if (data == "-") {
            if (!deletedKey) {
                hive.DeleteValue(key, value.Name);
            }
            return;
        }
        if (!data.empty() && data.front() == '"') {
            std::size_t j = 0;
            value.Type = TRegValueType::String;
            value.Data = Quoted(data, j);
            if (!TrimLeft(data.substr(j)).empty()) {
                Fail("text after the closing quote");
            }
        } else if (data.size() >= 6 && SameNoCase(data.substr(0, 6), "dword:")) {
            const std::string_view digits = data.substr(6);
            if (digits.empty() || digits.size() > 8) {
                Fail("bad dword value");
            }
            std::uint32_t number = 0;
            for (const char c : digits) {
                const int d = HexDigit(c);
                if (d < 0) {
                    Fail("bad dword value");
                }
                number = number * 16 + static_cast<std::uint32_t>(d);
            }
            value.Type = TRegValueType::DWord;
            for (int b = 0; b < 4; ++b) {
                value.Data.push_back(static_cast<char>((number >> (8 * b)) & 0xFF));
            }
        } else if (data.size() >= 3 && SameNoCase(data.substr(0, 3), "hex")) {
            data.remove_prefix(3);
            std::uint32_t type = static_cast<std::uint32_t>(TRegValueType::Binary);
            if (!data.empty() && data.front() == '(') {
                const std::size_t close = data.find(')');
                if (close == std::string_view::npos || close == 1 || close > 9) {
                    Fail("bad value type");
                }
                type = 0;
                for (const char c : data.substr(1, close - 1)) {
                    const int d = HexDigit(c);
                    if (d < 0) {
                        Fail("bad value type");
                    }
                    type = type * 16 + static_cast<std::uint32_t>(d);
                }
                data.remove_prefix(close + 1);
            }
            if (data.empty() || data.front() != ':') {
                Fail("\":\" expected after hex");
            }
            data.remove_prefix(1);
            value.Type = static_cast<TRegValueType>(type);
            value.Data = HexBytes(data);
        } else {
            Fail("unknown value format");
        }
        if (!deletedKey) {
            hive.SetValue(key, std::move(value));
        }
    }

    std::string HexBytes(std::string_view list) const {
        std::string out;
        std::size_t i = 0;
        auto skipBlanks = [&] {
            while (i < list.size() && (list[i] == ' ' || list[i] == '\t')) {
                ++i;
            }
        };
        skipBlanks();
        if (i >= list.size()) {
            return out;
        }
        for (;;) {
            skipBlanks();
            const int hi = i < list.size() ? HexDigit(list[i]) : -1;
            const int lo = i + 1 < list.size() ? HexDigit(list[i + 1]) : -1;
            if (hi < 0 || lo < 0) {
                Fail("bad byte in hex list");
            }
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
            skipBlanks();
            if (i >= list.size()) {
                return out;
            }
            if (list[i] != ',') {
                Fail("\",\" expected in hex list");
            }
            ++i;
        }
    }

    std::string_view text;
    std::string_view rootName;
    std::string_view fileName;
    std::size_t pos = 0;
    int lineNumber = 0;
    std::string_view line;
};

std::string Escape(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string HexList(std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    std::size_t lineLength = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 15]);
        lineLength += 3;
        if (i + 1 < bytes.size()) {
            out.push_back(',');
            if (lineLength > 72) {
                out += "\\\n  ";
                lineLength = 0;
            }
        }
    }
    return out;
}

} // namespace

const TRegValue* TRegKeyData::Find(std::string_view name) const {
    for (const TRegValue& value : Values) {
        if (SameNoCase(value.Name, name)) {
            return &value;
        }
    }
    return nullptr;
}

std::string TRegHive::Fold(std::string_view path) {
    std::string folded(CleanPath(path));
    for (char& c : folded) {
        c = Upper(c);
    }
    return folded;
}

TRegHive TRegHive::Parse(std::string_view text, std::string_view rootName,
                         std::string_view fileName) {
    std::string converted;
    if (text.size() >= 2 && text[0] == '\xFF' && text[1] == '\xFE') {
        std::u16string wide;
        for (std::size_t i = 2; i + 1 < text.size(); i += 2) {
            wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i]) |
                                                 (static_cast<unsigned char>(text[i + 1]) << 8)));
        }
        if (text.size() % 2 != 0 || !Utf16ToUtf8(wide, converted)) {
            platform::Raise(TRegistryError("Malformed registry file \"" + std::string(fileName) +
                                           "\", line 1: invalid UTF-16 text"));
        }
        text = converted;
    } else if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    return TParser(text, rootName, fileName).Run();
}

std::string TRegHive::Serialize(std::string_view rootName) const {
    std::string out(Header5);
    out += "\n";
    for (const TRegKeyData& key : keys) {
        out += "\n[";
        out += rootName;
        if (!key.Path.empty()) {
            out += "\\";
            out += key.Path;
        }
        out += "]\n";
        for (const TRegValue& value : key.Values) {
            out += value.Name.empty() ? std::string("@") : Escape(value.Name);
            out += "=";
            const bool plainText =
                value.Type == TRegValueType::String &&
                value.Data.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
            if (plainText) {
                out += Escape(value.Data);
            } else if (value.Type == TRegValueType::DWord && value.Data.size() == 4) {
                std::uint32_t number = 0;
                for (int b = 3; b >= 0; --b) {
                    number = number * 256 + static_cast<unsigned char>(value.Data[b]);
                }
                char digits[16];
                std::snprintf(digits, sizeof digits, "dword:%08x", number);
                out += digits;
            } else {
                if (value.Type == TRegValueType::Binary) {
                    out += "hex:";
                } else {
                    char type[24];
                    std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(value.Type));
                    out += type;
                }
                out += HexList(value.Data);
            }
            out += "\n";
        }
    }
    return out;
}

const TRegKeyData* TRegHive::FindKey(std::string_view path) const {
    const auto it = index.find(Fold(path));
    return it == index.end() ? nullptr : &keys[it->second];
}

TRegKeyData& TRegHive::CreateKey(std::string_view path) {
    path = CleanPath(path);
    std::vector<std::string_view> parts;
    if (!SplitPath(path, parts) ||
        path.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
        platform::Raise(TRegistryError("Invalid registry key name \"" + std::string(path) + "\""));
    }
    std::string prefix;
    std::size_t position = 0;
    auto ensure = [&](const std::string& keyPath) {
        const std::string folded = Fold(keyPath);
        const auto it = index.find(folded);
        if (it != index.end()) {
            position = it->second;
            return;
        }
        keys.push_back(TRegKeyData{keyPath, {}});
        position = keys.size() - 1;
        index.emplace(folded, position);
    };
    if (parts.empty()) {
        ensure("");
    }
    for (const std::string_view part : parts) {
        if (!prefix.empty()) {
            prefix += "\\";
        }
        prefix += part;
        ensure(prefix);
    }
    return keys[position];
}

bool TRegHive::DeleteKey(std::string_view path) {
    const std::string folded = Fold(path);
    const std::string below = folded + "\\";
    const std::size_t before = keys.size();
    std::erase_if(keys, [&](const TRegKeyData& key) {
        const std::string f = Fold(key.Path);
        return folded.empty() || f == folded || f.starts_with(below);
    });
    if (keys.size() == before) {
        return false;
    }
    index.clear();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        index.emplace(Fold(keys[i].Path), i);
    }
    return true;
}

std::vector<std::string> TRegHive::SubKeyNames(std::string_view path) const {
    const std::string folded = Fold(path);
    const std::string below = folded.empty() ? std::string() : folded + "\\";
    std::vector<std::string> names;
    std::vector<std::string> seen;
    for (const TRegKeyData& key : keys) {
        const std::string f = Fold(key.Path);
        if (f.empty() || !f.starts_with(below)) {
            continue;
        }
        const std::size_t start = below.size();
        const std::size_t end = f.find('\\', start);
        const std::string name =
            key.Path.substr(start, end == std::string::npos ? end : end - start);
        const std::string foldedName = Fold(name);
        if (std::find(seen.begin(), seen.end(), foldedName) == seen.end()) {
            seen.push_back(foldedName);
            names.push_back(name);
        }
    }
    return names;
}

void TRegHive::SetValue(std::string_view path, TRegValue value) {
    TRegKeyData& key = CreateKey(path);
    for (TRegValue& existing : key.Values) {
        if (SameNoCase(existing.Name, value.Name)) {
            existing.Type = value.Type;
            existing.Data = std::move(value.Data);
            return;
        }
    }
    key.Values.push_back(std::move(value));
}

bool TRegHive::DeleteValue(std::string_view path, std::string_view name) {
    const auto it = index.find(Fold(path));
    if (it == index.end()) {
        return false;
    }
    return std::erase_if(keys[it->second].Values,
                         [&](const TRegValue& value) { return SameNoCase(value.Name, name); }) > 0;
}

} // namespace platform
