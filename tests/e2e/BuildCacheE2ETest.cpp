// The build cache with the real programs: console, agent (and its Redis service), build
// system, task launcher, ccache, and Redis servers of the test's own on loopback ports.
#include "HelperNetwork.h"
#include "Installation.h"
#include "MonitorSteps.h"

#include "../platform/TestProcess.h"
#include "comm/ProductInfo.h"
#include "platform/ListeningProcess.h"
#include "records/MonitorEvents.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <regex>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace e2e;

namespace {

std::string Which(const char* program) {
    std::string path = RunProgram("/bin/sh", {"-c", std::string("command -v ") + program}).Out;
    while (!path.empty() && path.back() == '\n') {
        path.pop_back();
    }
    return path;
}

bool Installed(const char* program) {
    return !Which(program).empty();
}

TProcessResult RedisCli(const std::vector<std::string>& args) {
    return RunProgram(Which("redis-cli"), args);
}

// The summary line's figures; none when the build printed none.
struct TRestored {
    int Restored = -1;
    int Total = -1;
    bool Printed() const { return Total >= 0; }
};

TRestored RestoredOf(const std::string& out) {
    static const std::regex line("Build cache: ([0-9]+) of ([0-9]+) tasks restored");
    std::smatch match;
    TRestored r;
    if (std::regex_search(out, match, line)) {
        r.Restored = std::stoi(match[1]);
        r.Total = std::stoi(match[2]);
    }
    return r;
}

// A loopback port no socket uses now, chosen by the system: ports of fixed arithmetic
// collide with those of tests running in parallel and with outgoing connections.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    EXPECT_TRUE(bound) << "no free loopback port";
    return bound ? ntohs(address.sin_port) : 0;
}

// A Redis server of the test, on a loopback port; ended (by its pid) with the object.
class TTestRedis {
public:
    // Tries `firstPort` (when not 0), then free ports until one serves; `options` are
    // more redis-server options, `password` the one it requires (none when empty).
    explicit TTestRedis(int firstPort = 0, std::vector<std::string> options = {},
                        std::string password = "")
        : options(std::move(options)), password(std::move(password)) {
        for (int attempt = 0; attempt < 10; ++attempt) {
            port = attempt == 0 && firstPort != 0 ? firstPort : FreePort();
            if (Start()) {
                return;
            }
        }
    }
    ~TTestRedis() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            testing_support::WaitChild(pid);
        }
    }
    bool Ping() const { return Cli({"PING"}).Out == "PONG\n"; }
    TProcessResult Cli(std::vector<std::string> command) const {
        std::vector<std::string> args = {"-p", std::to_string(port)};
        if (!password.empty()) {
            args.insert(args.end(), {"--no-auth-warning", "-a", password});
        }
        args.insert(args.end(), command.begin(), command.end());
        return RedisCli(args);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }

