#pragma once
// Follows a running build's monitor events: every 100 ms (and once at once after
// attaching) a reading pass loads every event available with one load context and
// dispatches it; a 10 s watchdog probes the build mutex while nothing is pending.
// The bytes are read one shared-stream section at a time, and every event read is
// handed on: when a section cannot be read (its build system has ended) or an event
// fails to load, reading goes on from the build's monitor file at the offset of the
// first event not yet handed on. Any failure is turned into a "Build
// Monitor has failed" message event and a completion event, so the follower ends the
// build the same way in every case.
#include "core/Guid.h"
#include "packets/Compression.h"
#include "packets/PacketStream.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace core {
class TClock;
}

namespace monitor {

class TMonitorEventLoop {
public:
    // Receives every event in stream order, for the duration of the call.
    using TDispatch = std::function<void(packets::TPacket&)>;

    struct TSettings {
        core::TGUID BuildID;        // null until the started event names it
        std::string BuildMutexName; // held by the build system while it runs
        std::string AgentFolder;    // holds the history folder
    };

    // `onFailed` runs after the failure events were dispatched.
    TMonitorEventLoop(std::unique_ptr<packets::TLargeStreamAdapter> reader, TSettings settings,
                      TDispatch dispatch, std::function<void()> onFailed);
    ~TMonitorEventLoop();
    TMonitorEventLoop(const TMonitorEventLoop&) = delete;
    TMonitorEventLoop& operator=(const TMonitorEventLoop&) = delete;

    // Starts both timers and queues the first pass.
    void Start();
    // Queues a pass ahead of the timer (events that are already complete).
    void ReadSoon();
    // Releases the reader and both timers; nothing is read any more.
    void Shutdown();

    void ReadingPass();
    void WatchdogPass();
    void Fail(const std::string& message);

    bool Completed() const { return completed; }
    const std::string& StartDay() const { return startDay; }
    const core::TGUID& BuildID() const { return settings.BuildID; }
    bool ReadingFromFile() const { return !monitorFile.empty(); }
    // The history file of the build; empty while the build has no identity.
    std::string HistoryFile() const;

private:
    void Dispatch(packets::TPacket& event);
    // Reads and dispatches what is available, or switches the source.
    void ReadPieces();
    // Goes on from the monitor file at `position`, or raises when that is not possible.
    void LoadFailed(std::int64_t position, const std::exception& cause);
    void SwitchToMonitorFile(std::int64_t position, const std::exception& cause);

    std::unique_ptr<packets::TLargeStreamAdapter> reader;
    TSettings settings;
    TDispatch dispatch;
    std::function<void()> onFailed;
    packets::TPacketLoadContext context;
    std::vector<std::uint8_t> available; // read but not yet loaded
    std::int64_t pieceSize = 0;          // bytes read at once, never across a section
    std::unique_ptr<core::TClock> readingTimer;
    std::unique_ptr<core::TClock> watchdog;
    std::string startDay;
    std::string monitorFile; // being read instead of the shared stream
    bool completed = false;
    bool active = false;
};

} // namespace monitor
