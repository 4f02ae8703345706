#include "records/ServicePackets.h"

namespace records {

using namespace packets::fields;

RAVEL_PACKET_TABLE(TCommExceptionPacket, "{147D1111-3535-4E71-9695-E35D6011ECDE}",
                   String<&TCommExceptionPacket::ExceptionMessage>("ExceptionMessage"),
                   String<&TCommExceptionPacket::ExceptionClass>("ExceptionClass"),
                   String<&TCommExceptionPacket::ExceptionMethodName>("ExceptionMethodName"))

RAVEL_PACKET_TABLE_EMPTY(TServiceReservedPacket, "{F738E00F-545F-436C-A596-082675AB4649}")

RAVEL_PACKET_TABLE(TQueryServiceStatusPacket, "{068A8C56-C273-415F-A940-3817E4A161E1}",
                   Bool<&TQueryServiceStatusPacket::Reserved>("Reserved"))

RAVEL_PACKET_TABLE(
    TQueryServiceStatusReplyPacket, "{6E88EEFD-55DB-4784-8FE1-B04F94509440}",
    Record<&TQueryServiceStatusReplyPacket::ReservedRecord>("ReservedRecord"),
    Bool<&TQueryServiceStatusReplyPacket::CoordinatorMisconnection>("CoordinatorMisconnection"),
    Bool<&TQueryServiceStatusReplyPacket::StandAlone>("StandAlone"),
    Bool<&TQueryServiceStatusReplyPacket::UsingBackup>("UsingBackup"),
    Bool<&TQueryServiceStatusReplyPacket::ConnectedDirectlyToBackup>("ConnectedDirectlyToBackup"),
    Bool<&TQueryServiceStatusReplyPacket::ReservedFlag>("ReservedFlag"),
    Bool<&TQueryServiceStatusReplyPacket::CoordinatorVersionMismatch>("CoordinatorVersionMismatch"),
    Int32<&TQueryServiceStatusReplyPacket::CpuCount>("CpuCount"),
    String<&TQueryServiceStatusReplyPacket::AgentID>("AgentID"),
    DateTime<&TQueryServiceStatusReplyPacket::ReservedTime1>("ReservedTime1"),
    DateTime<&TQueryServiceStatusReplyPacket::ReservedTime2>("ReservedTime2"),
    Record<&TQueryServiceStatusReplyPacket::StaticPacket>("StaticPacket"),
    Int32<&TQueryServiceStatusReplyPacket::MaxHelpersPerJob>("MaxHelpersPerJob"),
    Bool<&TQueryServiceStatusReplyPacket::FirewallMisconfigured>("FirewallMisconfigured"),
    Bool<&TQueryServiceStatusReplyPacket::ReservedFlag2>("ReservedFlag2"),
    String<&TQueryServiceStatusReplyPacket::ReservedText>("ReservedText"),
    String<&TQueryServiceStatusReplyPacket::CoordinatorID>("CoordinatorID"),
    Bool<&TQueryServiceStatusReplyPacket::BuildCacheSupported>("BuildCacheSupported"),
    Bool<&TQueryServiceStatusReplyPacket::AllowCustomDistributionProfiles>(
        "AllowCustomDistributionProfiles"),
    String<&TQueryServiceStatusReplyPacket::LoggedOnUsers>("LoggedOnUsers"))

RAVEL_PACKET_TABLE(TEnableAgentPacket, "{31007206-8C9C-43CD-8919-51E033623A0A}",
                   Bool<&TEnableAgentPacket::Enable>("Enable"))

RAVEL_PACKET_TABLE(TClearFileCachePacket, "{03C56293-D099-4D90-AA93-26C64132F1D7}",
                   Bool<&TClearFileCachePacket::Reserved>("Reserved"))

RAVEL_PACKET_TABLE(TStopJobPacket, "{7EE3D029-AFA5-4DF1-AC03-5512E6918071}",
                   Guid<&TStopJobPacket::JobID>("JobID"))

RAVEL_PACKET_TABLE(TJobEndedPacket, "{4F8F0434-3C45-4955-8E34-C82A9206434F}",
                   Guid<&TJobEndedPacket::JobID>("JobID"))

RAVEL_PACKET_TABLE(TRequestBuildStatusPacket, "{6D40FB32-DA36-43CE-996B-8E54CCAEE6BF}",
                   Bool<&TRequestBuildStatusPacket::ReservedForFutureUse>("ReservedForFutureUse"))

RAVEL_PACKET_TABLE(TRequestBuildStatusReplayPacket, "{CF73BBDF-39C2-44EB-832A-BAA2EC408988}",
                   List<&TRequestBuildStatusReplayPacket::Builds>("Builds"))

RAVEL_PACKET_TABLE(TStartJobRequestPacket, "{46189D21-0D20-40FB-81BA-856380795754}",
                   Int32<&TStartJobRequestPacket::ComponentVersion>("ComponentVersion"),
                   String<&TStartJobRequestPacket::ComponentVersionText>("ComponentVersionText"),
                   String<&TStartJobRequestPacket::ComponentDisplayName>("ComponentDisplayName"),
                   Int32<&TStartJobRequestPacket::PluginVersion>("PluginVersion"))

RAVEL_PACKET_TABLE(
    TStartJobRequestReplyPacket, "{6CB85CB1-CD38-4700-B0F1-6D4B660D9150}",
    Byte<&TStartJobRequestReplyPacket::Result>("Result"),
    Guid<&TStartJobRequestReplyPacket::JobID>("JobID"),
    Int32<&TStartJobRequestReplyPacket::BuildCachePort>("BuildCachePort"),
    String<&TStartJobRequestReplyPacket::BuildCachePassword>("BuildCachePassword"),
    String<&TStartJobRequestReplyPacket::BuildCacheSharedServer>("BuildCacheSharedServer"),
    String<&TStartJobRequestReplyPacket::BuildCacheSharedPassword>("BuildCacheSharedPassword"))

RAVEL_PACKET_TABLE(
    TCoordBuildActivityInfo, "{AE31590E-9117-4456-A611-01F516F36784}",
    Int32<&TCoordBuildActivityInfo::BuildId>("BuildId"),
    String<&TCoordBuildActivityInfo::BuildGuid>("BuildGuid"),
    String<&TCoordBuildActivityInfo::AgentId>("AgentId"),
    String<&TCoordBuildActivityInfo::BuildTitle>("BuildTitle"),
    Int32<&TCoordBuildActivityInfo::BuildTypeId>("BuildTypeId"),
    Int64<&TCoordBuildActivityInfo::StartTS>("StartTS"),
    Int64<&TCoordBuildActivityInfo::EndTS>("EndTS"),
    Int32<&TCoordBuildActivityInfo::Duration>("Duration"),
    Int32<&TCoordBuildActivityInfo::DurationLocal>("DurationLocal"),
    Int32<&TCoordBuildActivityInfo::DurationRemote>("DurationRemote"),
    Int32<&TCoordBuildActivityInfo::DurationCloud>("DurationCloud"),
    Int32<&TCoordBuildActivityInfo::BuildStatusId>("BuildStatusId"),
    Int32<&TCoordBuildActivityInfo::MaxCoresUsed>("MaxCoresUsed"),
    Int32<&TCoordBuildActivityInfo::MaxLocalCoresUsed>("MaxLocalCoresUsed"),
    Int32<&TCoordBuildActivityInfo::MaxRemoteCoresUsed>("MaxRemoteCoresUsed"),
    Int32<&TCoordBuildActivityInfo::MaxCloudCoresUsed>("MaxCloudCoresUsed"),
    Int32<&TCoordBuildActivityInfo::MinCoresUsed>("MinCoresUsed"),
    Int32<&TCoordBuildActivityInfo::MinLocalCoresUsed>("MinLocalCoresUsed"),
    Int32<&TCoordBuildActivityInfo::MinRemoteCoresUsed>("MinRemoteCoresUsed"),
    Int32<&TCoordBuildActivityInfo::MinCloudCoresUsed>("MinCloudCoresUsed"),
    Int32<&TCoordBuildActivityInfo::NumberOfTasks>("NumberOfTasks"),
    Int32<&TCoordBuildActivityInfo::AvgReadyTasks>("AvgReadyTasks"),
    DateTime<&TCoordBuildActivityInfo::AvgUsedCores>("AvgUsedCores"),
    DateTime<&TCoordBuildActivityInfo::AvgUsedLocalCores>("AvgUsedLocalCores"),
    DateTime<&TCoordBuildActivityInfo::AvgUsedRemoteCores>("AvgUsedRemoteCores"),
    DateTime<&TCoordBuildActivityInfo::AvgUsedCloudCores>("AvgUsedCloudCores"),
    Int32<&TCoordBuildActivityInfo::MaxReadyTasks>("MaxReadyTasks"),
    Int32<&TCoordBuildActivityInfo::MaxNeededHelpers>("MaxNeededHelpers"),
    DateTime<&TCoordBuildActivityInfo::AvgNeededHelpers>("AvgNeededHelpers"),
    Int32<&TCoordBuildActivityInfo::MaxBlockedTasks>("MaxBlockedTasks"),
    DateTime<&TCoordBuildActivityInfo::AvgBlockedTasks>("AvgBlockedTasks"),
    Int32<&TCoordBuildActivityInfo::MaxCoresLimitViolation>("MaxCoresLimitViolation"),
    DateTime<&TCoordBuildActivityInfo::AvgCoresLimitViolation>("AvgCoresLimitViolation"),
    Int32<&TCoordBuildActivityInfo::BiIssuer>("BiIssuer"),
    Int32<&TCoordBuildActivityInfo::TimeSaved>("TimeSaved"),
    Bool<&TCoordBuildActivityInfo::AvoidLocal>("AvoidLocal"),
    String<&TCoordBuildActivityInfo::Command>("Command"),
    Bool<&TCoordBuildActivityInfo::Predicted>("Predicted"),
    String<&TCoordBuildActivityInfo::BuildsetVersion>("BuildsetVersion"),
    String<&TCoordBuildActivityInfo::MsbuildVersion>("MsbuildVersion"),
    Int32<&TCoordBuildActivityInfo::NumberOfLocalTasks>("NumberOfLocalTasks"),
    Int32<&TCoordBuildActivityInfo::NumberOfRemoteTasks>("NumberOfRemoteTasks"),
    Int32<&TCoordBuildActivityInfo::NumberOfCloudTasks>("NumberOfCloudTasks"),
    Bool<&TCoordBuildActivityInfo::StandaloneInd>("StandaloneInd"),
    Int32<&TCoordBuildActivityInfo::PdbLimit>("PdbLimit"),
    Int32<&TCoordBuildActivityInfo::CoreLimit>("CoreLimit"),
    DateTime<&TCoordBuildActivityInfo::AvgActualNeededHelpers>("AvgActualNeededHelpers"),
    String<&TCoordBuildActivityInfo::MachineId>("MachineId"),
    Int32List<&TCoordBuildActivityInfo::UtilizedFeatures>("UtilizedFeatures"),
    Int32List<&TCoordBuildActivityInfo::MissingFeatures>("MissingFeatures"),
    String<&TCoordBuildActivityInfo::LocalStartTime>("LocalStartTime"),
    String<&TCoordBuildActivityInfo::ConfigFileContent>("ConfigFileContent"),
    Bool<&TCoordBuildActivityInfo::IsInitiator>("IsInitiator"),
    Bool<&TCoordBuildActivityInfo::IsCiInitiator>("IsCiInitiator"),
    Int32<&TCoordBuildActivityInfo::LoggingLevel>("LoggingLevel"),
    String<&TCoordBuildActivityInfo::AgentDescription>("AgentDescription"),
    String<&TCoordBuildActivityInfo::LoggedOnUsers>("LoggedOnUsers"))

RAVEL_PACKET_TABLE(TStartBCServicePacket, "{C6DAA22B-2E4B-4967-A6AE-F79B8015ADCE}",
                   Bool<&TStartBCServicePacket::Reserved>("Reserved"))

RAVEL_PACKET_TABLE(TStopBCServicePacket, "{8F78EAF6-5115-46AC-A4ED-2BF8235D6895}",
                   Bool<&TStopBCServicePacket::Reserved>("Reserved"))

RAVEL_PACKET_TABLE(
    TProductInformationPacket, "{250B5A66-4EF1-432A-9949-3CB94F9F5AA1}",
    Set<&TProductInformationPacket::MorvekProductMode>("MorvekProductMode"),
    Set<&TProductInformationPacket::ExecutionMode>("ExecutionMode"),
    Set<&TProductInformationPacket::SetupExecutionMode>("SetupExecutionMode"),
    String<&TProductInformationPacket::ProductCaption>("ProductCaption").DefaultText("Morvek"),
    Guid<&TProductInformationPacket::GridServiceID>("GridServiceID"),
    Guid<&TProductInformationPacket::CoordinatorServiceID>("CoordinatorServiceID"),
    Int32<&TProductInformationPacket::DefaultPortCoordinatorService>(
        "DefaultPortCoordinatorService"),
    Int32<&TProductInformationPacket::DefaultPortAgentService>("DefaultPortAgentService"),
    Int32<&TProductInformationPacket::DefaultPortAgentHelper>("DefaultPortAgentHelper"),
    Bool<&TProductInformationPacket::VsAddIn>("VsAddIn").Default(1),
    Bool<&TProductInformationPacket::VisualStudioBuilds>("VisualStudioBuilds").Default(1),
    Bool<&TProductInformationPacket::VisualStudioAddIn>("VisualStudioAddIn").Default(1),
    String<&TProductInformationPacket::SetupHelpHtml>("SetupHelpHtml"),
    String<&TProductInformationPacket::ChmHelpFile>("ChmHelpFile"))
void RegisterServicePackets() {
    const packets::TPacketClass* classes[] = {
        &TCommExceptionPacket::StaticClass(),
        &TServiceReservedPacket::StaticClass(),
        &TQueryServiceStatusPacket::StaticClass(),
        &TQueryServiceStatusReplyPacket::StaticClass(),
        &TEnableAgentPacket::StaticClass(),
        &TClearFileCachePacket::StaticClass(),
        &TStopJobPacket::StaticClass(),
        &TJobEndedPacket::StaticClass(),
        &TRequestBuildStatusPacket::StaticClass(),
        &TRequestBuildStatusReplayPacket::StaticClass(),
        &TStartJobRequestPacket::StaticClass(),
        &TStartJobRequestReplyPacket::StaticClass(),
        &TCoordBuildActivityInfo::StaticClass(),
        &TStartBCServicePacket::StaticClass(),
        &TStopBCServicePacket::StaticClass(),
    };
    for (const auto* cls : classes)
        packets::RegisterPacketClass(*cls);
}

void RegisterProductInformationPacket() {
    packets::RegisterPacketClass(TProductInformationPacket::StaticClass());
}

} // namespace records
