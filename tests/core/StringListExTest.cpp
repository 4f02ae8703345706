#include "core/StringListEx.h"
#include "core/Errors.h"
#include "core/TextHelpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <unistd.h>

using core::TDuplicates;
using core::TStringListEx;
using core::TStringListOptions;

namespace {

std::vector<std::string> Items(const TStringListEx& list) {
    return list.Strings();
}

TEST(StringListEx, TextSplitsAtEveryLineEndAndJoinsWithCrLf) {
    TStringListEx list;
    list.SetText("a\r\nb");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(list.Text(), "a\r\nb\r\n");
    list.SetText("x\ny\rz\r\n\r\nlast");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"x", "y", "z", "", "last"}));
    list.SetText("");
    EXPECT_EQ(list.Count(), 0);
}

// The one line splitter: CR LF, LF and CR end a line; a last line without an end is
// kept; a text list reads its lines through it.
TEST(StringListEx, SplitLinesAndCaseFolding) {
    const std::pair<const char*, std::vector<std::string_view>> cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\r\nb", {"a", "b"}},
        {"x\ny\rz\r\n\r\nlast", {"x", "y", "z", "", "last"}},
        {"\n\n", {"", ""}},
        {"\r\r\n", {"", ""}},
        {"end\r\n", {"end"}},
    };
    for (const auto& [text, lines] : cases) {
        EXPECT_EQ(core::SplitLines(text), lines) << text;
        TStringListEx list;
        list.SetText(text);
        EXPECT_EQ(list.Strings(), std::vector<std::string>(lines.begin(), lines.end())) << text;
    }
    // ASCII letters only: UTF-8 bytes and punctuation stay as they are.
    EXPECT_EQ(core::LowerCaseAscii("AbZ@[`{\xC3\x84"), "abz@[`{\xC3\x84");
    EXPECT_EQ(core::UpperCaseAscii("aBz@[`{\xC3\xA4"), "ABZ@[`{\xC3\xA4");
}

TEST(StringListEx, CaseRules) {
    TStringListEx plain;
    plain.Add("ABC");
    EXPECT_EQ(plain.IndexOf("abc"), 0);
    TStringListEx exact(TStringListOptions{.CaseSensitive = true});
    exact.Add("ABC");
    EXPECT_EQ(exact.IndexOf("abc"), -1);
    EXPECT_EQ(exact.IndexOf("ABC"), 0);
}

TEST(StringListEx, SortedListsAndDuplicates) {
    TStringListEx ignore(TStringListOptions{.Sorted = true});
    for (const char* s : {"pear", "Apple", "fig", "apple"}) {
        ignore.Add(s);
    }
    EXPECT_EQ(Items(ignore), (std::vector<std::string>{"Apple", "fig", "pear"}));
    EXPECT_EQ(ignore.Add("FIG"), 1);
    EXPECT_EQ(ignore.IndexOf("PEAR"), 2);
    EXPECT_EQ(ignore.IndexOf("kiwi"), -1);
    EXPECT_THROW(ignore.Insert(0, "x"), core::EGeneralError);

    TStringListEx accept(TStringListOptions{.Sorted = true, .Duplicates = TDuplicates::dupAccept});
    for (const char* s : {"b", "a", "b", "c", "b"}) {
        accept.Add(s);
    }
    EXPECT_EQ(Items(accept), (std::vector<std::string>{"a", "b", "b", "b", "c"}));
    EXPECT_EQ(accept.IndexOf("b"), 1);

    TStringListEx error(TStringListOptions{.Sorted = true, .Duplicates = TDuplicates::dupError});
    error.Add("one");
    try {
        error.Add("ONE");
        FAIL();
    } catch (const core::EGeneralError& e) {
        EXPECT_STREQ(e.what(), "String list does not allow duplicates");
    }
}

