// Task-level builds through the real console and agent: the installation holds the
// launcher, the exec hook and the masquerade folder, so every compile and link of a
// make build is a task in the monitor file.
#include "Installation.h"
#include "MonitorSteps.h"
#include "ProcessRunner.h"
#include "records/MonitorEvents.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

class TaskBuildE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetUpInstallation("task-e2e", {RAVELCON_BINARY, AGENT_BINARY}, {VARIDADEZIZ_BINARY});
        InstallTaskLauncher(
            {LAUNCHER_BINARY, HOOK_LIBRARY, DEFAULT_JOB_PROFILE, MASQUERADE_SCRIPT});
    }
    static void TearDownTestSuite() { TearDownInstallation(); }
    void SetUp() override { WriteRegistry("\"MaxConcurrentBuilds\"=dword:00000001\r\n"); }

    // A fresh copy of an example project.
    static std::string CopyExample(const std::string& name, const std::string& as) {
        const std::string copy = install.Root + "/" + as;
        fs::remove_all(copy);
        fs::copy(std::string(EXAMPLES_DIR) + "/" + name, copy, fs::copy_options::recursive);
        return copy;
    }
};

// make through ravelcon: one task per compile and link, every begin paired with one
// end on its worker, the objects and the exit code of the same make run directly.
TEST_F(TaskBuildE2E, ExamplesWithMakeThroughRavelcon) {
    TAgent agent;
    const struct {
        const char* Project;
        std::vector<const char*> Objects;
        int Tasks; // compile and link calls of a complete build
    } cases[] = {
        {"hello", {"hello.o", "greeting.o", "hello"}, 3},
        {"broken", {}, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Project);
        const std::string direct = CopyExample(c.Project, std::string(c.Project) + "-direct");
        const std::string inside = CopyExample(c.Project, std::string(c.Project) + "-inside");
        const TProcessResult plain = RunProgram("/bin/sh", {"-c", "make -C \"$0\" 2>&1", direct});
        const std::string monitorFile = install.Root + "/" + c.Project + ".mv_mon";
        const TProcessResult built = RunProgram(
            Ravelcon(), {"/nologo", "/MON=" + monitorFile, "/COMMAND=make -C '" + inside + "'"});
        EXPECT_EQ(built.ExitCode, plain.ExitCode) << built.Out << built.Err << plain.Out;
        const TEvents events = MonitorFileEvents(monitorFile);
        const TStepCheck steps = CheckSteps(events);
        EXPECT_EQ(steps.Begins, steps.Ends + steps.Failed);
        if (c.Tasks > 0) {
            EXPECT_EQ(built.ExitCode, 0);
            EXPECT_EQ(steps.Begins, c.Tasks);
            EXPECT_EQ(steps.NonZeroExits, 0);
            for (const char* object : c.Objects) {
                const std::string made = ReadFile(inside + "/" + object);
                EXPECT_FALSE(made.empty()) << object;
                EXPECT_EQ(made, ReadFile(direct + "/" + object)) << object;
            }
        } else {
            EXPECT_NE(built.ExitCode, 0);
            // The failing compile is a task that ended with its exit code.
            EXPECT_GE(steps.Begins, 1);
            EXPECT_GE(steps.NonZeroExits, 1);
            EXPECT_EQ(steps.Failed, 0);
        }
        fs::remove_all(direct);
        fs::remove_all(inside);
        fs::remove(monitorFile);
    }
}

// A task's output goes where its caller points it: a script that captures a compile's
// output gets it (as a configure check or kbuild's compiler checks read it), while a
// compile under ninja, which prints its commands' output on the build's, keeps its lines
// as the task's output.
TEST_F(TaskBuildE2E, ATasksOutputGoesWhereItsCallerPointsIt) {
    TAgent agent;
    const std::string project = install.Root + "/streams";
    fs::remove_all(project);
    fs::create_directories(project);
    std::ofstream(project + "/w.c") << "int f(void) { int unused; return 0; }\n";
    std::ofstream(project + "/build.ninja")
        << "rule cc\n  command = cc -Wall -c $in -o $out\nbuild w.o: cc w.c\n";
    const std::string capture = "out=$(cc -Wa,--version -c -x assembler-with-cpp /dev/null -o "
                                "/dev/null 2>&1); echo \"captured: $out\"";
    struct TCase {
        const char* Name;
        std::string Command;
        std::string Line;    // a line of the tool's that the console shows
        std::string Console; // the console shows it this way
        bool TaskOutput;     // the line is an output event of the task
    };
    const TCase cases[] = {
        {"captured", capture, "GNU assembler", "captured: GNU assembler", false},
        {"ninja", "ninja", "unused variable", "warning: unused variable", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string monitorFile = project + "/" + c.Name + ".mv_mon";
        fs::remove(project + "/w.o");
        const TProcessResult built = RunProgram(
            Ravelcon(), {"/nologo", "/MON=" + monitorFile, "/COMMAND=" + c.Command}, {}, project);
        EXPECT_EQ(built.ExitCode, 0) << built.Out << built.Err;
        EXPECT_NE((built.Out + built.Err).find(c.Console), std::string::npos)
            << built.Out << built.Err;
        const TEvents events = MonitorFileEvents(monitorFile);
        const TStepCheck steps = CheckSteps(events);
        EXPECT_EQ(steps.Begins, 1);
        bool asTask = false;
        for (const auto& event : events) {
            if (const auto* output =
                    dynamic_cast<const records::TMonitorEventOutputPacket*>(event.get())) {
                const bool line =
                    (output->Text + output->ErrText).find(c.Line) != std::string::npos;
                asTask = asTask || (line && steps.TaskIDs.count(output->TaskID) > 0);
            }
        }
        EXPECT_EQ(asTask, c.TaskOutput);
    }
    fs::remove_all(project);
}

} // namespace
