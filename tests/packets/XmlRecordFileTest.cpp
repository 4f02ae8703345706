#include "records/XmlRecordFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "records/BuildCacheProfile.h"
#include "records/JobProfile.h"
#include "records/Registration.h"

using namespace records;

namespace {

std::string Expect(const std::function<void()>& f) {
    try {
        f();
    } catch (const EXmlRecordError& e) {
        return e.what();
    }
    return "(no error)";
}

std::string ReadError(std::string_view text) {
    TXml_ProfileDocument profile;
    return Expect([&] { ReadXmlRecord(text, "p.xml", profile); });
}

} // namespace

TEST(XmlRecordFile, RootNamesComeFromTheClassNames) {
    EXPECT_EQ(XmlElementNameOf(TXml_ProfileDocument::StaticClass()), "Profile");
    EXPECT_EQ(XmlElementNameOf(TXml_BuildDocument::StaticClass()), "Build");
    EXPECT_EQ(XmlElementNameOf(TBuildCacheProfileDocument::StaticClass()), "BuildCacheProfile");
    EXPECT_EQ(XmlElementNameOf(TXml_Tool::StaticClass()), "Tool");
}

TEST(XmlRecordFile, WrittenFormHoldsOnlyWhatDiffersFromDefaults) {
    TXml_ProfileDocument profile;
    profile.FormatVersion = 1;
    auto& tool = profile.Tools.AddNew();
    tool.Filename = "gcc";
    tool.AllowRemote = "true";
    tool.AllowIntercept = true;
    tool.TimeLimit = -5;
    tool.AutoRecover_AsList.Add("a & b");
    tool.AutoRecover_AsList.Add("<c>");
    profile.PreBuildStep.Filepath = "/x/\"pre\".sh";
    EXPECT_EQ(WriteXmlRecord(profile),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Profile FormatVersion=\"1\">\n"
              "  <Tool Filename=\"gcc\" AllowRemote=\"true\" AllowIntercept=\"true\" "
              "TimeLimit=\"-5\">\n"
              "    <AutoRecover_AsList Value=\"a &amp; b\" />\n"
              "    <AutoRecover_AsList Value=\"&lt;c>\" />\n"
              "  </Tool>\n"
              "  <PreBuildStep Filepath=\"/x/&quot;pre&quot;.sh\" />\n"
              "</Profile>\n");
}

TEST(XmlRecordFile, EveryDocumentRoundTrips) {
    RegisterAllPacketClasses();
    TXml_ProfileDocument profile;
    profile.FormatVersion = 3;
    profile.DisablePredictedExecution = true;
    for (const char* name : {"cc", "ld.gold", "*-gcc-[0-9]*"}) {
        auto& tool = profile.Tools.AddNew();
        tool.Filename = name;
        tool.AllowWrap = true;
        tool.ReservedSet.Include(static_cast<TToolReservedFlag>(9));
        tool.OutputFileMasks = "line one\nline two\ttab";
        tool.AutoRecover_AsList.Add("");
        tool.AutoRecover_AsList.Add("  spaced  ");
        tool.AutoRecover_AsList.Add("   ");
        tool.AutoRecover_AsList.Add("cr\r\nlf\ttab");
        tool.Params = " \r\n\t<&>\"' ";
    }
    TXml_BuildDocument build;
    build.FormatVersion = 1;
    auto& env = build.Environments.AddNew();
    env.Name = "default";
    env.Variables.AddNew().Name = "CC";
    env.Tools.AddNew().Filename = "gcc";
    auto& group = build.Project.AddNew();
    group.Name = "outer";
    auto& inner = group.TaskGroup.AddNew();
    inner.Name = "inner";
    inner.Task.AddNew().SourceFile = "a.c";
    inner.Task.AddNew().Params = "-O2 \"x y\"";
    TBuildCacheProfileDocument cache;
    cache.FormatVersion = 2;
    auto& cached = cache.Tools.AddNew();
    cached.Filename = "cl.exe";
    cached.AllowBuildCache = true;
    cached.ChildProcesses.AddNew().ProcName = "mspdbsrv.exe";

    for (const packets::TPacket* document :
         std::initializer_list<const packets::TPacket*>{&profile, &build, &cache}) {
        const std::string text = WriteXmlRecord(*document);
        const auto loaded = document->Class().Create();
        ReadXmlRecord(text, "doc.xml", *loaded);
        EXPECT_TRUE(loaded->IsEqual(*document)) << text;
    }
    const std::string buildText = WriteXmlRecord(build);
    EXPECT_NE(buildText.find("<Environment Name=\"default\">"), std::string::npos) << buildText;
    EXPECT_NE(buildText.find("<Project Name=\"outer\">"), std::string::npos);
    EXPECT_NE(buildText.find("<TaskGroup Name=\"inner\">"), std::string::npos);
    EXPECT_NE(WriteXmlRecord(cache).find("<Exclude ProcName=\"mspdbsrv.exe\" />"),
              std::string::npos);
}

