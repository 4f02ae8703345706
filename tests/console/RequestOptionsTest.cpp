#include "ConsoleFixture.h"

using records::TBuildFlag;
using testing_console::ConsoleTest;

namespace {

constexpr const char* StartBuild = testing_console::StartBuildFailure;

class RequestOptions : public ConsoleTest {
protected:
    // Runs "ravelcon /nologo <args> app.dsp" with an agent that answers, up to the
    // point where the build would start.
    testing_console::TRunResult Build(std::vector<std::string> args,
                                      const char* target = "app.dsp") {
        WriteFile("app.dsp", "");
        args.insert(args.begin(), "/nologo");
        if (target != nullptr) {
            args.push_back(target);
        }
        return Run(args, true);
    }
};

TEST_F(RequestOptions, AssemblyAndLateGroups) {
    using R = records::TBuildCommandPacket;
    const struct {
        std::vector<std::string> Args;
        std::function<bool(const R&)> Check;
    } cases[] = {
        {{"/clean", "/beep", "/openmonitor", "/useidemonitor", "/rebuild", "/deploy", "/allfatal",
          "/stoponerrors", "/showcmd", "/showagent", "/showtime"},
         [](const R& r) {
             for (TBuildFlag f :
                  {TBuildFlag::Clean, TBuildFlag::Beep, TBuildFlag::OpenMonitor,
                   TBuildFlag::UseIDEMonitor, TBuildFlag::Rebuild, TBuildFlag::DeployWithDevEnv,
                   TBuildFlag::AllFatal, TBuildFlag::StopOnErrors, TBuildFlag::ShowCmd,
                   TBuildFlag::ShowAgent, TBuildFlag::ShowTime}) {
                 if (!r.HasFlag(f)) {
                     return false;
                 }
             }
             return true;
         }},
        {{"/sameos"}, [](const R& r) { return r.MinWinVer_Major == 10 && r.MaxWinVer_Minor == 0; }},
        {{"/minwinver=8.1", "/MAXWINVER=xp"},
         [](const R& r) {
             return r.MinWinVer_Major == 6 && r.MinWinVer_Minor == 3 && r.MaxWinVer_Major == 5 &&
                    r.MaxWinVer_Minor == 1;
         }},
        {{"/no_dotnet_virt", "/use_same_console", "/no_crypt_virt", "/no_watchdog_thread",
          "/only64bithelpers", "/no_unc_sync", "/intelclversion=12", "/builduser=me"},
         [](const R& r) {
             return r.HasFlag(TBuildFlag::NoDotNetVirt) && r.HasFlag(TBuildFlag::UseSameConsole) &&
                    r.HasFlag(TBuildFlag::NoCryptVirt) && r.HasFlag(TBuildFlag::NoWatchDogThread) &&
                    r.HasFlag(TBuildFlag::Only64bitHelpers) && r.HasFlag(TBuildFlag::NoUNCSync) &&
                    r.IntelCompilerVersion == "12";
         }},
        {{"/compile=\"a.cpp\"; b.cpp,,c.cpp"},
         [](const R& r) {
             return r.SelectedSources.Strings() ==
                        std::vector<std::string>{"a.cpp", "b.cpp", "c.cpp"} &&
                    r.HasFlag(TBuildFlag::NoRecurse) && r.HasFlag(TBuildFlag::SelectiveBuild);
         }},
        {{"/browseinfo=on", "/BROWSEINFO=OFF"},
         [](const R& r) {
             return r.HasFlag(TBuildFlag::BrowseOff) && !r.HasFlag(TBuildFlag::BrowseOn);
         }},
        {{"/morveklink=on", "/useenv", "/norecurse", "/nolink", "/all"},
         [](const R& r) {
             return r.HasFlag(TBuildFlag::ForceMorvekLink) && r.HasFlag(TBuildFlag::UseEnv) &&
                    r.HasFlag(TBuildFlag::NoRecurse) && r.HasFlag(TBuildFlag::NoLink) &&
                    r.HasFlag(TBuildFlag::All);
         }},
        {{"/outdir=out", "/msbuildargs=/m", "/ca_file=ca.json", "/ceconfig=ARMV4"},
         [](const R& r) {
             return r.OutDir == "out" && r.MSBuildArgs == "/m" && r.UseMSBuild &&
                    r.KWJsonName == "ca.json" && r.EVC4_CeConfig == "ARMV4";
         }},
        {{"/loglevel=extended", "/log_warning", "/securecomm=off", "/securecomm=on"},
         [](const R& r) {
             return r.OverrideLogLevel == 3 && r.LogWarnings &&
                    r.HasFlag(TBuildFlag::SecureCommOn) && !r.HasFlag(TBuildFlag::SecureCommOff);
         }},
        {{"/AdditionalArgs=-x", "/VirtualizeDirectX", "/DisablePdbForwarding", "/CiIssuer=ci",
          "/BiIssuer=bi", "/monitordirs=\"a\"; b ;;c", "/HideFile=h", "/test=gtest", "/nomsgs",
          "/OnlyFailLocally=on"},
         [](const R& r) {
             return r.AdditionalArgs == "-x" && r.VirtualizeDirectX && r.DisablePdbForwarding &&
                    r.BiIssuer == "bi" &&
                    r.MonitoredDirs.Strings() == std::vector<std::string>{"a", "b", "c"} &&
                    r.HideFile == "h" && r.TestFwId == "gtest" && r.BuildClass == "test" &&
                    r.HasFlag(TBuildFlag::NoOutputSysMessages) &&
                    r.HasFlag(TBuildFlag::EnableOnlyFailLocally);
         }},
        {{"/buildcachereadonly", "/LimitBMData=1"},
         [](const R& r) {
             return r.BuildCacheReadOnly && r.HasFlag(TBuildFlag::OverrideUseBuildCacheReadOnly) &&
                    r.HasFlag(TBuildFlag::MonitorSuppressGraphs) &&
                    r.HasFlag(TBuildFlag::MonitorSuppressBars);
         }},
        {{"/maxcpus=8", "/pemode=1"},
         [](const R& r) {
             return r.OverrideMaxHelpersPerJob == 8 && r.OverridePredictedExecutionMode == 1;
         }},
    };
    for (const auto& c : cases) {
        const auto r = Build(c.Args);
        EXPECT_EQ(r.Failure, StartBuild) << c.Args[0] << r.Out;
        EXPECT_TRUE(c.Check(r.Console->BuildCommand)) << c.Args[0];
    }
}

TEST_F(RequestOptions, CommandModeOptions) {
    const struct {
        std::vector<std::string> Args;
        std::function<bool(const records::TBuildCommandPacket&)> Check;
    } cases[] = {
        {{"/injectbase=1000"}, [](const auto& r) { return r.InjectBase == 4096; }},
        {{"/injectbase=0"}, [](const auto& r) { return r.InjectBase == -1; }},
        {{"/injectbase=Default"}, [](const auto& r) { return r.InjectBase == -1; }},
        {{"/injectbase=cygwin"}, [](const auto& r) { return r.InjectBase == 0x61000000; }},
        {{"/rebuild", "/clean", "/keeporigjobsnum"},
         [](const auto& r) {
             return !r.HasFlag(TBuildFlag::Rebuild) && !r.HasFlag(TBuildFlag::Clean) &&
                    r.KeepNumOfJobs;
         }},
        {{"/RootTaskAware", "/RootTaskAware=no"},
         [](const auto& r) { return !r.HasFlag(TBuildFlag::RootTaskAware); }},
        {{"/RootTaskAware=1"}, [](const auto& r) { return r.HasFlag(TBuildFlag::RootTaskAware); }},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.Args;
        args.insert(args.begin(), "/COMMAND=make all");
        const auto r = Build(args, nullptr);
        EXPECT_EQ(r.Failure, StartBuild) << c.Args[0] << r.Out;
        EXPECT_TRUE(c.Check(r.Console->BuildCommand)) << c.Args[0];
        EXPECT_EQ(r.Console->BuildCommand.BuildClass, "make");
    }
    const auto hex = Build({"/COMMAND=make", "/injectbase=0x1000"}, nullptr);
    EXPECT_EQ(hex.Failure, "Invalid hexadecimal string: \"0x1000\"");
}

TEST_F(RequestOptions, Refusals) {
    const struct {
        std::vector<std::string> Args;
        std::string Out;
        std::string Failure;
    } cases[] = {
        {{"/sameos", "/maxwinver=10"},
         "Fatal Error: A /SAMEOS cannot be specified with /MINWINVER, /MAXWINVER\r\n",
         ""},
        {{"/minwinver=11"},
         "Fatal Error: Invalid/conflicting options specified: minwinver=11\r\n",
         ""},
        {{"/loglevel=verbose"},
         "Fatal Error: Invalid/conflicting options specified: loglevel=verbose\r\n",
         ""},
        {{"/maxcpus=abc"},
         "Fatal Error: Invalid/conflicting options specified: maxcpus=abc\r\n",
         ""},
        {{"/RootTaskAware"},
         "Fatal Error: Invalid/conflicting options specified: RootTaskAware\r\n",
         ""},
        {{"/pemode=-1"}, "Fatal Error: The /PEMODE parameter value is invalid.\r\n", ""},
        {{"/dumpsourcefiles"},
         "Fatal Error: Incorrect /DUMPSOURCEFILES syntax. Filename expected.\r\n",
         ""},
        {{"/DUMPSOURCEFILES="},
         "Fatal Error: Incorrect /DUMPSOURCEFILES syntax. Filename expected.\r\n",
         ""},
        {{"/morveklink", "/nomorveklink"},
         "",
         "Cannot specifiy /MORVEKLINK=ON and /MORVEKLINK=OFF in the same command line"},
        {{"/preset=x", "/prj=a"},
         "",
         "/PRESET conflicts with other options specifying projects/configurations."},
        {{"/vsversion=vc9"}, "", StartBuild}, // taken by the build target
    };
    for (const auto& c : cases) {
        const auto r = Build(c.Args);
        EXPECT_EQ(r.Out, c.Out) << c.Args[0];
        EXPECT_EQ(r.Failure, c.Failure) << c.Args[0];
        EXPECT_EQ(r.ExitCode, 3);
    }
    // A job file or a Visual Studio file in the wrong mode names this program.
    WriteFile("job.xml", "");
    const auto job = Run({"/nologo", "job.xml"}, true);
    EXPECT_TRUE(job.Out.starts_with("Fatal Error: For Reda Duruzo builds, please use twConsole "
                                    "instead of "));
}

TEST_F(RequestOptions, QuickValidateWarnsWithoutRebuild) {
    auto r = Build({"/quickvalidate"});
    EXPECT_EQ(r.Out, "Warning: Using '/quickvalidate' feature without '/rebuild' command might "
                     "lead to undefined behaviour.\r\n");
    EXPECT_TRUE(r.Console->BuildCommand.HasFlag(TBuildFlag::QuickValidateBuild));
    EXPECT_EQ(r.Console->BuildCommand.OverrideLogLevel, 0);
    r = Build({"/quickvalidate", "/rebuild"});
    EXPECT_EQ(r.Out, "");
}

TEST_F(RequestOptions, LogFile) {
    auto r = Build({"/log", "/title=T"});
    const std::string log = ReadFile(Path("MV_app.log"));
    EXPECT_TRUE(log.starts_with("-")) << log;
    EXPECT_NE(log.find("Build Log"), std::string::npos);
    EXPECT_EQ(r.Console->LogFileName, Path("MV_app.log"));

    r = Build({"/log=logs/deep/$(Title)", "/title=Nightly", "/silent"});
    EXPECT_TRUE(std::filesystem::exists(Path("logs/deep/Nightly.log")));
    EXPECT_EQ(r.Out, "Nightly\r\n\r\n"); // the title comes before /SILENT and the log

    WriteFile("blocker", "");
    r = Build({"/log=blocker/x.log"});
    EXPECT_TRUE(r.Failure.starts_with("Unable to create log file directory: " + Path("blocker") +
                                      "\r\nFailed to create directory (" + Path("blocker") + "): "))
        << r.Failure;
}

TEST_F(RequestOptions, MonitorAndProfilePathsAreAbsolute) {
    const auto r = Build({"/mon=", "/profile=sub/p.xml"});
    EXPECT_EQ(r.Console->BuildCommand.MonitorFilename, dir.string());
    EXPECT_EQ(r.Console->BuildCommand.ProfileFilename, Path("sub/p.xml"));
}

using ProjectSelection = ConsoleTest;

std::vector<std::string> Entries(const records::TBuildCommandPacket& request) {
    std::vector<std::string> entries;
    for (int i = 0; i < request.ActiveProjects.Count(); ++i) {
        const auto& p = request.ActiveProjects[i];
        entries.push_back(p.Name + "|" + p.Config + "|" + p.RelativePath_Optional + "|" +
                          p.MSBuildName);
    }
    return entries;
}

TEST_F(ProjectSelection, Cases) {
    CopyFixtures();
    const std::string zeta = Path("src/Zeta.vcproj");
    const std::string alpha = Path("src/alpha.vcproj");
    const struct {
        std::vector<std::string> Args;
        std::vector<std::string> Entries;
    } cases[] = {
        {{"app.sln", "/cfg=Debug|Win32"},
         {"Alpha|Debug|Win32|" + alpha + "|", "Zeta|Debug|Win32|" + zeta + "|"}},
        {{"app.sln", "/build", "Release|Win32"}, {"Alpha|Release|Win32|" + alpha + "|"}},
        {{"app.sln", "/prj=a,b", "/cfg=Debug,Release"},
         {"a|Debug||", "b|Debug||", "a|Release||", "b|Release||"}},
        {{"app.sln", "/prj=a"}, {"a|||"}},
        {{"app.sln", "/build", "Debug", "/project", "src/Zeta.vcproj", "/projectconfig",
          "Debug|x64"},
         {"Zeta|Debug|x64||"}},
        {{"app.sln", "/make", "app - Debug", "lib|Release", "/prj=x"},
         {"x|||", "app|Debug||", "lib|Release||"}},
        {{"app.sln", "/preset=NIGHTLY"},
         {"Zeta|Debug|x64||", "Beta|Profile|x64||", "Alpha|Release|x64|src/alpha.vcproj|alpha",
          "Zeta|Release|x64||"}},
        {{"app.sln", "/preset=Empty"}, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.Args;
        args.insert(args.begin(), "/nologo");
        const auto r = Run(args, true);
        EXPECT_EQ(r.Failure, StartBuild) << c.Args[1] << r.Out;
        EXPECT_EQ(Entries(r.Console->BuildCommand), c.Entries) << c.Args[1];
    }
}

TEST_F(ProjectSelection, Refusals) {
    CopyFixtures();
    auto r = Run({"/nologo", "app.sln", "/cfg=Debug|Win32,Release|Win32"}, true);
    EXPECT_EQ(r.Failure, "Only one Solution Configuration may be specified. To specify several "
                         "project configurations, add the \"/prj\" option to your Ravelcon "
                         "command line.");
    r = Run({"/nologo", "app.sln", "/preset=Weekly"}, true);
    EXPECT_EQ(r.Failure, "Failed to load build preset from file: " + Path("app.mv_preset") +
                             "\r\nPreset not found: Weekly\r\n\r\nAvailable preset(s): Nightly, "
                             "Empty, nightly");
    std::filesystem::copy_file(Path("app.sln"), Path("wrongroot.sln"));
    r = Run({"/nologo", "wrongroot.sln", "/preset=x"}, true);
    EXPECT_EQ(r.Failure, "Failed to load build preset from file: " + Path("wrongroot.mv_preset") +
                             "\r\nXML child node not found: Presets");
    std::filesystem::copy_file(Path("app.sln"), Path("nopreset.sln"));
    r = Run({"/nologo", "nopreset.sln", "/preset=x"}, true);
    EXPECT_EQ(r.Failure, "Failed to load build preset from file: " + Path("nopreset.mv_preset") +
                             "\r\nPreset file not found: " + Path("nopreset.mv_preset"));
}

TEST_F(ProjectSelection, WorkspaceDefaultsToItsOwnName) {
    WriteFile("game.dsw", "");
    const auto r = Run({"/nologo", "game.dsw"}, true);
    EXPECT_EQ(r.Out, "Warning: Project to build (/PRJ) not specified. Defaulting to \"game\".\r\n");
    EXPECT_EQ(Entries(r.Console->BuildCommand), (std::vector<std::string>{"game|||"}));
    EXPECT_TRUE(r.Console->BuildCommand.HasFlag(TBuildFlag::EntireSolution));
}

TEST_F(ProjectSelection, DumpSourceFiles) {
    CopyFixtures();
    const auto r = Run({"/nologo", "app.sln", "/dumpsourcefiles=sources.txt"}, true);
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Failure;
    EXPECT_EQ(r.Out, "Loading workspace/solution...\r\n"
                     "Warning: Failed to load project: Modern\r\n  Unknown project type\r\n"
                     "3 source filenames written to sources.txt\r\n");
    EXPECT_EQ(ReadFile(Path("sources.txt")), Path("src/alpha.c") + "\r\n" + Path("src/zeta.cpp") +
                                                 "\r\n" + Path("shared/util.CC") + "\r\n");
}

} // namespace
