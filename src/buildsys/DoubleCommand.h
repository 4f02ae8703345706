#pragma once
// The command of a second, local attempt of a compile that runs on a helper: the same
// command writing its files under new names beside the real ones, so that the two
// attempts never write the same file; the winner's files take the real names. Only a
// command with one plain "-o FILE" qualifies, and none whose files would name the
// output (profiling and coverage data, split debug info, saved temporaries, dependency
// files named after the output or passed to the preprocessor directly).
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace buildsys {

struct TDoubleCommand {
    std::vector<std::string> Argv;
    // (temporary name, real name), both as the command names them.
    std::vector<std::pair<std::string, std::string>> Files;
};

// `temporary` gives the temporary name for a real one (empty when it cannot reserve one:
// then there is no double). None when the command does not qualify.
std::optional<TDoubleCommand>
DoubleCommandOf(const std::vector<std::string>& argv,
                const std::function<std::string(const std::string&)>& temporary);

} // namespace buildsys
