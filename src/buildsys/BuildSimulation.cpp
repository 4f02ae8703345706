#include "buildsys/BuildSimulation.h"

#include "buildsys/Scheduler.h"
#include "buildsys/WorkerRows.h"
#include "core/Errors.h"

#include <array>
#include <cmath>
#include <functional>
#include <queue>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace buildsys {

namespace {

// Records what the scheduler decides; the simulation acts on it after each call.
class TSimSink final : public TSchedulerSink {
public:
    explicit TSimSink(std::size_t tasks) : started(tasks, 0), ended(tasks, 0) {}
    void TaskStarted(const TRunningTask& task, const TWorkerRow&) override {
        const auto index = static_cast<std::size_t>(task.Request.Pid);
        // A task's second attempt is no start of its own.
        if (++started.at(index) > 1) {
            --started[index];
        }
        granted.emplace_back(index, task.Row);
    }
    void TaskEnded(const TRunningTask& task, const TWorkerRow&, const TTaskOutcome& o) override {
        const auto index = static_cast<std::size_t>(task.Request.Pid);
        if (!o.Double) {
            ++ended.at(index);
        } else if (o.Signal == TScheduler::TakenBackSignal) {
            takenBack.push_back(index);
        }
    }
    void TaskLost(const TRunningTask&, const TWorkerRow&) override {
        core::Raise(std::logic_error("A simulated task was lost."));
    }
    void CountsChanged(const TSchedulerCounts&) override {}
    void StopRequested(const std::string& reason) override {
        core::Raise(std::logic_error(reason));
    }

    std::vector<int> started;
    std::vector<int> ended;
    std::vector<std::pair<std::size_t, std::int32_t>> granted; // since last taken
    std::vector<std::size_t> takenBack; // tasks whose second attempt lost its row, since last taken
};

// The one compiler of the simulated machines, the same on every helper.
constexpr const char* SimCompiler = "cc";

std::vector<TWorkerRow> SimRows(const TSimSetup& setup) {
    std::vector<TWorkerRow> rows = LocalWorkerRows("local", setup.LocalRows);
    for (std::int32_t helper = 1; helper <= setup.Helpers; ++helper) {
        const std::string host = "helper" + std::to_string(helper);
        for (std::int32_t slot = 1; slot <= setup.SlotsPerHelper; ++slot) {
            rows.push_back({host + "#" + std::to_string(slot), host + " #" + std::to_string(slot),
                            host, false, host, host});
        }
    }
    return rows;
}

} // namespace

double TSimResult::LocalUtilisation() const {
    return BuildMs > 0 && LocalRows > 0
               ? static_cast<double>(LocalBusyMs) / (static_cast<double>(BuildMs) * LocalRows)
               : 0.0;
}

double TSimResult::HelperUtilisation() const {
    return BuildMs > 0 && HelperRows > 0
               ? static_cast<double>(HelperBusyMs) / (static_cast<double>(BuildMs) * HelperRows)
               : 0.0;
}

