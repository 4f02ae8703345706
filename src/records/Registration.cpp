#include "records/Registration.h"

#include "records/AgentPackets.h"
#include "records/BuildPackets.h"
#include "records/MetaBuildPackets.h"
#include "records/MonitorEvents.h"
#include "records/ProfilePackets.h"
#include "records/ServicePackets.h"

namespace records {

void RegisterAllPacketClasses() {
    // The network unit starts before the agent description; the build unit's other
    // records follow the build-monitor records.
    RegisterNetworkConnectionInfoPacket();
    RegisterBuildCommandPackets();
    RegisterMetaBuildPackets();
    RegisterBuildUnitPackets();
    RegisterMonitorEventPackets();
    RegisterGraphPackets();
    RegisterAgentDescriptionPackets();
    RegisterServicePackets();
    RegisterProductInformationPacket();
    RegisterProfilePackets();
    RegisterBuildCacheProfilePackets();
}

} // namespace records