TEST(StringListEx, IndexErrorsNameTheIndex) {
    TStringListEx list;
    list.Add("a");
    const struct {
        std::function<void()> Call;
        const char* Message;
    } cases[] = {
        {[&] { list.Insert(2, "x"); }, "List index out of bounds (2)"},
        {[&] { list.Delete(1); }, "List index out of bounds (1)"},
        {[&] { (void)list.Get(-1); }, "List index out of bounds (-1)"},
        {[&] { list.Exchange(0, 5); }, "List index out of bounds (5)"},
    };
    for (const auto& c : cases) {
        try {
            c.Call();
            ADD_FAILURE() << c.Message;
        } catch (const core::ERangeError& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
    }
    list.Insert(1, "end"); // count itself is a valid insert position
    EXPECT_EQ(list.Last(), "end");
}

TEST(StringListEx, NameValueAccess) {
    TStringListEx list(TStringListOptions{.CaseSensitive = true});
    list.Add("plain");
    list.Add("Path=/bin");
    list.Add("path=/other");
    EXPECT_EQ(list.Value("PATH"), "/bin");
    list.SetValue("PATH", "/usr/bin");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"plain", "PATH=/usr/bin", "path=/other"}));
    list.SetValue("new", "1");
    EXPECT_EQ(list.Last(), "new=1");
    list.SetValue("Path", "");
    EXPECT_EQ(Items(list), (std::vector<std::string>{"plain", "path=/other", "new=1"}));
    EXPECT_EQ(list.RemoveName("NEW"), 2);
    EXPECT_EQ(list.IndexOfName("plain"), -1); // no "=", so no name
    EXPECT_EQ(TStringListEx::ValueOf("a=b=c"), "b=c");
}

TEST(StringListEx, WhitespaceSplitKeepsQuotedRuns) {
    const struct {
        const char* Text;
        bool QuoteAware;
        std::vector<std::string> Expected;
    } cases[] = {
        {"a \"b c\" d", false, {"a", "\"b c\"", "d"}},
        {"  x\t\ty\r\nz  ", false, {"x", "y", "z"}},
        {"pre\"mid dle\"post", false, {"pre\"mid dle\"post"}},
        {"\"unbalanced run", false, {"\"unbalanced run"}},
        {"\"a\\\" b\" c", false, {"\"a\\\"", "b\" c"}},
        {"\"a\\\" b\" c", true, {"\"a\\\" b\"", "c"}},
        {"\"a\\\\\" b", true, {"\"a\\\\\"", "b"}},
        {"", false, {}},
    };
    for (const auto& c : cases) {
        TStringListEx list(TStringListOptions{.QuoteAware = c.QuoteAware});
        list.Add("old");
        list.SplitWhitespace(c.Text);
        EXPECT_EQ(Items(list), c.Expected) << c.Text;
    }
}

TEST(StringListEx, JoinPrefixAndEquality) {
    TStringListEx list;
    for (const char* s : {"a", "b", "c"}) {
        list.Add(s);
    }
    EXPECT_EQ(list.Join(','), "a,b,c");
    EXPECT_EQ(list.Join(' ', true, 1), "\"b\" \"c\"");
    EXPECT_EQ(list.Join(';', false, 0, 1), "a;b");
    TStringListEx copy = list;
    EXPECT_TRUE(copy.Equals(list));
    int marker = 0;
    copy.PutObject(0, &marker);
    EXPECT_FALSE(copy.Equals(list));
    list.AddPrefixSuffix("<", ">");
    EXPECT_EQ(list.Join(','), "<a>,<b>,<c>");
}

class ReadFileAsText : public ::testing::Test {
protected:
    std::string Write(const std::string& bytes) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return path;
    }
    void TearDown() override { std::filesystem::remove(path); }
    std::string path = (std::filesystem::temp_directory_path() /
                        ("ravel_text_" + std::to_string(::getpid()) + ".txt"))
                           .string();
};

TEST_F(ReadFileAsText, ByteOrderMarks) {
    EXPECT_EQ(TStringListEx::ReadFileAsText(Write("\xFF\xFE"), 1000, true), "");
    EXPECT_EQ(
        TStringListEx::ReadFileAsText(Write(std::string("\xFF\xFEh\0\xAC\x20", 6)), 1000, true),
        "h\xE2\x82\xAC");
    EXPECT_EQ(TStringListEx::ReadFileAsText(Write("\xEF\xBB\xBFtext"), 1000, true), "text");
    EXPECT_EQ(TStringListEx::ReadFileAsText(Write("\xEF\xBB\xBFtext"), 1000, false),
              "\xEF\xBB\xBFtext");
    EXPECT_EQ(TStringListEx::ReadFileAsText(Write("0123456789"), 4, false), "0123");
}

TEST_F(ReadFileAsText, FailuresAreWrapped) {
    try {
        TStringListEx::ReadFileAsText(path + ".missing", 100, true);
        FAIL();
    } catch (const core::Exception& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Failed to read file.\r\n")) << e.what();
    }
    // A lone surrogate in a UTF-16 file cannot be converted.
    try {
        TStringListEx::ReadFileAsText(Write(std::string("\xFF\xFE\x00\xD8", 4)), 100, true);
        FAIL();
    } catch (const core::EGeneralError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Failed to read file: " + path + "\r\n"));
    }
}

} // namespace
