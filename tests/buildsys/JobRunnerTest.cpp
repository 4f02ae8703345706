#include "buildsys/JobRunner.h"

#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <system_error>

namespace {

using namespace buildsys;

enum class TStop { None, Terminate, Kill };

struct TResult {
    std::string Out;
    std::string Err;
    std::optional<int> ExitCode;
};

// Runs a script to its end, stopping it once it printed "ready" when asked to.
TResult RunJob(const std::string& script, TStop stop, const std::string& environment = "",
               const std::string& dir = "") {
    TJobRunner job({"/bin/sh", "-c", script}, dir,
                   environment.empty() ? std::string("PATH=/usr/bin:/bin\0\0", 21) : environment);
    TResult result;
    bool exited = false;
    int closed = 0;
    bool stopped = false;
    const std::uint64_t giveUp = platform::GetTickCount64() + 30000;
    while ((!exited || closed < 2) && platform::GetTickCount64() < giveUp) {
        for (TJobEvent& event : job.Wait(platform::GetTickCount64() + 1000)) {
            switch (event.Kind) {
            case TJobEvent::TKind::Output:
                (event.Stream == TOutputStream::Out ? result.Out : result.Err) += event.Bytes;
                break;
            case TJobEvent::TKind::Closed:
                ++closed;
                break;
            case TJobEvent::TKind::Exited:
                EXPECT_FALSE(exited);
                exited = true;
                result.ExitCode = job.ExitCode();
                job.Kill(); // as the build system does: the rest of the job goes too
                break;
            }
        }
        if (!stopped && result.Out.find("ready") != std::string::npos) {
            stopped = true;
            if (stop == TStop::Terminate) {
                job.Terminate();
            } else if (stop == TStop::Kill) {
                job.Kill();
            }
        }
    }
    EXPECT_TRUE(exited);
    return result;
}

TEST(JobRunner, OutputStreamsExitCodesAndStops) {
    struct Case {
        const char* name;
        const char* script;
        TStop stop;
        std::string out;
        std::string err;
        int exitCode;
    };
    const Case cases[] = {
        {"two streams", "echo out; echo err >&2; printf tail; exit 7", TStop::None, "out\ntail",
         "err\n", 7},
        {"stdin is empty", "cat; echo done", TStop::None, "done\n", "", 0},
        {"signal", "kill -9 $$", TStop::None, "", "", 128 + 9},
        {"terminate", "trap 'echo bye; exit 3' TERM; sleep 100 & echo ready; wait",
         TStop::Terminate, "ready\nbye\n", "", 3},
        {"kill", "trap 'echo bye; exit 3' TERM; sleep 100 & echo ready; wait", TStop::Kill,
         "ready\n", "", 128 + 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TResult result = RunJob(c.script, c.stop);
        EXPECT_EQ(result.Out, c.out);
        EXPECT_EQ(result.Err, c.err);
        EXPECT_EQ(result.ExitCode, c.exitCode);
    }
}

TEST(JobRunner, EnvironmentAndFolderAreTheGivenOnes) {
    const TResult result = RunJob("echo \"$A|${HOME:-none}\"; pwd", TStop::None,
                                  std::string("A=1\0PATH=/usr/bin:/bin\0\0", 25), "/usr");
    EXPECT_EQ(result.Out, "1|none\n/usr\n");
}

TEST(JobRunner, AJobThatCannotStartRaises) {
    EXPECT_THROW(TJobRunner({"/bin/sh", "-c", "true"}, "/no/such/folder", std::string(1, '\0')),
                 std::system_error);
}

} // namespace
