#include "viewer/HistoryReader.h"

#include "core/Errors.h"
#include "monitor/MonitorFile.h"
#include "packets/ByteReader.h"
#include "packets/Compression.h"
#include "packets/FileStream.h"
#include "packets/PacketStream.h"
#include "packets/TextUtil.h"
#include "platform/Files.h"
#include "records/MetaBuildPackets.h"
#include "viewer/EventReplay.h"
#include "viewer/IntactBlockView.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace viewer {

namespace {
constexpr std::size_t FirstWindow = 1 << 20;
// An event never gets near this; a window that still cuts one is damage.
constexpr std::size_t LargestWindow = 256u << 20;
constexpr int CachedBlocks = 2;

void TakeHead(const records::TMetaBuildPacket& meta, TBuildModel& model) {
    model.Caption = meta.Caption;
    model.ComputerName = meta.ComputerName;
    model.UserName = meta.UserName;
    model.PrimaryFile = meta.PrimaryFilename;
    model.StartTime = meta.StartTime;
    if (!meta.ID.IsNull()) {
        model.BuildID = meta.ID.ToString();
    }
    model.Read.FileMarkedIncomplete = meta.Incomplete;
}

// The events of a file whose block chain could not be indexed: the whole blocks
// before the damage.
std::unique_ptr<packets::TStream> IntactEvents(const std::string& fileName,
                                               const records::TMetaBuildPacket& head,
                                               std::int64_t recordEnd, std::string& damage) {
    std::unique_ptr<packets::TStream> source;
    std::int64_t start = 0;
    if (head.OldMonitorEvents.Size() == 0) {
        source = std::make_unique<packets::TMemoryStream>(std::vector<std::uint8_t>(
            head.MonitorEvents.Bytes().begin(), head.MonitorEvents.Bytes().end()));
    } else {
        source = std::make_unique<packets::TFileStream>(fileName);
        start = recordEnd;
    }
    auto view = std::make_unique<TIntactBlockView>(std::move(source), start);
    if (!view->Damage().empty()) {
        damage = view->Damage();
    }
    return std::make_unique<packets::TDecompressStream>(view.release(), 0, CachedBlocks, true);
}
} // namespace

void ReadEventStream(packets::TStream& events, TBuildModel& model) {
    TEventReplay replay(model);
    packets::TPacketLoadContext context;
    std::vector<std::uint8_t> window;
    // Where the stream can be read up to, and why not beyond when that is known.
    std::int64_t end = events.Size();
    std::string endReason;
    std::int64_t position = 0;
    std::size_t want = FirstWindow;
    std::string failure;
    const auto readAt = [&](std::int64_t at, std::size_t length) {
        window.resize(length);
        events.SetPosition(at);
        return events.Read(window.data(), length);
    };
    while (position < end) {
        const auto length = static_cast<std::size_t>(
            std::min<std::int64_t>(static_cast<std::int64_t>(want), end - position));
        std::size_t got = 0;
        try {
            got = readAt(position, length);
        } catch (const std::exception& e) {
            // A block that cannot be decoded: find how far the stream reads, and go on
            // with that as its end.
            std::size_t readable = 0, unreadable = length;
            while (unreadable - readable > 1) {
                const std::size_t middle = readable + (unreadable - readable) / 2;
                try {
                    readAt(position, middle);
                    readable = middle;
                } catch (const std::exception&) {
                    unreadable = middle;
                }
            }
            end = position + static_cast<std::int64_t>(readable);
            endReason = e.what();
            continue;
        }
        if (got == 0) {
            failure = "The event stream ended early.";
            break;
        }
        const bool reachesEnd = position + static_cast<std::int64_t>(got) >= end;
        packets::TByteReader bytes(std::span<const std::uint8_t>(window.data(), got), position);
        bool progressed = false;
        std::string loadError;
        while (bytes.Remaining() > 0) {
            std::unique_ptr<packets::TPacket> event;
            try {
                event = packets::TPacket::CreateFromReader(bytes, &context);
            } catch (const std::exception& e) {
                loadError = e.what();
                break;
            }
            if (!event) {
                loadError = "An event of the stream could not be made.";
                break;
            }
            replay.Apply(*event);
            position = bytes.Position();
            progressed = true;
        }
        if (loadError.empty()) {
            continue;
        }
        if (reachesEnd || (!progressed && want >= LargestWindow)) {
            failure = endReason.empty() || !reachesEnd ? loadError : endReason;
            break;
        }
        // The event may go on beyond the window.
        if (!progressed) {
            want *= 2;
        }
    }
    if (failure.empty()) {
        failure = endReason;
    }
    model.Read.StoppedAt = position;
    if (!failure.empty()) {
        model.Read.End = TReadState::TEnd::Damaged;
        model.Read.Reason = failure;
    } else {
        model.Read.End =
            model.Completed ? TReadState::TEnd::Complete : TReadState::TEnd::Unfinished;
    }
}

TBuildModel ReadHistory(const std::string& fileName) {
    TBuildModel model;
    model.FileName = fileName;
    std::string error;
    if (!platform::TFileReader::Open(fileName, &error)) {
        core::Raise(core::EGeneralError("Cannot open file \"" + fileName + "\". " + error));
    }
    records::TMetaBuildPacket meta;
    std::unique_ptr<packets::TStream> events;
    std::string damage;
    try {
        events = monitor::OpenMonitorFileForEvents(fileName, meta);
        TakeHead(meta, model);
    } catch (const std::exception& opening) {
        // Either the file is no monitor file, or its head is fine and its event
        // stream is damaged: then what comes before the damage is still shown.
        records::TMetaBuildPacket head;
        std::int64_t recordEnd = 0;
        try {
            packets::TFileStream file(fileName);
            head.LoadFromStream(file);
            recordEnd = file.Position();
        } catch (const std::exception& e) {
            core::Raise(core::EGeneralError("\"" + fileName +
                                            "\" is not a build monitor file: " + e.what()));
        }
        TakeHead(head, model);
        try {
            events = IntactEvents(fileName, head, recordEnd, damage);
        } catch (const std::exception& e) {
            model.Read.End = TReadState::TEnd::Damaged;
            model.Read.Reason = std::string(opening.what()) + " " + e.what();
            return model;
        }
        if (damage.empty()) {
            damage = opening.what();
        }
    }
    if (!events) {
        core::Raise(core::EGeneralError("\"" + fileName +
                                        "\" is not a build monitor file: its name does not end in "
                                        ".mv_mon."));
    }
    ReadEventStream(*events, model);
    if (!damage.empty() && model.Read.End != TReadState::TEnd::Damaged) {
        model.Read.End = TReadState::TEnd::Damaged;
        model.Read.Reason = damage;
    }
    return model;
}

} // namespace viewer
