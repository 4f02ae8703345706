// Job documents through twconsole, with the real agent and build system of a private
// installation: real tools, real files, the console's output and exit code.
#include "Installation.h"
#include "ProcessRunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

std::string Twconsole() {
    return install.Bin + "/twconsole";
}

// The environment every test document starts with: the shell and the C tools.
const std::string Tools = "<Environment Name=\"Unix\">\n"
                          "  <Tool Name=\"sh\" Filename=\"sh\" Params=\"-c\"/>\n"
                          "  <Tool Name=\"cc\" Filename=\"cc\" Params=\"-c -O1\"/>\n"
                          "  <Tool Name=\"ar\" Filename=\"ar\" Params=\"rcs\"/>\n"
                          "  <Tool Name=\"ld\" Filename=\"cc\"/>\n"
                          "  <Tool Name=\"echo\" Filename=\"echo\"/>\n"
                          "</Environment>\n";

std::string Document(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Build FormatVersion=\"1\">\n" + Tools +
           body + "</Build>\n";
}

// A shell task: `script` in double quotes (no quotes or "<&>" inside).
std::string Sh(const std::string& name, const std::string& script, const std::string& extra = "") {
    return "  <Task Name=\"" + name + "\" Tool=\"sh\" Params=\"&quot;" + script + "&quot;\"" +
           (extra.empty() ? "" : " " + extra) + "/>\n";
}

class JobDocumentE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetUpInstallation("job-e2e", {RAVELCON_BINARY, TWCONSOLE_BINARY, AGENT_BINARY},
                          {VARIDADEZIZ_BINARY});
    }
    static void TearDownTestSuite() { TearDownInstallation(); }
    void SetUp() override {
        WriteRegistry();
        dir = install.Root + "/work-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = dir + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        WriteFile(path, text);
        return path;
    }
    TProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), "/nologo");
        return RunProgram(Twconsole(), args, {}, dir);
    }
    bool Exists(const std::string& name) const { return fs::exists(dir + "/" + name); }

    std::string dir;
};

// Three projects, a dozen sources: two libraries and a program, built by the document
// and by make in another folder from the same sources; every output is the same.
TEST_F(JobDocumentE2E, CompilesAndLinksLikeMake) {
    TAgent agent;
    std::map<std::string, std::string> sources;
    std::string body;
    std::string makefile = "all: app/app\n";
    const std::vector<std::string> projects = {"alpha", "beta", "app"};
    for (const std::string& project : projects) {
        std::string objects;
        body += "<Project Name=\"" + project + "\" WorkingDir=\"" + project + "\">\n";
        for (int i = 1; i <= 4; ++i) {
            const std::string stem = project + std::to_string(i);
            std::string code;
            if (project == "app" && i == 1) {
                code = "#include <stdio.h>\nint alpha_sum(void); int beta_sum(void);\n"
                       "int app_sum(void);\nint main(void) { printf(\"%d %d %d\\n\", "
                       "alpha_sum(), beta_sum(), app_sum()); return 0; }\n";
            } else if (i == 1) {
                code = "int " + project + "2(void); int " + project + "3(void); int " + project +
                       "4(void);\nint " + project + "_sum(void) { return " + project + "2() + " +
                       project + "3() + " + project + "4(); }\n";
            } else {
                code = "int " + stem + "(void) { return " + std::to_string(i * 7) + "; }\n";
            }
            if (project == "app" && i == 2) {
                code += "int app3(void); int app4(void);\nint app_sum(void) { return app2() + "
                        "app3() + app4(); }\n";
            }
            sources[project + "/" + stem + ".c"] = code;
            body += "  <Task Name=\"" + stem + ".o\" Tool=\"cc\" SourceFile=\"" + stem +
                    ".c\" Params=\"" + stem + ".c -o " + stem + ".o\"/>\n";
            objects += (objects.empty() ? "" : " ") + stem + ".o";
            makefile += project + "/" + stem + ".o: " + project + "/" + stem + ".c\n\tcd " +
                        project + " && cc -c -O1 " + stem + ".c -o " + stem + ".o\n";
        }
        if (project == "app") {
            body += "  <Task Name=\"link\" Caption=\"Link app\" Tool=\"ld\" "
                    "DependsOn=\"app1.o;app2.o, app3.o;app4.o;alpha;beta\" Params=\"" +
                    objects + " ../alpha/libalpha.a ../beta/libbeta.a -o app\"/>\n";
            makefile += "app/app: app/app1.o app/app2.o app/app3.o app/app4.o alpha/libalpha.a "
                        "beta/libbeta.a\n\tcd app && cc " +
                        objects + " ../alpha/libalpha.a ../beta/libbeta.a -o app\n";
        } else {
            body += "  <Task Name=\"lib" + project + ".a\" Tool=\"ar\" DependsOn=\"" + project +
                    "1.o," + project + "2.o," + project + "3.o," + project + "4.o\" Params=\"lib" +
                    project + ".a " + objects + "\"/>\n";
            std::string prerequisites;
            for (int i = 1; i <= 4; ++i) {
                prerequisites += " " + project + "/" + project + std::to_string(i) + ".o";
            }
            makefile += project + "/lib" + project + ".a:" + prerequisites + "\n\tcd " + project +
                        " && ar rcs lib" + project + ".a " + objects + "\n";
        }
        body += "</Project>\n";
    }
    const std::string makeDir = dir + "/by-make";
    for (const auto& [name, code] : sources) {
        Write("job/" + name, code);
        Write("by-make/" + name, code);
    }
    Write("by-make/Makefile", makefile);
    Write("job/build.xml", Document(body));

    const TProcessResult r = Run({"job/build.xml"});
    ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    const TProcessResult made = RunProgram("/usr/bin/make", {"-s", "-C", makeDir}, {}, makeDir);
    ASSERT_EQ(made.ExitCode, 0) << made.Out << made.Err;
    std::vector<std::string> outputs = {"app/app", "alpha/libalpha.a", "beta/libbeta.a"};
    for (const auto& [name, code] : sources) {
        outputs.push_back(name.substr(0, name.size() - 2) + ".o");
    }
    for (const std::string& output : outputs) {
        SCOPED_TRACE(output);
        ASSERT_TRUE(fs::exists(dir + "/job/" + output));
        EXPECT_EQ(ReadFile(dir + "/job/" + output), ReadFile(makeDir + "/" + output));
    }
    EXPECT_EQ(RunProgram(dir + "/job/app/app", {}).Out, "63 63 63\n");
}

