#include "core/Errors.h"
#include "platform/Environment.h"
#include "platform/Paths.h"
#include "vs/PathVariables.h"
#include "vs/VSVersion.h"
#include "vs/WorkspaceParserVC7.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

namespace {

std::string Fixture(const std::string& name) {
    return std::string(RAVEL_VS_FIXTURES) + "/" + name;
}

std::unique_ptr<vs::TWorkspaceParserVC> Load(const std::string& name) {
    auto parser = vs::CreateWorkspaceParser(name);
    EXPECT_NE(parser, nullptr) << name;
    parser->LoadFromFile(Fixture(name));
    return parser;
}

std::string LoadError(const std::string& name) {
    try {
        Load(name);
    } catch (const core::Exception& e) {
        return e.what();
    }
    return "(loaded)";
}

std::vector<std::string> Names(const vs::TWorkspaceParserVC& parser) {
    std::vector<std::string> names;
    for (int i = 0; i < parser.ProjectCount(); ++i) {
        names.push_back(parser.Project(i).Name);
    }
    return names;
}

const vs::TWorkspaceProjectVC& ByGuid(const vs::TWorkspaceParserVC& parser, std::string_view guid) {
    for (int i = 0; i < parser.ProjectCount(); ++i) {
        if (parser.Project(i).GUID == guid) {
            return parser.Project(i);
        }
    }
    throw std::runtime_error("no project " + std::string(guid));
}

TEST(VSVersion, Conversions) {
    EXPECT_EQ(vs::VSVersionText(10), "14.0");
    EXPECT_EQ(vs::VSVersionText(10, true), "14");
    EXPECT_EQ(vs::VSVersionText(4, true), "7");
    EXPECT_EQ(vs::VSVersionText(0), "");
    const struct {
        const char* Text;
        int Index;
    } texts[] = {{"14", 10},  {"14.0", 10}, {"7.10", 4},        {"7,10", 4}, {"8.00", 5},
                 {"9.00", 6}, {"17.5", 0},  {"17.0.31903", 13}, {"5", 0},    {"", 0}};
    for (const auto& t : texts) {
        EXPECT_EQ(vs::VSIndexFromVersionText(t.Text), t.Index) << t.Text;
    }
    EXPECT_EQ(vs::VSIndexFromNumber(7), 3);
    EXPECT_EQ(vs::VSIndexFromNumber(14), 10);
    EXPECT_EQ(vs::VSIndexFromNumber(13), 0);
    EXPECT_EQ(vs::VSIndexFromSignature("# Visual Studio 2013"), 9);
    EXPECT_EQ(vs::VSIndexFromSignature("nothing"), 0);
    EXPECT_EQ(vs::VSProjectFormatName(1, false), "EVC4");
    EXPECT_EQ(vs::VSProjectFormatName(2, false), "VC6");
    EXPECT_EQ(vs::VSProjectFormatName(4, false), "VC7");
    EXPECT_EQ(vs::VSProjectFormatName(6, false), "VC9");
    EXPECT_EQ(vs::VSProjectFormatName(7, false), "VC10DE");
    EXPECT_EQ(vs::VSProjectFormatName(10, true), "VC14");
}

TEST(SolutionParser, HeadersOfEveryFormat) {
    const struct {
        const char* File;
        int Index;
    } cases[] = {{"vs2010.sln", 7},     {"vs2012.sln", 8},  {"vs2012express.sln", 8},
                 {"vs2013.sln", 9},     {"vs2015.sln", 10}, {"vs2017.sln", 11},
                 {"vs2019.sln", 12},    {"vs2022.sln", 13}, {"../legacy7.sln", 3},
                 {"../xbox2008.sln", 6}};
    for (const auto& c : cases) {
        vs::TWorkspaceParserVC7 parser(true);
        parser.LoadFromFile(Fixture(std::string("headers/") + c.File));
        EXPECT_EQ(parser.FormatIndex(), c.Index) << c.File;
    }
    EXPECT_EQ(LoadError("headers/vsunknown.sln"),
              "Failed to load solution file: " + Fixture("headers/vsunknown.sln") +
                  " (line 1)\r\nUnknown file format signature.");
}

TEST(SolutionParser, ProjectsDependenciesAndReferences) {
    platform::SetEnvVar("RAVEL_LIBDIR", "lib");
    auto parser = Load("app/app.sln");
    platform::UnsetEnvVar("RAVEL_LIBDIR");
    // Name order ignoring case; of two equal names the later definition comes first.
    // The solution folder and the shared-items project are not projects.
    EXPECT_EQ(Names(*parser),
              (std::vector<std::string>{"app", "App", "http://localhost/WebSite1", "lib", "Tool"}));
    const std::string dir = Fixture("app");
    const auto& app = ByGuid(*parser, "{11111111-1111-1111-1111-111111111111}");
    const auto& lib = ByGuid(*parser, "{22222222-2222-2222-2222-222222222222}");
    const auto& tool = ByGuid(*parser, "{33333333-3333-3333-3333-333333333333}");
    EXPECT_EQ(lib.FilePath, "$(RAVEL_LIBDIR)\\Lib.vcxproj");
    EXPECT_EQ(lib.FullPath, dir + "/lib/Lib.vcxproj");
    EXPECT_EQ(lib.BaseName, "Lib");
    EXPECT_EQ(tool.FullPath, dir + "/Tool/tool.csproj"); // found ignoring case

    // The unknown dependency is dropped; known ones get their name and path.
    ASSERT_EQ(app.Dependencies.size(), 1u);
    EXPECT_EQ(app.Dependencies[0].Name, "lib");
    EXPECT_EQ(app.Dependencies[0].Path, lib.FullPath);
    ASSERT_EQ(tool.Dependencies.size(), 2u);
    EXPECT_EQ(tool.Dependencies[0].Name, "lib");
    EXPECT_EQ(tool.Dependencies[1].Name, "App");
    ASSERT_EQ(tool.References.size(), 1u);
    EXPECT_EQ(tool.References[0].AssemblyName, "Lib.dll");
    EXPECT_FALSE(tool.References[0].Private);
    EXPECT_EQ(tool.References[0].ProjectFile, tool.FullPath);

    const auto* vc7 = dynamic_cast<const vs::TWorkspaceParserVC7*>(parser.get());
    EXPECT_EQ(vc7->NestedProjects().at("{22222222-2222-2222-2222-222222222222}"),
              "{44444444-4444-4444-4444-444444444444}");
    EXPECT_EQ(vc7->SolutionFolders().at("{44444444-4444-4444-4444-444444444444}"),
              "Solution Items");
}

TEST(SolutionParser, TranslateConfiguration) {
    auto parser = Load("app/app.sln");
    const auto& app = ByGuid(*parser, "{11111111-1111-1111-1111-111111111111}");
    const auto& lib = ByGuid(*parser, "{22222222-2222-2222-2222-222222222222}");
    EXPECT_EQ(parser->SolutionConfigurations(),
              (std::vector<std::string>{"Debug|x64", "Release|x64", "Debug"}));
    const struct {
        const vs::TWorkspaceProjectVC* Project;
        const char* Requested;
        const char* Configuration;
        bool Built;
    } cases[] = {
        {&app, "Debug|x64", "Debug|x64", true},
        {&app, "release|X64", "Release|x64", true},
        {&lib, "Debug|x64", "Debug|x64", false},
        {&app, "Debug|Win32", "Debug|Win32", false}, // falls back to "Debug"
        {&lib, "Debug", "", false},
    };
    for (const auto& c : cases) {
        const vs::TConfigTranslation t = parser->TranslateConfiguration(*c.Project, c.Requested);
        EXPECT_EQ(t.Configuration, c.Configuration) << c.Requested;
        EXPECT_EQ(t.Built, c.Built) << c.Requested;
    }
    try {
        parser->TranslateConfiguration(app, "Profile|x64");
        FAIL();
    } catch (const core::EGeneralError& e) {
        EXPECT_STREQ(e.what(), "Failed to translate solution configuration.\r\n"
                               "Solution configuration not found: Profile|x64\r\n\r\n"
                               "Available solution configurations:\r\n"
                               "    Debug|x64\r\n    Release|x64\r\n    Debug");
    }
}

TEST(SolutionParser, OlderFormats) {
    auto legacy = Load("legacy7.sln");
    EXPECT_EQ(legacy->SolutionConfigurations(), (std::vector<std::string>{"Debug", "Release"}));
    const auto& core = ByGuid(*legacy, "{AAAAAAAA-0000-0000-0000-000000000001}");
    const auto& gui = ByGuid(*legacy, "{AAAAAAAA-0000-0000-0000-000000000002}");
    ASSERT_EQ(gui.Dependencies.size(), 1u);
    EXPECT_EQ(gui.Dependencies[0].Name, "Core");
    EXPECT_TRUE(legacy->TranslateConfiguration(core, "Debug").Built);
    EXPECT_FALSE(legacy->TranslateConfiguration(gui, "Debug").Built);

    // Keys compare with case: the lower-case GUID of "Tools" gets no mapping.
    auto xbox = Load("xbox2008.sln");
    const auto game = xbox->TranslateConfiguration(
        ByGuid(*xbox, "{CCCCCCCC-0000-0000-0000-000000000001}"), "Release|Xbox 360");
    EXPECT_EQ(game.Configuration, "Release|Xenon");
    EXPECT_TRUE(game.Built);
    EXPECT_FALSE(
        xbox->TranslateConfiguration(ByGuid(*xbox, "{cccccccc-0000-0000-0000-000000000002}"),
                                     "Release|Xbox 360")
            .Built);

    // Mappings come from the configurations known when their section is read.
    auto wrong = Load("wrongorder.sln");
    EXPECT_FALSE(wrong->TranslateConfiguration(wrong->Project(0), "Debug|Win32").Built);
}

TEST(SolutionParser, LoadErrorsNameTheLine) {
    EXPECT_EQ(LoadError("duplicate.sln"),
              "Failed to load solution file: " + Fixture("duplicate.sln") +
                  " (line 4)\r\nGUID '{dddddddd-0000-0000-0000-000000000001}' assigned to project "
                  "'Two.vcproj' is already in use by a different project.");
    EXPECT_EQ(LoadError("sharedsection.sln"),
              "Failed to load solution file: " + Fixture("sharedsection.sln") +
                  " (line 3)\r\nLine 3: Invalid project definition. Expected: "
                  "'Project(\"{GUID}\") = '");
    EXPECT_TRUE(LoadError("missing.sln")
                    .starts_with("Failed to load solution file: " + Fixture("missing.sln") +
                                 " (line 0)\r\n"));
}

TEST(SolutionParser, MalformedTextFailsWithItsMessage) {
    const std::string head = "Microsoft Visual Studio Solution File, Format Version 9.00\n";
    const std::string project =
        "Project(\"{8BC9CEB8-8B4A-11D0-8D11-00A0C91E6BC7}\") = \"A\", \"a.vcproj\", \"{A0000000-"
        "0000-0000-0000-000000000001}\"\n";
    const struct {
        std::string Text;
        std::string Message;
    } cases[] = {
        {"", "File is empty."},
        {"\n  \n", "File is empty."},
        {head + "Project(\"x\") = \"A\"\n",
         "Line 1: Invalid project definition. Expected: 'Project(\"{GUID}\") = '"},
        {head + "Project(\"{8BC9CEB8-8B4A-11D0-8D11-00A0C91E6BC7}\") = \"A\", \"a\"\n",
         "Line 1: Invalid project/folder definition. Project/folder name, file name, or GUID are "
         "missing."},
        {head + "Project(\"{8BC9CEB8-8B4A-11D0-8D11-00A0C91E6BC7}\") = \"A\", \"a\", \"{x}\"\n",
         "Invalid project GUID string: '{x}'"},
        {head + project, "Invalid project definition. Missing 'EndProject' directive."},
        {head + project + "ProjectSection\nEndProject\n",
         "Line 2: Invalid project section. Expected: '('"},
        {head + project + "ProjectSection(ProjectDependencies) = x\n",
         "Invalid project dependencies section. Missing 'EndProjectSection' directive."},
        {head + "Global\n", "Invalid solution file. Missing 'EndGlobal' directive."},
        {head + "Global\nGlobalSection(x\n", "Line 2: Invalid global section. Expected: ')'"},
        {head + "Global\nGlobalSection(SolutionConfigurationPlatforms)\n",
         "Invalid solution configuration section. Missing 'EndGlobalSection' directive."},
        {head + "Global\nGlobalSection(Other)\n",
         "Invalid global definition. Missing 'EndGlobalSection' directive."},
    };
    for (const auto& c : cases) {
        vs::TWorkspaceParserVC7 parser(false);
        try {
            parser.LoadFromText("/s/x.sln", c.Text);
            ADD_FAILURE() << c.Message;
        } catch (const core::EGeneralError& e) {
            const std::string message = e.what();
            EXPECT_EQ(message.substr(message.find("\r\n") + 2), c.Message);
        }
    }
}

TEST(SolutionParser, HugeInputsParseOrFailCleanly) {
    const std::string head = "Microsoft Visual Studio Solution File, Format Version 12.00\n"
                             "# Visual Studio Version 17\n";
    vs::TWorkspaceParserVC7 longLine(false);
    EXPECT_NO_THROW(longLine.LoadFromText("/s/x.sln", head + std::string(10 << 20, 'x') + "\n"));
    std::string many = head + "Global\nGlobalSection(SolutionConfigurationPlatforms) = pre\n";
    for (int i = 0; i < 1000000; ++i) {
        many += "C = C\n";
    }
    vs::TWorkspaceParserVC7 manyLines(false);
    EXPECT_THROW(manyLines.LoadFromText("/s/x.sln", many), core::EGeneralError);
    // A huge configuration position is passed over, not padded to.
    vs::TWorkspaceParserVC7 legacy(false);
    legacy.LoadFromText("/s/x.sln", "Microsoft Visual Studio Solution File, Format Version 7.00\n"
                                    "Global\nGlobalSection(SolutionConfiguration)\n"
                                    "ConfigName.2000000000 = Huge\nEndGlobalSection\nEndGlobal\n");
    EXPECT_TRUE(legacy.SolutionConfigurations().empty());
}

TEST(PathVariables, Expansion) {
    const vs::TVariableMap variables = {
        {"ROOT", "/src/"}, {"Name", "app"}, {"NESTED", "$(ROOT)x"}, {"LOOP", "%LOOP%"}};
    const struct {
        const char* Path;
        const char* Expected;
    } cases[] = {
        {"$(root)\\$(NAME).vcxproj", "/src/app.vcxproj"}, // one separator dropped
        {"%ROOT%lib", "/src/lib"},
        {"$(NESTED)", "/src/x"},
        {"$(MISSING)a", "a"},
        {"$(ROOT", "$(ROOT"},
        {"50%done", "50%done"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vs::ExpandPathVariables(c.Path, variables), c.Expected) << c.Path;
    }
    EXPECT_THROW(vs::ExpandPathVariables("%LOOP%", variables), core::EGeneralError);
}

// A value that refers to itself fails at once, however long it grows each time.
TEST(PathVariables, SelfReferencesFail) {
    const vs::TVariableMap variables = {{"LOOP", "%LOOP%"},
                                        {"GROW", "%GROW%" + std::string(4096, 'x')},
                                        {"WIDE", "$(WIDE)$(WIDE)"}};
    const struct {
        const char* Path;
        const char* Message;
    } cases[] = {
        {"%LOOP%", "Failed to expand variables. Endless recursion detected."},
        {"a\\%GROW%", "Failed to expand variables. The result exceeds 16777216 bytes."},
        {"$(WIDE)", "Failed to expand variables. Endless recursion detected."},
    };
    for (const auto& c : cases) {
        try {
            vs::ExpandPathVariables(c.Path, variables);
            ADD_FAILURE() << c.Path;
        } catch (const core::EGeneralError& e) {
            EXPECT_STREQ(e.what(), c.Message) << c.Path;
        }
    }
}

// A solution named relative to the current folder has its projects in its own folder.
TEST(SolutionParser, RelativeSolutionName) {
    vs::TWorkspaceParserVC7 parser(false);
    parser.LoadFromText("rel/x.sln",
                        "Microsoft Visual Studio Solution File, Format Version 12.00\n"
                        "# Visual Studio Version 17\n"
                        "Project(\"{8BC9CEB8-8B4A-11D0-8D11-00A0C91BC942}\") = \"p\", "
                        "\"p\\p.vcxproj\", \"{A0000000-0000-0000-0000-000000000001}\"\n"
                        "EndProject\n");
    ASSERT_EQ(parser.ProjectCount(), 1);
    EXPECT_EQ(parser.Project(0).FullPath, platform::GetCurrentDir() + "/rel/p/p.vcxproj");
}

} // namespace
