#include "ConsoleFixture.h"

#include "core/Errors.h"
#include "core/OptionFile.h"

using testing_console::ConsoleTest;

namespace {

std::vector<std::string> OptionsOf(const console::TGridConsole& c) {
    return c.Options.Strings();
}

class ParseCommandLine : public ConsoleTest {
protected:
    // Parses "ravelcon <args>" without running the rest of the sequence.
    std::unique_ptr<console::TGridConsole> Parse(std::vector<std::string> args) {
        args.insert(args.begin(), "ravelcon");
        std::vector<const char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        platform::SetProcessArguments(static_cast<int>(argv.size()), argv.data());
        auto c =
            std::make_unique<console::TGridConsole>(console::ConsoleTitle, console::VisualStudio);
        expanded = c->ParseCommandLine();
        return c;
    }
    bool expanded = false;
};

TEST_F(ParseCommandLine, VisualStudioCompatibilitySyntax) {
    auto c = Parse({"app.sln", "/build", "Release|x64", "/project", "sub/dir/lib.vcxproj",
                    "/projectconfig", "Debug|Win32", "/out", "log.txt", "/make", "t1", "t2"});
    EXPECT_EQ(c->BuildCommand.PrimaryFilename, "app.sln");
    EXPECT_EQ(c->Configurations, "Release|x64");
    EXPECT_EQ(c->Projects, "lib");
    EXPECT_EQ(c->ProjectConfiguration, "Debug|Win32");
    EXPECT_EQ(OptionsOf(*c), (std::vector<std::string>{"build", "project", "projectconfig",
                                                       "out=log.txt", "make"}));
    EXPECT_EQ(c->MakeTargets.Strings(), (std::vector<std::string>{"t1", "t2"}));
    EXPECT_EQ(c->PositionalFileCount, 1);
    EXPECT_EQ(c->ArgumentCount, 12);
}

TEST_F(ParseCommandLine, BuildNeedsASolutionBeforeItOrDevenv) {
    auto c = Parse({"/build", "Release", "app.sln"});
    EXPECT_EQ(c->Configurations, "");
    EXPECT_EQ(c->PositionalFileCount, 2);

    c = Parse({"devenv", "/rebuild", "Release", "app.sln"});
    EXPECT_EQ(c->DevenvSyntax, 2);
    EXPECT_EQ(c->Configurations, "Release");
    EXPECT_EQ(OptionsOf(*c), (std::vector<std::string>{"rebuild"}));

    c = Parse({"MSDEV", "app.dsw"});
    EXPECT_EQ(c->DevenvSyntax, 1);
    EXPECT_EQ(c->PositionalFileCount, 1);

    c = Parse({"/out=x", "y"}); // only the bare /out takes the next argument
    EXPECT_EQ(c->BuildCommand.PrimaryFilename, "y");
}

TEST_F(ParseCommandLine, Modes) {
    EXPECT_EQ(Parse({"-command=make all"})->Modes, console::VisualStudio);
    EXPECT_EQ(Parse({"/COMMAND=make all"})->Modes, console::Command);
    EXPECT_EQ(Parse({"/command"})->Modes, console::VisualStudio);
    EXPECT_EQ(Parse({"/test=gtest"})->Modes, console::VisualStudio | console::Test);
    EXPECT_EQ(Parse({"/Command=x", "/test=y"})->Modes, console::Command);
}

TEST_F(ParseCommandLine, AbsolutePathsArePositionalNotOptions) {
    auto c = Parse({"/home/u/app.sln", "/out=/tmp/x.log", "/nologo"});
    EXPECT_EQ(c->BuildCommand.PrimaryFilename, "/home/u/app.sln");
    EXPECT_EQ(OptionsOf(*c), (std::vector<std::string>{"out=/tmp/x.log", "nologo"}));
}

TEST_F(ParseCommandLine, OptionFiles) {
    WriteFile("opts.rsp", "/SETENV=\"A=1 2\"\r\n@inner.rsp app.sln\n\n  -nologo");
    WriteFile("inner.rsp", "/never");
    auto c = Parse({"@opts.rsp", "/x"});
    EXPECT_TRUE(expanded);
    EXPECT_EQ(c->ArgumentCount, 2);
    EXPECT_EQ(OptionsOf(*c), (std::vector<std::string>{"x", "SETENV=A=1 2", "nologo"}));
    // The inner "@" is not expanded: it stays a positional file name.
    EXPECT_EQ(c->PositionalFileCount, 2);
    EXPECT_EQ(c->BuildCommand.PrimaryFilename, "app.sln");

    WriteFile("bom.rsp", "\xEF\xBB\xBF/nologo /silent");
    c = Parse({"@bom.rsp"});
    EXPECT_EQ(OptionsOf(*c), (std::vector<std::string>{"silent"}));
    EXPECT_EQ(c->BuildCommand.PrimaryFilename, "\xEF\xBB\xBF/nologo");
}

TEST_F(ParseCommandLine, UnreadableOptionFilesFail) {
    // A device without end and a file one byte over the limit are refused, not read
    // until memory runs out.
    WriteFile("big.rsp", std::string(core::MaxOptionFileSize + 1, ' '));
    for (const std::string& arg : {std::string("@missing.rsp"), std::string("@"),
                                   std::string("@/dev/zero"), std::string("@big.rsp")}) {
        try {
            Parse({arg});
            ADD_FAILURE() << arg;
        } catch (const core::Exception& e) {
            EXPECT_TRUE(
                std::string(e.what()).starts_with("Failed to read file: " + arg.substr(1) + "\r\n"))
                << e.what();
        }
    }
    try {
        Parse({"@/dev/zero"});
    } catch (const core::Exception& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Failed to read file: /dev/zero\r\nAn option file may hold "
                  "at most 16777216 bytes.");
    }
    // At the limit the file is still read.
    WriteFile("limit.rsp", std::string(core::MaxOptionFileSize - 6, ' ') + "/a=1\r\n");
    const auto c = Parse({"@limit.rsp"});
    EXPECT_EQ(OptionsOf(*c), (std::vector<std::string>{"a=1"}));
}

TEST_F(ParseCommandLine, ExtraArgumentsKeepTheirQuotes) {
    platform::SetEnvVar("twConsoleParams", "/title=\"Night ly\"  /nologo");
    auto c = Parse({"app.sln"});
    EXPECT_EQ(OptionsOf(*c), (std::vector<std::string>{"title=\"Night ly\"", "nologo"}));
    EXPECT_EQ(c->ArgumentCount, 3);
}

TEST_F(ParseCommandLine, HugeInputs) {
    const std::string big(1 << 20, 'x');
    WriteFile("big.rsp", "/title=" + big + "\n" + std::string(1 << 20, '"'));
    auto c = Parse({"@big.rsp"});
    EXPECT_EQ(c->Options[0].size(), big.size() + 6);

    std::vector<std::string> many(100000, "/o");
    c = Parse(many);
    EXPECT_EQ(c->Options.Count(), 100000);
}

} // namespace
