#include "FixtureBuild.h"
#include "HistoryBuilder.h"

#include "core/Errors.h"
#include "packets/FileStream.h"
#include "records/MetaBuildPackets.h"
#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/HistoryReader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using viewer::TReadState;
using viewer::TTaskKind;

class ViewerModel : public ::testing::Test {
protected:
    void SetUp() override { records::RegisterAllPacketClasses(); }
    viewer_test::TTempDir temp;
};

const viewer::TTask& TaskByID(const viewer::TBuildModel& model, std::int32_t id) {
    for (const viewer::TTask& task : model.Tasks) {
        if (task.TaskID == id && !task.Retried) {
            return task;
        }
    }
    for (const viewer::TTask& task : model.Tasks) {
        if (task.TaskID == id) {
            return task;
        }
    }
    throw std::runtime_error("no task " + std::to_string(id));
}

// Where each block of a monitor file's appended event stream starts.
std::vector<std::int64_t> BlockOffsets(const std::string& file) {
    std::vector<std::int64_t> blocks;
    packets::TFileStream stream(file);
    records::TMetaBuildPacket head;
    head.LoadFromStream(stream);
    std::int64_t scan = stream.Position() + 12;
    const std::int64_t end = stream.Size();
    while (scan < end) {
        std::int32_t b = 0;
        stream.SetPosition(scan);
        stream.ReadBuffer(&b, 4);
        blocks.push_back(scan);
        scan += 4 + b;
    }
    return blocks;
}

TEST_F(ViewerModel, ReplaysEveryPartOfABuild) {
    const std::string file = temp.Path("46000/fixture.mv_mon");
    viewer_test::WriteFixtureBuild(file);
    const viewer::TBuildModel model = viewer::ReadHistory(file);

    EXPECT_EQ(model.Caption, "Fixture build");
    EXPECT_EQ(model.ComputerName, "alpha");
    EXPECT_EQ(model.BuildID, "{5E1F0000-1111-4222-8333-444455556666}");
    EXPECT_DOUBLE_EQ(model.StartTime, 46000.5);
    EXPECT_TRUE(model.Completed);
    EXPECT_FALSE(model.Success);
    EXPECT_EQ(model.ExitCode, 1);
    EXPECT_EQ(model.ErrorCount, 1);
    EXPECT_EQ(model.EndMs, viewer_test::FixtureDurationMs);
    EXPECT_EQ(model.Read.End, TReadState::TEnd::Complete);
    EXPECT_EQ(model.Read.Events, viewer_test::FixtureEvents);
    EXPECT_FALSE(model.Read.FileMarkedIncomplete);
    EXPECT_TRUE(model.Counts.Reported);
    EXPECT_EQ(model.Counts.Built, 4);
    EXPECT_EQ(model.Counts.Errors, 1);

    // Machines and rows, the local machine first.
    ASSERT_EQ(model.Machines.size(), 2u);
    ASSERT_EQ(model.Rows.size(), 3u);
    const std::vector<std::int32_t> display = model.DisplayRows();
    ASSERT_EQ(display.size(), 3u);
    EXPECT_EQ(model.Rows[static_cast<std::size_t>(display[0])].ID, "alpha#1");
    EXPECT_EQ(model.Rows[static_cast<std::size_t>(display[1])].ID, "alpha#2");
    EXPECT_EQ(model.Rows[static_cast<std::size_t>(display[2])].ID, "beta#1");
    EXPECT_FALSE(model.Rows[static_cast<std::size_t>(display[2])].Local);
    EXPECT_EQ(model.Rows[0].UnemployedMs, 2900);

    // Tasks and their outcomes.
    ASSERT_EQ(model.Tasks.size(), 7u);
    struct TExpected {
        std::int32_t ID;
        TTaskKind Kind;
        std::int32_t Begin, End;
        const char* Worker; // empty: no row
    };
    const TExpected expected[] = {
        {1, TTaskKind::Succeeded, 0, 1000, "alpha#1"},
        {2, TTaskKind::Failed, 100, 2500, "alpha#2"},
        {3, TTaskKind::Remote, 200, 1200, "beta#1"},
        {4, TTaskKind::Restored, 1100, 1150, "alpha#1"},
        {5, TTaskKind::Retried, 1300, 1800, "beta#1"},
        {6, TTaskKind::Failed, 1200, 1600, "alpha#1"},
        {7, TTaskKind::Restored, 2600, 2600, ""},
    };
    for (const TExpected& e : expected) {
        SCOPED_TRACE(e.ID);
        const viewer::TTask& task = TaskByID(model, e.ID);
        EXPECT_EQ(viewer::KindOf(task), e.Kind);
        EXPECT_EQ(task.BeginMs, e.Begin);
        EXPECT_EQ(task.EndMs, e.End);
        if (*e.Worker) {
            ASSERT_GE(task.Row, 0);
            EXPECT_EQ(model.Rows[static_cast<std::size_t>(task.Row)].ID, e.Worker);
        } else {
            EXPECT_EQ(task.Row, -1);
        }
    }
    const viewer::TTask& failed = TaskByID(model, 2);
    ASSERT_TRUE(failed.ExitCode.has_value());
    EXPECT_EQ(*failed.ExitCode, 1);
    EXPECT_EQ(failed.Errors, 1);
    EXPECT_EQ(failed.CmdLine, "cc -c b.c -o b.c.o");
    EXPECT_TRUE(TaskByID(model, 6).Lost);
    EXPECT_FALSE(TaskByID(model, 6).ExitCode.has_value());
    EXPECT_EQ(TaskByID(model, 4).OriginalDurationMs, 900);
    EXPECT_EQ(TaskByID(model, 7).CmdLine, "cc -c g.c");

    // Output with its task.
    ASSERT_EQ(model.Output.size(), 3u);
    EXPECT_EQ(model.Output[0].TaskID, 2);
    EXPECT_TRUE(model.Output[0].Error);
    EXPECT_EQ(model.Output[0].Text, "b.c:1:1: error: expected ';'");
    EXPECT_FALSE(model.Output[1].Error);
    EXPECT_EQ(model.Output[2].TaskID, 0);

    // Graphs.
    ASSERT_EQ(model.Graphs.size(), 1u);
    ASSERT_EQ(model.Graphs[0].Sets.size(), 1u);
    const viewer::TGraphSet& set = model.Graphs[0].Sets[0];
    ASSERT_EQ(set.Graphs.size(), 2u);
    EXPECT_EQ(set.Graphs[1].Name, "Waiting");
    ASSERT_EQ(set.Samples.size(), 4u);
    EXPECT_EQ(set.Samples[2].Ms, 2000);
    EXPECT_EQ(set.Samples[2].Values, (std::vector<std::int64_t>{3, 1}));

    ASSERT_EQ(model.CacheSummary.size(), 2u);
    EXPECT_EQ(model.CacheSummary[0], "Build cache: 2 hits, 4 misses");
}

