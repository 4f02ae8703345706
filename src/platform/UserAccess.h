#pragma once
// What a local user may do with a file: the agent decides requests of other
// users by these, never by names that a client writes.
#include <cstdint>
#include <optional>
#include <string_view>

namespace platform {

// The owner of a file (not followed when it is a link); none when it does not exist.
std::optional<std::uint32_t> FileOwner(std::string_view path);

// Whether `user` may replace `file` the way the registry store writes it: the file
// (when it exists) is writable by that user and so is its folder (the nearest
// existing one). The superuser may replace everything.
bool UserMayReplaceFile(std::string_view file, std::uint32_t user);

} // namespace platform
