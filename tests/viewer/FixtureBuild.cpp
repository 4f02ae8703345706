#include "FixtureBuild.h"

#include "HistoryBuilder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace viewer_test {

void WriteFixtureBuild(const std::string& fileName, bool finish) {
    THistoryBuilder b(fileName, "Fixture build");
    // Block 1: start, rows, graphs (10 events).
    b.Started("Fixture build");
    b.Employ("alpha#1", "alpha", true);
    b.Employ("alpha#2", "alpha", true);
    b.Employ("beta#1", "beta", false);
    records::TMonitorEventAddGraphRowPacket row;
    row.RowID = "graph-tasks";
    row.DisplayName = "Tasks";
    b.Add(row);
    records::TMonitorEventAddGraphSetPacket set;
    set.RowID = "graph-tasks";
    set.SetDefinitionPacket.SetID = 1;
    set.SetDefinitionPacket.DisplayName = "Tasks";
    for (const char* name : {"Running", "Waiting"}) {
        records::TGraphDefPacket& def = set.SetDefinitionPacket.Graphs.AddNew();
        def.DisplayName = name;
        def.Units = "tasks";
        def.DivideBy = 1;
    }
    b.Add(set);
    for (std::int32_t ms : {0, 1000, 2000, 3000}) {
        records::TMonitorEventAddGraphSamplePacket sample;
        sample.ms = ms;
        sample.RowID = "graph-tasks";
        sample.SamplePacket.SetID = 1;
        sample.SamplePacket.Values = {ms / 1000 + 1, 3 - ms / 1000};
        b.Add(sample);
    }
    b.Flush();
    // Block 2: tasks (17 events).
    b.Begin(0, "alpha#1", 1, "a.c");
    b.Begin(100, "alpha#2", 2, "b.c");
    b.Begin(200, "beta#1", 3, "c.c", true);
    b.End(1000, "alpha#1", 0);
    b.Begin(1100, "alpha#1", 4, "d.c");
    records::TMonitorEventBuildCacheRestorePacket restore;
    restore.ms = 1140;
    restore.TaskID = 4;
    restore.App = "cc";
    restore.OriginalDuration = 900;
    b.Add(restore);
    b.End(1150, "alpha#1", 0);
    b.End(1200, "beta#1", 0);
    b.Begin(1200, "alpha#1", 6, "f.c");
    b.Begin(1300, "beta#1", 5, "e.c", true);
    records::TMonitorEventStepFailedPacket lost;
    lost.ms = 1600;
    lost.WorkerID = "alpha#1";
    b.Add(lost);
    b.End(1800, "beta#1", 0, 0, true);
    b.Output(2400, 2, "b.c:1:1: error: expected ';'", true);
    b.Output(2400, 2, "b.c:7:3: note: here", false);
    b.End(2500, "alpha#2", 1, 1);
    records::TMonitorEventCountPacket count;
    count.ms = 2500;
    count.Built = 4;
    count.Errors = 1;
    count.Warnings = 0;
    b.Add(count);
    b.Output(2550, 0, "make: *** [all] Error 1", true);
    b.Flush();
    // Block 3: a task restored without a row, the cache summary, the end (6 events).
    restore.ms = 2600;
    restore.TaskID = 7;
    restore.App = "g.c";
    restore.CmdLine = "cc -c g.c";
    restore.OriginalDuration = 1200;
    b.Add(restore);
    records::TMonitorEventBuildCacheSummaryPacket summary;
    summary.ms = 2700;
    summary.Lines.Add("Build cache: 2 hits, 4 misses");
    summary.Lines.Add("Restored 2 task(s), saved 2.1 s");
    b.Add(summary);
    for (const char* id : {"alpha#1", "alpha#2", "beta#1"}) {
        records::TMonitorEventUnemployPacket unemploy;
        unemploy.ms = 2900;
        unemploy.ID = id;
        b.Add(unemploy);
    }
    b.Complete(FixtureDurationMs, false, 1, 1);
    if (finish) {
        b.Finish();
    } else {
        b.Flush();
    }
}

TTempDir::TTempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name =
        info ? std::string(info->test_suite_name()) + "_" + info->name() : std::string("bench");
    for (char& c : name) {
        if (c == '/') {
            c = '_'; // parameterised tests
        }
    }
    dir = (std::filesystem::temp_directory_path() /
           ("ravel_viewer_" + std::to_string(::getpid()) + "_" + name))
              .string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

} // namespace viewer_test
