#include "records/ProfilePackets.h"

namespace records {

using namespace packets::fields;

RAVEL_PACKET_TABLE(TXml_PreBuildStep, "{05A6530F-8FFA-444A-B009-ED1988AFB659}",
                   String<&TXml_PreBuildStep::Filepath>("Filepath"))

RAVEL_PACKET_TABLE(
    TXml_Tool, "{06A8E0F3-1A17-44C9-B95B-CFEB0F3DFF7F}", String<&TXml_Tool::Filename>("Filename"),
    String<&TXml_Tool::AllowRemote>("AllowRemote"), Bool<&TXml_Tool::AllowWrap>("AllowWrap"),
    Bool<&TXml_Tool::AllowIntercept>("AllowIntercept"),
    String<&TXml_Tool::SuccessExitCodes>("SuccessExitCodes"),
    String<&TXml_Tool::OutputFileMasks>("OutputFileMasks"),
    String<&TXml_Tool::DeriveCaptionFrom>("DeriveCaptionFrom"),
    String<&TXml_Tool::AutoReserveMemory>("AutoReserveMemory"),
    Bool<&TXml_Tool::IdentifyTaskOutput>("IdentifyTaskOutput"),
    Bool<&TXml_Tool::VCCompiler>("VCCompiler"),
    Bool<&TXml_Tool::SingleInstancePerAgent>("SingleInstancePerAgent"),
    Bool<&TXml_Tool::AllowRestartOnLocal>("AllowRestartOnLocal"),
    String<&TXml_Tool::WarningExitCodes>("WarningExitCodes"), String<&TXml_Tool::Name>("Name"),
    String<&TXml_Tool::Path>("Path"), String<&TXml_Tool::GroupPrefix>("GroupPrefix"),
    String<&TXml_Tool::OutputPrefix>("OutputPrefix"), String<&TXml_Tool::Params>("Params"),
    Bool<&TXml_Tool::SkipIfProjectFailed>("SkipIfProjectFailed"),
    Bool<&TXml_Tool::ShowSourceInOutput>("ShowSourceInOutput"),
    Int32<&TXml_Tool::TimeLimit>("TimeLimit"), String<&TXml_Tool::AutoRecover>("AutoRecover"),
    Strings<&TXml_Tool::AutoRecover_AsList>("AutoRecover_AsList"),
    Bool<&TXml_Tool::VCCompilerUnbatch>("VCCompilerUnbatch"),
    Bool<&TXml_Tool::ParseMSBuildOutput>("ParseMSBuildOutput"),
    Bool<&TXml_Tool::IntelCompiler>("IntelCompiler"),
    Bool<&TXml_Tool::MonitorFileChanges>("MonitorFileChanges"),
    Bool<&TXml_Tool::ApplyBrowseInfoMode>("ApplyBrowseInfoMode"),
    Bool<&TXml_Tool::VCBscMake>("VCBscMake"),
    String<&TXml_Tool::AllowInterceptByVersionInfo>("AllowInterceptByVersionInfo"),
    Bool<&TXml_Tool::ParseDevEnvOutput>("ParseDevEnvOutput"),
    Bool<&TXml_Tool::VCLinker>("VCLinker"),
    Bool<&TXml_Tool::VCResourceCompiler>("VCResourceCompiler"),
    Bool<&TXml_Tool::VCManifestTool>("VCManifestTool"),
    Bool<&TXml_Tool::CSharpCompiler>("CSharpCompiler"),
    String<&TXml_Tool::InjectBase>("InjectBase"),
    Bool<&TXml_Tool::AllowPredictedBatch>("AllowPredictedBatch"),
    Bool<&TXml_Tool::CUDACompiler>("CUDACompiler"),
    String<&TXml_Tool::AllowRemoteIf>("AllowRemoteIf"),
    String<&TXml_Tool::DenyRemoteIf>("DenyRemoteIf"),
    String<&TXml_Tool::SkipIfExistsOutputFileMasks>("SkipIfExistsOutputFileMasks"),
    Bool<&TXml_Tool::DistinctStdErr>("DistinctStdErr"),
    Bool<&TXml_Tool::ClangCompiler>("ClangCompiler"), Set<&TXml_Tool::ReservedSet>("ReservedSet"),
    String<&TXml_Tool::DenyInterceptIf>("DenyInterceptIf"),
    Bool<&TXml_Tool::ForceDistinctStdErr>("ForceDistinctStdErr"),
    Bool<&TXml_Tool::TreatCmdLineAsUtf8>("TreatCmdLineAsUtf8"))

RAVEL_PACKET_TABLE(
    TXml_ProfileDocument, "{B1325CF7-879E-4ECB-83DC-7D3B8853EBF5}",
    Int32<&TXml_ProfileDocument::FormatVersion>("FormatVersion"),
    String<&TXml_ProfileDocument::ForcePredictedExecutionPlatforms>(
        "ForcePredictedExecutionPlatforms"),
    List<&TXml_ProfileDocument::Tools>("Tools").Item("Tool"),
    Record<&TXml_ProfileDocument::PreBuildStep>("PreBuildStep"),
    Bool<&TXml_ProfileDocument::NoDotNetVirt>("NoDotNetVirt"),
    Bool<&TXml_ProfileDocument::DisablePredictedExecution>("DisablePredictedExecution"))

RAVEL_PACKET_TABLE(TXml_Variable, "{B9567A2F-4C6C-4E82-937C-BE355F7CEBC2}",
                   String<&TXml_Variable::Name>("Name"), String<&TXml_Variable::Value>("Value"))

RAVEL_PACKET_TABLE(TXml_Environment, "{F3D97A2A-1A80-4C9C-AFD1-B4CDE0B9AB61}",
                   String<&TXml_Environment::Name>("Name"),
                   List<&TXml_Environment::Tools>("Tools").Item("Tool"),
                   List<&TXml_Environment::Variables>("Variables").Item("Variable"))

RAVEL_PACKET_TABLE(
    TXml_Task, "{555F98A0-4767-4039-9E0B-D0B85F686EC1}", String<&TXml_Task::Name>("Name"),
    String<&TXml_Task::Tool>("Tool"),
    String<&TXml_Task::SourceFile>("SourceFile").Caption_("Source File"),
    String<&TXml_Task::Source>("Source").Caption_("Source File"),
    String<&TXml_Task::OutputFiles>("OutputFiles").Caption_("Output Files"),
    String<&TXml_Task::Output>("Output"),
    String<&TXml_Task::InputFiles>("InputFiles").Caption_("Input Files"),
    String<&TXml_Task::DependsOn>("DependsOn").Caption_("Depends On Tasks"),
    String<&TXml_Task::Params>("Params").Caption_("Parameters"),
    String<&TXml_Task::WorkingDir>("WorkingDir").Caption_("Working Directory"),
    String<&TXml_Task::Caption>("Caption"),
    String<&TXml_Task::SkipIfProjectFailed>("SkipIfProjectFailed")
        .Caption_("Skip If Project Failed"),
    String<&TXml_Task::ParentProjectOverlap>("ParentProjectOverlap")
        .Caption_("Overlap With Parent Project"),
    String<&TXml_Task::SubProjectOverlap>("SubProjectOverlap").Caption_("Overlap With Subproject"),
    String<&TXml_Task::StopOnErrors>("StopOnErrors").Caption_("Stop Build On Errors"))

RAVEL_PACKET_TABLE(TXml_TaskGroup, "{CB1B0BE1-6219-4850-B91F-6A9520E621EF}",
                   String<&TXml_TaskGroup::Name>("Name"), String<&TXml_TaskGroup::Env>("Env"),
                   String<&TXml_TaskGroup::DependsOn>("DependsOn"),
                   String<&TXml_TaskGroup::WorkingDir>("WorkingDir"),
                   String<&TXml_TaskGroup::Tool>("Tool"),
                   String<&TXml_TaskGroup::ParentProjectOverlap>("ParentProjectOverlap"),
                   String<&TXml_TaskGroup::SubProjectOverlap>("SubProjectOverlap"),
                   String<&TXml_TaskGroup::StopOnErrors>("StopOnErrors"),
                   List<&TXml_TaskGroup::TaskGroup>("TaskGroup").Caption_("Task Group"),
                   List<&TXml_TaskGroup::Task>("Task"))

RAVEL_PACKET_TABLE(TXml_BuildDocument, "{988A0D77-E054-44A7-94A2-0748413BF52E}",
                   Int32<&TXml_BuildDocument::FormatVersion>("FormatVersion"),
                   List<&TXml_BuildDocument::Environments>("Environments").Item("Environment"),
                   List<&TXml_BuildDocument::Project>("Project").Item("Project"))

RAVEL_PACKET_TABLE(TBuildCacheToolChildExclude, "{0D71E0F3-1A17-44C9-BC5B-CFEB3A3DFF7D}",
                   String<&TBuildCacheToolChildExclude::ProcName>("ProcName"))

RAVEL_PACKET_TABLE(TBuildCacheTool, "{06A1E0F3-1A17-44C9-BC5B-CFEB0F3DFF7D}",
                   String<&TBuildCacheTool::Filename>("Filename"),
                   Bool<&TBuildCacheTool::AllowBuildCache>("AllowBuildCache"),
                   Bool<&TBuildCacheTool::IncludeBinaryDependencies>("IncludeBinaryDependencies"),
                   List<&TBuildCacheTool::ChildProcesses>("ChildProcesses").Item("Exclude"),
                   String<&TBuildCacheTool::KeyVariables>("KeyVariables"))

RAVEL_PACKET_TABLE(TBuildCacheProfileDocument, "{B1825CF7-879E-4E7B-83DC-7D3B8F53E7F5}",
                   Int32<&TBuildCacheProfileDocument::FormatVersion>("FormatVersion"),
                   List<&TBuildCacheProfileDocument::Tools>("Tools").Item("Tool"))

void RegisterProfilePackets() {
    const packets::TPacketClass* classes[] = {
        &TXml_ProfileDocument::StaticClass(),
        &TXml_PreBuildStep::StaticClass(),
        &TXml_Tool::StaticClass(),
        &TXml_BuildDocument::StaticClass(),
        &TXml_Environment::StaticClass(),
        &TXml_Variable::StaticClass(),
        &TXml_TaskGroup::StaticClass(),
        &TXml_Task::StaticClass(),
    };
    for (const auto* cls : classes)
        packets::RegisterPacketClass(*cls);
}

void RegisterBuildCacheProfilePackets() {
    packets::RegisterPacketClass(TBuildCacheProfileDocument::StaticClass());
    packets::RegisterPacketClass(TBuildCacheTool::StaticClass());
    packets::RegisterPacketClass(TBuildCacheToolChildExclude::StaticClass());
}

} // namespace records