TEST_F(ViewerModel, AnalysisOfTheFixture) {
    const std::string file = temp.Path("fixture.mv_mon");
    viewer_test::WriteFixtureBuild(file);
    const viewer::TBuildModel model = viewer::ReadHistory(file);
    const viewer::TBuildAnalysis analysis = viewer::Analyse(model, 3);
    EXPECT_EQ(analysis.DurationMs, 3000);
    EXPECT_EQ(analysis.ByKind[static_cast<int>(TTaskKind::Succeeded)], 1);
    EXPECT_EQ(analysis.ByKind[static_cast<int>(TTaskKind::Failed)], 2);
    EXPECT_EQ(analysis.ByKind[static_cast<int>(TTaskKind::Restored)], 2);
    EXPECT_EQ(analysis.ByKind[static_cast<int>(TTaskKind::Remote)], 1);
    EXPECT_EQ(analysis.ByKind[static_cast<int>(TTaskKind::Retried)], 1);
    // 1000 + 2400 + 1000 + 50 + 500 + 400 ms on rows, at most three at once.
    EXPECT_EQ(analysis.BusyMs, 5350);
    EXPECT_EQ(analysis.PeakBusyRows, 3);
    EXPECT_NEAR(analysis.AverageBusyRows, 5350.0 / 3000.0, 1e-9);
    EXPECT_NEAR(analysis.Utilisation, 5350.0 / 9000.0, 1e-9);
    ASSERT_EQ(analysis.Slowest.size(), 3u);
    EXPECT_EQ(model.Tasks[static_cast<std::size_t>(analysis.Slowest[0])].TaskID, 2);
    // Without dependencies: the task that ended last (7), and before it the task that
    // ended last before it began (2), which began before anything had ended.
    EXPECT_FALSE(analysis.CriticalPathFromDependencies);
    ASSERT_EQ(analysis.CriticalPath.size(), 2u);
    EXPECT_EQ(model.Tasks[static_cast<std::size_t>(analysis.CriticalPath[0])].TaskID, 2);
    EXPECT_EQ(model.Tasks[static_cast<std::size_t>(analysis.CriticalPath[1])].TaskID, 7);
}

