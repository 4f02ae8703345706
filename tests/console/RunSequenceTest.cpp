#include "ConsoleFixture.h"

using testing_console::ConsoleTest;

namespace {

constexpr const char* NoAgent =
    "Processing is unable to continue due to the Agent Service is not running.\r\n";

using RunSequence = ConsoleTest;

TEST_F(RunSequence, NoArgumentsShowsBannerAndHelp) {
    auto r = Run({});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.starts_with("\r\n---")) << r.Out;
    EXPECT_NE(r.Out.find("Build Acceleration Console 10.24.2 (build 14861)\r\n"),
              std::string::npos);
    EXPECT_NE(r.Out.find("Usage:\r\n"), std::string::npos);
    EXPECT_NE(r.Out.find("Visual Studio Options:\r\n"), std::string::npos);
}

TEST_F(RunSequence, NestedJobIsRefusedBeforeAnyOutput) {
    platform::SetEnvVar("TavrixBuildContext", "1");
    auto r = Run({"/exitcodebase=5", "app.sln"});
    EXPECT_EQ(r.Out, "Fatal Error: An Morvek distributed job cannot be started from within "
                     "another distributed job.\r\n");
    EXPECT_EQ(r.ExitCode, 8);

    for (const char* value : {"01", "2", ""}) {
        platform::SetEnvVar("TavrixBuildContext", value);
        r = Run({"/nologo", "app.sln"});
        EXPECT_EQ(r.Out, NoAgent) << value;
        EXPECT_EQ(r.ContextSeen, "1") << value;
    }
}

TEST_F(RunSequence, ExitCodeBaseForms) {
    const struct {
        std::vector<std::string> Args;
        int ExitCode;
        std::string BuildSystemArguments;
    } cases[] = {
        {{"/nologo", "/exitcodebase=5", "a.sln"}, 8, "/exitcodebase=5"},
        {{"/nologo", "-ExitCodeBase=abc", "a.sln"}, 10003, "/exitcodebase=10000"},
        {{"/nologo", "/exitcodebase", "a.sln"}, 10003, "/exitcodebase=10000"},
        {{"/nologo", "/exitcodebase= 7 ", "a.sln"}, 3 + 7, "/exitcodebase=7"},
        {{"/nologo", "/exitcodebase=-3", "a.sln"}, 0, "/exitcodebase=-3"},
        {{"/nologo", "a.sln"}, 3, ""},
    };
    for (const auto& c : cases) {
        auto r = Run(c.Args);
        EXPECT_EQ(r.ExitCode, c.ExitCode) << c.Args[1];
        EXPECT_EQ(r.Console->BuildSystemArguments, c.BuildSystemArguments) << c.Args[1];
    }
}

TEST_F(RunSequence, DuplicateOptionIsALeftover) {
    auto r = Run({"/nologo", "/nologo", "/list"}, true);
    EXPECT_EQ(r.Out, "Fatal Error: Invalid/conflicting options specified: nologo\r\n");
    EXPECT_EQ(r.ExitCode, 3);

    r = Run({"/nologo", "/list", "/b=say \"hi\"", "/c=x,y", "/unknown", "/buildcachepchstrategy=z"},
            true);
    EXPECT_EQ(r.Out, "Fatal Error: Invalid/conflicting options specified: "
                     "\"b=say \"\"hi\"\"\",\"c=x,y\",unknown,buildcachepchstrategy=z\r\n");

    r = Run({"/nologo", "/list", "/"}, true);
    EXPECT_EQ(r.Out, "Fatal Error: Invalid/conflicting options specified: /\r\n");
    r = Run({"/nologo", "/list", "-", "/unknown"}, true);
    EXPECT_EQ(r.Out, "Fatal Error: Invalid/conflicting options specified: /,unknown\r\n");
}

