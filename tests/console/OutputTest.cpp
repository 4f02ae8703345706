#include "ConsoleFixture.h"

#include "proxy/OptionList.h"

using testing_console::ConsoleTest;

namespace {

class Output : public ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        console = std::make_unique<console::TGridConsole>(::console::ConsoleTitle,
                                                          ::console::VisualStudio);
        console->CurrentDir = dir.string();
        console->OptionsParsed = true;
    }
    std::unique_ptr<console::TGridConsole> console;
};

TEST_F(Output, SilentStillWritesTheLog) {
    console->OpenLogFile("build.log");
    console->Silent = true;
    ::testing::internal::CaptureStdout();
    console->WriteLine("line one");
    console->WriteOutputEvent("", "oops");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    console.reset();
    const std::string log = ReadFile(Path("build.log"));
    EXPECT_TRUE(log.ends_with("\r\n\r\nline one\r\noops\r\n")) << log;
}

TEST_F(Output, LogHeaderAlignsTheDateWithTheTitle) {
    console->Title = std::string(50, 'T');
    console->OpenLogFile("sub.log");
    console.reset();
    const std::string log = ReadFile(Path("sub.log"));
    const std::string rule(50, '-');
    ASSERT_TRUE(log.starts_with(rule + "\r\n" + std::string(50, 'T') + "\r\n" + rule + "\r\n"));
    const std::string second = log.substr(3 * 2 + 150);
    EXPECT_TRUE(second.starts_with("Build Log" + std::string(22, ' ') + "20")) << second;
    EXPECT_EQ(second.find("\r\n"), 50u);
}

TEST_F(Output, OutFileIsReplacedAtTheFirstLine) {
    WriteFile("out.txt", "old content that must go");
    console->OutFileName = "out.txt";
    console->WriteLine("before ready"); // not ready: standard output
    console->OutReady = true;
    console->WriteLine("first");
    console->WriteOutputEvent("", "to stderr");
    console.reset();
    EXPECT_EQ(ReadFile(Path("out.txt")), "first\r\nto stderr\r\n");
}

TEST_F(Output, OutputEvents) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    console->WriteOutputEvent("", "only error");
    console->WriteOutputEvent("caf\xC3\xA9", "");
    console->WriteOutputEvent("bad \xFF", "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "caf\xC3\xA9\r\n\r\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "only error\r\n");
}

TEST_F(Output, TitleMacros) {
    std::string name = "$(Title)-$[Title]-${Title}.txt";
    console->BuildCommand.PrimaryFilename = "/src/app.sln";
    console->ExpandTitleMacros(name);
    EXPECT_EQ(name, "App-App-App.txt");
    console->BuildCommand.Caption = "Nightly";
    name = "$(title)$(Title).txt"; // macros match with case
    console->ExpandTitleMacros(name);
    EXPECT_EQ(name, "$(title)Nightly.txt");
}

TEST(OptionList, IntegersAndLeftovers) {
    int value = 0;
    for (const char* good : {"0", "-12", "+7", "2147483647", "-2147483648"}) {
        EXPECT_TRUE(build::TryParseInt32(good, value)) << good;
    }
    for (const char* bad : {"", "+", "-", "1a", " 1", "2147483648", "0x10", "+-1"}) {
        EXPECT_FALSE(build::TryParseInt32(bad, value)) << bad;
    }
    core::TStringListEx options;
    for (const char* entry : {"plain", "tab\there", "", "q\"q"}) {
        options.Add(entry);
    }
    // The entry of a bare "/" is named, not left blank.
    EXPECT_EQ(build::JoinLeftoverOptions(options), "plain,\"tab\there\",/,\"q\"\"q\"");
}

} // namespace