TEST(XmlRecordFile, BadFilesAreErrorsNamingFileLineAndName) {
    struct TCase {
        const char* text;
        const char* message;
    };
    const TCase cases[] = {
        {"", "p.xml:1: not valid XML: No document element found"},
        {"<Profile>\n<Tool\n", "p.xml:2: not valid XML"},
        {"<Build/>", "p.xml:1: the root element is <Build>, expected <Profile>"},
        {"<Profile FormatVersion=\"1\" Colour=\"red\"/>",
         "p.xml:1: unknown attribute Colour of <Profile>"},
        {"<Profile>\n  <Tool Filename=\"gcc\"\n        AlowRemote=\"true\"/>\n</Profile>",
         "p.xml:3: unknown attribute AlowRemote of <Tool>"},
        {"<Profile>\n\n  <Tools/>\n</Profile>", "p.xml:3: unknown element <Tools> in <Profile>"},
        {"<Profile>\n  <Tool Filename=\"gcc\" AllowWrap=\"yes\"/>\n</Profile>",
         "p.xml:2: malformed value \"yes\" of attribute AllowWrap of <Tool>: expected true or "
         "false"},
        {"<Profile FormatVersion=\"1x\"/>",
         "p.xml:1: malformed value \"1x\" of attribute FormatVersion"},
        {"<Profile FormatVersion=\"2147483648\"/>", "expected a 32-bit integer"},
        {"<Profile FormatVersion=\"\"/>", "malformed value \"\" of attribute FormatVersion"},
        {"<Profile>\n<Tool ReservedSet=\"0G00\"/></Profile>",
         "p.xml:2: malformed value \"0G00\" of attribute ReservedSet of <Tool>: expected 4 "
         "hexadecimal digits"},
        {"<Profile FormatVersion=\"1\" FormatVersion=\"2\"/>",
         "attribute FormatVersion of <Profile> given twice"},
        {"<Profile>\n  text\n</Profile>", "p.xml:1: unexpected text in <Profile>"},
        {"<Profile><PreBuildStep/><PreBuildStep/></Profile>", "element <PreBuildStep> given twice"},
        {"<Profile><Tool><AutoRecover_AsList Value=\"1\">x</AutoRecover_AsList></Tool></Profile>",
         "<AutoRecover_AsList> holds one Value attribute and nothing else"},
        {"<Profile><Tool><AutoRecover_AsList/></Tool></Profile>",
         "<AutoRecover_AsList> holds one Value attribute and nothing else"},
        {"<Profile><Tool><AutoRecover_AsList Value=\"1\" X=\"2\"/></Tool></Profile>",
         "<AutoRecover_AsList> holds one Value attribute and nothing else"},
        {"<Profile><Tool><Tool/></Tool></Profile>", "unknown element <Tool> in <Tool>"},
    };
    for (const auto& c : cases) {
        const std::string error = ReadError(c.text);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << "\n -> " << error;
    }
}

