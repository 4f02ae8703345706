#include "core/NotifyQueue.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/SharedObjects.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

namespace core {

namespace {

constexpr std::uint64_t SlowNotificationMs = 1000;
constexpr std::uint32_t MaxLoopWaitMs = 1000;
const char* const PriorityNames[3] = {"Low", "Normal", "High"};

thread_local TNotifyQueue* threadQueue = nullptr;
std::atomic<int> clockCount{0};

std::string Address(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

} // namespace

TNotifyQueue::TNotifyQueue() : wakeEvent(platform::TEvent::CreateLocal(false, false)) {}

TNotifyQueue::~TNotifyQueue() {
    for (int p = 2; p >= 0; --p) {
        ReportPending(temporary[p], "Temporary Queue", p);
        ReportPending(primary[p], "Primary Queue", p);
    }
    if (threadQueue == this) {
        threadQueue = nullptr;
    }
}

void TNotifyQueue::ReportPending(const std::deque<TEntry>& list, const char* kind, int priority) {
    if (list.empty()) {
        return;
    }
    std::string text = "Notify Queue Warning\r\nShutting down with " + std::to_string(list.size()) +
                       " undelivered notifications in " + kind + " (" + PriorityNames[priority] +
                       ").";
    for (const TEntry& entry : list) {
        text += "\r\n  " + entry.Target.ClassName + " at " + Address(entry.Target.Object) + ", " +
                entry.Method + ", \"" + entry.Description + "\", posted at tick " +
                std::to_string(entry.Posted);
    }
    Logger().Warning(text);
}

void TNotifyQueue::Attach() {
    thread = platform::CurrentThreadId();
    threadQueue = this;
}

TNotifyQueue* TNotifyQueue::ThreadQueue() {
    return threadQueue;
}

void TNotifyQueue::CheckThread(std::string_view operation) const {
    if (thread == 0) {
        core::Raise(EGeneralError(
            "Notify queue operation cannot be performed before a thread is attached: " +
            std::string(operation)));
    }
    if (thread != platform::CurrentThreadId()) {
        core::Raise(
            EGeneralError("Notify queue operation can be performed from main thread only: " +
                          std::string(operation)));
    }
}

std::uint64_t TNotifyQueue::Now() const {
    return tickSource ? tickSource() : platform::GetTickCount64();
}

TDiagnosticLog& TNotifyQueue::Logger() const {
    return log != nullptr ? *log : Log();
}

void TNotifyQueue::Post(TNotifyTarget target, std::string method, std::function<void()> call,
                        TNotifyPriority priority, bool unique, std::string description) {
    const int p = std::clamp(static_cast<int>(priority), 0, 2);
    std::lock_guard<std::mutex> lock(mutex);
    std::deque<TEntry>& list = primary[p];
    if (unique) {
        for (const TEntry& entry : list) {
            if (entry.Target.Object == target.Object && entry.Method == method) {
                return;
            }
        }
    }
    list.push_back(TEntry{std::move(target), std::move(method), std::move(call),
                          std::move(description), Now()});
    if (!wakePending) {
        wakePending = true;
        wakeEvent->Set();
    }
}

void TNotifyQueue::Wake() {
    std::lock_guard<std::mutex> lock(mutex);
    wakePending = true;
    wakeEvent->Set();
}

void TNotifyQueue::Remove(const void* target) {
    CheckThread("Clear queue");
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto& list : primary) {
            std::erase_if(list, [&](const TEntry& e) { return e.Target.Object == target; });
        }
    }
    for (auto& list : temporary) {
        std::erase_if(list, [&](const TEntry& e) { return e.Target.Object == target; });
    }
    for (TExternalEntry& entry : external) {
        if (entry.Target.Object == target) {
            entry.Removed = true;
        }
    }
    if (!runningExternal) {
        std::erase_if(external, [](const TExternalEntry& e) { return e.Removed; });
    }
}

void TNotifyQueue::RunEntry(TEntry& entry) {
    const std::uint64_t started = Now();
    try {
        entry.Call();
    } catch (const std::exception& e) {
        if (eventLog) {
            eventLog(std::string("Notify Event Failed: ") + e.what());
        }
        Logger().Line("Failed to notify object at " + Address(entry.Target.Object) + ", class is " +
                      entry.Target.ClassName + "\r\n" + e.what());
        if (errorCallback) {
            errorCallback(e);
        }
    }
    const std::uint64_t finished = Now();
    const std::uint64_t waited = started - std::min(started, entry.Posted);
    const std::uint64_t ran = finished - std::min(finished, started);
    if (!entry.Description.empty() && (waited > SlowNotificationMs || ran > SlowNotificationMs)) {
        Logger().Line("TNotifyQueue.ProcessQueue: Packet " + entry.Description + " from source " +
                      entry.Target.ClassName + " processed after " + std::to_string(waited) +
                      " ms. Finished after " + std::to_string(ran) + " ms");
    }
}

