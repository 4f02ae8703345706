// The report page in a real browser: chromium, headless, loads the page from a file
// and the page's script writes what it drew into the facts element, which the
// browser's dump of the DOM shows.
#include "FixtureBuild.h"

#include "e2e/ProcessRunner.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace {

std::string FindProgram(std::initializer_list<const char*> names) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        for (const char* name : names) {
            const std::filesystem::path candidate = std::filesystem::path(dir) / name;
            if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
                return candidate.string();
            }
        }
    }
    return {};
}

class ViewerBrowser : public ::testing::Test {
protected:
    void SetUp() override {
        records::RegisterAllPacketClasses();
        chromium = FindProgram({"chromium", "chromium-browser"});
        timeout = FindProgram({"timeout"});
        if (chromium.empty() || timeout.empty()) {
            GTEST_SKIP() << "chromium is not installed (Debian package chromium): the report "
                            "page was not checked in a browser";
        }
    }

    std::string Report(const std::string& history) {
        const std::string page = temp.Path("report.html");
        const e2e::TProcessResult made = e2e::RunProgram(MORVEK_MONITOR, {history, "-o", page});
        EXPECT_EQ(made.ExitCode, 0) << made.Err;
        return page;
    }

    // The DOM after the page's script ran; the browser is bounded by `timeout`.
    std::string DumpDom(const std::string& url) {
        const std::string profile = temp.Path("profile");
        std::filesystem::create_directories(profile);
        const e2e::TProcessResult run = e2e::RunProgram(
            timeout, {"-k", "5", "120", chromium, "--headless", "--no-sandbox", "--disable-gpu",
                      "--disable-quic", "--no-first-run", "--disable-background-networking",
                      "--disable-component-update", "--disable-sync", "--disable-extensions",
                      "--user-data-dir=" + profile, "--window-size=1280,900",
                      "--virtual-time-budget=5000", "--dump-dom", url});
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        return run.Out;
    }

    static std::map<std::string, std::string> Facts(const std::string& dom) {
        std::map<std::string, std::string> facts;
        const std::size_t at = dom.find("<div id=\"facts\"");
        if (at == std::string::npos) {
            return facts;
        }
        const std::string tag = dom.substr(at, dom.find('>', at) - at);
        static const std::regex attribute("data-([a-z-]+)=\"([^\"]*)\"");
        for (std::sregex_iterator it(tag.begin(), tag.end(), attribute), end; it != end; ++it) {
            facts[(*it)[1]] = (*it)[2];
        }
        return facts;
    }

    static int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + what.size())) {
            ++n;
        }
        return n;
    }

    std::string chromium;
    std::string timeout;
    viewer_test::TTempDir temp;
};

TEST_F(ViewerBrowser, ShowsTheBuildAsItWas) {
    const std::string history = temp.Path("fixture.mv_mon");
    viewer_test::WriteFixtureBuild(history);
    const std::string page = Report(history);
    const std::string dom = DumpDom("file://" + page);
    auto facts = Facts(dom);
    ASSERT_EQ(facts["ready"], "yes") << dom.substr(0, 2000);

    // Rows and bars as drawn on the timeline.
    EXPECT_EQ(facts["rows"], "3");
    EXPECT_EQ(facts["machines"], "2");
    EXPECT_EQ(facts["tasks"], "7");
    EXPECT_EQ(facts["drawn-bars"], "7");
    EXPECT_EQ(facts["drawn-failed"], "2");
    EXPECT_EQ(facts["drawn-restored"], "2");
    EXPECT_EQ(facts["drawn-remote"], "1");
    EXPECT_EQ(facts["drawn-retried"], "1");
    // The colour in the middle of a bar is the colour of its outcome.
    EXPECT_EQ(facts["pixel-failed"], "failed");
    EXPECT_EQ(facts["pixel-restored"], "restored");
    EXPECT_EQ(facts["pixel-succeeded"], "succeeded");
    // The graph row: two graphs of four samples, and ink on its canvas.
    EXPECT_EQ(facts["graph-rows"], "1");
    EXPECT_EQ(facts["graph-points"], "8");
    EXPECT_EQ(facts["graphs-inked"], "1");
    // The header's figures are the build's.
    EXPECT_EQ(facts["duration-ms"], "3000");
    EXPECT_EQ(facts["peak-busy"], "3");
    EXPECT_EQ(facts["average-busy"], "1.78");
    EXPECT_NE(dom.find("id=\"fact-duration\">3.00s<"), std::string::npos);
    EXPECT_NE(dom.find("class=\"result-failed\" id=\"fact-result\">failed (exit code 1)<"),
              std::string::npos);
    EXPECT_NE(dom.find("Build cache: 2 hits, 4 misses"), std::string::npos);
    EXPECT_NE(dom.find(">Fixture build</h1>"), std::string::npos);
    // The failed tasks are listed as failed.
    const std::size_t failedTable = dom.find("<table id=\"failed\">");
    ASSERT_NE(failedTable, std::string::npos);
    const std::string failed =
        dom.substr(failedTable, dom.find("</table>", failedTable) - failedTable);
    EXPECT_EQ(Count(failed, "class=\"task-link task-failed\""), 2) << failed;
    EXPECT_NE(failed.find("b.c"), std::string::npos);
    EXPECT_NE(failed.find("f.c"), std::string::npos);
    // A complete history has no reading note.
    EXPECT_NE(dom.find("<div id=\"read-state\" hidden=\"\">"), std::string::npos);
}

TEST_F(ViewerBrowser, AFailedBarLeadsToItsOutput) {
    const std::string history = temp.Path("fixture.mv_mon");
    viewer_test::WriteFixtureBuild(history);
    const std::string dom = DumpDom("file://" + Report(history) + "#task=2");
    auto facts = Facts(dom);
    ASSERT_EQ(facts["ready"], "yes");
    EXPECT_EQ(facts["hit"], "2");
    EXPECT_EQ(facts["selected-task"], "2");
    EXPECT_EQ(facts["selected-lines"], "2");
    EXPECT_EQ(Count(dom, "class=\"line err selected\" data-task=\"2\""), 1);
    EXPECT_EQ(Count(dom, "class=\"line selected\" data-task=\"2\""), 1);
    EXPECT_EQ(Count(dom, "selected\" data-task=\"0\""), 0);
}

TEST_F(ViewerBrowser, ADamagedHistorySaysWhereReadingStopped) {
    const std::string history = temp.Path("cut.mv_mon");
    viewer_test::WriteFixtureBuild(history);
    std::filesystem::resize_file(history, std::filesystem::file_size(history) - 1);
    const std::string dom = DumpDom("file://" + Report(history));
    auto facts = Facts(dom);
    ASSERT_EQ(facts["ready"], "yes");
    EXPECT_EQ(facts["tasks"], "6");
    EXPECT_NE(dom.find("The history file is damaged: reading stopped at byte"), std::string::npos);
    EXPECT_NE(dom.find("<dd class=\"result-unfinished\" id=\"fact-result\">unfinished<"),
              std::string::npos);
}

} // namespace
