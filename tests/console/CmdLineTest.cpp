#include "console/CmdLineParser.h"
#include "core/CmdLineTokenizer.h"
#include "core/OptionFile.h"
#include "platform/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <unistd.h>

using console::TCmdLineParser;
using core::TCRTCmdLineTokenizer;

namespace {

std::vector<std::string> Tokens(std::string_view text) {
    return TCRTCmdLineTokenizer(text).Arguments().Strings();
}

TEST(CRTTokenizer, BackslashAndQuoteRules) {
    const struct {
        std::string Text;
        std::vector<std::string> Expected;
    } cases[] = {
        {R"(a b	c)", {"a", "b", "c"}},
        {R"("a b" c)", {"a b", "c"}},
        {R"(a\\\"b)", {R"(a\"b)"}},           // three backslashes: one backslash, literal quote
        {R"("a\\\\"b c")", {R"(a\\b)", "c"}}, // four: two backslashes, quote toggles
        {R"(a\\b\c)", {R"(a\\b\c)"}},         // backslashes not before a quote are literal
        {R"("say ""hi"" now")", {R"(say "hi" now)"}},
        {R"("" x)", {"", "x"}},
        {R"("unbalanced run)", {"unbalanced run"}},
        {R"(trailing\)", {R"(trailing\)"}},
        {std::string("cut\0here", 8), {"cut"}},
        {"  \t ", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Tokens(c.Text), c.Expected) << c.Text;
    }
}

TEST(CRTTokenizer, TokenizeAppends) {
    TCRTCmdLineTokenizer tokenizer;
    tokenizer.Tokenize("a b");
    tokenizer.Tokenize("\"c d\"");
    EXPECT_EQ(tokenizer.Arguments().Strings(), (std::vector<std::string>{"a", "b", "c d"}));
}

// The command line rebuilt from argv must tokenize back to argv exactly.
TEST(CommandLine, RebuiltLineTokenizesBackToArgv) {
    const std::vector<std::vector<std::string>> fixed = {
        {"prog", "", "a b", "/title=My Build\\", "x\"y", "\\\\server\\share\\", "tab\there"},
        {"/opt/my prog/ravelcon", "/out=dir with space/x.txt", "-setenv=A=\"1 2\"", "\\\""},
        {"p", "line\nbreak", "cr\rhere", "@file name.rsp", "==", "/=x y"},
        // Odd quotes, backslashes before quotes and trailing backslashes.
        {"p", "/title=a \"b", "\"", "/x=\\\"", "/y=a\\\\\"b c", "/z=dir\\", "/w=\"\"\""},
    };
    for (const auto& args : fixed) {
        EXPECT_EQ(Tokens(platform::BuildCommandLine(args)), args);
    }
    std::mt19937 random(1234);
    const std::string alphabet = "ab \t\\\"=/-\n@";
    for (int round = 0; round < 2000; ++round) {
        std::vector<std::string> args(1 + random() % 5);
        for (std::string& arg : args) {
            arg.resize(random() % 8);
            for (char& c : arg) {
                c = alphabet[random() % alphabet.size()];
            }
        }
        ASSERT_EQ(Tokens(platform::BuildCommandLine(args)), args)
            << platform::BuildCommandLine(args);
    }
}

TEST(CommandLine, OptionValuesAreQuotedAfterTheirName) {
    EXPECT_EQ(platform::QuoteArgument("/title=My Build"), "/title=\"My Build\"");
    EXPECT_EQ(platform::QuoteArgument("plain"), "plain");
    EXPECT_EQ(platform::QuoteArgument("a b"), "\"a b\"");
}

// The title is read again from the process arguments exactly as given: no quote or
// backslash of a value is lost, and no argument after it is swallowed.
TEST(CmdLineParser, ProcessArgumentsKeepEveryCharacter) {
    const std::string titles[] = {
        "a \"b",      "\"",        "x\\\"y z",    "C:\\dir\\", "a b\\\\", "\"\"",
        "\"quoted\"", "tab\there", "@not a file", "",          "x=y=z",
    };
    for (const std::string& title : titles) {
        const std::string args[] = {"ravelcon", "/title=" + title, "/out=after", "-Title=second"};
        const char* argv[] = {args[0].c_str(), args[1].c_str(), args[2].c_str(), args[3].c_str()};
        platform::SetProcessArguments(4, argv);
        const TCmdLineParser parser = TCmdLineParser::FromProcessCommandLine();
        EXPECT_EQ(parser.GetValue("title", "none"), title) << title;
        EXPECT_EQ(parser.GetValue("out", "none"), "after") << title;
    }
    // Random arguments: each option's first value comes back exactly.
    std::mt19937 random(99);
    const std::string alphabet = "ab \t\\\"=";
    for (int round = 0; round < 500; ++round) {
        std::vector<std::string> args{"ravelcon"};
        std::map<std::string, std::string> expected;
        for (int i = 0, n = 1 + static_cast<int>(random() % 4); i < n; ++i) {
            std::string value(random() % 6, ' ');
            for (char& c : value) {
                c = alphabet[random() % alphabet.size()];
            }
            const std::string name = "o" + std::to_string(random() % 3);
            args.push_back("/" + name + "=" + value);
            expected.emplace(name, value);
        }
        std::vector<const char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        platform::SetProcessArguments(static_cast<int>(argv.size()), argv.data());
        const TCmdLineParser parser = TCmdLineParser::FromProcessCommandLine();
        for (const auto& [name, value] : expected) {
            ASSERT_EQ(parser.GetValue(name, "none"), value) << platform::ProcessCommandLine();
        }
    }
}

class CmdLineParserFiles : public ::testing::Test {
protected:
    void TearDown() override {
        for (const std::string& file : files) {
            std::filesystem::remove(file);
        }
    }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string path = (std::filesystem::temp_directory_path() /
                                  ("ravel_parser_" + std::to_string(::getpid()) + name))
                                     .string();
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        files.push_back(path);
        return path;
    }
    std::vector<std::string> files;
};

