#include "buildsys/JobGraph.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace buildsys;

const std::string DocFile = "/docs/job.xml";
// The build's environment: its PATH finds the tools.
constexpr char EnvironmentBlock[] = "PATH=/usr/bin:/bin\0HOME=/home/u\0";
const std::string Environment(EnvironmentBlock, sizeof EnvironmentBlock); // ends in "\0\0"

// A document: the XML declaration on line 1, <Build> on line 2, `body` from line 3.
std::string Doc(const std::string& body, const std::string& version = "1") {
    return "<?xml version=\"1.0\"?>\n<Build FormatVersion=\"" + version + "\">\n" + body +
           "</Build>\n";
}

const std::string Env = "<Environment Name=\"E\">\n"
                        "<Tool Name=\"t\" Path=\"bin/tool\" Params=\"-v\"/>\n"
                        "<Variable Name=\"OUT\" Value=\"out\"/>\n"
                        "</Environment>\n"; // lines 3 to 6

TJobGraph Make(const std::string& text) {
    records::RegisterAllPacketClasses();
    records::TXml_BuildDocument document;
    records::TXmlRecordLines lines;
    records::ReadXmlRecord(text, DocFile, document, &lines);
    return MakeJobGraph(document, lines, DocFile, Environment);
}

std::string ErrorOf(const std::string& text) {
    try {
        Make(text);
    } catch (const EJobDocumentError& e) {
        return e.what();
    }
    return "(no error)";
}

const TJobTask& Named(const TJobGraph& graph, const std::string& name) {
    for (const TJobTask& task : graph.Tasks) {
        if (task.Name == name) {
            return task;
        }
    }
    throw std::runtime_error("no task " + name);
}

std::vector<std::string> NamesOf(const TJobGraph& graph, const std::vector<std::int32_t>& tasks) {
    std::vector<std::string> names;
    for (const std::int32_t t : tasks) {
        names.push_back(graph.Tasks[static_cast<std::size_t>(t)].Name);
    }
    return names;
}

TEST(JobGraph, NameLists) {
    EXPECT_EQ(SplitNameList("a;b, c ,,;d"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_TRUE(SplitNameList(" ; , ").empty());
}

// Every error names the file, the line and the element; nothing is half made.
TEST(JobGraph, ErrorsNameTheElementAndTheLine) {
    const struct {
        std::string Text;
        std::string Error;
    } cases[] = {
        {Doc(Env, "2"), "/docs/job.xml:2: <Build> has FormatVersion 2, this reader accepts 1"},
        {Doc(Env + "<Project Name=\"P\" Env=\"E\">\n<Task Name=\"a\" Tool=\"x\"/>\n</Project>\n"),
         "/docs/job.xml:8: <Task Name=\"a\">: unknown tool \"x\" in <Environment Name=\"E\">"},
        {Doc(Env + "<Project Name=\"P\" Env=\"F\">\n<Task Name=\"a\" Tool=\"t\"/>\n</Project>\n"),
         "/docs/job.xml:7: <Project Name=\"P\">: unknown environment \"F\""},
        {Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\" DependsOn=\"b;zz\"/>\n"
                   "<Task Name=\"b\" Tool=\"t\"/>\n</Project>\n"),
         "/docs/job.xml:8: <Task Name=\"a\">: unknown dependency \"zz\""},
        {Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\" DependsOn=\"b\"/>\n"
                   "<Task Name=\"b\" Tool=\"t\" DependsOn=\"a\"/>\n</Project>\n"),
         "/docs/job.xml:8: Dependency cycle: a -> b -> a"},
        {Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\" DependsOn=\"P\"/>\n"
                   "</Project>\n"),
         "/docs/job.xml:8: Dependency cycle: a -> a"},
        {Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\"/>\n"
                   "<Task Name=\"a\" Tool=\"t\"/>\n</Project>\n"),
         "/docs/job.xml:9: duplicate name: <Task Name=\"a\"> (first at line 8)"},
        {Doc(Env + "<Project Name=\"a\">\n<Task Name=\"a\" Tool=\"t\"/>\n</Project>\n"),
         "/docs/job.xml:8: duplicate name: <Task Name=\"a\"> (first at line 7)"},
        {Doc(Env + Env), "/docs/job.xml:7: duplicate <Environment Name=\"E\">"},
        {Doc("<Environment Name=\"E\">\n<Tool Name=\"t\" Path=\"x\"/>\n<Tool Filename=\"t\"/>\n"
             "</Environment>\n"),
         "/docs/job.xml:5: duplicate <Tool Name=\"t\"> in <Environment Name=\"E\">"},
        {Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\" Params=\"$(NOPE)\"/>\n"
                   "</Project>\n"),
         "/docs/job.xml:8: <Task Name=\"a\">: unknown variable $(NOPE)"},
        {Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\" StopOnErrors=\"maybe\"/>\n"
                   "</Project>\n"),
         "/docs/job.xml:8: <Task Name=\"a\">: StopOnErrors is \"maybe\", expected true or false"},
        {Doc("<Environment Name=\"E\">\n<Tool Name=\"t\" Path=\"x\" SuccessExitCodes=\"0;x\"/>\n"
             "</Environment>\n<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\"/>\n</Project>\n"),
         "/docs/job.xml:4: <Tool Name=\"t\">: SuccessExitCodes: \"x\" is not an exit code"},
        {Doc("<Environment Name=\"E\">\n<Tool Name=\"t\" Filename=\"no-such-tool-here\"/>\n"
             "</Environment>\n<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\"/>\n</Project>\n"),
         "/docs/job.xml:4: <Tool Name=\"t\">: \"no-such-tool-here\" is not found on PATH"},
        {Doc(Env + "<Project Name=\"P\">\n<Task Tool=\"t\"/>\n</Project>\n"),
         "/docs/job.xml:8: <Task> has no Name"},
        {Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\"/>\n</Project>\n"),
         "/docs/job.xml:8: <Task Name=\"a\">: no Tool (neither its own nor its group's)"},
    };
    for (const auto& c : cases) {
        const std::string error = ErrorOf(c.Text);
        EXPECT_NE(error.find(c.Error), std::string::npos) << c.Text << "\n--> " << error;
    }
}

