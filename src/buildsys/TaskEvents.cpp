#include "buildsys/TaskEvents.h"

#include "platform/CommandLine.h"
#include "records/MonitorEvents.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace buildsys {

TTaskEvents::TTaskEvents(TTaskEventOptions options, TAdd add, std::function<std::int32_t()> ms,
                         std::function<void(const std::string&)> stop)
    : options(options), add(std::move(add)), ms(std::move(ms)), stop(std::move(stop)) {}

void TTaskEvents::TaskStarted(const TRunningTask& task, const TWorkerRow& row) {
    const std::int32_t now = ms();
    startedAt[task.TaskID] = now;
    const TTaskRequest& request = task.Request;
    const std::string cmdLine = platform::BuildCommandLine(request.Argv);
    if (!options.SuppressBars) {
        records::TMonitorEventBeginStepPacket event;
        event.ms = now;
        event.WorkerID = row.ID;
        event.Name = request.Caption;
        event.Hint = request.Kind + (request.Output.empty() ? "" : ": " + request.Output);
        event.TaskID = task.TaskID;
        event.Source = request.Source;
        event.CmdLine = cmdLine;
        event.App = request.Tool;
        event.Remote = !row.Local;
        // What the viewer needs for the critical path: the tasks this one waited for.
        if (!request.After.empty()) {
            event.Status = "after:" + request.After;
        }
        event.BuildCacheStatus = cacheStatus ? cacheStatus(task) : 0;
        add(event);
    }
    if (options.ShowCmd) {
        Output(task.TaskID, cmdLine, false);
    }
}

void TTaskEvents::TaskEnded(const TRunningTask& task, const TWorkerRow& row,
                            const TTaskOutcome& outcome) {
    const std::int32_t now = ms();
    if (!options.SuppressBars) {
        records::TMonitorEventEndStepPacket event;
        event.ms = now;
        event.WorkerID = row.ID;
        event.Errors = std::max(0, outcome.Errors);
        event.Warnings = std::max(0, outcome.Warnings);
        event.ExitCodeExists = true;
        event.ExitCode = outcome.Signal != 0 ? 128 + outcome.Signal : outcome.ExitCode;
        event.Double = outcome.Double;
        add(event);
    }
    const std::int32_t began = startedAt[task.TaskID];
    startedAt.erase(task.TaskID);
    if (outcome.Double) {
        return; // the winning attempt tells the task's end
    }
    ShowEnd(task, row, outcome.DurationMs > 0 ? outcome.DurationMs : now - began);
}

void TTaskEvents::TaskLost(const TRunningTask& task, const TWorkerRow& row) {
    const std::int32_t now = ms();
    if (!options.SuppressBars) {
        records::TMonitorEventStepFailedPacket event;
        event.ms = now;
        event.WorkerID = row.ID;
        add(event);
    }
    const std::int32_t began = startedAt[task.TaskID];
    startedAt.erase(task.TaskID);
    Output(task.TaskID,
           task.Request.Caption + ": the task's launcher ended without reporting the task's end.",
           true);
    ShowEnd(task, row, now - began);
}

void TTaskEvents::CountsChanged(const TSchedulerCounts& counts) {
    if (anyReported && counts.Succeeded == reported.Succeeded && counts.Errors == reported.Errors &&
        counts.Warnings == reported.Warnings) {
        return;
    }
    if (!anyReported && counts.Succeeded == 0 && counts.Errors == 0 && counts.Warnings == 0 &&
        counts.Failed == 0) {
        return; // nothing to tell yet
    }
    anyReported = true;
    reported = counts;
    const std::int32_t now = ms();
    records::TMonitorEventCountPacket count;
    count.ms = now;
    count.Built = counts.Succeeded;
    count.Errors = counts.Errors;
    count.Warnings = counts.Warnings;
    add(count);
    records::TMonitorEventProjectCountPacket project;
    project.ms = now;
    project.ProjectIndex = 0;
    project.Built = counts.Succeeded;
    project.Errors = counts.Errors;
    project.Warnings = counts.Warnings;
    add(project);
}

void TTaskEvents::TaskRetried(const TRunningTask& task, const TWorkerRow& row,
                              const TTaskOutcome& outcome, const std::string& reason) {
    (void)outcome;
    const std::int32_t now = ms();
    if (!options.SuppressBars) {
        records::TMonitorEventStepFailedPacket event;
        event.ms = now;
        event.WorkerID = row.ID;
        add(event);
    }
    startedAt.erase(task.TaskID);
    Output(task.TaskID, task.Request.Caption + ": " + reason + "; it runs again.", false);
}

void TTaskEvents::RowEmployment(std::int32_t index, const TWorkerRow& row, bool employed,
                                const std::string& reason) {
    if (employment) {
        employment(index, row, employed, reason);
    }
}

void TTaskEvents::StopRequested(const std::string& reason) {
    Output(0, reason, true);
    stop(reason);
}

std::string TTaskEvents::EndLine(const std::string& caption, const std::string* agent,
                                 const std::int64_t* durationMs) {
    std::string line = caption;
    if (agent) {
        line += " (Agent '" + *agent + "')";
    }
    if (durationMs) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(*durationMs) / 1000.0);
        line += std::string(" (") + seconds + " s)";
    }
    return line;
}

void TTaskEvents::ShowEnd(const TRunningTask& task, const TWorkerRow& row,
                          std::int64_t durationMs) {
    if (!options.ShowAgent && !options.ShowTime) {
        return;
    }
    Output(task.TaskID,
           EndLine(task.Request.Caption, options.ShowAgent ? &row.Caption : nullptr,
                   options.ShowTime ? &durationMs : nullptr),
           false);
}

void TTaskEvents::Output(std::int32_t taskID, std::string text, bool error) {
    records::TMonitorEventOutputPacket event;
    event.ms = ms();
    (error ? event.ErrText : event.Text) = std::move(text);
    event.TaskID = taskID;
    add(event);
}

} // namespace buildsys
