#include "core/Errors.h"
#include "vs/ProjectParserVC7.h"
#include "vs/ProjectReferences.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

std::string Fixture(const std::string& name) {
    return std::string(RAVEL_VS_FIXTURES) + "/" + name;
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const core::Exception& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(ProjectParserVC7, ReadsConfigurationsReferencesAndFiles) {
    auto parser = vs::CreateProjectParser("x/Engine.VCPROJ");
    ASSERT_NE(parser, nullptr);
    parser->LoadFromFile(Fixture("projects/Engine.vcproj"));
    const auto& vc7 = dynamic_cast<const vs::TProjectParserVC7&>(*parser);
    EXPECT_EQ(parser->ProjectName, "Engine");
    EXPECT_EQ(parser->VersionText, "9.00");
    EXPECT_EQ(vc7.VersionIndex(), 6);
    EXPECT_EQ(vc7.RootNamespace(), "EngineNS");
    // Listed once each; the Xbox 360 platform is renamed for this version.
    EXPECT_EQ(parser->Configurations.Strings(),
              (std::vector<std::string>{"Engine - Debug|Win32", "Engine - Release|Win32",
                                        "Engine - Release|Xenon"}));
    ASSERT_EQ(parser->ProjectReferences.size(), 1u);
    const auto& reference = parser->ProjectReferences[0];
    EXPECT_EQ(reference.GUID, "{F0000000-0000-0000-0000-000000000002}");
    EXPECT_EQ(reference.CopyLocal, vs::TCopyLocal::No);
    EXPECT_EQ(reference.CopyLocalDependencies, vs::TCopyLocal::Unset);
    EXPECT_FALSE(reference.UseDependenciesInBuild);
    ASSERT_EQ(parser->AssemblyReferences.size(), 2u);
    EXPECT_TRUE(parser->AssemblyReferences[0].Version.Set);
    EXPECT_EQ(parser->AssemblyReferences[0].Version.Parts[0], 2);
    EXPECT_EQ(parser->AssemblyReferences[0].CopyLocal, vs::TCopyLocal::Yes);
    EXPECT_FALSE(parser->AssemblyReferences[1].Version.Set); // "1.2" has two parts
    core::TStringListEx files;
    parser->GetFiles(files);
    EXPECT_EQ(files.Strings(),
              (std::vector<std::string>{".\\main.cpp", "sub\\deep.cxx", "readme.txt"}));
    EXPECT_EQ(vs::CreateProjectParser("a.vcxproj"), nullptr);
}

TEST(ProjectParserVC7, IntelProjectsReadTheirNestedProject) {
    vs::TProjectParserVC7 fast(0);
    fast.LoadFromFile(Fixture("projects/Fast.icproj"));
    EXPECT_TRUE(fast.IsIntelProject());
    EXPECT_EQ(fast.IntelCompilerVersion(), 11 * 256 + 1);
    EXPECT_EQ(fast.ProjectName, "Core"); // the nested project's
    EXPECT_EQ(fast.VersionText, "7.10");

    const std::string upper = Fixture("projects/Upper.icproj");
    EXPECT_EQ(ErrorOf([&] { vs::TProjectParserVC7(0).LoadFromFile(upper); }),
              "Failed to load project file: " + upper +
                  "\r\nError loading project: Upper\r\nFile in VCNestedProjectFileName attribute "
                  "does is not a vcproj file. FileName = \"" +
                  Fixture("projects/upper/Nested.VCPROJ") + "\"");
    const std::string old = Fixture("projects/OldIntel.icproj");
    EXPECT_TRUE(ErrorOf([&] { vs::TProjectParserVC7(0).LoadFromFile(old); })
                    .ends_with("Project is of an unknown or unsupported Intel Compiler version: "
                               "Intel C++ 8.x"));
}

TEST(ProjectParserVC7, LoadErrors) {
    const struct {
        const char* File;
        const char* Ending;
    } cases[] = {
        {"projects/CSharp.vcproj", "Error loading project: Sharp\r\nUnknown project type. "
                                   "Expected: 'Visual C++'"},
        {"projects/NoFiles.vcproj", "\r\n'Files' node not found."},
        {"projects/Broken.vcproj", "\r\nInvalid file format: Start-end tags mismatch"},
        {"projects/Missing.vcproj", "\r\nFile not found: "},
        // Nested project files that name each other would be read without end.
        {"projects/Loop.vcproj", "Error loading project: Loop\r\nProject files nest each other "
                                 "in a cycle. FileName = \""},
        {"projects/PingA.vcproj", "Error loading project: PingB\r\nProject files nest each "
                                  "other in a cycle. FileName = \""},
    };
    for (const auto& c : cases) {
        const std::string file = Fixture(c.File);
        const std::string error = ErrorOf([&] { vs::TProjectParserVC7(0).LoadFromFile(file); });
        EXPECT_TRUE(error.starts_with("Failed to load project file: " + file + "\r\n")) << error;
        EXPECT_NE(error.find(c.Ending), std::string::npos) << error;
    }
}

TEST(ProjectParserVC7, DeclaredEncodingsAreDecoded) {
    const struct {
        const char* File;
        const char* Name;
    } cases[] = {
        {"projects/Ansi.vcproj", "Caf\u00e9 \u20ac\u2122"},
        {"projects/Latin.vcproj", "Caf\u00e9 \u00bd"},
        {"projects/Wide.vcproj", "Caf\u00e9 \u20ac"},
        {"projects/WideBig.vcproj", "Caf\u00e9 \u20ac"},
    };
    for (const auto& c : cases) {
        vs::TProjectParserVC7 parser(0);
        parser.LoadFromFile(Fixture(c.File));
        EXPECT_EQ(parser.ProjectName, c.Name) << c.File;
        core::TStringListEx files;
        parser.GetFiles(files);
        EXPECT_EQ(files.Strings(), (std::vector<std::string>{std::string(c.Name) + ".cpp"}))
            << c.File;
    }
}

// Filters nest to any depth: a deep nesting is walked without exhausting the stack.
TEST(ProjectParserVC7, DeeplyNestedFilters) {
    constexpr int Depth = 100000;
    std::string text = "<VisualStudioProject ProjectType=\"Visual C++\" Version=\"9.00\" "
                       "Name=\"Deep\"><Configurations/><Files>";
    for (int i = 0; i < Depth; ++i) {
        text += "<Filter>";
    }
    text += "<File RelativePath=\"deep.cpp\"/>";
    for (int i = 0; i < Depth; ++i) {
        text += "</Filter>";
    }
    text += "<File RelativePath=\"last.cpp\"/></Files></VisualStudioProject>";
    const std::filesystem::path file =
        std::filesystem::path(testing::TempDir()) /
        ("deep_filters_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         ".vcproj");
    std::ofstream(file, std::ios::binary) << text;
    vs::TProjectParserVC7 parser(0);
    core::TStringListEx files;
    try {
        parser.LoadFromFile(file.string());
        parser.GetFiles(files);
    } catch (...) {
        std::filesystem::remove(file);
        throw;
    }
    std::filesystem::remove(file);
    EXPECT_EQ(files.Strings(), (std::vector<std::string>{"deep.cpp", "last.cpp"}));
}

TEST(IntelCompilerVersion, Texts) {
    const struct {
        const char* Text;
        int Version;
    } cases[] = {
        {"PE111", 11 * 256 + 1},
        {"pe11.1", 11 * 256 + 1},
        {"PE12_5", 12 * 256},
        {"PEx", 0},
        {"9.1", 9 * 256 + 1},
        {"Intel C++ 10,1", 10 * 256 + 1},
        {"11.1.038", 11 * 256 + 1},
        {"10", 10 * 256},
        {"9.12", 0},
        {"", 0},
        {"PC", 0},
        {"PC9.9", 0}, // no such registry key
    };
    for (const auto& c : cases) {
        EXPECT_EQ(vs::IntelCompilerVersionOf(c.Text), c.Version) << c.Text;
    }
}

TEST(MSBuildToolset, VersionOfTheGreatestToolset) {
    const struct {
        const char* File;
        const char* Version;
    } cases[] = {{"v90", "9.00"},  {"v110", "11.0"}, {"v120", "12.0"},  {"v140", "14.0"},
                 {"v141", "15.0"}, {"v143", "15.0"}, {"v100", "10.0"},  {"ctp", "11.0"},
                 {"none", "10.0"}, {"two", "14.0"},  {"spaced", "14.0"}};
    for (const auto& c : cases) {
        EXPECT_EQ(
            vs::MSBuildToolsetVersion(Fixture(std::string("toolsets/") + c.File + ".vcxproj")),
            c.Version)
            << c.File;
    }
    for (const char* custom : {"xp", "upper"}) {
        const std::string error = ErrorOf([&] {
            vs::MSBuildToolsetVersion(Fixture(std::string("toolsets/") + custom + ".vcxproj"));
        });
        EXPECT_TRUE(error.starts_with("When executing a Ravelcon command on a single project that "
                                      "includes a custom toolset \""))
            << error;
    }
}

TEST(VersionDetection, SolutionsAndProjects) {
    // "Core" comes first by name; its file is found ignoring case.
    EXPECT_EQ(vs::DetectVersion(Fixture("projects/mixed.sln")), "7.1");
    EXPECT_EQ(vs::DetectVersion(Fixture("app/app.sln")), "17.0"); // no versioned project
    EXPECT_EQ(vs::DetectVersion(Fixture("projects/Engine.vcproj")), "9.0");
    EXPECT_EQ(vs::DetectVersion(Fixture("toolsets/v141.vcxproj")), "15.0");
    const std::string other = Fixture("projects/readme.txt");
    EXPECT_EQ(ErrorOf([&] { vs::DetectVersion(other); }),
              "Failed to detect version of solution/project file: " + other +
                  "\r\nUnknown file type: " + other);
}

} // namespace

namespace {

TEST(ProjectReferences, OlderCSharpForm) {
    const auto references = vs::ReadProjectReferences(Fixture("app/lib/old.csproj"), 13);
    ASSERT_EQ(references.size(), 1u);
    EXPECT_EQ(references[0].GUID, "{11111111-1111-1111-1111-111111111111}");
    EXPECT_FALSE(references[0].CSharp);
    EXPECT_TRUE(vs::ReadProjectReferences(Fixture("toolsets/v90.vcxproj"), 13).empty());
}

} // namespace
