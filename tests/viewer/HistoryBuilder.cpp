#include "HistoryBuilder.h"

#include "records/MetaBuildPackets.h"
#include "records/Registration.h"

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

namespace viewer_test {

THistoryBuilder::THistoryBuilder(const std::string& fileName, const std::string& caption) {
    records::RegisterAllPacketClasses(); // once; later calls do nothing
    records::TMetaBuildPacket meta;
    meta.ID = core::TGUID::Literal("{5E1F0000-1111-4222-8333-444455556666}");
    meta.Caption = caption;
    meta.ComputerName = "alpha";
    meta.UserName = "tester";
    meta.StartTime = 46000.5;
    writer = std::make_unique<monitor::TMonitorFileWriter>(fileName, meta);
}

void THistoryBuilder::Add(const packets::TPacket& event) {
    event.SaveToStream(pending, &context);
    if (pending.Size() >= 256 * 1024) {
        Flush(); // blocks of the size a build system writes
    }
}

void THistoryBuilder::Flush() {
    if (pending.Size() > 0) {
        writer->Append(pending.Bytes());
        pending.Clear();
    }
}

void THistoryBuilder::Finish() {
    Flush();
    monitor::TMonitorFileOutcome outcome;
    writer->Finish(outcome);
}

void THistoryBuilder::Started(const std::string& caption, std::int32_t ms) {
    records::TMonitorEventStartedPacket e;
    e.ms = ms;
    e.StartTime = 46000.5;
    e.Caption = caption;
    e.ID = core::TGUID::Literal("{5E1F0000-1111-4222-8333-444455556666}");
    e.ComputerName = "alpha";
    Add(e);
}

void THistoryBuilder::Employ(const std::string& id, const std::string& host, bool local,
                             std::int32_t ms) {
    records::TMonitorEventEmployPacket e;
    e.ms = ms;
    e.ID = id;
    e.Caption = id;
    e.Host = host;
    e.Local = local;
    Add(e);
}

void THistoryBuilder::Begin(std::int32_t ms, const std::string& worker, std::int32_t taskID,
                            const std::string& name, bool remote, const std::string& status) {
    records::TMonitorEventBeginStepPacket e;
    e.ms = ms;
    e.WorkerID = worker;
    e.TaskID = taskID;
    e.Name = name;
    e.Hint = "compile";
    e.App = "cc";
    e.CmdLine = "cc -c " + name + " -o " + name + ".o";
    e.Remote = remote;
    e.Status = status;
    Add(e);
}

void THistoryBuilder::End(std::int32_t ms, const std::string& worker, std::int32_t exitCode,
                          std::int32_t errors, bool isDouble) {
    records::TMonitorEventEndStepPacket e;
    e.ms = ms;
    e.WorkerID = worker;
    e.ExitCodeExists = true;
    e.ExitCode = exitCode;
    e.Errors = errors;
    e.Double = isDouble;
    Add(e);
}

void THistoryBuilder::Output(std::int32_t ms, std::int32_t taskID, const std::string& text,
                             bool error) {
    records::TMonitorEventOutputPacket e;
    e.ms = ms;
    e.TaskID = taskID;
    (error ? e.ErrText : e.Text) = text;
    Add(e);
}

void THistoryBuilder::Complete(std::int32_t ms, bool success, std::int32_t exitCode,
                               std::int32_t errors) {
    auto e = records::NewCompleteEvent(ms, false, records::BuildSummaryText(0, 0, errors, 0),
                                       success, 0, 0, errors, 0, exitCode);
    Add(*e);
}

TGeneratedBuild WriteGeneratedBuild(const std::string& fileName, std::int64_t tasks,
                                    std::int32_t rows, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::int32_t> duration(50, 2000);
    std::uniform_int_distribution<int> percent(0, 999);
    struct TStep {
        std::int32_t Ms;
        int Order; // ends before begins at the same moment
        std::int32_t Row;
        std::int64_t Task;
        int Kind; // 0 ok, 1 failed, 2 restored, 3 doubled
    };
    std::vector<TStep> steps;
    steps.reserve(static_cast<std::size_t>(tasks) * 2);
    std::vector<std::int32_t> rowFree(static_cast<std::size_t>(rows), 0);
    TGeneratedBuild made;
    for (std::int64_t t = 0; t < tasks; ++t) {
        const auto row = static_cast<std::size_t>(std::min_element(rowFree.begin(), rowFree.end()) -
                                                  rowFree.begin());
        const int roll = percent(random);
        const int kind = roll < 10 ? 1 : roll < 60 ? 2 : roll < 65 ? 3 : 0;
        const std::int32_t length = kind == 2 ? duration(random) / 20 : duration(random);
        const std::int32_t begin = rowFree[row];
        steps.push_back({begin, 1, static_cast<std::int32_t>(row), t, kind});
        steps.push_back({begin + length, 0, static_cast<std::int32_t>(row), t, kind});
        rowFree[row] = begin + length + percent(random) % 7;
        made.Failed += kind == 1;
        made.Restored += kind == 2;
    }
    std::sort(steps.begin(), steps.end(), [](const TStep& a, const TStep& b) {
        return std::tie(a.Ms, a.Order, a.Row) < std::tie(b.Ms, b.Order, b.Row);
    });
    made.DurationMs = steps.empty() ? 0 : steps.back().Ms + 10;
    made.Tasks = tasks;

    THistoryBuilder b(fileName, "Generated build");
    const auto add = [&](const packets::TPacket& event) {
        b.Add(event);
        ++made.Events;
    };
    const auto rowID = [&](std::int32_t row) {
        const std::int32_t local = std::max(1, rows / 4);
        return row < local
                   ? "local#" + std::to_string(row + 1)
                   : "helper" + std::to_string((row - local) % 3 + 1) + "#" + std::to_string(row);
    };
    const auto hostOf = [&](std::int32_t row) {
        const std::string id = rowID(row);
        return id.substr(0, id.find('#'));
    };
    {
        records::TMonitorEventStartedPacket e;
        e.StartTime = 46000.5;
        e.Caption = "Generated build";
        e.ComputerName = "local";
        add(e);
    }
    for (std::int32_t r = 0; r < rows; ++r) {
        records::TMonitorEventEmployPacket e;
        e.ID = rowID(r);
        e.Caption = e.ID;
        e.Host = hostOf(r);
        e.Local = e.Host == "local";
        e.RowIndex = r;
        add(e);
    }
    {
        records::TMonitorEventAddGraphRowPacket row;
        row.RowID = "graph-tasks";
        row.DisplayName = "Tasks";
        add(row);
        records::TMonitorEventAddGraphSetPacket set;
        set.RowID = "graph-tasks";
        set.SetDefinitionPacket.SetID = 1;
        set.SetDefinitionPacket.DisplayName = "Tasks";
        set.SetDefinitionPacket.Graphs.AddNew().DisplayName = "Running";
        add(set);
    }
    std::int32_t nextSample = 0;
    std::int32_t running = 0;
    for (const TStep& step : steps) {
        while (nextSample <= step.Ms) {
            records::TMonitorEventAddGraphSamplePacket sample;
            sample.ms = nextSample;
            sample.RowID = "graph-tasks";
            sample.SamplePacket.SetID = 1;
            sample.SamplePacket.Values = {running};
            add(sample);
            nextSample += 1000;
        }
        const std::string worker = rowID(step.Row);
        const std::string name = "src/module" + std::to_string(step.Task % 97) + "/file" +
                                 std::to_string(step.Task) + ".c";
        if (step.Order == 1) {
            records::TMonitorEventBeginStepPacket e;
            e.ms = step.Ms;
            e.WorkerID = worker;
            e.TaskID = static_cast<std::int32_t>(step.Task + 1);
            e.Name = name;
            e.Hint = "compile";
            e.App = "gcc";
            e.CmdLine = "gcc -O2 -Wall -Iinclude -c " + name + " -o obj/file" +
                        std::to_string(step.Task) + ".o";
            e.Remote = hostOf(step.Row) != "local";
            add(e);
            ++running;
            continue;
        }
        if (step.Kind == 2) {
            records::TMonitorEventBuildCacheRestorePacket e;
            e.ms = step.Ms;
            e.TaskID = static_cast<std::int32_t>(step.Task + 1);
            e.App = "gcc";
            e.OriginalDuration = 1000;
            add(e);
        }
        if (step.Kind == 1) {
            records::TMonitorEventOutputPacket out;
            out.ms = step.Ms;
            out.TaskID = static_cast<std::int32_t>(step.Task + 1);
            out.ErrText = name + ":12:5: error: 'x' undeclared (first use in this function)";
            add(out);
        }
        records::TMonitorEventEndStepPacket e;
        e.ms = step.Ms;
        e.WorkerID = worker;
        e.ExitCodeExists = true;
        e.ExitCode = step.Kind == 1 ? 1 : 0;
        e.Errors = step.Kind == 1 ? 1 : 0;
        e.Double = step.Kind == 3;
        add(e);
        --running;
    }
    auto complete = records::NewCompleteEvent(
        made.DurationMs, false,
        records::BuildSummaryText(0, 0, static_cast<std::int32_t>(made.Failed), 0),
        made.Failed == 0, 0, 0, static_cast<std::int32_t>(made.Failed), 0, made.Failed ? 1 : 0);
    add(*complete);
    b.Finish();
    return made;
}

} // namespace viewer_test
