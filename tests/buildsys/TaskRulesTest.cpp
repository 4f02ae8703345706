#include "buildsys/TaskRules.h"
#include "buildsys/ExitCodeRule.h"
#include "buildsys/Scheduler.h"
#include "buildsys/WorkerRows.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>

namespace {

using namespace buildsys;

TEST(ExitCodeList, ParsesIntegersSeparatedBySemicolonsOrCommas) {
    const struct {
        const char* Text;
        std::vector<std::int32_t> Codes;
    } cases[] = {
        {"", {}},
        {"0", {0}},
        {"0;1", {0, 1}},
        {"0,1 , 2", {0, 1, 2}},
        {" 3 ;", {3}},
        {"-1;255", {-1, 255}},
        {"0;1,2;", {0, 1, 2}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseExitCodes(c.Text), c.Codes) << c.Text;
    }
}

TEST(ExitCodeList, RejectsWhatIsNoIntegerNamingIt) {
    for (const char* text : {"x", "1.5", "0;one", "99999999999", "1 2", "0x1"}) {
        try {
            ParseExitCodes(text);
            ADD_FAILURE() << "accepted \"" << text << "\"";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
        }
    }
}

TEST(ExitCodeRule, JudgesSuccessWarningAndFailure) {
    TExitCodeRule defaults;
    TExitCodeRule custom;
    custom.Success = {0, 1};
    custom.Warning = {2};
    const struct {
        const TExitCodeRule& Rule;
        int Exit, Signal;
        TExitVerdict Verdict;
    } cases[] = {
        {defaults, 0, 0, TExitVerdict::Success}, {defaults, 1, 0, TExitVerdict::Failure},
        {defaults, 0, 9, TExitVerdict::Failure}, {custom, 1, 0, TExitVerdict::Success},
        {custom, 2, 0, TExitVerdict::Warning},   {custom, 3, 0, TExitVerdict::Failure},
        {custom, 2, 11, TExitVerdict::Failure},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.Rule.Judge(c.Exit, c.Signal), c.Verdict) << c.Exit << " " << c.Signal;
    }
}

// A document is no value: the tests fill one in place.
void FillProfile(records::TXml_ProfileDocument& profile) {
    const auto add = [&](const char* name, const char* remote, const char* success,
                         const char* warning) -> records::TXml_Tool& {
        records::TXml_Tool& tool = profile.Tools.AddNew();
        tool.Filename = name;
        tool.AllowIntercept = true;
        tool.AllowRemote = remote;
        tool.SuccessExitCodes = success;
        tool.WarningExitCodes = warning;
        return tool;
    };
    add("cc", "true", "0", "");
    add("ld", "false", "", "");
    add("lint*", "true", "0;1", "2,3");
}

std::shared_ptr<const TTaskRules> Rules() {
    records::TXml_ProfileDocument profile;
    FillProfile(profile);
    return std::make_shared<const TTaskRules>(profile);
}

TTaskRequest Request(const char* argv0, const char* kind, const char* tool = "/usr/bin/x") {
    TTaskRequest request;
    request.Tool = tool;
    request.Argv = {argv0, "a.c"};
    request.Kind = kind;
    return request;
}

TEST(TaskRules, RemoteOnlyForCompilesOfRemoteToolsAndExitCodesFromTheRule) {
    const std::shared_ptr<const TTaskRules> rules = Rules();
    const struct {
        TTaskRequest Task;
        bool Remote;
        std::vector<std::int32_t> Success, Warning;
    } cases[] = {
        {Request("cc", "compile"), true, {0}, {}},
        {Request("/usr/bin/cc", "compile"), true, {0}, {}},
        {Request("cc", "link"), false, {0}, {}}, // a compiler driver call that links
        {Request("ld", "link"), false, {0}, {}},
        {Request("lint-c", "compile"), true, {0, 1}, {2, 3}},
        {Request("other", "compile"), false, {0}, {}},
        {Request("wrapper", "compile", "/usr/bin/cc"), true, {0}, {}}, // by the real tool
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.Task.Argv[0] + " " + c.Task.Kind);
        rules->Apply(c.Task);
        EXPECT_EQ(c.Task.AllowRemote, c.Remote);
        EXPECT_EQ(c.Task.ExitCodes.Success, c.Success);
        EXPECT_EQ(c.Task.ExitCodes.Warning, c.Warning);
    }
}

TEST(TaskRules, AMalformedExitCodeListNamesTheTool) {
    records::TXml_ProfileDocument profile;
    FillProfile(profile);
    profile.Tools[2].WarningExitCodes = "2;many";
    try {
        const TTaskRules rules(profile);
        FAIL() << "accepted";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("lint*"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("many"), std::string::npos) << e.what();
    }
}

struct TCountingSink : TSchedulerSink {
    void TaskStarted(const TRunningTask&, const TWorkerRow&) override {}
    void TaskEnded(const TRunningTask&, const TWorkerRow&, const TTaskOutcome& o) override {
        ended.push_back(o);
    }
    void TaskLost(const TRunningTask&, const TWorkerRow&) override {}
    void CountsChanged(const TSchedulerCounts& c) override { last = c; }
    void StopRequested(const std::string& reason) override { stops.push_back(reason); }
    std::vector<TTaskOutcome> ended;
    TSchedulerCounts last;
    std::vector<std::string> stops;
};

// The scheduler judges every end by the task's rule: a warning exit code is a
// success with one more warning and does not stop a build that stops on errors.
TEST(TaskRules, TheSchedulerJudgesEndsByTheTasksRule) {
    TCountingSink sink;
    TScheduler scheduler(LocalWorkerRows("h", 1), true, sink);
    scheduler.SetRules(Rules());
    const auto finish = [&](const char* argv0, int exitCode) {
        TTaskRequest request = Request(argv0, "compile");
        scheduler.Classify(request);
        const auto ticket = scheduler.Submit(request);
        EXPECT_TRUE(scheduler.Await(ticket, 0)->Granted);
        TTaskOutcome outcome;
        outcome.ExitCode = exitCode;
        scheduler.Finish(ticket, outcome);
    };
    finish("lint", 1); // success
    finish("lint", 3); // warning
    EXPECT_TRUE(sink.stops.empty());
    EXPECT_EQ(sink.last.Succeeded, 2);
    EXPECT_EQ(sink.last.Warnings, 1);
    ASSERT_EQ(sink.ended.size(), 2u);
    EXPECT_EQ(sink.ended[1].Verdict, std::optional(TExitVerdict::Warning));
    EXPECT_EQ(sink.ended[1].Warnings, 1);
    finish("cc", 1); // failure: the build stops
    EXPECT_EQ(sink.last.Failed, 1);
    EXPECT_EQ(sink.stops.size(), 1u);
}

TEST(TaskRules, AnOutcomeIsJudgedOnce) {
    TExitCodeRule rule;
    rule.Warning = {4};
    TTaskOutcome outcome;
    outcome.ExitCode = 4;
    EXPECT_TRUE(outcome.Failed()); // unjudged: only 0 succeeds
    outcome.Judge(rule);
    outcome.Judge(rule);
    EXPECT_FALSE(outcome.Failed());
    EXPECT_EQ(outcome.Warnings, 1);
}

} // namespace
