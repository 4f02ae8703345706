#pragma once
// The agent's static description (host, processor, memory, operating system, build
// cache) and the records nested in it, as field tables.
#include "packets/Packet.h"

#include <array>

namespace records {

// The operating system's basic and extended version records, carried as bytes.
using TVersionInfoBytes = std::array<std::uint8_t, 148>;
using TOSVersionInfoBytes = std::array<std::uint8_t, 156>;
// One-byte sets the system carries without reading them.
enum class TAgentFlag : std::uint8_t {};
using TAgentSet = packets::TSet<TAgentFlag, 1>;

struct TNetworkConnectionInfoPacket : packets::TPacket {
    std::int64_t SpeedBitsPerSec{};
    std::int32_t IP{};
    std::string Name;
    std::string Description;
    std::string PhysicalAddress;
    RAVEL_PACKET(TNetworkConnectionInfoPacket, packets::TPacket, 5)
};

struct TBenchmarkPacket : packets::TPacket {
    std::int32_t RAM_Write_MBPerSec{};
    std::int32_t RAM_Read_MBPerSec{};
    std::int32_t L1_Write_MBPerSec{};
    std::int32_t L1_Read_MBPerSec{};
    std::int32_t CPU_Add_MHz{};
    std::int32_t CPU_Mul_MHz{};
    std::int32_t CPU_Lea_MHz{};
    std::int32_t Rating{};
    std::int32_t MemoryRating{};
    std::int32_t CpuRating{};
    std::int32_t CPU_Speed{};
    std::int64_t Time_100ns_Obsolete{};
    RAVEL_PACKET(TBenchmarkPacket, packets::TPacket, 12)
};

struct TSchedulerPacket : packets::TCommPacket {
    bool Enable{};
    double StartTime{};
    double StopTime{};
    RAVEL_PACKET(TSchedulerPacket, packets::TCommPacket, 3)
};

struct TStaticPacket : packets::TPacket {
    std::int32_t Version{};
    std::string VersionText;
    core::TGUID ReservedGUID_Obsolete;
    double ReservedDate_Obsolete{};
    std::string Host;
    std::string Addr;
    std::string ID;
    std::int32_t Port{};
    std::int32_t CPUSpeed{};
    std::string HostComment;
    std::int32_t ShadowSize{};
    TVersionInfoBytes VersionInfo;
    std::uint8_t LogLevel{};
    std::int64_t DiskTotal{};
    std::int32_t IP{};
    std::string DisplayName;
    std::int32_t TotalPhysical_Legacy{};
    std::int32_t TotalVirtual_Legacy{};
    std::int32_t ShadowFragCount_Obsolete{};
    std::int32_t CPUCount_WhenHelper{};
    bool AllowEnableDisable{};
    std::string MSVCVersion;
    std::string NETFramworkVersion;
    core::TStringListEx InstalledAssemblies_Obsolete;
    std::int32_t RemoteTaskPriority{};
    std::string CPUBrandString;
    std::uint8_t CPULogicalCount{};
    std::uint8_t CPUPhysicalCount{};
    std::int64_t ConnectionSpeed_BackwardCompatible{};
    TNetworkConnectionInfoPacket ConnectionInfo;
    std::int32_t RoutingIP{};
    std::uint16_t ProcessorArchitecture{};
    TBenchmarkPacket Benchmark;
    bool UseAgentWhenRunningOnBattery{};
    std::int64_t TotalPhysical{};
    std::int64_t TotalVirtual{};
    std::int32_t ProductInfoType{};
    std::int32_t Serverr2Metric{};
    std::uint8_t VersionInfoProductType{};
    std::uint16_t SuiteMask{};
    std::uint16_t ActiveCodePage{};
    core::TGUID HistorySourceID;
    TSchedulerPacket Scheduler;
    TOSVersionInfoBytes OSVersionInfo;
    bool Is64bitWindows{};
    std::int32_t CPUCount_WhenInitiator{};
    TAgentSet AgentType;
    std::uint8_t CPUPhysicalCoreCount{};
    TAgentSet ReservedSetA;
    TAgentSet ReservedSetB;
    std::int32_t ReservedCount{};
    bool HasLocalCoordinatorInstalled{};
    std::string MachineID;
    std::int32_t BuildCacheSizeGB{};
    std::string BuildCacheFolder;
    std::string BuildCacheDatabaseFolder;
    TAgentSet ReservedSetC;
    std::string AgentLocation;
    bool UseLocalBuildCache{};
    std::string RemoteBuildCacheServer;
    bool IsWine{};
    bool IsSingleUse{};
    bool UseBuildCacheReadOnly{};
    std::int32_t LocalBCServicePort{};
    std::string AgentLocationReg;
    bool UseBuildCacheCluster{};
    RAVEL_PACKET(TStaticPacket, packets::TPacket, 66)
};
// The network unit's record first, then benchmark, scheduler and static description.
void RegisterNetworkConnectionInfoPacket();
void RegisterAgentDescriptionPackets();

} // namespace records
