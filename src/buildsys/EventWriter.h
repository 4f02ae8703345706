#pragma once
// Writes the build's monitor events: each event serialised whole in the compact form
// (one save context for the build), gathered into batches, and every batch written
// first as one block to the monitor files and only then, in one write, to the
// shared stream. So whatever a reader finds in the shared stream at some offset, the
// files already hold at the same offset of their event stream.
#include "packets/PacketStream.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace monitor {
class TMonitorFileWriter;
}

namespace buildsys {

class TEventWriter {
public:
    // A batch is written once it holds this much...
    static constexpr std::size_t FlushBytes = 256 * 1024;
    // ...or this long (ms) after its first event.
    static constexpr std::uint64_t FlushDelayMs = 20;

    TEventWriter(packets::TStream& shared, std::vector<monitor::TMonitorFileWriter*> files);

    // `now` is the tick (platform GetTickCount64) the event was made at.
    void Add(const packets::TPacket& event, std::uint64_t now);
    // The tick by which the pending batch is due; none while nothing is pending.
    std::optional<std::uint64_t> Deadline() const;
    void FlushIfDue(std::uint64_t now);
    void Flush();
    // Bytes of events written to the shared stream so far.
    std::int64_t Written() const { return written; }

private:
    packets::TStream& shared;
    std::vector<monitor::TMonitorFileWriter*> files;
    packets::TPacketSaveContext context;
    packets::TMemoryStream pending;
    std::uint64_t firstPending = 0;
    std::int64_t written = 0;
};

} // namespace buildsys
