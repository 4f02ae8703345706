#include "core/Errors.h"
#include "platform/Environment.h"
#include "platform/Paths.h"
#include "vs/ProjectParserVC6.h"
#include "vs/WorkspaceParserVC6.h"

#include <gtest/gtest.h>

namespace {

std::string Fixture(const std::string& name) {
    return std::string(RAVEL_VS_FIXTURES) + "/legacy/" + name;
}

std::string LoadError(const std::string& text) {
    vs::TProjectParserVC6 parser;
    try {
        parser.LoadFromText("/p/x.dsp", text, vs::TProjectParserVC6::loInterpretBody);
    } catch (const core::Exception& e) {
        return e.what();
    }
    return "(loaded)";
}

const vs::TParserItem& Child(const vs::TParserItem& item, std::size_t index) {
    return *item.Children.at(index);
}

TEST(LegacyWorkspace, ProjectsAndDependencies) {
    auto parser = vs::CreateWorkspaceParser("game.DSW");
    ASSERT_NE(parser, nullptr);
    parser->LoadFromFile(Fixture("game.dsw"));
    ASSERT_EQ(parser->ProjectCount(), 3);
    EXPECT_EQ(parser->Project(0).Name, "a=b lib"); // a quoted name keeps its "="
    EXPECT_EQ(parser->Project(0).FullPath, Fixture("sub/Lib.dsp"));
    EXPECT_EQ(parser->Project(1).Name, "engine");
    EXPECT_EQ(parser->Project(1).FullPath, Fixture("engine/engine.dsp"));
    const vs::TWorkspaceProjectVC& game = parser->Project(2);
    EXPECT_EQ(game.Name, "game");
    EXPECT_EQ(game.GUID, "{00000000-0000-0000-0000-000000000000}");
    ASSERT_EQ(game.Dependencies.size(), 2u);
    EXPECT_EQ(game.Dependencies[0].Name, "engine");
    EXPECT_EQ(game.Dependencies[1].Name, "a=b lib");
    EXPECT_TRUE(parser->TranslateConfiguration(game, "game - Win32 Debug").Built);
}

// Names relative to the current folder: projects and sources lie beside their file.
TEST(LegacyWorkspace, RelativeNames) {
    vs::TWorkspaceParserVC6 workspace;
    workspace.LoadFromText("rel/w.dsw", "Project: \"p\"=.\\p\\p.dsp - Package Owner=<4>\n");
    ASSERT_EQ(workspace.ProjectCount(), 1);
    EXPECT_EQ(workspace.Project(0).FullPath, platform::GetCurrentDir() + "/rel/p/p.dsp");

    vs::TProjectParserVC6 project;
    project.LoadFromText("rel/x.dsp",
                         "# Begin Target\n# Begin Source File\nSOURCE=.\\a.cpp\n"
                         "# Begin Custom Build\n\"out.bin\" : \"in.txt\"\n"
                         "# End Custom Build\n# End Source File\n# End Target\n",
                         vs::TProjectParserVC6::loInterpretBody);
    const vs::TParserItem& source = Child(Child(*project.Root(), 0), 0);
    EXPECT_EQ(source.Variables.at("InputDir"), platform::GetCurrentDir() + "/rel");
    EXPECT_EQ(Child(source, 0).Outputs,
              (std::vector<std::string>{platform::GetCurrentDir() + "/rel/out.bin"}));
}

TEST(LegacyProject, ConfigurationsAndBody) {
    auto parser = vs::CreateProjectParser(Fixture("game.dsp"));
    ASSERT_NE(parser, nullptr);
    parser->LoadFromFile(Fixture("game.dsp"));
    const auto& vc6 = dynamic_cast<const vs::TProjectParserVC6&>(*parser);
    EXPECT_EQ(parser->ProjectName, "game");
    EXPECT_EQ(parser->Configurations.Strings(),
              (std::vector<std::string>{"game - Win32 Release", "game - Win32 Debug",
                                        "game - Win32 Profile"}));
    EXPECT_EQ(parser->ConfigurationTargetTypes[2], "Win32 (x86) Static Library");
    EXPECT_EQ(parser->ConfigurationTargetIndexes, (std::vector<std::uint8_t>{5, 5, 6}));
    EXPECT_EQ(vc6.DefaultConfiguration(), "game - Win32 Debug");
    EXPECT_EQ(vc6.Platform("game - Win32 Debug"), "Win32");

    // The Debug branch of the project item, merged by the switch rules.
    const vs::TParserItem& project = Child(*vc6.Root(), 0);
    EXPECT_EQ(project.Kind, vs::TParserItemKind::Project);
    EXPECT_EQ(project.Settings.at("Output_Dir"), "Debug");
    EXPECT_EQ(project.Settings.at("CPP"), "/nologo /Gm /GX /ZI /Od /D \"WIN32\" /D \"_DEBUG\" /FD "
                                          "/GZ /c /W4 /D \"EXTRA\"");
    EXPECT_EQ(project.Settings.at("LINK32"), "kernel32.lib /nologo /subsystem:windows /debug "
                                             "/machine:I386 /incremental:no");
    EXPECT_EQ(vc6.UsedVariables().Strings(), (std::vector<std::string>{"UNKNOWNVAR"}));

    core::TStringListEx files;
    parser->GetFiles(files);
    EXPECT_EQ(files.Strings(),
              (std::vector<std::string>{".\\main.cpp", "\\src\\util.c", ".\\shaders.txt"}));

    const vs::TParserItem& target = Child(project, 0);
    const vs::TParserItem& shaders = Child(target, 1);
    ASSERT_EQ(shaders.Children.size(), 1u);
    const vs::TParserItem& custom = Child(shaders, 0);
    EXPECT_EQ(custom.Kind, vs::TParserItemKind::CustomBuild);
    EXPECT_EQ(custom.Description, "Compiling shaders");
    EXPECT_EQ(custom.Outputs, (std::vector<std::string>{Fixture("shaders.bin")}));
    ASSERT_GE(custom.Inputs.size(), 2u);
    EXPECT_EQ(custom.Inputs[0], Fixture("common.inc"));
    EXPECT_EQ(custom.Inputs[1], Fixture("shaders.txt"));
    EXPECT_EQ(custom.Commands.size(), 2u);
}

TEST(LegacyProject, EmbeddedToolsetProjects) {
    vs::TProjectParserEVC4 parser;
    parser.LoadFromFile(Fixture("handheld.vcp"));
    // The emulator configuration follows two other lines: the list ends before it.
    EXPECT_EQ(parser.Configurations.Strings(),
              (std::vector<std::string>{"handheld - Win32 (WCE ARMV4) Release",
                                        "handheld - Win32 (WCE ARMV4) Debug",
                                        "handheld - Win32 (WCE x86) Debug"}));
    EXPECT_EQ(parser.ConfigurationTargetIndexes, (std::vector<std::uint8_t>{5, 5, 1}));
    EXPECT_EQ(parser.Platform("handheld - Win32 (WCE ARMV4) Release"), "Win32 (WCE ARMV4)");
    EXPECT_EQ(parser.TargetTypeIndex("Win32 (x86) Application"), 0);
    auto workspace = vs::CreateWorkspaceParser("handheld.vcw");
    workspace->LoadFromFile(Fixture("handheld.vcw"));
    EXPECT_EQ(workspace->Project(0).FullPath, Fixture("handheld.vcp"));
}

TEST(LegacyProject, BodyErrors) {
    const struct {
        std::string Text;
        std::string Message;
    } cases[] = {
        {"!IF 1 == 1\n!IF 2 == 2\n",
         "(configuration '', line 2)\r\nNested conditions are not allowed."},
        {"x\n!ELSE\n", "(configuration '', line 2)\r\nUnexpected !ELSE found."},
        {"!ENDIF\n", "line 1)\r\nUnexpected !ENDIF found."},
        {"!IF 1 == 1\n!ELSEIF 1 = 1\n", "line 2)\r\n== expected, = found."},
        {"!IF a b\n", "line 1)\r\n4 tokens expected in line, 3 found."},
        {"A=1\nB=$(RAVEL_SELF)\n",
         "line 2)\r\nFailed to expand variables. Endless recursion detected."},
        {"A=1\nB=$(RAVEL_GROW)\n",
         "line 2)\r\nFailed to expand variables. Endless recursion detected."},
        {"X=$(open\n", "line 1)\r\nError expanding variable. closing \")\" not found"},
        {"# PROP\n", "line 1)\r\nAt least 3 tokens expected. 2 found."},
        {[] {
             std::string deep;
             for (int i = 0; i < 100000; ++i) {
                 deep += "# Begin Group \"g\"\n";
             }
             return deep;
         }(),
         "line 257)\r\nBuild items are nested too deeply."},
    };
    platform::SetEnvVar("RAVEL_SELF", "$(RAVEL_SELF)");
    // A self-reference that grows the text each time still fails fast.
    platform::SetEnvVar("RAVEL_GROW", "$(RAVEL_GROW)" + std::string(8192, 'x'));
    for (const auto& c : cases) {
        const std::string error = LoadError(c.Text);
        EXPECT_TRUE(error.starts_with("Cannot load project file: /p/x.dsp ")) << error;
        EXPECT_TRUE(error.ends_with(c.Message)) << error;
    }
    platform::UnsetEnvVar("RAVEL_SELF");
    platform::UnsetEnvVar("RAVEL_GROW");
}

// A continued line keeps its leading blanks: a continued command of a custom build
// step is still a command line.
TEST(LegacyProject, ContinuationLinesKeepTheirIndent) {
    vs::TProjectParserVC6 parser;
    parser.LoadFromText("/p/x.dsp",
                        "# Begin Custom Build\n"
                        "\"out.bin\" : \"in.txt\"\n"
                        "\tcopy in.txt \\\n"
                        " out.bin\n"
                        "\techo done\n"
                        "# End Custom Build\n",
                        vs::TProjectParserVC6::loInterpretBody);
    const vs::TParserItem& custom = Child(*parser.Root(), 0);
    EXPECT_EQ(custom.Commands, (std::vector<std::string>{"copy in.txt out.bin", "echo done"}));
}

TEST(LegacyProject, ConfigurationErrorsAndSecondLoad) {
    vs::TProjectParserVC6 parser;
    try {
        parser.LoadFromText("/p/x.dsp", "!MESSAGE \"x - Win32 Debug\" based on\n",
                            vs::TProjectParserVC6::loReadConfigurations);
        ADD_FAILURE();
    } catch (const core::Exception& e) {
        EXPECT_STREQ(e.what(),
                     "Cannot load project file: /p/x.dsp (configuration '', line 1)\r\n"
                     "Line 1: Failed to retrieve target type for configuration \"x - Win32 "
                     "Debug\".\r\nLeft-parenthesis expected.");
    }
    vs::TProjectParserVC6 twice;
    twice.LoadFromText("/p/x.dsp", "CFG=x - Win32 Debug\n",
                       vs::TProjectParserVC6::loReadDefaultConfiguration);
    EXPECT_THROW(twice.LoadFromText("/p/x.dsp", "", 7), core::EGeneralError);
    EXPECT_EQ(twice.DefaultConfiguration(), "x - Win32 Debug"); // the first load stays
}

} // namespace
