#pragma once
// The build proxy: hands a build request to the build-system process. Its
// class-level services turn options into the request before any proxy exists.
#include "core/StringListEx.h"
#include "records/BuildPackets.h"

#include <string>
#include <string_view>

namespace build {

class TBuildProxy {
public:
    // Appends the options of the solution's configuration file (if there is one for
    // `configuration`) to `options` and keeps its text in the request.
    static void LoadBuildConfigFile(std::string_view configuration,
                                    records::TBuildCommandPacket& request,
                                    core::TStringListEx& options);
    // Applies the tuning and build-cache options; accepted ones leave the list.
    static void ApplyBuildOptions(records::TBuildCommandPacket& request,
                                  core::TStringListEx& options);
    // "vc6", "evc4", "xml", "wrap", or the Visual Studio class ("VC16DE", "VC17" ...).
    static std::string GetBuildClass(const std::string& primaryFile, std::string_view versionText,
                                     bool useEnvironment, bool useMSBuild);
    static bool IsVSBuildClass(std::string_view buildClass);
    static bool IsJobBuildClass(std::string_view buildClass);
    static std::string GetBuildTitle(const records::TBuildCommandPacket& request);
};

} // namespace build
