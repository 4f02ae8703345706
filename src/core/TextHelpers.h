#pragma once
// Small text helpers shared by the parsers of outside input.
#include <string_view>

namespace core {

// Strict 32-bit decimal integer with an optional sign.
bool TryParseInt32(std::string_view text, int& value);

// Without leading and trailing blanks and control characters.
std::string_view TrimText(std::string_view text);

// Without one pair of surrounding double quotes.
std::string_view UnquoteText(std::string_view text);

} // namespace core
