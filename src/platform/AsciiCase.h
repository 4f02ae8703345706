#pragma once
// ASCII case rules: only the letters A-Z and a-z change case; every other byte
// (UTF-8 sequences included) stays as it is. The one place that folds case.
#include <algorithm>
#include <string_view>

namespace platform {

constexpr char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
constexpr char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool SameTextAscii(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}
constexpr bool StartsWithTextAscii(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && SameTextAscii(text.substr(0, prefix.size()), prefix);
}

} // namespace platform
