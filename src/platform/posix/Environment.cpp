#include "platform/Environment.h"

#include <cstdlib>
#include <unistd.h>

namespace platform {

namespace {
bool ValidName(std::string_view name) {
    return !name.empty() && name.find('=') == std::string_view::npos &&
           name.find('\0') == std::string_view::npos;
}
} // namespace

std::optional<std::string> GetEnvVar(std::string_view name) {
    if (!ValidName(name)) {
        return std::nullopt;
    }
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

bool SetEnvVar(std::string_view name, std::string_view value) {
    if (!ValidName(name) || value.find('\0') != std::string_view::npos) {
        return false;
    }
    return ::setenv(std::string(name).c_str(), std::string(value).c_str(), 1) == 0;
}

bool UnsetEnvVar(std::string_view name) {
    return ValidName(name) && ::unsetenv(std::string(name).c_str()) == 0;
}

std::vector<std::string> GetEnvStrings() {
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        result.emplace_back(*entry);
    }
    return result;
}

std::string GetEnvBlock() {
    std::string block;
    for (const std::string& entry : GetEnvStrings()) {
        block += entry;
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

std::vector<std::string_view> EnvBlockEntries(std::string_view block) {
    std::vector<std::string_view> entries;
    while (!block.empty() && block.front() != '\0') {
        const std::size_t end = block.find('\0');
        entries.push_back(block.substr(0, end));
        block.remove_prefix(end == std::string_view::npos ? block.size() : end + 1);
    }
    return entries;
}

} // namespace platform
