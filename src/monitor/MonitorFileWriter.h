#pragma once
// A build monitor file written while its build runs: the metadata record, marked
// incomplete, and after it the event stream in the progressive compressed form, so
// that OpenMonitorFileForEvents can read the file at any moment.
#include "monitor/MonitorFile.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace packets {
class TCompressWriter;
}

namespace monitor {

// What the end of a build adds to its record.
struct TMonitorFileOutcome {
    std::int32_t ErrorCount = 0;
    std::int32_t WarningCount = 0;
    std::int32_t SystemErrorCount = 0;
    std::int32_t SystemWarningCount = 0;
    double Duration = 0; // days, as the start time
    bool Cancelled = false;
    std::int32_t ExitCode = 0;
};

class TMonitorFileWriter {
public:
    // Creates the file (and its folder) with a copy of `meta` marked incomplete. The
    // file is this user's own, 0600; `exclusive` refuses a name that exists (history
    // files, in folders that every user writes). Raises core::EOSError when it cannot
    // be written.
    TMonitorFileWriter(const std::string& fileName, const records::TMetaBuildPacket& meta,
                       bool exclusive = false);
    ~TMonitorFileWriter();
    TMonitorFileWriter(const TMonitorFileWriter&) = delete;
    TMonitorFileWriter& operator=(const TMonitorFileWriter&) = delete;

    // Adds the bytes of whole events as one block of the stream.
    void Append(std::span<const std::uint8_t> events);
    // Ends the event stream, then rewrites the record in place with the outcome and
    // marked complete (every changed field has a fixed size).
    void Finish(const TMonitorFileOutcome& outcome);

    const std::string& FileName() const { return fileName; }
    // Uncompressed bytes of the events written so far.
    std::int64_t EventBytes() const;

private:
    class TSink;
    std::string fileName;
    records::TMetaBuildPacket meta;
    std::int64_t recordSize = 0;
    std::unique_ptr<TSink> sink;
    std::unique_ptr<packets::TCompressWriter> events;
};

} // namespace monitor
