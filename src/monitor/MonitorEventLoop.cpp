#include "monitor/MonitorEventLoop.h"

#include "core/Errors.h"
#include "core/NotifyQueue.h"
#include "monitor/EventSources.h"
#include "monitor/MonitorFile.h"
#include "packets/TextUtil.h"
#include "platform/Paths.h"
#include "platform/SharedObjects.h"
#include "records/MonitorEvents.h"

namespace monitor {

namespace {
constexpr std::uint32_t ReadingInterval = 100;
constexpr std::uint32_t WatchdogInterval = 10000;

template <typename T> bool Is(const packets::TPacket& packet) {
    return &packet.Class() == &T::StaticClass();
}
} // namespace

TMonitorEventLoop::TMonitorEventLoop(std::unique_ptr<packets::TLargeStreamAdapter> reader,
                                     TSettings settings, TDispatch dispatch,
                                     std::function<void()> onFailed)
    : reader(std::move(reader)), settings(std::move(settings)), dispatch(std::move(dispatch)),
      onFailed(std::move(onFailed)) {}

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
    pending.reset();
    reader.reset();
    core::MainQueue().Remove(this);
}

std::string TMonitorEventLoop::HistoryFile() const {
    return HistoryFilePath(settings.AgentFolder, startDay, settings.BuildID);
}

void TMonitorEventLoop::ReadingPass() {
    try {
        while (reader && reader->Position() < reader->Size()) {
            // One copy of everything available; the events are loaded from memory.
            const std::int64_t start = reader->Position();
            try {
                available.resize(static_cast<std::size_t>(reader->Size() - start));
                available.resize(reader->Stream().Read(available.data(), available.size()));
            } catch (const std::exception& e) {
                LoadFailed(start, e);
                continue;
            }
            reader->SetPosition(start);
            packets::TByteReader bytes(available, start);
            while (reader && bytes.Remaining() > 0) {
                const std::int64_t position = bytes.Position();
                if (!pending) {
                    const int classes = context.Count();
                    try {
                        pending = packets::TPacket::CreateFromReader(bytes, &context);
                    } catch (const std::exception& e) {
                        context.Truncate(classes);
                        LoadFailed(position, e);
                        break;
                    }
                    if (!pending) {
                        throw core::EGeneralError("Failed to load monitor event from data stream");
                    }
                }
                reader->SetPosition(bytes.Position());
                // The record is freed also when its handling raises.
                const std::unique_ptr<packets::TPacket> event = std::move(pending);
                Dispatch(*event);
            }
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

void TMonitorEventLoop::LoadFailed(std::int64_t position, const std::exception& cause) {
    if (ReadingFromFile()) {
        throw core::EGeneralError("Failed to load monitor event from data file\r\n" +
                                  std::string(cause.what()));
    }
    SwitchToMonitorFile(position, cause);
}

void TMonitorEventLoop::SwitchToMonitorFile(std::int64_t position, const std::exception& cause) {
    reader->SetPosition(position);
    const std::string fileName = HistoryFile();
    std::unique_ptr<packets::TDecompressStreamAdapter> file;
    if (!fileName.empty() && platform::FileExists(fileName)) {
        file = OpenMonitorFileEvents(fileName);
    }
    if (!file) {
        throw core::EGeneralError("Failed to load monitor event from data stream\r\n" +
                                  std::string(cause.what()));
    }
    file->SetPosition(position);
    reader = std::move(file);
    monitorFile = fileName;
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
        const auto mutex = platform::TMutex::Create(settings.BuildMutexName, false);
        state = mutex->QueryState();
    } catch (const std::exception& e) {
        throw core::EGeneralError("Failed to query mutex status\r\n" + std::string(e.what()));
    }
    if (state != platform::TMutexState::Owned) {
        Fail("Connection to Build System was terminated unexpectedly.");
    }
}

void TMonitorEventLoop::Fail(const std::string& message) {
    auto failed = records::NewMessageEvent(0, 2, packets::LocalDateTimeNow(),
                                           "Build Monitor has failed", message, "", "", 0);
    Dispatch(*failed);
    auto complete = records::NewCompleteEvent(0, false, records::BuildSummaryText(1, 0, 0, 0),
                                              false, 0, 1, 0, 0, 0);
    Dispatch(*complete);
    if (onFailed) {
        onFailed();
    }
}

} // namespace monitor
