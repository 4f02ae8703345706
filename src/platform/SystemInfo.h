#pragma once
// Facts about this machine and its load, for the build's worker rows and graphs.
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct TMachineFacts {
    std::string HostName;
    std::string Address;  // the first non-loopback IPv4 address; empty when none
    std::string CpuBrand; // the processor's model name
    std::string OsName;   // kernel name and release, e.g. "Linux 6.1.0-18-amd64"
    std::uint32_t OsMajor = 0;
    std::uint32_t OsMinor = 0;
    std::uint32_t OsPatch = 0;
    std::uint32_t LogicalCpus = 0;   // online processors
    std::uint32_t PhysicalCores = 0; // distinct cores (0 when unknown)
    std::uint32_t Packages = 0;      // distinct processor packages (0 when unknown)
    std::uint64_t TotalMemory = 0;   // bytes
    std::uint64_t TotalSwap = 0;     // bytes
    bool Is64Bit = false;
};

TMachineFacts ReadMachineFacts();

// The processors this process may run on (at least 1).
std::uint32_t UsableCpuCount();

// Processor time of the whole machine since boot, in clock ticks.
struct TCpuTimes {
    std::uint64_t Busy = 0;
    std::uint64_t Total = 0;
};
std::optional<TCpuTimes> ReadCpuTimes();

// Memory of the machine in bytes.
struct TMemoryUse {
    std::uint64_t Total = 0;
    std::uint64_t Available = 0;
};
std::optional<TMemoryUse> ReadMemoryUse();

} // namespace platform
