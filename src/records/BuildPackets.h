#pragma once
// The build request and the other records of the build unit, as field tables.
#include "packets/Packet.h"

namespace records {

// Members of the build request's flag set (bit numbers; stored in 8 bytes).
enum class TBuildFlag : std::uint8_t {
    Attach = 0,
    Monitor = 1,
    Rebuild = 2,
    Clean = 3,
    ShowCmd = 4,
    ShowAgent = 5,
    All = 6,
    Beep = 7,
    AllFatal = 8,
    ShowTime = 9,
    BrowseOn = 10,
    BrowseOff = 11,
    NoRecurse = 12,
    OpenMonitor = 13,
    NoLink = 14,
    SelectiveBuild = 15,
    UseEnv = 16,
    OverrideForceAll = 17,
    KeepMonitorFile = 18,
    ForceMorvekLink = 19,
    ForceNoMorvekLink = 20,
    ProjectConfig = 21,
    AvoidLocalOff = 22,
    AvoidLocalOn = 23,
    UseIDEMonitor = 24,
    UseIntelCompiler = 25,
    StopOnErrors = 26,
    EntireSolution = 27,
    BatchBuildMode = 28,
    InitiatedNotFromIDE = 29,
    NoDotNetVirt = 30,
    UseSameConsole = 31,
    DeployWithDevEnv = 32,
    NoWatchDogThread = 33,
    Only64bitHelpers = 34,
    NoCryptVirt = 35,
    NoUNCSync = 36,
    QuickValidateBuild = 37,
    EnableOnlyFailLocally = 38,
    DisableOnlyFailLocally = 39,
    NoOutputSysMessages = 40,
    SecureCommOn = 41,
    SecureCommOff = 42,
    CreatePchLocally = 43,
    BuildAvoidanceCache = 44,
    FreeCompletedTasks = 45,
    UseCloudHelpers = 46,
    AvoidCloudHelpers = 47,
    PE32FallbackOn = 48,
    PE32FallbackOff = 49,
    ForceEnglishMSBuildOutputOn = 50,
    ForceEnglishMSBuildOutputOff = 51,
    FreeCompletedTasksOff = 52,
    RootTaskAware = 53,
    RespectActiveConfig = 54,
    OverrideUseBuildCacheReadOnly = 55,
    MonitorSuppressGraphs = 56,
    MonitorSuppressBars = 57,
};
using TBuildFlags = packets::TSet<TBuildFlag, 8>;

// One project to build.
struct TBuildCommandProjectPacket : packets::TPacket {
    std::string Name;
    std::string Config; // "configuration|platform" where the console gives a platform
    std::string RelativePath_Optional;
    std::string MSBuildName;
    std::string IdeName;
    RAVEL_PACKET(TBuildCommandProjectPacket, packets::TPacket, 5)

