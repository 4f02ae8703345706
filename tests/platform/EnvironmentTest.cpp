// Batched environment changes: the same result as one change at a time.
#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(Environment, ChangesApplyInOrderInOnePass) {
    platform::SetEnvVar("RAVEL_ENV_KEEP", "k");
    platform::SetEnvVar("RAVEL_ENV_DROP", "d");
    const std::vector<platform::TEnvChange> changes = {
        {"RAVEL_ENV_NEW", "1"},
        {"RAVEL_ENV_KEEP", "k2"},
        {"RAVEL_ENV_DROP", std::nullopt},
        {"RAVEL_ENV_NEW", "2"},
        {"RAVEL_ENV_GONE", "x"},
        {"RAVEL_ENV_GONE", std::nullopt},
        {"RAVEL_ENV_BACK", "x"},
        {"RAVEL_ENV_BACK", std::nullopt},
        {"RAVEL_ENV_BACK", "b=c"},
        {"ravel_env_new", "case"},
        {"RAVEL_ENV_ABSENT", std::nullopt},
    };
    ASSERT_TRUE(platform::ChangeEnvVars(changes));
    EXPECT_EQ(platform::GetEnvVar("RAVEL_ENV_NEW").value_or("-"), "2");
    EXPECT_EQ(platform::GetEnvVar("ravel_env_new").value_or("-"), "case");
    EXPECT_EQ(platform::GetEnvVar("RAVEL_ENV_KEEP").value_or("-"), "k2");
    EXPECT_FALSE(platform::GetEnvVar("RAVEL_ENV_DROP"));
    EXPECT_FALSE(platform::GetEnvVar("RAVEL_ENV_GONE"));
    EXPECT_FALSE(platform::GetEnvVar("RAVEL_ENV_ABSENT"));
    EXPECT_EQ(platform::GetEnvVar("RAVEL_ENV_BACK").value_or("-"), "b=c");
    // Every name once, and the usual calls still work on the new environment.
    const std::vector<std::string> strings = platform::GetEnvStrings();
    EXPECT_EQ(std::count(strings.begin(), strings.end(), "RAVEL_ENV_NEW=2"), 1);
    EXPECT_EQ(std::count_if(strings.begin(), strings.end(),
                            [](const std::string& s) { return s.starts_with("RAVEL_ENV_NEW="); }),
              1);
    EXPECT_TRUE(platform::SetEnvVar("RAVEL_ENV_KEEP", "k3"));
    EXPECT_EQ(platform::GetEnvVar("RAVEL_ENV_KEEP").value_or("-"), "k3");
    for (const char* name :
         {"RAVEL_ENV_NEW", "ravel_env_new", "RAVEL_ENV_KEEP", "RAVEL_ENV_BACK"}) {
        EXPECT_TRUE(platform::UnsetEnvVar(name));
        EXPECT_FALSE(platform::GetEnvVar(name));
    }
}

TEST(Environment, AnInvalidChangeChangesNothing) {
    const struct {
        std::vector<platform::TEnvChange> Changes;
        std::string Invalid;
    } cases[] = {
        {{{"RAVEL_ENV_A", "1"}, {"", "x"}}, ""},
        {{{"RAVEL_ENV_A", "1"}, {"A=B", "x"}}, "A=B"},
        {{{"RAVEL_ENV_A", "1"}, {"RAVEL_ENV_B", std::string("a\0b", 3)}}, "RAVEL_ENV_B"},
        {{{std::string("N\0L", 3), std::nullopt}}, std::string("N\0L", 3)},
    };
    for (const auto& c : cases) {
        std::string invalid = "unset";
        EXPECT_FALSE(platform::ChangeEnvVars(c.Changes, &invalid));
        EXPECT_EQ(invalid, c.Invalid);
        EXPECT_FALSE(platform::GetEnvVar("RAVEL_ENV_A"));
    }
    EXPECT_TRUE(platform::ChangeEnvVars({}));
}

} // namespace