TEST(ViewerAnalysis, CriticalPathFollowsDependenciesWhenTasksCarryThem) {
    viewer::TBuildModel model;
    model.EndMs = 100;
    const auto add = [&](std::int32_t begin, std::int32_t end, std::vector<std::int32_t> deps) {
        viewer::TTask task;
        task.TaskID = static_cast<std::int32_t>(model.Tasks.size()) + 1;
        task.BeginMs = begin;
        task.EndMs = end;
        task.Outcome = viewer::TTaskOutcome::Succeeded;
        task.DependsOn = std::move(deps);
        model.Tasks.push_back(std::move(task));
    };
    add(0, 10, {});    // 0
    add(0, 40, {});    // 1: long, but nobody waits for it at the end
    add(10, 30, {0});  // 2
    add(45, 100, {2}); // 3: ends last, waits for 2 only
    add(30, 44, {});   // 4: ended just before 3 began (the guess without dependencies)
    const viewer::TBuildAnalysis analysis = viewer::Analyse(model, 10);
    EXPECT_TRUE(analysis.CriticalPathFromDependencies);
    EXPECT_EQ(analysis.CriticalPath, (std::vector<std::int32_t>{0, 2, 3}));

    // A cycle in the dependencies ends the walk instead of looping.
    model.Tasks[0].DependsOn = {3};
    EXPECT_EQ(viewer::Analyse(model, 10).CriticalPath, (std::vector<std::int32_t>{0, 2, 3}));
}

// A job document's tasks name the tasks they waited for in their begin steps; the
// history read back carries them, and the critical path follows them.
TEST_F(ViewerModel, CriticalPathFromTheDependenciesInTheHistory) {
    const std::string file = temp.Path("job.mv_mon");
    {
        viewer_test::THistoryBuilder history(file, "Job");
        history.Started("Job");
        for (const char* row : {"r#1", "r#2"}) {
            history.Employ(row, "h", true);
        }
        // Task 2 is long but nobody waits for it; task 5 ends just before 4 begins.
        history.Begin(0, "r#1", 1, "one");
        history.Begin(0, "r#2", 2, "two", false, "after:");
        history.End(10, "r#1", 0);
        history.Begin(10, "r#1", 3, "three", false, "after:1");
        history.End(30, "r#1", 0);
        history.Begin(30, "r#1", 5, "five", false, "after:x,-4,,99999,2147483648");
        history.End(40, "r#2", 0);
        history.End(44, "r#1", 0);
        history.Begin(45, "r#1", 4, "four", false, "after:3,1,3,4");
        history.End(100, "r#1", 0);
        history.Complete(100, true, 0, 0);
        history.Finish();
    }
    const viewer::TBuildModel model = viewer::ReadHistory(file);
    ASSERT_EQ(model.Tasks.size(), 5u);
    // Only IDs of tasks read before, each once; the task itself (4) is not read yet.
    const auto ids = [&](const viewer::TTask& task) {
        std::vector<std::int32_t> found;
        for (const std::int32_t index : task.DependsOn) {
            found.push_back(model.Tasks[static_cast<std::size_t>(index)].TaskID);
        }
        return found;
    };
    EXPECT_EQ(ids(TaskByID(model, 4)), (std::vector<std::int32_t>{1, 3}));
    EXPECT_EQ(ids(TaskByID(model, 3)), (std::vector<std::int32_t>{1}));
    EXPECT_TRUE(TaskByID(model, 5).DependsOn.empty());
    EXPECT_TRUE(TaskByID(model, 2).DependsOn.empty());
    const viewer::TBuildAnalysis analysis = viewer::Analyse(model, 10);
    EXPECT_TRUE(analysis.CriticalPathFromDependencies);
    std::vector<std::int32_t> path;
    for (const std::int32_t index : analysis.CriticalPath) {
        path.push_back(model.Tasks[static_cast<std::size_t>(index)].TaskID);
    }
    EXPECT_EQ(path, (std::vector<std::int32_t>{1, 3, 4}));
}

