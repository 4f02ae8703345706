#pragma once
// The event loop of the program's main thread. Code on any thread posts
// notifications (a target, a method, a priority, a description); the loop runs them
// on the attached thread, highest priority first, runs due clocks, and runs the
// handlers of its external event, a named event ("Global\Tavrix_NotifyEvent_" + the
// queue's GUID) that other processes set to wake it.
#include "core/Guid.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class TEvent;
}

namespace core {

class TDiagnosticLog;
class TClock;

enum class TNotifyPriority : int { Low = 0, Normal = 1, High = 2 };

// Who a notification is for: the identity Remove() matches, and the class name
// shown in the log.
struct TNotifyTarget {
    const void* Object = nullptr;
    std::string ClassName;
};

class TNotifyQueue {
public:
    TNotifyQueue();
    // Reports undelivered notifications to the log.
    ~TNotifyQueue();
    TNotifyQueue(const TNotifyQueue&) = delete;
    TNotifyQueue& operator=(const TNotifyQueue&) = delete;

    // Makes this the calling thread's queue; every operation but posting must then
    // run on that thread.
    void Attach();
    // The calling thread's queue, or null.
    static TNotifyQueue* ThreadQueue();

    // From any thread. With `unique`, nothing is added while the same target has the
    // same method (by name) pending at that priority.
    void Post(TNotifyTarget target, std::string method, std::function<void()> call,
              TNotifyPriority priority = TNotifyPriority::Normal, bool unique = false,
              std::string description = {});
    // Drops every pending notification and external handler of the target.
    void Remove(const void* target);

    // Runs the loop until Stop(). Returns at once when Stop() came first.
    void Run();
    void Stop();
    // The loop never runs again.
    void StopForGood();
    // Lets a stopped loop run again (not after StopForGood).
    void Resume() { stopped = stoppedForGood; }
    bool Stopped() const { return stopped; }

    // One pass over the pending notifications (highest priority first).
    void ProcessQueue();
    // One pass over the external handlers.
    void ProcessExternalQueue();
    // Runs the due clocks; the time until the next one is due (at most 1000 ms).
    std::uint32_t ProcessClocks();

    // The external event's GUID; the event is created on first use, in the own
    // session unless the queue serves a global channel.
    const TGUID& ExternalEventGuid();
    // The external event of a queue that serves a channel every user reaches (only
    // the agent): global. Raises when the event already exists in the own session.
    void UseGlobalExternalEvent();
    // The event's name in `session` (-2 global, -1 own session, else session n).
    static std::string ExternalEventName(const TGUID& guid, std::int32_t session = -1);
    void AddExternalHandler(TNotifyTarget target, std::function<void()> call);
    void RemoveExternalHandlers(const void* target);
    // Waits for the external event (setting `toSet` first when given); the loop then
    // runs another round without sleeping. True when the event came.
    bool WaitForExternalEvent(std::uint32_t timeoutMs, platform::TEvent* toSet = nullptr);
    // Releases the external event, so a process that ends without destroying its
    // queue leaves no named object behind.
    void CloseExternalEvent();

    // Receives every error of a notification after it is logged.
    void SetErrorCallback(std::function<void(const std::exception&)> callback);
    // The system event log's sink for failures ("Notify Event Failed: ..."); none by default.
    void SetEventLog(std::function<void(std::string_view)> sink);
    // The diagnostic log used; the process's log by default.
    void SetLog(TDiagnosticLog* log);
    // The millisecond clock used for clocks and waiting times (tests replace it).
    void SetTickSource(std::function<std::uint64_t()> ticks);

    // Identity for messages: "Notify queue operation ... : <operation>".
    void CheckThread(std::string_view operation) const;

private:
    friend class TClock;

    struct TEntry {
        TNotifyTarget Target;
        std::string Method;
        std::function<void()> Call;
        std::string Description;
        std::uint64_t Posted = 0;
    };
    struct TExternalEntry {
        TNotifyTarget Target;
        std::function<void()> Call;
        bool Removed = false;
    };
    struct TClockEntry {
        TClock* Owner = nullptr;
        std::uint32_t Interval = 0; // 0 = free slot
        std::uint64_t Due = 0;
        std::uint64_t Serial = 0;
    };

    std::uint64_t Now() const;
    void Wake();
    void RunEntry(TEntry& entry);
    TDiagnosticLog& Logger() const;
    std::size_t AddClock(TClock* owner, std::uint32_t interval);
    void RemoveClock(std::size_t slot, std::uint64_t serial);
    void RestartClock(std::size_t slot, std::uint64_t serial);
    void ReportPending(const std::deque<TEntry>& list, const char* kind, int priority);

    std::uint32_t thread = 0;
    bool stopped = false;
    bool stoppedForGood = false;
    bool waitedExternally = false;
    std::mutex mutex; // guards `primary` and `wakePending`
    bool wakePending = false;
    std::deque<TEntry> primary[3];
    std::deque<TEntry> temporary[3];
    std::vector<TExternalEntry> external;
    bool runningExternal = false;
    std::vector<TClockEntry> clocks;
    std::uint64_t clockSerial = 0;
    std::unique_ptr<platform::TEvent> wakeEvent;
    std::unique_ptr<platform::TEvent> externalEvent;
    TGUID externalGuid{};
    bool externalGlobal = false;
    std::function<void(const std::exception&)> errorCallback;
    std::function<void(std::string_view)> eventLog;
    TDiagnosticLog* log = nullptr;
    std::function<std::uint64_t()> tickSource;
};

// The main thread's queue, created and attached by the first call from the main
// thread. Raises when asked from another thread before it exists.
TNotifyQueue& MainQueue();

// Periodic callbacks through the queue of the thread that creates the clock (the
// main queue when that thread has none). A clock is due one interval after it is
// enabled; a late clock runs once and then keeps to its original beat.
class TClock {
public:
    TClock(std::uint32_t intervalMs, bool enabled, std::function<void()> onTick,
           TNotifyQueue* queue = nullptr);
    ~TClock();
    TClock(const TClock&) = delete;
    TClock& operator=(const TClock&) = delete;

    bool Enabled() const { return enabled; }
    void SetEnabled(bool value);
    std::uint32_t Interval() const { return interval; }
    void SetInterval(std::uint32_t ms);
    void SetOnTick(std::function<void()> callback);
    // Due one interval from now (enables a disabled clock).
    void Restart();

    // Clocks that exist in the process.
    static int Count();

private:
    friend class TNotifyQueue;
    void ApplySettings();

    TNotifyQueue* queue;
    std::uint32_t interval;
    bool enabled;
    std::function<void()> onTick;
    bool hasSlot = false;
    std::size_t slot = 0;
    std::uint64_t serial = 0;
};

} // namespace core
