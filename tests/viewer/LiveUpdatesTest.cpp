// The live page's updates: after the whole document only what changed, and a partial
// document applied the way the page applies it gives the whole document of the same
// moment. The live server hands each events connection the update that fits what it
// holds.
#include "viewer/LiveUpdates.h"
#include "PageMerge.h"

#include "viewer/BuildAnalysis.h"
#include "viewer/LiveServer.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <thread>

namespace {

using nlohmann::json;
using viewer::TBuildModel;

// A model edited the way the replay of events edits it.
struct TLiveBuild {
    TBuildModel Model;

    std::int32_t Row(const std::string& host, bool local) {
        std::int32_t machine = -1;
        for (std::size_t m = 0; m < Model.Machines.size(); ++m) {
            if (Model.Machines[m].Host == host) {
                machine = static_cast<std::int32_t>(m);
            }
        }
        if (machine < 0) {
            machine = static_cast<std::int32_t>(Model.Machines.size());
            Model.Machines.push_back({host, local, {}});
        }
        const auto row = static_cast<std::int32_t>(Model.Rows.size());
        Model.Rows.push_back({.ID = host + "#" + std::to_string(row),
                              .Caption = host + "#" + std::to_string(row),
                              .Host = host,
                              .Local = local,
                              .Machine = machine});
        Model.Machines[static_cast<std::size_t>(machine)].Rows.push_back(row);
        return row;
    }
    void Begin(std::int32_t row, std::int32_t ms, const std::string& name) {
        viewer::TTask task;
        task.TaskID = static_cast<std::int32_t>(Model.Tasks.size()) + 1;
        task.Name = name;
        task.Hint = "compile";
        task.CmdLine = "cc -c " + name;
        task.Row = row;
        task.BeginMs = ms;
        Model.Tasks.push_back(task);
        Model.EndMs = std::max(Model.EndMs, ms);
    }
    void End(std::size_t task, std::int32_t ms, std::int32_t exit) {
        viewer::TTask& t = Model.Tasks[task];
        t.EndMs = ms;
        t.ExitCode = exit;
        t.Outcome = exit == 0 ? viewer::TTaskOutcome::Succeeded : viewer::TTaskOutcome::Failed;
        Model.EndMs = std::max(Model.EndMs, ms);
    }
    void Output(std::int32_t ms, std::int32_t task, const std::string& text) {
        Model.Output.push_back({ms, task, false, text});
    }
    void Sample(std::int32_t ms, std::int64_t value) {
        Model.Graphs[0].Sets[0].Samples.push_back({ms, {value}});
    }
};

// Two local rows, a helper's, a graph; one task ended, one running, a line of output.
TLiveBuild StartedBuild() {
    TLiveBuild b;
    b.Model.Caption = "live";
    b.Row("alpha", true);
    b.Row("alpha", true);
    b.Row("beta", false);
    b.Model.Graphs.push_back({"cpu", "CPU", {{1, "load", {{"load", "", "%", 1}}, {}}}});
    b.Sample(0, 10);
    b.Begin(0, 0, "a.c");
    b.End(0, 100, 0);
    b.Begin(1, 50, "b.c");
    b.Output(60, 2, "b.c: compiling");
    return b;
}

viewer::TLiveUpdate Next(viewer::TLiveUpdateMaker& maker, const TBuildModel& model,
                         bool whole = true) {
    return maker.Next(model, viewer::Analyse(model, viewer::PageSlowestTasks), false, whole);
}

TEST(LiveUpdates, ADeltaHoldsWhatChangedAndMergesIntoTheWholeDocument) {
    struct TCase {
        const char* Name;
        std::function<void(TLiveBuild&)> Change;
        bool Whole;                      // only the whole document fits
        std::vector<std::int32_t> Tasks; // ids of the tasks the delta carries
        std::size_t Rows;                // new rows in the delta
        std::size_t Lines;               // new output lines
        std::size_t Samples;             // new graph samples
    };
    const TCase cases[] = {
        {"nothing", [](TLiveBuild&) {}, false, {}, 0, 0, 0},
        {"new task", [](TLiveBuild& b) { b.Begin(0, 120, "c.c"); }, false, {3}, 0, 0, 0},
        {"running task ends", [](TLiveBuild& b) { b.End(1, 150, 1); }, false, {2}, 0, 0, 0},
        {"ended and new",
         [](TLiveBuild& b) {
             b.End(1, 150, 0);
             b.Begin(1, 150, "c.c");
         },
         false,
         {2, 3},
         0,
         0,
         0},
        {"task retried",
         [](TLiveBuild& b) { b.Model.Tasks[0].Retried = true; },
         false,
         {1},
         0,
         0,
         0},
        {"command line learnt",
         [](TLiveBuild& b) { b.Model.Tasks[1].CmdLine = "cc -O2 -c b.c"; },
         false,
         {2},
         0,
         0,
         0},
        {"new output",
         [](TLiveBuild& b) { b.Output(70, 2, "b.c:1: warning"); },
         false,
         {},
         0,
         1,
         0},
        {"new sample", [](TLiveBuild& b) { b.Sample(1000, 55); }, false, {}, 0, 0, 1},
        {"new helper row (after the others)",
         [](TLiveBuild& b) {
             const std::int32_t row = b.Row("gamma", false);
             b.Begin(row, 130, "c.c");
         },
         false,
         {3},
         1,
         0,
         0},
        {"new local row (between the others): order changed",
         [](TLiveBuild& b) {
             const std::int32_t row = b.Row("delta", true);
             b.Begin(row, 130, "c.c");
         },
         true,
         {},
         0,
         0,
         0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TLiveBuild build = StartedBuild();
        viewer::TLiveUpdateMaker maker;
        const viewer::TLiveUpdate first = Next(maker, build.Model);
        EXPECT_EQ(first.Version, 1u);
        EXPECT_TRUE(first.Delta.empty());
        const json held = viewer_test::Merge(nullptr, json::parse(first.Whole));

        c.Change(build);
        const viewer::TLiveUpdate second = Next(maker, build.Model);
        EXPECT_EQ(second.Version, 2u);
        const json whole = json::parse(second.Whole);
        EXPECT_FALSE(whole.contains("base"));
        EXPECT_EQ(whole["version"], 2);
        // The whole document as the page holds it is the document itself.
        EXPECT_EQ(viewer_test::Merge(nullptr, whole), whole);
        ASSERT_EQ(second.Delta.empty(), c.Whole);
        if (c.Whole) {
            continue;
        }
        const json delta = json::parse(second.Delta);
        EXPECT_EQ(delta["base"], 1);
        EXPECT_EQ(delta["version"], 2);
        EXPECT_EQ(delta["tasks"]["id"].get<std::vector<std::int32_t>>(), c.Tasks);
        EXPECT_EQ(delta.contains("rows") ? delta["rows"].size() : 0u, c.Rows);
        EXPECT_EQ(delta.contains("output") ? delta["output"]["text"].size() : 0u, c.Lines);
        EXPECT_EQ(delta.contains("graphs") ? delta["graphs"][0]["sets"][0]["ms"].size() : 0u,
                  c.Samples);
        // Unchanged parts stay out of it.
        EXPECT_FALSE(delta.contains("machines") && c.Rows == 0);

        json merged = viewer_test::Merge(held, delta);
        merged.erase("base");
        EXPECT_EQ(merged, whole) << "merged: " << merged.dump() << "\nwhole: " << whole.dump();
    }
}

// A build followed update by update: every delta continues the one before and the
// page's data after each is the whole document of that moment.
TEST(LiveUpdates, AChainOfDeltasFollowsTheBuild) {
    TLiveBuild build = StartedBuild();
    viewer::TLiveUpdateMaker maker;
    json held = viewer_test::Merge(nullptr, json::parse(Next(maker, build.Model).Whole));
    for (std::int32_t step = 1; step <= 12; ++step) {
        SCOPED_TRACE(step);
        const std::int32_t ms = 100 * step + 100;
        const std::size_t running = build.Model.Tasks.size() - 1;
        build.End(running, ms, step % 5 == 0 ? 1 : 0);
        build.Begin(step % 2, ms, "t" + std::to_string(step) + ".c");
        build.Model.Tasks.back().Hint = step % 3 == 0 ? "link" : "compile";
        build.Output(ms, build.Model.Tasks.back().TaskID, "line " + std::to_string(step));
        if (step % 4 == 0) {
            build.Sample(ms, step);
        }
        const viewer::TLiveUpdate update = Next(maker, build.Model);
        ASSERT_FALSE(update.Delta.empty());
        const json delta = json::parse(update.Delta);
        EXPECT_EQ(delta["tasks"]["id"].size(), 2u);
        held = viewer_test::Merge(std::move(held), delta);
        held.erase("base");
        EXPECT_EQ(held, json::parse(update.Whole));
    }
}

// A long build's path is long: an update carries only the end the page lists, and
// the path's length.
TEST(LiveUpdates, OnlyTheEndOfTheCriticalPathIsSent) {
    TLiveBuild build = StartedBuild();
    build.End(1, 150, 0);
    for (std::int32_t t = 0; t < 80; ++t) {
        build.Begin(0, 200 + 10 * t, "c" + std::to_string(t) + ".c");
        build.End(build.Model.Tasks.size() - 1, 209 + 10 * t, 0);
    }
    const viewer::TBuildAnalysis analysis = viewer::Analyse(build.Model, viewer::PageSlowestTasks);
    ASSERT_GT(analysis.CriticalPath.size(), viewer::PageCriticalTasks);
    const json data = json::parse(viewer::ReportData(build.Model, analysis));
    EXPECT_EQ(data["analysis"]["criticalTasks"], analysis.CriticalPath.size());
    const std::vector<std::int32_t> tail(analysis.CriticalPath.end() -
                                             static_cast<std::ptrdiff_t>(viewer::PageCriticalTasks),
                                         analysis.CriticalPath.end());
    EXPECT_EQ(data["analysis"]["critical"].get<std::vector<std::int32_t>>(), tail);
}

// Reads the first event of `path` from the live server: its id and its data.
std::pair<std::string, json> FirstEvent(int port, const std::string& path,
                                        const httplib::Headers& headers = {}) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(10);
    std::string text;
    const auto result =
        client.Get(path.c_str(), headers, [&](const char* data, std::size_t length) {
            text.append(data, length);
            return text.find("\n\n") == std::string::npos;
        });
    const std::size_t data = text.find("data: ");
    if (!text.starts_with("id: ") || data == std::string::npos) {
        ADD_FAILURE() << path << ": " << text;
        return {};
    }
    return {text.substr(4, text.find('\n') - 4),
            json::parse(text.substr(data + 6, text.find("\n\n") - data - 6))};
}

TEST(LiveUpdates, TheServerSendsTheDeltaOnlyToAPageThatHoldsItsBase) {
    TLiveBuild build = StartedBuild();
    viewer::TLiveUpdateMaker maker;
    viewer::TLiveServer server([](std::string_view data, const auto& write) { write(data); });
    server.Publish(Next(maker, build.Model), false);
    build.Begin(0, 120, "c.c");
    server.Publish(Next(maker, build.Model), false);
    const std::string events = server.Url().substr(server.Url().find('/', 7)) + "events";

    struct TCase {
        const char* Name;
        std::string Path;
        httplib::Headers Headers;
        bool Delta;
    } const cases[] = {
        {"holds the update before", events + "?since=1", {}, true},
        {"reconnects after the update before", events, {{"Last-Event-ID", "1"}}, true},
        {"the reconnect's id wins", events + "?since=0", {{"Last-Event-ID", "1"}}, true},
        {"holds nothing", events, {}, false},
        {"far behind", events + "?since=0", {}, false},
        {"ahead (another server's)", events + "?since=9", {}, false},
        {"no number", events + "?since=x", {}, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto [id, doc] = FirstEvent(server.Port(), c.Path, c.Headers);
        EXPECT_EQ(id, "2");
        EXPECT_EQ(doc.contains("base"), c.Delta);
        EXPECT_EQ(doc["tasks"]["id"].size(), c.Delta ? 1u : 3u);
    }
    // An update without the whole document: a page that holds nothing waits until the
    // server asks for one and the next update brings it.
    build.End(2, 200, 0);
    viewer::TLiveUpdate third = Next(maker, build.Model, server.WholeWanted());
    EXPECT_TRUE(third.Whole.empty());
    server.Publish(std::move(third), false);
    EXPECT_EQ(FirstEvent(server.Port(), events + "?since=2").second["base"], 2);
    auto waiting =
        std::async(std::launch::async, [&] { return FirstEvent(server.Port(), events); });
    bool asked = false;
    for (int i = 0; i < 1000 && !asked; ++i) {
        asked = server.WholeWanted();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(asked);
    const viewer::TLiveUpdate fourth = Next(maker, build.Model, server.WholeWanted());
    EXPECT_FALSE(fourth.Whole.empty());
    server.Publish(fourth, false);
    EXPECT_FALSE(server.WholeWanted());
    const auto [id, doc] = waiting.get();
    EXPECT_EQ(id, "4");
    EXPECT_FALSE(doc.contains("base"));
    EXPECT_EQ(doc["tasks"]["id"].size(), 3u);

    // The token is checked on the events with a version too.
    httplib::Client client("127.0.0.1", server.Port());
    const auto refused = client.Get(("/" + std::string(64, '0') + "/events?since=1").c_str());
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);
}

} // namespace
