#include "vs/VSDirs.h"
#include "support/ScopedEnvVar.h"
#include "vs/ProjectParserVC7.h"

#include <gtest/gtest.h>

namespace {

// Reads the machine and user hives of the fixture folders.
class RegistryFixture : public ::testing::Test {
protected:
    testing_support::TScopedEnvVar registry{"TAVRIX_REGISTRY_DIR",
                                            std::string(RAVEL_VS_FIXTURES) + "/registry"};
    testing_support::TScopedEnvVar config{"XDG_CONFIG_HOME",
                                          std::string(RAVEL_VS_FIXTURES) + "/config"};
};

using VSDirs = RegistryFixture;

TEST_F(VSDirs, FoldersByVersion) {
    const struct {
        int Index;
        const char* IDE;
        const char* VS;
        const char* VC;
    } cases[] = {
        {6, "C:\\VS9\\Common7\\IDE\\", "C:\\VS9\\", "C:\\VS9\\VC\\"},
        {7, "", "", ""},                                            // not installed
        {11, "/opt/vs2017/ide", "/opt/vs2017", ""},                 // machine-wide only
        {12, "/opt/vs2019/ide-machine", "/opt/vs2019-machine", ""}, // empty per-user folder
        {13, "/home/u/vs2022/ide", "/home/u/vs2022", ""},
        {0, "", "", ""},
    };
    for (const auto& c : cases) {
        const vs::TVSDirs dirs = vs::GetVSDirs(c.Index);
        EXPECT_EQ(dirs.IDEDir, c.IDE) << c.Index;
        EXPECT_EQ(dirs.VSDir, c.VS) << c.Index;
        EXPECT_EQ(dirs.VCDir, c.VC) << c.Index;
    }
}

using IntelSuites = RegistryFixture;

TEST_F(IntelSuites, GreatestMinorVersionWins) {
    EXPECT_EQ(vs::IntelCompilerVersionOf("PC9.1"), 9 * 256 + 2);
    EXPECT_EQ(vs::IntelCompilerVersionOf("pc9x1"), 9 * 256 + 2); // first and last character
    EXPECT_EQ(vs::IntelCompilerVersionOf("PC8.0"), 0);
}

} // namespace
