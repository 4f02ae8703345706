#include "viewer/EventReplay.h"

#include "core/Guid.h"
#include "records/MonitorEvents.h"

#include <algorithm>
#include <charconv>

namespace viewer {

namespace {
template <typename T> const T* As(const packets::TPacket& packet) {
    return &packet.Class() == &T::StaticClass() ? static_cast<const T*>(&packet) : nullptr;
}
} // namespace

std::int32_t TEventReplay::LatestAttempt(std::int32_t taskID) const {
    if (taskID >= 0 && static_cast<std::size_t>(taskID) < denseTasks.size()) {
        return denseTasks[static_cast<std::size_t>(taskID)];
    }
    const auto found = tasksByID.find(taskID);
    return found != tasksByID.end() ? found->second : -1;
}

std::vector<std::int32_t> TEventReplay::Dependencies(std::string_view status) const {
    // "after:<task IDs>", separated by commas: the tasks this one waited for. An ID
    // that names no task read so far (or is no number) says nothing and is left out.
    constexpr std::string_view prefix = "after:";
    std::vector<std::int32_t> found;
    if (!status.starts_with(prefix)) {
        return found;
    }
    status.remove_prefix(prefix.size());
    while (!status.empty()) {
        const std::size_t comma = std::min(status.find(','), status.size());
        const std::string_view word = status.substr(0, comma);
        std::int32_t id = 0;
        const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), id);
        if (error == std::errc() && end == word.data() + word.size()) {
            if (const std::int32_t index = LatestAttempt(id); index >= 0) {
                found.push_back(index);
            }
        }
        status.remove_prefix(std::min(comma + 1, status.size()));
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

void TEventReplay::SetLatestAttempt(std::int32_t taskID, std::int32_t index) {
    // Task IDs are counted up from 1 by the build system: a table by ID, grown as they
    // come; an ID far beyond the tasks seen (or negative) goes to the map.
    if (taskID >= 0 && static_cast<std::size_t>(taskID) < denseTasks.size() + DenseGrowth) {
        if (static_cast<std::size_t>(taskID) >= denseTasks.size()) {
            denseTasks.resize(static_cast<std::size_t>(taskID) + 1, -1);
        }
        denseTasks[static_cast<std::size_t>(taskID)] = index;
        return;
    }
    tasksByID[taskID] = index;
}

void TEventReplay::Seen(std::int32_t ms) {
    if (!model.Completed) {
        model.EndMs = std::max(model.EndMs, ms);
    }
}

std::int32_t TEventReplay::MachineFor(const std::string& host, bool local) {
    const auto key = std::make_pair(host, local);
    if (const auto found = machinesByHost.find(key); found != machinesByHost.end()) {
        return found->second;
    }
    TMachine machine;
    machine.Host = host;
    machine.Local = local;
    model.Machines.push_back(std::move(machine));
    const auto index = static_cast<std::int32_t>(model.Machines.size() - 1);
    machinesByHost.emplace(key, index);
    return index;
}

std::int32_t TEventReplay::RowFor(const std::string& workerID, std::int32_t ms) {
    if (const auto found = rowsByID.find(workerID); found != rowsByID.end()) {
        return found->second;
    }
    // A worker that was never employed: a row of its own on an unnamed machine.
    TWorkerRow row;
    row.ID = workerID;
    row.Caption = workerID;
    row.EmployedMs = ms;
    row.Machine = MachineFor("", false);
    model.Rows.push_back(std::move(row));
    const auto index = static_cast<std::int32_t>(model.Rows.size() - 1);
    model.Machines[static_cast<std::size_t>(model.Rows.back().Machine)].Rows.push_back(index);
    rowsByID.emplace(workerID, index);
    return index;
}

TGraphSet* TEventReplay::SetFor(const std::string& rowID, std::int32_t setID) {
    const auto found = graphsByID.find(rowID);
    if (found == graphsByID.end()) {
        return nullptr;
    }
    for (TGraphSet& set : model.Graphs[static_cast<std::size_t>(found->second)].Sets) {
        if (set.SetID == setID) {
            return &set;
        }
    }
    return nullptr;
}

void TEventReplay::EndTask(std::int32_t row, std::int32_t ms, bool lost, bool isDouble,
                           std::optional<std::int32_t> exitCode, std::int32_t errors,
                           std::int32_t warnings) {
    TWorkerRow& worker = model.Rows[static_cast<std::size_t>(row)];
    if (worker.Current < 0) {
        return; // an end without a begin has nothing to show
    }
    TTask& task = model.Tasks[static_cast<std::size_t>(worker.Current)];
    worker.Current = -1;
    task.EndMs = std::max(ms, task.BeginMs);
    task.Lost = lost;
    task.Retried = task.Retried || isDouble;
    task.ExitCode = exitCode;
    task.Errors = errors;
    task.Warnings = warnings;
    if (task.Outcome != TTaskOutcome::Restored) {
        const bool failed = lost || errors > 0 || (exitCode && *exitCode != 0);
        task.Outcome = failed ? TTaskOutcome::Failed : TTaskOutcome::Succeeded;
    }
}

void TEventReplay::AddOutput(std::int32_t ms, std::int32_t taskID, const std::string& text,
                             bool error) {
    if (text.empty()) {
        return;
    }
    model.Output.push_back({ms, taskID, error, text});
}

void TEventReplay::Apply(const packets::TPacket& event) {
    ++model.Read.Events;
    if (const auto* e = As<records::TMonitorEventStartedPacket>(event)) {
        model.Started = true;
        model.StartTime = e->StartTime;
        if (!e->Caption.empty()) {
            model.Caption = e->Caption;
        }
        if (!e->PrimaryFileName.empty()) {
            model.PrimaryFile = e->PrimaryFileName;
        }
        if (!e->ComputerName.empty()) {
            model.ComputerName = e->ComputerName;
        }
        if (!e->ID.IsNull()) {
            model.BuildID = e->ID.ToString();
        }
    } else if (const auto* e = As<records::TMonitorEventCompletePacket>(event)) {
        model.Completed = true;
        model.EndMs = std::max(model.EndMs, e->ms);
        model.Success = e->Success;
        model.Cancelled = e->Cancel;
        model.Summary = e->Summary;
        model.ExitCode = e->ExitCode;
        model.ErrorCount = e->ErrorCount;
        model.WarningCount = e->WarningCount;
        model.SystemErrorCount = e->SystemErrorCount;
        model.SystemWarningCount = e->SystemWarningCount;
    } else if (const auto* e = As<records::TMonitorEventEmployPacket>(event)) {
        Seen(e->ms);
        const auto found = rowsByID.find(e->ID);
        if (found != rowsByID.end()) {
            // Employed again: the row is the same one.
            TWorkerRow& row = model.Rows[static_cast<std::size_t>(found->second)];
            row.UnemployedMs = -1;
            return;
        }
        TWorkerRow row;
        row.ID = e->ID;
        row.Caption = e->Caption.empty() ? e->ID : e->Caption;
        row.Host = e->Host;
        row.Local = e->Local;
        row.EmployedMs = e->ms;
        row.Machine = MachineFor(e->Host, e->Local);
        model.Rows.push_back(std::move(row));
        const auto index = static_cast<std::int32_t>(model.Rows.size() - 1);
        model.Machines[static_cast<std::size_t>(model.Rows.back().Machine)].Rows.push_back(index);
        rowsByID.emplace(e->ID, index);
    } else if (const auto* e = As<records::TMonitorEventUnemployPacket>(event)) {
        Seen(e->ms);
        if (const auto found = rowsByID.find(e->ID); found != rowsByID.end()) {
            model.Rows[static_cast<std::size_t>(found->second)].UnemployedMs = e->ms;
        }
    } else if (const auto* e = As<records::TMonitorEventBeginStepPacket>(event)) {
        Seen(e->ms);
        const std::int32_t row = RowFor(e->WorkerID, e->ms);
        TWorkerRow& worker = model.Rows[static_cast<std::size_t>(row)];
        if (worker.Current >= 0) {
            // A row runs one task at a time: a begin without the end of the previous one.
            EndTask(row, e->ms, true, false, std::nullopt, 0, 0);
        }
        TTask task;
        task.TaskID = e->TaskID;
        task.Name = e->Name;
        task.Hint = e->Hint;
        task.CmdLine = e->CmdLine;
        task.App = e->App;
        task.Source = e->Source;
        task.Row = row;
        task.BeginMs = e->ms;
        task.Remote = e->Remote;
        task.DependsOn = Dependencies(e->Status);
        const auto index = static_cast<std::int32_t>(model.Tasks.size());
        if (const std::int32_t previous = LatestAttempt(e->TaskID); previous >= 0) {
            TTask& earlier = model.Tasks[static_cast<std::size_t>(previous)];
            earlier.Retried = true;
            task.Attempt = earlier.Attempt + 1;
        }
        SetLatestAttempt(e->TaskID, index);
        model.Tasks.push_back(std::move(task));
        worker.Current = index;
    } else if (const auto* e = As<records::TMonitorEventEndStepPacket>(event)) {
        Seen(e->ms);
        EndTask(RowFor(e->WorkerID, e->ms), e->ms, false, e->Double,
                e->ExitCodeExists ? std::optional<std::int32_t>(e->ExitCode) : std::nullopt,
                e->Errors, e->Warnings);
    } else if (const auto* e = As<records::TMonitorEventStepFailedPacket>(event)) {
        Seen(e->ms);
        EndTask(RowFor(e->WorkerID, e->ms), e->ms, true, false, std::nullopt, 0, 0);
    } else if (const auto* e = As<records::TMonitorEventBuildCacheRestorePacket>(event)) {
        Seen(e->ms);
        if (const std::int32_t found = LatestAttempt(e->TaskID); found >= 0) {
            TTask& task = model.Tasks[static_cast<std::size_t>(found)];
            task.Outcome = TTaskOutcome::Restored;
            task.OriginalDurationMs = e->OriginalDuration;
            if (task.CmdLine.empty()) {
                task.CmdLine = e->CmdLine;
            }
            return;
        }
        // Restored without running on a row: a task of its own, at the moment it came back.
        TTask task;
        task.TaskID = e->TaskID;
        task.Name = e->App.empty() ? "task " + std::to_string(e->TaskID) : e->App;
        task.App = e->App;
        task.CmdLine = e->CmdLine;
        task.BeginMs = e->ms;
        task.EndMs = e->ms;
        task.Outcome = TTaskOutcome::Restored;
        task.OriginalDurationMs = e->OriginalDuration;
        SetLatestAttempt(e->TaskID, static_cast<std::int32_t>(model.Tasks.size()));
        model.Tasks.push_back(std::move(task));
    } else if (const auto* e = As<records::TMonitorEventCountPacket>(event)) {
        Seen(e->ms);
        model.Counts.Reported = true;
        model.Counts.Built = e->Built;
        model.Counts.Skipped = e->Skipped;
        model.Counts.Errors = e->Errors;
        model.Counts.Warnings = e->Warnings;
    } else if (const auto* e = As<records::TMonitorEventOutputPacket>(event)) {
        Seen(e->ms);
        AddOutput(e->ms, e->TaskID, e->Text, false);
        AddOutput(e->ms, e->TaskID, e->ErrText, true);
    } else if (const auto* e = As<records::TMonitorEventProjectOutputPacket>(event)) {
        Seen(e->ms);
        AddOutput(e->ms, e->TaskID, e->Text, false);
    } else if (const auto* e = As<records::TMonitorEventProjectOutOfOrderOutputPacket>(event)) {
        Seen(e->ms);
        AddOutput(e->ms, e->TaskID, e->Text, false);
    } else if (const auto* e = As<records::TMonitorEventMessagePacket>(event)) {
        Seen(e->ms);
        std::string text = e->Message;
        if (!e->Text.empty()) {
            text += (text.empty() ? "" : ": ") + e->Text;
        }
        AddOutput(e->ms, 0, text, true);
    } else if (const auto* e = As<records::TMonitorEventAddGraphRowPacket>(event)) {
        Seen(e->ms);
        if (graphsByID.contains(e->RowID)) {
            return;
        }
        TGraphRow row;
        row.ID = e->RowID;
        row.Name = e->DisplayName.empty() ? e->RowID : e->DisplayName;
        graphsByID.emplace(e->RowID, static_cast<std::int32_t>(model.Graphs.size()));
        model.Graphs.push_back(std::move(row));
    } else if (const auto* e = As<records::TMonitorEventAddGraphSetPacket>(event)) {
        Seen(e->ms);
        const auto found = graphsByID.find(e->RowID);
        const records::TGraphSetDefPacket& def = e->SetDefinitionPacket;
        if (found == graphsByID.end() || SetFor(e->RowID, def.SetID)) {
            return;
        }
        TGraphSet set;
        set.SetID = def.SetID;
        set.Name = def.DisplayName;
        for (int i = 0; i < def.Graphs.Count(); ++i) {
            const records::TGraphDefPacket& graph = def.Graphs[i];
            set.Graphs.push_back({graph.DisplayName, graph.Description, graph.Units,
                                  graph.DivideBy > 0 ? graph.DivideBy : 1});
        }
        model.Graphs[static_cast<std::size_t>(found->second)].Sets.push_back(std::move(set));
    } else if (const auto* e = As<records::TMonitorEventAddGraphSamplePacket>(event)) {
        Seen(e->ms);
        if (TGraphSet* set = SetFor(e->RowID, e->SamplePacket.SetID)) {
            TGraphSample sample{e->ms, e->SamplePacket.Values};
            sample.Values.resize(set->Graphs.size());
            set->Samples.push_back(std::move(sample));
        }
    } else if (const auto* e = As<records::TMonitorEventAddGraphSamplePacket_Obsolete>(event)) {
        Seen(e->ms);
        if (TGraphSet* set = SetFor(e->RowID, e->SamplePacket.SetID)) {
            TGraphSample sample{e->ms, {}};
            sample.Values.assign(e->SamplePacket.Values.begin(), e->SamplePacket.Values.end());
            sample.Values.resize(set->Graphs.size());
            set->Samples.push_back(std::move(sample));
        }
    } else if (const auto* e = As<records::TMonitorEventBuildCacheSummaryPacket>(event)) {
        Seen(e->ms);
        model.CacheSummary.clear();
        for (int i = 0; i < e->Lines.Count(); ++i) {
            model.CacheSummary.push_back(e->Lines[i]);
        }
    }
}

} // namespace viewer
