#include "proxy/AgentSettings.h"

#include "comm/ProductInfo.h"
#include "core/Errors.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "proxy/BuildCacheSettings.h"

namespace build {

namespace {

// Unreadable settings are no settings.
template <typename TRead>
auto ReadBuilderValue(TRead read) -> decltype(read(std::declval<const platform::TRegistryKey&>())) {
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      AgentSettingsKey() + "\\Builder");
        if (key) {
            return read(*key);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

} // namespace

std::string AgentSettingsKey() {
    return comm::AgentSettingsKey();
}

bool ReadBuilderFlag(std::string_view name, bool fallback) {
    return ReadBuilderValue([&](const platform::TRegistryKey& key) { return key.ReadBool(name); })
        .value_or(fallback);
}

std::optional<std::int64_t> ReadBuilderInteger(std::string_view name) {
    return ReadBuilderValue([&](const platform::TRegistryKey& key) -> std::optional<std::int64_t> {
        return key.ReadInteger(name);
    });
}

std::string RequireAgentFolder() {
    std::string folder = AgentFolder();
    if (folder.empty()) {
        core::Raise(core::EGeneralError("Failed to read " + AgentSettingsKey() +
                                        " Agent installation folder from registry."));
    }
    return folder;
}

std::string AgentTempFolder() {
    std::string temp = ReadBuilderValue([](const platform::TRegistryKey& key) {
                           return key.ReadString("TempDir");
                       }).value_or("");
    if (temp.empty()) {
        temp = platform::IncludeTrailingDelimiter(RequireAgentFolder()) + "Temp";
    }
    return temp;
}

} // namespace build
