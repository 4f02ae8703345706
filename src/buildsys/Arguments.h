#pragma once
// The command line of the build-system process: "/id={GUID} [/exitcodebase=N]".
#include "core/Guid.h"

#include <optional>
#include <string>
#include <vector>

namespace buildsys {

struct TBuildSystemArguments {
    std::string Identity; // the build GUID in its upper-case braced form
    core::TGUID ID;
    // Accepted for the console's sake; exit codes do not depend on it.
    std::optional<int> ExitCodeBase;
};

// None, with the reason in `error`, when the arguments are not usable.
std::optional<TBuildSystemArguments> ParseArguments(const std::vector<std::string>& arguments,
                                                    std::string& error);

} // namespace buildsys
