#include "buildsys/Scheduler.h"

#include "buildsys/TaskRules.h"
#include "core/Errors.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace buildsys {

TScheduler::TScheduler(std::vector<TWorkerRow> rows, bool stopOnErrors, TSchedulerSink& sink)
    : rows(std::move(rows)), stopOnErrors(stopOnErrors), sink(sink), busy(this->rows.size()),
      employed(this->rows.size()) {
    if (this->rows.empty()) {
        core::Raise(std::invalid_argument("A scheduler needs at least one worker row."));
    }
    bool local = false;
    for (std::size_t row = 0; row < this->rows.size(); ++row) {
        employed[row] = this->rows[row].Local; // helper rows wait for their helper
        local = local || this->rows[row].Local;
    }
    if (!local) {
        core::Raise(std::invalid_argument("A scheduler needs a row of this machine."));
    }
}

void TScheduler::SetPolicy(const TSchedulerPolicy& newPolicy) {
    const std::lock_guard lock(mutex);
    policy = newPolicy;
    Dispatch();
}

void TScheduler::EnableHelper(const std::string& helper, const std::set<std::string>& compilers) {
    const std::lock_guard lock(mutex);
    helpersUp[helper] = compilers;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (!rows[row].Local && rows[row].Helper == helper && !employed[row]) {
            Employ(row, true, std::string());
        }
    }
    Dispatch();
    Publish();
}

void TScheduler::DisableHelper(const std::string& helper, const std::string& reason) {
    const std::lock_guard lock(mutex);
    DisableLocked(helper, reason);
}

void TScheduler::DisableLocked(const std::string& helper, const std::string& reason) {
    if (helpersUp.erase(helper) == 0) {
        return;
    }
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (!rows[row].Local && rows[row].Helper == helper && employed[row] && !busy[row]) {
            Employ(row, false, reason);
        }
    }
    // Tasks kept off this machine for the helper's sake may run here now.
    Dispatch();
}

bool TScheduler::HelperEnabled(const std::string& helper) const {
    const std::lock_guard lock(mutex);
    return helpersUp.count(helper) > 0;
}

std::vector<std::int32_t> TScheduler::EmployedRows() const {
    const std::lock_guard lock(mutex);
    std::vector<std::int32_t> list;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (employed[row]) {
            list.push_back(static_cast<std::int32_t>(row));
        }
    }
    return list;
}

