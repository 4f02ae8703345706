#include "monitor/MonitorEventLoop.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "core/NotifyQueue.h"
#include "monitor/EventSources.h"
#include "monitor/MonitorFile.h"
#include "packets/TextUtil.h"
#include "platform/Paths.h"
#include "platform/SharedObjects.h"
#include "records/MonitorEvents.h"

#include <algorithm>
#include <array>

namespace monitor {

namespace {
constexpr std::uint32_t ReadingInterval = 100;
constexpr std::uint32_t WatchdogInterval = 10000;
// Bytes of a monitor file loaded at once.
constexpr std::int64_t FilePieceSize = 2097152;

template <typename T> bool Is(const packets::TPacket& packet) {
    return &packet.Class() == &T::StaticClass();
}
} // namespace

TMonitorEventLoop::TMonitorEventLoop(std::unique_ptr<packets::TLargeStreamAdapter> reader,
                                     TSettings settings, TDispatch dispatch,
                                     std::function<void()> onFailed)
    : reader(std::move(reader)), settings(std::move(settings)), dispatch(std::move(dispatch)),
      onFailed(std::move(onFailed)) {
    const auto* shared = dynamic_cast<const TSharedStreamEventSource*>(this->reader.get());
    pieceSize = shared ? shared->SectionSize() : FilePieceSize;
}

TMonitorEventLoop::~TMonitorEventLoop() {
    core::MainQueue().Remove(this);
}

void TMonitorEventLoop::Start() {
    watchdog = std::make_unique<core::TClock>(WatchdogInterval, true, [this] { WatchdogPass(); });
    readingTimer = std::make_unique<core::TClock>(ReadingInterval, true, [this] { ReadingPass(); });
    active = true;
    // Events already written are read at once, not one interval later.
    ReadSoon();
}

void TMonitorEventLoop::ReadSoon() {
    core::MainQueue().Post(
        {this, "TMonitorEventLoop"}, "ReadingPass",
        [this] {
            if (readingTimer && readingTimer->Enabled()) {
                ReadingPass();
            }
        },
        core::TNotifyPriority::Normal, true);
}

void TMonitorEventLoop::Shutdown() {
    active = false;
    readingTimer.reset();
    watchdog.reset();
    reader.reset();
    core::MainQueue().Remove(this);
}

std::string TMonitorEventLoop::HistoryFile() const {
    const std::string known = HistoryFilePath(settings.AgentFolder, startDay, settings.BuildID);
    if (!startDay.empty() && platform::FileExists(known)) {
        return known;
    }
    // The start day is not known (or the build began on another day): the identity
    // finds the file.
    return FindHistoryFile(settings.AgentFolder, settings.BuildID);
}

void TMonitorEventLoop::ReadingPass() {
    try {
        while (reader && reader->Position() < reader->Size()) {
            ReadPieces();
        }
    } catch (const std::exception& e) {
        const std::string message = e.what();
        if (readingTimer) {
            readingTimer->SetEnabled(false);
        }
        Fail(message);
        throw;
    }
}

void TMonitorEventLoop::ReadPieces() {
    // The bytes read but not yet loaded start at the reader's position: the start of
    // the first event not yet handed on.
    const std::int64_t size = reader->Size();
    std::int64_t start = reader->Position();
    std::int64_t readEnd = start;
    available.clear();
    while (reader && start < size) {
        // One piece never crosses a section of the shared stream, so a section that is
        // gone costs only the events from it on.
        const std::int64_t pieceEnd = std::min(size, (readEnd / pieceSize + 1) * pieceSize);
        const std::size_t kept = available.size();
        const auto want = static_cast<std::size_t>(pieceEnd - readEnd);
        try {
            reader->SetPosition(readEnd);
            available.resize(kept + want);
            const std::size_t n = reader->Stream().Read(available.data() + kept, want);
            available.resize(kept + n);
            if (n == 0) {
                core::Raise(core::EGeneralError("Failed to read " + std::to_string(want) +
                                                " bytes at " + std::to_string(readEnd)));
            }
            readEnd += static_cast<std::int64_t>(n);
        } catch (const std::exception& e) {
            LoadFailed(start, e);
            return;
        }
        reader->SetPosition(start);
        const std::int64_t first = start;
        packets::TByteReader bytes(available, first);
        while (reader && bytes.Remaining() > 0) {
            const std::int64_t position = bytes.Position();
            std::unique_ptr<packets::TPacket> event;
            try {
                event = packets::TPacket::CreateFromReader(bytes, &context);
            } catch (const std::exception& e) {
                if (readEnd < size) {
                    break; // the event goes on in the next piece
                }
                LoadFailed(position, e);
                return;
            }
            if (!event) {
                core::Raise(core::EGeneralError("Failed to load monitor event from data stream"));
            }
            start = bytes.Position();
            reader->SetPosition(start);
            Dispatch(*event);
        }
        // Only the unloaded rest stays.
        available.erase(available.begin(),
                        available.begin() + static_cast<std::ptrdiff_t>(start - first));
    }
}

void TMonitorEventLoop::LoadFailed(std::int64_t position, const std::exception& cause) {
    if (ReadingFromFile()) {
        core::Raise(core::EGeneralError("Failed to load monitor event from data file\r\n" +
                                        std::string(cause.what())));
    }
    SwitchToMonitorFile(position, cause);
}

void TMonitorEventLoop::SwitchToMonitorFile(std::int64_t position, const std::exception& cause) {
    reader->SetPosition(position);
    const std::string fileName = HistoryFile();
    std::unique_ptr<packets::TDecompressStreamAdapter> file;
    if (!fileName.empty()) {
        file = OpenMonitorFileEvents(fileName);
    }
    if (!file) {
        core::Raise(core::EGeneralError("Failed to load monitor event from data stream\r\n" +
                                        std::string(cause.what())));
    }
    file->SetPosition(position);
    reader = std::move(file);
    monitorFile = fileName;
    pieceSize = FilePieceSize;
}

void TMonitorEventLoop::Dispatch(packets::TPacket& event) {
    if (Is<records::TMonitorEventStartedPacket>(event)) {
        const auto& started = static_cast<const records::TMonitorEventStartedPacket&>(event);
        if (settings.BuildID.IsNull()) {
            settings.BuildID = started.ID;
        }
        startDay = StartDayText(started.StartTime);
    } else if (Is<records::TMonitorEventCompletePacket>(event)) {
        completed = true;
        if (readingTimer) {
            readingTimer->SetEnabled(false);
        }
    }
    if (dispatch) {
        dispatch(event);
    }
}

void TMonitorEventLoop::WatchdogPass() {
    if (!reader || !active || completed || reader->Position() < reader->Size()) {
        return;
    }
    platform::TMutexState state;
    try {
        // Opened, never created: a mutex made here would be free and stay behind.
        const auto mutex = platform::TMutex::Open(settings.BuildMutexName);
        state = mutex ? mutex->QueryState() : platform::TMutexState::Free;
    } catch (const std::exception& e) {
        core::Raise(
            core::EGeneralError("Failed to query mutex status\r\n" + std::string(e.what())));
    }
    if (state != platform::TMutexState::Owned) {
        Fail("Connection to Build System was terminated unexpectedly.");
    }
}

void TMonitorEventLoop::Fail(const std::string& message) {
    auto failed = records::NewMessageEvent(0, 2, packets::LocalDateTimeNow(),
                                           "Build Monitor has failed", message, "", "", 0);
    auto complete = records::NewCompleteEvent(0, false, records::BuildSummaryText(1, 0, 0, 0),
                                              false, 0, 1, 0, 0, 0);
    // The completion must arrive whatever the handling of the message does, or the
    // follower would wait for it for ever.
    const std::array<packets::TPacket*, 2> events{failed.get(), complete.get()};
    for (packets::TPacket* event : events) {
        try {
            Dispatch(*event);
        } catch (const std::exception& e) {
            core::Log().Line("Monitor failure event not handled\r\n" + std::string(e.what()));
        }
    }
    if (onFailed) {
        onFailed();
    }
}

} // namespace monitor