private:
    bool Start() {
        const std::string portText = std::to_string(port);
        std::vector<std::string> args = {"redis-server", "--port",    portText,   "--bind",
                                         "127.0.0.1",    "--save",    "",         "--appendonly",
                                         "no",           "--logfile", "/dev/null"};
        args.insert(args.end(), options.begin(), options.end());
        if (!password.empty()) {
            args.insert(args.end(), {"--requirepass", password});
        }
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        if (::posix_spawnp(&pid, "redis-server", nullptr, nullptr, argv.data(), environ) != 0) {
            pid = -1;
            return false;
        }
        for (int i = 0; i < 200; ++i) {
            // Another server on the port may answer too: ours must be the listener.
            if (Ping() && platform::ProcessListensOnLoopback(static_cast<std::uint32_t>(pid),
                                                             static_cast<std::uint16_t>(port))) {
                return true;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1; // it could not listen there
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        ::kill(pid, SIGKILL);
        testing_support::WaitChild(pid);
        pid = -1;
        return false;
    }

    std::vector<std::string> options;
    std::string password;
    int port = 0;
    pid_t pid = -1;
};

// A loopback listener that is no working Redis, until destroyed: it answers every
// connection with garbage, or (hung) accepts and never answers.
class TBadServer {
public:
    explicit TBadServer(bool hung = false) {
        fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        ::listen(fd, 16);
        thread = std::thread([this, hung] {
            for (;;) {
                const int client = ::accept(fd, nullptr, nullptr);
                if (client < 0) {
                    return;
                }
                if (hung) {
                    held.push_back(client);
                    continue;
                }
                const char garbage[] = "\x01\x02 not redis at all\r\n%%%\r\n";
                (void)!::write(client, garbage, sizeof garbage);
                ::close(client);
            }
        });
    }
    ~TBadServer() {
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
        thread.join();
        for (const int client : held) {
            ::close(client);
        }
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }

private:
    int fd = -1;
    int port = 0;
    std::vector<int> held; // the hung server's connections, for the thread alone
    std::thread thread;
};

class BuildCacheE2E : public ::testing::Test {
protected:
    static void SetUpTestSuite() { MakeInstallation("cache-e2e"); }
    // An installation with the programs, the masquerade folder and the profiles; this
    // process's environment points at it.
    static void MakeInstallation(const std::string& name) {
        SetUpInstallation(name, {RAVELCON_BINARY, AGENT_BINARY},
                          {VARIDADEZIZ_BINARY, LAUNCHER_BINARY, HOOK_LIBRARY});
        fs::create_directories(install.Folder + "/masq");
        for (const char* tool : {"cc", "gcc", "c++", "g++"}) {
            fs::create_symlink("../morvek-task", install.Folder + "/masq/" + tool);
        }
        fs::create_directories(install.Folder + "/resources");
        fs::copy_file(std::string(RESOURCES_DIR) + "/DefaultJobProfile.xml",
                      install.Folder + "/resources/DefaultJobProfile.xml");
        fs::copy_file(std::string(RESOURCES_DIR) + "/DefaultBuildCacheProfile.xml",
                      install.Folder + "/resources/DefaultBuildCacheProfile.xml");
    }
    static void TearDownTestSuite() { TearDownInstallation(); }

    void SetUp() override {
        if (!Installed("ccache") || !Installed("redis-server") || !Installed("make")) {
            GTEST_SKIP() << "ccache, redis-server or make is not installed (scripts/setup.sh)";
        }
        servicePort = FreePort();
        WriteRegistry("", servicePort);
        work = install.Root + "/work";
        fs::create_directories(work);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(work, ec);
        fs::remove_all(cache(), ec);
    }
    static std::string cache() { return install.Root + "/var/Morvek/BuildCache"; }
    std::string LocalStore() const { return cache() + "/FileCache/u" + std::to_string(::getuid()); }

    // A project of five sources; a.c and b.c include h.h; the program links them all.
    std::string Project(const std::string& name) {
        const std::string dir = work + "/" + name;
        fs::create_directories(dir);
        WriteFile(dir + "/h.h", "#define H 1\n");
        WriteFile(dir + "/a.c", "#include \"h.h\"\nint a(void) { return H + X; }\n");
        WriteFile(dir + "/b.c", "#include \"h.h\"\nint b(void) { return H * 2; }\n");
        WriteFile(dir + "/c.c", "int c(void) { return 3; }\n");
        WriteFile(dir + "/d.c", "int d(void) { return 4; }\n");
        WriteFile(dir + "/main.c", "int a(void); int b(void); int c(void); int d(void);\n"
                                   "int main(void) { return a() + b() + c() + d() - 10 - X; }\n");
        WriteFile(dir + "/Makefile", "CFLAGS ?= -O1 -DX=0\n"
                                     "OBJS = a.o b.o c.o d.o main.o\n"
                                     "prog: $(OBJS)\n\tcc -o prog $(OBJS)\n"
                                     "clean:\n\trm -f prog $(OBJS)\n");
        return dir;
    }
    TProcessResult Build(const std::string& dir, std::vector<std::string> extra = {},
                         const std::string& makeArgs = "",
                         const std::map<std::string, std::string>& env = {}) {
        std::vector<std::string> args = {"/nologo", "/COMMAND=make -C '" + dir +
                                                        "' clean >/dev/null && "
                                                        "make -C '" +
                                                        dir + "' " + makeArgs};
        if (extra.empty()) {
            extra.push_back("/BUILDCACHELOCAL=ON");
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProgram(Ravelcon(), args, env);
    }
    // Builds, checks that the build worked and its program runs (with `env` too), and
    // gives the figures.
    TRestored BuildOk(const std::string& dir, std::vector<std::string> extra = {},
                      const std::string& makeArgs = "",
                      const std::map<std::string, std::string>& env = {}) {
        const TProcessResult r = Build(dir, std::move(extra), makeArgs, env);
        EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
        EXPECT_EQ(RunProgram(dir + "/prog", {}, env).ExitCode, 0) << "the built program is wrong";
        last = r;
        return RestoredOf(r.Out);
    }
    TProcessResult Clear() { return RunProgram(Ravelcon(), {"/CLEARBUILDCACHE", "/nologo"}); }
    std::string ServicePid() const { return ReadFile(cache() + "/buildcache_service.pid"); }
    // The agent starts its service right after it serves requests.
    std::string AwaitService() const {
        for (int i = 0; i < 400 && ServicePid().empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return ServicePid();
    }

    int servicePort = 0;
    std::string work;
    TProcessResult last;
};

TEST_F(BuildCacheE2E, ServiceListensOnLoopbackWithAPasswordAndComesBack) {
    TAgent agent;
    const std::string pid = AwaitService();
    ASSERT_FALSE(pid.empty()) << "the agent did not start its service";
    const std::string port = std::to_string(servicePort);
    // Reachable on loopback only, and only with the password.
    EXPECT_NE(RedisCli({"-p", port, "PING"}).Out.find("NOAUTH"), std::string::npos);
    const std::string listening = ReadFile("/proc/net/tcp");
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", servicePort);
    EXPECT_NE(listening.find(local), std::string::npos);
    char any[32];
    std::snprintf(any, sizeof any, "00000000:%04X", servicePort);
    EXPECT_EQ(listening.find(any), std::string::npos);
    // The password is on no command line.
    std::string cmdline = ReadFile("/proc/" + std::to_string(std::stoi(pid)) + "/cmdline");
    EXPECT_EQ(cmdline.find("requirepass"), std::string::npos) << cmdline;

    // A service that dies is started again.
    ::kill(std::stoi(pid), SIGKILL);
    std::string again;
    for (int i = 0; i < 200; ++i) {
        again = ServicePid();
        if (!again.empty() && again != pid &&
            RedisCli({"-p", port, "PING"}).Out.find("NOAUTH") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(again, pid);
    EXPECT_NE(RedisCli({"-p", port, "PING"}).Out.find("NOAUTH"), std::string::npos);
}

TEST_F(BuildCacheE2E, CleanRebuildRestoresEveryCompileAndClearingLeavesNothing) {
    TAgent agent;
    AwaitService();
    const std::string dir = Project("p");
    const TRestored first = BuildOk(dir);
    EXPECT_EQ(first.Restored, 0) << last.Out;
    EXPECT_EQ(first.Total, 5) << last.Out;
    const TRestored second = BuildOk(dir);
    EXPECT_EQ(second.Restored, 5) << last.Out;
    EXPECT_EQ(second.Total, 5);
    // The local store is this user's alone.
    EXPECT_EQ(fs::status(LocalStore()).permissions() & fs::perms::all, fs::perms::owner_all);

    // Without the local store the local service still has every result.
    fs::remove_all(LocalStore());
    const TRestored shared = BuildOk(dir);
    EXPECT_EQ(shared.Restored, 5) << last.Out;
    EXPECT_NE(last.Out.find("5 restored from the shared cache"), std::string::npos) << last.Out;

    const TProcessResult cleared = Clear();
    EXPECT_EQ(cleared.ExitCode, 0) << cleared.Out;
    const TRestored after = BuildOk(dir);
    EXPECT_EQ(after.Restored, 0) << last.Out;
    EXPECT_EQ(after.Total, 5);

    // A build without compiles says nothing of the cache.
    const TProcessResult none =
        RunProgram(Ravelcon(), {"/nologo", "/COMMAND=true", "/BUILDCACHELOCAL=ON"});
    EXPECT_EQ(none.ExitCode, 0);
    EXPECT_EQ(none.Out.find("Build cache"), std::string::npos) << none.Out;
}

TEST_F(BuildCacheE2E, ASecondCheckoutRestoresEverything) {
    TAgent agent;
    AwaitService();
    BuildOk(Project("one"));
    const TRestored other = BuildOk(Project("two"));
    EXPECT_EQ(other.Restored, 5) << last.Out;
    EXPECT_EQ(other.Total, 5);
}

TEST_F(BuildCacheE2E, WhatChangesTheCompileIsNeverRestored) {
    TAgent agent;
    AwaitService();
    const struct {
        const char* name;
        const char* flags;
        int restoredAfterMacro; // of the five
    } cases[] = {
        // The preprocessed text is the key: what the macro cannot change is restored.
        {"preprocessed", "", 3},
        // The compile lists its headers (no preprocessor run): its command line is the key.
        {"dependency list", "-MD", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = Project(std::string("p") + c.flags);
        const auto cflags = [&c](const char* x) {
            return std::string("CFLAGS='-O1 -DX=") + x + " " + c.flags + "' ";
        };
        BuildOk(dir, {}, cflags("0"));
        // A changed header misses exactly the files that include it.
        WriteFile(dir + "/h.h", "#define H 2\n");
        WriteFile(dir + "/main.c", "int a(void); int b(void); int c(void); int d(void);\n"
                                   "int main(void) { return a() + b() + c() + d() - 13 - X; }\n");
        TRestored changed = BuildOk(dir, {}, cflags("0"));
        EXPECT_EQ(changed.Restored, 2) << last.Out; // c.o and d.o
        // A macro of the command line: what it changes is compiled again (a.c and main.c
        // use it; the program checks their values).
        changed = BuildOk(dir, {}, cflags("1"));
        EXPECT_EQ(changed.Restored, c.restoredAfterMacro) << last.Out;
        changed = BuildOk(dir, {}, cflags("1"));
        EXPECT_EQ(changed.Restored, 5) << last.Out;
    }
}

TEST_F(BuildCacheE2E, ReadOnlyStoresNothing) {
    TAgent agent;
    AwaitService();
    const std::string dir = Project("p");
    const TRestored readOnly = BuildOk(dir, {"/BUILDCACHELOCAL=ON", "/BUILDCACHEREADONLY"});
    EXPECT_EQ(readOnly.Total, 5) << last.Out;
    const TRestored next = BuildOk(dir);
    EXPECT_EQ(next.Restored, 0) << last.Out;
}

TEST_F(BuildCacheE2E, AnotherMachineRestoresFromASharedServer) {
    TTestRedis shared;
    ASSERT_TRUE(shared.Ping());
    TAgent agent;
    AwaitService();
    const std::string dir = Project("p");
    const std::vector<std::string> remote = {"/BUILDCACHEREMOTESERVER=" + shared.Address()};
    EXPECT_EQ(BuildOk(dir, remote).Restored, 0) << last.Out;
    // This machine forgets everything; the shared server still knows.
    ASSERT_EQ(Clear().ExitCode, 0);
    // Named as a cluster of the agent's settings this time.
    WriteRegistry("\"BuildCacheClusters\"=\"other=127.0.0.1:1;team=" + shared.Address() + "\"\r\n",
                  servicePort);
    const TRestored fromShared = BuildOk(Project("elsewhere"), {"/BUILDCACHECLUSTER=team"});
    EXPECT_EQ(fromShared.Restored, 5) << last.Out;
    EXPECT_NE(last.Out.find("5 restored from the shared cache"), std::string::npos) << last.Out;
}

TEST_F(BuildCacheE2E, FailuresOfTheCacheNeverFailTheBuild) {
    TAgent agent;
    AwaitService();
    const std::string dir = Project("p");
    {
        // A shared server that is not there, and one that answers garbage.
        TBadServer garbage;
        for (const std::string& server : {std::string("127.0.0.1:1"), garbage.Address()}) {
            SCOPED_TRACE(server);
            fs::remove_all(LocalStore()); // the shared level is asked only on a local miss
            const TRestored r = BuildOk(dir, {"/BUILDCACHEREMOTESERVER=" + server});
            EXPECT_EQ(r.Total, 5) << last.Out;
            EXPECT_NE(last.Out.find("problem(s)"), std::string::npos) << last.Out;
        }
    }
    // Every stored result damaged: compiled again.
    BuildOk(dir);
    int damaged = 0;
    for (const auto& entry : fs::recursive_directory_iterator(LocalStore())) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && name.size() > 1 && name.back() == 'R') {
            std::ofstream(entry.path(), std::ios::binary | std::ios::trunc) << "garbage";
            ++damaged;
        }
    }
    EXPECT_GE(damaged, 5);
    // The local service would serve the results again: this build has none.
    const TRestored corrupt =
        BuildOk(dir, {"/BUILDCACHELOCAL=OFF", "/BuildCacheProfile=" + install.Folder +
                                                  "/resources/"
                                                  "DefaultBuildCacheProfile"
                                                  ".xml"});
    EXPECT_EQ(corrupt.Restored, 0) << last.Out;
    EXPECT_NE(last.Out.find("problem(s)"), std::string::npos) << last.Out;

    // A task-information database that another process holds locked.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((LocalStore() + "/TaskExtraInfo.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const TRestored locked = BuildOk(dir);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(locked.Total, 5) << last.Out;
    EXPECT_NE(last.Out.find("problem(s)"), std::string::npos) << last.Out;
}

} // namespace

namespace {

TEST_F(BuildCacheE2E, APortTakenByAnotherProcessGetsNoPassword) {
    TTestRedis squatter(servicePort);
    ASSERT_TRUE(squatter.Ping());
    if (squatter.Address() != "127.0.0.1:" + std::to_string(servicePort)) {
        GTEST_SKIP() << "the service's port is in use";
    }
    TAgent agent;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(ServicePid().empty());
    const TRestored r = BuildOk(Project("p"));
    EXPECT_EQ(r.Total, 5) << last.Out;
    // Nothing of the build went to the process that holds the port.
    EXPECT_EQ(RedisCli({"-p", std::to_string(servicePort), "DBSIZE"}).Out, "0\n");
}

} // namespace

namespace {

TEST_F(BuildCacheE2E, ACacheEngineThatFailsItselfLeavesTheTaskToTheCompiler) {
    TAgent agent;
    AwaitService();
    const std::string broken = work + "/broken-ccache";
    WriteFile(broken + "/ccache",
              "#!/bin/sh\necho 'ccache: error: broken on purpose' >&2\nexit 1\n");
    fs::permissions(broken + "/ccache", fs::perms::owner_all);
    const std::string dir = Project("p");
    const TProcessResult r =
        RunProgram(Ravelcon(), {"/nologo", "/COMMAND=make -C '" + dir + "'", "/BUILDCACHELOCAL=ON"},
                   {{"PATH", broken + ":" + std::string(std::getenv("PATH"))}});
    EXPECT_EQ(r.ExitCode, 0) << r.Out << r.Err;
    EXPECT_EQ(RunProgram(dir + "/prog", {}).ExitCode, 0);
    EXPECT_EQ(RestoredOf(r.Out).Total, 5) << r.Out;
    EXPECT_NE(r.Out.find("5 problem(s)"), std::string::npos) << r.Out;
}

} // namespace

namespace {

// A project built by a compiler of the test's own, first on PATH as `cc`: f.c takes
// FLAVOUR_VALUE (a wrapper script passes $FLAVOUR), g.c tells which compiler built
// it, and the program checks both against FLAVOUR and COMPILER of its environment,
// so a result of another compile makes it fail.
class CompilerChange : public BuildCacheE2E {
protected:
    std::string CompilerProject(const std::string& name) {
        const std::string dir = work + "/" + name;
        WriteFile(dir + "/f.c", "#ifndef FLAVOUR_VALUE\n#define FLAVOUR_VALUE 0\n#endif\n"
                                "int f(void) { return FLAVOUR_VALUE; }\n");
        WriteFile(dir + "/g.c", "#ifdef __clang__\nint g(void) { return 2; }\n#else\n"
                                "int g(void) { return 1; }\n#endif\n");
        WriteFile(dir + "/main.c", "#include <stdlib.h>\nint f(void);\nint g(void);\n"
                                   "static int want(const char* name, int otherwise) {\n"
                                   "    const char* value = getenv(name);\n"
                                   "    return value ? atoi(value) : otherwise;\n}\n"
                                   "int main(void) { return f() != want(\"FLAVOUR\", 0) || "
                                   "g() != want(\"COMPILER\", 1); }\n");
        WriteFile(dir + "/Makefile", "prog: f.o g.o main.o\n\tcc -o prog f.o g.o main.o\n"
                                     "clean:\n\trm -f prog *.o\n");
        WriteFile(dir + "/profile.xml",
                  "<BuildCacheProfile FormatVersion=\"1\">\n"
                  "  <Tool Filename=\"cc\" AllowBuildCache=\"true\" KeyVariables=\"FLAVOUR\"/>\n"
                  "</BuildCacheProfile>\n");
        fs::create_directories(dir + "/tools");
        return dir;
    }
    // `cc` of the project: a script that runs `compiler` (and answers --version with
    // `version`), or a link to it.
    static void UseCompiler(const std::string& dir, const std::string& compiler,
                            const std::string& version, bool link) {
        const std::string cc = dir + "/tools/cc";
        fs::remove(cc);
        if (link) {
            fs::create_symlink(Which(compiler.c_str()), cc);
            return;
        }
        WriteFile(cc, "#!/bin/sh\ncase \"$1\" in --version|-dumpversion) echo " + version +
                          "; exit 0;; esac\nexec " + compiler +
                          " -DFLAVOUR_VALUE=\"${FLAVOUR:-0}\" \"$@\"\n");
        fs::permissions(cc, fs::perms::owner_all);
    }
    TRestored CompilerBuild(const std::string& dir, std::map<std::string, std::string> env) {
        env["PATH"] = dir + "/tools:" + std::string(std::getenv("PATH"));
        return BuildOk(dir, {"/BUILDCACHELOCAL=ON", "/BuildCacheProfile=" + dir + "/profile.xml"},
                       "", env);
    }
};

TEST_F(CompilerChange, AVariableTheProfileNamesIsPartOfTheKey) {
    TAgent agent;
    AwaitService();
    const std::string dir = CompilerProject("flavour");
    UseCompiler(dir, "gcc", "12", false);
    EXPECT_EQ(CompilerBuild(dir, {{"FLAVOUR", "1"}}).Total, 3) << last.Out;
    // Another value is another compile (the program checks the value it was built with).
    EXPECT_EQ(CompilerBuild(dir, {{"FLAVOUR", "2"}}).Restored, 0) << last.Out;
    // The first value's results still serve: the value is in the key, the cache still on.
    EXPECT_EQ(CompilerBuild(dir, {{"FLAVOUR", "1"}}).Restored, 3) << last.Out;
}

TEST_F(CompilerChange, AnotherCompilerUnderTheSameNameIsNeverRestored) {
    if (!Installed("clang")) {
        GTEST_SKIP() << "clang is not installed";
    }
    TAgent agent;
    AwaitService();
    const struct {
        const char* name;
        bool link;
    } cases[] = {{"a wrapper script with a new version", false},
                 {"a link to another compiler", true}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = CompilerProject("compiler-" + std::to_string(++n));
        UseCompiler(dir, "gcc", "12.2.0", c.link);
        // The user's own ccache settings turn the compiler check off: not for the build.
        std::map<std::string, std::string> env = {{"CCACHE_COMPILERCHECK", "none"},
                                                  {"COMPILER", "1"}};
        CompilerBuild(dir, env);
        EXPECT_EQ(CompilerBuild(dir, env).Restored, 3) << last.Out;
        UseCompiler(dir, "clang", "14.0.6", c.link);
        env["COMPILER"] = "2";
        EXPECT_EQ(CompilerBuild(dir, env).Restored, 0) << last.Out;
    }
}

// The build-cache problem messages of the build whose history is `monitorFile`.
std::vector<std::string> CacheProblems(const std::string& monitorFile) {
    std::vector<std::string> texts;
    for (const auto& event : MonitorFileEvents(monitorFile)) {
        const auto* message = dynamic_cast<const records::TMonitorEventMessagePacket*>(event.get());
        if (message && message->Message == "Build cache problem") {
            texts.push_back(message->Text);
        }
    }
    return texts;
}

TEST_F(BuildCacheE2E, ASharedLevelThatFailsIsToldOncePerBuild) {
    TAgent agent;
    AwaitService();
    const std::string dir = Project("p");
    const std::string monitorFile = work + "/build.mv_mon";
    TTestRedis full(0, {"--maxmemory", "1", "--maxmemory-policy", "noeviction"});
    ASSERT_TRUE(full.Ping());
    TBadServer garbage;
    TBadServer hung(true);
    std::string stoppedAddress;
    {
        TTestRedis stopped;
        ASSERT_TRUE(stopped.Ping());
        stoppedAddress = stopped.Address();
        BuildOk(dir, {"/BUILDCACHEREMOTESERVER=" + stoppedAddress});
    }
    const struct {
        const char* name;
        std::string server;
        const char* says; // part of the message
    } cases[] = {
        {"full", full.Address(), "OOM"},
        {"answering garbage", garbage.Address(), "Redis"},
        // Each task waits the short timeout the build gives, not the engine's default.
        {"not answering", hung.Address(), "(no answer within 1000 ms)"},
        {"stopped since the last build", stoppedAddress, "Redis"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(LocalStore()); // the shared level is asked only on a local miss
        const TRestored r =
            BuildOk(dir, {"/BUILDCACHEREMOTESERVER=" + c.server, "/MON=" + monitorFile});
        EXPECT_EQ(r.Total, 5) << last.Out;
        EXPECT_EQ(r.Restored, 0) << last.Out;
        const std::vector<std::string> problems = CacheProblems(monitorFile);
        ASSERT_EQ(problems.size(), 1u) << last.Out;
        EXPECT_NE(problems[0].find(c.says), std::string::npos) << problems[0];
        fs::remove(monitorFile);
    }
    // A healthy build has none.
    fs::remove_all(LocalStore());
    BuildOk(dir, {"/BUILDCACHELOCAL=ON", "/MON=" + monitorFile});
    EXPECT_TRUE(CacheProblems(monitorFile).empty()) << last.Out;
    EXPECT_EQ(last.Out.find("problem(s)"), std::string::npos) << last.Out;
}

// A shared server of the team, with its password in a file of the agent's settings.
class SharedServer : public BuildCacheE2E {
protected:
    void SetUp() override {
        BuildCacheE2E::SetUp();
        if (IsSkipped()) {
            return;
        }
        shared = std::make_unique<TTestRedis>(0, std::vector<std::string>{}, "team-Secret.1");
        ASSERT_TRUE(shared->Ping());
        Configure();
    }
    // This installation's settings name the shared server and a password file.
    void Configure() {
        const std::string passwordFile = install.Root + "/etc/shared-cache.password";
        WriteFile(passwordFile, "team-Secret.1\n");
        fs::permissions(passwordFile, fs::perms::owner_read | fs::perms::owner_write);
        WriteRegistry("\"BuildCacheSharedServer\"=\"" + shared->Address() +
                          "\"\r\n\"BuildCacheSharedPasswordFile\"=\"" + passwordFile + "\"\r\n",
                      servicePort);
    }
    std::unique_ptr<TTestRedis> shared;
};

TEST_F(SharedServer, ItServesWithThePasswordOfTheSettings) {
    TAgent agent;
    AwaitService();
    const std::string dir = Project("p");
    EXPECT_EQ(BuildOk(dir).Total, 5) << last.Out;
    EXPECT_EQ(last.Out.find("problem(s)"), std::string::npos) << last.Out;
    EXPECT_NE(shared->Cli({"DBSIZE"}).Out, "0\n") << "nothing was stored on the shared server";
    // This machine forgets everything, its local service too: the shared server serves.
    ASSERT_EQ(Clear().ExitCode, 0);
    const TRestored fromShared = BuildOk(Project("other"));
    EXPECT_EQ(fromShared.Restored, 5) << last.Out;
    EXPECT_NE(last.Out.find("5 restored from the shared cache"), std::string::npos) << last.Out;
    // Named by the build itself, the server gets the settings' password too.
    fs::remove_all(LocalStore());
    EXPECT_EQ(BuildOk(dir, {"/BUILDCACHEREMOTESERVER=" + shared->Address()}).Restored, 5)
        << last.Out;
    EXPECT_EQ(last.Out.find("problem(s)"), std::string::npos) << last.Out;
}

// Another machine (its own programs, settings, objects, data and local service) sharing
// the server restores what the first one built, also while its own local service cannot
// start because another process holds its port.
TEST_F(SharedServer, ASecondInstallationRestoresTheFirstOnesResults) {
    {
        TAgent agent;
        AwaitService();
        EXPECT_EQ(BuildOk(Project("first")).Restored, 0) << last.Out;
    }
    const TInstall first = install;
    const struct {
        const char* name;
        bool portTaken; // another process listens on the local service's port
    } cases[] = {{"own service running", false}, {"own service's port taken", true}};
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MakeInstallation("cache-e2e-second" + std::to_string(++index));
        struct TBack {
            const TInstall& first;
            ~TBack() {
                TearDownInstallation();
                install = first;
                ::setenv("TAVRIX_OBJECTS_DIR", install.Objects.c_str(), 1);
                ::setenv("TAVRIX_REGISTRY_DIR", (install.Root + "/etc").c_str(), 1);
                ::setenv("TAVRIX_DATA_DIR", (install.Root + "/var").c_str(), 1);
                comm::TProductInfo::Release();
                comm::TProductInfo::Get(install.Bin + "/info.dat");
            }
        } back{first};
        std::unique_ptr<TTestRedis> squatter;
        if (c.portTaken) {
            squatter = std::make_unique<TTestRedis>();
            ASSERT_TRUE(squatter->Ping());
            servicePort = std::stoi(squatter->Address().substr(squatter->Address().find(':') + 1));
        } else {
            servicePort = FreePort();
        }
        Configure();
        work = install.Root + "/work";
        TAgent agent;
        if (!c.portTaken) {
            ASSERT_FALSE(AwaitService().empty()) << "the agent did not start its service";
        }
        const TRestored second = BuildOk(Project("second"));
        EXPECT_EQ(second.Restored, 5) << last.Out;
        EXPECT_NE(last.Out.find("5 restored from the shared cache"), std::string::npos) << last.Out;
        if (c.portTaken) {
            // The agent tells why its service is not there.
            const std::string log = ReadFile(install.Bin + "/Logs/morvek-agent.log");
            EXPECT_NE(log.find("port is in use by another process"), std::string::npos) << log;
        }
    }
}

} // namespace

namespace {

TEST_F(BuildCacheE2E, AMissIsDistributedAndItsRestoreNeverLeavesTheMachine) {
    if (!TTestNetwork::Available()) {
        GTEST_SKIP() << "network namespaces are not available (needs root and iproute2)";
    }
    if (!Installed("distccd") || !Installed("distcc")) {
        GTEST_SKIP() << "distcc is not installed (scripts/setup.sh installs it)";
    }
    TTestNetwork network(1);
    THelperAgent helper(network.Namespace(0), network.Address(0), network.Subnet());
    ASSERT_TRUE(helper.WaitReachable()) << helper.Output();
    WriteRegistry("\"Helpers\"=\"" + network.Address(0) +
                      "\"\r\n\"HelperProbeSeconds\"=dword:00000001\r\n",
                  servicePort);
    TAgent agent;
    AwaitService();
    ASSERT_TRUE(WaitUntil(
        [] {
            return Contains(RunProgram(install.Bin + "/morvek-agent", {"--status"}).Out, " up ");
        },
        30000));
    const std::string dir = Project("p");
    const TRestored first = BuildOk(dir, {}, "-j4");
    EXPECT_EQ(first.Restored, 0) << last.Out;
    const int compiled = Occurrences(helper.Log(), "COMPILE_OK");
    EXPECT_GE(compiled, 1) << "no miss was distributed\n" << helper.Log() << last.Out;
    const TRestored second = BuildOk(dir, {}, "-j4");
    EXPECT_EQ(second.Restored, 5) << last.Out;
    EXPECT_EQ(Occurrences(helper.Log(), "COMPILE_OK"), compiled) << helper.Log();
}

} // namespace
