#include "platform/Text.h"

#include "platform/AsciiCase.h"
#include "platform/Environment.h"

#include <gtest/gtest.h>

namespace {

TEST(Text, AsciiCaseFoldsLettersOnly) {
    static_assert(platform::LowerAscii('Q') == 'q' && platform::UpperAscii('q') == 'Q');
    static_assert(platform::LowerAscii('@') == '@' && platform::UpperAscii('`') == '`');
    EXPECT_EQ(platform::LowerAscii('\xC4'), '\xC4');
    const struct {
        const char* a;
        const char* b;
        bool same;
        bool prefix;
    } cases[] = {
        {"Global\\x", "GLOBAL\\X", true, true},
        {"abc", "abd", false, false},
        {"Local\\", "local", false, true},
        {"", "", true, true},
        {"a", "ab", false, false},
        {"\xC3\x84", "\xC3\xA4", false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::SameTextAscii(c.a, c.b), c.same) << c.a << " " << c.b;
        EXPECT_EQ(platform::StartsWithTextAscii(c.a, c.b), c.prefix) << c.a << " " << c.b;
    }
}

TEST(Text, EnvironmentBlockEntries) {
    using namespace std::string_view_literals;
    const std::pair<std::string_view, std::vector<std::string_view>> cases[] = {
        {""sv, {}},
        {"\0"sv, {}},
        {"A=1\0B=2\0\0"sv, {"A=1", "B=2"}},
        {"A=1\0\0C=3\0\0"sv, {"A=1"}}, // the empty entry ends the block
        {"=C:=C:\\\0PATH=/bin\0\0"sv, {"=C:=C:\\", "PATH=/bin"}},
        {"A=1\0B=2"sv, {"A=1", "B=2"}}, // an unterminated last entry is kept
    };
    for (const auto& [block, entries] : cases) {
        EXPECT_EQ(platform::EnvBlockEntries(block), entries);
    }
}

TEST(Text, RoundTripsEveryPlane) {
    const std::string samples[] = {"",
                                   "plain",
                                   "caf\xC3\xA9",
                                   "\xE2\x82\xAC 10",
                                   "\xF0\x9F\x98\x80 emoji",
                                   std::string("nul\0inside", 10)};
    for (const std::string& sample : samples) {
        std::u16string wide;
        std::string back;
        ASSERT_TRUE(platform::Utf8ToUtf16(sample, wide)) << sample;
        ASSERT_TRUE(platform::Utf16ToUtf8(wide, back)) << sample;
        EXPECT_EQ(back, sample);
    }
    std::u16string wide;
    ASSERT_TRUE(platform::Utf8ToUtf16("\xF0\x9F\x98\x80", wide));
    EXPECT_EQ(wide, (std::u16string{0xD83D, 0xDE00}));
}

TEST(Text, MalformedInputFailsAndLeavesNothing) {
    const std::string badUtf8[] = {
        "\x80",             // continuation without lead
        "\xC3",             // truncated
        "\xC0\xAF",         // overlong "/"
        "\xED\xA0\x80",     // encoded surrogate
        "\xF4\x90\x80\x80", // above U+10FFFF
        "ok\xFFok",
    };
    for (const std::string& bad : badUtf8) {
        std::u16string wide = u"stale";
        EXPECT_FALSE(platform::Utf8ToUtf16(bad, wide));
        EXPECT_TRUE(wide.empty());
        EXPECT_FALSE(platform::IsValidUtf8(bad));
    }
    const std::u16string badUtf16[] = {std::u16string{0xD800}, std::u16string{0xDC00, u'a'},
                                       std::u16string{0xD800, u'a'}};
    for (const std::u16string& bad : badUtf16) {
        std::string narrow = "stale";
        EXPECT_FALSE(platform::Utf16ToUtf8(bad, narrow));
        EXPECT_TRUE(narrow.empty());
    }
}

} // namespace
