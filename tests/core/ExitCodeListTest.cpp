#include "core/ExitCodeList.h"

#include <gtest/gtest.h>

namespace {

TEST(ExitCodeList, SeparatorsBlanksAndBadItems) {
    const struct {
        const char* Text;
        std::optional<std::vector<std::int32_t>> Codes;
        const char* Error;
    } cases[] = {
        {"", std::vector<std::int32_t>{}, ""},
        {" ; , ", std::vector<std::int32_t>{}, ""},
        {"0", std::vector<std::int32_t>{0}, ""},
        {"0;1,3", std::vector<std::int32_t>{0, 1, 3}, ""},
        {" -1 ; 2147483647 ,", std::vector<std::int32_t>{-1, 2147483647}, ""},
        {"0;x", std::nullopt, "\"x\" is not an exit code (an integer)"},
        {"1 2", std::nullopt, "\"1 2\" is not an exit code (an integer)"},
        {"2147483648", std::nullopt, "\"2147483648\" is not an exit code (an integer)"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(core::ParseExitCodeList(c.Text, &error), c.Codes) << c.Text;
        EXPECT_EQ(error, c.Error) << c.Text;
    }
}

} // namespace
