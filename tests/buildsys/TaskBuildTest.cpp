#include "buildsys/TaskBuild.h"

#include <gtest/gtest.h>

namespace {

using namespace buildsys;

TEST(TaskBuildEnvironment, InterceptionEntries) {
    TInterception interception;
    interception.AgentFolder = "/opt/m/lib/morvek";
    interception.Endpoint = "/run/user/1/t-ab.sock";
    interception.Tools = "cc:gcc-[0-9]*";
    const auto all = InterceptionEnvironment(interception, std::string("/usr/bin:/bin"),
                                             std::string("/lib/other.so"));
    EXPECT_EQ(all, (std::vector<std::string>{
                       "MORVEK_TASK_ENDPOINT=/run/user/1/t-ab.sock",
                       "MORVEK_TASK_TOOLS=cc:gcc-[0-9]*",
                       "MORVEK_TASK_LAUNCHER=/opt/m/lib/morvek/morvek-task",
                       "PATH=/opt/m/lib/morvek/masq:/usr/bin:/bin",
                       "LD_PRELOAD=/opt/m/lib/morvek/libMorvekHook.so /lib/other.so",
                   }));
    // No PATH of its own: the usual one; nothing preloaded yet: the hook alone.
    const auto bare = InterceptionEnvironment(interception, std::nullopt, std::string());
    EXPECT_EQ(bare[3], "PATH=/opt/m/lib/morvek/masq:/usr/local/bin:/usr/bin:/bin");
    EXPECT_EQ(bare[4], "LD_PRELOAD=/opt/m/lib/morvek/libMorvekHook.so");
    // What is not installed is not put in the way.
    interception.Masquerade = false;
    interception.Hook = false;
    EXPECT_EQ(InterceptionEnvironment(interception, std::nullopt, std::nullopt).size(), 3u);
}

TEST(TaskBuildEnvironment, ValueOfABlock) {
    const std::string block("A=1\0PATH=/x:/y\0PATHX=no\0EMPTY=\0\0", 33);
    EXPECT_EQ(EnvironmentValue(block, "PATH"), "/x:/y");
    EXPECT_EQ(EnvironmentValue(block, "A"), "1");
    EXPECT_EQ(EnvironmentValue(block, "EMPTY"), "");
    EXPECT_EQ(EnvironmentValue(block, "PAT"), std::nullopt);
    EXPECT_EQ(EnvironmentValue(block, "MISSING"), std::nullopt);
    EXPECT_EQ(EnvironmentValue(std::string_view("A=1", 3), "A"), "1"); // no terminator
    EXPECT_EQ(EnvironmentValue({}, "A"), std::nullopt);
}

} // namespace
