#include "buildsys/TaskEvents.h"
#include "buildsys/GraphSampler.h"
#include "buildsys/MachineInfo.h"
#include "buildsys/WorkerRows.h"

#include "records/MonitorEvents.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

using namespace buildsys;

struct TCollected {
    std::vector<std::unique_ptr<packets::TPacket>> Events;
    void Add(const packets::TPacket& event) { Events.push_back(event.Clone()); }
    template <class T> std::vector<const T*> All() const {
        std::vector<const T*> found;
        for (const auto& e : Events) {
            if (const auto* t = dynamic_cast<const T*>(e.get())) {
                found.push_back(t);
            }
        }
        return found;
    }
};

struct TaskEventsTest : ::testing::Test {
    TCollected collected;
    std::int32_t now = 0;
    std::vector<std::string> stops;
    std::unique_ptr<TTaskEvents> Make(TTaskEventOptions options) {
        return std::make_unique<TTaskEvents>(
            options, [this](const packets::TPacket& e) { collected.Add(e); },
            [this] { return now; }, [this](const std::string& r) { stops.push_back(r); });
    }
    TRunningTask task() {
        TRunningTask t;
        t.TaskID = 7;
        t.Row = 1;
        t.Request.Caption = "a.c";
        t.Request.Tool = "/usr/bin/gcc";
        t.Request.Argv = {"gcc", "-c", "a b.c"};
        t.Request.Source = "a b.c";
        t.Request.Kind = "compile";
        t.Request.Output = "a.o";
        return t;
    }
    std::vector<TWorkerRow> rows = LocalWorkerRows("box", 2);
};

TEST_F(TaskEventsTest, StepsCarryTheTaskAndItsRow) {
    auto events = Make({});
    events->TaskStarted(task(), rows[1]);
    now = 1500;
    TTaskOutcome outcome;
    outcome.ExitCode = 2;
    outcome.Errors = 1;
    outcome.Warnings = 3;
    events->TaskEnded(task(), rows[1], outcome);
    const auto begins = collected.All<records::TMonitorEventBeginStepPacket>();
    const auto ends = collected.All<records::TMonitorEventEndStepPacket>();
    ASSERT_EQ(begins.size(), 1u);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(begins[0]->WorkerID, "box#2");
    EXPECT_EQ(begins[0]->Name, "a.c");
    EXPECT_EQ(begins[0]->TaskID, 7);
    EXPECT_EQ(begins[0]->Source, "a b.c");
    EXPECT_EQ(begins[0]->App, "/usr/bin/gcc");
    EXPECT_EQ(begins[0]->CmdLine, "gcc -c \"a b.c\"");
    EXPECT_FALSE(begins[0]->Remote);
    EXPECT_EQ(ends[0]->WorkerID, "box#2");
    EXPECT_EQ(ends[0]->ms, 1500);
    EXPECT_TRUE(ends[0]->ExitCodeExists);
    EXPECT_EQ(ends[0]->ExitCode, 2);
    EXPECT_EQ(ends[0]->Errors, 1);
    EXPECT_EQ(ends[0]->Warnings, 3);
    EXPECT_TRUE(collected.All<records::TMonitorEventOutputPacket>().empty());
}

TEST_F(TaskEventsTest, SignalEndsAsExitStatusAndLostLauncherAsStepFailed) {
    auto events = Make({});
    events->TaskStarted(task(), rows[0]);
    TTaskOutcome killed;
    killed.Signal = 9;
    events->TaskEnded(task(), rows[0], killed);
    EXPECT_EQ(collected.All<records::TMonitorEventEndStepPacket>()[0]->ExitCode, 137);
    events->TaskStarted(task(), rows[0]);
    events->TaskLost(task(), rows[0]);
    const auto failed = collected.All<records::TMonitorEventStepFailedPacket>();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0]->WorkerID, "box#1");
    const auto outputs = collected.All<records::TMonitorEventOutputPacket>();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0]->TaskID, 7);
    EXPECT_NE(outputs[0]->ErrText.find("a.c"), std::string::npos);
}

TEST_F(TaskEventsTest, TaskLinesOfShowOptions) {
    struct Case {
        TTaskEventOptions options;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{true, false, false, false}, {"gcc -c \"a b.c\""}},
        {{false, true, false, false}, {"a.c (Agent 'box #2')"}},
        {{false, false, true, false}, {"a.c (1.25 s)"}},
        {{false, true, true, false}, {"a.c (Agent 'box #2') (1.25 s)"}},
        {{true, true, true, true}, {"gcc -c \"a b.c\"", "a.c (Agent 'box #2') (1.25 s)"}},
    };
    for (const Case& c : cases) {
        collected.Events.clear();
        now = 0;
        auto events = Make(c.options);
        events->TaskStarted(task(), rows[1]);
        now = 9000; // the launcher's own duration wins
        TTaskOutcome outcome;
        outcome.DurationMs = 1250;
        events->TaskEnded(task(), rows[1], outcome);
        std::vector<std::string> lines;
        for (const auto* output : collected.All<records::TMonitorEventOutputPacket>()) {
            EXPECT_EQ(output->TaskID, 7);
            lines.push_back(output->Text);
        }
        EXPECT_EQ(lines, c.lines);
        const bool bars = !c.options.SuppressBars;
        EXPECT_EQ(collected.All<records::TMonitorEventBeginStepPacket>().size(), bars ? 1u : 0u);
        EXPECT_EQ(collected.All<records::TMonitorEventEndStepPacket>().size(), bars ? 1u : 0u);
    }
}

