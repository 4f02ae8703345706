#include "buildsys/SchedulerPolicySetup.h"

#include "core/DiagnosticLog.h"
#include "platform/Registry.h"
#include "proxy/AgentSettings.h"

#include <exception>
#include <string>

namespace buildsys {

bool DoublingSetting() {
    const bool fallback = TSchedulerPolicy{}.Double;
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      build::AgentSettingsKey() + "\\Agent");
        return key ? key->ReadInteger("HelperDoubling").value_or(fallback ? 1 : 0) != 0 : fallback;
    } catch (const std::exception& e) {
        core::Log().Warning("Agent setting HelperDoubling unreadable\r\n" + std::string(e.what()));
    }
    return fallback;
}

TSchedulerPolicy SchedulerPolicyFor(const records::TBuildCommandPacket& request) {
    TSchedulerPolicy policy;
    policy.AvoidLocal = request.HasFlag(records::TBuildFlag::AvoidLocalOn);
    policy.OnlyFailLocally = request.HasFlag(records::TBuildFlag::EnableOnlyFailLocally);
    policy.Double = DoublingSetting();
    return policy;
}

} // namespace buildsys
