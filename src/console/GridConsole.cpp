#include "console/GridConsole.h"

#include "console/CmdLineParser.h"
#include "console/ExitCode.h"
#include "core/Errors.h"
#include "core/NotifyQueue.h"
#include "core/TextHelpers.h"
#include "platform/CommandLine.h"
#include "platform/Console.h"
#include "platform/Environment.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "proxy/BuildProxy.h"
#include "proxy/OptionList.h"

#include <optional>
#include <unordered_map>
#include <vector>

namespace console {

using build::ConsumeBareOption;
using build::ConsumeValueOption;
using build::FindValueOption;
using build::JoinLeftoverOptions;
using build::TrimText;
using build::TryParseInt32;
using build::UnquoteText;

namespace {
constexpr std::string_view BuildContextVariable = "TavrixBuildContext";

std::string ProgramName() {
    return platform::FileNameWithoutExt(platform::ProgramFileName());
}

[[noreturn]] void RaiseSetEnvFailure(std::string_view name) {
    core::Raise(core::EGeneralError("Failed to set environment variable '" + std::string(name) +
                                    "' (Ansi)"));
}

// The text form of the all-zero GUID, which stands for "the one running build".
constexpr std::string_view NullBuildID = "{00000000-0000-0000-0000-000000000000}";
} // namespace

TGridConsole::TGridConsole(std::string_view title, TConsoleModes modes)
    : Title(std::string(title) + " " + std::string(ConsoleVersion)), Modes(modes),
      StdOutIsConsole(platform::StdOutIsConsole()), ServiceLink(CreateAgentServiceLink()),
      CommandLine(platform::ProcessCommandLine()) {
    BuildCommand.SetFlag(records::TBuildFlag::Attach);
    BuildCommand.SetFlag(records::TBuildFlag::Monitor);
    BuildCommand.RavelconCommandLine = CommandLine;
    BuildCommand.ConsoleOutputCodePage = platform::ConsoleOutputCodePage();
}

TGridConsole::~TGridConsole() {
    // Release in the fixed order: output files, then the rest, then queued notifications.
    OutStream.reset();
    LogStream.reset();
    if (BuildProxy) {
        // The run is decided: the build system's end no longer changes the exit code.
        BuildProxy->SetExitHandler(nullptr);
        BuildProxy.reset();
    }
    Options.Clear();
    MakeTargets.Clear();
    RetryClock.reset();
    ServiceLink.reset();
    ServiceStatus.reset();
    EndpointLibrary.reset();
    core::MainQueue().Remove(this);
}

void TGridConsole::FatalError(std::string_view text) {
    Silent = false;
    WriteLine("Fatal Error: " + std::string(text));
    Finish(3);
}

bool TGridConsole::RefuseNestedJob() {
    const std::optional<std::string> context = platform::GetEnvVar(BuildContextVariable);
    if (context && *context == "1") {
        FatalError("An Morvek distributed job cannot be started from within another distributed "
                   "job.");
        return true;
    }
    // Every process started from here inherits the marker.
    if (!platform::SetEnvVar(BuildContextVariable, "1")) {
        RaiseSetEnvFailure(BuildContextVariable);
    }
    return false;
}

void TGridConsole::ApplyExtraBuildSystemArguments() {
    std::optional<std::string> value = ConsumeValueOption(Options, "exitcodebase");
    if (!value) {
        if (!ConsumeBareOption(Options, "exitcodebase")) {
            return;
        }
        value = std::string();
    }
    BuildSystemArguments = "/exitcodebase=";
    const std::string_view text = UnquoteText(TrimText(*value));
    int base = 0;
    if (TryParseInt32(text, base)) {
        SetExitCodeBase(base);
        BuildSystemArguments += text;
    } else {
        SetExitCodeBase(DefaultExitCodeBase);
        BuildSystemArguments += std::to_string(DefaultExitCodeBase);
    }
}

void TGridConsole::ApplyTitle() {
    const std::optional<std::string> value = ConsumeValueOption(Options, "title");
    if (!value) {
        return;
    }
    // Read again as typed: the C-runtime rules would eat a trailing backslash.
    BuildCommand.Caption = TCmdLineParser::FromProcessCommandLine().GetValue("title", *value);
}

bool TGridConsole::PrepareOutFile() {
    OutFileName = ConsumeValueOption(Options, "out").value_or(std::string());
    // A title macro may stand in the directory part: the directory made is the expanded one.
    ExpandTitleMacros(OutFileName);
    if (!OutFileName.empty()) {
        const std::string dir =
            platform::ExtractFileDir(platform::ExpandPath(OutFileName, CurrentDir));
        if (!platform::ForceDirectories(dir)) {
            FatalError("The path specified with /OUT parameter is invalid.");
            return false;
        }
    }
    OutReady = true;
    return true;
}

void TGridConsole::ApplyFlagOptions() {
    MakeMode = ConsumeBareOption(Options, "make");
    Silent = ConsumeBareOption(Options, "silent");
    NoLogo = ConsumeBareOption(Options, "nologo");
    Wait = !ConsumeBareOption(Options, "nowait");
    EnableAgent = ConsumeBareOption(Options, "enable");
    ResetFileCache = ConsumeBareOption(Options, "reset");
    DisableAgent = ConsumeBareOption(Options, "disable");
}

void TGridConsole::ApplyCompilerLinkerOptions() {
    if (!(Modes & VisualStudio)) {
        return;
    }
    const struct {
        std::string_view Name;
        core::TStringListEx& Target;
    } lists[] = {
        {"cl_add", BuildCommand.CompilerParamsAdd},
        {"cl_rem", BuildCommand.CompilerParamsSub},
        {"link_add", BuildCommand.LinkerParamsAdd},
        {"link_rem", BuildCommand.LinkerParamsSub},
    };
    for (const auto& list : lists) {
        if (const std::optional<std::string> value = ConsumeValueOption(Options, list.Name)) {
            list.Target.SplitWhitespace(*value);
        }
    }
}

void TGridConsole::ApplyStopOptions() {
    if (const std::optional<std::string> id = ConsumeValueOption(Options, "stop")) {
        StopBuild = true;
        StopBuildID = *id;
    } else if (ConsumeBareOption(Options, "stop")) {
        StopBuild = true;
        StopBuildID = NullBuildID;
    }
    StopAllBuilds = ConsumeBareOption(Options, "stopall");
}

void TGridConsole::ApplySetEnvOptions() {
    // Replayed from the last entry to the first, so the first /SETENV of a name wins.
    // Every lookup is hashed: thousands of /SETENV entries take linear time.
    struct TAssignment {
        std::string Name;
        std::string Value;
    };
    std::vector<TAssignment> assignments; // in command-line order
    core::TStringListEx kept(Options.Options());
    for (const std::string& entry : Options.Strings()) {
        if (entry.find('=') == std::string::npos ||
            !core::SameText(core::TStringListEx::NameOf(entry), "setenv")) {
            kept.Add(entry);
            continue;
        }
        const std::string_view assignment = core::TStringListEx::ValueOf(entry);
        const std::size_t eq = assignment.find('=');
        assignments.push_back(
            {std::string(assignment.substr(0, eq)), eq == std::string_view::npos
                                                        ? std::string()
                                                        : std::string(assignment.substr(eq + 1))});
    }
    if (assignments.empty()) {
        return;
    }
    Options = std::move(kept);

    // The environment: names are exact, so only the first assignment of each is made.
    std::unordered_map<std::string_view, std::size_t> firstOfName;
    for (std::size_t i = 0; i < assignments.size(); ++i) {
        firstOfName.emplace(assignments[i].Name, i);
    }
    // ForcedEnv keeps the list's own rules (names ignoring case, an empty value removes
    // the entry), replayed on slots so that no step searches the list.
    std::vector<std::optional<std::string>> slots;
    std::unordered_map<std::string, std::size_t> slotOfName;
    for (const std::string& item : BuildCommand.ForcedEnv.Strings()) {
        if (item.find('=') != std::string::npos) {
            slotOfName.emplace(core::LowerCaseAscii(core::TStringListEx::NameOf(item)),
                               slots.size());
        }
        slots.emplace_back(item);
    }
    std::vector<platform::TEnvChange> changes;
    for (std::size_t i = assignments.size(); i-- > 0;) {
        const TAssignment& a = assignments[i];
        if (firstOfName.at(a.Name) == i) {
            changes.push_back(
                {a.Name, a.Value.empty() ? std::nullopt : std::optional<std::string>(a.Value)});
        }
        std::string folded = core::LowerCaseAscii(a.Name);
        const auto found = slotOfName.find(folded);
        if (a.Value.empty()) {
            if (found != slotOfName.end()) {
                slots[found->second].reset();
                slotOfName.erase(found);
            }
        } else if (found != slotOfName.end()) {
            slots[found->second] = a.Name + "=" + a.Value;
        } else {
            slotOfName.emplace(std::move(folded), slots.size());
            slots.emplace_back(a.Name + "=" + a.Value);
        }
    }
    std::string invalidName;
    if (!platform::ChangeEnvVars(changes, &invalidName)) {
        RaiseSetEnvFailure(invalidName);
    }
    BuildCommand.ForcedEnv.Clear();
    for (std::optional<std::string>& slot : slots) {
        if (slot) {
            BuildCommand.ForcedEnv.Add(std::move(*slot));
        }
    }
}

void TGridConsole::Run() {
    ReadExitCodeBase(CommandLine);
    if (RefuseNestedJob()) {
        return;
    }
    CurrentDir = platform::GetCurrentDir();
    DevenvSyntax = 0;
    const bool optionFileExpanded = ParseCommandLine();
    if (Modes & VisualStudio) {
        if (const std::optional<std::string> cfg = ConsumeValueOption(Options, "cfg")) {
            Configurations = *cfg;
        }
        if (!optionFileExpanded) {
            build::TBuildProxy::LoadBuildConfigFile(Configurations, BuildCommand, Options);
        }
    }
    try {
        build::TBuildProxy::ApplyBuildOptions(BuildCommand, Options);
    } catch (const std::exception& e) {
        FatalError(e.what());
        return;
    }
    ApplyExtraBuildSystemArguments();
    for (const std::string_view ignored :
         {"forcemon", "playmon", "build", "project", "wait", "projectconfig"}) {
        ConsumeBareOption(Options, ignored);
    }
    OptionsParsed = true;
    ApplyTitle();
    if (!PrepareOutFile()) {
        return;
    }
    if (!BuildCommand.Caption.empty()) {
        WriteLine(BuildCommand.Caption);
        WriteLine("");
    }
    ApplyFlagOptions();
    ApplyCompilerLinkerOptions();
    ApplyStopOptions();
    ApplySetEnvOptions();
    if (!NoLogo && !Silent) {
        WriteBanner(Title);
    }
    if (ConsumeBareOption(Options, "?") || ConsumeBareOption(Options, "help") ||
        ArgumentCount == 0) {
        ShowUsage();
        Finish(0);
        return;
    }

    try {
        ServiceLink->SetOnDisconnected([this] { ServiceDisconnected(); });
        ServiceStatus = ServiceLink->QueryStatus();
    } catch (const std::exception&) {
        ServiceStatus.reset();
    }
    if (ConsumeBareOption(Options, "queryagentstatus")) {
        ShowAgentStatus();
        Finish(0);
        return;
    }
    if (!ServiceStatus) {
        WriteLine("Processing is unable to continue due to the Agent Service is not running.");
        Finish(3);
        return;
    }
    if (ConsumeBareOption(Options, "clearbuildcache")) {
        ClearBuildCache();
        return;
    }

    // A value that is no integer stays behind for the leftover check.
    if (const int index = FindValueOption(Options, "buildcachepchstrategy"); index >= 0) {
        int value = 0;
        if (TryParseInt32(core::TStringListEx::ValueOf(Options[index]), value)) {
            BuildCommand.BuildCachePchStrategy = value;
            Options.Delete(index);
        }
    }
    if (ConsumeBareOption(Options, "buildcacheenablestdininputtaskcaching")) {
        BuildCommand.BuildCacheEnableStdinInputTaskCaching = true;
    }
    ListBuilds = ConsumeBareOption(Options, "list");

    if (EnableAgent || DisableAgent || ResetFileCache || StopBuild || StopAllBuilds || ListBuilds) {
        if (!BuildCommand.PrimaryFilename.empty()) {
            FatalError("A filename to build cannot be specified with /ENABLE, /DISABLE, /RESET, "
                       "/STOP");
            return;
        }
    } else if (!ResolveBuildTarget() || !ApplyAssemblyOptions()) {
        return;
    }
    ApplyLateOptions();

    if (!Options.Empty()) {
        FatalError("Invalid/conflicting options specified: " + JoinLeftoverOptions(Options));
        return;
    }
    BuildCommand.EnvBlock = platform::GetEnvBlock();
    platform::EnableVirtualTerminal();
    Dispatch();
}

bool TGridConsole::ResolveBuildTarget() {
    if (PositionalFileCount > 1) {
        FatalError("Only one filename to build can be specified");
        return false;
    }
    if (const std::optional<std::string> command = ConsumeValueOption(Options, "command")) {
        BuildCommand.Command = *command;
        BuildCommand.BuildClass = (Modes & console::Command) ? "make" : "wrap";
        if (core::SameText(BuildCommand.Command, "devenv")) {
            BuildCommand.Command = "devenv.exe";
        }
    }
    if (const std::optional<std::string> dir = ConsumeValueOption(Options, "VSInstallDir")) {
        BuildCommand.VSInstallDir = *dir;
    }
    if (BuildCommand.Command.empty()) {
        if (BuildCommand.PrimaryFilename.empty()) {
            FatalError((Modes & VisualStudio)
                           ? "Missing filename of solution/workspace/project to build"
                           : "Missing filename or command of job to execute");
            return false;
        }
        std::string fileName = platform::ExpandPath(BuildCommand.PrimaryFilename, CurrentDir);
        if (platform::ExtractFileExt(fileName).empty()) {
            std::string chosen = fileName + ".sln";
            for (const std::string_view ext : {".sln", ".dsw", ".vcw"}) {
                if (platform::FileExists(fileName + std::string(ext))) {
                    chosen = fileName + std::string(ext);
                    break;
                }
            }
            fileName = chosen;
        }
        if (!platform::FileExists(fileName)) {
            core::Raise(core::EGeneralError("File not found: " + fileName));
        }
        BuildCommand.PrimaryFilename = fileName;
        std::string version = ConsumeValueOption(Options, "vsversion").value_or("");
        if (const std::size_t vc = core::LowerCaseAscii(version).find("vc");
            vc != std::string::npos) {
            version.erase(vc, 2);
        }
        if (ConsumeBareOption(Options, "usemsbuild")) {
            BuildCommand.UseMSBuild = true;
        }
        // The environment's tools stand in for the IDE's when MSBuild runs with both
        // /USEENV and /VSINSTALLDIR.
        const bool useEnvironment = BuildCommand.UseMSBuild &&
                                    build::FindBareOption(Options, "useenv") >= 0 &&
                                    !BuildCommand.VSInstallDir.empty();
        BuildCommand.BuildClass = build::TBuildProxy::GetBuildClass(
            fileName, version, useEnvironment, BuildCommand.UseMSBuild);
        if (build::TBuildProxy::IsVSBuildClass(BuildCommand.BuildClass) &&
            !(Modes & VisualStudio)) {
            FatalError("For Visual Studio builds, please use Ravelcon instead of " + ProgramName());
            return false;
        }
        if (build::TBuildProxy::IsJobBuildClass(BuildCommand.BuildClass) && !RunsJobs) {
            FatalError("For Reda Duruzo builds, please use twConsole instead of " + ProgramName());
            return false;
        }
        return true;
    }
    if (!(Modes & console::Command) && !RunsJobs) {
        FatalError("For Reda Duruzo builds, please use twConsole instead of " + ProgramName());
        return false;
    }
    return true;
}

void TGridConsole::Dispatch() {
    if (!DumpFileName.empty()) {
        DumpSourceFiles();
        return;
    }
    if (EnableAgent || DisableAgent) {
        SetAgentEnabled(EnableAgent);
        return;
    }
    if (ResetFileCache) {
        ResetAgentFileCache();
        return;
    }
    if (StopBuild) {
        Finish(StopBuildByID(StopBuildID));
        return;
    }
    if (StopAllBuilds) {
        StopAllRunningBuilds();
        return;
    }
    if (ListBuilds) {
        ListRunningBuilds();
        return;
    }
    RetryClock = std::make_unique<core::TClock>(1000, false, [this] { RetryStart(); });
    BuildProjectList();
    StartBuild();
}

} // namespace console