// The compile tasks of a document go through the build cache as a make build's do: a
// second run restores every one of them, and the program is the same.
TEST_F(JobDocumentE2E, CompileTasksAreRestoredFromTheBuildCache) {
    if (RunProgram("/bin/sh", {"-c", "command -v ccache"}).ExitCode != 0) {
        GTEST_SKIP() << "ccache is not installed (scripts/setup.sh)";
    }
    fs::create_directories(install.Folder + "/resources");
    fs::copy_file(std::string(RESOURCES_DIR) + "/DefaultBuildCacheProfile.xml",
                  install.Folder + "/resources/DefaultBuildCacheProfile.xml",
                  fs::copy_options::overwrite_existing);
    // The local store only: no service of the agent.
    WriteFile(install.Folder + "/resources/buildcache_service_config.json",
              "{\"fileSystem\": {\"cacheDirectoryLocation\": "
              "\"%PROGRAMDATA%\\\\Morvek\\\\BuildCache\"}}");
    const std::string cache = install.Root + "/var/Morvek/BuildCache";
    struct TRemove {
        std::string Path;
        ~TRemove() {
            std::error_code ec;
            fs::remove_all(Path, ec);
            fs::remove(install.Folder + "/resources/buildcache_service_config.json", ec);
        }
    } removeCache{cache};
    TAgent agent;
    std::string body = "<Project Name=\"app\" WorkingDir=\"app\">\n";
    std::string objects;
    for (int i = 1; i <= 3; ++i) {
        const std::string stem = "part" + std::to_string(i);
        Write("app/" + stem + ".c",
              "int " + stem + "(void) { return " + std::to_string(i * 5) + "; }\n");
        body += "  <Task Name=\"" + stem + ".o\" Tool=\"cc\" SourceFile=\"" + stem +
                ".c\" Params=\"" + stem + ".c -o " + stem + ".o\"/>\n";
        objects += " " + stem + ".o";
    }
    Write("app/main.c", "#include <stdio.h>\nint part1(void); int part2(void); int part3(void);\n"
                        "int main(void) { printf(\"%d\\n\", part1() + part2() + part3()); }\n");
    body += "  <Task Name=\"main.o\" Tool=\"cc\" Params=\"main.c -o main.o\"/>\n"
            "  <Task Name=\"link\" Tool=\"ld\" DependsOn=\"part1.o;part2.o;part3.o;main.o\" "
            "Params=\"main.o" +
            objects + " -o app\"/>\n</Project>\n";
    Write("build.xml", Document(body));

    const struct {
        const char* Run;
        const char* Says;
    } runs[] = {
        {"first", "Build cache: 0 of 4 tasks restored"},
        {"second", "Build cache: 4 of 4 tasks restored"},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.Run);
        for (const char* built : {"part1.o", "part2.o", "part3.o", "main.o", "app"}) {
            fs::remove(dir + "/app/" + built);
        }
        const TProcessResult r = Run({"build.xml", "/BUILDCACHELOCAL=ON"});
        ASSERT_EQ(r.ExitCode, 0) << r.Out << r.Err;
        EXPECT_TRUE(Contains(r.Out, run.Says)) << r.Out << r.Err;
        EXPECT_EQ(RunProgram(dir + "/app/app", {}).Out, "30\n");
    }
}