// Each record says the line of its element (CR LF, LF and long files alike).
TEST(XmlRecordFile, RecordsKnowTheirLines) {
    RegisterAllPacketClasses();
    for (const char* end : {"\n", "\r\n"}) {
        std::string text = std::string("<?xml version=\"1.0\"?>") + end +
                           "<Build FormatVersion=\"1\">" + end + "<Environment Name=\"E\">" + end +
                           "<Variable Name=\"V\"/>" + end + "</Environment>" + end +
                           "<Project Name=\"P\">" + end;
        for (int i = 0; i < 1000; ++i) {
            text += "<Task Name=\"t" + std::to_string(i) + "\"/>" + end;
        }
        text += std::string("</Project>") + end + "</Build>" + end;
        TXml_BuildDocument document;
        TXmlRecordLines lines;
        ReadXmlRecord(text, "job.xml", document, &lines);
        EXPECT_EQ(lines.at(&document), 2);
        EXPECT_EQ(lines.at(&document.Environments[0]), 3);
        EXPECT_EQ(lines.at(&document.Environments[0].Variables[0]), 4);
        EXPECT_EQ(lines.at(&document.Project[0]), 6);
        EXPECT_EQ(lines.at(&document.Project[0].Task[0]), 7);
        EXPECT_EQ(lines.at(&document.Project[0].Task[999]), 1006);
        EXPECT_EQ(lines.size(), 1004u);
    }
}

TEST(XmlRecordFile, CommentsAndDeclarationsAreAllowed) {
    TXml_ProfileDocument profile;
    ReadXmlRecord("\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c -->\n<Profile>\n<!-- c -->\n"
                  "<Tool Filename=\"a\"/></Profile>",
                  "p.xml", profile);
    ASSERT_EQ(profile.Tools.Count(), 1);
    EXPECT_EQ(profile.Tools[0].Filename, "a");
}

namespace {

std::string DefaultProfile() {
    return std::string(std::getenv("RAVELCON_TEST_DATA")) +
           "/../../resources/DefaultJobProfile.xml";
}

class TTempFile {
public:
    explicit TTempFile(const std::string& text) {
        char pattern[] = "/tmp/ravel_profile_XXXXXX";
        const int fd = ::mkstemp(pattern);
        path = pattern;
        std::ofstream(path) << text;
        (void)fd;
    }
    ~TTempFile() { std::filesystem::remove(path); }
    std::string path;
};

} // namespace

