#include "buildsys/BuildSimulation.h"
#include "HistoryTrace.h"

#include <gtest/gtest.h>

#include <stdexcept>

using buildsys::SimulateBuild;
using buildsys::TSimResult;
using buildsys::TSimSetup;
using buildsys::TSimTask;

namespace {

// Eight compiles of 100 ms, then a link of 50 ms that needs them all.
std::vector<TSimTask> CompilesThenLink() {
    std::vector<TSimTask> tasks;
    TSimTask link{"app", "link", 50, {}};
    for (int i = 0; i < 8; ++i) {
        tasks.push_back({"c" + std::to_string(i), "compile", 100, {}});
        link.DependsOn.push_back(i);
    }
    tasks.push_back(link);
    return tasks;
}

} // namespace

TEST(BuildSimulation, PredictsTheKnownBuildTimeOfEachSetup) {
    struct TCase {
        const char* What;
        TSimSetup Setup;
        std::int64_t BuildMs;
        std::int64_t LocalBusyMs;
        std::int64_t HelperBusyMs;
        std::int32_t OnHelpers;
    };
    const TCase cases[] = {
        {"one local row", {1, 0, 1, 1.0, 0}, 850, 850, 0, 0},
        {"two local rows", {2, 0, 1, 1.0, 0}, 450, 850, 0, 0},
        // Rows alternate; a remote compile takes 100 + 2 * 10 ms; the link runs locally.
        {"one helper, 10 ms away", {1, 1, 1, 1.0, 10}, 530, 450, 480, 4},
        // Remote compiles take 50 + 20 ms: five of the eight go to the helper.
        {"a helper twice as fast", {1, 1, 1, 2.0, 10}, 400, 350, 350, 5},
        // Every compile at once on the eight helper rows (helper rows first), the link here.
        {"eight helpers", {1, 8, 1, 1.0, 0}, 150, 50, 800, 8},
        {"two helpers of four slots", {1, 2, 4, 1.0, 0}, 150, 50, 800, 8},
    };
    const std::vector<TSimTask> tasks = CompilesThenLink();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const TSimResult result = SimulateBuild(tasks, c.Setup);
        EXPECT_EQ(result.BuildMs, c.BuildMs);
        EXPECT_EQ(result.LocalBusyMs, c.LocalBusyMs);
        EXPECT_EQ(result.HelperBusyMs, c.HelperBusyMs);
        EXPECT_EQ(result.TasksOnHelpers, c.OnHelpers);
        EXPECT_EQ(result.LocalOnlyOnHelpers, 0);
        // The link starts when the last compile ends, on a local row.
        EXPECT_EQ(result.StartMs.back(), c.BuildMs - 50);
        EXPECT_LT(result.RowOf.back(), c.Setup.LocalRows);
        for (std::size_t i = 0; i < tasks.size(); ++i) {
            EXPECT_GE(result.RowOf[i], 0) << i;
        }
    }
}

TEST(BuildSimulation, IdleLocalRowsDoubleTheLastRemoteCompiles) {
    struct TCase {
        const char* What;
        TSimSetup Setup;
        std::int64_t BuildMs, LocalBusyMs, HelperBusyMs;
        std::int32_t Doubled, Won;
    };
    const TCase cases[] = {
        // Compiles take 400 ms on the helper: c5 runs there from 400 ms; the local row is
        // idle at 600 ms, runs it again, and ends it at 700 ms.
        {"a slow helper, doubling", {1, 1, 1, 0.25, 0, true}, 750, 750, 700, 1, 1},
        {"a slow helper, no doubling", {1, 1, 1, 0.25, 0, false}, 850, 650, 800, 0, 0},
        // c7 is doubled at 400 ms but ends on the helper at 480 ms first: the local row's
        // 80 ms were for nothing, and the build is no longer for it.
        {"a helper as fast, doubling", {1, 1, 1, 1.0, 10, true}, 530, 530, 480, 1, 0},
    };
    const std::vector<TSimTask> tasks = CompilesThenLink();
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const TSimResult result = SimulateBuild(tasks, c.Setup);
        EXPECT_EQ(result.BuildMs, c.BuildMs);
        EXPECT_EQ(result.LocalBusyMs, c.LocalBusyMs);
        EXPECT_EQ(result.HelperBusyMs, c.HelperBusyMs);
        EXPECT_EQ(result.Doubled, c.Doubled);
        EXPECT_EQ(result.DoublesWon, c.Won);
        EXPECT_EQ(result.StartMs.back(), c.BuildMs - 50);
    }
}

TEST(BuildSimulation, ATaskReleasedLaterTakesBackTheLocalRowOfASecondAttempt) {
    // c runs on the helper from 0 to 300 ms; g ends here at 50 ms, so the idle row starts
    // c again, and x, released by g's end, takes that row at once. Once x has ended at
    // 150 ms, c runs here anew until its first attempt decides at 300 ms.
    const std::vector<TSimTask> tasks = {
        {"c", "compile", 300, {}}, {"g", "other", 50, {}}, {"x", "other", 100, {1}}};
    struct TCase {
        bool Double;
        std::int64_t LocalBusyMs;
        std::int32_t Doubled, TakenBack;
    };
    for (const TCase& c : {TCase{true, 300, 2, 1}, TCase{false, 150, 0, 0}}) {
        SCOPED_TRACE(c.Double ? "doubling" : "no doubling");
        TSimSetup setup{1, 1, 1, 1.0, 0, c.Double};
        const TSimResult result = SimulateBuild(tasks, setup);
        EXPECT_EQ(result.StartMs, (std::vector<std::int64_t>{0, 0, 50}));
        EXPECT_EQ(result.BuildMs, 300);
        EXPECT_EQ(result.LocalBusyMs, c.LocalBusyMs); // a stopped attempt counts until stopped
        EXPECT_EQ(result.Doubled, c.Doubled);
        EXPECT_EQ(result.DoublesTakenBack, c.TakenBack);
        EXPECT_EQ(result.DoublesWon, 0);
    }
}