TEST_F(JobDocumentE2E, AFailingTaskStopsTheBuildOnlyWhenAsked) {
    TAgent agent;
    const struct {
        const char* Label;
        std::string Attribute;
        std::vector<std::string> Options;
        bool OtherRuns;
    } cases[] = {
        {"goes on", "", {}, true},
        {"task attribute", "StopOnErrors=\"true\"", {}, false},
        {"/STOPONERRORS", "", {"/STOPONERRORS"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        fs::remove_all(dir + "/marks");
        fs::create_directories(dir + "/marks");
        const std::string job =
            Write("fail.xml", Document("<Project Name=\"P\" WorkingDir=\"marks\">\n" +
                                       Sh("fail", "echo failing; exit 4", c.Attribute) +
                                       Sh("after", "touch after", "DependsOn=\"fail\"") +
                                       Sh("other", "touch other") + "</Project>\n"));
        std::vector<std::string> args = {"/MAXCPUS=1", job};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        const TProcessResult r = Run(args);
        EXPECT_NE(r.ExitCode, 0);
        EXPECT_NE(r.Out.find("failing\r\n"), std::string::npos) << r.Out;
        EXPECT_FALSE(Exists("marks/after"));
        EXPECT_EQ(Exists("marks/other"), c.OtherRuns);
        if (!c.OtherRuns) {
            EXPECT_NE(r.Err.find("The build stops on errors: fail failed."), std::string::npos)
                << r.Err;
        }
    }
}

TEST_F(JobDocumentE2E, SkipIfProjectFailedAndExitCodeLists) {
    TAgent agent;
    fs::create_directories(dir + "/marks");
    const std::string job = Write(
        "skip.xml",
        "<?xml version=\"1.0\"?>\n<Build FormatVersion=\"1\">\n<Environment Name=\"E\">\n"
        "  <Tool Name=\"sh\" Filename=\"sh\" Params=\"-c\"/>\n"
        "  <Tool Name=\"three\" Filename=\"sh\" Params=\"-c\" SuccessExitCodes=\"0;3\"/>\n"
        "</Environment>\n"
        "<Project Name=\"Failing\" WorkingDir=\"marks\">\n" +
            Sh("fail", "exit 1") + Sh("skipped", "touch skipped", "SkipIfProjectFailed=\"true\"") +
            Sh("runs", "touch runs") +
            "</Project>\n<Project Name=\"Fine\" WorkingDir=\"marks\">\n" +
            "  <Task Name=\"three\" Tool=\"three\" Params=\"&quot;touch three; exit 3&quot;\"/>\n" +
            Sh("fine", "touch fine", "SkipIfProjectFailed=\"true\" DependsOn=\"three\"") +
            "</Project>\n</Build>\n");
    const TProcessResult r = Run({"/MAXCPUS=1", job});
    EXPECT_EQ(r.ExitCode, 1) << r.Out << r.Err;
    EXPECT_FALSE(Exists("marks/skipped"));
    for (const char* mark : {"marks/runs", "marks/three", "marks/fine"}) {
        EXPECT_TRUE(Exists(mark)) << mark;
    }
}

TEST_F(JobDocumentE2E, BadDocumentsRunNothing) {
    TAgent agent;
    const struct {
        const char* Label;
        std::string Body;
        std::string Error;
    } cases[] = {
        {"cycle",
         Sh("a", "touch ran", "DependsOn=\"c\"") + Sh("b", "touch ran", "DependsOn=\"a\"") +
             Sh("c", "touch ran", "DependsOn=\"b\""),
         ":11: Dependency cycle: a -> c -> b -> a"},
        {"unknown dependency", Sh("a", "touch ran") + Sh("b", "touch ran", "DependsOn=\"a;zz\""),
         ":12: <Task Name=\"b\">: unknown dependency \"zz\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Label);
        const std::string job =
            Write("bad.xml", Document("<Project Name=\"P\">\n" + c.Body + "</Project>\n"));
        const TProcessResult r = Run({job});
        EXPECT_EQ(r.ExitCode, 1);
        EXPECT_EQ(r.Err, job + c.Error + "\r\n");
        EXPECT_FALSE(Exists("ran"));
    }
}

// Ten thousand tasks with random dependencies: each prints its name once, after
// every task it depends on has printed its own.
TEST_F(JobDocumentE2E, TenThousandTasksRunOnceInOrder) {
    TAgent agent;
    std::mt19937 random(10000);
#ifdef __SANITIZE_ADDRESS__
    const int count = 1000; // every task is a process of the sanitized build system's
#else
    const int count = 10000;
#endif
    std::vector<std::vector<int>> depends(count);
    std::string body = "<Project Name=\"Many\" Tool=\"echo\">\n";
    for (int i = 0; i < count; ++i) {
        std::string list;
        const int n = i == 0 ? 0 : static_cast<int>(random() % 4);
        for (int d = 0; d < n; ++d) {
            const int on = static_cast<int>(random() % static_cast<unsigned>(i));
            depends[static_cast<std::size_t>(i)].push_back(on);
            list += (list.empty() ? "" : ";") + std::string("t") + std::to_string(on);
        }
        body += "  <Task Name=\"t" + std::to_string(i) + "\" Params=\"t" + std::to_string(i) +
                "\"" + (list.empty() ? "" : " DependsOn=\"" + list + "\"") + "/>\n";
    }
    const std::string job = Write("many.xml", Document(body + "</Project>\n"));
    const TProcessResult r = Run({job});
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    std::map<int, std::size_t> at;
    std::istringstream lines(r.Out);
    std::string line;
    for (std::size_t n = 0; std::getline(lines, line); ++n) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        ASSERT_TRUE(line.starts_with("t")) << line;
        ASSERT_TRUE(at.emplace(std::stoi(line.substr(1)), n).second) << line << " ran twice";
    }
    ASSERT_EQ(at.size(), static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        for (const int on : depends[static_cast<std::size_t>(i)]) {
            ASSERT_LT(at[on], at[i]) << "t" << i << " ran before t" << on;
        }
    }
}

// The console's watchdog (every 10 s) finds the build system's mutex where it is.
TEST_F(JobDocumentE2E, BuildsLongerThanTheWatchdogEnd) {
    TAgent agent;
    const std::string job =
        Write("long.xml", Document("<Project Name=\"P\">\n" + Sh("a", "sleep 11; echo slept") +
                                   "</Project>\n"));
    const TProcessResult r = Run({job});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, "slept\r\n");
    EXPECT_EQ(r.Err, "");
}

TEST_F(JobDocumentE2E, EachConsoleRefusesTheOthersFiles) {
    TAgent agent;
    const std::string job = Write(
        "job.xml", Document("<Project Name=\"P\">\n" + Sh("a", "touch ran") + "</Project>\n"));
    const TProcessResult refused = RunProgram(Ravelcon(), {"/nologo", job}, {}, dir);
    EXPECT_EQ(refused.Out,
              "Fatal Error: For Reda Duruzo builds, please use twConsole instead of ravelcon\r\n");
    EXPECT_EQ(refused.ExitCode, 3);
    EXPECT_FALSE(Exists("ran"));
    const std::string sln = Write("app.sln", "\r\nMicrosoft Visual Studio Solution File, Format "
                                             "Version 12.00\r\n# Visual Studio Version 17\r\n");
    const TProcessResult vs = Run({sln});
    EXPECT_EQ(
        vs.Out,
        "Fatal Error: For Visual Studio builds, please use Ravelcon instead of twconsole\r\n");
    EXPECT_EQ(vs.ExitCode, 3);
    // Its own: the document, a wrapped script, a command.
    EXPECT_EQ(Run({job}).ExitCode, 0);
    EXPECT_TRUE(Exists("ran"));
    const std::string script = Write("run.bat", "echo from the script\n");
    EXPECT_EQ(Run({script}).Out, "from the script\r\n");
    EXPECT_EQ(Run({"/COMMAND=echo from the command"}).Out, "from the command\r\n");
}

} // namespace