void TNotifyQueue::ProcessQueue() {
    CheckThread("Process queue");
    for (int p = 2; p >= 0; --p) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            std::move(primary[p].begin(), primary[p].end(), std::back_inserter(temporary[p]));
            primary[p].clear();
            wakePending = false;
        }
        while (!temporary[p].empty() && !stopped) {
            TEntry entry = std::move(temporary[p].front());
            temporary[p].pop_front();
            RunEntry(entry);
        }
        if (stopped) {
            return;
        }
        if (p > 0) {
            // Entries of a higher priority posted meanwhile run in the next round; the
            // loop must not sleep before it.
            bool higher = false;
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (int q = p; q <= 2; ++q) {
                    higher = higher || !primary[q].empty();
                }
            }
            if (higher) {
                Wake();
            }
        }
    }
}

void TNotifyQueue::ProcessExternalQueue() {
    CheckThread("Process external queue");
    runningExternal = true;
    try {
        for (std::size_t i = 0; i < external.size(); ++i) {
            if (!external[i].Removed) {
                const std::function<void()> call = external[i].Call;
                call();
            }
        }
    } catch (const std::exception& e) {
        Logger().Line(std::string("Failed to process external notify queue\r\n") + e.what());
    }
    runningExternal = false;
    std::erase_if(external, [](const TExternalEntry& e) { return e.Removed; });
}

std::uint32_t TNotifyQueue::ProcessClocks() {
    CheckThread("Process queue");
    const std::uint64_t now = Now();
    for (std::size_t i = 0; i < clocks.size(); ++i) {
        if (clocks[i].Interval == 0 || clocks[i].Due > now || clocks[i].Owner == nullptr) {
            continue;
        }
        const std::uint64_t serial = clocks[i].Serial;
        const std::uint64_t due = clocks[i].Due;
        const std::function<void()> call = clocks[i].Owner->onTick;
        try {
            if (call) {
                call();
            }
        } catch (const std::exception& e) {
            if (eventLog) {
                eventLog(std::string("Notify Timer Failed: ") + e.what());
            }
            Logger().Line(std::string("Failed to notify timer\r\n") + e.what());
        }
        // The callback may have removed, restarted or replaced the clock.
        if (i < clocks.size() && clocks[i].Serial == serial && clocks[i].Interval != 0 &&
            clocks[i].Due == due) {
            const std::uint64_t after = Now();
            const std::uint64_t interval = clocks[i].Interval;
            if (clocks[i].Due <= after) {
                clocks[i].Due += ((after - clocks[i].Due) / interval + 1) * interval;
            }
        }
    }
    std::uint64_t wait = MaxLoopWaitMs;
    const std::uint64_t after = Now();
    for (const TClockEntry& entry : clocks) {
        if (entry.Interval != 0) {
            wait = std::min(wait, entry.Due > after ? entry.Due - after : 0);
        }
    }
    return static_cast<std::uint32_t>(wait);
}

void TNotifyQueue::Run() {
    CheckThread("Start loop");
    if (stopped || stoppedForGood) {
        return;
    }
    while (!stopped) {
        ProcessExternalQueue();
        if (stopped) {
            break;
        }
        const std::uint32_t wait = ProcessClocks();
        if (stopped) {
            break;
        }
        ProcessQueue();
        if (stopped) {
            break;
        }
        if (!waitedExternally) {
            if (externalEvent) {
                platform::TEvent* events[] = {wakeEvent.get(), externalEvent.get()};
                platform::TEvent::WaitAny(events, wait);
            } else {
                wakeEvent->Wait(wait);
            }
        }
        waitedExternally = false;
    }
}

void TNotifyQueue::Stop() {
    CheckThread("Shut down loop");
    stopped = true;
}

void TNotifyQueue::StopForGood() {
    CheckThread("Shut down loop");
    stopped = true;
    stoppedForGood = true;
}

std::string TNotifyQueue::ExternalEventName(const TGUID& guid, std::int32_t session) {
    const std::string base = "Tavrix_NotifyEvent_" + guid.ToString();
    if (session == -2) {
        return "Global\\" + base;
    }
    if (session < 0) {
        return base;
    }
    return "Session\\" + std::to_string(session) + "\\" + base;
}

void TNotifyQueue::UseGlobalExternalEvent() {
    CheckThread("Add external notification");
    if (externalEvent && !externalGlobal) {
        core::Raise(EGeneralError("The notify queue's event already exists in the own session"));
    }
    externalGlobal = true;
}

const TGUID& TNotifyQueue::ExternalEventGuid() {
    CheckThread("Add external notification");
    if (!externalEvent) {
        try {
            const TGUID guid = NewGuid();
            externalEvent = platform::TEvent::Create(
                ExternalEventName(guid, externalGlobal ? -2 : -1), false, false);
            externalGuid = guid;
        } catch (...) {
            RethrowWrapped("Failed to create notify queue event");
        }
    }
    return externalGuid;
}

