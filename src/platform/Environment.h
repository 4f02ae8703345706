#pragma once
// The process environment.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Absent when the variable is not set.
std::optional<std::string> GetEnvVar(std::string_view name);

// False when the name is not valid (empty, or holding "=" or NUL) or the value holds NUL.
bool SetEnvVar(std::string_view name, std::string_view value);
bool UnsetEnvVar(std::string_view name);

// One change of a batch: a value sets the variable, none removes it.
struct TEnvChange {
    std::string Name;
    std::optional<std::string> Value;
};
// Applies the changes in order in one pass over the environment, so that many
// changes cost linear time. Nothing changes when a name or value is not valid: false,
// and `invalidName` (if given) gets the first such name.
bool ChangeEnvVars(const std::vector<TEnvChange>& changes, std::string* invalidName = nullptr);

// Every "name=value" entry of the environment, in the order the process holds them.
std::vector<std::string> GetEnvStrings();

// The whole environment as one block: every entry followed by a NUL, ended by one more NUL.
std::string GetEnvBlock();

// The "name=value" entries of an environment block, up to its closing empty entry.
std::vector<std::string_view> EnvBlockEntries(std::string_view block);

} // namespace platform
