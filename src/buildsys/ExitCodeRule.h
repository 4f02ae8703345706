#pragma once
// Which exit codes of a tool mean success: by default only 0; a code in the warning
// list is a success with a warning. From a job profile rule's SuccessExitCodes and
// WarningExitCodes (integers separated by ";" or ",").
#include <cstdint>
#include <string_view>
#include <vector>

namespace buildsys {

enum class TExitVerdict { Success, Warning, Failure };

struct TExitCodeRule {
    std::vector<std::int32_t> Success{0};
    std::vector<std::int32_t> Warning;

    // A task ended by a signal always failed.
    TExitVerdict Judge(std::int32_t exitCode, std::int32_t signal) const;
};

// The integers of a list like "0;1, 2"; raises std::invalid_argument naming the first
// element that is no integer. An empty list is empty.
std::vector<std::int32_t> ParseExitCodes(std::string_view text);

} // namespace buildsys