void TNotifyQueue::AddExternalHandler(TNotifyTarget target, std::function<void()> call) {
    CheckThread("Add external notification");
    ExternalEventGuid();
    external.push_back(TExternalEntry{std::move(target), std::move(call), false});
}

void TNotifyQueue::RemoveExternalHandlers(const void* target) {
    CheckThread("Clear external queue");
    for (TExternalEntry& entry : external) {
        if (entry.Target.Object == target) {
            entry.Removed = true;
        }
    }
    if (!runningExternal) {
        std::erase_if(external, [](const TExternalEntry& e) { return e.Removed; });
    }
}

void TNotifyQueue::CloseExternalEvent() {
    externalEvent.reset();
}

bool TNotifyQueue::WaitForExternalEvent(std::uint32_t timeoutMs, platform::TEvent* toSet) {
    CheckThread("Wait for external event");
    ExternalEventGuid();
    waitedExternally = true;
    if (toSet != nullptr) {
        return externalEvent->SetAndWait(*toSet, timeoutMs);
    }
    return externalEvent->Wait(timeoutMs);
}

void TNotifyQueue::SetErrorCallback(std::function<void(const std::exception&)> callback) {
    errorCallback = std::move(callback);
}

void TNotifyQueue::SetEventLog(std::function<void(std::string_view)> sink) {
    eventLog = std::move(sink);
}

void TNotifyQueue::SetLog(TDiagnosticLog* value) {
    log = value;
}

void TNotifyQueue::SetTickSource(std::function<std::uint64_t()> ticks) {
    tickSource = std::move(ticks);
}

std::size_t TNotifyQueue::AddClock(TClock* owner, std::uint32_t interval) {
    CheckThread("Add timer");
    std::size_t slot = 0;
    while (slot < clocks.size() && clocks[slot].Interval != 0) {
        ++slot;
    }
    if (slot == clocks.size()) {
        clocks.emplace_back();
    }
    clocks[slot] = TClockEntry{owner, interval, Now() + interval, ++clockSerial};
    return slot;
}

void TNotifyQueue::RemoveClock(std::size_t slot, std::uint64_t serial) {
    CheckThread("Remove timer");
    if (slot < clocks.size() && clocks[slot].Serial == serial) {
        clocks[slot] = TClockEntry{};
    }
}

void TNotifyQueue::RestartClock(std::size_t slot, std::uint64_t serial) {
    CheckThread("Reset timer");
    if (slot < clocks.size() && clocks[slot].Serial == serial) {
        clocks[slot].Due = Now() + clocks[slot].Interval;
    }
}

TNotifyQueue& MainQueue() {
    static std::mutex creation;
    static TNotifyQueue* mainQueue = nullptr; // lives until the process ends
    std::lock_guard<std::mutex> lock(creation);
    if (mainQueue == nullptr) {
        if (platform::CurrentThreadId() != platform::CurrentProcessId()) {
            core::Raise(EGeneralError("Main notify queue does not exist"));
        }
        mainQueue = new TNotifyQueue;
        mainQueue->Attach();
    }
    return *mainQueue;
}

TClock::TClock(std::uint32_t intervalMs, bool enabled, std::function<void()> onTick,
               TNotifyQueue* queue)
    : queue(queue != nullptr                         ? queue
            : TNotifyQueue::ThreadQueue() != nullptr ? TNotifyQueue::ThreadQueue()
                                                     : &MainQueue()),
      interval(intervalMs), enabled(enabled), onTick(std::move(onTick)) {
    ApplySettings();
    ++clockCount;
}

TClock::~TClock() {
    --clockCount;
    if (hasSlot) {
        try {
            queue->RemoveClock(slot, serial);
        } catch (...) {
            // Destroyed on the wrong thread: the slot stays until the queue ends.
        }
    }
}

void TClock::ApplySettings() {
    if (hasSlot) {
        queue->RemoveClock(slot, serial);
        hasSlot = false;
    }
    if (interval != 0 && enabled && onTick) {
        slot = queue->AddClock(this, interval);
        serial = queue->clocks[slot].Serial;
        hasSlot = true;
    }
}

void TClock::SetEnabled(bool value) {
    if (value != enabled) {
        enabled = value;
        ApplySettings();
    }
}

void TClock::SetInterval(std::uint32_t ms) {
    if (ms != interval) {
        interval = ms;
        ApplySettings();
    }
}

void TClock::SetOnTick(std::function<void()> callback) {
    onTick = std::move(callback);
    ApplySettings();
}

void TClock::Restart() {
    if (!enabled) {
        SetEnabled(true);
    } else if (hasSlot) {
        queue->RestartClock(slot, serial);
    } else {
        ApplySettings();
    }
}

int TClock::Count() {
    return clockCount.load();
}

} // namespace core
