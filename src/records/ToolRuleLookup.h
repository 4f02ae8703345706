#pragma once
// Which rule of a profile's tool table applies to a tool: the one naming it exactly,
// else the first whose file-name pattern matches it. Job and build cache profiles
// look up their tools alike.
#include "platform/Paths.h"

#include <string_view>

namespace records {

template <typename TTools>
auto FindRuleByFileName(const TTools& tools, std::string_view fileName) -> decltype(&tools[0]) {
    for (int i = 0; i < tools.Count(); ++i) {
        if (tools[i].Filename == fileName) {
            return &tools[i];
        }
    }
    for (int i = 0; i < tools.Count(); ++i) {
        if (platform::MatchesFileNamePattern(tools[i].Filename, fileName)) {
            return &tools[i];
        }
    }
    return nullptr;
}

} // namespace records
