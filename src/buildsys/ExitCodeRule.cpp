#include "buildsys/ExitCodeRule.h"

#include "core/Errors.h"
#include "core/ExitCodeList.h"

#include <algorithm>
#include <optional>
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
    std::string why;
    std::optional<std::vector<std::int32_t>> codes = core::ParseExitCodeList(text, &why);
    if (!codes) {
        core::Raise(
            std::invalid_argument(why + " in the exit code list \"" + std::string(text) + "\""));
    }
    return *codes;
}

} // namespace buildsys
