#pragma once
// Build monitor files (.mv_mon): a build metadata record in the full form, and the
// build's compressed monitor-event stream, either inside the record's MonitorEvents
// blob or appended after the record (then OldMonitorEvents holds the 43-byte marker
// of a 4-byte length and "EventsInParentStreamAppendedToMetaBuild").
#include "core/Guid.h"
#include "packets/Streams.h"
#include "records/MetaBuildPackets.h"

#include <memory>
#include <string>
#include <string_view>

namespace monitor {

constexpr std::string_view EventsAppendedMarker = "EventsInParentStreamAppendedToMetaBuild";

// The day folder of a build: the integer part of its start time (days since 1899-12-30).
std::string StartDayText(double startTime);

// "<agent folder>/History/Local/<day>/<ID>.mv_mon"; empty while the ID is null.
std::string HistoryFilePath(std::string_view agentFolder, std::string_view day,
                            const core::TGUID& id);

// The history file of build `id` in whatever day folder it lies; empty when none
// exists (or the ID is null).
std::string FindHistoryFile(std::string_view agentFolder, const core::TGUID& id);

enum class TEventsPlacement { InsideRecord, AfterRecord };

// The bytes of a whole monitor file from a compressed event stream (read from its start).
std::string MonitorFileBytes(records::TMetaBuildPacket& meta, packets::TStream& compressedEvents,
                             TEventsPlacement placement);
// Writes them to a file of this user's own (0600; another user's file is refused).
void WriteMonitorFile(const std::string& fileName, records::TMetaBuildPacket& meta,
                      packets::TStream& compressedEvents, TEventsPlacement placement);

// Loads the record into `meta` and returns a reader positioned at the first event;
// null when the name does not end in ".mv_mon". A reader over appended events keeps
// the file open until it is freed.
std::unique_ptr<packets::TStream> OpenMonitorFileForEvents(const std::string& fileName,
                                                           records::TMetaBuildPacket& meta);

} // namespace monitor
