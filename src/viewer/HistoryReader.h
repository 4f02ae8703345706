#pragma once
// Reads a build monitor file into the model of its build, a window of events at a
// time, so that memory follows what the model keeps and not the size of the file. A
// file that is damaged, cut short or still being written gives everything before the
// damage; the model's read state says where and why reading stopped.
#include "viewer/BuildModel.h"

#include <string>

namespace packets {
class TStream;
}

namespace viewer {

// Raises core::EGeneralError when the file cannot be opened or is no build monitor
// file (its head record does not load, or its name does not end in ".mv_mon").
TBuildModel ReadHistory(const std::string& fileName);

// Replays the uncompressed events of `events` from its start into `model`.
void ReadEventStream(packets::TStream& events, TBuildModel& model);

} // namespace viewer
