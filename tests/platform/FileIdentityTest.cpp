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