TEST_F(RunSequence, SetEnvFirstOfANameWins) {
    auto r = Run({"/nologo", "/list", "/setenv=RAVEL_A=1", "/SETENV=ravel_a=2",
                  "/setenv=RAVEL_B=", "/setenv=RAVEL_B=x"},
                 true);
    EXPECT_EQ(platform::GetEnvVar("RAVEL_A").value_or(""), "1");
    EXPECT_FALSE(platform::GetEnvVar("RAVEL_B"));
    EXPECT_EQ(r.Console->BuildCommand.ForcedEnv.Strings(), (std::vector<std::string>{"RAVEL_A=1"}));
    platform::UnsetEnvVar("RAVEL_A");

    // Names of the environment are exact; the forced list compares them ignoring case, an
    // empty value removes an entry, and a later name takes the place of an equal one.
    r = Run({"/nologo", "/list", "/setenv=RAVEL_A=1", "/setenv=RAVEL_B=2", "/setenv=ravel_a=",
             "/setenv=RAVEL_C=3", "/setenv=ravel_b=9", "/other", "/setenv=RAVEL_C=4"},
            true);
    EXPECT_EQ(r.Console->BuildCommand.ForcedEnv.Strings(),
              (std::vector<std::string>{"RAVEL_C=3", "RAVEL_B=2", "RAVEL_A=1"}));
    EXPECT_EQ(r.Console->Options.Strings(), (std::vector<std::string>{"other"}));
    EXPECT_EQ(platform::GetEnvVar("RAVEL_A").value_or("-"), "1");
    EXPECT_EQ(platform::GetEnvVar("ravel_a").value_or("-"), "-");
    EXPECT_EQ(platform::GetEnvVar("ravel_b").value_or("-"), "9");
    EXPECT_EQ(platform::GetEnvVar("RAVEL_C").value_or("-"), "3");
    for (const char* name : {"RAVEL_A", "RAVEL_B", "ravel_b", "RAVEL_C"}) {
        platform::UnsetEnvVar(name);
    }

    r = Run({"/nologo", "/setenv==x", "a.sln"});
    EXPECT_EQ(r.Failure, "Failed to set environment variable '' (Ansi)");
    EXPECT_EQ(r.ExitCode, 3);
}

TEST_F(RunSequence, TitleAndFlags) {
    auto r = Run({"/title=Nightly \\", "/nologo", "/silent", "/nowait", "/cl_add=/O2 \"/D X=1\"",
                  "/stop", "a.sln"});
    EXPECT_EQ(r.Console->BuildCommand.Caption, "Nightly \\");
    EXPECT_EQ(r.Out, "Nightly \\\r\n\r\n"); // the title precedes /SILENT
    EXPECT_TRUE(r.Console->Silent);
    EXPECT_FALSE(r.Console->Wait);
    EXPECT_TRUE(r.Console->StopBuild);
    EXPECT_EQ(r.Console->StopBuildID, "{00000000-0000-0000-0000-000000000000}");
    EXPECT_EQ(r.Console->BuildCommand.CompilerParamsAdd.Strings(),
              (std::vector<std::string>{"/O2", "\"/D X=1\""}));

    // An odd quote in the title neither reaches into nor swallows the next arguments.
    r = Run({"/title=say \"hi", "/nologo", "/out=o.txt", "a.sln"});
    EXPECT_EQ(r.Console->BuildCommand.Caption, "say \"hi");
    EXPECT_EQ(ReadFile(Path("o.txt")), std::string("say \"hi\r\n\r\n") + NoAgent);

    platform::SetEnvVar("twConsoleParams", "/title=\"Night ly\"");
    r = Run({"/nologo", "a.sln"});
    EXPECT_EQ(r.Console->BuildCommand.Caption, "\"Night ly\"");
}

