#include "buildsys/EventWriter.h"

#include "monitor/MonitorFileWriter.h"

namespace buildsys {

TEventWriter::TEventWriter(packets::TStream& shared,
                           std::vector<monitor::TMonitorFileWriter*> files)
    : shared(shared), files(std::move(files)) {}

void TEventWriter::Add(const packets::TPacket& event, std::uint64_t now) {
    if (pending.Size() == 0) {
        firstPending = now;
    }
    event.SaveToStream(pending, &context);
    if (pending.Size() >= static_cast<std::int64_t>(FlushBytes)) {
        Flush();
    }
}

std::optional<std::uint64_t> TEventWriter::Deadline() const {
    if (pending.Size() == 0) {
        return std::nullopt;
    }
    return firstPending + FlushDelayMs;
}

void TEventWriter::FlushIfDue(std::uint64_t now) {
    const std::optional<std::uint64_t> due = Deadline();
    if (due && now >= *due) {
        Flush();
    }
}

void TEventWriter::Flush() {
    if (pending.Size() == 0) {
        return;
    }
    for (monitor::TMonitorFileWriter* file : files) {
        file->Append(pending.Bytes());
    }
    shared.Write(pending.Memory(), pending.Bytes().size());
    written += pending.Size();
    pending.Clear();
}

} // namespace buildsys
