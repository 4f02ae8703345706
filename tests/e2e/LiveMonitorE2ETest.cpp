// The live view of a running build through the real programs of a private
// installation: the console under /OPENMONITOR and `morvek-monitor --live` serve the
// page of a build that runs compile tasks over several seconds; headless chromium
// watches it grow and end with the build's result; requests without the token are
// refused. The report of a finished build finds a failed compile's lines from its bar.
#include "Installation.h"
#include "MonitorSteps.h"
#include "ProcessRunner.h"
#include "records/MonitorEvents.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

constexpr int GiveUpMs = 60000;

std::string FindProgram(std::initializer_list<const char*> names) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        for (const char* name : names) {
            const fs::path candidate = fs::path(dir) / name;
            if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
                return candidate.string();
            }
        }
    }
    return {};
}

// Reads `fd` into `text` until `line` matches a whole line or the time is up.
std::smatch ReadUntil(int fd, std::string& text, const std::regex& line) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(GiveUpMs);
    std::smatch match;
    while (!std::regex_search(text, match, line)) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return {};
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return {};
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return match;
}

// The server-side ends of established connections to 127.0.0.1:`port`.
int ConnectionsTo(int port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string lineText;
    std::getline(tcp, lineText);
    char want[16];
    std::snprintf(want, sizeof want, "0100007F:%04X", port);
    int n = 0;
    while (std::getline(tcp, lineText)) {
        std::istringstream fields(lineText);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        n += local == want && state == "01" ? 1 : 0;
    }
    return n;
}

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

std::map<std::string, std::string> Facts(const std::string& dom) {
    std::map<std::string, std::string> facts;
    const std::size_t at = dom.find("<div id=\"facts\"");
    if (at == std::string::npos) {
        return facts;
    }
    const std::string tag = dom.substr(at, dom.find('>', at) - at);
    static const std::regex attribute("data-([a-z-]+)=\"([^\"]*)\"");
    for (std::sregex_iterator it(tag.begin(), tag.end(), attribute), end; it != end; ++it) {
        facts[(*it)[1]] = (*it)[2];
    }
    return facts;
}

// The running viewers of this installation (they outlive the consoles that start them).
std::vector<int> Viewers() {
    std::vector<int> found;
    const std::string program = install.Bin + "/morvek-monitor";
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::string cmdline = ReadFile(entry.path().string() + "/cmdline");
        const std::string stat = ReadFile(entry.path().string() + "/stat");
        const std::size_t close = stat.rfind(')');
        const bool zombie =
            close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
        if (!zombie && cmdline.starts_with(program + '\0')) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

void EndViewers() {
    for (const int pid : Viewers()) {
        ::kill(pid, SIGTERM);
    }
    EXPECT_TRUE(WaitUntil([] { return Viewers().empty(); }, 10000)) << "a viewer did not end";
}

int Status(int port, const std::string& path) {
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(5);
    client.set_read_timeout(5);
    const auto result = client.Get(path.c_str());
    return result ? result->status : -1;
}

class LiveMonitor : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        SetUpInstallation("live-e2e", {RAVELCON_BINARY, AGENT_BINARY, MONITOR_BINARY},
                          {VARIDADEZIZ_BINARY, LAUNCHER_BINARY, HOOK_LIBRARY});
        fs::create_directories(install.Folder + "/masq");
        for (const char* tool : {"cc", "gcc", "c++", "g++"}) {
            fs::create_symlink("../morvek-task", install.Folder + "/masq/" + tool);
        }
        fs::create_directories(install.Folder + "/resources");
        fs::copy_file(DEFAULT_JOB_PROFILE, install.Folder + "/resources/DefaultJobProfile.xml");
    }
    static void TearDownTestSuite() { TearDownInstallation(); }
    void SetUp() override {
        WriteRegistry();
        project = install.Root + "/project-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(project);
        for (int i = 1; i <= Good; ++i) {
            WriteFile(project + "/s" + std::to_string(i) + ".c", "int f" + std::to_string(i) +
                                                                     "(void) { return " +
                                                                     std::to_string(i) + "; }\n");
        }
        WriteFile(project + "/bad.c", "int broken(void) { return nothing; }\n");
    }
    void TearDown() override {
        EndViewers();
        fs::remove_all(project);
    }

    // Waits for the file "go" (bounded), then compiles the good files one by one with
    // a pause after each, and last the bad one: a build that fails.
    std::string Command() const {
        return "i=0; while [ ! -e go ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done; "
               "for n in $(seq 1 " +
               std::to_string(Good) +
               "); do echo \"step $n\"; cc -c s$n.c -o s$n.o || exit 9; sleep 0.7; done; "
               "cc -c bad.c -o bad.o";
    }

    std::string DumpDom(const std::string& chromium, const std::string& url) {
        const std::string profile = project + "/chromium-profile";
        fs::create_directories(profile);
        const TProcessResult run =
            RunProgram("/usr/bin/timeout",
                       {"-k", "5", "180", chromium, "--headless", "--no-sandbox", "--disable-gpu",
                        "--disable-quic", "--no-first-run", "--disable-background-networking",
                        "--disable-component-update", "--disable-sync", "--disable-extensions",
                        "--user-data-dir=" + profile, "--window-size=1280,900",
                        "--virtual-time-budget=5000", "--dump-dom", url});
        EXPECT_EQ(run.ExitCode, 0) << run.Err;
        return run.Out;
    }

    static constexpr int Good = 6;
    std::string project;
};

