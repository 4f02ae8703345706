// The option groups that assemble the build request after the build target is
// known, and the late group that control commands reach too.
#include "console/GridConsole.h"
#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "platform/Paths.h"
#include "proxy/OptionList.h"

namespace console {

namespace {
using build::ConsumeBareOption;
using build::ConsumeValueOption;
using build::FindBareOption;
using build::FindValueOption;
using records::TBuildFlag;

struct TWindowsVersion {
    std::string_view Name;
    int Major;
    int Minor;
};
constexpr TWindowsVersion WindowsVersions[] = {{"XP", 5, 1},   {"2003", 5, 2}, {"Vista", 6, 0},
                                               {"2008", 6, 0}, {"7", 6, 1},    {"8", 6, 2},
                                               {"8.1", 6, 3},  {"10", 10, 0}};
// Helper agents compare against the initiator's own version; this system reports 10.0.
constexpr TWindowsVersion RunningWindowsVersion = {"10", 10, 0};

constexpr std::string_view LogLevels[] = {"Minimal", "Basic", "Intermediate", "Extended",
                                          "Detailed"};

// Items of a ";" (and ",") separated list, trimmed and unquoted; empty items dropped.
std::vector<std::string> SplitItems(std::string_view text, std::string_view separators) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
        const std::string_view item =
            core::UnquoteText(core::TrimText(text.substr(start, end - start)));
        if (!item.empty()) {
            items.emplace_back(item);
        }
        start = end + 1;
    }
    return items;
}

// The value of a name= entry whose value is in a table; the entry stays when it is not.
template <typename Table, typename Match>
const auto* ConsumeTableValue(core::TStringListEx& options, std::string_view name,
                              const Table& table, Match match) {
    const int index = FindValueOption(options, name);
    if (index < 0) {
        return static_cast<decltype(&table[0])>(nullptr);
    }
    const std::string_view value = core::TStringListEx::ValueOf(options[index]);
    for (const auto& entry : table) {
        if (core::SameText(match(entry), value)) {
            options.Delete(index);
            return &entry;
        }
    }
    return static_cast<decltype(&table[0])>(nullptr);
}
} // namespace

void TGridConsole::SetFlagOption(std::string_view name, TBuildFlag flag, bool effective) {
    if (ConsumeBareOption(Options, name) && effective) {
        BuildCommand.SetFlag(flag);
    }
}

