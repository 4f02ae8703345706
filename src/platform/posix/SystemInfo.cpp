#include "platform/SystemInfo.h"

#include "platform/Clock.h"

#include <arpa/inet.h>
#include <fstream>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/utsname.h>
#include <unistd.h>
#include <utility>

namespace platform {

namespace {

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string FirstAddress() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return {};
    }
    std::string found;
    for (ifaddrs* a = list; a && found.empty(); a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
        if ((ntohl(in->sin_addr.s_addr) >> 24) == 127) {
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) {
            found = text;
        }
    }
    ::freeifaddrs(list);
    return found;
}

void ReadCpuInfo(TMachineFacts& facts) {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    std::string physical;
    std::set<std::pair<std::string, std::string>> cores;
    std::set<std::string> packages;
    while (std::getline(in, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const std::string key = Trim(line.substr(0, colon));
        const std::string value = Trim(line.substr(colon + 1));
        if (key == "model name" && facts.CpuBrand.empty()) {
            facts.CpuBrand = value;
        } else if (key == "physical id") {
            physical = value;
            packages.insert(value);
        } else if (key == "core id") {
            cores.emplace(physical, value);
        }
    }
    facts.PhysicalCores = static_cast<std::uint32_t>(cores.size());
    facts.Packages = static_cast<std::uint32_t>(packages.size());
}

// The value of a "Name:   123 kB" line of /proc/meminfo, in bytes.
std::optional<std::uint64_t> MemInfoValue(const std::string& text, const std::string& name) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(name + ":")) {
            std::istringstream fields(line.substr(name.size() + 1));
            std::uint64_t kb = 0;
            if (fields >> kb) {
                return kb * 1024;
            }
        }
    }
    return std::nullopt;
}

std::string ReadSmallFile(const char* path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TMachineFacts ReadMachineFacts() {
    TMachineFacts facts;
    facts.HostName = ComputerName();
    facts.Address = FirstAddress();
    utsname name{};
    if (::uname(&name) == 0) {
        facts.OsName = std::string(name.sysname) + " " + name.release;
        std::istringstream release(name.release);
        char dot = 0;
        release >> facts.OsMajor >> dot >> facts.OsMinor >> dot >> facts.OsPatch;
        facts.Is64Bit = std::string(name.machine).find("64") != std::string::npos;
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    facts.LogicalCpus = online > 0 ? static_cast<std::uint32_t>(online) : 1;
    ReadCpuInfo(facts);
    const std::string memInfo = ReadSmallFile("/proc/meminfo");
    facts.TotalMemory = MemInfoValue(memInfo, "MemTotal").value_or(0);
    facts.TotalSwap = MemInfoValue(memInfo, "SwapTotal").value_or(0);
    return facts;
}

std::uint32_t UsableCpuCount() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<std::uint32_t>(count);
        }
    }
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::uint32_t>(online) : 1;
}

std::optional<TCpuTimes> ReadCpuTimes() {
    std::ifstream in("/proc/stat");
    std::string label;
    if (!(in >> label) || label != "cpu") {
        return std::nullopt;
    }
    // user nice system idle iowait irq softirq steal (guest times are inside user).
    std::uint64_t values[8] = {};
    for (std::uint64_t& value : values) {
        if (!(in >> value)) {
            return std::nullopt;
        }
    }
    TCpuTimes times;
    for (const std::uint64_t value : values) {
        times.Total += value;
    }
    times.Busy = times.Total - values[3] - values[4];
    return times;
}

std::optional<TMemoryUse> ReadMemoryUse() {
    const std::string memInfo = ReadSmallFile("/proc/meminfo");
    const std::optional<std::uint64_t> total = MemInfoValue(memInfo, "MemTotal");
    const std::optional<std::uint64_t> available = MemInfoValue(memInfo, "MemAvailable");
    if (!total || !available) {
        return std::nullopt;
    }
    return TMemoryUse{*total, *available};
}

} // namespace platform