TEST(BuildSimulation, UtilisationIsBusyTimeOverRowTime) {
    const TSimResult result = SimulateBuild(CompilesThenLink(), {1, 1, 1, 1.0, 10});
    EXPECT_DOUBLE_EQ(result.LocalUtilisation(), 450.0 / 530.0);
    EXPECT_DOUBLE_EQ(result.HelperUtilisation(), 480.0 / 530.0);
}

TEST(BuildSimulation, ADependentTaskWaitsWhateverTheRows) {
    const std::vector<TSimTask> chain = {
        {"gen", "other", 100, {}}, {"a", "compile", 100, {0}}, {"lib", "archive", 10, {1}}};
    const TSimResult result = SimulateBuild(chain, {1, 64, 2, 4.0, 0});
    // The compile runs on a helper four times as fast; the generator and archive stay here.
    EXPECT_EQ(result.StartMs, (std::vector<std::int64_t>{0, 100, 125}));
    EXPECT_EQ(result.BuildMs, 135);
    EXPECT_GE(result.RowOf[1], 1);
    EXPECT_EQ(result.RowOf[2], 0);
}

TEST(BuildSimulation, RefusesBadTracesAndSetups) {
    const std::vector<TSimTask> good = {{"a", "compile", 1, {}}};
    const std::vector<TSimTask> forward = {{"a", "compile", 1, {1}}, {"b", "compile", 1, {}}};
    const std::vector<TSimTask> self = {{"a", "compile", 1, {0}}};
    const std::vector<TSimTask> negative = {{"a", "compile", -1, {}}};
    EXPECT_THROW(SimulateBuild(forward, {}), std::invalid_argument);
    EXPECT_THROW(SimulateBuild(self, {}), std::invalid_argument);
    EXPECT_THROW(SimulateBuild(negative, {}), std::invalid_argument);
    EXPECT_THROW(SimulateBuild(good, {0, 0, 1, 1.0, 0}), std::invalid_argument);
    EXPECT_THROW(SimulateBuild(good, {1, 1, 0, 1.0, 0}), std::invalid_argument);
    EXPECT_THROW(SimulateBuild(good, {1, 1, 1, 0.0, 0}), std::invalid_argument);
    EXPECT_EQ(SimulateBuild({}, {}).BuildMs, 0);
}

TEST(HistoryTrace, OrdersTasksAndInfersWhatEachMustFollow) {
    viewer::TBuildModel model;
    model.Rows.resize(2);
    model.Rows[0].Local = true;
    model.Rows[1].Local = true;
    const auto add = [&](const char* name, const char* hint, std::int32_t begin, std::int32_t end) {
        viewer::TTask& task = model.Tasks.emplace_back();
        task.Name = name;
        task.Hint = hint;
        task.BeginMs = begin;
        task.EndMs = end;
        task.Outcome = viewer::TTaskOutcome::Succeeded;
        return &task;
    };
    add("b.c", "compile: b.o", 40, 90);
    add("gen", "other: gen.h", 0, 30);
    add("a.c", "compile: a.o", 35, 80);
    add("lib", "archive: lib.a", 95, 100);
    add("c.c", "compile: c.o", 101, 150); // after the archive, but needs only the generator
    add("app", "link: app", 150, 170);
    add("retried", "compile: r.o", 10, 20)->Retried = true;
    add("running", "compile: s.o", 160, -1);
    add("bare", "", 171, 172);

    const bench::THistoryTrace trace = bench::TraceOfBuild(model);
    ASSERT_EQ(trace.Tasks.size(), 7u);
    std::vector<std::string> names;
    for (const TSimTask& task : trace.Tasks) {
        names.push_back(task.Name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"gen", "a.c", "b.c", "lib", "c.c", "app", "bare"}));
    EXPECT_EQ(trace.Tasks[0].Kind, "other");
    EXPECT_EQ(trace.Tasks[3].Kind, "archive");
    EXPECT_EQ(trace.Tasks[6].Kind, "other");
    EXPECT_EQ(trace.Tasks[1].DurationMs, 45);
    EXPECT_EQ(trace.Tasks[1].DependsOn, (std::vector<std::int32_t>{0}));
    EXPECT_EQ(trace.Tasks[2].DependsOn, (std::vector<std::int32_t>{0}));
    EXPECT_EQ(trace.Tasks[3].DependsOn, (std::vector<std::int32_t>{0, 1, 2}));
    EXPECT_EQ(trace.Tasks[4].DependsOn, (std::vector<std::int32_t>{0}));
    EXPECT_EQ(trace.Tasks[5].DependsOn, (std::vector<std::int32_t>{0, 1, 2, 3, 4}));
    EXPECT_EQ(trace.Tasks[6].DependsOn, (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(trace.Compiles, 3);
    EXPECT_EQ(trace.Skipped, 2);
    EXPECT_EQ(trace.LocalRows, 2);
    EXPECT_EQ(trace.RecordedMs, 172);
}