void TScheduler::Employ(std::size_t row, bool on, const std::string& reason) {
    employed[row] = on;
    sink.RowEmployment(static_cast<std::int32_t>(row), rows[row], on, reason);
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

bool TScheduler::Finish(TTicket ticket, const TTaskOutcome& ended) {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    if (it == tickets.end() || !it->second.Running) {
        return false;
    }
    if (it->second.Double) {
        EndDouble(it->second, TTaskOutcome{});
    }
    const TRunningTask& task = it->second.Task;
    TTaskOutcome outcome = ended;
    outcome.Judge(task.Request.ExitCodes);
    const TWorkerRow& row = rows[static_cast<std::size_t>(task.Row)];
    const bool distributionFailed = !row.Local && outcome.EngineFailure;
    const bool failedRemotely = !row.Local && policy.OnlyFailLocally && outcome.Failed();
    if ((distributionFailed || failedRemotely) && !stopping) {
        const std::string status = outcome.Signal != 0
                                       ? "signal " + std::to_string(outcome.Signal)
                                       : "exit code " + std::to_string(outcome.ExitCode);
        const std::string reason =
            distributionFailed ? "distribution to " + row.Helper + " failed (" + status + ")"
                               : "failed on helper " + row.Helper + " (" + status + ")";
        sink.TaskRetried(task, row, outcome, reason);
        TTicketState& state = it->second;
        state.FailedOn.insert(row.Helper);
        state.LocalOnly = state.LocalOnly || !distributionFailed;
        state.Running = false;
        state.Answer.reset();
        const auto index = static_cast<std::size_t>(task.Row);
        busy[index] = false;
        if (distributionFailed) {
            DisableLocked(row.Helper, reason);
        }
        // The helper may be down already (an earlier task failed there): its row goes too.
        if (!helpersUp.count(row.Helper) && employed[index]) {
            Employ(index, false, distributionFailed ? reason : "its helper is down");
        }
        queue.push_front(ticket);
        Dispatch();
        Publish();
        return true;
    }
    sink.TaskEnded(task, rows[static_cast<std::size_t>(task.Row)], outcome);
    CountEnd(outcome);
    const bool failed = outcome.Failed();
    const std::string caption = task.Request.Caption;
    Release(it);
    if (failed && stopOnErrors) {
        StopLocked("The build stops on the first error: " + caption + " failed.");
    }
    Dispatch();
    Publish();
    return false;
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
    if (it->second.Double) {
        EndDouble(it->second, TTaskOutcome{});
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

void TScheduler::CountEnd(const TTaskOutcome& outcome) {
    ++counts.Done;
    ++(outcome.Failed() ? counts.Failed : counts.Succeeded);
    counts.Errors += std::max(0, outcome.Errors);
    counts.Warnings += std::max(0, outcome.Warnings);
}

void TScheduler::AllowDouble(TTicket ticket) {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    if (it != tickets.end() && it->second.Running) {
        it->second.Doublable = true;
        Dispatch();
        Publish();
    }
}

std::optional<TRunningTask> TScheduler::DoubleOf(TTicket ticket) const {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    return it == tickets.end() ? std::nullopt : it->second.Double;
}

void TScheduler::EndDouble(TTicketState& state, TTaskOutcome outcome) {
    const TRunningTask second = *state.Double;
    state.Double.reset();
    state.DoubleSettled = false;
    outcome.Judge(second.Request.ExitCodes);
    outcome.Double = true;
    const auto row = static_cast<std::size_t>(second.Row);
    sink.TaskEnded(second, rows[row], outcome);
    busy[row] = false;
}

void TScheduler::DoubleLost(TTicket ticket, const TTaskOutcome& outcome) {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    if (it == tickets.end() || !it->second.Double) {
        return;
    }
    EndDouble(it->second, outcome);
    Dispatch();
    Publish();
}

void TScheduler::DoubleWon(TTicket ticket, const TTaskOutcome& stopped, const TTaskOutcome& ended) {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    if (it == tickets.end() || !it->second.Running || !it->second.Double) {
        return;
    }
    TTicketState& state = it->second;
    TTaskOutcome lost = stopped;
    lost.Judge(state.Task.Request.ExitCodes);
    lost.Double = true;
    sink.TaskEnded(state.Task, rows[static_cast<std::size_t>(state.Task.Row)], lost);
    const TRunningTask second = *state.Double;
    state.Double.reset();
    state.DoubleSettled = false;
    TTaskOutcome outcome = ended;
    outcome.Judge(second.Request.ExitCodes);
    const auto row = static_cast<std::size_t>(second.Row);
    sink.TaskEnded(second, rows[row], outcome);
    busy[row] = false;
    CountEnd(outcome);
    const bool failed = outcome.Failed();
    const std::string caption = second.Request.Caption;
    Release(it);
    if (failed && stopOnErrors) {
        StopLocked("The build stops on the first error: " + caption + " failed.");
    }
    Dispatch();
    Publish();
}

bool TScheduler::SettleDouble(TTicket ticket, std::int32_t doubleTaskID) {
    const std::lock_guard lock(mutex);
    const auto it = tickets.find(ticket);
    if (it == tickets.end() || !it->second.Double || it->second.Double->TaskID != doubleTaskID) {
        return false;
    }
    it->second.DoubleSettled = true;
    return true;
}

std::optional<std::size_t> TScheduler::TakeBackDouble(const TTicketState& waiting) {
    if (policy.AvoidLocal) {
        for (std::size_t row = 0; row < rows.size(); ++row) {
            if (!rows[row].Local && Eligible(row, waiting)) {
                return std::nullopt; // it waits for a helper's row
            }
        }
    }
    // The latest second attempt has run the shortest: giving it up wastes the least.
    TTicketState* latest = nullptr;
    for (auto& [ticket, state] : tickets) {
        if (state.Double && !state.DoubleSettled &&
            (!latest || state.Double->TaskID > latest->Double->TaskID)) {
            latest = &state;
        }
    }
    if (!latest) {
        return std::nullopt;
    }
    const auto row = static_cast<std::size_t>(latest->Double->Row);
    TTaskOutcome killed;
    killed.Signal = TakenBackSignal;
    EndDouble(*latest, killed);
    latest->Doubled = false; // it may run here again when a row falls idle
    return row;
}

void TScheduler::GrantDoubles() {
    if (!policy.Double || policy.AvoidLocal || stopping || !queue.empty()) {
        return;
    }
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (!rows[row].Local || busy[row]) {
            continue;
        }
        // The remote task that runs longest: the one granted first.
        TTicketState* longest = nullptr;
        for (auto& [ticket, state] : tickets) {
            if (state.Running && state.Doublable && !state.Doubled &&
                !rows[static_cast<std::size_t>(state.Task.Row)].Local &&
                (!longest || state.Task.TaskID < longest->Task.TaskID)) {
                longest = &state;
            }
        }
        if (!longest) {
            return;
        }
        TRunningTask second;
        second.TaskID = nextTaskID++;
        second.Row = static_cast<std::int32_t>(row);
        second.Request = longest->Task.Request;
        longest->Doubled = true;
        longest->Double = second;
        busy[row] = true;
        sink.TaskStarted(second, rows[row]);
    }
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

bool TScheduler::Eligible(std::size_t row, const TTicketState& state) const {
    const TWorkerRow& info = rows[row];
    if (info.Local) {
        return true;
    }
    const TTaskRequest& request = state.Task.Request;
    const auto up = helpersUp.find(info.Helper);
    if (!request.AllowRemote || state.LocalOnly || up == helpersUp.end() ||
        state.FailedOn.count(info.Helper)) {
        return false;
    }
    const auto name = [](const std::string& path) { return path.substr(path.rfind('/') + 1); };
    return up->second.count(name(request.Tool)) ||
           (!request.Argv.empty() && up->second.count(name(request.Argv[0])));
}

std::optional<std::size_t> TScheduler::ChooseRow(const TTicketState& state) const {
    // A helper row first, on the helper that runs the fewest tasks now.
    std::map<std::string, int> load;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (!rows[row].Local && busy[row]) {
            ++load[rows[row].Helper];
        }
    }
    std::optional<std::size_t> best;
    bool helperServes = false;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (rows[row].Local || !Eligible(row, state)) {
            continue;
        }
        helperServes = true;
        if (!busy[row] && (!best || load[rows[row].Helper] < load[rows[*best].Helper])) {
            best = row;
        }
    }
    if (best) {
        return best;
    }
    if (policy.AvoidLocal && helperServes) {
        return std::nullopt; // it waits for a helper row
    }
    for (std::size_t row = 0; row < rows.size(); ++row) {
        if (rows[row].Local && !busy[row]) {
            return row;
        }
    }
    return std::nullopt;
}

void TScheduler::Dispatch() {
    bool granted = false;
    // A task that no free row may run leaves the ones behind it their chance.
    for (auto it = queue.begin(); it != queue.end();) {
        TTicketState& state = tickets[*it];
        std::optional<std::size_t> chosen = ChooseRow(state);
        if (!chosen) {
            chosen = TakeBackDouble(state);
        }
        if (!chosen) {
            ++it;
            continue;
        }
        const std::size_t row = *chosen;
        it = queue.erase(it);
        busy[row] = true;
        state.Running = true;
        state.Task.TaskID = nextTaskID++;
        state.Task.Row = static_cast<std::int32_t>(row);
        state.Answer =
            TTaskGrant{true, state.Task.TaskID, state.Task.Row, rows[row].ID, std::string()};
        sink.TaskStarted(state.Task, rows[row]);
        granted = true;
    }
    GrantDoubles();
    if (granted) {
        answered.notify_all();
    }
}

void TScheduler::Release(std::map<TTicket, TTicketState>::iterator it) {
    const auto row = static_cast<std::size_t>(it->second.Task.Row);
    busy[row] = false;
    tickets.erase(it);
    if (!rows[row].Local && employed[row] && !helpersUp.count(rows[row].Helper)) {
        Employ(row, false, "its helper is down");
    }
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
