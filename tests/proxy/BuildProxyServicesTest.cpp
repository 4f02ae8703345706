#include "../platform/TestProcess.h"
#include "core/Errors.h"
#include "core/OptionFile.h"
#include "proxy/BuildProxy.h"
#include "proxy/PriorityClass.h"
#include "support/ScopedEnvVar.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

namespace {

using build::TBuildProxy;
using records::TBuildFlag;

std::string Fixture(const std::string& name) {
    return std::string(RAVEL_BUILD_FIXTURES) + "/" + name;
}

core::TStringListEx Options(std::initializer_list<const char*> entries) {
    core::TStringListEx list;
    for (const char* entry : entries) {
        list.Add(entry);
    }
    return list;
}

TEST(ApplyBuildOptions, AcceptedValuesFillTheRequest) {
    records::TBuildCommandPacket r;
    core::TStringListEx options =
        Options({"maxcpus=abc", "MAXCPUS=0", "freecompletedtasks=Maybe", "avoidlocal=OFF",
                 "usecloudhelpers=true", "usemsbuild=64", "usemsbuild", "pemode=2",
                 "predictedexecution32bitfallback=on", "forceenglishmsbuildoutput=off",
                 "buildcachelocal=off", "buildcacheremoteserver= cache01:8080 ",
                 "BuildCacheProfile=/p/profile.xml", "neededhelpershistorytimesec=40"});
    TBuildProxy::ApplyBuildOptions(r, options);
    // The first maxcpus= entry decides; a value that does not parse stays behind.
    EXPECT_EQ(options.Strings(),
              (std::vector<std::string>{"maxcpus=abc", "MAXCPUS=0", "freecompletedtasks=Maybe",
                                        "usemsbuild"}));
    core::TStringListEx zero = Options({"MAXCPUS=0"});
    r.OverrideMaxHelpersPerJob = 7;
    TBuildProxy::ApplyBuildOptions(r, zero);
    EXPECT_TRUE(zero.Empty());
    EXPECT_EQ(r.OverrideMaxHelpersPerJob, 0);
    EXPECT_FALSE(r.HasFlag(TBuildFlag::FreeCompletedTasks));
    EXPECT_TRUE(r.HasFlag(TBuildFlag::AvoidLocalOff));
    EXPECT_TRUE(r.HasFlag(TBuildFlag::UseCloudHelpers));
    EXPECT_EQ(r.OverrideUseMSBuild, 2);
    EXPECT_TRUE(r.UseMSBuild);
    EXPECT_EQ(r.OverridePredictedExecutionMode, 2);
    EXPECT_TRUE(r.HasFlag(TBuildFlag::PE32FallbackOn));
    EXPECT_TRUE(r.HasFlag(TBuildFlag::ForceEnglishMSBuildOutputOff));
    EXPECT_FALSE(r.UseLocalBuildCache);
    EXPECT_EQ(r.RemoteBuildCacheServer, "cache01:8080");
    EXPECT_EQ(r.BuildCacheProfile, "/p/profile.xml");
    EXPECT_TRUE(r.HasFlag(TBuildFlag::BuildAvoidanceCache));
    EXPECT_EQ(r.OverrideNeededHelpersHistoryTimeSec, 40);
}

TEST(ApplyBuildOptions, ValidationMessages) {
    const struct {
        std::vector<const char*> Entries;
        const char* Message;
    } cases[] = {
        {{"pemode=-1"}, "The /PEMODE parameter value is invalid."},
        {{"pemode=3"}, "The /PEMODE parameter value is invalid."},
        {{"neededhelpershistorytimesec=0"}, "NeededHelpersHistoryTimeSec must be greater than 0"},
        {{"buildcachecluster="}, "Missing Build Cache Cluster name"},
        {{"buildcacheremoteserver=cache01"}, "Missing remote cache server port"},
        {{"buildcacheremoteserver=cache01:abc"}, "Invalid remote cache server port format"},
        {{"buildcacheremoteserver=:8080"}, "Missing remote cache server address"},
        {{"buildcacheremoteserver=cache01:70000"}, "Remote cache server port is out of range"},
        {{"buildcacheremoteserver=c:1", "buildcachecluster=main"},
         "Cannot specify /BUILDCACHECLUSTER together with /BUILDCACHEREMOTESERVER"},
        {{"buildcachegeneratetoolprofile="}, "Missing generate tool profile name"},
        {{"BuildCacheProfile="}, "Missing Build Cache profile path"},
    };
    for (const auto& c : cases) {
        records::TBuildCommandPacket r;
        core::TStringListEx options;
        for (const char* entry : c.Entries) {
            options.Add(entry);
        }
        try {
            TBuildProxy::ApplyBuildOptions(r, options);
            ADD_FAILURE() << c.Message;
        } catch (const core::EGeneralError& e) {
            EXPECT_STREQ(e.what(), c.Message);
        }
        EXPECT_GE(options.Count(), 1); // the failing option stays
    }
}

TEST(LoadBuildConfigFile, CandidatesAndTokens) {
    records::TBuildCommandPacket r;
    r.PrimaryFilename = Fixture("solutions/vs15.sln");
    core::TStringListEx options = Options({"nologo"});
    TBuildProxy::LoadBuildConfigFile("Debug|x64", r, options);
    EXPECT_EQ(options.Strings(), (std::vector<std::string>{"nologo", "maxcpus=4", "avoidlocal=on",
                                                           "title=From file", "pemode=1"}));
    EXPECT_EQ(r.ConfigFileContent,
              "/maxcpus=4 -avoidlocal=on build.log \"/title=From file\" /pemode=1");

    records::TBuildCommandPacket fallback; // no per-configuration file: the plain one
    fallback.PrimaryFilename = Fixture("solutions/vs16.sln");
    core::TStringListEx more;
    TBuildProxy::LoadBuildConfigFile("Release", fallback, more);
    EXPECT_EQ(more.Strings(), (std::vector<std::string>{"maxcpus=2"}));

    records::TBuildCommandPacket none;
    none.PrimaryFilename = Fixture("solutions/vs17.sln");
    core::TStringListEx untouched;
    TBuildProxy::LoadBuildConfigFile("Debug|x64", none, untouched);
    EXPECT_TRUE(untouched.Empty());
    EXPECT_EQ(none.ConfigFileContent, "");

    // A configuration file over the option-file limit is refused, not read whole.
    testing_support::TTempDir dir;
    const std::string big = dir.Path() + "/big.mv_config.rsp";
    std::ofstream(big) << std::string(core::MaxOptionFileSize + 1, ' ');
    records::TBuildCommandPacket huge;
    huge.PrimaryFilename = dir.Path() + "/big.sln";
    core::TStringListEx refused;
    try {
        TBuildProxy::LoadBuildConfigFile("Debug", huge, refused);
        ADD_FAILURE();
    } catch (const core::Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Failed to read file: " + big +
                                             "\r\nAn option file may hold at most 16777216 bytes.");
    }
    EXPECT_TRUE(refused.Empty());
}