TEST(CmdLineParser, FirstValueWinsAndQuotesAreStripped) {
    TCmdLineParser parser;
    parser.SkipFirstToken = true;
    parser.Parse(R"(prog /title="C:\dir\" -Out=x.txt /title=second /flag "/quoted=1")");
    EXPECT_EQ(parser.GetValue("TITLE", "none"), R"(C:\dir\)");
    EXPECT_EQ(parser.GetValue("out", "none"), "x.txt");
    EXPECT_EQ(parser.GetValue("flag", "none"), "");
    EXPECT_EQ(parser.GetValue("quoted", "none"), "none");
    EXPECT_EQ(parser.GetValue("missing", "dflt"), "dflt");
}

TEST_F(CmdLineParserFiles, OptionFilesNestWithByteOrderMarks) {
    const std::string inner = Write("inner.rsp", std::string("\xFF\xFE/\0a\0=\0\x31\0", 10));
    const std::string outer = Write("outer.rsp", "\xEF\xBB\xBF/title=\"from file\"\r\n@\"" + inner +
                                                     "\"\n@/nonexistent/file.rsp");
    TCmdLineParser parser("@" + outer + " /title=later");
    EXPECT_EQ(parser.GetValue("title", ""), "from file");
    EXPECT_EQ(parser.GetValue("a", ""), "1");
}

TEST_F(CmdLineParserFiles, OversizeFilesAddNothing) {
    const std::string big = Write("big.rsp", "/big=1" + std::string(core::MaxOptionFileSize, ' '));
    TCmdLineParser parser("@/dev/zero @" + big + " /title=x");
    EXPECT_EQ(parser.GetValue("title", ""), "x");
    EXPECT_EQ(parser.GetValue("big", "none"), "none");
}

TEST_F(CmdLineParserFiles, SelfReferenceDoesNotRecurseForever) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("ravel_parser_" + std::to_string(::getpid()) + "loop.rsp"))
                                 .string();
    Write("loop.rsp", "/x=1 @" + path);
    TCmdLineParser parser("@" + path);
    EXPECT_EQ(parser.GetValue("x", ""), "1");
}

} // namespace
