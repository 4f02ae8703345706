#pragma once
// This machine's static description, as the employ events of its worker rows carry it.
#include "platform/SystemInfo.h"
#include "records/AgentPackets.h"

#include <cstdint>

namespace buildsys {

// Fills host, address, processor, memory and operating system from `facts`; the
// version records hold the kernel's release numbers and its name and release as text.
// `buildCores` is the count of rows this machine gives the build.
void FillStaticInfo(const platform::TMachineFacts& facts, std::int32_t buildCores,
                    records::TStaticPacket& info);

} // namespace buildsys
