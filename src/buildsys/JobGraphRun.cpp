#include "buildsys/JobGraphRun.h"

#include "buildsys/BuildPlan.h"
#include "buildsys/DistccCompile.h"
#include "buildsys/OutputEvent.h"
#include "buildsys/TaskBuild.h"
#include "core/CacheKeyFile.h"
#include "core/CacheOutcome.h"
#include "core/TaskProtocol.h"
#include "core/ToolCommandLine.h"
#include "records/MonitorEvents.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace buildsys {

namespace {
constexpr std::uint32_t AwaitPollMs = 100;
// Where the cache engine asks the tool to write its log of the one call.
constexpr const char* CacheLogVariable = "CCACHE_LOGFILE";
} // namespace

TJobGraphRun::TJobGraphRun(const TJobGraph& graph, TScheduler& scheduler,
                           std::vector<TTaskEngine*> engines, TJobTaskExecutor& executor, TAdd add,
                           std::function<std::int32_t()> ms, std::string environment,
                           bool stopOnErrors)
    : graph(graph), scheduler(scheduler), engines(std::move(engines)), executor(executor),
      add(std::move(add)), ms(std::move(ms)), environment(std::move(environment)),
      stopOnErrors(stopOnErrors) {
    const std::size_t count = graph.Tasks.size();
    state.assign(count, TState::Pending);
    waitingFor.resize(count);
    taskID.assign(count, 0);
    endOrder.assign(count, 0);
    projectCounts.resize(graph.Projects.size());
    projectLeft.resize(graph.Projects.size());
    projectFailed.assign(graph.Projects.size(), false);
    for (std::size_t p = 0; p < graph.Projects.size(); ++p) {
        projectLeft[p] = graph.Projects[p].TaskCount;
    }
    for (std::size_t t = 0; t < count; ++t) {
        waitingFor[t] = static_cast<std::int32_t>(graph.Tasks[t].DependsOn.size());
        if (waitingFor[t] == 0) {
            state[t] = TState::Ready;
            ready.push_back(static_cast<std::int32_t>(t));
        }
    }
    startOrder.reserve(count);
}

TJobGraphRun::~TJobGraphRun() {
    Cancel();
    Finish();
}

void TJobGraphRun::Start(std::size_t count) {
    {
        const std::lock_guard lock(mutex);
        // Projects without tasks are complete from the start.
        for (std::size_t p = 0; p < projectLeft.size(); ++p) {
            if (projectLeft[p] == 0) {
                records::TMonitorEventProjectCompletePacket complete;
                complete.ms = ms();
                complete.ProjectIndex = static_cast<std::int32_t>(p);
                add(complete);
            }
        }
    }
    for (std::size_t i = 0; i < std::max<std::size_t>(count, 1); ++i) {
        workers.emplace_back([this] { Worker(); });
    }
}

bool TJobGraphRun::WaitDone(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return AllDone() || (stopping && running == 0); });
}

void TJobGraphRun::Cancel() {
    const std::lock_guard lock(mutex);
    cancel = true;
    stopping = true;
    changed.notify_all();
}

void TJobGraphRun::Finish() {
    if (finished) {
        return;
    }
    finished = true;
    {
        const std::lock_guard lock(mutex);
        stopping = stopping || !AllDone();
        changed.notify_all();
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    workers.clear();
    const std::lock_guard lock(mutex);
    for (std::size_t t = 0; t < state.size(); ++t) {
        if (state[t] == TState::Pending || state[t] == TState::Ready) {
            Skip(static_cast<std::int32_t>(t));
        }
    }
}

TJobRunCounts TJobGraphRun::Counts() const {
    const std::lock_guard lock(mutex);
    return counts;
}

std::vector<std::int32_t> TJobGraphRun::StartOrder() const {
    const std::lock_guard lock(mutex);
    return startOrder;
}

void TJobGraphRun::Worker() {
    for (;;) {
        std::int32_t task = -1;
        std::string after;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return stopping || !ready.empty() || AllDone(); });
            if (stopping || ready.empty()) {
                return;
            }
            task = ready.front();
            ready.pop_front();
            const TJobTask& job = graph.Tasks[static_cast<std::size_t>(task)];
            if (job.SkipIfProjectFailed && projectFailed[static_cast<std::size_t>(job.Project)]) {
                Skip(task);
                changed.notify_all();
                continue;
            }
            state[static_cast<std::size_t>(task)] = TState::Running;
            ++running;
            startOrder.push_back(task);
            after = AfterOf(task);
        }
        RunTask(task, std::move(after));
    }
}

std::string TJobGraphRun::AfterOf(std::int32_t task) const {
    std::vector<std::int32_t> deps = graph.Tasks[static_cast<std::size_t>(task)].DependsOn;
    std::sort(deps.begin(), deps.end(), [this](std::int32_t a, std::int32_t b) {
        return endOrder[static_cast<std::size_t>(a)] > endOrder[static_cast<std::size_t>(b)];
    });
    std::string text;
    for (const std::int32_t d : deps) {
        text += (text.empty() ? "" : ",") + std::to_string(taskID[static_cast<std::size_t>(d)]);
    }
    return text;
}

