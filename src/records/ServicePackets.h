#pragma once
// Requests and replies of the local agent service, the error reply of the comm
// pipe, and the product information record, as field tables.
#include "records/AgentPackets.h"
#include "records/BuildPackets.h"

namespace records {

// One-byte sets of the product information, carried unchanged.
enum class TProductMode : std::uint8_t {};
using TProductModeSet = packets::TSet<TProductMode, 1>;

struct TCommExceptionPacket : packets::TPacket {
    std::string ExceptionMessage;
    std::string ExceptionClass;
    std::string ExceptionMethodName;
    RAVEL_PACKET(TCommExceptionPacket, packets::TPacket, 3)
};

// Held in field 0 of the status reply; our agent service writes it without fields.
// Replies travel in the full form, so a reader skips whatever another writer put in.
struct TServiceReservedPacket : packets::TPacket {
    RAVEL_PACKET(TServiceReservedPacket, packets::TPacket, 0)
};

struct TQueryServiceStatusPacket : packets::TCommPacket {
    bool Reserved{};
    RAVEL_PACKET(TQueryServiceStatusPacket, packets::TCommPacket, 1)
};

struct TQueryServiceStatusReplyPacket : packets::TPacket {
    TServiceReservedPacket ReservedRecord;
    bool CoordinatorMisconnection{};
    bool StandAlone{};
    bool UsingBackup{};
    bool ConnectedDirectlyToBackup{};
    bool ReservedFlag{};
    bool CoordinatorVersionMismatch{};
    std::int32_t CpuCount{};
    std::string AgentID;
    double ReservedTime1{};
    double ReservedTime2{};
    TStaticPacket StaticPacket;
    std::int32_t MaxHelpersPerJob{};
    bool FirewallMisconfigured{};
    bool ReservedFlag2{};
    std::string ReservedText;
    std::string CoordinatorID;
    bool BuildCacheSupported{};
    bool AllowCustomDistributionProfiles{};
    std::string LoggedOnUsers;
    RAVEL_PACKET(TQueryServiceStatusReplyPacket, packets::TPacket, 20)
};

struct TEnableAgentPacket : packets::TCommPacket {
    bool Enable{};
    RAVEL_PACKET(TEnableAgentPacket, packets::TCommPacket, 1)
};

struct TClearFileCachePacket : packets::TCommPacket {
    bool Reserved{};
    RAVEL_PACKET(TClearFileCachePacket, packets::TCommPacket, 1)
};

struct TStopJobPacket : packets::TCommPacket {
    core::TGUID JobID;
    RAVEL_PACKET(TStopJobPacket, packets::TCommPacket, 1)
};

// A build system tells the agent that its build has ended: the build's slot is free at
// once. Only the build's own user may say so (the agent checks the caller).
struct TJobEndedPacket : packets::TCommPacket {
    core::TGUID JobID;
    RAVEL_PACKET(TJobEndedPacket, packets::TCommPacket, 1)
};

struct TRequestBuildStatusPacket : packets::TCommPacket {
    bool ReservedForFutureUse{};
    RAVEL_PACKET(TRequestBuildStatusPacket, packets::TCommPacket, 1)
};

struct TRequestBuildStatusReplayPacket : packets::TPacket {
    TBuildStatusPacketList Builds;
    RAVEL_PACKET(TRequestBuildStatusReplayPacket, packets::TPacket, 1)
};

struct TStartJobRequestPacket : packets::TCommPacket {
    std::int32_t ComponentVersion{};
    std::string ComponentVersionText;
    std::string ComponentDisplayName;
    std::int32_t PluginVersion{};
    RAVEL_PACKET(TStartJobRequestPacket, packets::TCommPacket, 4)
};

struct TStartJobRequestReplyPacket : packets::TPacket {
    std::uint8_t Result{};
    core::TGUID JobID;
    // The agent's local build-cache service, for a user allowed to use it (0: none).
    std::int32_t BuildCachePort{};
    std::string BuildCachePassword;
    // The shared build-cache server of the agent's settings, for the same users.
    std::string BuildCacheSharedServer;
    std::string BuildCacheSharedPassword;
    RAVEL_PACKET(TStartJobRequestReplyPacket, packets::TPacket, 6)
};

struct TCoordBuildActivityInfo : packets::TCommPacket {
    std::int32_t BuildId{};
    std::string BuildGuid;
    std::string AgentId;
    std::string BuildTitle;
    std::int32_t BuildTypeId{};
    std::int64_t StartTS{};
    std::int64_t EndTS{};
    std::int32_t Duration{};
    std::int32_t DurationLocal{};
    std::int32_t DurationRemote{};
    std::int32_t DurationCloud{};
    std::int32_t BuildStatusId{};
    std::int32_t MaxCoresUsed{};
    std::int32_t MaxLocalCoresUsed{};
    std::int32_t MaxRemoteCoresUsed{};
    std::int32_t MaxCloudCoresUsed{};
    std::int32_t MinCoresUsed{};
    std::int32_t MinLocalCoresUsed{};
    std::int32_t MinRemoteCoresUsed{};
    std::int32_t MinCloudCoresUsed{};
    std::int32_t NumberOfTasks{};
    std::int32_t AvgReadyTasks{};
    double AvgUsedCores{};
    double AvgUsedLocalCores{};
    double AvgUsedRemoteCores{};
    double AvgUsedCloudCores{};
    std::int32_t MaxReadyTasks{};
    std::int32_t MaxNeededHelpers{};
    double AvgNeededHelpers{};
    std::int32_t MaxBlockedTasks{};
    double AvgBlockedTasks{};
    std::int32_t MaxCoresLimitViolation{};
    double AvgCoresLimitViolation{};
    std::int32_t BiIssuer{};
    std::int32_t TimeSaved{};
    bool AvoidLocal{};
    std::string Command;
    bool Predicted{};
    std::string BuildsetVersion;
    std::string MsbuildVersion;
    std::int32_t NumberOfLocalTasks{};
    std::int32_t NumberOfRemoteTasks{};
    std::int32_t NumberOfCloudTasks{};
    bool StandaloneInd{};
    std::int32_t PdbLimit{};
    std::int32_t CoreLimit{};
    double AvgActualNeededHelpers{};
    std::string MachineId;
    std::vector<std::int32_t> UtilizedFeatures;
    std::vector<std::int32_t> MissingFeatures;
    std::string LocalStartTime;
    std::string ConfigFileContent;
    bool IsInitiator{};
    bool IsCiInitiator{};
    std::int32_t LoggingLevel{};
    std::string AgentDescription;
    std::string LoggedOnUsers;
    RAVEL_PACKET(TCoordBuildActivityInfo, packets::TCommPacket, 57)
};

struct TStartBCServicePacket : packets::TCommPacket {
    bool Reserved{};
    RAVEL_PACKET(TStartBCServicePacket, packets::TCommPacket, 1)
};

struct TStopBCServicePacket : packets::TCommPacket {
    bool Reserved{};
    RAVEL_PACKET(TStopBCServicePacket, packets::TCommPacket, 1)
};

struct TProductInformationPacket : packets::TPacket {
    TProductModeSet MorvekProductMode;
    TProductModeSet ExecutionMode;
    TProductModeSet SetupExecutionMode;
    std::string ProductCaption;
    core::TGUID GridServiceID;
    core::TGUID CoordinatorServiceID;
    std::int32_t DefaultPortCoordinatorService{};
    std::int32_t DefaultPortAgentService{};
    std::int32_t DefaultPortAgentHelper{};
    bool VsAddIn{};
    bool VisualStudioBuilds{};
    bool VisualStudioAddIn{};
    std::string SetupHelpHtml;
    std::string ChmHelpFile;
    RAVEL_PACKET(TProductInformationPacket, packets::TPacket, 14)
};
// The comm pipe's error reply, then the requests and replies of the agent service,
// then the product information.
void RegisterServicePackets();
void RegisterProductInformationPacket();

} // namespace records
