#include "platform/Environment.h"

#include "platform/Raise.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>
#include <unordered_map>

namespace platform {

namespace {
// Entry texts and arrays made for the environment live as long as the process (a
// reader may still hold one); kept here so that they stay reachable.
std::vector<void*>& EnvironmentAllocations() {
    static auto* allocations = new std::vector<void*>();
    return *allocations;
}

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

bool ChangeEnvVars(const std::vector<TEnvChange>& changes, std::string* invalidName) {
    for (const TEnvChange& change : changes) {
        if (!ValidName(change.Name) ||
            (change.Value && change.Value->find('\0') != std::string::npos)) {
            if (invalidName != nullptr) {
                *invalidName = change.Name;
            }
            return false;
        }
    }
    if (changes.empty()) {
        return true;
    }
    // setenv searches the whole environment on every call; here every name is
    // found through one hash table and the new array is made once. The keys point
    // into entry texts, which are never freed.
    std::vector<char*> entries;
    std::unordered_map<std::string_view, std::size_t> slotOfName;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        slotOfName.emplace(text.substr(0, text.find('=')), entries.size());
        entries.push_back(*entry);
    }
    for (const TEnvChange& change : changes) {
        const auto found = slotOfName.find(change.Name);
        char* text = nullptr;
        if (change.Value) {
            const std::string entry = change.Name + "=" + *change.Value;
            text = ::strdup(entry.c_str());
            if (text == nullptr) {
                platform::Raise(std::bad_alloc());
            }
            EnvironmentAllocations().push_back(text);
        }
        if (found != slotOfName.end()) {
            entries[found->second] = text; // null marks a removed entry
            if (text == nullptr) {
                slotOfName.erase(found);
            }
        } else if (text != nullptr) {
            slotOfName.emplace(std::string_view(text, change.Name.size()), entries.size());
            entries.push_back(text);
        }
    }
    auto** array = static_cast<char**>(std::malloc((entries.size() + 1) * sizeof(char*)));
    if (array == nullptr) {
        platform::Raise(std::bad_alloc());
    }
    EnvironmentAllocations().push_back(array);
    std::size_t count = 0;
    for (char* entry : entries) {
        if (entry != nullptr) {
            array[count++] = entry;
        }
    }
    array[count] = nullptr;
    environ = array;
    return true;
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
