// Writes a history file of a given size through the monitor file writer, or replays
// one and checks every event, so that the replay's peak memory can be measured:
//   history_replay write <file> <MiB>
//   /usr/bin/time -v history_replay replay <file>
// The events carry text that does not compress, so the file is as large as asked.
#include "monitor/MonitorFileWriter.h"
#include "packets/PacketStream.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace {

constexpr std::size_t TextSize = 16 * 1024;

std::string EventText(std::int64_t i) {
    std::string text(TextSize, ' ');
    auto x = static_cast<std::uint32_t>(2463534242u + static_cast<std::uint64_t>(i) * 2654435761u);
    for (char& c : text) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return text;
}

void FillMeta(records::TMetaBuildPacket& meta) {
    meta.ID = core::TGUID::Literal("{5E1A7B2C-0000-4000-8000-0000000FACED}");
    meta.Caption = "history replay";
    meta.StartTime = 46366.5;
}

int Write(const std::string& fileName, std::int64_t mib) {
    records::TMetaBuildPacket meta;
    FillMeta(meta);
    monitor::TMonitorFileWriter writer(fileName, meta);
    packets::TPacketSaveContext context;
    packets::TMemoryStream batch;
    const std::int64_t events = mib * (1 << 20) / static_cast<std::int64_t>(TextSize);
    for (std::int64_t i = 0; i < events; ++i) {
        records::TMonitorEventOutputPacket event;
        event.ms = static_cast<std::int32_t>(i);
        event.Text = EventText(i);
        event.SaveToStream(batch, &context);
        // Large batches make whole blocks, the most a reader has to decode at once.
        if (batch.Size() >= 4 << 20) {
            writer.Append(batch.Bytes());
            batch.Clear();
        }
    }
    writer.Append(batch.Bytes());
    writer.Finish({});
    std::printf("wrote %lld events, %lld bytes of events\n", static_cast<long long>(events),
                static_cast<long long>(writer.EventBytes()));
    return 0;
}

int Replay(const std::string& fileName) {
    records::TMetaBuildPacket meta;
    const auto events = monitor::OpenMonitorFileForEvents(fileName, meta);
    if (!events) {
        std::fprintf(stderr, "not a history file: %s\n", fileName.c_str());
        return 2;
    }
    packets::TPacketLoadContext context;
    std::int64_t n = 0;
    while (events->Position() < events->Size()) {
        const auto event = packets::TPacket::CreateFromStream(*events, &context);
        const auto* output = dynamic_cast<records::TMonitorEventOutputPacket*>(event.get());
        if (!output || output->ms != static_cast<std::int32_t>(n) || output->Text != EventText(n)) {
            std::fprintf(stderr, "event %lld differs from the one written\n",
                         static_cast<long long>(n));
            return 1;
        }
        ++n;
    }
    std::printf("replayed %lld events, %lld bytes of events, all as written\n",
                static_cast<long long>(n), static_cast<long long>(events->Size()));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        records::RegisterAllPacketClasses();
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "write" && argc == 4)
            return Write(argv[2], std::atoll(argv[3]));
        if (mode == "replay" && argc == 3)
            return Replay(argv[2]);
        std::fprintf(stderr, "usage: history_replay write <file> <MiB> | replay <file>\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
