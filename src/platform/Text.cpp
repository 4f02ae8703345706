#include "platform/Text.h"

#include <cstdint>

namespace platform {

unsigned AnsiCodePage() {
    return CodePageUtf8;
}
unsigned ConsoleOutputCodePage() {
    return CodePageUtf8;
}

namespace {

// Decodes one code point at `pos`; returns false on a malformed sequence.
bool DecodeUtf8(std::string_view in, std::size_t& pos, char32_t& cp) {
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
    const unsigned char lead = byteAt(pos);
    std::size_t extra;
    char32_t min;
    if (lead < 0x80) {
        cp = lead;
        ++pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        cp = lead & 0x1F;
        min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        cp = lead & 0x0F;
        min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        cp = lead & 0x07;
        min = 0x10000;
    } else {
        return false;
    }
    if (in.size() - pos <= extra) {
        return false;
    }
    for (std::size_t i = 1; i <= extra; ++i) {
        const unsigned char c = byteAt(pos + i);
        if ((c & 0xC0) != 0x80) {
            return false;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return false;
    }
    pos += extra + 1;
    return true;
}

void EncodeUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

} // namespace

bool IsValidUtf8(std::string_view in) {
    std::size_t pos = 0;
    char32_t cp;
    while (pos < in.size()) {
        if (!DecodeUtf8(in, pos, cp)) {
            return false;
        }
    }
    return true;
}

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
    out.clear();
    out.reserve(in.size());
    std::size_t pos = 0;
    char32_t cp;
    while (pos < in.size()) {
        if (!DecodeUtf8(in, pos, cp)) {
            out.clear();
            return false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return true;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char32_t cp = in[i];
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= in.size() || in[i + 1] < 0xDC00 || in[i + 1] > 0xDFFF) {
                out.clear();
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            out.clear();
            return false;
        }
        EncodeUtf8(cp, out);
    }
    return true;
}

} // namespace platform
