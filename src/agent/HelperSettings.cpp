#include "agent/HelperSettings.h"

#include "comm/ProductInfo.h"
#include "core/DiagnosticLog.h"
#include "platform/Registry.h"

namespace agent {

THelperSettings THelperSettings::Load() {
    THelperSettings s;
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      comm::AgentSettingsKey() + "\\Agent");
        if (!key) {
            return s;
        }
        s.HelperMode = key->ReadInteger("HelperMode").value_or(0) != 0;
        s.Listen = key->ReadString("HelperListen").value_or("");
        s.Port = key->ReadInteger("HelperPort").value_or(s.Port);
        s.StatsPort = key->ReadInteger("HelperStatsPort").value_or(s.Port + 1);
        s.Allow = key->ReadString("HelperAllow").value_or("");
        s.AllowForce = key->ReadInteger("HelperAllowForce").value_or(0) != 0;
        s.User = key->ReadString("HelperUser").value_or("");
        s.Helpers = key->ReadString("Helpers").value_or("");
        s.Compilers = key->ReadString("HelperCompilers").value_or(s.Compilers);
        s.ProbeSeconds = key->ReadInteger("HelperProbeSeconds").value_or(s.ProbeSeconds);
    } catch (const std::exception& e) {
        core::Log().Warning("Agent helper settings unreadable\r\n" + std::string(e.what()));
    }
    return s;
}

} // namespace agent
