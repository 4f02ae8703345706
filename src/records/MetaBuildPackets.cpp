#include "records/MetaBuildPackets.h"

namespace records {

using namespace packets::fields;

RAVEL_PACKET_TABLE(TMetaBuildAttachmentPacket, "{D6DC9F53-9D3A-4187-88B6-E9FC52D0E313}",
                   String<&TMetaBuildAttachmentPacket::Filename>("Filename"),
                   Blob<&TMetaBuildAttachmentPacket::Content>("Content"))

RAVEL_PACKET_TABLE(
    TMetaBuildPacket, "{683B05FD-48F0-4EDB-9A3B-8A823CC9AA68}", Guid<&TMetaBuildPacket::ID>("ID"),
    String<&TMetaBuildPacket::Caption>("Caption"),
    String<&TMetaBuildPacket::ComputerName>("ComputerName"),
    String<&TMetaBuildPacket::UserName>("UserName"),
    Set<&TMetaBuildPacket::BuildFlags>("BuildFlags"),
    Int32<&TMetaBuildPacket::ErrorCount>("ErrorCount"),
    Int32<&TMetaBuildPacket::WarningCount>("WarningCount"),
    Int32<&TMetaBuildPacket::SystemErrorCount>("SystemErrorCount"),
    Int32<&TMetaBuildPacket::SystemWarningCount>("SystemWarningCount"),
    DateTime<&TMetaBuildPacket::StartTime>("StartTime"),
    DateTime<&TMetaBuildPacket::Duration>("Duration"),
    Bool<&TMetaBuildPacket::Cancelled>("Cancelled"),
    Blob<&TMetaBuildPacket::OldMonitorEvents>("OldMonitorEvents"),
    Int32<&TMetaBuildPacket::ProductVersion>("ProductVersion"),
    Int32<&TMetaBuildPacket::ProductBuildNum>("ProductBuildNum"),
    String<&TMetaBuildPacket::ProductVersionText>("ProductVersionText"),
    Int32<&TMetaBuildPacket::SystemAutoRecoveryCount>("SystemAutoRecoveryCount"),
    Blob<&TMetaBuildPacket::OldBuildLog>("OldBuildLog"),
    String<&TMetaBuildPacket::ProjectFormat>("ProjectFormat"),
    Int32<&TMetaBuildPacket::LoggingLevel>("LoggingLevel").Default(-1),
    Bool<&TMetaBuildPacket::SegmentedBuildLog>("SegmentedBuildLog"),
    String<&TMetaBuildPacket::PrimaryFilename>("PrimaryFilename"),
    Bool<&TMetaBuildPacket::Incomplete>("Incomplete"),
    Record<&TMetaBuildPacket::Command>("Command"),
    Blob<&TMetaBuildPacket::OldEventLog>("OldEventLog"),
    List<&TMetaBuildPacket::Attachments>("Attachments"), String<&TMetaBuildPacket::Tag>("Tag"),
    Blob<&TMetaBuildPacket::MonitorEvents>("MonitorEvents"),
    Bool<&TMetaBuildPacket::OverrideBuildStatusToSuccess>("OverrideBuildStatusToSuccess"),
    Int32<&TMetaBuildPacket::ExitCode>("ExitCode"), Blob<&TMetaBuildPacket::BuildLog>("BuildLog"),
    Blob<&TMetaBuildPacket::EventLog>("EventLog"),
    Bool<&TMetaBuildPacket::PredictedExecution>("PredictedExecution"),
    String<&TMetaBuildPacket::AgentDescription>("AgentDescription"),
    String<&TMetaBuildPacket::LoggedOnUsers>("LoggedOnUsers"))

RAVEL_PACKET_TABLE(TMetaBuildCachePacket, "{B0FB2435-A345-4576-A255-EF6AAE191786}",
                   List<&TMetaBuildCachePacket::Builds>("Builds"))

void RegisterMetaBuildPackets() {
    packets::RegisterPacketClass(TMetaBuildPacket::StaticClass());
    packets::RegisterPacketClass(TMetaBuildAttachmentPacket::StaticClass());
    packets::RegisterPacketClass(TMetaBuildCachePacket::StaticClass());
}

} // namespace records
