#include "core/ResponseFiles.h"
#include "core/ToolCommandLine.h"

#include <gtest/gtest.h>

#include <map>

using namespace core;

namespace {

using TWords = std::vector<std::string>;

TEST(ResponseFiles, SplitsLikeTheGnuTools) {
    const struct {
        const char* Text;
        TWords Words;
    } cases[] = {
        {"", {}},
        {"  \n\t ", {}},
        {"-c a.c", {"-c", "a.c"}},
        {"-c\r\n-o out.o\n", {"-c", "-o", "out.o"}},
        {"'a b' \"c d\"", {"a b", "c d"}},
        {"-DX=\"1 2\"", {"-DX=1 2"}},
        {"a\\ b c\\\\d", {"a b", "c\\d"}},
        {"''", {""}},
        {"'it\"s'", {"it\"s"}},
        {"'unterminated quote", {"unterminated quote"}},
        {"trailing\\", {"trailing\\"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitResponseFileText(c.Text), c.Words) << c.Text;
    }
}

// A reader over a table of files; counts the reads.
struct TFiles {
    std::map<std::string, std::string> Files;
    int Reads = 0;
    TResponseFileReader Reader() {
        return [this](const std::string& path) -> std::optional<std::string> {
            ++Reads;
            const auto it = Files.find(path);
            return it == Files.end() ? std::nullopt : std::optional(it->second);
        };
    }
};

TEST(ResponseFiles, ExpandsNestedFilesAndKeepsWhatCannotBeRead) {
    TFiles files;
    files.Files = {{"args", "-O2 @inner -o out.o"}, {"inner", "-c 'my file.c'"}, {"empty", ""}};
    const struct {
        TWords Argv, Expanded;
    } cases[] = {
        {{"cc", "@args"}, {"cc", "-O2", "-c", "my file.c", "-o", "out.o"}},
        {{"cc", "@missing", "-c", "x.c"}, {"cc", "@missing", "-c", "x.c"}},
        {{"cc", "@empty", "-c", "x.c"}, {"cc", "-c", "x.c"}},
        {{"cc", "@", "x.c"}, {"cc", "@", "x.c"}},
        {{"@args"}, {"@args"}}, // argv[0] is the tool's name, never a file
        {{}, {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExpandResponseFiles(c.Argv, files.Reader()), c.Expanded);
    }
}

TEST(ResponseFiles, FilesThatNameThemselvesEndWithinTheBounds) {
    TFiles files;
    files.Files = {{"self", "-c @self"}, {"twice", "@twice @twice"}};
    const TWords self = ExpandResponseFiles({"cc", "@self"}, files.Reader());
    // Nested as deep as allowed, then the argument stays.
    EXPECT_EQ(self.size(), 1u + MaxResponseFileDepth + 1);
    EXPECT_EQ(self.back(), "@self");
    files.Reads = 0;
    const TWords twice = ExpandResponseFiles({"cc", "@twice", "-c", "x.c"}, files.Reader());
    EXPECT_LE(files.Reads, static_cast<int>(MaxResponseFiles));
    EXPECT_EQ(twice, (TWords{"cc", "@twice", "-c", "x.c"})); // past a bound: as written
}

TEST(ResponseFiles, TooManyArgumentsLeaveTheCallAsWritten) {
    TFiles files;
    std::string many;
    for (std::size_t i = 0; i < MaxExpandedArguments / 4 + 1; ++i) {
        many += "-I. ";
    }
    files.Files = {{"many", many}};
    const TWords argv{"cc", "@many", "@many", "@many", "@many", "-c", "x.c"};
    EXPECT_EQ(ExpandResponseFiles(argv, files.Reader()), argv);
}

// A compile whose -c or source is in a response file is still a compile of that source.
TEST(ResponseFiles, ClassificationSeesTheFilesArguments) {
    TFiles files;
    files.Files = {
        {"compile", "-c src/a.c -o obj/a.o"}, {"flags", "-O2 -c"}, {"link", "a.o b.o -o prog"}};
    const struct {
        TWords Argv;
        TToolCallKind Kind;
        const char* Source;
        const char* Output;
    } cases[] = {
        {{"gcc", "@compile"}, TToolCallKind::Compile, "src/a.c", "obj/a.o"},
        {{"gcc", "@flags", "b.c"}, TToolCallKind::Compile, "b.c", "b.o"},
        {{"gcc", "@link"}, TToolCallKind::Link, "", "prog"},
    };
    for (const auto& c : cases) {
        const TToolCall call =
            ClassifyToolCall("/usr/bin/gcc", ExpandResponseFiles(c.Argv, files.Reader()));
        EXPECT_EQ(call.kind, c.Kind) << c.Argv[1];
        EXPECT_EQ(call.source, c.Source) << c.Argv[1];
        EXPECT_EQ(call.output, c.Output) << c.Argv[1];
    }
    // Unread, the file's -c is unknown: no longer a probe, but no compile of a source.
    const TToolCall unread = ClassifyToolCall("/usr/bin/gcc", {"gcc", "@missing"});
    EXPECT_NE(unread.kind, TToolCallKind::Probe);
    EXPECT_EQ(unread.source, "");
}

} // namespace
