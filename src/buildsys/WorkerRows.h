#pragma once
// The worker rows of a build on this machine: one per usable core, lowered by the
// agent's setting of local cores, and the whole capped by /MAXCPUS (the cores of the
// build, this machine's included).
#include "buildsys/Scheduler.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace buildsys {

// `agentLimit` and `maxCpus` count only when above 0. At least one row.
std::int32_t LocalRowCount(std::uint32_t usableCores, std::optional<std::int64_t> agentLimit,
                           std::int32_t maxCpus);

// Rows "<host>#<n>" captioned "<host> #<n>", n from 1.
std::vector<TWorkerRow> LocalWorkerRows(const std::string& host, std::int32_t count);

} // namespace buildsys
