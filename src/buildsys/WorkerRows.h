#pragma once
// The worker rows of a build on this machine: one per usable core, lowered by the
// agent's setting of local cores, and the whole capped by /MAXCPUS (the cores of the
// build, this machine's included).
#include "buildsys/Scheduler.h"
#include "packets/Packet.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace buildsys {

// `agentLimit` and `maxCpus` count only when above 0. At least one row.
std::int32_t LocalRowCount(std::uint32_t usableCores, std::optional<std::int64_t> agentLimit,
                           std::int32_t maxCpus);

// Rows "<host>#<n>" captioned "<host> #<n>", n from 1.
std::vector<TWorkerRow> LocalWorkerRows(const std::string& host, std::int32_t count);

// An unemploy event for every row employed at the build's end: the scheduler's employed
// rows, or the first `employed` rows when the build ended before its scheduler existed.
void UnemployRows(const TScheduler* scheduler, std::size_t employed,
                  const std::vector<TWorkerRow>& rows,
                  const std::function<void(const packets::TPacket&)>& add, std::int32_t ms);

} // namespace buildsys
