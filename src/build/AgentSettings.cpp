#include "build/AgentSettings.h"

#include "comm/ProductInfo.h"
#include "platform/Registry.h"

namespace build {

std::string AgentSettingsKey() {
    return comm::AgentSettingsKey();
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
