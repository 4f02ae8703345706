#pragma once
// Lists of exit codes as profiles and build documents write them: 32-bit integers
// separated by ";" or ",", blanks around each allowed ("0; 1,3"). An empty text (or
// one of separators and blanks only) is an empty list.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core {

// None when an item is not an integer; `error` then names the item.
std::optional<std::vector<std::int32_t>> ParseExitCodeList(std::string_view text,
                                                           std::string* error = nullptr);

} // namespace core
