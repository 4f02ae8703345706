#pragma once
// The activity record that tells the agent service about a build it refused to
// start while the console was told not to wait.
#include "records/ServicePackets.h"

#include <cstdint>
#include <memory>
#include <string_view>

namespace build {

// `startResult` is the agent's refusal (1 concurrent builds, 2 cores, 4 update).
std::unique_ptr<records::TCoordBuildActivityInfo>
MakeRefusedBuildActivity(const records::TBuildCommandPacket& request, std::string_view agentHost,
                         std::uint8_t startResult);

} // namespace build
