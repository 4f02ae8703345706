#include "proxy/BuildProxy.h"

#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "proxy/OptionList.h"

#include <functional>

namespace build {

namespace {
using records::TBuildFlag;

// One row of the option table: the option's value is offered to `accept`, which
// returns whether it took it; taken options leave the list.
struct TOptionRule {
    std::string_view Name;
    std::function<bool(records::TBuildCommandPacket&, const std::string&)> Accept;
};

// "on"/"off" style pair: `on` is added for the first word, `off` added and `on`
// removed for the second.
TOptionRule Switch(std::string_view name, std::string_view yes, std::string_view no, TBuildFlag on,
                   TBuildFlag off) {
    return {name, [=](records::TBuildCommandPacket& r, const std::string& value) {
                const std::string v = core::LowerCaseAscii(value);
                if (v == yes) {
                    r.SetFlag(on);
                    return true;
                }
                if (v == no) {
                    r.SetFlag(off);
                    r.SetFlag(on, false);
                    return true;
                }
                return false;
            }};
}

TOptionRule Integer(std::string_view name, std::int32_t records::TBuildCommandPacket::*field) {
    return {name, [=](records::TBuildCommandPacket& r, const std::string& value) {
                int number = 0;
                if (!TryParseInt32(value, number)) {
                    return false;
                }
                r.*field = number;
                return true;
            }};
}

// A name that must not be empty: stored, and the build cache is used.
TOptionRule CacheName(std::string_view name, std::string records::TBuildCommandPacket::*field,
                      std::string_view missing) {
    return {name, [=](records::TBuildCommandPacket& r, const std::string& value) {
                if (value.empty()) {
                    core::Raise(core::EGeneralError(std::string(missing)));
                }
                r.*field = value;
                r.SetFlag(TBuildFlag::BuildAvoidanceCache);
                return true;
            }};
}

bool RemoteServer(records::TBuildCommandPacket& r, const std::string& value) {
    if (r.UseBuildCacheCluster) {
        core::Raise(core::EGeneralError(
            "Cannot specify /BUILDCACHECLUSTER together with /BUILDCACHEREMOTESERVER"));
    }
    const std::string server(TrimText(value));
    const std::size_t colon = server.find(':');
    const std::string address = server.substr(0, colon);
    const std::string port = colon == std::string::npos ? std::string() : server.substr(colon + 1);
    if (address.empty()) {
        core::Raise(core::EGeneralError("Missing remote cache server address"));
    }
    int number = 0;
    if (!TryParseInt32(port, number)) {
        core::Raise(core::EGeneralError(port.empty() ? "Missing remote cache server port"
                                                     : "Invalid remote cache server port format"));
    }
    if (number < 0 || number > 65535) {
        core::Raise(core::EGeneralError("Remote cache server port is out of range"));
    }
    r.RemoteBuildCacheServer = server;
    r.SetFlag(TBuildFlag::BuildAvoidanceCache);
    return true;
}

const std::vector<TOptionRule>& Rules() {
    using R = records::TBuildCommandPacket;
    static const std::vector<TOptionRule> rules = {
        Switch("freecompletedtasks", "on", "off", TBuildFlag::FreeCompletedTasks,
               TBuildFlag::FreeCompletedTasksOff),
        {"usemsbuild",
         [](R& r, const std::string& value) {
             if (value != "32" && value != "64") {
                 return false;
             }
             r.OverrideUseMSBuild = value == "32" ? 1 : 2;
             r.UseMSBuild = true;
             return true;
         }},
        Switch("avoidlocal", "on", "off", TBuildFlag::AvoidLocalOn, TBuildFlag::AvoidLocalOff),
        Switch("usecloudhelpers", "true", "false", TBuildFlag::UseCloudHelpers,
               TBuildFlag::AvoidCloudHelpers),
        Integer("maxcpus", &R::OverrideMaxHelpersPerJob),
        Integer("maxconcurrentpdbs", &R::OverrideMaxConcurrentPDBs),
        {"neededhelpershistorytimesec",
         [](R& r, const std::string& value) {
             int number = 0;
             if (!TryParseInt32(value, number)) {
                 return false;
             }
             if (number <= 0) {
                 core::Raise(
                     core::EGeneralError("NeededHelpersHistoryTimeSec must be greater than 0"));
             }
             r.OverrideNeededHelpersHistoryTimeSec = number;
             return true;
         }},
        {"pemode",
         [](R& r, const std::string& value) {
             int number = 0;
             if (!TryParseInt32(value, number)) {
                 return false;
             }
             if (number < 0 || number > 2) {
                 core::Raise(core::EGeneralError("The /PEMODE parameter value is invalid."));
             }
             r.OverridePredictedExecutionMode = static_cast<std::int8_t>(number);
             return true;
         }},
        Switch("predictedexecution32bitfallback", "on", "off", TBuildFlag::PE32FallbackOn,
               TBuildFlag::PE32FallbackOff),
        Integer("maxfilesyncthreads", &R::OverrideMultiThreadedFileSyncThreads),
        Integer("maxparallellinktargets", &R::OverrideMaxParallelLinkTargets),
        Switch("forceenglishmsbuildoutput", "on", "off", TBuildFlag::ForceEnglishMSBuildOutputOn,
               TBuildFlag::ForceEnglishMSBuildOutputOff),
        Integer("clangpathconvert", &R::OverrideClangPathConvert),
        {"buildcachelocal",
         [](R& r, const std::string& value) {
             const std::string v = core::LowerCaseAscii(value);
             if (v != "on" && v != "off") {
                 return false;
             }
             r.UseLocalBuildCache = v == "on";
             r.SetFlag(TBuildFlag::BuildAvoidanceCache);
             return true;
         }},
        {"buildcachecluster",
         [](R& r, const std::string& value) {
             if (value.empty()) {
                 core::Raise(core::EGeneralError("Missing Build Cache Cluster name"));
             }
             r.RemoteBuildCacheServer = value;
             r.UseBuildCacheCluster = true;
             r.SetFlag(TBuildFlag::BuildAvoidanceCache);
             return true;
         }},
        {"buildcacheremoteserver", RemoteServer},
        Integer("BuildCacheEnableOlderMSVCSupport", &R::BuildCacheEnableOlderMSVCSupport),
        CacheName("buildcachegeneratetoolprofile", &R::BuildCacheGenerateToolProfile,
                  "Missing generate tool profile name"),
        CacheName("BuildCacheProfile", &R::BuildCacheProfile, "Missing Build Cache profile path"),
    };
    return rules;
}
} // namespace

void TBuildProxy::ApplyBuildOptions(records::TBuildCommandPacket& request,
                                    core::TStringListEx& options) {
    for (const TOptionRule& rule : Rules()) {
        const int index = FindValueOption(options, rule.Name);
        if (index < 0) {
            continue;
        }
        const std::string value(core::TStringListEx::ValueOf(options[index]));
        if (rule.Accept(request, value)) {
            options.Delete(index);
        }
    }
}

bool TBuildProxy::IsVSBuildClass(std::string_view buildClass) {
    return (buildClass.size() >= 4 && core::SameText(buildClass.substr(0, 4), "evc4")) ||
           (buildClass.size() >= 2 && core::SameText(buildClass.substr(0, 2), "vc"));
}

bool TBuildProxy::IsJobBuildClass(std::string_view buildClass) {
    return core::SameText(buildClass, "xml") || core::SameText(buildClass, "wrap");
}

} // namespace build