TEST_F(RunSequence, OutFileCreatesItsDirectory) {
    auto r = Run({"/nologo", "/out", "logs/deep/$(Title).txt", "/title=Nightly", "a.sln"});
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(ReadFile(Path("logs/deep/Nightly.txt")), std::string("Nightly\r\n\r\n") + NoAgent);

    // The macro in the directory part is expanded before the directory is made.
    r = Run({"/nologo", "/TITLE=T1", "/OUT=dir/$(Title)/o.txt", "a.sln"});
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(ReadFile(Path("dir/T1/o.txt")), std::string("T1\r\n\r\n") + NoAgent);
    EXPECT_FALSE(std::filesystem::exists(Path("dir/$(Title)")));

    WriteFile("blocker", "x");
    r = Run({"/nologo", "/out=blocker/sub/out.txt", "a.sln"});
    EXPECT_EQ(r.Out, "Fatal Error: The path specified with /OUT parameter is invalid.\r\n");
    EXPECT_EQ(r.ExitCode, 3);
}

TEST_F(RunSequence, ControlCommandsRefuseAFileName) {
    auto r = Run({"/nologo", "/enable", "app.sln"}, true);
    EXPECT_EQ(r.Out, "Fatal Error: A filename to build cannot be specified with /ENABLE, /DISABLE, "
                     "/RESET, /STOP\r\n");
    EXPECT_EQ(r.ExitCode, 3);
}

TEST_F(RunSequence, BuildTargetResolution) {
    auto r = Run({"/nologo", "a.sln", "b.sln"}, true);
    EXPECT_EQ(r.Out, "Fatal Error: Only one filename to build can be specified\r\n");

    r = Run({"/nologo"}, true);
    EXPECT_EQ(r.Out, "Fatal Error: Missing filename of solution/workspace/project to build\r\n");

    r = Run({"/nologo", "nothing"}, true);
    EXPECT_EQ(r.Failure, "File not found: " + Path("nothing.sln"));

    WriteFile("app.vcw", "");
    WriteFile("app.dsw", "");
    r = Run({"/nologo", "app"}, true);
    EXPECT_EQ(r.Console->BuildCommand.PrimaryFilename, Path("app.dsw"));

    std::filesystem::create_directory(Path("dir.sln"));
    r = Run({"/nologo", "dir.sln"}, true);
    EXPECT_EQ(r.Failure, "File not found: " + Path("dir.sln"));

    r = Run({"/nologo", "-command=make"}, true);
    EXPECT_TRUE(r.Out.starts_with("Fatal Error: For Reda Duruzo builds, please use twConsole "
                                  "instead of "))
        << r.Out;

    r = Run({"/nologo", "/COMMAND=devenv"}, true);
    EXPECT_EQ(r.Console->BuildCommand.Command, "devenv.exe");
    EXPECT_EQ(r.Console->BuildCommand.BuildClass, "make");
}

