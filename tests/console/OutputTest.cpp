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
    // A malformed byte spoils its own line only, whatever lines share the event.
    console->WriteOutputEvent("bad \xFF", "");
    console->WriteOutputEvent("1\r\n\xC3\r\n3", "");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "caf\xC3\xA9\r\nbad \xEF\xBF\xBD\r\n1\r\n\xEF\xBF\xBD\r\n3\r\n");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "only error\r\n");
}

TEST_F(Output, AFailingFileIsReportedOnceAndTheRunGoesOn) {
    const struct {
        const char* Name;
        bool Log;
    } cases[] = {{"/OUT", false}, {"/LOG", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto console = std::make_unique<console::TGridConsole>(::console::ConsoleTitle,
                                                               ::console::VisualStudio);
        console->OptionsParsed = true;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        if (c.Log) {
            console->OpenLogFile("/dev/full");
        } else {
            console->OutFileName = "/dev/full";
            console->OutReady = true;
        }
        console->WriteLine("first");
        console->WriteOutputEvent("second", "third");
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(console->OutputLost);
        const std::string report = "Cannot write file \"/dev/full\". ";
        EXPECT_TRUE(err.starts_with(report)) << err;
        EXPECT_EQ(err.find(report, 1), std::string::npos) << err;
        EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
        if (c.Log) {
            // Without /OUT the lines still reach the standard handles.
            EXPECT_EQ(out, "first\r\nsecond\r\n");
            EXPECT_TRUE(err.ends_with("third\r\n")) << err;
        }
    }
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