class BuildClass : public ::testing::Test {
protected:
    testing_support::TScopedEnvVar registry{"TAVRIX_REGISTRY_DIR", Fixture("registry")};
};

TEST_F(BuildClass, ByExtensionVersionAndFolders) {
    const struct {
        const char* File;
        const char* Version;
        bool UseMSBuild;
        const char* Class;
    } cases[] = {
        {"a/x.DSP", "", false, "vc6"},
        {"a/x.vcw", "", false, "evc4"},
        {"a/x.xpx", "", false, "xml"},
        {"a/x.cmd", "", false, "wrap"},
        {"solutions/vs15.sln", "", false, "VC15"},   // build tools only: MSBuild
        {"solutions/vs16.sln", "", false, "VC16DE"}, // IDE installed
        {"solutions/vs16.sln", "", true, "VC16"},
        {"solutions/vs17.sln", "", false, "VC16DE"}, // not installed: the launcher's version
        {"solutions/vs2008.sln", "", false, "VC9"},
        {"solutions/vs16.sln", "14.1", false, "VC15"},
        {"solutions/vs16.sln", "7.10", false, "VC7"},
        {"solutions/vs16.sln", "4.0", false, "EVC4"},
        {"solutions/vs16.sln", "99", false, "VC7"},
        {"solutions/tool.proj", "", false, "VC15"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TBuildProxy::GetBuildClass(Fixture(c.File), c.Version, false, c.UseMSBuild),
                  c.Class)
            << c.File << " " << c.Version;
    }
    // With the environment's tools the launcher is not asked.
    EXPECT_EQ(TBuildProxy::GetBuildClass(Fixture("solutions/vs17.sln"), "", true, false), "VC17DE");
    try {
        TBuildProxy::GetBuildClass("/src/app.mak", "", false, false);
        FAIL();
    } catch (const core::EGeneralError& e) {
        EXPECT_STREQ(e.what(), "Unknown file type: /src/app.mak");
    }
    EXPECT_TRUE(TBuildProxy::IsVSBuildClass("vc16DE"));
    EXPECT_TRUE(TBuildProxy::IsVSBuildClass("EVC4"));
    EXPECT_FALSE(TBuildProxy::IsVSBuildClass("wrap"));
    EXPECT_TRUE(TBuildProxy::IsJobBuildClass("XML"));
    EXPECT_FALSE(TBuildProxy::IsJobBuildClass("make"));
}

TEST(BuildSystemPriority, WindowsClassValues) {
    using platform::TPriorityClass;
    const struct {
        std::int64_t Value;
        std::optional<TPriorityClass> Expected;
    } cases[] = {
        {32, TPriorityClass::Normal},
        {64, TPriorityClass::Idle},
        {128, TPriorityClass::High},
        {256, TPriorityClass::RealTime},
        {16384, TPriorityClass::BelowNormal},
        {32768, TPriorityClass::AboveNormal},
        // Anything else asks for no class rather than an explicit normal one.
        {0, std::nullopt},
        {-1, std::nullopt},
        {33, std::nullopt},
        {4294967328, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(build::PriorityClassOf(c.Value), c.Expected) << c.Value;
    }
}

TEST(BuildTitle, CaptionOrFileName) {
    records::TBuildCommandPacket r;
    r.PrimaryFilename = "/src/myapp.sln";
    EXPECT_EQ(TBuildProxy::GetBuildTitle(r), "Myapp");
    r.PrimaryFilename = "/src/\xC3\xBCn\xC3\xAF"
                        "code.sln";
    EXPECT_EQ(TBuildProxy::GetBuildTitle(r), "\xC3\xBCn\xC3\xAF"
                                             "code");
    r.PrimaryFilename = "/s\xC3\xBC/app.sln"; // a non-ASCII folder keeps the name as it is
    EXPECT_EQ(TBuildProxy::GetBuildTitle(r), "app");
    r.Caption = "Nightly";
    EXPECT_EQ(TBuildProxy::GetBuildTitle(r), "Nightly");
}

} // namespace
