#pragma once
// The scheduler policy of a build: its request's switches, and whether idle rows of this
// machine run remote tasks a second time, from the agent setting HelperDoubling (dword,
// under the key of the agent's other settings; 0 turns it off, on when absent).
#include "buildsys/Scheduler.h"
#include "records/BuildPackets.h"

namespace buildsys {

// The agent's doubling setting; an unreadable one is logged and counts as absent.
bool DoublingSetting();

TSchedulerPolicy SchedulerPolicyFor(const records::TBuildCommandPacket& request);

} // namespace buildsys