TEST(ViewerAnalysis, BusyRowsCountARowHandedOnAsOne) {
    viewer::TBuildModel model;
    model.EndMs = 20;
    model.Rows.resize(2);
    for (auto [row, begin, end] :
         {std::tuple{0, 0, 10}, std::tuple{0, 10, 20}, std::tuple{1, 5, 15}}) {
        viewer::TTask task;
        task.Row = row;
        task.BeginMs = begin;
        task.EndMs = end;
        task.Outcome = viewer::TTaskOutcome::Succeeded;
        model.Tasks.push_back(task);
    }
    const viewer::TBuildAnalysis analysis = viewer::Analyse(model, 10);
    EXPECT_EQ(analysis.PeakBusyRows, 2);
    EXPECT_EQ(analysis.BusyMs, 30);
    EXPECT_NEAR(analysis.Utilisation, 0.75, 1e-9);
}

// A file that is still being written: everything so far, and no completion yet.
TEST_F(ViewerModel, FileStillBeingWritten) {
    const std::string file = temp.Path("open.mv_mon");
    viewer_test::THistoryBuilder b(file, "open");
    b.Started("open");
    b.Employ("alpha#1", "alpha", true);
    b.Begin(10, "alpha#1", 1, "a.c");
    b.Flush();
    const viewer::TBuildModel model = viewer::ReadHistory(file);
    EXPECT_EQ(model.Read.End, TReadState::TEnd::Unfinished);
    EXPECT_TRUE(model.Read.FileMarkedIncomplete);
    EXPECT_EQ(model.Read.Events, 3);
    ASSERT_EQ(model.Tasks.size(), 1u);
    EXPECT_EQ(viewer::KindOf(model.Tasks[0]), TTaskKind::Running);
    EXPECT_EQ(model.Tasks[0].DurationMs(model.EndMs), 0);
}

// Cut copies of a finished file: whatever whole blocks remain is read, and the model
// says where reading stopped.
class ViewerTruncated : public ViewerModel, public ::testing::WithParamInterface<int> {};

TEST_P(ViewerTruncated, ShowsEverythingBeforeTheCut) {
    const std::string whole = temp.Path("whole.mv_mon");
    viewer_test::WriteFixtureBuild(whole);
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(whole));
    const std::string cut = temp.Path("cut.mv_mon");
    std::filesystem::copy_file(whole, cut);
    const int bytesCut = GetParam();
    std::filesystem::resize_file(cut, static_cast<std::uintmax_t>(size - bytesCut));

    const viewer::TBuildModel model = viewer::ReadHistory(cut);
    EXPECT_EQ(model.Read.End, TReadState::TEnd::Damaged);
    EXPECT_FALSE(model.Read.Reason.empty());
    EXPECT_EQ(model.Caption, "Fixture build");
    // The last block is lost; the blocks before it are all there.
    EXPECT_EQ(model.Read.Events, viewer_test::FixtureEventsBeforeLastBlock);
    EXPECT_EQ(model.Tasks.size(), 6u);
    EXPECT_FALSE(model.Completed);
    EXPECT_GT(model.Read.StoppedAt, 0);
}

// 1: inside the last block's data; 8: into its header.
INSTANTIATE_TEST_SUITE_P(Cuts, ViewerTruncated, ::testing::Values(1, 8));

TEST_F(ViewerModel, CopyThatLostWholeBlocks) {
    // Cut right before the last block: the chain is whole, but shorter than the
    // stream's header says.
    const std::string file = temp.Path("short.mv_mon");
    viewer_test::WriteFixtureBuild(file);
    std::filesystem::resize_file(file, static_cast<std::uintmax_t>(BlockOffsets(file).back()));
    const viewer::TBuildModel model = viewer::ReadHistory(file);
    EXPECT_EQ(model.Read.End, TReadState::TEnd::Damaged);
    EXPECT_NE(model.Read.Reason.find("its header promises"), std::string::npos)
        << model.Read.Reason;
    EXPECT_EQ(model.Read.Events, viewer_test::FixtureEventsBeforeLastBlock);
}

TEST_F(ViewerModel, CutInsideAnEventStopsAtThatEvent) {
    // An event stream that ends halfway through its second event.
    packets::TMemoryStream events;
    packets::TPacketSaveContext context;
    records::TMonitorEventStartedPacket started;
    started.Caption = "half";
    started.SaveToStream(events, &context);
    const std::int64_t whole = events.Size();
    records::TMonitorEventOutputPacket out;
    out.Text = std::string(200, 'x');
    out.SaveToStream(events, &context);
    events.SetSize(static_cast<std::size_t>(whole + 50));
    viewer::TBuildModel model;
    viewer::ReadEventStream(events, model);
    EXPECT_EQ(model.Read.End, TReadState::TEnd::Damaged);
    EXPECT_EQ(model.Read.Events, 1);
    EXPECT_EQ(model.Read.StoppedAt, whole);
    EXPECT_EQ(model.Caption, "half");
}

