#include "records/BuildPackets.h"

namespace records {

using namespace packets::fields;

RAVEL_PACKET_TABLE(
    TBuildCommandProjectPacket, "{95CC18AF-747B-4B8C-A35D-16047EF6C6EA}",
    String<&TBuildCommandProjectPacket::Name>("Name"),
    String<&TBuildCommandProjectPacket::Config>("Config"),
    String<&TBuildCommandProjectPacket::RelativePath_Optional>("RelativePath_Optional"),
    String<&TBuildCommandProjectPacket::MSBuildName>("MSBuildName"),
    String<&TBuildCommandProjectPacket::IdeName>("IdeName"))

RAVEL_PACKET_TABLE(
    TBuildCommandPacket, "{26B22475-8588-4603-BBCE-844F30AEDD55}",
    Guid<&TBuildCommandPacket::BuildID>("BuildID"), Set<&TBuildCommandPacket::Flags>("Flags"),
    String<&TBuildCommandPacket::BuildClass>("BuildClass"),
    String<&TBuildCommandPacket::Caption>("Caption"),
    String<&TBuildCommandPacket::PrimaryFilename>("PrimaryFilename"),
    String<&TBuildCommandPacket::EnvBlock>("EnvBlock"),
    String<&TBuildCommandPacket::WorkspaceAsStr>("WorkspaceAsStr"),
    WString<&TBuildCommandPacket::LocalAppDataDir>("LocalAppDataDir"),
    Strings<&TBuildCommandPacket::SelectedSources>("SelectedSources"),
    Strings<&TBuildCommandPacket::LoadedProjectPaths>("LoadedProjectPaths"),
    Strings<&TBuildCommandPacket::Obsolete_ActiveProjects>("Obsolete_ActiveProjects"),
    Strings<&TBuildCommandPacket::CompilerParamsAdd>("CompilerParamsAdd"),
    Strings<&TBuildCommandPacket::CompilerParamsSub>("CompilerParamsSub"),
    Strings<&TBuildCommandPacket::LinkerParamsAdd>("LinkerParamsAdd"),
    Strings<&TBuildCommandPacket::LinkerParamsSub>("LinkerParamsSub"),
    Strings<&TBuildCommandPacket::ShouldBuildProjectPaths>("ShouldBuildProjectPaths"),
    Strings<&TBuildCommandPacket::AllowRemote>("AllowRemote"),
    Strings<&TBuildCommandPacket::AllowIntercept>("AllowIntercept"),
    String<&TBuildCommandPacket::CurDir>("CurDir"),
    String<&TBuildCommandPacket::Command>("Command"),
    String<&TBuildCommandPacket::ProfileFilename>("ProfileFilename"),
    String<&TBuildCommandPacket::RavelconCommandLine>("RavelconCommandLine"),
    String<&TBuildCommandPacket::MonitorFilename>("MonitorFilename"),
    String<&TBuildCommandPacket::EVC4_CeConfig>("EVC4_CeConfig"),
    Int32<&TBuildCommandPacket::OverrideMaxHelpersPerJob>("OverrideMaxHelpersPerJob"),
    List<&TBuildCommandPacket::ActiveProjects>("ActiveProjects"),
    Strings<&TBuildCommandPacket::BoundsCheckerInstrumentedProjects>(
        "BoundsCheckerInstrumentedProjects"),
    String<&TBuildCommandPacket::IntelCompilerVersion>("IntelCompilerVersion"),
    Compact<&TBuildCommandPacket::MinWinVer_Major>("MinWinVer_Major"),
    Compact<&TBuildCommandPacket::MinWinVer_Minor>("MinWinVer_Minor"),
    Compact<&TBuildCommandPacket::MaxWinVer_Major>("MaxWinVer_Major"),
    Compact<&TBuildCommandPacket::MaxWinVer_Minor>("MaxWinVer_Minor"),
    Byte<&TBuildCommandPacket::OverrideLogLevel>("OverrideLogLevel").Default(-1),
    Strings<&TBuildCommandPacket::ForcedEnv>("ForcedEnv"),
    Strings<&TBuildCommandPacket::Obsolete_NintendoProjects>("Obsolete_NintendoProjects"),
    Bool<&TBuildCommandPacket::LogWarnings>("LogWarnings"),
    String<&TBuildCommandPacket::InitiatorName>("InitiatorName"),
    Bool<&TBuildCommandPacket::KeepNumOfJobs>("KeepNumOfJobs"),
    String<&TBuildCommandPacket::PlugInVer>("PlugInVer"),
    String<&TBuildCommandPacket::KWJsonName>("KWJsonName"),
    String<&TBuildCommandPacket::OutDir>("OutDir"),
    String<&TBuildCommandPacket::MSBuildArgs>("MSBuildArgs"),
    Bool<&TBuildCommandPacket::UseMSBuild>("UseMSBuild"),
    Int64<&TBuildCommandPacket::InjectBase>("InjectBase"),
    String<&TBuildCommandPacket::AdditionalArgs>("AdditionalArgs"),
    Bool<&TBuildCommandPacket::VirtualizeDirectX>("VirtualizeDirectX"),
    Int32<&TBuildCommandPacket::PluginUpDateVer>("PluginUpDateVer").Default(-1),
    Bool<&TBuildCommandPacket::DisablePdbForwarding>("DisablePdbForwarding"),
    Int32<&TBuildCommandPacket::UseIDEMonitorPID>("UseIDEMonitorPID"),
    Strings<&TBuildCommandPacket::MonitoredDirs>("MonitoredDirs"),
    String<&TBuildCommandPacket::HideFile>("HideFile"),
    String<&TBuildCommandPacket::VSInstallDir>("VSInstallDir"),
    Int32<&TBuildCommandPacket::MvExitCodeShift>("MvExitCodeShift"),
    Int32<&TBuildCommandPacket::MSBuildMaxInstances>("MSBuildMaxInstances"),
    String<&TBuildCommandPacket::BiIssuer>("BiIssuer"),
    String<&TBuildCommandPacket::TestFwId>("TestFwId"),
    Int32<&TBuildCommandPacket::ConsoleOutputCodePage>("ConsoleOutputCodePage"),
    Byte<&TBuildCommandPacket::OverridePredictedExecutionMode>("OverridePredictedExecutionMode")
        .Default(-1),
    Byte<&TBuildCommandPacket::OverrideUseMSBuild>("OverrideUseMSBuild"),
    String<&TBuildCommandPacket::Obsolete_BuildCacheServer>("Obsolete_BuildCacheServer"),
    Int32<&TBuildCommandPacket::Obsolete_BuildCacheRole>("Obsolete_BuildCacheRole").Default(-1),
    Bool<&TBuildCommandPacket::UseLocalBuildCache>("UseLocalBuildCache").Default(1),
    String<&TBuildCommandPacket::RemoteBuildCacheServer>("RemoteBuildCacheServer"),
    Int32<&TBuildCommandPacket::BuildCachePchStrategy>("BuildCachePchStrategy").Default(-1),
    Int32<&TBuildCommandPacket::OverrideMaxConcurrentPDBs>("OverrideMaxConcurrentPDBs").Default(-1),
    Int32<&TBuildCommandPacket::OverrideMultiThreadedFileSyncThreads>(
        "OverrideMultiThreadedFileSyncThreads"),
    Int32<&TBuildCommandPacket::OverrideMaxParallelLinkTargets>("OverrideMaxParallelLinkTargets"),
    Int32<&TBuildCommandPacket::OverrideClangPathConvert>("OverrideClangPathConvert"),
    String<&TBuildCommandPacket::ConfigFileContent>("ConfigFileContent"),
    Int32<&TBuildCommandPacket::OverrideNeededHelpersHistoryTimeSec>(
        "OverrideNeededHelpersHistoryTimeSec"),
    Int32<&TBuildCommandPacket::BuildCacheEnableOlderMSVCSupport>(
        "BuildCacheEnableOlderMSVCSupport")
        .Default(-1),
    Bool<&TBuildCommandPacket::BuildCacheEnableStdinInputTaskCaching>(
        "BuildCacheEnableStdinInputTaskCaching"),
    Bool<&TBuildCommandPacket::BuildCacheReadOnly>("BuildCacheReadOnly"),
    Bool<&TBuildCommandPacket::UseBuildCacheCluster>("UseBuildCacheCluster"),
    String<&TBuildCommandPacket::BuildCacheGenerateToolProfile>("BuildCacheGenerateToolProfile"),
    String<&TBuildCommandPacket::BuildCacheProfile>("BuildCacheProfile"))

using SR = TExecuteSearchReplacePacket;
RAVEL_PACKET_TABLE(TExecuteSearchReplacePacket, "{C189B6E8-F409-4E32-A8FD-C62CA39B6F02}",
                   Bool<&SR::CaseSensitive>("CaseSensitive"),
                   Bool<&SR::IncludeTerminatingNull>("IncludeTerminatingNull"),
                   String<&SR::SearchForContent>("SearchForContent"),
                   String<&SR::ReplaceWithContent>("ReplaceWithContent"))

using SRF = TExecuteSearchReplaceFilePacket;
RAVEL_PACKET_TABLE(TExecuteSearchReplaceFilePacket, "{D49C7AC2-0A02-41E3-A03C-26F58ECFA45C}",
                   String<&SRF::Path>("Path"), List<&SRF::Items>("Items"))

using IF = TExecuteIncrementalFilePacket;
RAVEL_PACKET_TABLE(TExecuteIncrementalFilePacket, "{0AA3D3ED-304C-4426-B5BB-5C2E88F6E406}",
                   String<&IF::Path>("Path"), Int32<&IF::Revision>("Revision"),
                   Bool<&IF::ContinueWithExistingFile>("ContinueWithExistingFile"),
                   Int32<&IF::BaseRevision>("BaseRevision"), String<&IF::SyncPath>("SyncPath"),
                   Bool<&IF::LargeFile>("LargeFile"))

using DC = TExecuteDirContentPacket;
RAVEL_PACKET_TABLE(TExecuteDirContentPacket, "{C50C6014-59F4-4FCF-BD83-8582D8277231}",
                   String<&DC::DirName>("DirName"), Blob<&DC::DirData>("DirData"))

using CD = TExecuteCommonDirPacket;
RAVEL_PACKET_TABLE(TExecuteCommonDirPacket, "{4B8888E4-6EAB-49FC-8783-F75D5AB2B57E}",
                   String<&CD::DirName>("DirName"), String<&CD::FileMask>("FileMask"),
                   Bool<&CD::ScanOutputText>("ScanOutputText"),
                   Bool<&CD::DeleteCached>("DeleteCached"),
                   Strings<&CD::ExistingFiles>("ExistingFiles"))

using OF = TExecuteOutputFilePacket;
RAVEL_PACKET_TABLE(TExecuteOutputFilePacket, "{3B342DB4-B61B-4063-B55B-EE93FD78CB9D}",
                   String<&OF::Path>("Path"), Bool<&OF::Persistent>("Persistent"),
                   Bool<&OF::PullAsSinglePart>("PullAsSinglePart"),
                   Bool<&OF::Incremental>("Incremental"), Bool<&OF::LargeFile>("LargeFile"))

using ER = TExecuteResultPacket;
RAVEL_PACKET_TABLE(TExecuteResultPacket, "{5EE08CD8-5571-42D0-B803-FFEC4BEAB38C}",
                   Int32<&ER::ExitCode>("ExitCode"), Int64<&ER::KernelTime>("KernelTime"),
                   Int64<&ER::UserTime>("UserTime"), String<&ER::StdOutText>("StdOutText"),
                   List<&ER::IncrementalFiles>("IncrementalFiles"),
                   Blob<&ER::MetaOutput>("MetaOutput"), String<&ER::StdErrText>("StdErrText"),
                   Blob<&ER::PdbActionStream>("PdbActionStream"),
                   Strings<&ER::PossibleInputFilesAccessed>("PossibleInputFilesAccessed"),
                   String<&ER::MissingDirect3DFileName>("MissingDirect3DFileName"))

using PP = TParentProcessIDPacket;
RAVEL_PACKET_TABLE(TParentProcessIDPacket, "{0438F81F-2E25-4A05-AEFF-F29A67723285}",
                   Int32<&PP::PID>("PID"), Int64<&PP::Timestamp>("Timestamp"))

using BS = TBuildStatusPacket;
RAVEL_PACKET_TABLE(
    TBuildStatusPacket, "{14F0DF70-FB6B-4D71-90B9-5048EB7CCAC2}", Guid<&BS::BuildID>("BuildID"),
    String<&BS::BuildClass>("BuildClass"), String<&BS::Caption>("Caption"),
    String<&BS::DisplayTitle>("DisplayTitle"), Byte<&BS::DonePercent>("DonePercent"),
    Int32<&BS::HelpersNeeded>("HelpersNeeded"), Strings<&BS::HelperIDs>("HelperIDs"),
    Int32<&BS::MinWinVer_Major>("MinWinVer_Major"), Int32<&BS::MinWinVer_Minor>("MinWinVer_Minor"),
    Strings<&BS::RequiredAssemblies_Obsolete>("RequiredAssemblies_Obsolete"),
    Set<&BS::ReservedSet>("ReservedSet"), Int32<&BS::BuildErrorCount>("BuildErrorCount"),
    Int32<&BS::BuildWarningCount>("BuildWarningCount"), Set<&BS::Flags>("Flags"),
    Compact<&BS::MaxWinVer_Major>("MaxWinVer_Major"),
    Compact<&BS::MaxWinVer_Minor>("MaxWinVer_Minor"),
    Int32<&BS::DisplayWorkPowerMHz>("DisplayWorkPowerMHz"),
    Compact<&BS::DisplayWorkPowerCPUs>("DisplayWorkPowerCPUs"),
    Bool<&BS::Only64bitHelpers>("Only64bitHelpers"), Int32<&BS::WorkerCount>("WorkerCount"),
    DateTime<&BS::StartTime>("StartTime"), Bool<&BS::AvoidLocalExec>("AvoidLocalExec"),
    Int32<&BS::LocalCores>("LocalCores"))

RAVEL_PACKET_TABLE(TAttachToBuildPacket, "{6E76799D-6424-41CE-9860-16871B0D5DE9}",
                   Guid<&TAttachToBuildPacket::BuildID>("BuildID"))

using CS = TBuildCacheStatisticsPacket;
RAVEL_PACKET_TABLE(TBuildCacheStatisticsPacket, "{50FD63A3-CCCD-4FD8-AD08-01223B50FEE3}",
                   String<&CS::BuildID>("BuildID"),
                   Int32<&CS::TotalCacheableTasks>("TotalCacheableTasks"),
                   Int32<&CS::CachedTasks>("CachedTasks"),
                   Int64<&CS::CachedTasksTotalProcessingTime>("CachedTasksTotalProcessingTime"),
                   Int64<&CS::TotalOriginalItemsTime>("TotalOriginalItemsTime"),
                   Int32<&CS::UncachedTasks>("UncachedTasks"),
                   Int32<&CS::NewCacheTasks>("NewCacheTasks"),
                   Int64<&CS::NewCachedTasksProcessingTime>("NewCachedTasksProcessingTime"),
                   Int64<&CS::NewCachedTasksTotalOriginalTime>("NewCachedTasksTotalOriginalTime"),
                   Int64<&CS::NewCachedTasksArtifactsTotalSize>("NewCachedTasksArtifactsTotalSize"),
                   Int64<&CS::TotalCacheTime>("TotalCacheTime"), String<&CS::DBServer>("DBServer"),
                   String<&CS::CacheLocation>("CacheLocation"),
                   Int32<&CS::ClientRole>("ClientRole"),
                   String<&CS::CacheServiceEndpoint>("CacheServiceEndpoint"),
                   Int32<&CS::CacheServiceOrder>("CacheServiceOrder"),
                   Bool<&CS::BuildCacheQuotaAvailable>("BuildCacheQuotaAvailable"))

RAVEL_PACKET_TABLE(TBuildCacheQuotaPacket, "{4B4FA5A9-A007-4D3F-AD81-95C208336A90}",
                   Byte<&TBuildCacheQuotaPacket::Reserved>("Reserved"))

RAVEL_PACKET_TABLE(
    TBuildCacheQuotaReplyPacket, "{F1AE1101-C149-4A99-81BE-AA8935FBF85A}",
    Bool<&TBuildCacheQuotaReplyPacket::BuildCacheQuotaAvailable>("BuildCacheQuotaAvailable"))

void RegisterBuildCommandPackets() {
    packets::RegisterPacketClass(TBuildCommandPacket::StaticClass());
    packets::RegisterPacketClass(TBuildCommandProjectPacket::StaticClass());
}

void RegisterBuildUnitPackets() {
    const packets::TPacketClass* classes[] = {
        &TExecuteSearchReplacePacket::StaticClass(),
        &TExecuteSearchReplaceFilePacket::StaticClass(),
        &TExecuteIncrementalFilePacket::StaticClass(),
        &TExecuteDirContentPacket::StaticClass(),
        &TExecuteCommonDirPacket::StaticClass(),
        &TExecuteOutputFilePacket::StaticClass(),
        &TExecuteResultPacket::StaticClass(),
        &TParentProcessIDPacket::StaticClass(),
        &TBuildStatusPacket::StaticClass(),
        &TAttachToBuildPacket::StaticClass(),
        &TBuildCacheStatisticsPacket::StaticClass(),
        &TBuildCacheQuotaPacket::StaticClass(),
        &TBuildCacheQuotaReplyPacket::StaticClass(),
    };
    for (const auto* cls : classes)
        packets::RegisterPacketClass(*cls);
}

} // namespace records
