// morvek-monitor as a user runs it: outputs, messages and exit codes.
#include "FixtureBuild.h"

#include "e2e/ProcessRunner.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ViewerProgram : public ::testing::Test {
protected:
    viewer_test::TTempDir temp;
};

TEST_F(ViewerProgram, WritesThePageBesideTheHistoryByDefault) {
    const std::string history = temp.Path("build.mv_mon");
    viewer_test::WriteFixtureBuild(history);
    const e2e::TProcessResult run = e2e::RunProgram(MORVEK_MONITOR, {history});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("report written to " + temp.Path("build.html")), std::string::npos)
        << run.Err;
    EXPECT_NE(ReadFile(temp.Path("build.html")).find("<!DOCTYPE html>"), std::string::npos);
}

TEST_F(ViewerProgram, TraceAndSummaryTogether) {
    const std::string history = temp.Path("build.mv_mon");
    viewer_test::WriteFixtureBuild(history);
    const e2e::TProcessResult run =
        e2e::RunProgram(MORVEK_MONITOR, {history, "--trace", temp.Path("t.json"), "--summary"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Out.find("Tasks:       7, 1 succeeded, 2 failed"), std::string::npos) << run.Out;
    const nlohmann::json trace = nlohmann::json::parse(ReadFile(temp.Path("t.json")));
    EXPECT_FALSE(trace["traceEvents"].empty());
    // Only what was asked for.
    EXPECT_FALSE(std::filesystem::exists(temp.Path("build.html")));
}

TEST_F(ViewerProgram, DamagedHistoryIsShownAndNamed) {
    const std::string history = temp.Path("cut.mv_mon");
    viewer_test::WriteFixtureBuild(history);
    std::filesystem::resize_file(history, std::filesystem::file_size(history) - 3);
    const e2e::TProcessResult run = e2e::RunProgram(MORVEK_MONITOR, {history, "--summary"});
    EXPECT_EQ(run.ExitCode, 0) << run.Err;
    EXPECT_NE(run.Err.find("reading stopped at byte"), std::string::npos) << run.Err;
    EXPECT_NE(run.Out.find("Tasks:       6"), std::string::npos) << run.Out;
}

TEST_F(ViewerProgram, RefusalsAndUsageErrors) {
    const std::string text = temp.Path("notes.mv_mon");
    std::ofstream(text) << "not a history\n";
    struct TCase {
        std::vector<std::string> Args;
        int ExitCode;
        const char* Message;
    };
    const TCase cases[] = {
        {{text, "--summary"}, 1, "is not a build monitor file"},
        {{temp.Path("missing.mv_mon")}, 1, "Cannot open file"},
        {{}, 2, "no history file given"},
        {{text, "-o"}, 2, "-o needs a file name"},
        {{text, "--live", "x"}, 2, "--live shows a running build, not a history file"},
        {{"--live", "x"}, 1, "\"x\" is no build ID"},
        {{"--open"}, 2, "--open goes with --live"},
        {{text, "--bogus"}, 2, "unknown option --bogus"},
        {{text, text}, 2, "only one history file"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Message);
        const e2e::TProcessResult run = e2e::RunProgram(MORVEK_MONITOR, c.Args);
        EXPECT_EQ(run.ExitCode, c.ExitCode);
        EXPECT_NE(run.Err.find(c.Message), std::string::npos) << run.Err;
        EXPECT_TRUE(run.Out.empty()) << run.Out;
    }
    // Nothing was written for a refused file.
    EXPECT_FALSE(std::filesystem::exists(temp.Path("notes.html")));
}

} // namespace
