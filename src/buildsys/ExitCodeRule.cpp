#include "buildsys/ExitCodeRule.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <string>

namespace buildsys {

TExitVerdict TExitCodeRule::Judge(std::int32_t exitCode, std::int32_t signal) const {
    if (signal != 0) {
        return TExitVerdict::Failure;
    }
    if (std::find(Success.begin(), Success.end(), exitCode) != Success.end()) {
        return TExitVerdict::Success;
    }
    if (std::find(Warning.begin(), Warning.end(), exitCode) != Warning.end()) {
        return TExitVerdict::Warning;
    }
    return TExitVerdict::Failure;
}

std::vector<std::int32_t> ParseExitCodes(std::string_view text) {
    std::vector<std::int32_t> codes;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find_first_of(";,", start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view item = text.substr(start, end - start);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) {
            item.remove_prefix(1);
        }
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) {
            item.remove_suffix(1);
        }
        const bool lastAndEmpty = item.empty() && end == text.size();
        if (!lastAndEmpty) {
            std::int32_t code = 0;
            const char* first = item.data();
            const char* last = item.data() + item.size();
            const auto [ptr, error] = std::from_chars(first, last, code);
            if (item.empty() || error != std::errc{} || ptr != last) {
                throw std::invalid_argument("\"" + std::string(item) +
                                            "\" in the exit code list \"" + std::string(text) +
                                            "\" is no integer");
            }
            codes.push_back(code);
        }
        start = end + 1;
    }
    return codes;
}

} // namespace buildsys
