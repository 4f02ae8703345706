#pragma once
// The build system's priority class, from the Windows value the agent settings hold.
#include "platform/Process.h"

#include <cstdint>
#include <optional>

namespace build {

// 32 normal, 64 idle, 128 high, 256 real-time, 16384 below normal, 32768 above
// normal; any other value asks for no priority class at all.
std::optional<platform::TPriorityClass> PriorityClassOf(std::int64_t value);

} // namespace build