void TJobGraphRun::RunTask(std::int32_t task, std::string after) {
    const TJobTask& job = graph.Tasks[static_cast<std::size_t>(task)];
    TTaskRequest request;
    request.Tool = job.Arguments.empty() ? std::string() : job.Arguments[0];
    request.Argv = job.Arguments;
    request.Cwd = job.WorkingDir;
    // What the call does decides what the engines may do with it: only a compile is
    // distributed or cached.
    request.Kind = core::TaskKindName(
        core::TaskKindOf(core::ClassifyToolCall(request.Tool, request.Argv).kind));
    request.AllowRemote =
        job.AllowRemote && request.Kind == "compile" && DistccSendsToHelper(request.Argv);
    request.Source = job.Source;
    request.Output = job.Output;
    request.Caption = job.Caption;
    request.After = std::move(after);
    const TScheduler::TTicket ticket = scheduler.Submit(request);
    TRunningTask granted;
    granted.Request = std::move(request);
    TTaskOutcome outcome;
    std::int32_t id = 0;
    // A task that fails on a helper for distribution reasons runs again where its next
    // grant says.
    for (bool again = true; again;) {
        std::optional<TTaskGrant> answer;
        while (!(answer = scheduler.Await(ticket, AwaitPollMs))) {
            if (cancel) {
                scheduler.Abandon(ticket);
                answer = TTaskGrant{};
                answer->DenyReason = "The build was cancelled.";
            }
        }
        if (!answer->Granted) {
            const std::lock_guard lock(mutex);
            --running;
            stopping = true; // the scheduler stops no build that goes on
            Skip(task);
            changed.notify_all();
            return;
        }
        granted.TaskID = answer->TaskID;
        granted.Row = answer->Row;
        id = answer->TaskID;
        const TWorkerRow& row = scheduler.Rows().at(static_cast<std::size_t>(answer->Row));
        std::string cache;
        outcome = RunGranted(job, granted, row, cache);
        for (TTaskEngine* engine : engines) {
            engine->Ended(granted, row, outcome, cache);
        }
        again = scheduler.Finish(ticket, outcome);
    }
    const std::lock_guard lock(mutex);
    --running;
    Ended(task, !outcome.Failed(), outcome, id);
    changed.notify_all();
}

TTaskOutcome TJobGraphRun::RunGranted(const TJobTask& job, const TRunningTask& granted,
                                      const TWorkerRow& row, std::string& cache) {
    TTaskCommand command;
    for (TTaskEngine* engine : engines) {
        engine->Wrap(granted, row, command);
    }
    const auto run = [&](const TTaskCommand& shape) {
        std::vector<std::string> argv = shape.Prefix;
        argv.insert(argv.end(), job.Arguments.begin(), job.Arguments.end());
        // The build's cache settings are the whole of ccache's: a user's own (a compiler
        // check turned off, another compiler) could restore a different compile's result.
        std::string env = shape.Env.count("CCACHE_DIR") != 0
                              ? WithoutVariablesStartingWith(environment, "CCACHE_")
                              : environment;
        if (!shape.Env.empty()) {
            std::vector<std::string> forced;
            for (const auto& [name, value] : shape.Env) {
                forced.push_back(name + "=" + value);
            }
            env = MergeEnvironment(env, forced);
        }
        const std::int32_t id = granted.TaskID;
        return executor.Run(
            argv, job.WorkingDir, env,
            [this, id](const TOutputText& text) { AddOutputEvent(add, ms(), text, id); }, cancel);
    };
    if (!command.KeyFile.empty()) {
        core::WriteCacheKeyFile(
            command.KeyFile, command.KeyVariables,
            [this](std::string_view name) { return EnvironmentValue(environment, name); });
    }
    TTaskOutcome outcome = run(command);
    if (!command.KeyFile.empty()) {
        std::error_code ignored;
        std::filesystem::remove(command.KeyFile, ignored);
    }
    const auto log = command.Env.find(CacheLogVariable);
    if (log != command.Env.end()) {
        core::TCacheOutcome result = core::TakeCacheOutcome(log->second);
        if (core::CacheEngineFailed(result, outcome.ExitCode != 0 || outcome.Signal != 0) &&
            !cancel) {
            // What went wrong in the cache fails no task: it runs again without it.
            result = core::CacheEngineFailure("exit status " + std::to_string(outcome.ExitCode));
            outcome = run(TTaskCommand{});
        }
        cache = core::CacheOutcomeToText(result);
    }
    if (!row.Local && core::DistributionFailureStatus(outcome.ExitCode)) {
        outcome.EngineFailure = true;
    }
    const std::int32_t code = outcome.ExitCode;
    const auto listed = [code](const std::vector<std::int32_t>& codes) {
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    };
    const bool success = outcome.Signal == 0 &&
                         (job.SuccessExitCodes.empty() ? code == 0 : listed(job.SuccessExitCodes));
    const bool warning = !success && outcome.Signal == 0 && listed(job.WarningExitCodes);
    outcome.Verdict = success   ? TExitVerdict::Success
                      : warning ? TExitVerdict::Warning
                                : TExitVerdict::Failure;
    if (warning) {
        outcome.Warnings = std::max(outcome.Warnings, 1);
    }
    if (outcome.Failed()) {
        // A failed task is an error of the build even when it said nothing.
        outcome.Errors = std::max(outcome.Errors, 1);
    }
    return outcome;
}

