#include "buildsys/DistccEngine.h"
#include "buildsys/DistccCompile.h"

#include "platform/Process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace buildsys;
namespace fs = std::filesystem;

// A loopback port that refuses connections while the object lives: bound, never listening.
class TRefusingPort {
public:
    TRefusingPort() : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("no loopback port");
        }
        port = ntohs(address.sin_port);
    }
    ~TRefusingPort() { ::close(fd); }
    TRefusingPort(const TRefusingPort&) = delete;
    TRefusingPort& operator=(const TRefusingPort&) = delete;
    int Port() const { return port; }

private:
    int fd;
    int port = 0;
};

// Whether a process still works in `folder`.
bool InUse(const std::string& folder) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        std::error_code gone;
        if (fs::read_symlink(entry.path() / "cwd", gone) == folder) {
            return true;
        }
    }
    return false;
}

// A folder of the test's own, removed with the object (after the preprocessors distcc
// leaves behind in process groups of their own have ended, at most 30 s).
struct TFolder {
    TFolder() { fs::remove_all(Path); }
    ~TFolder() {
        for (int round = 0; round < 600 && InUse(Path); ++round) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        fs::remove_all(Path);
    }
    TFolder(const TFolder&) = delete;
    TFolder& operator=(const TFolder&) = delete;
    const std::string Path =
        fs::temp_directory_path() / ("ravel-distcc-engine-" + std::to_string(::getpid()));
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// Runs the distcc client with the command the engine shapes; none when it did not end
// in time (it is killed then).
std::optional<int> RunShaped(const TTaskCommand& command, const std::string& folder,
                             const std::vector<std::string>& compile = {"cc", "-c", "t.c", "-o",
                                                                        "t.o"}) {
    platform::TSpawnOptions options;
    options.WorkingDir = folder;
    options.Job = true;
    options.Arguments = command.Prefix;
    options.Arguments.insert(options.Arguments.end(), compile.begin(), compile.end());
    std::string block = "PATH=/usr/bin:/bin";
    block.push_back('\0');
    for (const auto& [name, value] : command.Env) {
        block += name + "=" + value;
        block.push_back('\0');
    }
    block.push_back('\0');
    options.EnvironmentBlock = block;
    const auto child = platform::TChildProcess::Spawn(options);
    if (!child->WaitForExit(60000)) {
        child->KillGroup();
        child->WaitForExit(5000);
        return std::nullopt;
    }
    return child->ExitCode();
}

// A helper that refuses connections fails each task's distcc call with distcc's own status
// (the client neither retries it for ever nor compiles here), and a later task tries the
// helper again instead of inheriting an earlier task's backoff.
TEST(DistccEngine, ADeadHelperFailsEachCallOnceAndLaterCallsTryItAgain) {
    if (platform::FindProgram("distcc", "/usr/bin:/bin").empty()) {
        GTEST_SKIP() << "distcc is not installed (scripts/setup.sh installs it)";
    }
    const TFolder made;
    const std::string& folder = made.Path;
    fs::create_directories(folder + "/state");
    std::ofstream(folder + "/t.c") << "int f(void) { return 1; }\n";
    const TRefusingPort port;
    TDistccEngine engine(folder + "/state");
    TWorkerRow row{"h#1", "h #1", "127.0.0.1", false, "h", ""};
    row.DistccHost = "127.0.0.1:" + std::to_string(port.Port()) + "/2";
    for (int id = 1; id <= 2; ++id) {
        SCOPED_TRACE(id);
        TRunningTask task;
        task.TaskID = id;
        TTaskCommand command;
        engine.Wrap(task, row, command);
        ASSERT_FALSE(command.Prefix.empty());
        EXPECT_EQ(command.Prefix[0], "distcc");
        const std::optional<int> status = RunShaped(command, folder);
        ASSERT_TRUE(status.has_value()) << "distcc kept retrying the dead helper";
        EXPECT_GE(*status, 100);
        EXPECT_LT(*status, 128);
        EXPECT_FALSE(fs::exists(folder + "/t.o"));
        EXPECT_EQ(Occurrences(ReadText(folder + "/state/distcc.log"), "Connection refused"), id);
        TTaskOutcome outcome;
        outcome.ExitCode = *status;
        outcome.EngineFailure = true;
        engine.Ended(task, row, outcome, "");
    }
    EXPECT_EQ(engine.Counts()["h"].Failed, 2);
    // Only the build's log is left: each task's state went with it.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder + "/state")) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"distcc.log"});
}

// Which compiles distcc sends to a helper. Each case is checked against the rule and,
// where distcc is installed, against the real client aimed at a refusing port with its
// fallback off: it fails with its own status exactly when it tried to send the compile.
TEST(DistccEngine, KnowsWhichCompilesDistccSendsToAHelper) {
    const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
        {{"-c", "t.c", "-o", "t.o"}, true},
        {{"-c", "-x", "c", "t.c", "-o", "x.o"}, true},
        {{"-S", "t.c", "-o", "t.s"}, true},
        {{"-c", "u.i", "-o", "u.o"}, true},
        {{"-c", "t.c", "-Wp,-MMD,t.d", "-include", "t.h", "-o", "d.o"}, true},
        {{"-c", "t.c", "-Wa,--noexecstack", "-march=x86-64", "-o", "w.o"}, true},
        {{"-c", "-x", "c", "/dev/null", "-o", "n.o"}, false},
        {{"-c", "-x", "c", "-", "-o", "s.o"}, false},
        {{"-c", "-xc", "t.c", "-o", "j.o"}, false},
        {{"-c", "t.c", "-x", "none", "-o", "k.o"}, false},
        {{"-c", "a.S", "-o", "a.o"}, false},
        {{"-c", "t.c", "u.i"}, false},
        {{"-c", "t.c", "-march=native", "-o", "m.o"}, false},
        {{"-c", "t.c", "-fprofile-arcs", "-o", "p.o"}, false},
        {{"-c", "t.c", "-Wa,-adhln", "-o", "l.o"}, false},
        {{"-c", "t.c", "-specs=/dev/null", "-o", "e.o"}, false},
    };
    const bool real = !platform::FindProgram("distcc", "/usr/bin:/bin").empty();
    const TFolder made;
    const std::string& folder = made.Path;
    fs::create_directories(folder + "/state");
    std::ofstream(folder + "/t.c") << "int f(void) { return 1; }\n";
    std::ofstream(folder + "/t.h") << "int g(void);\n";
    std::ofstream(folder + "/u.i") << "int h(void) { return 2; }\n";
    std::ofstream(folder + "/a.S") << ".text\n";
    const TRefusingPort port;
    TTaskCommand command;
    command.Prefix = {"distcc"};
    command.Env = {{"DISTCC_HOSTS", "127.0.0.1:" + std::to_string(port.Port()) + "/2"},
                   {"DISTCC_FALLBACK", "0"},
                   {"DISTCC_DIR", folder + "/state"}};
    for (const auto& [args, sent] : cases) {
        std::vector<std::string> argv = {"cc"};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(::testing::PrintToString(argv));
        EXPECT_EQ(DistccSendsToHelper(argv), sent);
        if (real) {
            const std::optional<int> status = RunShaped(command, folder, argv);
            ASSERT_TRUE(status.has_value());
            EXPECT_EQ(*status >= 100 && *status < 128, sent) << "distcc exit " << *status;
        }
    }
}

} // namespace
