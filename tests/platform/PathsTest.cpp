#include "platform/Paths.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace {

TEST(Paths, OptionsVersusPaths) {
    const struct {
        const char* Arg;
        bool Option;
    } cases[] = {
        {"/nologo", true},          {"-nologo", true},     {"/out=/tmp/x.log", true},
        {"/home/u/app.sln", false}, {"/tmp/a=b/c", false}, {"/", true},
        {"app.sln", false},         {"", false},           {"-/x", true},
        {"/title=a/b", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::IsOptionArgument(c.Arg), c.Option) << c.Arg;
    }
}

TEST(Paths, ExpandPathResolvesAgainstBase) {
    const struct {
        const char* Path;
        const char* Expected;
    } cases[] = {
        {"app.sln", "/work/src/app.sln"},
        {"\"sub dir\\app.sln\"", "/work/src/sub dir/app.sln"},
        {"../x/./y", "/work/x/y"},
        {"/abs/../root.txt", "/root.txt"},
        {"../../../..", "/"},
        {"", "/work/src"},
        {"out/", "/work/src/out/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::ExpandPath(c.Path, "/work/src"), c.Expected) << c.Path;
    }
}

TEST(Paths, FileNameParts) {
    EXPECT_EQ(platform::ExtractFileDir("/a/b/c.txt"), "/a/b");
    EXPECT_EQ(platform::ExtractFileDir("/c.txt"), "/");
    EXPECT_EQ(platform::ExtractFileDir("c.txt"), "");
    EXPECT_EQ(platform::ExtractFileName("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(platform::ExtractFileExt("/a.d/b"), "");
    EXPECT_EQ(platform::ExtractFileExt("/a/b.tar.gz"), ".gz");
    EXPECT_EQ(platform::ChangeFileExt("/a/b.sln", ".log"), "/a/b.log");
    EXPECT_EQ(platform::FileNameWithoutExt("/a/app.sln"), "app");
}

TEST(Paths, ForceDirectoriesCreatesParentsAndReportsFailure) {
    const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("ravel_paths_" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    const std::string deep = (root / "a" / "b" / "c").string();
    ASSERT_TRUE(platform::ForceDirectories(deep));
    EXPECT_TRUE(platform::DirectoryExists(deep));
    EXPECT_TRUE(platform::ForceDirectories(deep)); // already there

    // A regular file in the way cannot become a directory.
    const std::string file = (root / "file").string();
    {
        std::FILE* f = std::fopen(file.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    std::string error;
    EXPECT_FALSE(platform::ForceDirectories(file + "/sub", &error));
    EXPECT_FALSE(error.empty());
    std::filesystem::remove_all(root);
}

} // namespace
