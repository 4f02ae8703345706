#include "platform/FileIdentity.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

TEST(FileIdentity, NamesTheSameFileThroughAnyLink) {
    char pattern[] = "/tmp/ravel_identity_XXXXXX";
    const std::string dir = ::mkdtemp(pattern);
    struct TCleanup {
        std::string dir;
        ~TCleanup() { fs::remove_all(dir); }
    } cleanup{dir};
    std::ofstream(dir + "/file") << "x";
    std::ofstream(dir + "/other") << "x";
    fs::create_directories(dir + "/sub");
    fs::create_symlink(dir + "/file", dir + "/soft");
    fs::create_hard_link(dir + "/file", dir + "/hard");
    fs::create_symlink(dir + "/missing", dir + "/dangling");

    const struct {
        std::string a, b;
        bool same;
    } cases[] = {
        {dir + "/file", dir + "/file", true},
        {dir + "/file", dir + "/soft", true},
        {dir + "/file", dir + "/hard", true},
        {dir + "/file", dir + "/sub/../file", true},
        {dir + "/sub", dir + "/sub/", true},
        {dir + "/sub", dir + "/./sub/../sub", true},
        {dir + "/file", dir + "/other", false},
        {dir + "/file", dir + "/sub", false},
        {dir + "/missing", dir + "/missing", false},
        {dir + "/dangling", dir + "/missing", false},
        {"", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::SameFile(c.a, c.b), c.same) << c.a << " / " << c.b;
    }
    EXPECT_FALSE(platform::IdentityOf(dir + "/missing"));
    EXPECT_TRUE(platform::IdentityOf(dir + "/sub"));
}

// Identities travel through the build's environment: what is written reads back, and
// entries that are no identity are left out instead of matching something.
TEST(FileIdentity, IdentitiesReadBackAndGarbageNamesNothing) {
    const std::vector<platform::TFileIdentity> two = {{1, 2}, {18446744073709551615u, 0}};
    EXPECT_EQ(platform::ParseIdentities(platform::IdentitiesText(two)), two);
    const struct {
        const char* text;
        std::size_t count;
    } cases[] = {
        {"", 0},     {",", 0},        {"1:", 0},   {":2", 0},       {"1:2:3", 0},
        {"-1:2", 0}, {"1:2x,3:4", 1}, {" 1:2", 0}, {"1:2,,3:4", 2}, {"99999999999999999999:1", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::ParseIdentities(c.text).size(), c.count) << c.text;
    }
    // A standard stream has an identity while it is open.
    EXPECT_TRUE(platform::IdentityOfStream(2));
    EXPECT_FALSE(platform::IdentityOfStream(3));
}
