// Runs the real ravelcon binary.
#include "ProcessRunner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

constexpr const char* NoAgent =
    "Processing is unable to continue due to the Agent Service is not running.\r\n";

class Ravelcon : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ravel_e2e_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    e2e::TProcessResult Run(const std::vector<std::string>& args,
                            std::map<std::string, std::string> env = {}) {
        env.try_emplace("TavrixBuildContext", e2e::RemoveVariable);
        env.try_emplace("twConsoleParams", e2e::RemoveVariable);
        return e2e::RunProgram(RAVELCON_BINARY, args, env, dir.string());
    }
    void WriteFile(const std::string& name, const std::string& bytes) {
        std::FILE* f = std::fopen((dir / name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::string ReadFile(const std::string& name) {
        std::string data;
        if (std::FILE* f = std::fopen((dir / name).c_str(), "rb")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
                data.append(buffer, n);
            }
            std::fclose(f);
        }
        return data;
    }
    std::filesystem::path dir;
};

TEST_F(Ravelcon, NoArgumentsShowsBannerAndHelp) {
    const auto r = Run({});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_EQ(r.Err, "");
    EXPECT_TRUE(r.Out.starts_with("\r\n-")) << r.Out;
    EXPECT_NE(r.Out.find("\r\nBuild Acceleration Console 10.24.2 (build 14861)\r\n"),
              std::string::npos);
    EXPECT_NE(r.Out.find("\r\nUsage:\r\n        ravelcon <workspace.dsw>  [options]\r\n"),
              std::string::npos);
    EXPECT_NE(r.Out.find("\r\n                 [/project <project> [/projectconfig "
                         "<projectconfig>]]\r\n"),
              std::string::npos);
    EXPECT_TRUE(r.Out.ends_with("(0=disabled, 1=build, 2=rebuild)\r\n"));
}

TEST_F(Ravelcon, NestedJobIsRefusedFirst) {
    const auto r = Run({"/exitcodebase=5", "/?"}, {{"TavrixBuildContext", "1"}});
    EXPECT_EQ(r.Out, "Fatal Error: An Morvek distributed job cannot be started from within "
                     "another distributed job.\r\n");
    EXPECT_EQ(r.ExitCode, 8);
}

TEST_F(Ravelcon, WithoutAgentTheRunStopsAtTheAgentCheck) {
    auto r = Run({"/nologo", "app.sln", "/build", "Release|x64"});
    EXPECT_EQ(r.Out, NoAgent);
    EXPECT_EQ(r.ExitCode, 3);
    // The exit code is reported modulo 256: 10000 + 3 = 10003 ends as 19.
    r = Run({"/nologo", "/exitcodebase=abc", "app.sln"});
    EXPECT_EQ(r.ExitCode, 10003 % 256);
}

TEST_F(Ravelcon, OutFile) {
    auto r = Run({"/nologo", "/out", "a/b/out.txt", "app.sln"});
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(ReadFile("a/b/out.txt"), NoAgent);
    WriteFile("file", "");
    r = Run({"/nologo", "/out=file/x/out.txt", "app.sln"});
    EXPECT_EQ(r.Out, "Fatal Error: The path specified with /OUT parameter is invalid.\r\n");
    EXPECT_EQ(r.ExitCode, 3);
}

TEST_F(Ravelcon, OptionFiles) {
    WriteFile("opts.rsp", "/nologo /title=\"Nightly build\"\n@other.rsp");
    auto r = Run({"@opts.rsp", "app.sln"});
    EXPECT_EQ(r.Out, std::string("Nightly build\r\n\r\n") + NoAgent);

    WriteFile("bom.rsp", "\xEF\xBB\xBF/nologo");
    r = Run({"@bom.rsp"});
    EXPECT_TRUE(r.Out.starts_with("\r\n-")) << r.Out; // the marked /nologo is no option

    r = Run({"@missing.rsp"});
    EXPECT_TRUE(r.Out.starts_with("Fatal Error: Failed to read file: missing.rsp\r\n")) << r.Out;
    EXPECT_EQ(r.ExitCode, 3);
}

TEST_F(Ravelcon, CommandModeHelp) {
    const auto r = Run({"/nologo", "/COMMAND=make", "/?"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.starts_with("Usage:\r\nGeneral Options:\r\n"));
    const auto vs = Run({"/nologo", "-command=make", "/?"});
    EXPECT_TRUE(vs.Out.starts_with("Usage:\r\n        ravelcon"));
}

TEST_F(Ravelcon, AgentStatusWithoutAgent) {
    const auto r = Run({"/nologo", "/queryagentstatus"});
    EXPECT_EQ(r.ExitCode, 0);
    EXPECT_TRUE(r.Out.starts_with("Agent Services Status: not running\r\n"
                                  "Connectivity to Coordinator: not connected\r\n"
                                  "TUL Connection to Manager: Not connected ("))
        << r.Out;
}

TEST_F(Ravelcon, BuildOptionsAreCheckedBeforeTheAgent) {
    auto r = Run({"/nologo", "/pemode=-1", "app.sln"});
    EXPECT_EQ(r.Out, "Fatal Error: The /PEMODE parameter value is invalid.\r\n");
    EXPECT_EQ(r.ExitCode, 3);
    // The solution's configuration file adds its options after the command line's.
    WriteFile("app_Debug_x64.mv_config.rsp", "/buildcacheremoteserver=cache01:70000\r\n");
    r = Run({"/nologo", "app.sln", "/build", "Debug|x64"});
    EXPECT_EQ(r.Out, "Fatal Error: Remote cache server port is out of range\r\n");
    // ... unless an option file was given.
    WriteFile("opts.rsp", "/nologo");
    r = Run({"@opts.rsp", "app.sln", "/build", "Debug|x64"});
    EXPECT_EQ(r.Out, NoAgent);
}

TEST_F(Ravelcon, BadInputIsHandled) {
    const std::vector<std::vector<std::string>> inputs = {
        {"/nologo", "bad\xFF\xFE utf8", "/title=\xC0\xAF"},
        {"/nologo", "\"unbalanced", "/x=\"", "\\\\\\\""},
        std::vector<std::string>(100000, "/nologo"),
        {"/nologo", std::string(100000, 'x')},
    };
    for (const auto& args : inputs) {
        const auto r = Run(args);
        EXPECT_EQ(r.ExitCode, 3) << args[1].substr(0, 40);
        EXPECT_TRUE(r.Out.ends_with(NoAgent)) << r.Out.substr(0, 200);
    }
}

} // namespace
