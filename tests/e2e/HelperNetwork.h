#pragma once
// Helper machines for end-to-end tests: a test bridge with one network namespace per
// helper (a veth pair each, addresses of the test's own), and a morvek-agent in helper
// mode (running distccd) inside a namespace, each with its own installation. Traffic
// goes only to those namespaces; every namespace, link and process goes with its
// object, also when a test fails. The test program defines AGENT_BINARY.
#include "../platform/TestProcess.h"
#include "Installation.h"
#include "ProcessRunner.h"
#include "platform/Network.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>

namespace e2e {

inline constexpr int HelperPort = 3632;

inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return condition();
}

inline int Sh(const std::string& command) {
    return RunProgram("/bin/sh", {"-c", command}).ExitCode;
}

inline int Occurrences(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

inline std::vector<int> NamespacePids(const std::string& ns) {
    std::istringstream lines(RunProgram("/bin/sh", {"-c", "ip netns pids " + ns}).Out);
    std::vector<int> pids;
    for (int pid = 0; lines >> pid;) {
        pids.push_back(pid);
    }
    return pids;
}

inline void KillNamespace(const std::string& ns) {
    for (int round = 0; round < 20; ++round) {
        const std::vector<int> pids = NamespacePids(ns);
        if (pids.empty()) {
            return;
        }
        for (const int pid : pids) {
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// A test bridge with one namespace per helper, removed with the object.
class TTestNetwork {
public:
    // Whether this machine lets the test make namespaces (root, iproute2).
    static bool Available() {
        const std::string probe = "mvprobe" + std::to_string(::getpid());
        if (Sh("ip netns add " + probe + " 2>/dev/null") != 0) {
            return false;
        }
        Sh("ip netns del " + probe);
        return true;
    }

    explicit TTestNetwork(int helpers) : id(std::to_string(::getpid() % 100000)) {
        subnet = "10.213." + std::to_string(20 + ::getpid() % 200);
        bridge = "mvbr" + id;
        Run("ip link add " + bridge + " type bridge");
        links.push_back(bridge);
        Run("ip addr add " + subnet + ".1/24 dev " + bridge);
        Run("ip link set " + bridge + " up");
        for (int i = 0; i < helpers; ++i) {
            const std::string ns = Namespace(i);
            const std::string veth = "mv" + id + "h" + std::to_string(i);
            const std::string peer = "mv" + id + "p" + std::to_string(i);
            Run("ip netns add " + ns);
            namespaces.push_back(ns);
            Run("ip link add " + veth + " type veth peer name " + peer);
            links.push_back(veth);
            Run("ip link set " + peer + " netns " + ns);
            Run("ip link set " + veth + " master " + bridge);
            Run("ip link set " + veth + " up");
            Run("ip netns exec " + ns + " ip addr add " + Address(i) + "/24 dev " + peer);
            Run("ip netns exec " + ns + " ip link set " + peer + " up");
            Run("ip netns exec " + ns + " ip link set lo up");
        }
    }
    ~TTestNetwork() {
        for (const std::string& ns : namespaces) {
            KillNamespace(ns);
            Sh("ip netns del " + ns + " 2>/dev/null");
        }
        for (auto it = links.rbegin(); it != links.rend(); ++it) {
            Sh("ip link del " + *it + " 2>/dev/null");
        }
    }
    TTestNetwork(const TTestNetwork&) = delete;
    TTestNetwork& operator=(const TTestNetwork&) = delete;

    std::string Namespace(int i) const { return "mvh" + id + "-" + std::to_string(i); }
    std::string Address(int i) const { return subnet + "." + std::to_string(11 + i); }
    std::string Initiator() const { return subnet + ".1"; }
    std::string Subnet() const { return subnet + ".0/24"; }

private:
    void Run(const std::string& command) {
        const TProcessResult result = RunProgram("/bin/sh", {"-c", command});
        if (result.ExitCode != 0) {
            throw std::runtime_error(command + ": " + result.Err);
        }
    }
    std::string id;
    std::string subnet;
    std::string bridge;
    std::vector<std::string> namespaces;
    std::vector<std::string> links;
};

// A helper machine: its own installation and its agent in helper mode, started in
// its namespace; stopped (with everything in the namespace) with the object.
class THelperAgent {
public:
    // `env`: NAME=VALUE entries the agent (and its distccd) get besides.
    THelperAgent(const std::string& ns, const std::string& address, const std::string& allow,
                 const std::string& extra = "", std::vector<std::string> env = {})
        : ns(ns), address(address), env(std::move(env)) {
        root = install.Root + "/helper-" + ns;
        // A namespace name comes back in a later test: its logs start empty.
        std::filesystem::remove_all(root + "/bin/Logs");
        std::filesystem::remove(root + "/agent.out");
        std::filesystem::create_directories(root + "/bin");
        std::filesystem::create_directories(root + "/etc");
        std::filesystem::create_directories(root + "/lib/morvek");
        std::filesystem::copy_file(AGENT_BINARY, root + "/bin/morvek-agent",
                                   std::filesystem::copy_options::overwrite_existing);
        const TProcessResult written = RunProgram(root + "/bin/morvek-agent",
                                                  {"--write-product-info", root + "/bin/info.dat"});
        EXPECT_EQ(written.ExitCode, 0) << written.Err;
        WriteFile(root + "/etc/machine.reg",
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]\r\n"
                  "\"Folder\"=\"" +
                      root +
                      "/lib/morvek\"\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Agent]\r\n"
                      "\"HelperListen\"=\"" +
                      address + "\"\r\n\"HelperAllow\"=\"" + allow + "\"\r\n" + extra);
        Start();
    }
    ~THelperAgent() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            if (!WaitUntil([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 10000)) {
                ::kill(pid, SIGKILL);
                testing_support::WaitChild(pid);
            }
        }
        KillNamespace(ns);
        std::filesystem::remove_all(install.Objects + "-" + ns);
    }
    THelperAgent(const THelperAgent&) = delete;
    THelperAgent& operator=(const THelperAgent&) = delete;

    void Start() {
        const std::string objects = install.Objects + "-" + ns;
        std::vector<std::string> args{"ip",
                                      "netns",
                                      "exec",
                                      ns,
                                      "env",
                                      "TAVRIX_REGISTRY_DIR=" + root + "/etc",
                                      "TAVRIX_OBJECTS_DIR=" + objects,
                                      "TAVRIX_DATA_DIR=" + root + "/var"};
        args.insert(args.end(), env.begin(), env.end());
        args.push_back(root + "/bin/morvek-agent");
        args.push_back("--helper");
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string out = root + "/agent.out";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        EXPECT_EQ(::posix_spawnp(&pid, "ip", &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    // distccd answers on the helper's address.
    bool WaitReachable(int timeoutMs = 15000) const {
        return WaitUntil(
            [&] {
                std::string error;
                return platform::TcpProbe(address, HelperPort, 200, error);
            },
            timeoutMs);
    }
    // The machine goes away: everything in its namespace dies at once.
    void Kill() {
        KillNamespace(ns);
        if (pid > 0) {
            testing_support::WaitChild(pid);
            pid = -1;
        }
    }
    // The exit status of an agent that ended by itself.
    int WaitExit() {
        const int status = testing_support::WaitChild(pid);
        pid = -1;
        return status;
    }
    std::string Log() const { return ReadFile(root + "/bin/Logs/distccd.log"); }
    std::string Output() const { return ReadFile(root + "/agent.out"); }
    const std::string& Namespace() const { return ns; }
    pid_t Pid() const { return pid; }

private:
    std::string ns;
    std::string address;
    std::vector<std::string> env;
    std::string root;
    pid_t pid = -1;
};

} // namespace e2e
