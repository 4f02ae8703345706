#pragma once
// Runs the console's run sequence in-process with a given command line, environment
// and agent answer, capturing what it prints.
#include "console/ConsoleFlavor.h"
#include "console/ExitCode.h"
#include "console/GridConsole.h"
#include "platform/CommandLine.h"
#include "platform/Environment.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace testing_console {

// Answers the status query as told and notes the nested-job marker the agent would see.
class TFakeServiceLink : public console::TServiceLink {
public:
    TFakeServiceLink(std::unique_ptr<console::TServiceStatus> status, std::string* contextSeen)
        : status(std::move(status)), contextSeen(contextSeen) {}
    std::unique_ptr<console::TServiceStatus> QueryStatus() override {
        *contextSeen = platform::GetEnvVar("TavrixBuildContext").value_or("<unset>");
        return status ? std::make_unique<console::TServiceStatus>(*status) : nullptr;
    }
    void Post(const packets::TPacket& request) override {
        Posted.emplace_back(request.ClassName());
    }
    std::vector<std::string> Posted;

private:
    std::unique_ptr<console::TServiceStatus> status;
    std::string* contextSeen;
};

// How a run that gets as far as starting a build ends with the default proxy
// connection of ConsoleTest, which cannot send anything.
constexpr const char* StartBuildFailure =
    "Failed to start build.\r\nFailed to connect to Build Service (on local machine): cannot "
    "send TStartJobRequestPacket";

struct TRunResult {
    std::unique_ptr<console::TGridConsole> Console;
    std::string Out;
    std::string Err;
    int ExitCode = 0;
    std::string Failure;     // message of an error that left Run
    std::string ContextSeen; // "TavrixBuildContext" when the agent was asked
    TFakeServiceLink* Link = nullptr;
};

// A fresh temporary directory that is also the current directory during the test.
class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousDir = std::filesystem::current_path();
        dir = std::filesystem::temp_directory_path() /
              ("ravel_console_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        std::filesystem::current_path(dir);
        platform::UnsetEnvVar("TavrixBuildContext");
        platform::UnsetEnvVar("twConsoleParams");
        // An empty registry store: no agent settings, no installed Visual Studio.
        platform::SetEnvVar("TAVRIX_REGISTRY_DIR", dir.string());
    }
    // Copies the files of tests/console/fixtures into the test's folder.
    void CopyFixtures() const {
        std::filesystem::copy(RAVEL_CONSOLE_FIXTURES, dir,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
    }
    void TearDown() override {
        std::filesystem::current_path(previousDir);
        std::filesystem::remove_all(dir);
        platform::UnsetEnvVar("TavrixBuildContext");
        platform::UnsetEnvVar("twConsoleParams");
    }

    // Runs the sequence for "ravelcon <args>" (or the program `flavor` names);
    // `agentAnswers` hands it a service status.
    TRunResult Run(std::vector<std::string> args, bool agentAnswers = false,
                   console::TServiceStatus status = {},
                   const console::TConsoleFlavor& flavor = console::ConsoleFlavorFor("ravelcon")) {
        args.insert(args.begin(), std::string(flavor.ProgramName));
        std::vector<const char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(arg.c_str());
        }
        platform::SetProcessArguments(static_cast<int>(argv.size()), argv.data());
        console::SetExitCodeBase(0);
        console::SetExitCode(0);
        TRunResult result;
        result.Console =
            std::make_unique<console::TGridConsole>(console::ConsoleTitle, flavor.Modes);
        result.Console->RunsJobs = flavor.RunsJobs;
        auto link = std::make_unique<TFakeServiceLink>(
            agentAnswers ? std::make_unique<console::TServiceStatus>(status) : nullptr,
            &result.ContextSeen);
        result.Link = link.get();
        result.Console->SetServiceLink(std::move(link));
        result.Console->ProxyConnection = proxyConnection;
        // The run marks the environment as a nested job; put it back for the next run.
        const std::optional<std::string> context = platform::GetEnvVar("TavrixBuildContext");
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        try {
            result.Console->Run();
        } catch (const std::exception& e) {
            result.Failure = e.what();
            console::Finish(3);
        }
        result.Out = ::testing::internal::GetCapturedStdout();
        result.Err = ::testing::internal::GetCapturedStderr();
        result.ExitCode = console::ProcessExitCode();
        if (context) {
            platform::SetEnvVar("TavrixBuildContext", *context);
        } else {
            platform::UnsetEnvVar("TavrixBuildContext");
        }
        return result;
    }

    std::string Path(const std::string& name) const { return (dir / name).string(); }

    // The agent connection of the console's build proxies.
    build::TBuildProxy::TConnectionFactory proxyConnection = [] {
        return std::make_unique<comm::TAgentConnection>();
    };

    void WriteFile(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories((dir / name).parent_path());
        std::FILE* f = std::fopen(Path(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    std::string ReadFile(const std::string& path) const {
        std::string data;
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            char buffer[4096];
            std::size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
                data.append(buffer, n);
            }
            std::fclose(f);
        }
        return data;
    }

    std::filesystem::path dir;
    std::filesystem::path previousDir;
};

} // namespace testing_console
