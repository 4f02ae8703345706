#pragma once
// Small text helpers shared by the parsers of outside input.
#include <string>
#include <string_view>
#include <vector>

namespace core {

// Strict 32-bit decimal integer with an optional sign.
bool TryParseInt32(std::string_view text, int& value);

// Without leading and trailing blanks and control characters.
std::string_view TrimText(std::string_view text);

// ASCII letters in lower / upper case; other bytes unchanged.
std::string LowerCaseAscii(std::string_view text);
std::string UpperCaseAscii(std::string_view text);

// Every occurrence of `from` replaced by `to` (matched with case).
std::string ReplaceText(std::string_view text, std::string_view from, std::string_view to);

// The lines of a text: CR LF, LF or CR end a line; a last line without an end is kept.
std::vector<std::string_view> SplitLines(std::string_view text);

// Without one pair of surrounding double quotes.
std::string_view UnquoteText(std::string_view text);

} // namespace core
