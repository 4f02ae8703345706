#pragma once
// The output event of a text read from the build's or a task's output.
#include "buildsys/OutputScanner.h"
#include "packets/Packet.h"

#include <cstdint>
#include <functional>

namespace buildsys {

// Gives `add` the event; `taskID` 0: output of the build itself.
void AddOutputEvent(const std::function<void(const packets::TPacket&)>& add, std::int32_t ms,
                    const TOutputText& text, std::int32_t taskID = 0);

} // namespace buildsys
