#include "core/Process.h"

#include "../platform/TestProcess.h"
#include "core/Errors.h"
#include "core/NotifyQueue.h"
#include "platform/Clock.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>

using namespace core;
using namespace testing_support;

namespace {

using TLines = std::vector<std::string>;

std::string Marker() {
    return std::string(OutputEndMarker);
}

TEST(CommandLineSplit, FollowsTheRuntimeQuotingRules) {
    const struct {
        const char* line;
        TLines args;
    } cases[] = {
        {"a b\tc", {"a", "b", "c"}},
        {"  \"b c\"  d ", {"b c", "d"}},
        {R"(a\\b "c\\" d)", {R"(a\\b)", R"(c\)", "d"}},
        {R"(\"x\" "y""z")", {R"("x")", R"(y"z)"}},
        {R"(a\\\"b)", {R"(a\"b)"}},
        {"\"\"", {""}},
        {"", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::SplitCommandLine(c.line), c.args) << c.line;
    }
}

TEST(OutputPipe, SplitsLinesAsATerminalShowsThem) {
    const struct {
        std::string input;
        TLines lines;
    } cases[] = {
        {"abc\rx\n", {"xbc"}},
        {"a\r\nb\n", {"a", "b"}},
        {"abc\r\r\ndef\n", {"abc", "def"}},
        {"10%\r100%\r\ndone\n", {"100%", "done"}},
        {"\n\n", {"", ""}},
        {"one\ntwo", {"one", "two"}},
        {"progress\r", {"progress"}},
        {"x\n" + Marker() + "\r\nafter\n", {"x"}},
        {"last" + Marker() + "\r\n", {"last"}},
    };
    for (const auto& c : cases) {
        TProcessOutputPipe whole(false, nullptr);
        whole.Feed(c.input);
        whole.Finish();
        EXPECT_EQ(whole.Lines(), c.lines) << c.input;
        // The same bytes arriving one at a time give the same lines.
        TProcessOutputPipe split(false, nullptr);
        for (const char ch : c.input) {
            split.Feed(std::string_view(&ch, 1));
        }
        split.Finish();
        EXPECT_EQ(split.Lines(), c.lines) << c.input;
    }
    std::string echoed;
    TProcessOutputPipe echoing(false, [&](std::string_view text) { echoed += text; });
    EXPECT_TRUE(echoing.Feed("abc\rx\nhalf"));
    EXPECT_EQ(echoed, "abc\rx\n");
    EXPECT_FALSE(echoing.Feed(Marker() + "\r\n"));
    EXPECT_EQ(echoed, "abc\rx\nhalf\n");
    EXPECT_EQ(echoing.Text(), "xbc\r\nhalf\r\n");
}

class ProcessTest : public TObjectsDirFixture {
protected:
    ProcessTest() { queue.Attach(); }
    TNotifyQueue queue;
};

TEST_F(ProcessTest, CapturesOutputAndErrorsSeparatelyOrTogether) {
    const std::string script = "/bin/sh -c \"printf 'abc\\rx\\n'; printf 'err\\n' >&2; "
                               "printf 'tail'; exit 3\"";
    TProcess separate(script, poCaptureOutput | poSeparateErrors);
    separate.Start(true);
    EXPECT_EQ(separate.State(), TProcess::TState::Done);
    EXPECT_EQ(separate.ExitCode(), 3);
    EXPECT_EQ(separate.Output()->Lines(), (TLines{"xbc", "tail"}));
    EXPECT_EQ(separate.OutputText(), "xbc\r\ntail\r\n");
    EXPECT_EQ(separate.ErrorText(), "err\r\n");

    TProcess shared("/bin/sh -c \"echo out; echo err >&2\"", poCaptureOutput);
    shared.Start(true);
    EXPECT_EQ(shared.Output()->Lines(), (TLines{"out", "err"}));
    EXPECT_EQ(shared.Errors(), nullptr);

    TProcess raw("/bin/sh -c \"printf 'a\\r\\nb'\"", poCaptureOutput | poRawOutput);
    raw.Start(true);
    EXPECT_EQ(raw.OutputText(), "a\r\nb");

    TProcess marker("/bin/sh -c \"echo a; echo " + Marker() + "; echo b\"", poCaptureOutput);
    marker.Start(true);
    EXPECT_EQ(marker.Output()->Lines(), (TLines{"a"}));
}

TEST_F(ProcessTest, EndIsReportedThroughTheQueue) {
    TProcess process("/bin/sh -c \"echo started; read line; echo got $line; exit 7\"",
                     poCaptureOutput);
    std::unique_ptr<platform::TPipeEnd> inRead;
    std::unique_ptr<platform::TPipeEnd> inWrite;
    platform::TPipeEnd::CreatePipe(inRead, inWrite);
    std::vector<std::string> log;
    process.SetLogger([&](std::string_view text) { log.emplace_back(text); });
    bool terminated = false;
    process.SetOnTerminated([&] {
        terminated = true;
        EXPECT_EQ(process.OutputText(), "started\r\ngot input\r\n") << "drained first";
        queue.Stop();
    });
    process.Start(false, inRead.get());
    inRead.reset();
    try {
        process.ExitCode();
        ADD_FAILURE() << "no error while running";
    } catch (const EGeneralError& e) {
        EXPECT_STREQ(e.what(), "Cannot query exit code while process is still active");
    }
    inWrite->Write("input\n");
    queue.Run();
    EXPECT_TRUE(terminated);
    EXPECT_EQ(process.ExitCode(), 7);
    EXPECT_EQ(log, (std::vector<std::string>{"TProcess.HandleDone", "Done"}));
}

bool ProcessGone(pid_t pid) {
    // Gone, or a zombie waiting for whoever adopted it.
    for (int i = 0; i < 3000; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text;
        if (!std::getline(stat, text)) {
            return true;
        }
        const std::size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z') {
            return true;
        }
        platform::SleepMs(10);
    }
    return false;
}

TEST_F(ProcessTest, TerminatingAJobEndsEverythingInIt) {
    TProcess process("/bin/sh -c \"sleep 60 & echo $!; wait\"", poCaptureOutput | poJob);
    process.Start();
    pid_t grandchild = 0;
    for (int i = 0; i < 3000 && grandchild == 0; ++i) {
        const TLines lines = process.Output()->Lines();
        if (!lines.empty()) {
            grandchild = std::stoi(lines[0]);
        } else {
            platform::SleepMs(10);
        }
    }
    ASSERT_NE(grandchild, 0);
    std::thread other([&] { process.Terminate(5, true); }); // allowed from any thread
    other.join();
    EXPECT_TRUE(process.Wait(30000));
    EXPECT_EQ(process.State(), TProcess::TState::Done);
    EXPECT_EQ(process.ExitCode(), 5);
    EXPECT_TRUE(ProcessGone(grandchild));
}

TEST_F(ProcessTest, DestroyingARunningProcessEndsIt) {
    pid_t pid = 0;
    {
        TProcess process("sleep 60", poJob);
        process.Start();
        pid = static_cast<pid_t>(process.ProcessId());
        EXPECT_EQ(process.State(), TProcess::TState::Running);
    }
    EXPECT_TRUE(ProcessGone(pid));
    // No notification of the destroyed object is left behind.
    queue.ProcessQueue();
}

TEST_F(ProcessTest, GracefulTerminationCommandIsTriedFirst) {
    TProcess process("sleep 60");
    process.SetGracefulTerminationCommand("/bin/sh -c \"kill -TERM $0\"");
    process.Start();
    process.Terminate(9);
    EXPECT_EQ(process.State(), TProcess::TState::Done);
    EXPECT_EQ(process.ExitCode(), 128 + SIGTERM) << "ended by the command, not killed";
}

TEST_F(ProcessTest, BatchFileExistsWhileTheChildRunsAndIsDeletedWithTheObject) {
    std::string script;
    {
        TProcess process("echo \"running $0\"; test -f \"$0\" && echo exists",
                         poCaptureOutput | poBatchFile);
        process.Start(true);
        script = process.BatchFileName();
        EXPECT_TRUE(script.ends_with(".sh")) << script;
        EXPECT_EQ(process.Output()->Lines(), (TLines{"running " + script, "exists"}));
        EXPECT_TRUE(std::filesystem::exists(script));
    }
    EXPECT_FALSE(std::filesystem::exists(script));
}

TEST_F(ProcessTest, EnvironmentBlockFolderAndProgramSearch) {
    TTempDir tools;
    const std::string tool = tools.Path() + "/ravel-tool";
    {
        std::ofstream out(tool);
        out << "#!/bin/sh\necho \"$GREETING from $(pwd)\"\n";
    }
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);
    const std::string block = std::string("GREETING=hello") + '\0' + "PATH=" + tools.Path() +
                              ":/usr/bin:/bin" + '\0' + '\0';
    TProcess process("ravel-tool", poCaptureOutput | poPathFromEnvironment);
    process.SetEnvironment(block);
    process.SetWorkingDir(tools.Path());
    process.Start(true);
    EXPECT_EQ(process.Output()->Lines(), (TLines{"hello from " + tools.Path()}));

    TProcess missing("ravel-tool");
    try {
        missing.Start();
        ADD_FAILURE() << "started a program that is not on the PATH";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), ENOENT);
        EXPECT_NE(std::string(e.what()).find("ravel-tool"), std::string::npos);
    }
    TProcess twice("true");
    twice.Start(true);
    EXPECT_THROW(twice.Start(), EAssertionFailed);
}

} // namespace
