#include "Installation.h"

#include "../platform/TestProcess.h"
#include "comm/AgentSocket.h"
#include "comm/ProductInfo.h"
#include "packets/SpinLock.h"
#include "platform/LocalSocket.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace e2e {

using testing_support::WaitChild;

TInstall install;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void WriteRegistry(const std::string& extra, int redisPort) {
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Builder]\r\n"
                      "\"Folder\"=\"" +
                      install.Folder +
                      "\"\r\n\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tavrix\\Morvek\\Agent]\r\n" +
                      extra + "\"FileCacheDir\"=\"" + install.Folder + "/FileCache\"\r\n";
    WriteFile(install.Root + "/etc/machine.reg", reg);
    if (redisPort != 0) {
        WriteFile(install.Folder + "/resources/buildcache_service_config.json",
                  "{\"localRedisInstance\": {\"port\": " + std::to_string(redisPort) +
                      ", \"dbLocation\": \"%PROGRAMDATA%\\\\Morvek\\\\BuildCache\"}}");
    }
}

TAgent::TAgent() {
    std::vector<std::string> args{install.Bin + "/morvek-agent"};
    std::vector<char*> argv{args[0].data(), nullptr};
    EXPECT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    // Ready once it takes connections on its socket.
    for (int i = 0; i < 1000; ++i) {
        std::string why;
        if (comm::ConnectAgentSocket(why)) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "agent did not come up";
}

int TAgent::Stop(int signal) {
    if (pid <= 0) {
        return status;
    }
    ::kill(pid, signal);
    status = WaitChild(pid);
    pid = -1;
    return status;
}

void SetUpInstallation(const std::string& name, const std::vector<std::string>& programs,
                       const std::vector<std::string>& agentPrograms) {
    records::RegisterAllPacketClasses();
    install.Root = fs::temp_directory_path() / ("ravel-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(install.Root);
    install.Bin = install.Root + "/bin";
    install.Folder = install.Root + "/lib/morvek";
    install.Objects = "/dev/shm/ravel-" + name + "-" + std::to_string(getpid());
    fs::create_directories(install.Bin);
    fs::create_directories(install.Folder + "/FileCache");
    for (const std::string& file : programs) {
        fs::copy_file(file, install.Bin + "/" + fs::path(file).filename().string());
    }
    for (const std::string& file : agentPrograms) {
        fs::copy_file(file, install.Folder + "/" + fs::path(file).filename().string());
    }
    ::setenv("TAVRIX_OBJECTS_DIR", install.Objects.c_str(), 1);
    ::setenv("TAVRIX_REGISTRY_DIR", (install.Root + "/etc").c_str(), 1);
    ::setenv("TAVRIX_DATA_DIR", (install.Root + "/var").c_str(), 1);
    const e2e::TProcessResult written = e2e::RunProgram(
        install.Bin + "/morvek-agent", {"--write-product-info", install.Bin + "/info.dat"});
    ASSERT_EQ(written.ExitCode, 0) << written.Err;
    comm::TProductInfo::Release();
    install.Channel = comm::TProductInfo::Get(install.Bin + "/info.dat").GridServiceID();
    ASSERT_FALSE(install.Channel.IsNull());
}

void InstallTaskLauncher(const TLauncherFiles& files) {
    fs::copy_file(files.Launcher, install.Folder + "/morvek-task");
    fs::copy_file(files.Hook, install.Folder + "/libMorvekHook.so");
    fs::create_directories(install.Folder + "/resources");
    fs::copy_file(files.Profile, install.Folder + "/resources/DefaultJobProfile.xml");
    // The install step itself, so the test meets the masquerade links an install makes.
    const e2e::TProcessResult masq = e2e::RunProgram(
        "/bin/sh", {"-c", "cmake -DRAVEL_PROFILE=\"$0\" -DRAVEL_FOLDER=\"$1\" -P \"$2\"",
                    files.Profile, install.Folder, files.MasqueradeScript});
    ASSERT_EQ(masq.ExitCode, 0) << masq.Out << masq.Err;
    ASSERT_TRUE(fs::is_symlink(install.Folder + "/masq/cc"));
}

void TearDownInstallation() {
    fs::remove_all(install.Root);
    fs::remove_all(install.Objects);
}

} // namespace e2e
