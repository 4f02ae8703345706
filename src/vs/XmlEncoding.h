#pragma once
// The 8-bit encodings that an XML project file may declare and the XML loader does
// not decode itself (it detects byte-order marks and UTF-16 on its own).
#include <optional>
#include <string>
#include <string_view>

namespace vs {

// The file's bytes as UTF-8 when it has no byte-order mark and its declaration names
// Windows-1252 or ISO-8859-1; nothing when the bytes need no decoding here.
std::optional<std::string> DecodeDeclaredEncoding(std::string_view bytes);

} // namespace vs