    TBuildCommandProjectPacket(std::string name, std::string config, std::string relativePath = {},
                               std::string msBuildName = {}, std::string ideName = {})
        : TBuildCommandProjectPacket() {
        Name = std::move(name);
        Config = std::move(config);
        RelativePath_Optional = std::move(relativePath);
        MSBuildName = std::move(msBuildName);
        IdeName = std::move(ideName);
    }
};
using TBuildCommandProjectPacketList = packets::TPacketList<TBuildCommandProjectPacket>;

// The build request handed to the build-system process.
struct TBuildCommandPacket : packets::TPacket {
    core::TGUID BuildID;
    TBuildFlags Flags;
    std::string BuildClass;
    std::string Caption;
    std::string PrimaryFilename;
    std::string EnvBlock;
    std::string WorkspaceAsStr;
    std::u16string LocalAppDataDir;
    core::TStringListEx SelectedSources;
    core::TStringListEx LoadedProjectPaths;
    core::TStringListEx Obsolete_ActiveProjects;
    core::TStringListEx CompilerParamsAdd;
    core::TStringListEx CompilerParamsSub;
    core::TStringListEx LinkerParamsAdd;
    core::TStringListEx LinkerParamsSub;
    core::TStringListEx ShouldBuildProjectPaths;
    core::TStringListEx AllowRemote;
    core::TStringListEx AllowIntercept;
    std::string CurDir;
    std::string Command;
    std::string ProfileFilename;
    std::string RavelconCommandLine;
    std::string MonitorFilename;
    std::string EVC4_CeConfig;
    std::int32_t OverrideMaxHelpersPerJob{};
    TBuildCommandProjectPacketList ActiveProjects;
    core::TStringListEx BoundsCheckerInstrumentedProjects;
    std::string IntelCompilerVersion;
    std::int32_t MinWinVer_Major{};
    std::int32_t MinWinVer_Minor{};
    std::int32_t MaxWinVer_Major{};
    std::int32_t MaxWinVer_Minor{};
    std::int8_t OverrideLogLevel{};
    core::TStringListEx ForcedEnv;
    core::TStringListEx Obsolete_NintendoProjects;
    bool LogWarnings{};
    std::string InitiatorName;
    bool KeepNumOfJobs{};
    std::string PlugInVer;
    std::string KWJsonName;
    std::string OutDir;
    std::string MSBuildArgs;
    bool UseMSBuild{};
    std::int64_t InjectBase{};
    std::string AdditionalArgs;
    bool VirtualizeDirectX{};
    std::int32_t PluginUpDateVer{};
    bool DisablePdbForwarding{};
    std::int32_t UseIDEMonitorPID{};
    core::TStringListEx MonitoredDirs;
    std::string HideFile;
    std::string VSInstallDir;
    std::int32_t MvExitCodeShift{};
    std::int32_t MSBuildMaxInstances{};
    std::string BiIssuer;
    std::string TestFwId;
    std::uint32_t ConsoleOutputCodePage{};
    std::int8_t OverridePredictedExecutionMode{};
    std::int8_t OverrideUseMSBuild{};
    std::string Obsolete_BuildCacheServer;
    std::int32_t Obsolete_BuildCacheRole{};
    bool UseLocalBuildCache{};
    std::string RemoteBuildCacheServer;
    std::int32_t BuildCachePchStrategy{};
    std::int32_t OverrideMaxConcurrentPDBs{};
    std::int32_t OverrideMultiThreadedFileSyncThreads{};
    std::int32_t OverrideMaxParallelLinkTargets{};
    std::int32_t OverrideClangPathConvert{};
    std::string ConfigFileContent;
    std::int32_t OverrideNeededHelpersHistoryTimeSec{};
    std::int32_t BuildCacheEnableOlderMSVCSupport{};
    bool BuildCacheEnableStdinInputTaskCaching{};
    bool BuildCacheReadOnly{};
    bool UseBuildCacheCluster{};
    std::string BuildCacheGenerateToolProfile;
    std::string BuildCacheProfile;
    RAVEL_PACKET(TBuildCommandPacket, packets::TPacket, 76)

