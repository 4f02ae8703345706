#pragma once
// Text encodings. The program's 8-bit text is UTF-8; the "ANSI" code page and the
// console output code page are both 65001.
#include <string>
#include <string_view>

namespace platform {

constexpr unsigned CodePageUtf8 = 65001;

// The system's 8-bit code page and the console's output code page.
unsigned AnsiCodePage();
unsigned ConsoleOutputCodePage();

// Strict conversions: malformed input (lone surrogates, bad or overlong UTF-8
// sequences, code points above U+10FFFF) fails and leaves `out` empty.
bool Utf16ToUtf8(std::u16string_view in, std::string& out);
bool Utf8ToUtf16(std::string_view in, std::u16string& out);

// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view in);

} // namespace platform