bool TGridConsole::ApplyAssemblyOptions() {
    const bool vs = (Modes & VisualStudio) != 0;
    const bool cmd = (Modes & console::Command) != 0;
    SetFlagOption("clean", TBuildFlag::Clean, !cmd);
    SetFlagOption("beep", TBuildFlag::Beep);
    SetFlagOption("openmonitor", TBuildFlag::OpenMonitor);
    SetFlagOption("useidemonitor", TBuildFlag::UseIDEMonitor, !cmd);
    SetFlagOption("rebuild", TBuildFlag::Rebuild, !cmd);
    SetFlagOption("deploy", TBuildFlag::DeployWithDevEnv, !cmd);
    SetFlagOption("allfatal", TBuildFlag::AllFatal);
    SetFlagOption("stoponerrors", TBuildFlag::StopOnErrors);
    SetFlagOption("showcmd", TBuildFlag::ShowCmd);
    SetFlagOption("showagent", TBuildFlag::ShowAgent);
    SetFlagOption("showtime", TBuildFlag::ShowTime);
    if (ConsumeBareOption(Options, "sameos")) {
        if (FindValueOption(Options, "minwinver") >= 0 ||
            FindValueOption(Options, "maxwinver") >= 0) {
            FatalError("A /SAMEOS cannot be specified with /MINWINVER, /MAXWINVER");
            return false;
        }
        BuildCommand.MinWinVer_Major = BuildCommand.MaxWinVer_Major = RunningWindowsVersion.Major;
        BuildCommand.MinWinVer_Minor = BuildCommand.MaxWinVer_Minor = RunningWindowsVersion.Minor;
    }
    const auto versionName = [](const TWindowsVersion& v) { return v.Name; };
    if (const auto* min = ConsumeTableValue(Options, "minwinver", WindowsVersions, versionName)) {
        BuildCommand.MinWinVer_Major = min->Major;
        BuildCommand.MinWinVer_Minor = min->Minor;
    }
    if (const auto* max = ConsumeTableValue(Options, "maxwinver", WindowsVersions, versionName)) {
        BuildCommand.MaxWinVer_Major = max->Major;
        BuildCommand.MaxWinVer_Minor = max->Minor;
    }
    SetFlagOption("no_dotnet_virt", TBuildFlag::NoDotNetVirt);
    SetFlagOption("use_same_console", TBuildFlag::UseSameConsole);
    SetFlagOption("no_crypt_virt", TBuildFlag::NoCryptVirt);
    SetFlagOption("no_watchdog_thread", TBuildFlag::NoWatchDogThread);
    SetFlagOption("only64bithelpers", TBuildFlag::Only64bitHelpers);
    SetFlagOption("no_unc_sync", TBuildFlag::NoUNCSync);
    BuildCommand.IntelCompilerVersion = ConsumeValueOption(Options, "intelclversion").value_or("");
    for (const std::string_view ignored : {"builduser", "buildgroup", "buildproduct"}) {
        ConsumeValueOption(Options, ignored);
    }
    if (vs) {
        if (!ApplyVisualStudioOptions()) {
            return false;
        }
    }
    if (const std::optional<std::string> monitor = ConsumeValueOption(Options, "mon")) {
        BuildCommand.MonitorFilename = platform::ExpandPath(*monitor, CurrentDir);
    }
    if (cmd) {
        if (const std::optional<std::string> profile = ConsumeValueOption(Options, "profile")) {
            BuildCommand.ProfileFilename =
                profile->empty() ? std::string() : platform::ExpandPath(*profile, CurrentDir);
        }
        if (ConsumeBareOption(Options, "keeporigjobsnum")) {
            BuildCommand.KeepNumOfJobs = true;
        }
        if (const std::optional<std::string> file = ConsumeValueOption(Options, "ca_file")) {
            BuildCommand.KWJsonName = *file;
        }
        if (const std::optional<std::string> dir = ConsumeValueOption(Options, "outdir")) {
            BuildCommand.OutDir = *dir;
        }
        if (const std::optional<std::string> base = ConsumeValueOption(Options, "injectbase")) {
            BuildCommand.InjectBase = ParseInjectBase(*base);
        }
    }
    BuildCommand.EVC4_CeConfig = ConsumeValueOption(Options, "ceconfig").value_or("");
    ApplyLogOptions();
    if (vs) {
        if (const std::optional<std::string> projects = ConsumeValueOption(Options, "prj")) {
            Projects = *projects;
        }
        if (const std::optional<std::string> preset = ConsumeValueOption(Options, "preset")) {
            Preset = *preset;
        }
        ApplyDefaultProjectRule();
    }
    if (ConsumeBareOption(Options, "securecomm=off")) {
        BuildCommand.SetFlag(TBuildFlag::SecureCommOff);
    }
    if (ConsumeBareOption(Options, "securecomm=on")) {
        BuildCommand.SetFlag(TBuildFlag::SecureCommOn);
        BuildCommand.SetFlag(TBuildFlag::SecureCommOff, false);
    }
    return true;
}

