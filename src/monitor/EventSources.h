#pragma once
// Where a build's monitor events are read from: the build's growing shared stream
// while it runs, or the events of its monitor file. Both count in the bytes of the
// uncompressed event stream, so an event has the same offset in either.
#include "core/Guid.h"
#include "packets/Compression.h"
#include "packets/GrowingSharedStream.h"

#include <memory>
#include <string>

namespace monitor {

class TSharedStreamEventSource : public packets::TLargeStreamAdapter {
public:
    explicit TSharedStreamEventSource(std::unique_ptr<packets::TGrowingSharedStream> stream);
    // Opens the stream of a build for reading: under the own session's names first,
    // then the global ones (`global` tells which held it). Raises when neither does.
    static std::unique_ptr<TSharedStreamEventSource> Open(const core::TGUID& id, bool& global);
    // Opens the stream of one of this user's own builds (own session only, whose
    // folder and objects are checked to be the user's). Raises when there is none.
    static std::unique_ptr<TSharedStreamEventSource> OpenOwn(const core::TGUID& id);

    std::int64_t Size() override { return shared->Size(); }
    std::int64_t Position() override { return shared->Position(); }
    void SetPosition(std::int64_t position) override {
        shared->Seek(position, packets::TSeekOrigin::soBeginning);
    }
    packets::TStream& Stream() override { return adapter; }
    std::int64_t SectionSize() const { return shared->SectionSize(); }

private:
    std::unique_ptr<packets::TGrowingSharedStream> shared;
    packets::TGrowingSharedStreamAsTStream adapter;
};

// The events of a monitor file, which may still be written (the reader follows it);
// null when the name does not end in ".mv_mon". Raises when the file cannot be
// opened or is not a monitor file.
std::unique_ptr<packets::TDecompressStreamAdapter>
OpenMonitorFileEvents(const std::string& fileName);

} // namespace monitor
