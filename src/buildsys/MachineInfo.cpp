#include "buildsys/MachineInfo.h"

#include "core/DiagnosticLog.h"

#include <algorithm>
#include <cstring>

namespace buildsys {

namespace {

std::uint8_t Byte(std::uint32_t value) {
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
}

void PutUInt32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

// The version record's layout: its size, major, minor and build numbers, platform
// (each 32-bit little-endian), then 128 bytes of text.
template <std::size_t N>
void FillVersionRecord(const platform::TMachineFacts& facts, std::array<std::uint8_t, N>& bytes) {
    static_assert(N >= 20 + 128);
    bytes.fill(0);
    PutUInt32(bytes.data(), static_cast<std::uint32_t>(N));
    PutUInt32(bytes.data() + 4, facts.OsMajor);
    PutUInt32(bytes.data() + 8, facts.OsMinor);
    PutUInt32(bytes.data() + 12, facts.OsPatch);
    const std::size_t length = std::min<std::size_t>(facts.OsName.size(), 127);
    std::memcpy(bytes.data() + 20, facts.OsName.data(), length);
}

std::int32_t IPv4Number(const std::string& address) {
    std::uint32_t value = 0;
    std::uint32_t part = 0;
    int dots = 0;
    for (const char c : address) {
        if (c == '.') {
            value = (value << 8) | part;
            part = 0;
            ++dots;
        } else if (c >= '0' && c <= '9') {
            part = part * 10 + static_cast<std::uint32_t>(c - '0');
        } else {
            return 0;
        }
    }
    if (dots != 3) {
        return 0;
    }
    return static_cast<std::int32_t>((value << 8) | part);
}

} // namespace

void FillStaticInfo(const platform::TMachineFacts& facts, std::int32_t buildCores,
                    records::TStaticPacket& info) {
    info.VersionText = core::BuildNumber();
    info.Host = facts.HostName;
    info.DisplayName = facts.HostName;
    info.Addr = facts.Address;
    info.IP = IPv4Number(facts.Address);
    info.HostComment = facts.OsName;
    info.CPUBrandString = facts.CpuBrand;
    info.CPULogicalCount = Byte(facts.LogicalCpus);
    info.CPUPhysicalCount = Byte(facts.Packages);
    info.CPUPhysicalCoreCount = Byte(facts.PhysicalCores);
    info.CPUCount_WhenInitiator = buildCores;
    info.TotalPhysical = static_cast<std::int64_t>(facts.TotalMemory);
    info.TotalVirtual = static_cast<std::int64_t>(facts.TotalMemory + facts.TotalSwap);
    constexpr std::uint64_t MB = 1024 * 1024;
    info.TotalPhysical_Legacy =
        static_cast<std::int32_t>(std::min<std::uint64_t>(facts.TotalMemory / MB, 0x7FFFFFFF));
    info.TotalVirtual_Legacy = static_cast<std::int32_t>(
        std::min<std::uint64_t>((facts.TotalMemory + facts.TotalSwap) / MB, 0x7FFFFFFF));
    info.Is64bitWindows = facts.Is64Bit;
    FillVersionRecord(facts, info.VersionInfo);
    FillVersionRecord(facts, info.OSVersionInfo);
}

} // namespace buildsys
