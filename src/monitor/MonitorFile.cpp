#include "monitor/MonitorFile.h"

#include "core/Errors.h"
#include "core/StringListEx.h"
#include "packets/Compression.h"
#include "packets/FileStream.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <cmath>
#include <cstring>
#include <filesystem>

namespace monitor {

namespace {
// Blocks of the event stream kept decoded while a reader moves through it.
constexpr int CachedBlocks = 2;
constexpr std::size_t MarkerSize = 4 + EventsAppendedMarker.size();

bool HoldsMarker(const packets::TMemoryStream& blob) {
    if (blob.Size() != static_cast<std::int64_t>(MarkerSize)) {
        return false;
    }
    std::int32_t length = 0;
    std::memcpy(&length, blob.Memory(), 4);
    const std::string_view text(reinterpret_cast<const char*>(blob.Memory()) + 4,
                                EventsAppendedMarker.size());
    return length == static_cast<std::int32_t>(EventsAppendedMarker.size()) &&
           core::SameText(text, EventsAppendedMarker);
}

void CopyAll(packets::TStream& from, packets::TStream& to) {
    from.SetPosition(0);
    std::uint8_t buffer[65536];
    for (std::size_t n; (n = from.Read(buffer, sizeof buffer)) > 0;) {
        to.Write(buffer, n);
    }
}

[[noreturn]] void CannotWrite(const std::string& fileName, const std::string& error) {
    core::Raise(core::EOSError("Cannot create file \"" + fileName + "\". " + error, 0));
}
} // namespace

std::string StartDayText(double startTime) {
    return std::to_string(static_cast<long long>(std::trunc(startTime)));
}

std::string HistoryFilePath(std::string_view agentFolder, std::string_view day,
                            const core::TGUID& id) {
    if (id.IsNull()) {
        return {};
    }
    return platform::IncludeTrailingDelimiter(platform::ToNativeSeparators(agentFolder)) +
           "History/Local/" + std::string(day) + "/" + id.ToString() + ".mv_mon";
}

std::string FindHistoryFile(std::string_view agentFolder, const core::TGUID& id) {
    if (id.IsNull()) {
        return {};
    }
    const std::filesystem::path local =
        std::filesystem::path(platform::ToNativeSeparators(agentFolder)) / "History" / "Local";
    const std::string name = id.ToString() + ".mv_mon";
    std::error_code error;
    for (std::filesystem::directory_iterator day(local, error), end; !error && day != end;
         day.increment(error)) {
        const std::filesystem::path candidate = day->path() / name;
        std::error_code missing;
        if (std::filesystem::is_regular_file(candidate, missing)) {
            return candidate.string();
        }
    }
    return {};
}

namespace {
// The record as a file holds it: the events inside it, or the marker that they follow it.
void PrepareRecord(records::TMetaBuildPacket& meta, packets::TStream& compressedEvents,
                   TEventsPlacement placement) {
    meta.OldMonitorEvents.Clear();
    meta.MonitorEvents.Clear();
    if (placement == TEventsPlacement::InsideRecord) {
        CopyAll(compressedEvents, meta.MonitorEvents);
    } else {
        const auto length = static_cast<std::int32_t>(EventsAppendedMarker.size());
        meta.OldMonitorEvents.Write(&length, 4);
        meta.OldMonitorEvents.Write(EventsAppendedMarker.data(), EventsAppendedMarker.size());
    }
}
} // namespace

std::string MonitorFileBytes(records::TMetaBuildPacket& meta, packets::TStream& compressedEvents,
                             TEventsPlacement placement) {
    PrepareRecord(meta, compressedEvents, placement);
    packets::TMemoryStream file;
    meta.SaveToStream(file);
    if (placement == TEventsPlacement::AfterRecord) {
        CopyAll(compressedEvents, file);
    }
    return std::string(file.Text());
}

void WriteMonitorFile(const std::string& fileName, records::TMetaBuildPacket& meta,
                      packets::TStream& compressedEvents, TEventsPlacement placement) {
    PrepareRecord(meta, compressedEvents, placement);
    std::string error;
    // It holds a user's build, environment included: the user's alone.
    const auto writer =
        platform::TFileWriter::Create(fileName, platform::TFileWriter::TMode::Private, &error);
    packets::TMemoryStream record;
    meta.SaveToStream(record);
    if (!writer || !writer->Write(record.Text(), &error)) {
        CannotWrite(fileName, error);
    }
    if (placement == TEventsPlacement::AfterRecord) {
        // Piece by piece: the events may be far larger than the record.
        compressedEvents.SetPosition(0);
        std::vector<char> buffer(1 << 20);
        for (std::size_t n; (n = compressedEvents.Read(buffer.data(), buffer.size())) > 0;) {
            if (!writer->Write({buffer.data(), n}, &error)) {
                CannotWrite(fileName, error);
            }
        }
    }
}

std::unique_ptr<packets::TStream> OpenMonitorFileForEvents(const std::string& fileName,
                                                           records::TMetaBuildPacket& meta) {
    const std::string ext = platform::ExtractFileExt(fileName);
    if (!core::SameText(ext, ".mv_mon")) {
        return nullptr;
    }
    auto file = std::make_unique<packets::TFileStream>(fileName);
    meta.LoadFromStream(*file);
    if (meta.OldMonitorEvents.Size() == 0) {
        // The events travel with the reader (which owns its source, also when it
        // fails to index it); the record no longer holds them.
        auto* events = new packets::TMemoryStream(std::move(meta.MonitorEvents));
        meta.MonitorEvents.Clear();
        return std::make_unique<packets::TDecompressStream>(events, 0, CachedBlocks, true);
    }
    if (HoldsMarker(meta.OldMonitorEvents)) {
        const std::int64_t start = file->Position();
        return std::make_unique<packets::TDecompressStream>(file.release(), start, CachedBlocks,
                                                            true);
    }
    core::Raise(core::EGeneralError("Invalid or corrupted .mv_mon file"));
}

} // namespace monitor
