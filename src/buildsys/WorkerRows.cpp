#include "buildsys/WorkerRows.h"

#include "records/MonitorEvents.h"

#include <algorithm>

namespace buildsys {

std::int32_t LocalRowCount(std::uint32_t usableCores, std::optional<std::int64_t> agentLimit,
                           std::int32_t maxCpus) {
    std::int64_t rows = std::max<std::uint32_t>(usableCores, 1);
    if (agentLimit && *agentLimit > 0) {
        rows = std::min(rows, *agentLimit);
    }
    if (maxCpus > 0) {
        rows = std::min<std::int64_t>(rows, maxCpus);
    }
    return static_cast<std::int32_t>(rows);
}

std::vector<TWorkerRow> LocalWorkerRows(const std::string& host, std::int32_t count) {
    std::vector<TWorkerRow> rows;
    for (std::int32_t n = 1; n <= count; ++n) {
        const std::string number = std::to_string(n);
        rows.push_back(TWorkerRow{host + "#" + number, host + " #" + number, host, true, {}, {}});
    }
    return rows;
}

void UnemployRows(const TScheduler* scheduler, std::size_t employed,
                  const std::vector<TWorkerRow>& rows,
                  const std::function<void(const packets::TPacket&)>& add, std::int32_t ms) {
    std::vector<std::int32_t> release;
    if (scheduler) {
        release = scheduler->EmployedRows();
    } else {
        for (std::size_t i = 0; i < employed; ++i) {
            release.push_back(static_cast<std::int32_t>(i));
        }
    }
    for (const std::int32_t i : release) {
        records::TMonitorEventUnemployPacket unemploy;
        unemploy.ms = ms;
        unemploy.ID = rows[static_cast<std::size_t>(i)].ID;
        unemploy.RowIndex = i;
        add(unemploy);
    }
}

} // namespace buildsys
