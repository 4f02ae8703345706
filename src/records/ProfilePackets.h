#pragma once
// The record models of the job profile, the build document and the build cache
// profile, as field tables. Their files are read by the build system; the program
// carries the records so they can be created by GUID, compared, shown and stored.
#include "packets/Packet.h"

namespace records {

// A two-byte set of a tool rule, carried unchanged.
enum class TToolReservedFlag : std::uint8_t {};
using TToolReservedSet = packets::TSet<TToolReservedFlag, 2>;

struct TXml_PreBuildStep : packets::TPacket {
    std::string Filepath;
    RAVEL_PACKET(TXml_PreBuildStep, packets::TPacket, 1)
};

// One tool rule of a job profile.
struct TXml_Tool : packets::TPacket {
    std::string Filename;
    std::string AllowRemote;
    bool AllowWrap{};
    bool AllowIntercept{};
    std::string SuccessExitCodes;
    std::string OutputFileMasks;
    std::string DeriveCaptionFrom;
    std::string AutoReserveMemory;
    bool IdentifyTaskOutput{};
    bool VCCompiler{};
    bool SingleInstancePerAgent{};
    bool AllowRestartOnLocal{};
    std::string WarningExitCodes;
    std::string Name;
    std::string Path;
    std::string GroupPrefix;
    std::string OutputPrefix;
    std::string Params;
    bool SkipIfProjectFailed{};
    bool ShowSourceInOutput{};
    std::int32_t TimeLimit{};
    std::string AutoRecover;
    core::TStringListEx AutoRecover_AsList;
    bool VCCompilerUnbatch{};
    bool ParseMSBuildOutput{};
    bool IntelCompiler{};
    bool MonitorFileChanges{};
    bool ApplyBrowseInfoMode{};
    bool VCBscMake{};
    std::string AllowInterceptByVersionInfo;
    bool ParseDevEnvOutput{};
    bool VCLinker{};
    bool VCResourceCompiler{};
    bool VCManifestTool{};
    bool CSharpCompiler{};
    std::string InjectBase;
    bool AllowPredictedBatch{};
    bool CUDACompiler{};
    std::string AllowRemoteIf;
    std::string DenyRemoteIf;
    std::string SkipIfExistsOutputFileMasks;
    bool DistinctStdErr{};
    bool ClangCompiler{};
    TToolReservedSet ReservedSet;
    std::string DenyInterceptIf;
    bool ForceDistinctStdErr{};
    bool TreatCmdLineAsUtf8{};
    RAVEL_PACKET(TXml_Tool, packets::TPacket, 47)
};
using TXml_ToolList = packets::TPacketList<TXml_Tool>;

struct TXml_ProfileDocument : packets::TPacket {
    std::int32_t FormatVersion{};
    std::string ForcePredictedExecutionPlatforms;
    TXml_ToolList Tools;
    TXml_PreBuildStep PreBuildStep;
    bool NoDotNetVirt{};
    bool DisablePredictedExecution{};
    RAVEL_PACKET(TXml_ProfileDocument, packets::TPacket, 6)
};

struct TXml_Variable : packets::TPacket {
    std::string Name;
    std::string Value;
    RAVEL_PACKET(TXml_Variable, packets::TPacket, 2)
};
using TXml_VariableList = packets::TPacketList<TXml_Variable>;

struct TXml_Environment : packets::TPacket {
    std::string Name;
    TXml_ToolList Tools;
    TXml_VariableList Variables;
    RAVEL_PACKET(TXml_Environment, packets::TPacket, 3)
};
using TXml_EnvironmentList = packets::TPacketList<TXml_Environment>;

struct TXml_Task : packets::TPacket {
    std::string Name;
    std::string Tool;
    std::string SourceFile;
    std::string Source;
    std::string OutputFiles;
    std::string Output;
    std::string InputFiles;
    std::string DependsOn;
    std::string Params;
    std::string WorkingDir;
    std::string Caption;
    std::string SkipIfProjectFailed;
    std::string ParentProjectOverlap;
    std::string SubProjectOverlap;
    std::string StopOnErrors;
    RAVEL_PACKET(TXml_Task, packets::TPacket, 15)
};
using TXml_TaskList = packets::TPacketList<TXml_Task>;

struct TXml_TaskGroup : packets::TPacket {
    std::string Name;
    std::string Env;
    std::string DependsOn;
    std::string WorkingDir;
    std::string Tool;
    std::string ParentProjectOverlap;
    std::string SubProjectOverlap;
    std::string StopOnErrors;
    packets::TPacketList<TXml_TaskGroup> TaskGroup; // groups nest
    TXml_TaskList Task;
    RAVEL_PACKET(TXml_TaskGroup, packets::TPacket, 10)
};
using TXml_TaskGroupList = packets::TPacketList<TXml_TaskGroup>;

struct TXml_BuildDocument : packets::TPacket {
    std::int32_t FormatVersion{};
    TXml_EnvironmentList Environments;
    TXml_TaskGroupList Project;
    RAVEL_PACKET(TXml_BuildDocument, packets::TPacket, 3)
};

struct TBuildCacheToolChildExclude : packets::TPacket {
    std::string ProcName;
    RAVEL_PACKET(TBuildCacheToolChildExclude, packets::TPacket, 1)
};
using TBuildCacheToolChildExcludeList = packets::TPacketList<TBuildCacheToolChildExclude>;

struct TBuildCacheTool : packets::TPacket {
    std::string Filename;
    bool AllowBuildCache{};
    bool IncludeBinaryDependencies{};
    TBuildCacheToolChildExcludeList ChildProcesses;
    // Environment variables whose values are part of the key of the tool's results
    // (names separated by ";" or ","): a tool that reads them compiles differently.
    std::string KeyVariables;
    RAVEL_PACKET(TBuildCacheTool, packets::TPacket, 5)
};
using TBuildCacheToolList = packets::TPacketList<TBuildCacheTool>;

struct TBuildCacheProfileDocument : packets::TPacket {
    std::int32_t FormatVersion{};
    TBuildCacheToolList Tools;
    RAVEL_PACKET(TBuildCacheProfileDocument, packets::TPacket, 2)
};

void RegisterProfilePackets();
void RegisterBuildCacheProfilePackets();

} // namespace records
