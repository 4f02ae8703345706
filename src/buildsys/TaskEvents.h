#pragma once
// Turns what the scheduler does into the build's monitor events: a begin step when a
// task gets its row, an end step (or step failed when its launcher was lost) when it
// ends, count and project count events when the built, error or warning counts change,
// and the task lines of /SHOWCMD, /SHOWAGENT and /SHOWTIME as output events with the
// task's ID. Step events are left out when the build suppresses bars.
#include "buildsys/Scheduler.h"
#include "packets/Packet.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace buildsys {

struct TTaskEventOptions {
    bool ShowCmd = false;
    bool ShowAgent = false;
    bool ShowTime = false;
    bool SuppressBars = false;
};

class TTaskEvents : public TSchedulerSink {
public:
    using TAdd = std::function<void(const packets::TPacket&)>;
    // `ms` gives the event time of the build; `stop` is called when the scheduler
    // stops the build (the first failure of a build that stops on errors).
    TTaskEvents(TTaskEventOptions options, TAdd add, std::function<std::int32_t()> ms,
                std::function<void(const std::string&)> stop);

    // Gives each begin step its BuildCacheStatus.
    void SetCacheStatus(std::function<std::int32_t(const TRunningTask&)> status) {
        cacheStatus = std::move(status);
    }
    void TaskStarted(const TRunningTask& task, const TWorkerRow& row) override;
    void TaskEnded(const TRunningTask& task, const TWorkerRow& row,
                   const TTaskOutcome& outcome) override;
    void TaskLost(const TRunningTask& task, const TWorkerRow& row) override;
    void CountsChanged(const TSchedulerCounts& counts) override;
    void StopRequested(const std::string& reason) override;
    // A step failed event on the helper row and a line saying why the task runs again.
    void TaskRetried(const TRunningTask& task, const TWorkerRow& row, const TTaskOutcome& outcome,
                     const std::string& reason) override;
    void RowEmployment(std::int32_t index, const TWorkerRow& row, bool employed,
                       const std::string& reason) override;

    // Receives the employment changes of helper rows (the build makes their events).
    using TEmployment =
        std::function<void(std::int32_t, const TWorkerRow&, bool, const std::string&)>;
    void OnRowEmployment(TEmployment receiver) { employment = std::move(receiver); }

    // The line of /SHOWAGENT and /SHOWTIME for a task that ended.
    static std::string EndLine(const std::string& caption, const std::string* agent,
                               const std::int64_t* durationMs);

private:
    void Output(std::int32_t taskID, std::string text, bool error);
    void ShowEnd(const TRunningTask& task, const TWorkerRow& row, std::int64_t durationMs);

    TTaskEventOptions options;
    TAdd add;
    std::function<std::int32_t()> ms;
    std::function<void(const std::string&)> stop;
    std::function<std::int32_t(const TRunningTask&)> cacheStatus;
    TEmployment employment;
    std::map<std::int32_t, std::int32_t> startedAt; // task ID -> ms
    TSchedulerCounts reported;
    bool anyReported = false;
};

} // namespace buildsys