TEST(JobGraph, EveryErrorIsReportedOnALineOfItsOwn) {
    const std::string error =
        ErrorOf(Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"x\"/>\n"
                          "<Task Name=\"a\" Tool=\"t\" DependsOn=\"q\"/>\n</Project>\n"));
    EXPECT_EQ(error, "/docs/job.xml:8: <Task Name=\"a\">: unknown tool \"x\" in <Environment "
                     "Name=\"E\">\r\n"
                     "/docs/job.xml:9: duplicate name: <Task Name=\"a\"> (first at line 8)\r\n"
                     "/docs/job.xml:9: <Task Name=\"a\">: unknown dependency \"q\"");
}

TEST(JobGraph, TasksCommandsAndFolders) {
    const TJobGraph graph = Make(Doc(
        Env + "<Project Name=\"P\" WorkingDir=\"src\">\n"
              "<Task Name=\"a\" Tool=\"t\" Caption=\"Compile a\" Params=\"&quot;$(OUT)/a b&quot; "
              "$(HOME)\"/>\n"
              "<Task Name=\"b\" Tool=\"t\" WorkingDir=\"../b\"/>\n"
              "<TaskGroup Name=\"G\" Tool=\"t\" WorkingDir=\"/abs\">\n"
              "<Task Name=\"c\" SourceFile=\"$(OUT)/c.c\"/>\n</TaskGroup>\n</Project>\n"
              "<Project Name=\"Q\">\n<Task Name=\"d\" Tool=\"t\"/>\n</Project>\n"));
    ASSERT_EQ(graph.Tasks.size(), 4u);
    const TJobTask& a = Named(graph, "a");
    EXPECT_EQ(a.Caption, "Compile a");
    EXPECT_EQ(a.Arguments,
              (std::vector<std::string>{"/docs/bin/tool", "-v", "out/a b", "/home/u"}));
    EXPECT_EQ(a.WorkingDir, "/docs/src");
    EXPECT_EQ(a.Line, 8);
    EXPECT_EQ(Named(graph, "b").Caption, "b");
    EXPECT_EQ(Named(graph, "b").WorkingDir, "/docs/b");
    EXPECT_EQ(Named(graph, "c").WorkingDir, "/abs");
    EXPECT_EQ(Named(graph, "c").Source, "out/c.c");
    EXPECT_EQ(Named(graph, "d").WorkingDir, "/docs");
    EXPECT_EQ(Named(graph, "d").Project, 1);
    ASSERT_EQ(graph.Projects.size(), 2u);
    EXPECT_EQ(graph.Projects[0].Name, "P");
    EXPECT_EQ(graph.Projects[0].TaskCount, 3);
    EXPECT_EQ(graph.Projects[1].TaskCount, 1);
}