TEST(JobProfile, DefaultProfileCoversTheGnuAndLlvmToolchains) {
    TXml_ProfileDocument profile;
    LoadJobProfile(DefaultProfile(), "", profile);
    EXPECT_EQ(profile.FormatVersion, 1);
    struct TCase {
        const char* name;
        const char* allowRemote; // nullptr: no rule
    };
    const TCase cases[] = {
        {"cc", "true"},
        {"c++", "true"},
        {"gcc", "true"},
        {"g++", "true"},
        {"clang", "true"},
        {"clang++", "true"},
        {"gcc-12", "true"},
        {"g++-12", "true"},
        {"clang-15", "true"},
        {"clang++-15", "true"},
        {"x86_64-linux-gnu-gcc-12", "true"},
        {"x86_64-linux-gnu-g++", "true"},
        {"aarch64-linux-gnu-clang++", "true"},
        {"ld", "false"},
        {"ld.bfd", "false"},
        {"ld.gold", "false"},
        {"ld.lld", "false"},
        {"x86_64-linux-gnu-ld", "false"},
        {"ar", "false"},
        {"ranlib", "false"},
        {"gcc-ar-12", "false"},
        {"x86_64-linux-gnu-gcc-ar-12", "false"},
        {"llvm-ar-15", "false"},
        {"as", "false"},
        {"x86_64-linux-gnu-as", "false"},
        {"clang-format", nullptr},
        {"gcc-nm", nullptr},
        {"make", nullptr},
        {"cc1", nullptr},
    };
    for (const auto& c : cases) {
        const TXml_Tool* rule = FindToolRule(profile, c.name);
        if (c.allowRemote == nullptr) {
            EXPECT_EQ(rule, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(rule, nullptr) << c.name;
        EXPECT_EQ(rule->AllowRemote, c.allowRemote) << c.name;
        EXPECT_TRUE(rule->AllowIntercept) << c.name;
    }
    const std::string patterns = InterceptedToolPatterns(profile);
    EXPECT_EQ(patterns.substr(0, 10), "cc:c++:gcc");
}

TEST(JobProfile, ProfileFileOverridesRulesByFilename) {
    TTempFile over("<Profile FormatVersion=\"1\">\n"
                   "  <Tool Filename=\"gcc\" AllowIntercept=\"true\" AllowRemote=\"false\"/>\n"
                   "  <Tool Filename=\"ld\" AllowIntercept=\"false\"/>\n"
                   "  <Tool Filename=\"mycc\" AllowIntercept=\"true\" AllowRemote=\"true\"/>\n"
                   "</Profile>\n");
    TXml_ProfileDocument base;
    LoadJobProfile(DefaultProfile(), "", base);
    TXml_ProfileDocument profile;
    LoadJobProfile(DefaultProfile(), over.path, profile);
    ASSERT_EQ(profile.Tools.Count(), base.Tools.Count() + 1);
    EXPECT_EQ(profile.Tools[2].Filename, "gcc");
    EXPECT_EQ(profile.Tools[2].AllowRemote, "false");
    EXPECT_EQ(profile.Tools[2].DeriveCaptionFrom, ""); // the whole rule is replaced
    EXPECT_EQ(FindToolRule(profile, "mycc"), &profile.Tools[profile.Tools.Count() - 1]);
    const std::string patterns = ":" + InterceptedToolPatterns(profile) + ":";
    EXPECT_EQ(patterns.find(":ld:"), std::string::npos);
    EXPECT_NE(patterns.find(":mycc:"), std::string::npos);
    EXPECT_NE(patterns.find(":ld.gold:"), std::string::npos);
}

TEST(JobProfile, MalformedProfilesAreBuildErrorsNamingTheFile) {
    struct TCase {
        const char* text;
        const char* message;
    };
    const TCase cases[] = {
        {"<Profile>\n<Tool Filename=\"gcc\" AllowIntercept=\"maybe\"/></Profile>",
         ":2: malformed value \"maybe\" of attribute AllowIntercept of <Tool>"},
        {"<Profile><Tool AllowIntercept=\"true\"/></Profile>", ": <Tool> number 1 has no Filename"},
        {"<Profile><Tool Filename=\"a:b\"/></Profile>", "has a \":\" in its Filename"},
        {"<Profile><Tool Filename=\"a\" AllowRemote=\"sometimes\"/></Profile>",
         "has AllowRemote \"sometimes\", expected true or false"},
    };
    for (const auto& c : cases) {
        TTempFile file(c.text);
        TXml_ProfileDocument profile;
        const std::string error =
            Expect([&] { LoadJobProfile(DefaultProfile(), file.path, profile); });
        EXPECT_EQ(error.rfind(file.path, 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    TXml_ProfileDocument profile;
    EXPECT_NE(Expect([&] {
                  LoadJobProfile("/nonexistent/p.xml", "", profile);
              }).find("cannot read /nonexistent/p.xml"),
              std::string::npos);
}

TEST(BuildCacheProfile, DefaultProfileAllowsTheCAndCxxCompilersOnly) {
    const std::string defaultFile = std::string(std::getenv("RAVELCON_TEST_DATA")) +
                                    "/../../resources/DefaultBuildCacheProfile.xml";
    TBuildCacheProfileDocument profile;
    LoadBuildCacheProfile(defaultFile, "", profile);
    EXPECT_EQ(profile.FormatVersion, 1);
    const struct {
        const char* name;
        bool allowed;
    } cases[] = {
        {"cc", true},         {"c++", true},        {"gcc", true},
        {"g++", true},        {"clang", true},      {"clang++", true},
        {"gcc-12", true},     {"clang++-15", true}, {"x86_64-linux-gnu-gcc-12", true},
        {"ld", false},        {"ar", false},        {"as", false},
        {"gcc-ar-12", false}, {"make", false},      {"clang-format", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AllowsBuildCache(profile, c.name), c.allowed) << c.name;
    }
}

TEST(BuildCacheProfile, ANamedProfileReplacesTheDefault) {
    TTempFile named("<BuildCacheProfile FormatVersion=\"1\">\n"
                    "  <Tool Filename=\"gcc\" AllowBuildCache=\"false\"/>\n"
                    "  <Tool Filename=\"g*\" AllowBuildCache=\"true\"/>\n"
                    "</BuildCacheProfile>\n");
    TBuildCacheProfileDocument profile;
    LoadBuildCacheProfile("/nonexistent/default.xml", named.path, profile);
    EXPECT_FALSE(AllowsBuildCache(profile, "gcc")); // the exact name wins over a pattern
    EXPECT_TRUE(AllowsBuildCache(profile, "g++"));
    EXPECT_FALSE(AllowsBuildCache(profile, "cc"));
}

TEST(BuildCacheProfile, TheRuleOfAToolNamesTheVariablesOfItsKey) {
    TTempFile named(
        "<BuildCacheProfile FormatVersion=\"1\">\n"
        "  <Tool Filename=\"cc\" AllowBuildCache=\"true\" KeyVariables=\" SDK ;A_1,\"/>\n"
        "  <Tool Filename=\"c*\" AllowBuildCache=\"false\" KeyVariables=\"B\"/>\n"
        "</BuildCacheProfile>\n");
    TBuildCacheProfileDocument profile;
    LoadBuildCacheProfile("/nonexistent/default.xml", named.path, profile);
    EXPECT_EQ(BuildCacheKeyVariables(profile, "cc"), (std::vector<std::string>{"SDK", "A_1"}));
    EXPECT_TRUE(BuildCacheKeyVariables(profile, "clang").empty()); // not cached at all
    EXPECT_TRUE(BuildCacheKeyVariables(profile, "ld").empty());
}

TEST(BuildCacheProfile, MalformedProfilesAreErrorsNamingTheFile) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"<BuildCacheProfile>\n<Tool Filename=\"gcc\" AllowBuildCache=\"often\"/>"
         "</BuildCacheProfile>",
         ":2: malformed value \"often\" of attribute AllowBuildCache of <Tool>"},
        {"<BuildCacheProfile><Tool AllowBuildCache=\"true\"/></BuildCacheProfile>",
         ": <Tool> number 1 has no Filename"},
        {"<BuildCacheProfile><Tool Filename=\"gcc\" Remote=\"1\"/></BuildCacheProfile>", "Remote"},
        {"<BuildCacheProfile><Tool Filename=\"cc\" KeyVariables=\"SDK;A-B\"/></BuildCacheProfile>",
         ": <Tool> number 1: KeyVariables names \"A-B\", which is no environment variable name"},
        {"<BuildCacheProfile><Tool Filename=\"cc\" KeyVariables=\"1X\"/></BuildCacheProfile>",
         "\"1X\""},
        {"<Profile FormatVersion=\"1\"/>", "Profile"},
        {"<BuildCacheProfile><Tool", ""},
    };
    for (const auto& c : cases) {
        TTempFile file(c.text);
        TBuildCacheProfileDocument profile;
        const std::string error = Expect([&] { LoadBuildCacheProfile("", file.path, profile); });
        EXPECT_EQ(error.rfind(file.path, 0), 0u) << error;
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    TBuildCacheProfileDocument profile;
    EXPECT_NE(Expect([&] {
                  LoadBuildCacheProfile("/nonexistent/b.xml", "", profile);
              }).find("cannot read /nonexistent/b.xml"),
              std::string::npos);
}