bool TGridConsole::ApplyVisualStudioOptions() {
    const std::optional<std::string> dump = ConsumeValueOption(Options, "dumpsourcefiles");
    if (dump) {
        DumpFileName = *dump;
    }
    if (const std::optional<std::string> compile = ConsumeValueOption(Options, "compile")) {
        for (std::string& source : SplitItems(*compile, ";,")) {
            BuildCommand.SelectedSources.Add(std::move(source));
        }
        if (!BuildCommand.SelectedSources.Empty()) {
            BuildCommand.SetFlag(TBuildFlag::NoRecurse);
            BuildCommand.SetFlag(TBuildFlag::SelectiveBuild);
        }
    }
    if (ConsumeBareOption(Options, "browseinfo=on")) {
        BuildCommand.SetFlag(TBuildFlag::BrowseOn);
    }
    if (ConsumeBareOption(Options, "browseinfo=off")) {
        BuildCommand.SetFlag(TBuildFlag::BrowseOff);
        BuildCommand.SetFlag(TBuildFlag::BrowseOn, false);
    }
    SetFlagOption("useenv", TBuildFlag::UseEnv);
    SetFlagOption("norecurse", TBuildFlag::NoRecurse);
    SetFlagOption("nolink", TBuildFlag::NoLink);
    SetFlagOption("all", TBuildFlag::All);
    for (const std::string_view on : {"morveklink", "morveklink=on"}) {
        SetFlagOption(on, TBuildFlag::ForceMorvekLink);
    }
    for (const std::string_view off : {"nomorveklink", "morveklink=off"}) {
        SetFlagOption(off, TBuildFlag::ForceNoMorvekLink);
    }
    if (BuildCommand.HasFlag(TBuildFlag::ForceMorvekLink) &&
        BuildCommand.HasFlag(TBuildFlag::ForceNoMorvekLink)) {
        core::Raise(core::EGeneralError(
            "Cannot specifiy /MORVEKLINK=ON and /MORVEKLINK=OFF in the same command line"));
    }
    // "/DUMPSOURCEFILES=" names no file either; it must not start a build.
    if ((dump || FindBareOption(Options, "dumpsourcefiles") >= 0) && DumpFileName.empty()) {
        FatalError("Incorrect /DUMPSOURCEFILES syntax. Filename expected.");
        return false;
    }
    if (const std::optional<std::string> profile = ConsumeValueOption(Options, "profile")) {
        BuildCommand.ProfileFilename =
            profile->empty() ? std::string() : platform::ExpandPath(*profile, CurrentDir);
    }
    if (const std::optional<std::string> file = ConsumeValueOption(Options, "ca_file")) {
        BuildCommand.KWJsonName = *file;
    }
    if (const std::optional<std::string> dir = ConsumeValueOption(Options, "outdir")) {
        BuildCommand.OutDir = *dir;
        BuildCommand.UseMSBuild = true;
    }
    if (const std::optional<std::string> args = ConsumeValueOption(Options, "msbuildargs")) {
        BuildCommand.MSBuildArgs = *args;
        BuildCommand.UseMSBuild = true;
    }
    if (ConsumeBareOption(Options, "quickvalidate")) {
        BuildCommand.SetFlag(TBuildFlag::QuickValidateBuild);
        BuildCommand.OverrideLogLevel = 0;
        if (!BuildCommand.HasFlag(TBuildFlag::Rebuild)) {
            WriteLine("Warning: Using '/quickvalidate' feature without '/rebuild' command might "
                      "lead to undefined behaviour.");
        }
    }
    return true;
}

std::int64_t TGridConsole::ParseInjectBase(std::string_view value) {
    if (core::SameText(value, "Default")) {
        return -1;
    }
    if (core::SameText(value, "Cygwin")) {
        return 0x61000000;
    }
    std::uint64_t result = 0;
    for (const char c : value) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            core::Raise(
                core::EGeneralError("Invalid hexadecimal string: \"" + std::string(value) + "\""));
        }
        result = (result << 4) | static_cast<std::uint64_t>(digit);
    }
    return result == 0 ? -1 : static_cast<std::int64_t>(result);
}

void TGridConsole::ApplyLogOptions() {
    std::optional<std::string> log = ConsumeValueOption(Options, "log");
    if (!log && ConsumeBareOption(Options, "log")) {
        log = std::string();
    }
    if (log) {
        std::string name;
        if (!log->empty()) {
            name = platform::ExpandPath(*log, CurrentDir);
        } else {
            const std::string primary = platform::ToNativeSeparators(BuildCommand.PrimaryFilename);
            name = platform::IncludeTrailingDelimiter(CurrentDir) + "MV_" +
                   platform::ChangeFileExt(platform::ExtractFileName(primary), ".log");
        }
        if (platform::ExtractFileExt(name).empty()) {
            name += ".log";
        }
        ExpandTitleMacros(name);
        const std::string dir = platform::ExtractFileDir(name);
        std::string error;
        if (!platform::ForceDirectories(dir, &error)) {
            core::Raise(core::EGeneralError("Unable to create log file directory: " + dir + "\r\n" +
                                            "Failed to create directory (" + dir + "): " + error));
        }
        OpenLogFile(name);
    }
    const auto levelName = [](std::string_view level) { return level; };
    if (const auto* level = ConsumeTableValue(Options, "loglevel", LogLevels, levelName)) {
        BuildCommand.OverrideLogLevel = static_cast<std::int8_t>(level - LogLevels);
    }
    BuildCommand.LogWarnings = ConsumeBareOption(Options, "log_warning");
}

