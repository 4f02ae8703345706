#include "core/ExitCodeList.h"

#include "core/TextHelpers.h"

namespace core {

std::optional<std::vector<std::int32_t>> ParseExitCodeList(std::string_view text,
                                                           std::string* error) {
    std::vector<std::int32_t> codes;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find_first_of(";,"), text.size());
        const std::string_view item = TrimText(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        if (item.empty()) {
            continue;
        }
        int value = 0;
        if (!TryParseInt32(item, value)) {
            if (error) {
                *error = "\"" + std::string(item) + "\" is not an exit code (an integer)";
            }
            return std::nullopt;
        }
        codes.push_back(value);
    }
    return codes;
}

} // namespace core