TEST_F(LiveMonitor, OpenMonitorShowsTheBuildGrowingAndItsResult) {
    const std::string chromium = FindProgram({"chromium", "chromium-browser"});
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
    }
    TAgent agent;
    // No display: the console prints the address instead of opening a browser.
    const std::map<std::string, std::string> env{{"DISPLAY", RemoveVariable},
                                                 {"WAYLAND_DISPLAY", RemoveVariable}};
    const TRunningProgram console = StartProgram(
        Ravelcon(), {"/nologo", "/OPENMONITOR", "/COMMAND=" + Command()}, env, project);
    std::string out;
    const std::smatch address =
        ReadUntil(console.Out, out,
                  std::regex("Build monitor: (http://127\\.0\\.0\\.1:([0-9]+)/"
                             "([0-9a-f]{64})/)\r\n"));
    ASSERT_FALSE(address.empty()) << out;
    const std::string url = address[1];
    const int port = std::stoi(address[2]);
    const std::string token = address[3];

    // Without the token, or with a wrong one, nothing is served.
    EXPECT_EQ(Status(port, "/"), 403);
    EXPECT_EQ(Status(port, "/events"), 403);
    EXPECT_EQ(Status(port, "/" + std::string(64, '0') + "/"), 403);
    EXPECT_EQ(Status(port, "/" + token.substr(0, 63) + "/events"), 403);
    EXPECT_EQ(Status(port, "/" + token), 403);

    // The build goes on once the browser is at the page.
    std::thread release([&] {
        WaitUntil([&] { return ConnectionsTo(port) > 0; }, GiveUpMs);
        WriteFile(project + "/go", "");
    });
    const std::string dom = DumpDom(chromium, url);
    release.join();
    const TProcessResult rest = FinishProgram(console);
    out += rest.Out;
    EXPECT_NE(rest.ExitCode, 0) << out << rest.Err;
    EXPECT_NE(out.find("step " + std::to_string(Good)), std::string::npos) << out;

    auto facts = Facts(dom);
    ASSERT_EQ(facts["ready"], "yes") << dom.substr(0, 3000);
    EXPECT_EQ(facts["live-final"], "yes");
    // The page grew while the build ran: it showed some of the tasks before all of them.
    std::istringstream seen(facts["live-seen"]);
    std::vector<int> taskCounts;
    for (std::string step; seen >> step;) {
        taskCounts.push_back(std::stoi(step.substr(0, step.find(':'))));
    }
    ASSERT_GE(taskCounts.size(), 3u) << facts["live-seen"];
    EXPECT_TRUE(std::is_sorted(taskCounts.begin(), taskCounts.end())) << facts["live-seen"];
    EXPECT_TRUE(std::any_of(taskCounts.begin(), taskCounts.end(), [](int n) {
        return n > 0 && n < Good + 1;
    })) << facts["live-seen"];
    // It ends with the build as it ended.
    EXPECT_EQ(facts["tasks"], std::to_string(Good + 1));
    EXPECT_EQ(facts["drawn-bars"], std::to_string(Good + 1));
    EXPECT_EQ(facts["drawn-failed"], "1");
    EXPECT_EQ(facts["drawn-succeeded"], std::to_string(Good));
    EXPECT_NE(dom.find("class=\"result-failed\" id=\"fact-result\">failed (exit code"),
              std::string::npos);
    EXPECT_NE(dom.find("bad.c"), std::string::npos);
    EXPECT_NE(dom.find("<div id=\"read-state\" hidden=\"\">"), std::string::npos);
    // After the first document the page was sent what changed, and it applied every
    // update on the version it held.
    EXPECT_GE(std::atoi(facts["live-deltas"].c_str()), 1) << facts["live-seen"];
    EXPECT_EQ(facts["live-resyncs"], "0");

    // A page opened now gets the whole final document at once: it shows what the page
    // that followed the deltas shows.
    const std::string reloaded = DumpDom(chromium, url);
    auto whole = Facts(reloaded);
    ASSERT_EQ(whole["ready"], "yes") << reloaded.substr(0, 3000);
    EXPECT_EQ(whole["live-deltas"], "");
    for (const char* fact :
         {"rows", "machines", "tasks", "drawn-bars", "drawn-succeeded", "drawn-failed",
          "drawn-running", "duration-ms", "peak-busy", "average-busy", "output-lines", "graph-rows",
          "graph-points", "view-start", "view-end"}) {
        EXPECT_EQ(whole[fact], facts[fact]) << fact;
    }
    const auto text = [](const std::string& page, const std::string& id) {
        const std::size_t at = page.find("id=\"" + id + "\">");
        return at == std::string::npos ? std::string() : page.substr(at, page.find('<', at) - at);
    };
    // The output lines the page added update by update are the lines of the whole.
    const auto lineCount = [](const std::string& page) {
        std::size_t n = 0;
        for (std::size_t at = page.find("class=\"line"); at != std::string::npos;
             at = page.find("class=\"line", at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(lineCount(dom), lineCount(reloaded));
    EXPECT_GT(lineCount(dom), 0u);
    for (const char* id : {"fact-result", "fact-duration", "fact-tasks", "fact-parallelism"}) {
        EXPECT_EQ(text(reloaded, id), text(dom, id)) << id;
        EXPECT_NE(text(dom, id), "") << id;
    }
}

TEST_F(LiveMonitor, LiveFindsTheNewestOwnBuildAndOnlyTheOwnersBuilds) {
    TAgent agent;
    const TRunningProgram console =
        StartProgram(Ravelcon(), {"/nologo", "/COMMAND=" + Command()}, {}, project);
    // The build runs (and waits for "go") once the agent lists it.
    std::string listed;
    ASSERT_TRUE(WaitUntil(
        [&] {
            listed = RunProgram(Ravelcon(), {"/nologo", "/LIST"}).Out;
            return Contains(listed, "1: {");
        },
        GiveUpMs))
        << listed;
    const std::string id = listed.substr(listed.find('{'), 38);

    // Another user cannot watch it: neither its stream nor its history is theirs.
    if (::geteuid() == 0 && fs::exists("/usr/bin/setpriv")) {
        const TProcessResult other =
            RunProgram("/usr/bin/setpriv",
                       {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                        install.Bin + "/morvek-monitor", "--live", id},
                       {{"HOME", "/tmp"}}, "/tmp");
        EXPECT_EQ(other.ExitCode, 1) << other.Out << other.Err;
        EXPECT_NE(other.Err.find("No running build " + id + " of yours"), std::string::npos)
            << other.Err;
        EXPECT_EQ(other.Out.find("Build monitor:"), std::string::npos) << other.Out;
    }

    const TRunningProgram viewer = StartProgram(install.Bin + "/morvek-monitor", {"--live"});
    std::string out;
    const std::smatch address =
        ReadUntil(viewer.Out, out,
                  std::regex("Build monitor: http://127\\.0\\.0\\.1:([0-9]+)/([0-9a-f]{64})/\n"));
    ASSERT_FALSE(address.empty()) << out;
    const int port = std::stoi(address[1]);
    const std::string token = address[2];
    EXPECT_EQ(Status(port, "/"), 403);

    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(30);
    const auto page = client.Get(("/" + token + "/").c_str());
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Cache-Control"), "no-store");
    // The page names the build it follows, and is still running.
    EXPECT_NE(page->body.find(id.substr(1, 36)), std::string::npos);
    EXPECT_NE(page->body.find("\"live\":{\"final\":false}"), std::string::npos);

    // The events stream follows the build to its end, the last document final.
    WriteFile(project + "/go", "");
    std::string events;
    const auto stream =
        client.Get(("/" + token + "/events").c_str(), [&](const char* data, std::size_t length) {
            events.append(data, length);
            return true;
        });
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->status, 200);
    EXPECT_EQ(stream->get_header_value("Content-Type"), "text/event-stream");
    const std::size_t last = events.rfind("data: ");
    ASSERT_NE(last, std::string::npos);
    const std::string final = events.substr(last);
    EXPECT_NE(final.find("\"live\":{\"final\":true}"), std::string::npos);
    EXPECT_NE(final.find("\"result\":\"failed\""), std::string::npos);
    EXPECT_NE(events.find("bad.c"), std::string::npos) << events;
    // The first event is the whole document; after it an event is what changed since
    // the event before (or, for a reader that fell behind, the whole document again).
    static const std::regex event("id: ([0-9]+)\ndata: (\\{[^\n]*)\n\n");
    std::vector<std::uint64_t> ids;
    int deltas = 0;
    for (std::sregex_iterator it(events.begin(), events.end(), event), end; it != end; ++it) {
        const std::uint64_t id = std::stoull((*it)[1]);
        const std::string data = (*it)[2];
        const bool delta = data.find("\"base\":") != std::string::npos;
        if (delta) {
            ASSERT_FALSE(ids.empty()) << data;
            EXPECT_NE(data.find("\"base\":" + std::to_string(ids.back()) + ","), std::string::npos)
                << data;
            EXPECT_EQ(id, ids.back() + 1);
            ++deltas;
        }
        ids.push_back(id);
    }
    EXPECT_GE(deltas, 1) << events;
    const TProcessResult built = FinishProgram(console);
    EXPECT_NE(built.ExitCode, 0);
    EXPECT_NE(built.Out.find("step " + std::to_string(Good)), std::string::npos)
        << built.Out << built.Err;

    ::kill(viewer.Pid, SIGTERM);
    FinishProgram(viewer);
}

// A viewer that cannot start costs the build nothing.
TEST_F(LiveMonitor, ABuildGoesOnWithoutItsViewer) {
    TAgent agent;
    const std::string viewer = install.Bin + "/morvek-monitor";
    fs::rename(viewer, viewer + ".away");
    const TProcessResult r =
        RunProgram(Ravelcon(), {"/nologo", "/OPENMONITOR", "/COMMAND=echo built"},
                   {{"DISPLAY", RemoveVariable}, {"WAYLAND_DISPLAY", RemoveVariable}}, project);
    fs::rename(viewer + ".away", viewer);
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    EXPECT_NE(r.Out.find("built\r\n"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find("Build monitor: http"), std::string::npos) << r.Out;
}

// A compile that fails inside a build: its diagnostics are the task's output in the
// history (not output of the build as a whole), the console shows the lines the
// compiler prints without the build, and the report's bar of the task finds them.
TEST_F(LiveMonitor, AFailedCompilesLinesBelongToItsTask) {
    TAgent agent;
    const std::string compile = "cc -c bad.c -o bad.o";
    const TProcessResult plain =
        RunProgram("/bin/sh", {"-c", compile}, {{"LD_PRELOAD", RemoveVariable}}, project);
    ASSERT_NE(plain.ExitCode, 0);
    ASSERT_NE(plain.Err.find("error"), std::string::npos) << plain.Err;
    const std::string history = project + "/build.mv_mon";
    const TProcessResult built =
        RunProgram(Ravelcon(), {"/nologo", "/MON=" + history, "/COMMAND=" + compile}, {}, project);
    EXPECT_NE(built.ExitCode, 0);

    // Every line of the compiler's, and as often, on the console.
    std::istringstream console(built.Out + built.Err);
    std::multiset<std::string> shown;
    for (std::string line; std::getline(console, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        shown.insert(line);
    }
    std::istringstream compiler(plain.Out + plain.Err);
    std::vector<std::string> lines;
    for (std::string line; std::getline(compiler, line);) {
        lines.push_back(line);
        const auto at = shown.find(line);
        EXPECT_NE(at, shown.end()) << line << "\n--- console:\n" << built.Out << built.Err;
        if (at != shown.end()) {
            shown.erase(at);
        }
    }

    // The history: the lines are output events of the failed task.
    const TEvents events = MonitorFileEvents(history);
    std::int32_t task = 0;
    std::string text;
    for (const auto& event : events) {
        if (const auto* begin =
                dynamic_cast<const records::TMonitorEventBeginStepPacket*>(event.get())) {
            if (begin->Source == "bad.c") {
                task = begin->TaskID;
            }
        } else if (const auto* output =
                       dynamic_cast<const records::TMonitorEventOutputPacket*>(event.get())) {
            for (const std::string& line : lines) {
                if (output->ErrText.find(line) != std::string::npos ||
                    output->Text.find(line) != std::string::npos) {
                    EXPECT_EQ(output->TaskID, task) << line;
                }
            }
            if (output->TaskID != 0 && output->TaskID == task) {
                text += output->Text + output->ErrText + "\n";
            }
        }
    }
    ASSERT_NE(task, 0);
    for (const std::string& line : lines) {
        EXPECT_NE(text.find(line), std::string::npos) << line;
    }

    // The report: the task's bar leads to its lines.
    const std::string chromium = FindProgram({"chromium", "chromium-browser"});
    if (chromium.empty()) {
        GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
    }
    const std::string page = project + "/report.html";
    const TProcessResult made = RunProgram(MONITOR_BINARY, {history, "-o", page});
    ASSERT_EQ(made.ExitCode, 0) << made.Err;
    const std::string dom = DumpDom(chromium, "file://" + page + "#task=" + std::to_string(task));
    auto facts = Facts(dom);
    ASSERT_EQ(facts["ready"], "yes") << dom.substr(0, 3000);
    EXPECT_EQ(facts["selected-task"], std::to_string(task));
    EXPECT_NE(facts["selected-lines"], "0");
    EXPECT_NE(dom.find("class=\"line err selected\" data-task=\"" + std::to_string(task) + "\""),
              std::string::npos);
}

} // namespace
