#include "platform/Process.h"

#include "TestProcess.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace testing_support;

namespace {

// A shell job that reports its background child, cleans up on SIGTERM and waits.
constexpr const char* Script =
    "trap 'echo cleanup; exit 5' TERM; sleep 100 & echo $!; echo ready; wait";

struct TJob {
    std::unique_ptr<TChildProcess> Child;
    std::unique_ptr<TPipeEnd> Out;
    pid_t Background = -1;
    std::string Text;

    TJob() {
        std::unique_ptr<TPipeEnd> write;
        TPipeEnd::CreatePipe(Out, write);
        TSpawnOptions options;
        options.Arguments = {"/bin/sh", "-c", Script};
        options.Job = true;
        options.StdOut = write.get();
        Child = TChildProcess::Spawn(options);
        write.reset();
        while (Text.find("ready\n") == std::string::npos && Read()) {
        }
        Background = std::stoi(Text);
        // Signals are only sure to reach it once it runs the program itself.
        for (int i = 0; i < 1000 && Command(Background) != "sleep\n"; ++i) {
            ::usleep(10000);
        }
    }
    static std::string Command(pid_t pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool Read() {
        char buffer[256];
        const long n = Out->Read(buffer, sizeof buffer);
        if (n > 0) {
            Text.append(buffer, static_cast<std::size_t>(n));
        }
        return n > 0;
    }
};

TEST(ChildProcess, GroupEndsGracefullyOrAtOnce) {
    struct Case {
        const char* name;
        bool graceful;
        int exitCode;
        bool cleanedUp;
    };
    for (const Case& c : {Case{"terminate", true, 5, true}, Case{"kill", false, 128 + 9, false}}) {
        SCOPED_TRACE(c.name);
        TJob job;
        ASSERT_FALSE(ProcessEnded(job.Background));
        EXPECT_TRUE(c.graceful ? job.Child->TerminateGroup() : job.Child->KillGroup());
        ASSERT_TRUE(job.Child->WaitForExit(30000));
        EXPECT_EQ(job.Child->ExitCode(), c.exitCode);
        while (job.Read()) {
        }
        EXPECT_EQ(job.Text.find("cleanup") != std::string::npos, c.cleanedUp);
        EXPECT_TRUE(WaitProcessEnded(job.Background));
    }
}

} // namespace
