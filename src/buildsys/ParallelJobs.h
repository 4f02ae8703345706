#pragma once
// Offering a build command enough parallel work for the build's worker rows. When the
// command's first word is make, gmake or ninja, its job count is raised to the rows
// (a "-j" added where it has none; an unlimited "-j" of make stays); any other command
// (cd x && make, scripts) gets "-j<rows>" in MAKEFLAGS, which every make it starts
// reads, unless MAKEFLAGS already names a job count. A "-j" on a nested make's own
// command line still wins: that is make's rule.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace buildsys {

struct TParallelCommand {
    std::string Command;                  // the command to run
    std::optional<std::string> MakeFlags; // the MAKEFLAGS to set; none: leave it
};

// `command` is a shell command line; `makeFlags` the MAKEFLAGS of the build's
// environment (none when unset).
TParallelCommand OfferParallelism(std::string_view command,
                                  const std::optional<std::string>& makeFlags, std::int32_t rows);

} // namespace buildsys
