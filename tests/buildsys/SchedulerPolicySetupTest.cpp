#include "buildsys/SchedulerPolicySetup.h"

#include "../platform/TestProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

using namespace buildsys;
using testing_support::TScopedEnv;
using testing_support::TTempDir;

TEST(SchedulerPolicySetup, TheAgentSettingTurnsDoublingOffAndTheRequestItsSwitches) {
    struct TCase {
        const char* What;
        const char* AgentValues; // lines under the agent's key; null: no machine settings
        bool AvoidLocal, OnlyFailLocally;
        bool Double;
    };
    const TCase cases[] = {
        {"no settings", nullptr, false, false, true},
        {"not set", "\"Helpers\"=\"10.0.0.1\"\r\n", true, false, true},
        {"off", "\"HelperDoubling\"=dword:00000000\r\n", false, true, false},
        {"on", "\"HelperDoubling\"=dword:00000001\r\n", true, true, true},
        {"unreadable", "\"HelperDoubling\"=\"no\"\r\n", false, false, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TTempDir root;
        const TScopedEnv registry("TAVRIX_REGISTRY_DIR", root.Path());
        if (c.AgentValues) {
            std::ofstream(root.Path() + "/machine.reg")
                << "Windows Registry Editor Version 5.00\r\n\r\n"
                   "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Agent]\r\n"
                << c.AgentValues;
        }
        records::TBuildCommandPacket request;
        request.SetFlag(c.AvoidLocal ? records::TBuildFlag::AvoidLocalOn
                                     : records::TBuildFlag::AvoidLocalOff);
        request.SetFlag(c.OnlyFailLocally ? records::TBuildFlag::EnableOnlyFailLocally
                                          : records::TBuildFlag::DisableOnlyFailLocally);
        const TSchedulerPolicy policy = SchedulerPolicyFor(request);
        EXPECT_EQ(policy.AvoidLocal, c.AvoidLocal);
        EXPECT_EQ(policy.OnlyFailLocally, c.OnlyFailLocally);
        EXPECT_EQ(policy.Double, c.Double);
        EXPECT_EQ(DoublingSetting(), c.Double);
    }
}

} // namespace
