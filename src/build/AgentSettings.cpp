#include "build/AgentSettings.h"

#include "platform/Registry.h"

namespace build {

std::string AgentSettingsKey(std::string_view productCaption) {
    return "SOFTWARE\\Tavrix\\" + std::string(productCaption);
}

bool ReadBuilderFlag(std::string_view name, bool fallback) {
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      AgentSettingsKey() + "\\Builder");
        return key ? key->ReadBool(name).value_or(fallback) : fallback;
    } catch (const std::exception&) {
        return fallback; // unreadable settings are no settings
    }
}

} // namespace build
