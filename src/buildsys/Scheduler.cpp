#include "buildsys/Scheduler.h"

#include "buildsys/TaskRules.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace buildsys {

TScheduler::TScheduler(std::vector<TWorkerRow> rows, bool stopOnErrors, TSchedulerSink& sink)
    : rows(std::move(rows)), stopOnErrors(stopOnErrors), sink(sink), busy(this->rows.size()) {
    if (this->rows.empty()) {
        throw std::invalid_argument("A scheduler needs at least one worker row.");
    }
}

void TTaskOutcome::Judge(const TExitCodeRule& rule) {
    if (Verdict) {
        return;
    }
    Verdict = rule.Judge(ExitCode, Signal);
    if (*Verdict == TExitVerdict::Warning) {
        ++Warnings;
    }
}

void TScheduler::SetRules(std::shared_ptr<const TTaskRules> taskRules) {
    const std::lock_guard lock(mutex);
    rules = std::move(taskRules);
}

void TScheduler::Classify(TTaskRequest& request) const {
    std::shared_ptr<const TTaskRules> current;
    {
        const std::lock_guard lock(mutex);
        current = rules;
    }
    if (current) {
        current->Apply(request);
    }
}

TScheduler::TTicket TScheduler::Submit(TTaskRequest request) {
    const std::lock_guard lock(mutex);
    const TTicket ticket = nextTicket++;
    TTicketState& state = tickets[ticket];
    state.Task.Request = std::move(request);
    if (stopping) {
        state.Answer = TTaskGrant{false, 0, 0, {}, stopReason};
        return ticket;
    }
    ++counts.Known;
    queue.push_back(ticket);
    Dispatch();
    Publish();
    return ticket;
}

std::optional<TTaskGrant> TScheduler::Await(TTicket ticket, std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex);
    const auto has = [&] {
        const auto it = tickets.find(ticket);
        return it == tickets.end() || it->second.Answer.has_value();
    };
    answered.wait_for(lock, std::chrono::milliseconds(timeoutMs), has);
    const auto it = tickets.find(ticket);
    if (it == tickets.end()) {
        return TTaskGrant{false, 0, 0, {}, "unknown task"};
    }
    std::optional<TTaskGrant> answer = it->second.Answer;
    if (answer && !answer->Granted) {
        tickets.erase(it); // a denied ticket has nothing more to say
    }
    return answer;
}

void TScheduler::Finish(TTicket ticket, const TTaskOutcome& ended) {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    if (it == tickets.end() || !it->second.Running) {
        return;
    }
    const TRunningTask& task = it->second.Task;
    TTaskOutcome outcome = ended;
    outcome.Judge(task.Request.ExitCodes);
    sink.TaskEnded(task, rows[static_cast<std::size_t>(task.Row)], outcome);
    ++counts.Done;
    ++(outcome.Failed() ? counts.Failed : counts.Succeeded);
    counts.Errors += std::max(0, outcome.Errors);
    counts.Warnings += std::max(0, outcome.Warnings);
    const bool failed = outcome.Failed();
    const std::string caption = task.Request.Caption;
    Release(it);
    if (failed && stopOnErrors) {
        StopLocked("The build stops on the first error: " + caption + " failed.");
    }
    Dispatch();
    Publish();
}

void TScheduler::Abandon(TTicket ticket) {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    if (it == tickets.end()) {
        return;
    }
    if (!it->second.Running) {
        if (!it->second.Answer) {
            std::erase(queue, ticket);
            --counts.Known; // it never got to run: no task of the build
        }
        tickets.erase(it);
        Publish();
        return;
    }
    const TRunningTask& task = it->second.Task;
    sink.TaskLost(task, rows[static_cast<std::size_t>(task.Row)]);
    ++counts.Done;
    ++counts.Failed;
    const std::string caption = task.Request.Caption;
    Release(it);
    if (stopOnErrors) {
        StopLocked("The build stops on the first error: the launcher of " + caption + " was lost.");
    }
    Dispatch();
    Publish();
}

void TScheduler::Stop(const std::string& reason) {
    const std::lock_guard lock(mutex);
    DenyFromNowOn(reason);
    Publish();
}

bool TScheduler::Stopping() const {
    const std::lock_guard lock(mutex);
    return stopping;
}

TSchedulerCounts TScheduler::Counts() const {
    const std::lock_guard lock(mutex);
    return counts;
}

void TScheduler::StopLocked(const std::string& reason) {
    if (!stopping) {
        DenyFromNowOn(reason);
        sink.StopRequested(reason);
    }
}

void TScheduler::DenyFromNowOn(const std::string& reason) {
    if (!stopping) {
        stopping = true;
        stopReason = reason;
    }
    for (const TTicket waiting : queue) {
        tickets[waiting].Answer = TTaskGrant{false, 0, 0, {}, stopReason};
        --counts.Known;
    }
    queue.clear();
    answered.notify_all();
}

void TScheduler::Dispatch() {
    bool granted = false;
    for (std::size_t row = 0; row < busy.size() && !queue.empty(); ++row) {
        if (busy[row]) {
            continue;
        }
        const TTicket ticket = queue.front();
        queue.pop_front();
        TTicketState& state = tickets[ticket];
        busy[row] = true;
        state.Running = true;
        state.Task.TaskID = nextTaskID++;
        state.Task.Row = static_cast<std::int32_t>(row);
        state.Answer =
            TTaskGrant{true, state.Task.TaskID, state.Task.Row, rows[row].ID, std::string()};
        sink.TaskStarted(state.Task, rows[row]);
        granted = true;
    }
    if (granted) {
        answered.notify_all();
    }
}

void TScheduler::Release(std::map<TTicket, TTicketState>::iterator it) {
    busy[static_cast<std::size_t>(it->second.Task.Row)] = false;
    tickets.erase(it);
}

void TScheduler::Publish() {
    std::int32_t running = 0;
    for (const bool b : busy) {
        running += b ? 1 : 0;
    }
    counts.Running = running;
    counts.Waiting = static_cast<std::int32_t>(queue.size());
    sink.CountsChanged(counts);
}

} // namespace buildsys
