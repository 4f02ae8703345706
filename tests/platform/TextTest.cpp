#include "platform/Text.h"

#include <gtest/gtest.h>

namespace {

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
