#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "platform/Registry.h"
#include "proxy/AgentSettings.h"
#include "proxy/BuildProxy.h"
#include "vs/ProjectParserVC7.h"
#include "vs/VSDirs.h"
#include "vs/VSVersion.h"

namespace build {

namespace {

// "VC" + major version (+ "DE" without MSBuild above 2008); "EVC4" and "VC7" at the ends.
std::string ClassOf(std::string_view versionText, bool useMSBuild, int& index) {
    index = vs::VSIndexFromVersionText(versionText);
    if (versionText.starts_with("141") || versionText.starts_with("14.1")) {
        index = 11;
    }
    if (index == 1) {
        return "EVC4";
    }
    if (index == 0) {
        return "VC7";
    }
    return "VC" + vs::VSVersionText(index, true) + (!useMSBuild && index > 6 ? "DE" : "");
}

std::string LauncherVersion() {
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::ClassesRoot,
                                                      "VisualStudio.Launcher.sln\\CurVer");
        return key ? key->ReadString("").value_or("") : std::string();
    } catch (const std::exception&) {
        return {};
    }
}
} // namespace

std::string TBuildProxy::GetBuildClass(const std::string& primaryFile, std::string_view versionText,
                                       bool useEnvironment, bool useMSBuild) {
    const std::string ext = core::LowerCaseAscii(platform::ExtractFileExt(primaryFile));
    if (ext == ".dsp" || ext == ".dsw") {
        return "vc6";
    }
    if (ext == ".vcp" || ext == ".vcw") {
        return "evc4";
    }
    if (ext == ".xml" || ext == ".xpx") {
        return "xml";
    }
    if (ext == ".bat" || ext == ".cmd") {
        return "wrap";
    }
    if (ext != ".sln" && ext != ".vcproj" && ext != ".icproj" && ext != ".vcxproj" &&
        ext != ".proj") {
        core::Raise(core::EGeneralError("Unknown file type: " + primaryFile));
    }
    const std::string version =
        versionText.empty() ? vs::DetectVersion(primaryFile) : std::string(versionText);
    int index = 0;
    ClassOf(version, false, index);
    bool msbuild = useMSBuild || ReadBuilderFlag("UseMSBuild", false);
    const vs::TVSDirs dirs = vs::GetVSDirs(index, AgentSettingsKey());
    if (index > 10 && dirs.IDEDir.empty() && !dirs.VSDir.empty()) {
        msbuild = true; // only the build tools are installed
    }
    if (ext == ".proj") {
        msbuild = true;
    }
    std::string buildClass = ClassOf(version, msbuild, index);
    if (ext == ".sln" && buildClass.size() > 2 && buildClass[2] == '1' && !useEnvironment &&
        !platform::DirectoryExists(dirs.IDEDir) && !platform::DirectoryExists(dirs.VSDir)) {
        constexpr std::string_view prefix = "VisualStudio.Solution.";
        const std::string launcher = LauncherVersion();
        if (const std::size_t at = launcher.find(prefix); at != std::string::npos) {
            const std::string rest = launcher.substr(0, at) + launcher.substr(at + prefix.size());
            buildClass = ClassOf(rest, msbuild, index);
        }
    }
    return buildClass;
}

} // namespace build
