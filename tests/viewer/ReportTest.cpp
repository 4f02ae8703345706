#include "FixtureBuild.h"
#include "HistoryBuilder.h"

#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/HistoryReader.h"
#include "viewer/HtmlReport.h"
#include "viewer/ReportData.h"
#include "viewer/TextSummary.h"
#include "viewer/TraceExport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <set>

namespace {

class ViewerReport : public ::testing::Test {
protected:
    void SetUp() override {
        records::RegisterAllPacketClasses();
        const std::string file = temp.Path("fixture.mv_mon");
        viewer_test::WriteFixtureBuild(file);
        model = viewer::ReadHistory(file);
        analysis = viewer::Analyse(model, viewer::PageSlowestTasks);
    }
    std::string Html() const {
        std::string page;
        viewer::WriteHtmlReport(model, analysis, [&](std::string_view s) { page += s; });
        return page;
    }
    viewer_test::TTempDir temp;
    viewer::TBuildModel model;
    viewer::TBuildAnalysis analysis;
};

constexpr std::string_view DataOpen = "<script type=\"application/json\" id=\"build-data\">";

nlohmann::json PageData(const std::string& page) {
    const std::size_t open = page.find(DataOpen);
    if (open == std::string::npos) {
        throw std::runtime_error("no data element");
    }
    const std::size_t from = open + DataOpen.size();
    const std::size_t close = page.find("</script>", from);
    return nlohmann::json::parse(page.substr(from, close - from));
}

TEST_F(ViewerReport, TraceIsValidTraceEventJson) {
    std::string text;
    viewer::WriteTrace(model, [&](std::string_view s) { text += s; });
    const nlohmann::json trace = nlohmann::json::parse(text);
    ASSERT_TRUE(trace.contains("traceEvents"));
    std::set<int> pids;
    std::set<std::pair<int, int>> tids;
    std::set<int> namedPids;
    std::set<std::pair<int, int>> namedTids;
    std::map<std::string, int> complete;
    int counters = 0;
    for (const nlohmann::json& e : trace["traceEvents"]) {
        ASSERT_TRUE(e.contains("ph") && e.contains("pid") && e.contains("name")) << e.dump();
        const std::string ph = e["ph"];
        const int pid = e["pid"];
        if (ph == "M") {
            ASSERT_TRUE(e["args"].contains("name") || e["args"].contains("sort_index"));
            if (e["name"] == "process_name") {
                EXPECT_FALSE(e["args"]["name"].get<std::string>().empty());
                namedPids.insert(pid);
            } else if (e["name"] == "thread_name") {
                namedTids.insert({pid, e["tid"].get<int>()});
            }
            continue;
        }
        ASSERT_TRUE(e.contains("ts") && e["ts"].is_number()) << e.dump();
        ASSERT_TRUE(e.contains("tid")) << e.dump();
        pids.insert(pid);
        tids.insert({pid, e["tid"].get<int>()});
        if (ph == "X") {
            ASSERT_TRUE(e.contains("dur") && e["dur"].is_number()) << e.dump();
            EXPECT_GE(e["dur"].get<std::int64_t>(), 0);
            ++complete[e["name"]];
        } else if (ph == "C") {
            ++counters;
            EXPECT_TRUE(e["args"].is_object() && !e["args"].empty());
        } else {
            ADD_FAILURE() << "unexpected phase " << ph;
        }
    }
    for (const int pid : pids) {
        EXPECT_TRUE(namedPids.contains(pid)) << pid;
    }
    for (const auto& tid : tids) {
        EXPECT_TRUE(namedTids.contains(tid)) << tid.first << "/" << tid.second;
    }
    // Every task is one complete event (the retried task appears once per attempt).
    int tasks = 0;
    for (const auto& [name, n] : complete) {
        tasks += n;
    }
    EXPECT_EQ(tasks, static_cast<int>(model.Tasks.size()));
    EXPECT_EQ(complete["b.c"], 1);
    EXPECT_EQ(counters, 4);
    // The failed task is on its row's track, at its time.
    for (const nlohmann::json& e : trace["traceEvents"]) {
        if (e["ph"] == "X" && e["name"] == "b.c") {
            EXPECT_EQ(e["ts"], 100000);
            EXPECT_EQ(e["dur"], 2400000);
            EXPECT_EQ(e["args"]["outcome"], "failed");
            EXPECT_EQ(e["args"]["exitCode"], 1);
            EXPECT_EQ(e["args"]["worker"], "alpha#2");
        }
    }
}

TEST_F(ViewerReport, SummaryNamesTheBuildsFigures) {
    const std::string text = viewer::SummaryText(model, analysis);
    for (const char* part :
         {"Build:       Fixture build", "Duration:    3.000s", "Result:      failed (exit code 1)",
          "Tasks:       7, 1 succeeded, 2 failed, 2 restored, 1 remote, 1 retried",
          "Rows:        3 on 2 machine(s)", "1.78 rows busy on average, peak 3, utilisation 59.4%",
          "   1.       2.400s  b.c  [failed, alpha#2]", "  Build cache: 2 hits, 4 misses",
          "Counts:      4 built, 0 skipped, 1 error(s), 0 warning(s)"}) {
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;
    }
    EXPECT_EQ(text.find("Note:"), std::string::npos) << text;
}

TEST_F(ViewerReport, SummaryOfADamagedHistorySaysWhereReadingStopped) {
    model.Read.End = viewer::TReadState::TEnd::Damaged;
    model.Read.StoppedAt = 1234;
    model.Read.Reason = "Decompression error";
    const std::string text = viewer::SummaryText(model, analysis);
    EXPECT_NE(text.find("reading stopped at byte 1234"), std::string::npos) << text;
    EXPECT_NE(text.find("Decompression error"), std::string::npos) << text;
}

TEST_F(ViewerReport, PageIsSelfContained) {
    const std::string page = Html();
    // Nothing is loaded from anywhere: no external scripts, styles, images or frames.
    for (const char* outside : {"<script src", "<link", "<img", "<iframe", "@import", "url(",
                                "fetch(", "XMLHttpRequest", "http://", "https://"}) {
        EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    }
    EXPECT_NE(page.find("default-src 'none'"), std::string::npos);
    const nlohmann::json data = PageData(page);
    EXPECT_EQ(data["rows"].size(), 3u);
    EXPECT_EQ(data["tasks"]["begin"].size(), 7u);
    EXPECT_EQ(data["build"]["durationMs"], 3000);
    EXPECT_EQ(data["build"]["result"], "failed");
    EXPECT_EQ(data["rows"][2]["caption"], "beta#1");
    EXPECT_EQ(data["graphs"][0]["sets"][0]["values"][0].size(), 4u);
    EXPECT_EQ(data["build"]["cache"].size(), 2u);
}

TEST_F(ViewerReport, TextFromTheBuildCannotEndTheDataOrInjectMarkup) {
    model.Caption = "<b>caption</b> & \"quotes\"";
    model.Tasks[0].Name = "</script><script>alert(1)</script>";
    model.Output[0].Text = "<!-- \xff\xfe not UTF-8 -->";
    const std::string page = Html();
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(page.find("<title>&lt;b&gt;caption&lt;/b&gt; &amp; &quot;quotes&quot;"),
              std::string::npos);
    const nlohmann::json data = PageData(page);
    EXPECT_EQ(data["tasks"]["name"][0], "</script><script>alert(1)</script>");
    EXPECT_EQ(data["build"]["caption"], "<b>caption</b> & \"quotes\"");
}

} // namespace