TEST_F(TaskEventsTest, CountsOnlyWhenTheyChange) {
    auto events = Make({});
    TSchedulerCounts counts;
    counts.Running = 1;
    events->CountsChanged(counts); // nothing built yet
    EXPECT_TRUE(collected.All<records::TMonitorEventCountPacket>().empty());
    counts.Succeeded = 1;
    counts.Warnings = 2;
    events->CountsChanged(counts);
    counts.Waiting = 5; // no change of built, errors, warnings
    events->CountsChanged(counts);
    counts.Errors = 1;
    events->CountsChanged(counts);
    const auto all = collected.All<records::TMonitorEventCountPacket>();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1]->Built, 1);
    EXPECT_EQ(all[1]->Errors, 1);
    EXPECT_EQ(all[1]->Warnings, 2);
    const auto projects = collected.All<records::TMonitorEventProjectCountPacket>();
    ASSERT_EQ(projects.size(), 2u);
    EXPECT_EQ(projects[1]->ProjectIndex, 0);
    EXPECT_EQ(projects[1]->Errors, 1);
}

TEST_F(TaskEventsTest, StopIsPassedOnAndShown) {
    auto events = Make({});
    events->StopRequested("stop now");
    EXPECT_EQ(stops, std::vector<std::string>{"stop now"});
    ASSERT_EQ(collected.All<records::TMonitorEventOutputPacket>().size(), 1u);
}

TEST(GraphSampler, ReadingsToValues) {
    EXPECT_EQ(TGraphSampler::CpuPercent({100, 1000}, {150, 1100}), 50);
    EXPECT_EQ(TGraphSampler::CpuPercent({100, 1000}, {100, 1000}), 0); // no time passed
    EXPECT_EQ(TGraphSampler::CpuPercent({100, 1000}, {50, 1100}), 0);  // counters went back
    EXPECT_EQ(TGraphSampler::CpuPercent({0, 0}, {500, 100}), 100);     // never above 100
    EXPECT_EQ(TGraphSampler::MemoryInUseMB({8ull << 20, 2ull << 20}), 6);
    EXPECT_EQ(TGraphSampler::MemoryInUseMB({1ull << 20, 2ull << 20}), 0);
}

TEST(GraphSampler, DefinesRowsAndSamplesEveryRow) {
    TCollected collected;
    TGraphSampler sampler([&](const packets::TPacket& e) { collected.Add(e); }, [] { return 5; });
    sampler.Define();
    sampler.Sample(2, 7);
    const auto rowsAdded = collected.All<records::TMonitorEventAddGraphRowPacket>();
    const auto sets = collected.All<records::TMonitorEventAddGraphSetPacket>();
    const auto samples = collected.All<records::TMonitorEventAddGraphSamplePacket>();
    ASSERT_EQ(rowsAdded.size(), 3u);
    ASSERT_EQ(sets.size(), 3u);
    for (const auto* sample : samples) {
        const auto set = std::find_if(sets.begin(), sets.end(),
                                      [&](const auto* s) { return s->RowID == sample->RowID; });
        ASSERT_NE(set, sets.end());
        EXPECT_EQ(static_cast<int>(sample->SamplePacket.Values.size()),
                  (*set)->SetDefinitionPacket.Graphs.Count());
        if (sample->RowID == "graph-tasks") {
            EXPECT_EQ(sample->SamplePacket.Values, (std::vector<std::int64_t>{2, 7}));
        }
    }
    EXPECT_GE(samples.size(), 2u); // tasks and memory at least (CPU needs two readings)
}

TEST(MachineInfo, StaticInfoFromTheRealMachine) {
    const platform::TMachineFacts facts = platform::ReadMachineFacts();
    EXPECT_FALSE(facts.HostName.empty());
    EXPECT_GT(facts.LogicalCpus, 0u);
    EXPECT_GT(facts.TotalMemory, 0u);
    EXPECT_TRUE(facts.OsName.starts_with("Linux "));
    records::TStaticPacket info;
    FillStaticInfo(facts, 3, info);
    EXPECT_EQ(info.Host, facts.HostName);
    EXPECT_EQ(info.Addr, facts.Address);
    EXPECT_EQ(info.CPULogicalCount, std::min<std::uint32_t>(facts.LogicalCpus, 255));
    EXPECT_EQ(info.CPUCount_WhenInitiator, 3);
    EXPECT_EQ(info.TotalPhysical, static_cast<std::int64_t>(facts.TotalMemory));
    EXPECT_EQ(info.HostComment, facts.OsName);
    EXPECT_EQ(info.OSVersionInfo[0], 156);
    EXPECT_EQ(info.VersionInfo[0], 148);
    EXPECT_EQ(info.OSVersionInfo[4], facts.OsMajor);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(info.VersionInfo.data() + 20)),
              facts.OsName);
    // The untouched fields keep their defaults.
    EXPECT_EQ(info.MSVCVersion, "-1");
}

} // namespace
