#include "buildsys/OutputScanner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace buildsys;
using Lines = std::vector<std::string>;

TEST(LineAssembler, CutsChunksIntoLines) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<Lines> expected; // lines completed by each chunk
        std::optional<std::string> rest;
    };
    const Case cases[] = {
        {"whole lines", {"a\nb\n"}, {{"a", "b"}}, std::nullopt},
        {"line split over chunks", {"ab", "c\nd", "e\n"}, {{}, {"abc"}, {"de"}}, std::nullopt},
        {"CR LF and a CR LF split", {"a\r\nb\r", "\nc\r\n"}, {{"a"}, {"b", "c"}}, std::nullopt},
        {"empty lines", {"\n\r\n\n"}, {{"", "", ""}}, std::nullopt},
        {"lone CR stays in the line", {"50%\r60%\n"}, {{"50%\r60%"}}, std::nullopt},
        {"unfinished last line", {"a\nb"}, {{"a"}}, "b"},
        {"unfinished line ending in CR", {"b\r"}, {{}}, "b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TLineAssembler lines;
        for (std::size_t i = 0; i < c.chunks.size(); ++i) {
            EXPECT_EQ(lines.Add(c.chunks[i]), c.expected[i]) << i;
        }
        EXPECT_EQ(lines.Finish(), c.rest);
        EXPECT_EQ(lines.Finish(), std::nullopt);
    }
}

TEST(LineAssembler, CapsEndlessLines) {
    TLineAssembler lines;
    const std::string chunk(700000, 'x');
    EXPECT_TRUE(lines.Add(chunk).empty());
    const Lines first = lines.Add(chunk); // 1,400,000 bytes pending
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].size(), TLineAssembler::MaxLine);
    const Lines rest = lines.Add("y\n");
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0], std::string(1400000 - TLineAssembler::MaxLine, 'x') + "y");
}

TEST(LineAssembler, CutsEndlessLinesBetweenCharacters) {
    // A three-byte character straddles the cap: the piece ends before it.
    TLineAssembler lines;
    const std::string euro = "\xE2\x82\xAC";
    const std::string text = std::string(TLineAssembler::MaxLine - 1, 'x') + euro + "tail";
    const Lines first = lines.Add(text);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], std::string(TLineAssembler::MaxLine - 1, 'x'));
    EXPECT_EQ(lines.Finish(), euro + "tail");
}

TEST(OutputScanner, MalformedBytesSpoilOnlyTheirOwnLine) {
    const std::string replacement = "\xEF\xBF\xBD";
    const struct {
        const char* Name;
        std::string Chunk;
        std::string Text;
    } cases[] = {
        {"bad byte amid good lines", "1\nbad\xFF\n3\n", "1\r\nbad" + replacement + "\r\n3"},
        {"lead byte at a line end", "caf\xC3\n\xA9x\n",
         "caf" + replacement + "\r\n" + replacement + "x"},
        {"valid text stays", "caf\xC3\xA9\n", "caf\xC3\xA9"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TOutputScanner scanner;
        const auto text = scanner.Add(TOutputStream::Out, c.Chunk);
        ASSERT_TRUE(text);
        EXPECT_EQ(text->Text, c.Text);
    }
}

TEST(OutputScanner, JoinsLinesPerStreamAndCounts) {
    TOutputScanner scanner;
    EXPECT_EQ(scanner.Add(TOutputStream::Out, "partial"), std::nullopt);
    const auto err = scanner.Add(TOutputStream::Err, "x.c:1:1: error: boom\nx.c:2:1: warning: w\n"
                                                     "x.c:3:1: error: again\nto be contin");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->Stream, TOutputStream::Err);
    EXPECT_EQ(err->Text, "x.c:1:1: error: boom\r\nx.c:2:1: warning: w\r\nx.c:3:1: error: again");
    EXPECT_EQ(err->Errors, 2);
    EXPECT_EQ(err->Warnings, 1);
    // Each stream keeps its own unfinished line.
    const auto out = scanner.Add(TOutputStream::Out, " line\r\n\r\nnext\n");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->Stream, TOutputStream::Out);
    EXPECT_EQ(out->Text, "partial line\r\n\r\nnext");
    EXPECT_EQ(out->Errors, 0);
    EXPECT_EQ(scanner.Finish(TOutputStream::Out), std::nullopt);
    const auto last = scanner.Finish(TOutputStream::Err);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->Text, "to be contin");
    EXPECT_EQ(scanner.Errors(), 2);
    EXPECT_EQ(scanner.Warnings(), 1);
}

} // namespace
