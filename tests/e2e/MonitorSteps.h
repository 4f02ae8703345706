#pragma once
// Reads a monitor file back and checks its task events: every begin step pairs with
// one end or step failed on its worker, and no worker runs two tasks at once.
#include "packets/Packet.h"

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace e2e {

using TEvents = std::vector<std::unique_ptr<packets::TPacket>>;

// The events of a monitor file (a test failure when it cannot be opened).
TEvents MonitorFileEvents(const std::string& file);

struct TStepCheck {
    int Begins = 0, Ends = 0, Failed = 0, NonZeroExits = 0;
    std::set<std::int32_t> TaskIDs;
};
// Counts the task events; a test failure for each unpaired or overlapping one, and for
// a row of a helper unless `helperRows`.
TStepCheck CheckSteps(const TEvents& events, bool helperRows = false);

} // namespace e2e
