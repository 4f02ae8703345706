#include "buildsys/GraphSampler.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

namespace buildsys {

namespace {

constexpr const char* CpuRow = "graph-cpu";
constexpr const char* TasksRow = "graph-tasks";
constexpr const char* MemoryRow = "graph-memory";
constexpr std::int32_t SetID = 1;

struct TGraph {
    const char* Name;
    const char* Description;
    const char* Units;
};

} // namespace

TGraphSampler::TGraphSampler(TAdd add, std::function<std::int32_t()> ms)
    : add(std::move(add)), ms(std::move(ms)) {}

std::uint64_t
TGraphSampler::SampleWhenDue(std::uint64_t now,
                             const std::function<std::pair<std::int32_t, std::int32_t>()>& counts) {
    if (next == 0) {
        next = now + IntervalMs;
    } else if (now >= next) {
        const auto [running, waiting] = counts();
        Sample(running, waiting);
        next = now + IntervalMs;
    }
    return next;
}

void TGraphSampler::Define() {
    const auto defineRow = [&](const char* rowID, const char* caption,
                               std::initializer_list<TGraph> graphs) {
        records::TMonitorEventAddGraphRowPacket row;
        row.ms = ms();
        row.RowID = rowID;
        row.DisplayName = caption;
        row.DefaultHeight = 40;
        add(row);
        records::TMonitorEventAddGraphSetPacket set;
        set.ms = ms();
        set.RowID = rowID;
        set.SetDefinitionPacket.SetID = SetID;
        set.SetDefinitionPacket.DisplayName = caption;
        for (const TGraph& graph : graphs) {
            records::TGraphDefPacket& def = set.SetDefinitionPacket.Graphs.AddNew();
            def.DisplayName = graph.Name;
            def.Description = graph.Description;
            def.Units = graph.Units;
            def.DivideBy = 1;
        }
        add(set);
    };
    defineRow(CpuRow, "CPU", {{"CPU", "Processor use of this machine", "%"}});
    defineRow(TasksRow, "Tasks",
              {{"Running", "Tasks running on a worker row", "tasks"},
               {"Waiting", "Tasks waiting for a worker row", "tasks"}});
    defineRow(MemoryRow, "Memory", {{"In use", "Memory in use on this machine", "MB"}});
    lastCpu = platform::ReadCpuTimes();
}

void TGraphSampler::Sample(std::int32_t running, std::int32_t waiting) {
    const std::optional<platform::TCpuTimes> cpu = platform::ReadCpuTimes();
    if (cpu && lastCpu) {
        AddSample(CpuRow, {CpuPercent(*lastCpu, *cpu)});
    }
    lastCpu = cpu;
    AddSample(TasksRow, {running, waiting});
    if (const std::optional<platform::TMemoryUse> memory = platform::ReadMemoryUse()) {
        AddSample(MemoryRow, {MemoryInUseMB(*memory)});
    }
}

std::int64_t TGraphSampler::CpuPercent(const platform::TCpuTimes& before,
                                       const platform::TCpuTimes& after) {
    if (after.Total <= before.Total || after.Busy < before.Busy) {
        return 0;
    }
    const std::uint64_t busy = std::min(after.Busy - before.Busy, after.Total - before.Total);
    return static_cast<std::int64_t>((busy * 100 + (after.Total - before.Total) / 2) /
                                     (after.Total - before.Total));
}

std::int64_t TGraphSampler::MemoryInUseMB(const platform::TMemoryUse& memory) {
    const std::uint64_t used =
        memory.Total > memory.Available ? memory.Total - memory.Available : 0;
    return static_cast<std::int64_t>(used / (1024 * 1024));
}

void TGraphSampler::AddSample(const char* rowID, std::vector<std::int64_t> values) {
    records::TMonitorEventAddGraphSamplePacket sample;
    sample.ms = ms();
    sample.RowID = rowID;
    sample.SamplePacket.SetID = SetID;
    sample.SamplePacket.Values = std::move(values);
    add(sample);
}

} // namespace buildsys
