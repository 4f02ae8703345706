#include "launcher/ToolEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace launcher;
namespace fs = std::filesystem;

namespace {

class TFolder {
public:
    TFolder() {
        char pattern[] = "/tmp/ravel_toolenv_XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~TFolder() { fs::remove_all(path); }
    std::string Executable(const std::string& name) const {
        const std::string file = path + "/" + name;
        fs::create_directories(fs::path(file).parent_path());
        std::ofstream(file) << "#!/bin/sh\n";
        fs::permissions(file, fs::perms::owner_all);
        return file;
    }
    std::string path;
};

} // namespace

TEST(ToolEnvironment, FindsTheRealToolSkippingMasqueradeAndLauncher) {
    TFolder f;
    const std::string launcherFile = f.Executable("lib/morvek-task");
    const std::string masq = MasqueradeFolderOf(launcherFile);
    EXPECT_EQ(masq, f.path + "/lib/masq");
    fs::create_directories(masq);
    fs::create_symlink("../morvek-task", masq + "/gcc");
    fs::create_directories(f.path + "/elsewhere");
    fs::create_symlink(launcherFile, f.path + "/elsewhere/gcc");
    // A hard link is the launcher as much as a symbolic one: starting it would loop.
    fs::create_directories(f.path + "/hard");
    fs::create_hard_link(launcherFile, f.path + "/hard/gcc");
    f.Executable("noexec/gcc");
    fs::permissions(f.path + "/noexec/gcc", fs::perms::owner_read);
    const std::string real = f.Executable("real/gcc");
    const std::string path = masq + ":" + f.path + "/elsewhere:" + f.path + "/hard:" + f.path +
                             "/noexec::" + f.path + "/real";
    EXPECT_EQ(FindRealTool("gcc", path, launcherFile, masq), real);
    EXPECT_EQ(FindRealTool("gcc", masq + ":" + f.path + "/elsewhere", launcherFile, masq), "");
    EXPECT_EQ(FindRealTool("", path, launcherFile, masq), "");
    EXPECT_EQ(FindRealTool("a/gcc", path, launcherFile, masq), "");
    // The masquerade folder is recognised also when spelled differently.
    EXPECT_EQ(PathWithoutFolder(f.path + "/lib/../lib/masq/:/usr/bin::" + masq, masq), "/usr/bin:");
}

TEST(ToolEnvironment, ToolEnvironmentDropsTheInterception) {
    TFolder f;
    const std::string masq = f.path + "/masq";
    fs::create_directories(masq);
    const std::vector<std::string> env = {
        "HOME=/home/u",
        "MORVEK_TASK_ENDPOINT=/run/x/ep",
        "MORVEK_TASK_TOOLS=gcc:cc",
        "MORVEK_TASK_LAUNCHER=/p/morvek-task",
        "MORVEK_TASK_DEPTH=7",
        "LD_PRELOAD=/p/libMorvekHook.so /a/liba.so:/p2/libMorvekHook.so",
        "PATH=" + masq + ":/usr/bin",
        "FOO=old",
        "EMPTY=",
        "NOEQUALS",
    };
    const auto result = ToolEnvironment(env, masq, 1, {{"FOO", "new"}, {"BAR", "b"}});
    const std::vector<std::string> expected = {
        "HOME=/home/u", "LD_PRELOAD=/a/liba.so", "PATH=/usr/bin", "EMPTY=", "NOEQUALS", "BAR=b",
        "FOO=new",      "MORVEK_TASK_DEPTH=1"};
    EXPECT_EQ(result, expected);
    // A preload list holding only the hook disappears.
    const auto only = ToolEnvironment({"LD_PRELOAD=/p/libMorvekHook.so"}, masq, 2, {});
    EXPECT_EQ(only, std::vector<std::string>{"MORVEK_TASK_DEPTH=2"});
    EXPECT_EQ(ValueOf(env, "PATH"), masq + ":/usr/bin");
    EXPECT_EQ(ValueOf(env, "EMPTY"), "");
    EXPECT_EQ(ValueOf(env, "NOEQUALS"), "");
    EXPECT_EQ(ValueOf(env, "MORVEK_TASK"), "");
}

TEST(ToolEnvironment, TheCacheGrantIsTheWholeOfTheCacheSettings) {
    // A user's own ccache settings (no compiler check, another compiler) would let a
    // different compile's result be restored; without the cache they stay the user's.
    const std::vector<std::string> env = {"CCACHE_COMPILERCHECK=none", "CCACHE_COMPILER=clang",
                                          "HOME=/home/u"};
    EXPECT_EQ(
        ToolEnvironment(env, "", 1, {{"CCACHE_DIR", "/store"}}),
        (std::vector<std::string>{"HOME=/home/u", "CCACHE_DIR=/store", "MORVEK_TASK_DEPTH=1"}));
    EXPECT_EQ(ToolEnvironment(env, "", 1, {}),
              (std::vector<std::string>{"CCACHE_COMPILERCHECK=none", "CCACHE_COMPILER=clang",
                                        "HOME=/home/u", "MORVEK_TASK_DEPTH=1"}));
}
