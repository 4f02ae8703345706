#pragma once
// The console object and its run sequence: one per process, created by the process
// entry, run once, then the main loop runs until Finish stops it.
#include "console/ServiceLink.h"
#include "console/StatusLine.h"
#include "core/NotifyQueue.h"
#include "core/ProductVersion.h"
#include "core/StringListEx.h"
#include "platform/Files.h"
#include "platform/Library.h"
#include "proxy/BuildProxy.h"
#include "records/BuildPackets.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace console {

enum TConsoleMode : std::uint8_t {
    VisualStudio = 1,
    Command = 4,
    Test = 8,
};
using TConsoleModes = std::uint8_t;

constexpr std::string_view ConsoleVersion = core::ProductVersionText;
constexpr std::string_view ConsoleTitle = "Build Acceleration Console";

class TGridConsole {
public:
    TGridConsole(std::string_view title, TConsoleModes modes);
    ~TGridConsole();
    TGridConsole(const TGridConsole&) = delete;
    TGridConsole& operator=(const TGridConsole&) = delete;

    // Decides what this invocation does and sets up the work; the end of the run is
    // reported only through Finish, FatalError or an exception.
    void Run();

    // Splits the command line, "twConsoleParams" and option files into Options,
    // positional values and Modes. True when an option file was expanded.
    bool ParseCommandLine();

    void FatalError(std::string_view text);
    void WriteLine(std::string_view text, bool toStdErr = false);
    void ShowUsage();
    void ExpandTitleMacros(std::string& fileName) const;
    // Creates the log file and writes its header; every later line is copied to it.
    void OpenLogFile(std::string_view fileName);
    // Writes the texts of a build output event: Text to standard output, ErrText to
    // standard error.
    void WriteOutputEvent(std::string_view text, std::string_view errText);

    // Fills the request's project list from presets, /PRJ, /CFG, the compatibility
    // syntax and /make targets.
    void BuildProjectList();
    // Writes the C and C++ sources of the primary file's projects to DumpFileName.
    void DumpSourceFiles();
    // /INJECTBASE: "Default", "Cygwin" or hexadecimal digits; 0 reads as all bits set.
    static std::int64_t ParseInjectBase(std::string_view value);

    // Replaces the agent connection (tests hand the run sequence a service status).
    void SetServiceLink(std::unique_ptr<TServiceLink> link) { ServiceLink = std::move(link); }

    // Starts the build through a new build proxy; waits for a slot, or ends the run
    // under /NOWAIT, when the agent refuses.
    void StartBuild();
    void RetryStart();
    // Starts the live view of the running build when the request asks for it.
    void OpenBuildMonitor();
    // Every monitor event of the build; output events are printed.
    void HandleMonitorEvent(packets::TPacket& event);
    // The build-system process has ended.
    void BuildSystemExit(core::TProcess& process);
    // The agent connection of build proxies (tests replace the real one).
    build::TBuildProxy::TConnectionFactory ProxyConnection = comm::ConnectToAgent;

    // Fields, in the order of the console's data model.
    std::string Title;
    TConsoleModes Modes;
    // Job files and /COMMAND are this console's own (see ConsoleFlavor.h).
    bool RunsJobs = false;
    records::TBuildCommandPacket BuildCommand;
    bool StdOutIsConsole = false;
    std::unique_ptr<TServiceLink> ServiceLink;
    std::unique_ptr<TServiceStatus> ServiceStatus;
    std::string StopBuildID;
    std::unique_ptr<build::TBuildProxy> BuildProxy;
    bool Waiting = false;
    std::unique_ptr<core::TClock> RetryClock;
    std::unique_ptr<core::TProcess> MonitorView; // /OPENMONITOR's live view, detached
    std::string Configurations;
    std::string Projects;
    std::string ProjectConfiguration;
    std::string Preset;
    core::TStringListEx Options;
    bool NoLogo = false;
    bool Silent = false;
    bool EnableAgent = false;
    bool DisableAgent = false;
    bool ResetFileCache = false;
    bool MakeMode = false;
    bool StopBuild = false;
    bool StopAllBuilds = false;
    bool ListBuilds = false;
    bool Wait = true;
    std::string DumpFileName;
    std::unique_ptr<platform::TFileWriter> LogStream;
    std::unique_ptr<platform::TFileWriter> OutStream;
    core::TStringListEx MakeTargets;
    std::string OutFileName;
    std::string LogFileName;
    bool OutReady = false;
    bool OptionsParsed = false;
    std::uint8_t DevenvSyntax = 0;
    bool DefaultProject = false;
    std::unique_ptr<platform::TLibrary> EndpointLibrary;
    std::string BuildSystemArguments;
    int Completions = 0;
    bool OutFileFailed = false; // the /OUT file failed: nothing more goes to it
    bool OutputLost = false;    // output could not be delivered: the run ends non-zero
    std::string CommandLine;
    // The status line under the build's output (a terminal only; never with /OUT or /LOG).
    TStatusLine Status;
    bool StatusShown = false;
    bool StatusEnded = false;

    // Results of ParseCommandLine besides the fields above.
    int ArgumentCount = 0;       // arguments before option files were expanded
    int PositionalFileCount = 0; // positional file names seen
    std::string CurrentDir;      // captured once by the run sequence

private:
    void WriteToFile(std::unique_ptr<platform::TFileWriter>& file, std::string_view bytes);
    void LoseFile(std::unique_ptr<platform::TFileWriter>& file, const std::string& path,
                  std::string_view failure, const std::string& error);
    bool StatusEnabled() const;
    void ShowStatus();
    void HideStatus();
    bool RefuseNestedJob();
    void ApplyExtraBuildSystemArguments();
    void ApplyTitle();
    bool PrepareOutFile();
    void ApplyFlagOptions();
    void ApplyCompilerLinkerOptions();
    void ApplyStopOptions();
    void ApplySetEnvOptions();
    void ShowAgentStatus();
    void CheckEndpointClient();
    void ServiceDisconnected();
    // Sends an agent request; a refusal or failure is said and ends the run with 3.
    bool Refused(const packets::TPacket& request);
    void SetAgentEnabled(bool enable);
    void ResetAgentFileCache();
    int StopBuildByID(std::string_view idText);
    void StopAllRunningBuilds();
    void ListRunningBuilds();
    void ClearBuildCache();
    bool ResolveBuildTarget();
    void SetFlagOption(std::string_view name, records::TBuildFlag flag, bool effective = true);
    bool ApplyAssemblyOptions();
    bool ApplyVisualStudioOptions();
    void ApplyLogOptions();
    void ApplyDefaultProjectRule();
    void ApplyLateOptions();
    void Dispatch();
    void CreateBuildProxy();
    void CountCompletion();
};

// Writes the banner (title and notice between two rules) straight to standard output.
void WriteBanner(std::string_view title);

} // namespace console
