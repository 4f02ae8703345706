#pragma once
// The build metadata record that heads a build monitor file, its attachments and
// the cache of such records, as field tables.
#include "records/BuildPackets.h"

namespace records {

// When the events follow the record in the file, OldMonitorEvents holds this text
// as a 4-byte length and the characters.
inline constexpr std::string_view EventsAppendedMarker = "EventsInParentStreamAppendedToMetaBuild";

struct TMetaBuildAttachmentPacket : packets::TPacket {
    std::string Filename;
    packets::TMemoryStream Content;
    RAVEL_PACKET(TMetaBuildAttachmentPacket, packets::TPacket, 2)
};
using TMetaBuildAttachmentPacketList = packets::TPacketList<TMetaBuildAttachmentPacket>;

struct TMetaBuildPacket : packets::TPacket {
    core::TGUID ID;
    std::string Caption;
    std::string ComputerName;
    std::string UserName;
    TBuildFlags BuildFlags;
    std::int32_t ErrorCount{};
    std::int32_t WarningCount{};
    std::int32_t SystemErrorCount{};
    std::int32_t SystemWarningCount{};
    double StartTime{};
    double Duration{};
    bool Cancelled{};
    packets::TMemoryStream OldMonitorEvents;
    std::int32_t ProductVersion{};
    std::int32_t ProductBuildNum{};
    std::string ProductVersionText;
    std::int32_t SystemAutoRecoveryCount{};
    packets::TMemoryStream OldBuildLog;
    std::string ProjectFormat;
    std::int32_t LoggingLevel{};
    bool SegmentedBuildLog{};
    std::string PrimaryFilename;
    bool Incomplete{};
    TBuildCommandPacket Command;
    packets::TMemoryStream OldEventLog;
    TMetaBuildAttachmentPacketList Attachments;
    std::string Tag;
    packets::TMemoryStream MonitorEvents;
    bool OverrideBuildStatusToSuccess{};
    std::int32_t ExitCode{};
    packets::TMemoryStream BuildLog;
    packets::TMemoryStream EventLog;
    bool PredictedExecution{};
    std::string AgentDescription;
    std::string LoggedOnUsers;
    RAVEL_PACKET(TMetaBuildPacket, packets::TPacket, 35)
};
using TMetaBuildPacketList = packets::TPacketList<TMetaBuildPacket>;

struct TMetaBuildCachePacket : packets::TPacket {
    TMetaBuildPacketList Builds;
    RAVEL_PACKET(TMetaBuildCachePacket, packets::TPacket, 1)
};

void RegisterMetaBuildPackets();

} // namespace records