TEST(JobGraph, ToolsAreFoundOnThePathAndKeepTheirExitCodes) {
    const TJobGraph graph = Make(
        Doc("<Environment Name=\"E\">\n<Tool Filename=\"sh\" SuccessExitCodes=\"0; 3\" "
            "WarningExitCodes=\"1,2\" SkipIfProjectFailed=\"true\" AllowRemote=\"true\"/>\n"
            "</Environment>\n<Project Name=\"P\" StopOnErrors=\"true\">\n"
            "<Task Name=\"a\" Tool=\"sh\"/>\n"
            "<Task Name=\"b\" Tool=\"sh\" SkipIfProjectFailed=\"false\" StopOnErrors=\"false\"/>\n"
            "</Project>\n"));
    const TJobTask& a = Named(graph, "a");
    ASSERT_FALSE(a.Arguments.empty());
    EXPECT_TRUE(a.Arguments[0] == "/usr/bin/sh" || a.Arguments[0] == "/bin/sh") << a.Arguments[0];
    EXPECT_EQ(a.SuccessExitCodes, (std::vector<std::int32_t>{0, 3}));
    EXPECT_EQ(a.WarningExitCodes, (std::vector<std::int32_t>{1, 2}));
    EXPECT_TRUE(a.SkipIfProjectFailed);
    EXPECT_TRUE(a.StopOnErrors);
    EXPECT_TRUE(a.AllowRemote);
    EXPECT_FALSE(Named(graph, "b").SkipIfProjectFailed);
    EXPECT_FALSE(Named(graph, "b").StopOnErrors);
}

TEST(JobGraph, DependenciesOfTasksGroupsAndOverlaps) {
    const TJobGraph graph = Make(
        Doc(Env + "<Project Name=\"P\" Tool=\"t\">\n"
                  "<Task Name=\"p1\"/>\n"
                  "<Task Name=\"p2\" SubProjectOverlap=\"false\"/>\n"
                  "<TaskGroup Name=\"G\" DependsOn=\"q1\">\n"
                  "<Task Name=\"g1\"/>\n"
                  "<Task Name=\"g2\" DependsOn=\"g1, Q\"/>\n"
                  "<TaskGroup Name=\"H\" ParentProjectOverlap=\"false\">\n"
                  "<Task Name=\"h1\"/>\n</TaskGroup>\n"
                  "</TaskGroup>\n"
                  "</Project>\n"
                  "<Project Name=\"Q\" Tool=\"t\" SubProjectOverlap=\"false\">\n"
                  "<Task Name=\"q1\"/>\n<Task Name=\"q2\" DependsOn=\"q1\"/>\n"
                  "<TaskGroup Name=\"R\">\n<Task Name=\"r1\" ParentProjectOverlap=\"false\"/>\n"
                  "</TaskGroup>\n</Project>\n"));
    const auto deps = [&](const std::string& name) {
        return NamesOf(graph, Named(graph, name).DependsOn);
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(deps("p1"), V{});
    EXPECT_EQ(deps("p2"), V{});
    // A group's DependsOn holds for its tasks; p2 holds back the subgroups of P.
    EXPECT_EQ(deps("g1"), (V{"p2", "q1"}));
    // A group named stands for every task in it.
    EXPECT_EQ(deps("g2"), (V{"p2", "g1", "q1", "q2", "r1"}));
    // H does not overlap its parent G: it waits for G's own tasks.
    EXPECT_EQ(deps("h1"), (V{"p2", "g1", "g2", "q1"}));
    EXPECT_EQ(deps("q2"), (V{"q1"}));
    // Q's subgroups do not overlap Q's own tasks; r1 also waits for its parent's own.
    EXPECT_EQ(deps("r1"), (V{"q1", "q2"}));
    EXPECT_EQ(NamesOf(graph, graph.Dependents[0]), V{});
}

TEST(JobGraph, TheFirstEnvironmentIsTheDefault) {
    const TJobGraph graph =
        Make(Doc(Env + "<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\"/>\n</Project>\n"));
    EXPECT_EQ(Named(graph, "a").Arguments, (std::vector<std::string>{"/docs/bin/tool", "-v"}));
    EXPECT_NE(ErrorOf(Doc("<Project Name=\"P\">\n<Task Name=\"a\" Tool=\"t\"/>\n</Project>\n"))
                  .find("unknown tool \"t\": the document has no <Environment>"),
              std::string::npos);
}

// A long chain is checked without recursion.
TEST(JobGraph, LongChainsAreChecked) {
    std::string body = Env + "<Project Name=\"P\" Tool=\"t\">\n";
    const int count = 200000;
    for (int i = 0; i < count; ++i) {
        body += "<Task Name=\"t" + std::to_string(i) + "\"" +
                (i > 0 ? " DependsOn=\"t" + std::to_string(i - 1) + "\"" : "") + "/>\n";
    }
    const TJobGraph graph = Make(Doc(body + "</Project>\n"));
    EXPECT_EQ(graph.Tasks.size(), static_cast<std::size_t>(count));
    body.replace(body.find("<Task Name=\"t0\""), 15, "<Task Name=\"t0\" DependsOn=\"t199999\"");
    const std::string error = ErrorOf(Doc(body + "</Project>\n"));
    EXPECT_TRUE(error.starts_with("/docs/job.xml:8: Dependency cycle: t0 -> t199999 -> t199998"))
        << error.substr(0, 200);
}

} // namespace
