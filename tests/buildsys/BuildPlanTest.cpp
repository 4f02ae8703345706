#include "buildsys/BuildPlan.h"
#include "buildsys/Arguments.h"

#include <gtest/gtest.h>

namespace {

using namespace buildsys;

std::string Block(std::initializer_list<std::string> entries) {
    std::string block;
    for (const std::string& entry : entries) {
        block += entry;
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

TEST(MergeEnvironment, ForcedEntriesReplaceOrAdd) {
    EXPECT_EQ(MergeEnvironment(Block({"A=1", "PATH=/bin", "=C:=C:\\x", "B=2"}),
                               {"PATH=/opt/bin:/bin", "NEW=x=y", "=C:=D:\\", "NOVALUE", "B="}),
              Block({"A=1", "PATH=/opt/bin:/bin", "=C:=D:\\", "B=", "NEW=x=y"}));
    // Names keep their case; a block without its final NUL still ends.
    EXPECT_EQ(MergeEnvironment(std::string("Path=a\0", 7), {"PATH=b"}),
              Block({"Path=a", "PATH=b"}));
    EXPECT_EQ(MergeEnvironment("", {}), std::string(1, '\0'));
}

TEST(PlanBuild, CommandsOfTheBuildClasses) {
    struct Case {
        const char* buildClass;
        const char* command;
        const char* primary;
        std::vector<std::string> arguments;
        const char* refusal;
    };
    const Case cases[] = {
        {"make", "make -j2 all", "", {"/bin/sh", "-c", "make -j2 all"}, ""},
        {"MAKE", "true", "ignored.sh", {"/bin/sh", "-c", "true"}, ""},
        {"make",
         "",
         "build.sh",
         {},
         "Build class \"make\" cannot be built on this system: "
         "the request holds no command to run."},
        {"wrap", "ninja", "build.sh", {"/bin/sh", "-c", "ninja"}, ""},
        {"wrap", "", "/src/build.sh", {"/bin/sh", "/src/build.sh"}, ""},
        {"wrap",
         "",
         "",
         {},
         "Build class \"wrap\" cannot be built on this system: "
         "the request names neither a command nor a script."},
        {"VC17",
         "x",
         "a.sln",
         {},
         "Build class \"VC17\" cannot be built on this system: "
         "Visual Studio builds need Windows."},
        {"VC16DE",
         "",
         "a.sln",
         {},
         "Build class \"VC16DE\" cannot be built on this system: "
         "Visual Studio builds need Windows."},
        {"vc6",
         "",
         "a.dsw",
         {},
         "Build class \"vc6\" cannot be built on this system: "
         "Visual Studio builds need Windows."},
        {"evc4",
         "",
         "a.vcw",
         {},
         "Build class \"evc4\" cannot be built on this system: "
         "Visual Studio builds need Windows."},
        // A job document's tasks are its commands.
        {"xml", "", "job.xml", {}, ""},
        {"xml",
         "",
         "",
         {},
         "Build class \"xml\" cannot be built on this system: "
         "the request names no job document."},
        {"",
         "true",
         "",
         {},
         "Build class \"\" cannot be built on this system: "
         "the class is unknown."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.buildClass) + " / " + c.command);
        records::TBuildCommandPacket request;
        request.BuildClass = c.buildClass;
        request.Command = c.command;
        request.PrimaryFilename = c.primary;
        request.CurDir = "/work";
        const TBuildPlan plan = PlanBuild(request, Block({"OWN=1"}));
        EXPECT_EQ(plan.Arguments, c.arguments);
        EXPECT_EQ(plan.Refusal, c.refusal);
        if (plan.Refusal.empty()) {
            EXPECT_EQ(plan.WorkingDir, "/work");
        }
    }
}

TEST(PlanBuild, EnvironmentOfTheRequestOrOwn) {
    records::TBuildCommandPacket request;
    request.BuildClass = "make";
    request.Command = "env";
    request.ForcedEnv.Add("F=1");
    EXPECT_EQ(PlanBuild(request, Block({"OWN=1"})).Environment, Block({"OWN=1", "F=1"}));
    request.EnvBlock = Block({"REQ=1", "F=0"});
    EXPECT_EQ(PlanBuild(request, Block({"OWN=1"})).Environment, Block({"REQ=1", "F=1"}));
}

TEST(Arguments, IdentityAndExitCodeBase) {
    std::string error;
    auto parsed = ParseArguments({"/id={0a1b2c3d-0000-4000-8000-00000000abcd}"}, error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Identity, "{0A1B2C3D-0000-4000-8000-00000000ABCD}");
    EXPECT_EQ(parsed->ID, core::TGUID::Literal("{0A1B2C3D-0000-4000-8000-00000000ABCD}"));
    EXPECT_FALSE(parsed->ExitCodeBase);
    parsed =
        ParseArguments({"/ExitCodeBase=-100", "/ID={0A1B2C3D-0000-4000-8000-00000000ABCD}"}, error);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->ExitCodeBase, -100);

    struct Case {
        std::vector<std::string> arguments;
        const char* error;
    };
    const Case bad[] = {
        {{}, "Usage: VaridAdeziz /id={BUILD-GUID} [/exitcodebase=N]"},
        {{"/id=0A1B2C3D-0000-4000-8000-00000000ABCD"},
         "Invalid build identity \"0A1B2C3D-0000-4000-8000-00000000ABCD\"."},
        {{"/id={0A1B2C3D-0000-4000-8000-00000000ABCD}", "/exitcodebase=x"},
         "Invalid exit code base \"x\"."},
        {{"/id={0A1B2C3D-0000-4000-8000-00000000ABCD}", "/verbose"},
         "Unknown argument \"/verbose\"."},
        {{"/id"}, "Unknown argument \"/id\"."},
    };
    for (const Case& c : bad) {
        error.clear();
        EXPECT_FALSE(ParseArguments(c.arguments, error));
        EXPECT_EQ(error, c.error);
    }
}

} // namespace
