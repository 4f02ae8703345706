#include "core/Guid.h"

#include <gtest/gtest.h>

#include <set>

using core::TGUID;

namespace {

// A GUID whose parts are all distinct, so byte order mistakes show.
constexpr TGUID kSample = TGUID::Literal("{26B22475-8588-4603-BBCE-844F30AEDD55}");

TEST(GuidTest, MemoryOrderIsWindowsLayout) {
    const std::array<std::uint8_t, 16> expected = {0x75, 0x24, 0xB2, 0x26, 0x88, 0x85, 0x03, 0x46,
                                                   0xBB, 0xCE, 0x84, 0x4F, 0x30, 0xAE, 0xDD, 0x55};
    EXPECT_EQ(kSample.Bytes, expected);
    EXPECT_EQ(kSample, TGUID::FromParts(0x26B22475, 0x8588, 0x4603,
                                        {0xBB, 0xCE, 0x84, 0x4F, 0x30, 0xAE, 0xDD, 0x55}));
    EXPECT_EQ(kSample.Data1(), 0x26B22475u);
}

TEST(GuidTest, TextRoundTripIsUpperCase) {
    EXPECT_EQ(kSample.ToString(), "{26B22475-8588-4603-BBCE-844F30AEDD55}");
    TGUID parsed;
    ASSERT_TRUE(TGUID::TryParse("{26b22475-8588-4603-bbce-844f30aedd55}", parsed));
    EXPECT_EQ(parsed, kSample);
    EXPECT_EQ(core::NullGuid.ToString(), "{00000000-0000-0000-0000-000000000000}");
    EXPECT_TRUE(core::NullGuid.IsNull());
    EXPECT_FALSE(kSample.IsNull());
}

TEST(GuidTest, MalformedTextIsRefusedAndLeavesTargetUnchanged) {
    const char* bad[] = {
        "",
        "123",
        "26B22475-8588-4603-BBCE-844F30AEDD55",    // no braces
        "{26B22475-8588-4603-BBCE-844F30AEDD55",   // no closing brace
        "{26B22475-8588-4603-BBCE-844F30AEDD5G}",  // not hexadecimal
        "{26B22475+8588-4603-BBCE-844F30AEDD55}",  // wrong separator
        "{26B224758-588-4603-BBCE-844F30AEDD55}",  // misplaced hyphen
        "{26B22475-8588-4603-BBCE-844F30AEDD55}x", // trailing text
        " {26B22475-8588-4603-BBCE-844F30AEDD55}", // leading blank
    };
    for (const char* text : bad) {
        TGUID out = kSample;
        EXPECT_FALSE(TGUID::TryParse(text, out)) << text;
        EXPECT_EQ(out, kSample) << text;
        EXPECT_FALSE(core::IsBracedGuid(text)) << text;
    }
    EXPECT_TRUE(core::IsBracedGuid("{26b22475-8588-4603-bbce-844f30aedd55}"));
}

TEST(GuidTest, NewGuidIsVersion4AndDistinct) {
    std::set<TGUID> seen;
    for (int i = 0; i < 64; ++i) {
        TGUID g = core::NewGuid();
        std::string text = g.ToString();
        EXPECT_EQ(text[15], '4') << text;                                         // version nibble
        EXPECT_NE(std::string("89AB").find(text[20]), std::string::npos) << text; // variant
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 64u);
}

} // namespace