void TJobGraphRun::Ended(std::int32_t task, bool succeeded, const TTaskOutcome& outcome,
                         std::int32_t id) {
    const auto t = static_cast<std::size_t>(task);
    const TJobTask& job = graph.Tasks[t];
    const auto p = static_cast<std::size_t>(job.Project);
    taskID[t] = id;
    endOrder[t] = ++ends;
    state[t] = succeeded ? TState::Succeeded : TState::Failed;
    TJobRunCounts& project = projectCounts[p];
    const std::int32_t errors = std::max(0, outcome.Errors);
    const std::int32_t warnings = std::max(0, outcome.Warnings);
    counts.Errors += errors;
    counts.Warnings += warnings;
    project.Errors += errors;
    project.Warnings += warnings;
    if (succeeded) {
        ++counts.Succeeded;
        ++project.Succeeded;
        for (const std::int32_t next : graph.Dependents[t]) {
            const auto n = static_cast<std::size_t>(next);
            if (--waitingFor[n] == 0 && state[n] == TState::Pending) {
                state[n] = TState::Ready;
                ready.push_back(next);
            }
        }
        Done(task);
        return;
    }
    ++counts.Failed;
    ++project.Failed;
    projectFailed[p] = true;
    Done(task);
    // What depends on a failed task cannot run.
    for (const std::int32_t next : graph.Dependents[t]) {
        if (state[static_cast<std::size_t>(next)] == TState::Pending) {
            Skip(next);
        }
    }
    if (job.StopOnErrors || stopOnErrors) {
        Stop("The build stops on errors: " + job.Caption + " failed.");
    }
}

void TJobGraphRun::Skip(std::int32_t first) {
    std::vector<std::int32_t> stack{first};
    while (!stack.empty()) {
        const std::int32_t task = stack.back();
        stack.pop_back();
        const auto t = static_cast<std::size_t>(task);
        if (state[t] != TState::Pending && state[t] != TState::Ready) {
            continue;
        }
        state[t] = TState::Skipped;
        ++counts.Skipped;
        ++projectCounts[static_cast<std::size_t>(graph.Tasks[t].Project)].Skipped;
        Done(task);
        for (const std::int32_t next : graph.Dependents[t]) {
            if (state[static_cast<std::size_t>(next)] == TState::Pending) {
                stack.push_back(next);
            }
        }
    }
}

void TJobGraphRun::Done(std::int32_t task) {
    ++done;
    const std::int32_t project = graph.Tasks[static_cast<std::size_t>(task)].Project;
    ReportCounts(project);
    const auto p = static_cast<std::size_t>(project);
    if (--projectLeft[p] == 0) {
        const TJobRunCounts& c = projectCounts[p];
        records::TMonitorEventProjectOutputPacket line;
        line.ms = ms();
        line.ProjectIndex = project;
        line.Text = "Project " + graph.Projects[p].Name + ": " + std::to_string(c.Succeeded) +
                    " succeeded, " + std::to_string(c.Failed) + " failed, " +
                    std::to_string(c.Skipped) + " skipped";
        line.ErrorCount = c.Errors;
        line.WarningCount = c.Warnings;
        add(line);
        records::TMonitorEventProjectCompletePacket complete;
        complete.ms = ms();
        complete.ProjectIndex = project;
        add(complete);
    }
}

void TJobGraphRun::ReportCounts(std::int32_t project) {
    const std::int32_t now = ms();
    records::TMonitorEventCountPacket count;
    count.ms = now;
    count.Built = counts.Succeeded;
    count.Skipped = counts.Skipped;
    count.Errors = counts.Errors;
    count.Warnings = counts.Warnings;
    add(count);
    const TJobRunCounts& c = projectCounts[static_cast<std::size_t>(project)];
    records::TMonitorEventProjectCountPacket projectCount;
    projectCount.ms = now;
    projectCount.ProjectIndex = project;
    projectCount.Built = c.Succeeded;
    projectCount.Skipped = c.Skipped;
    projectCount.Errors = c.Errors;
    projectCount.Warnings = c.Warnings;
    add(projectCount);
}

void TJobGraphRun::Stop(const std::string& reason) {
    if (stopping) {
        return;
    }
    stopping = true;
    records::TMonitorEventOutputPacket event;
    event.ms = ms();
    event.ErrText = reason;
    add(event);
}

} // namespace buildsys