    bool HasFlag(TBuildFlag flag) const { return Flags.Contains(flag); }
    void SetFlag(TBuildFlag flag, bool on = true) { Flags.Set(flag, on); }
};

struct TExecuteSearchReplacePacket : packets::TPacket {
    bool CaseSensitive{};
    bool IncludeTerminatingNull{};
    std::string SearchForContent;
    std::string ReplaceWithContent;
    RAVEL_PACKET(TExecuteSearchReplacePacket, packets::TPacket, 4)
};
using TExecuteSearchReplacePacketList = packets::TPacketList<TExecuteSearchReplacePacket>;

struct TExecuteSearchReplaceFilePacket : packets::TPacket {
    std::string Path;
    TExecuteSearchReplacePacketList Items;
    RAVEL_PACKET(TExecuteSearchReplaceFilePacket, packets::TPacket, 2)
};

struct TExecuteIncrementalFilePacket : packets::TPacket {
    std::string Path;
    std::int32_t Revision{};
    bool ContinueWithExistingFile{};
    std::int32_t BaseRevision{};
    std::string SyncPath;
    bool LargeFile{};
    RAVEL_PACKET(TExecuteIncrementalFilePacket, packets::TPacket, 6)
};
using TExecuteIncrementalFilePacketList = packets::TPacketList<TExecuteIncrementalFilePacket>;

struct TExecuteDirContentPacket : packets::TPacket {
    std::string DirName;
    packets::TMemoryStream DirData;
    RAVEL_PACKET(TExecuteDirContentPacket, packets::TPacket, 2)
};

struct TExecuteCommonDirPacket : packets::TPacket {
    std::string DirName;
    std::string FileMask;
    bool ScanOutputText{};
    bool DeleteCached{};
    core::TStringListEx ExistingFiles;
    RAVEL_PACKET(TExecuteCommonDirPacket, packets::TPacket, 5)
};

struct TExecuteOutputFilePacket : packets::TPacket {
    std::string Path;
    bool Persistent{};
    bool PullAsSinglePart{};
    bool Incremental{};
    bool LargeFile{};
    RAVEL_PACKET(TExecuteOutputFilePacket, packets::TPacket, 5)
};

struct TExecuteResultPacket : packets::TPacket {
    std::int32_t ExitCode{};
    std::int64_t KernelTime{};
    std::int64_t UserTime{};
    std::string StdOutText;
    TExecuteIncrementalFilePacketList IncrementalFiles;
    packets::TMemoryStream MetaOutput;
    std::string StdErrText;
    packets::TMemoryStream PdbActionStream;
    core::TStringListEx PossibleInputFilesAccessed;
    std::string MissingDirect3DFileName;
    RAVEL_PACKET(TExecuteResultPacket, packets::TPacket, 10)
};

struct TParentProcessIDPacket : packets::TPacket {
    std::int32_t PID{};
    std::int64_t Timestamp{}; // process creation time as a Windows file time
    RAVEL_PACKET(TParentProcessIDPacket, packets::TPacket, 2)
};
using TParentProcessIDPacketList = packets::TPacketList<TParentProcessIDPacket>;

// A two-byte set the console carries without reading it.
enum class TBuildStatusOption : std::uint8_t {};
using TBuildStatusOptions = packets::TSet<TBuildStatusOption, 2>;

struct TBuildStatusPacket : packets::TCommPacket {
    core::TGUID BuildID;
    std::string BuildClass;
    std::string Caption;
    std::string DisplayTitle;
    std::uint8_t DonePercent{};
    std::int32_t HelpersNeeded{};
    core::TStringListEx HelperIDs;
    std::int32_t MinWinVer_Major{};
    std::int32_t MinWinVer_Minor{};
    core::TStringListEx RequiredAssemblies_Obsolete;
    TBuildStatusOptions ReservedSet;
    std::int32_t BuildErrorCount{};
    std::int32_t BuildWarningCount{};
    TBuildFlags Flags;
    std::int32_t MaxWinVer_Major{};
    std::int32_t MaxWinVer_Minor{};
    std::int32_t DisplayWorkPowerMHz{};
    std::int32_t DisplayWorkPowerCPUs{};
    bool Only64bitHelpers{};
    std::int32_t WorkerCount{};
    double StartTime{};
    bool AvoidLocalExec{};
    std::int32_t LocalCores{};
    RAVEL_PACKET(TBuildStatusPacket, packets::TCommPacket, 23)
};
using TBuildStatusPacketList = packets::TPacketList<TBuildStatusPacket>;

struct TAttachToBuildPacket : packets::TCommPacket {
    core::TGUID BuildID;
    RAVEL_PACKET(TAttachToBuildPacket, packets::TCommPacket, 1)
};

struct TBuildCacheStatisticsPacket : packets::TCommPacket {
    std::string BuildID;
    std::int32_t TotalCacheableTasks{};
    std::int32_t CachedTasks{};
    std::int64_t CachedTasksTotalProcessingTime{};
    std::int64_t TotalOriginalItemsTime{};
    std::int32_t UncachedTasks{};
    std::int32_t NewCacheTasks{};
    std::int64_t NewCachedTasksProcessingTime{};
    std::int64_t NewCachedTasksTotalOriginalTime{};
    std::int64_t NewCachedTasksArtifactsTotalSize{};
    std::int64_t TotalCacheTime{};
    std::string DBServer;
    std::string CacheLocation;
    std::int32_t ClientRole{};
    std::string CacheServiceEndpoint;
    std::int32_t CacheServiceOrder{};
    bool BuildCacheQuotaAvailable{};
    RAVEL_PACKET(TBuildCacheStatisticsPacket, packets::TCommPacket, 17)
};

struct TBuildCacheQuotaPacket : packets::TCommPacket {
    std::uint8_t Reserved{};
    RAVEL_PACKET(TBuildCacheQuotaPacket, packets::TCommPacket, 1)
};

struct TBuildCacheQuotaReplyPacket : packets::TCommPacket {
    bool BuildCacheQuotaAvailable{};
    RAVEL_PACKET(TBuildCacheQuotaReplyPacket, packets::TCommPacket, 1)
};

// Registers the two build-request classes. The monitor-file records follow them,
// then RegisterBuildUnitPackets registers the rest of the unit.
void RegisterBuildCommandPackets();
void RegisterBuildUnitPackets();

} // namespace records
