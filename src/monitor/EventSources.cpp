#include "monitor/EventSources.h"

#include "core/Errors.h"
#include "monitor/MonitorFile.h"

namespace monitor {

TSharedStreamEventSource::TSharedStreamEventSource(
    std::unique_ptr<packets::TGrowingSharedStream> stream)
    : shared(std::move(stream)), adapter(*shared) {}

namespace {
std::unique_ptr<TSharedStreamEventSource> OpenIn(const core::TGUID& id, std::int32_t session) {
    auto stream = std::make_unique<packets::TGrowingSharedStream>(id, 0, nullptr, false, session);
    // The first section stays readable even when the build system ends before the
    // events were read (later ones are read from the monitor file then).
    stream->Prefetch(0);
    return std::make_unique<TSharedStreamEventSource>(std::move(stream));
}
} // namespace

std::unique_ptr<TSharedStreamEventSource> TSharedStreamEventSource::Open(const core::TGUID& id,
                                                                         bool& global) {
    try {
        auto own = OpenIn(id, packets::SessionOwn);
        global = false;
        return own;
    } catch (const std::exception&) {
        auto shared = OpenIn(id, packets::SessionGlobal);
        global = true;
        return shared;
    }
}

std::unique_ptr<TSharedStreamEventSource> TSharedStreamEventSource::OpenOwn(const core::TGUID& id) {
    return OpenIn(id, packets::SessionOwn);
}

std::unique_ptr<packets::TDecompressStreamAdapter>
OpenMonitorFileEvents(const std::string& fileName) {
    records::TMetaBuildPacket meta;
    std::unique_ptr<packets::TStream> events = OpenMonitorFileForEvents(fileName, meta);
    if (!events) {
        return nullptr;
    }
    auto* decompress = dynamic_cast<packets::TDecompressStream*>(events.get());
    if (!decompress) {
        core::Raise(core::EGeneralError("Invalid or corrupted .mv_mon file"));
    }
    events.release();
    return std::make_unique<packets::TDecompressStreamAdapter>(
        std::unique_ptr<packets::TDecompressStream>(decompress));
}

} // namespace monitor
