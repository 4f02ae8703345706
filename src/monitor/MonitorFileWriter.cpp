#include "monitor/MonitorFileWriter.h"

#include "core/Errors.h"
#include "core/ProductVersion.h"
#include "packets/Compression.h"
#include "platform/Files.h"
#include "platform/Paths.h"

namespace monitor {

class TMonitorFileWriter::TSink : public packets::TCompressSink {
public:
    TSink(const std::string& fileName, bool exclusive) {
        std::string error;
        file = platform::TFileWriter::Create(fileName,
                                             exclusive ? platform::TFileWriter::TMode::CreateNew
                                                       : platform::TFileWriter::TMode::Private,
                                             &error);
        if (!file) {
            core::Raise(core::EOSError("Cannot open file \"" + fileName + "\". " + error, 0));
        }
    }
    void WriteAt(std::int64_t offset, std::span<const std::uint8_t> bytes) override {
        std::string error;
        if (!file->WriteAt(offset, {reinterpret_cast<const char*>(bytes.data()), bytes.size()},
                           &error)) {
            Fail(error);
        }
    }
    void Truncate(std::int64_t size) override {
        std::string error;
        if (!file->Truncate(size, &error)) {
            Fail(error);
        }
    }

private:
    [[noreturn]] void Fail(const std::string& error) const {
        core::Raise(core::EOSError("Cannot write file \"" + file->Path() + "\". " + error, 0));
    }
    std::unique_ptr<platform::TFileWriter> file;
};

TMonitorFileWriter::TMonitorFileWriter(const std::string& fileName,
                                       const records::TMetaBuildPacket& source, bool exclusive)
    : fileName(fileName) {
    meta.Assign(source);
    meta.Incomplete = true;
    // The file names the program that wrote it.
    meta.ProductVersion = core::ProductVersionNumber;
    meta.ProductBuildNum = core::ProductBuildNumber;
    meta.ProductVersionText = core::ProductVersionText;
    std::string error;
    const std::string dir = platform::ExtractFileDir(fileName);
    if (!dir.empty() && !platform::ForceDirectories(dir, &error)) {
        core::Raise(core::EOSError("Cannot create folder \"" + dir + "\". " + error, 0));
    }
    // The file starts as a whole monitor file with an empty, still open stream; the
    // same writer then goes on in the file, right after the record.
    sink = std::make_unique<TSink>(fileName, exclusive);
    packets::TMemoryCompressSink empty;
    const packets::TCompressWriter emptyStream(empty, 0);
    const std::string start = MonitorFileBytes(meta, empty.Stream(), TEventsPlacement::AfterRecord);
    sink->WriteAt(0, {reinterpret_cast<const std::uint8_t*>(start.data()), start.size()});
    packets::TMemoryStream record;
    meta.SaveToStream(record);
    recordSize = record.Size();
    events = std::make_unique<packets::TCompressWriter>(*sink, recordSize);
}

TMonitorFileWriter::~TMonitorFileWriter() = default;

std::int64_t TMonitorFileWriter::EventBytes() const {
    return events->Total();
}

void TMonitorFileWriter::Append(std::span<const std::uint8_t> bytes) {
    events->Append(bytes);
}

void TMonitorFileWriter::Finish(const TMonitorFileOutcome& outcome) {
    events->Finish();
    meta.ErrorCount = outcome.ErrorCount;
    meta.WarningCount = outcome.WarningCount;
    meta.SystemErrorCount = outcome.SystemErrorCount;
    meta.SystemWarningCount = outcome.SystemWarningCount;
    meta.Duration = outcome.Duration;
    meta.Cancelled = outcome.Cancelled;
    meta.ExitCode = outcome.ExitCode;
    meta.Incomplete = false;
    packets::TMemoryStream record;
    meta.SaveToStream(record);
    // Only fixed-size fields change; a record of another size would overwrite events.
    if (record.Size() == recordSize) {
        sink->WriteAt(0, record.Bytes());
    }
}

} // namespace monitor