void TGridConsole::ApplyDefaultProjectRule() {
    if (!Preset.empty() && (!Projects.empty() || !Configurations.empty())) {
        core::Raise(core::EGeneralError(
            "/PRESET conflicts with other options specifying projects/configurations."));
    }
    if (!Preset.empty() || !Projects.empty() || MakeMode) {
        DefaultProject = false;
        return;
    }
    DefaultProject = true;
    const std::string primary = platform::ToNativeSeparators(BuildCommand.PrimaryFilename);
    Projects = platform::FileNameWithoutExt(primary);
    BuildCommand.SetFlag(TBuildFlag::EntireSolution);
    const std::string ext = platform::ExtractFileExt(primary);
    if ((core::SameText(ext, ".dsw") || core::SameText(ext, ".vcw") ||
         core::SameText(ext, ".sln")) &&
        ext != ".sln") {
        WriteLine("Warning: Project to build (/PRJ) not specified. Defaulting to \"" + Projects +
                  "\".");
    }
}

void TGridConsole::ApplyLateOptions() {
    const bool cmd = (Modes & console::Command) != 0;
    if (const std::optional<std::string> args = ConsumeValueOption(Options, "AdditionalArgs")) {
        BuildCommand.AdditionalArgs = *args;
    }
    if (ConsumeBareOption(Options, "VirtualizeDirectX")) {
        BuildCommand.VirtualizeDirectX = true;
    }
    if (ConsumeBareOption(Options, "DisablePdbForwarding")) {
        BuildCommand.DisablePdbForwarding = true;
    }
    ConsumeValueOption(Options, "CiIssuer");
    if (const std::optional<std::string> issuer = ConsumeValueOption(Options, "BiIssuer")) {
        BuildCommand.BiIssuer = *issuer;
    }
    if (const std::optional<std::string> dirs = ConsumeValueOption(Options, "monitordirs")) {
        for (std::string& dir : SplitItems(*dirs, ";")) {
            BuildCommand.MonitoredDirs.Add(std::move(dir));
        }
    }
    if (const std::optional<std::string> file = ConsumeValueOption(Options, "HideFile")) {
        BuildCommand.HideFile = *file;
    }
    if (const std::optional<std::string> test = ConsumeValueOption(Options, "test")) {
        BuildCommand.TestFwId = *test;
        if (Modes & console::Test) {
            BuildCommand.BuildClass = "test";
        }
    }
    SetFlagOption("nomsgs", TBuildFlag::NoOutputSysMessages);
    SetFlagOption("OnlyFailLocally=on", TBuildFlag::EnableOnlyFailLocally);
    SetFlagOption("OnlyFailLocally=off", TBuildFlag::DisableOnlyFailLocally);
    if (cmd) {
        for (const std::string_view on :
             {"RootTaskAware", "RootTaskAware=true", "RootTaskAware=yes", "RootTaskAware=on",
              "RootTaskAware=1"}) {
            if (ConsumeBareOption(Options, on)) {
                BuildCommand.SetFlag(TBuildFlag::RootTaskAware);
                break;
            }
        }
        for (const std::string_view off :
             {"RootTaskAware=false", "RootTaskAware=no", "RootTaskAware=off", "RootTaskAware=0"}) {
            if (ConsumeBareOption(Options, off)) {
                BuildCommand.SetFlag(TBuildFlag::RootTaskAware, false);
                break;
            }
        }
    }
    if (ConsumeBareOption(Options, "buildcachereadonly") ||
        ConsumeBareOption(Options, "buildcachereadonly=on")) {
        BuildCommand.SetFlag(TBuildFlag::OverrideUseBuildCacheReadOnly);
        BuildCommand.BuildCacheReadOnly = true;
    }
    if (ConsumeBareOption(Options, "buildcachereadonly=off")) {
        BuildCommand.SetFlag(TBuildFlag::OverrideUseBuildCacheReadOnly);
        BuildCommand.BuildCacheReadOnly = false;
    }
    if (!ConsumeBareOption(Options, "LimitBMData")) {
        ConsumeBareOption(Options, "LimitBMData=0");
    }
    if (ConsumeBareOption(Options, "LimitBMData=1")) {
        BuildCommand.SetFlag(TBuildFlag::MonitorSuppressGraphs);
        BuildCommand.SetFlag(TBuildFlag::MonitorSuppressBars);
    }
    SetFlagOption("LimitBMData=2", TBuildFlag::MonitorSuppressBars);
    SetFlagOption("LimitBMData=3", TBuildFlag::MonitorSuppressGraphs);
}

} // namespace console