TEST_F(ViewerModel, EventsLargerThanAReadWindow) {
    packets::TMemoryStream events;
    packets::TPacketSaveContext context;
    const std::string big(3 << 20, 'y');
    for (int i = 0; i < 3; ++i) {
        records::TMonitorEventOutputPacket out;
        out.ms = i;
        out.Text = big;
        out.TaskID = i + 1;
        out.SaveToStream(events, &context);
    }
    viewer::TBuildModel model;
    viewer::ReadEventStream(events, model);
    EXPECT_EQ(model.Read.End, TReadState::TEnd::Unfinished);
    EXPECT_EQ(model.Read.Events, 3);
    ASSERT_EQ(model.Output.size(), 3u);
    EXPECT_EQ(model.Output[2].Text.size(), big.size());
    EXPECT_EQ(model.Read.StoppedAt, events.Size());
}

TEST_F(ViewerModel, DamagedBlockInTheMiddle) {
    const std::string file = temp.Path("bad.mv_mon");
    viewer_test::WriteFixtureBuild(file);
    // Spoil the codec tag of the last block: its size fields stay intact, so the
    // chain is whole and only decoding that block fails.
    const std::int64_t blockAt = BlockOffsets(file).back();
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(blockAt + 8));
    f.put('\x55');
    f.close();
    const viewer::TBuildModel model = viewer::ReadHistory(file);
    EXPECT_EQ(model.Read.End, TReadState::TEnd::Damaged);
    EXPECT_EQ(model.Read.Events, viewer_test::FixtureEventsBeforeLastBlock);
    EXPECT_EQ(model.Tasks.size(), 6u);
    EXPECT_FALSE(model.Read.Reason.empty());
}

TEST_F(ViewerModel, RefusesWhatIsNoMonitorFile) {
    struct TCase {
        const char* Name;
        std::string Content;
        const char* Message;
    };
    const TCase cases[] = {
        {"text.mv_mon", "This is a text file, not a build history.\n",
         "is not a build monitor file"},
        {"empty.mv_mon", "", "is not a build monitor file"},
        {"fixture.json", "", "does not end in .mv_mon"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string file = temp.Path(c.Name);
        if (std::string(c.Name) == "fixture.json") {
            viewer_test::WriteFixtureBuild(file);
        } else {
            std::ofstream(file, std::ios::binary) << c.Content;
        }
        try {
            viewer::ReadHistory(file);
            ADD_FAILURE() << "accepted";
        } catch (const core::Exception& e) {
            EXPECT_NE(std::string(e.what()).find(c.Message), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(viewer::ReadHistory(temp.Path("missing.mv_mon")), core::Exception);
}

} // namespace

namespace {

// Attempts of one task are found by its ID wherever the ID lies: counted up from 1,
// far beyond the others, or negative.
TEST_F(ViewerModel, RetriesAreFoundForEveryKindOfTaskID) {
    const std::int32_t ids[] = {1, 2, 9000000, -7, 3};
    const std::string file = temp.Path("ids.mv_mon");
    {
        viewer_test::THistoryBuilder history(file, "IDs");
        history.Started("IDs");
        history.Employ("w0", "host", true);
        std::int32_t ms = 0;
        for (const std::int32_t id : ids) {
            for (int attempt = 0; attempt < 2; ++attempt) {
                history.Begin(ms += 10, "w0", id, "task " + std::to_string(id));
                history.End(ms += 10, "w0", attempt == 0 ? 1 : 0);
            }
        }
        history.Complete(ms + 10, true, 0, 0);
        history.Finish();
    }
    const viewer::TBuildModel model = viewer::ReadHistory(file);
    ASSERT_EQ(model.Tasks.size(), std::size(ids) * 2);
    for (std::size_t i = 0; i < std::size(ids); ++i) {
        SCOPED_TRACE(ids[i]);
        const viewer::TTask& first = model.Tasks[2 * i];
        const viewer::TTask& second = model.Tasks[2 * i + 1];
        EXPECT_EQ(first.TaskID, ids[i]);
        EXPECT_TRUE(first.Retried);
        EXPECT_EQ(first.Attempt, 1);
        EXPECT_FALSE(second.Retried);
        EXPECT_EQ(second.Attempt, 2);
    }
}

} // namespace
