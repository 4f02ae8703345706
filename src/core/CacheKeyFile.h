#pragma once
// The file through which environment variables become part of a cached result's key:
// the cache engine hashes the file's content, so it holds the names and values of
// the variables a tool reads, one per line in the order the profile names them:
// "NAME=<length>:<value>" (a value may hold a line break, hence its length) or
// "NAME unset".
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace core {

// The file's text for `names`, each looked up with `valueOf`.
std::string
CacheKeyText(const std::vector<std::string>& names,
             const std::function<std::optional<std::string>(std::string_view)>& valueOf);

// Creates `path` (a new file, 0600) with that text. False with the reason otherwise;
// the cache then cannot hash the file and compiles without a cached result.
bool WriteCacheKeyFile(const std::string& path, const std::vector<std::string>& names,
                       const std::function<std::optional<std::string>(std::string_view)>& valueOf,
                       std::string* errorText = nullptr);

} // namespace core
