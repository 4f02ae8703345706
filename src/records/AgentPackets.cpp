#include "records/AgentPackets.h"

namespace records {

using namespace packets::fields;

RAVEL_PACKET_TABLE(TNetworkConnectionInfoPacket, "{744E97F7-7BD0-4D89-B5BE-708F31869BF2}",
                   Int64<&TNetworkConnectionInfoPacket::SpeedBitsPerSec>("SpeedBitsPerSec"),
                   Int32<&TNetworkConnectionInfoPacket::IP>("IP"),
                   String<&TNetworkConnectionInfoPacket::Name>("Name"),
                   String<&TNetworkConnectionInfoPacket::Description>("Description"),
                   String<&TNetworkConnectionInfoPacket::PhysicalAddress>("PhysicalAddress"))

RAVEL_PACKET_TABLE(TBenchmarkPacket, "{F347CC1A-F240-4D6B-8216-5DDD0C824570}",
                   Int32<&TBenchmarkPacket::RAM_Write_MBPerSec>("RAM_Write_MBPerSec"),
                   Int32<&TBenchmarkPacket::RAM_Read_MBPerSec>("RAM_Read_MBPerSec"),
                   Int32<&TBenchmarkPacket::L1_Write_MBPerSec>("L1_Write_MBPerSec"),
                   Int32<&TBenchmarkPacket::L1_Read_MBPerSec>("L1_Read_MBPerSec"),
                   Int32<&TBenchmarkPacket::CPU_Add_MHz>("CPU_Add_MHz"),
                   Int32<&TBenchmarkPacket::CPU_Mul_MHz>("CPU_Mul_MHz"),
                   Int32<&TBenchmarkPacket::CPU_Lea_MHz>("CPU_Lea_MHz"),
                   Int32<&TBenchmarkPacket::Rating>("Rating"),
                   Int32<&TBenchmarkPacket::MemoryRating>("MemoryRating"),
                   Int32<&TBenchmarkPacket::CpuRating>("CpuRating"),
                   Int32<&TBenchmarkPacket::CPU_Speed>("CPU_Speed"),
                   Int64<&TBenchmarkPacket::Time_100ns_Obsolete>("Time_100ns_Obsolete"))

RAVEL_PACKET_TABLE(TSchedulerPacket, "{15177F77-B805-45C3-9734-36A191B8136B}",
                   Bool<&TSchedulerPacket::Enable>("Enable"),
                   DateTime<&TSchedulerPacket::StartTime>("StartTime"),
                   DateTime<&TSchedulerPacket::StopTime>("StopTime"))

RAVEL_PACKET_TABLE(
    TStaticPacket, "{9CE5866E-6274-45A6-B506-9A9BCC38A53A}",
    Int32<&TStaticPacket::Version>("Version"), String<&TStaticPacket::VersionText>("VersionText"),
    Guid<&TStaticPacket::ReservedGUID_Obsolete>("ReservedGUID_Obsolete"),
    DateTime<&TStaticPacket::ReservedDate_Obsolete>("ReservedDate_Obsolete"),
    String<&TStaticPacket::Host>("Host"), String<&TStaticPacket::Addr>("Addr"),
    String<&TStaticPacket::ID>("ID"), Int32<&TStaticPacket::Port>("Port"),
    Int32<&TStaticPacket::CPUSpeed>("CPUSpeed"), String<&TStaticPacket::HostComment>("HostComment"),
    Int32<&TStaticPacket::ShadowSize>("ShadowSize"),
    Raw<&TStaticPacket::VersionInfo>("VersionInfo"), Byte<&TStaticPacket::LogLevel>("LogLevel"),
    Int64<&TStaticPacket::DiskTotal>("DiskTotal"), Int32<&TStaticPacket::IP>("IP"),
    String<&TStaticPacket::DisplayName>("DisplayName"),
    Int32<&TStaticPacket::TotalPhysical_Legacy>("TotalPhysical_Legacy"),
    Int32<&TStaticPacket::TotalVirtual_Legacy>("TotalVirtual_Legacy"),
    Int32<&TStaticPacket::ShadowFragCount_Obsolete>("ShadowFragCount_Obsolete"),
    Int32<&TStaticPacket::CPUCount_WhenHelper>("CPUCount_WhenHelper"),
    Bool<&TStaticPacket::AllowEnableDisable>("AllowEnableDisable").Default(1),
    String<&TStaticPacket::MSVCVersion>("MSVCVersion").DefaultText("-1"),
    String<&TStaticPacket::NETFramworkVersion>("NETFramworkVersion").DefaultText("-1"),
    TextList<&TStaticPacket::InstalledAssemblies_Obsolete>("InstalledAssemblies_Obsolete"),
    Int32<&TStaticPacket::RemoteTaskPriority>("RemoteTaskPriority"),
    String<&TStaticPacket::CPUBrandString>("CPUBrandString"),
    Byte<&TStaticPacket::CPULogicalCount>("CPULogicalCount"),
    Byte<&TStaticPacket::CPUPhysicalCount>("CPUPhysicalCount"),
    Int64<&TStaticPacket::ConnectionSpeed_BackwardCompatible>("ConnectionSpeed_BackwardCompatible"),
    Record<&TStaticPacket::ConnectionInfo>("ConnectionInfo"),
    Int32<&TStaticPacket::RoutingIP>("RoutingIP"),
    Word<&TStaticPacket::ProcessorArchitecture>("ProcessorArchitecture"),
    Record<&TStaticPacket::Benchmark>("Benchmark"),
    Bool<&TStaticPacket::UseAgentWhenRunningOnBattery>("UseAgentWhenRunningOnBattery"),
    Int64<&TStaticPacket::TotalPhysical>("TotalPhysical"),
    Int64<&TStaticPacket::TotalVirtual>("TotalVirtual"),
    Int32<&TStaticPacket::ProductInfoType>("ProductInfoType").Default(-1),
    Int32<&TStaticPacket::Serverr2Metric>("Serverr2Metric"),
    Byte<&TStaticPacket::VersionInfoProductType>("VersionInfoProductType"),
    Word<&TStaticPacket::SuiteMask>("SuiteMask"),
    Word<&TStaticPacket::ActiveCodePage>("ActiveCodePage"),
    Guid<&TStaticPacket::HistorySourceID>("HistorySourceID"),
    Record<&TStaticPacket::Scheduler>("Scheduler"),
    Raw<&TStaticPacket::OSVersionInfo>("OSVersionInfo"),
    Bool<&TStaticPacket::Is64bitWindows>("Is64bitWindows").Default(1),
    Int32<&TStaticPacket::CPUCount_WhenInitiator>("CPUCount_WhenInitiator"),
    Set<&TStaticPacket::AgentType>("AgentType"),
    Byte<&TStaticPacket::CPUPhysicalCoreCount>("CPUPhysicalCoreCount"),
    Set<&TStaticPacket::ReservedSetA>("ReservedSetA"),
    Set<&TStaticPacket::ReservedSetB>("ReservedSetB"),
    Int32<&TStaticPacket::ReservedCount>("ReservedCount").Default(-1),
    Bool<&TStaticPacket::HasLocalCoordinatorInstalled>("HasLocalCoordinatorInstalled"),
    String<&TStaticPacket::MachineID>("MachineID"),
    Int32<&TStaticPacket::BuildCacheSizeGB>("BuildCacheSizeGB").Default(-1),
    String<&TStaticPacket::BuildCacheFolder>("BuildCacheFolder"),
    String<&TStaticPacket::BuildCacheDatabaseFolder>("BuildCacheDatabaseFolder"),
    Set<&TStaticPacket::ReservedSetC>("ReservedSetC"),
    String<&TStaticPacket::AgentLocation>("AgentLocation"),
    Bool<&TStaticPacket::UseLocalBuildCache>("UseLocalBuildCache").Default(1),
    String<&TStaticPacket::RemoteBuildCacheServer>("RemoteBuildCacheServer"),
    Bool<&TStaticPacket::IsWine>("IsWine"), Bool<&TStaticPacket::IsSingleUse>("IsSingleUse"),
    Bool<&TStaticPacket::UseBuildCacheReadOnly>("UseBuildCacheReadOnly"),
    Int32<&TStaticPacket::LocalBCServicePort>("LocalBCServicePort"),
    String<&TStaticPacket::AgentLocationReg>("AgentLocationReg"),
    Bool<&TStaticPacket::UseBuildCacheCluster>("UseBuildCacheCluster"))
void RegisterNetworkConnectionInfoPacket() {
    packets::RegisterPacketClass(TNetworkConnectionInfoPacket::StaticClass());
}

void RegisterAgentDescriptionPackets() {
    packets::RegisterPacketClass(TBenchmarkPacket::StaticClass());
    packets::RegisterPacketClass(TSchedulerPacket::StaticClass());
    packets::RegisterPacketClass(TStaticPacket::StaticClass());
}

} // namespace records
