#pragma once
// The build's graphs: one graph row each for the machine's processor use (%), the
// build's tasks (running and waiting) and the machine's memory in use (MB), sampled
// once a second by the build's own thread.
#include "platform/SystemInfo.h"
#include "records/MonitorEvents.h"

#include <functional>
#include <optional>
#include <utility>

namespace buildsys {

class TGraphSampler {
public:
    static constexpr std::uint64_t IntervalMs = 1000;
    using TAdd = std::function<void(const packets::TPacket&)>;

    // `ms` gives the event time of the build.
    TGraphSampler(TAdd add, std::function<std::int32_t()> ms);

    // The rows and sets; once, before the first sample.
    void Define();
    // One sample of every set.
    void Sample(std::int32_t running, std::int32_t waiting);
    // Samples the tasks `counts` gives (running, waiting) when a sample is due at `now`
    // (the first one a whole interval after the first call); returns when the next is due.
    std::uint64_t
    SampleWhenDue(std::uint64_t now,
                  const std::function<std::pair<std::int32_t, std::int32_t>()>& counts);
    // Machine readings as given (for tests): processor use in % of the time between
    // the two readings, memory in use in MB.
    static std::int64_t CpuPercent(const platform::TCpuTimes& before,
                                   const platform::TCpuTimes& after);
    static std::int64_t MemoryInUseMB(const platform::TMemoryUse& memory);

private:
    void AddSample(const char* rowID, std::vector<std::int64_t> values);
    TAdd add;
    std::function<std::int32_t()> ms;
    std::optional<platform::TCpuTimes> lastCpu;
    std::uint64_t next = 0;
};

} // namespace buildsys
