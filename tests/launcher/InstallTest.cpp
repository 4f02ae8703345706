// The launcher's part of an install: the launcher, the hook and the masquerade
// folder made from the default profile.
#include <gtest/gtest.h>

#include <filesystem>

#include "FakeScheduler.h"
#include "e2e/ProcessRunner.h"

using namespace launchertest;
namespace fs = std::filesystem;

TEST(LauncherInstall, MasqueradeFolderLinksEveryPlainToolNameToTheLauncher) {
    TTempFolder prefix;
    const auto installed = e2e::RunProgram(
        CMAKE_COMMAND, {"-DCMAKE_INSTALL_PREFIX=" + prefix.Path(), "-P", LAUNCHER_INSTALL_SCRIPT});
    ASSERT_EQ(installed.ExitCode, 0) << installed.Err;
    const std::string folder = prefix.Path() + "/lib/morvek";
    EXPECT_TRUE(fs::exists(folder + "/morvek-task"));
    EXPECT_TRUE(fs::exists(folder + "/libMorvekHook.so"));
    for (const char* name : {"cc", "c++", "gcc", "g++", "clang", "clang++", "ld", "ld.bfd",
                             "ld.gold", "ld.lld", "ar", "ranlib", "as"}) {
        const fs::path link = folder + "/masq/" + name;
        ASSERT_TRUE(fs::is_symlink(link)) << name;
        EXPECT_EQ(fs::read_symlink(link), "../morvek-task") << name;
    }
    for (const auto& entry : fs::directory_iterator(folder + "/masq")) {
        const std::string name = entry.path().filename();
        EXPECT_EQ(name.find_first_of("*?["), std::string::npos) << name;
    }
    // Outside a build an installed link runs the real tool.
    const auto version = e2e::RunProgram(
        folder + "/masq/cc", {"-dumpmachine"},
        {{"PATH", folder + "/masq:/usr/bin:/bin"}, {"MORVEK_TASK_ENDPOINT", e2e::RemoveVariable}});
    const auto direct = e2e::RunProgram("/usr/bin/cc", {"-dumpmachine"});
    EXPECT_EQ(version.ExitCode, 0) << version.Err;
    EXPECT_EQ(version.Out, direct.Out);
}
