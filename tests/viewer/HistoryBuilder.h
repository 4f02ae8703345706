#pragma once
// Writes build monitor files for tests and benchmarks the way a build system does:
// events in the compact form with one save context, appended block by block through
// the monitor file writer.
#include "monitor/MonitorFileWriter.h"
#include "packets/PacketStream.h"
#include "records/MonitorEvents.h"

#include <memory>
#include <string>

namespace viewer_test {

class THistoryBuilder {
public:
    // Creates `fileName` (its folder too) with a record of the given caption.
    THistoryBuilder(const std::string& fileName, const std::string& caption);

    // Adds an event to the pending block.
    void Add(const packets::TPacket& event);
    // Writes the pending events as one block of the stream.
    void Flush();
    // Flushes and ends the stream; without it the file stays "still being written".
    void Finish();
    std::int64_t EventBytes() const { return writer->EventBytes(); }

    // Event helpers.
    void Started(const std::string& caption, std::int32_t ms = 0);
    void Employ(const std::string& id, const std::string& host, bool local, std::int32_t ms = 0);
    void Begin(std::int32_t ms, const std::string& worker, std::int32_t taskID,
               const std::string& name, bool remote = false, const std::string& status = {});
    void End(std::int32_t ms, const std::string& worker, std::int32_t exitCode,
             std::int32_t errors = 0, bool isDouble = false);
    void Output(std::int32_t ms, std::int32_t taskID, const std::string& text, bool error = false);
    void Complete(std::int32_t ms, bool success, std::int32_t exitCode, std::int32_t errors);

private:
    std::unique_ptr<monitor::TMonitorFileWriter> writer;
    packets::TPacketSaveContext context;
    packets::TMemoryStream pending;
};

// What a generated build holds.
struct TGeneratedBuild {
    std::int64_t Events = 0;
    std::int64_t Tasks = 0;
    std::int64_t Failed = 0;
    std::int64_t Restored = 0;
    std::int32_t DurationMs = 0;
};

// A large build of `tasks` tasks on `rows` worker rows (a quarter of them local, the
// rest on three helpers), with failures, cache restores, retries, output and graph
// samples every second; the same arguments give the same build.
TGeneratedBuild WriteGeneratedBuild(const std::string& fileName, std::int64_t tasks,
                                    std::int32_t rows, std::uint32_t seed = 1);

} // namespace viewer_test