TSimResult SimulateBuild(const std::vector<TSimTask>& tasks, const TSimSetup& setup) {
    if (setup.LocalRows < 1 || setup.Helpers < 0 || setup.SlotsPerHelper < 1 ||
        !(setup.HelperSpeed > 0) || setup.LinkLatencyMs < 0) {
        core::Raise(std::invalid_argument("A simulation needs a local row, helpers of at least one "
                                          "slot, a positive speed and no negative latency."));
    }
    const std::size_t count = tasks.size();
    std::vector<std::int32_t> waitingFor(count, 0);
    std::vector<std::vector<std::size_t>> dependents(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (tasks[i].DurationMs < 0) {
            core::Raise(
                std::invalid_argument("Task " + tasks[i].Name + " has a negative duration."));
        }
        for (const std::int32_t on : tasks[i].DependsOn) {
            if (on < 0 || static_cast<std::size_t>(on) >= i) {
                core::Raise(std::invalid_argument("Task " + tasks[i].Name +
                                                  " depends on a task that is not before it."));
            }
            ++waitingFor[i];
            dependents[static_cast<std::size_t>(on)].push_back(i);
        }
    }

    const std::vector<TWorkerRow> rows = SimRows(setup);
    TSimSink sink(count);
    TScheduler scheduler(rows, false, sink);
    for (std::int32_t helper = 1; helper <= setup.Helpers; ++helper) {
        scheduler.EnableHelper("helper" + std::to_string(helper), {SimCompiler});
    }
    TSimResult result;
    result.LocalRows = setup.LocalRows;
    result.HelperRows = setup.Helpers * setup.SlotsPerHelper;
    result.RowBusyMs.assign(rows.size(), 0);
    result.RowOf.assign(count, -1);
    result.StartMs.assign(count, -1);

    std::vector<TScheduler::TTicket> tickets(count, 0);
    // end time, task, attempt (0 first, 1 second); earliest first
    using TEnd = std::tuple<std::int64_t, std::size_t, int>;
    std::priority_queue<TEnd, std::vector<TEnd>, std::greater<>> running;
    std::int64_t now = 0;
    std::vector<bool> decided(count, false);
    std::vector<std::size_t> pendingDoubles; // remote tasks a second attempt may run
    // Each attempt's row and planned end, to take back the part a lost attempt never ran.
    std::vector<std::array<std::pair<std::int32_t, std::int64_t>, 2>> attempts(count);

    // The attempt of `index` that did not decide stops now: its rest was never busy.
    const auto stopOther = [&](std::size_t index, int attempt) {
        const auto [row, plannedEnd] = attempts[index][attempt];
        if (row < 0 || plannedEnd <= now) {
            return;
        }
        const std::int64_t unrun = plannedEnd - now;
        result.RowBusyMs[static_cast<std::size_t>(row)] -= unrun;
        (rows[static_cast<std::size_t>(row)].Local ? result.LocalBusyMs : result.HelperBusyMs) -=
            unrun;
    };
    const auto takeGrants = [&] {
        // A second attempt whose row went to a queued task stops now.
        for (const std::size_t index : sink.takenBack) {
            stopOther(index, 1);
            attempts[index][1] = {-1, 0};
            ++result.DoublesTakenBack;
        }
        sink.takenBack.clear();
        for (const auto& [index, row] : sink.granted) {
            const TWorkerRow& worker = rows[static_cast<std::size_t>(row)];
            if (result.RowOf[index] >= 0) {
                // A second attempt: on this machine, for the task's whole local duration.
                const std::int64_t duration = tasks[index].DurationMs;
                ++result.Doubled;
                attempts[index][1] = {row, now + duration};
                result.RowBusyMs[static_cast<std::size_t>(row)] += duration;
                result.LocalBusyMs += duration;
                running.emplace(now + duration, index, 1);
                continue;
            }
            std::int64_t duration = tasks[index].DurationMs;
            if (!worker.Local) {
                duration = static_cast<std::int64_t>(
                               std::llround(static_cast<double>(duration) / setup.HelperSpeed)) +
                           2 * setup.LinkLatencyMs;
                ++result.TasksOnHelpers;
                if (tasks[index].Kind != "compile") {
                    ++result.LocalOnlyOnHelpers;
                }
            }
            result.RowOf[index] = row;
            result.StartMs[index] = now;
            result.RowBusyMs[static_cast<std::size_t>(row)] += duration;
            (worker.Local ? result.LocalBusyMs : result.HelperBusyMs) += duration;
            attempts[index][0] = {row, now + duration};
            running.emplace(now + duration, index, 0);
            if (setup.Double && !worker.Local) {
                pendingDoubles.push_back(index);
            }
        }
        sink.granted.clear();
    };
    const auto submit = [&](std::size_t index) {
        TTaskRequest request;
        request.Pid = static_cast<std::int64_t>(index); // each task is its own launcher
        request.Kind = tasks[index].Kind;
        request.Tool = SimCompiler;
        request.AllowRemote = request.Kind == "compile"; // links and archives stay here
        request.Caption = tasks[index].Name;
        tickets[index] = scheduler.Submit(std::move(request));
        takeGrants();
    };
    // Tasks granted a helper's row may run twice; allowing it may grant second attempts.
    const auto allowDoubles = [&] {
        while (!pendingDoubles.empty()) {
            const std::size_t index = pendingDoubles.back();
            pendingDoubles.pop_back();
            scheduler.AllowDouble(tickets[index]);
            takeGrants();
        }
    };

    for (auto& pair : attempts) {
        pair[0] = pair[1] = {-1, 0};
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (waitingFor[i] == 0) {
            submit(i);
        }
    }
    allowDoubles();
    while (!running.empty()) {
        const auto [end, index, attempt] = running.top();
        running.pop();
        if (decided[index] ||
            (attempt == 1 && (attempts[index][1].first < 0 || attempts[index][1].second != end))) {
            continue; // the attempt that lost, stopped when its task was decided or taken back
        }
        now = end;
        decided[index] = true;
        stopOther(index, 1 - attempt);
        if (attempt == 0) {
            scheduler.Finish(tickets[index], TTaskOutcome{});
        } else {
            ++result.DoublesWon;
            scheduler.DoubleWon(tickets[index], TTaskOutcome{}, TTaskOutcome{});
        }
        takeGrants();
        for (const std::size_t next : dependents[index]) {
            if (--waitingFor[next] == 0) {
                submit(next);
            }
        }
        allowDoubles();
    }
    result.BuildMs = now;

    for (std::size_t i = 0; i < count; ++i) {
        if (sink.started[i] != 1 || sink.ended[i] != 1) {
            core::Raise(std::logic_error("Task " + tasks[i].Name + " was scheduled " +
                                         std::to_string(sink.started[i]) + " times and ended " +
                                         std::to_string(sink.ended[i]) + " times."));
        }
    }
    return result;
}

} // namespace buildsys
