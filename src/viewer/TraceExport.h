#pragma once
// The build in the trace event format that trace viewers open: one process per
// machine and one thread per worker row, a complete event per task on its row, counter
// events for the graphs (on a process of their own), and metadata naming every process
// and thread.
#include "viewer/BuildModel.h"

#include <functional>
#include <string_view>

namespace viewer {

// Hands the JSON document to `write` piece by piece.
void WriteTrace(const TBuildModel& model, const std::function<void(std::string_view)>& write);

} // namespace viewer