TEST_F(RunSequence, AgentStatusReport) {
    auto r = Run({"/nologo", "/queryagentstatus"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.starts_with("Agent Services Status: not running\r\n"
                                  "Connectivity to Coordinator: not connected\r\n"
                                  "TUL Connection to Manager: Not connected (error: Cannot load "
                                  "library '"))
        << r.Out;

    console::TServiceStatus status;
    status.StandAlone = false;
    status.CoordinatorVersionMismatch = true;
    r = Run({"/nologo", "/queryagentstatus"}, true, status);
    EXPECT_TRUE(r.Out.starts_with("Agent Services Status: OK\r\n"
                                  "Connectivity to Coordinator: Updating Version\r\n"));
}

TEST_F(RunSequence, HelpInCommandModeHasNoVisualStudioRows) {
    auto r = Run({"/nologo", "/COMMAND=make", "/?"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.starts_with("Usage:\r\nGeneral Options:\r\n")) << r.Out.substr(0, 80);
    EXPECT_EQ(r.Out.find("Visual Studio"), std::string::npos);
    EXPECT_TRUE(r.Out.ends_with("  /HELP /?                    Display brief usage message\r\n"));
}

} // namespace

TEST(ConsoleFlavor, TheNameChoosesTheRow) {
    const struct {
        const char* Name;
        console::TConsoleModes Modes;
        bool RunsJobs;
    } cases[] = {
        {"ravelcon", console::VisualStudio, false},
        {"twconsole", console::Command, true},
        {"TwConsole", console::Command, true},
        {"anything-else", console::VisualStudio, false},
    };
    for (const auto& c : cases) {
        const console::TConsoleFlavor& flavor = console::ConsoleFlavorFor(c.Name);
        EXPECT_EQ(flavor.Modes, c.Modes) << c.Name;
        EXPECT_EQ(flavor.RunsJobs, c.RunsJobs) << c.Name;
        EXPECT_FALSE(flavor.Modes & console::VisualStudio && flavor.RunsJobs) << c.Name;
    }
}

// twconsole runs job files and /COMMAND; ravelcon refuses them, exactly as before.
TEST_F(RunSequence, JobFilesBelongToTwconsole) {
    const console::TConsoleFlavor& tw = console::ConsoleFlavorFor("twconsole");
    const console::TConsoleFlavor& ravelcon = console::ConsoleFlavorFor("ravelcon");
    for (const char* file : {"job.xml", "job.xpx", "run.bat", "run.cmd"}) {
        WriteFile(file, "");
    }
    WriteFile("app.sln", "\r\nMicrosoft Visual Studio Solution File, Format Version 12.00\r\n"
                         "# Visual Studio Version 17\r\n");
    const struct {
        const char* Target;
        const char* BuildClass;
    } accepted[] = {
        {"job.xml", "xml"},
        {"job.xpx", "xml"},
        {"run.bat", "wrap"},
        {"run.cmd", "wrap"},
        {"/COMMAND=make all", "make"},
    };
    for (const auto& c : accepted) {
        SCOPED_TRACE(c.Target);
        const auto r = Run({"/nologo", c.Target}, true, {}, tw);
        EXPECT_EQ(r.Failure, testing_console::StartBuildFailure) << r.Out;
        EXPECT_EQ(r.Console->BuildCommand.BuildClass, c.BuildClass);
        if (c.Target[0] == '/') {
            continue; // /COMMAND is ravelcon's too
        }
        const auto refused = Run({"/nologo", c.Target}, true, {}, ravelcon);
        EXPECT_TRUE(refused.Out.starts_with(
            "Fatal Error: For Reda Duruzo builds, please use twConsole instead of "))
            << refused.Out;
        EXPECT_EQ(refused.ExitCode, 3);
    }
    const auto vs = Run({"/nologo", "app.sln"}, true, {}, tw);
    EXPECT_TRUE(vs.Out.starts_with("Fatal Error: For Visual Studio builds, please use Ravelcon "
                                   "instead of "))
        << vs.Out;
    EXPECT_EQ(vs.ExitCode, 3);
    // No Visual Studio mode: the Visual Studio options are not its own.
    const auto cl = Run({"/nologo", "job.xml", "/cl_add=/O2"}, true, {}, tw);
    EXPECT_EQ(cl.Out, "Fatal Error: Invalid/conflicting options specified: cl_add=/O2\r\n");
    const auto none = Run({"/nologo", "/stoponerrors"}, true, {}, tw);
    EXPECT_EQ(none.Out, "Fatal Error: Missing filename or command of job to execute\r\n");
}

TEST_F(RunSequence, TwconsoleHelpIsTheCommandModeHelp) {
    const auto tw = Run({"/nologo", "/?"}, false, {}, console::ConsoleFlavorFor("twconsole"));
    EXPECT_EQ(tw.ExitCode, 0);
    EXPECT_TRUE(tw.Out.find("General Options:") != std::string::npos) << tw.Out;
    EXPECT_EQ(tw.Out.find("Visual Studio Options:"), std::string::npos) << tw.Out;
    EXPECT_EQ(tw.Out.find("<solution.sln>"), std::string::npos) << tw.Out;
    const auto rc = Run({"/nologo", "/?"});
    EXPECT_NE(rc.Out.find("Visual Studio Options:"), std::string::npos);
}
