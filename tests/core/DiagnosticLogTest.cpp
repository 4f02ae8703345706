#include "core/DiagnosticLog.h"
#include "support/DeepRecursion.h"

#include "../platform/TestProcess.h"
#include "core/Errors.h"
#include "platform/CrashStack.h"
#include "platform/Registry.h"
#include "platform/SharedObjects.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <thread>

using namespace core;
using namespace testing_support;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TLogSettings Level(int level, bool debug = false) {
    TLogSettings settings;
    settings.Level = level;
    settings.Debug = debug;
    return settings;
}

const bool childActions = RegisterChildActions({
    {"log-lines",
     [](const std::vector<std::string>& a) {
         TDiagnosticLog log(a[0], Level(1));
         for (int i = 0; i < 10000; ++i) {
             log.WriteLine(a[1] + " " + std::to_string(i) + " " + std::string(40, a[1][0]));
         }
         return 0;
     }},
    {"crash",
     [](const std::vector<std::string>& a) {
         SetLog(std::make_unique<TDiagnosticLog>(a[0], Level(1)));
         InstallCrashLogging();
         void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
         return *static_cast<volatile int*>(page);
     }},
});

class DiagnosticLogTest : public TObjectsDirFixture {
protected:
    std::string LogPath() const { return files.Path() + "/Logs/test.log"; }
    TTempDir files;
};

TEST(LogFormat, HeadingsAreFilledTo79Characters) {
    const platform::TLocalTime time{2026, 12, 10, 4, 3, 2, 7};
    EXPECT_EQ(FormatLogTimestamp(time), "10/12/2026 04:03:02.007");
    const std::string warning = FormatLogHeading("Warning", '=', time);
    EXPECT_EQ(warning.size(), 79u);
    EXPECT_EQ(warning, std::string(10, '=') + "Warning" + std::string(23, '=') +
                           "10/12/2026 04:03:02.007" + std::string(16, '='));
    EXPECT_EQ(FormatLogHeading("", '-', time).size(), 79u);
    const std::string longTitle(60, 'T');
    EXPECT_EQ(FormatLogHeading(longTitle, '-', time),
              std::string(10, '-') + longTitle + "10/12/2026 04:03:02.007")
        << "a long line is not cut";
}

TEST_F(DiagnosticLogTest, SettingsDecideWhichLinesAreWritten) {
    const struct {
        TLogSettings settings;
        bool ordinary;
        bool debug;
    } cases[] = {
        {Level(0), false, false},
        {Level(1), true, false},
        {Level(0, true), true, true},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(LogPath());
        {
            TDiagnosticLog log(LogPath(), c.settings);
            log.WriteLine("ordinary");
            log.WriteLine("debug", lfDebug);
            log.WriteLine("always", lfAlways | lfFlush);
            log.Warning("a warning");
        }
        const std::string text = ReadFile(LogPath());
        EXPECT_EQ(text.find("ordinary\r\n") != std::string::npos, c.ordinary) << text;
        EXPECT_EQ(text.find("debug\r\n") != std::string::npos, c.debug) << text;
        EXPECT_NE(text.find("always\r\n"), std::string::npos);
        EXPECT_NE(text.find("==========Warning"), std::string::npos);
        EXPECT_NE(text.find("\r\na warning\r\n"), std::string::npos);
    }
    TLogSettings off = Level(1, true);
    off.Disabled = true;
    std::filesystem::remove(LogPath());
    TDiagnosticLog log(LogPath(), off);
    log.Warning("nothing at all");
    EXPECT_FALSE(std::filesystem::exists(LogPath()));
}

TEST_F(DiagnosticLogTest, FailedSettingsAreReportedFirst) {
    TLogSettings settings;
    settings.InitError = "Malformed registry file";
    TDiagnosticLog log(LogPath(), settings);
    log.WriteLine("ignored at level 0");
    log.Warning("w");
    const std::string text = ReadFile(LogPath());
    EXPECT_EQ(text.rfind("An error occurred while initializing log.\r\n"
                         "Failed to access registry information.\r\n"
                         "Malformed registry file\r\n",
                         0),
              0u)
        << text;
}

TEST_F(DiagnosticLogTest, LongLogIsCutToItsLastThreeQuarters) {
    std::filesystem::create_directories(files.Path() + "/Logs");
    std::string content(LogTrimThreshold + 1, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>('a' + i % 26);
    }
    std::ofstream(LogPath(), std::ios::binary) << content;
    TDiagnosticLog log(LogPath(), Level(1));
    log.WriteLine("next");
    const std::string text = ReadFile(LogPath());
    ASSERT_EQ(text.size(), static_cast<std::size_t>(LogTrimKeep) + 6);
    EXPECT_EQ(text.substr(0, LogTrimKeep), content.substr(content.size() - LogTrimKeep));
    EXPECT_EQ(text.substr(LogTrimKeep), "next\r\n");

    log.WriteLine("more");
    EXPECT_EQ(ReadFile(LogPath()).size(), static_cast<std::size_t>(LogTrimKeep) + 12)
        << "a log at or below the limit is not cut";
}

TEST_F(DiagnosticLogTest, TwoProcessesNeverInterleaveWithinALine) {
    const pid_t a = SpawnChild("log-lines", {LogPath(), "A"});
    const pid_t b = SpawnChild("log-lines", {LogPath(), "B"});
    EXPECT_EQ(WaitChild(a), 0);
    EXPECT_EQ(WaitChild(b), 0);
    std::istringstream lines(ReadFile(LogPath()));
    std::set<std::string> seen;
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        const char who = line[0];
        ASSERT_TRUE(who == 'A' || who == 'B') << line;
        const std::size_t space = line.find(' ', 2);
        ASSERT_NE(space, std::string::npos) << line;
        ASSERT_EQ(line.substr(space + 1), std::string(40, who)) << line;
        seen.insert(line.substr(0, space));
        ++count;
    }
    EXPECT_EQ(count, 20000);
    EXPECT_EQ(seen.size(), 20000u);
}

TEST_F(DiagnosticLogTest, BlocksNameProcessThreadAndBuild) {
    TDiagnosticLog log(LogPath(), Level(1, true));
    EXPECT_EQ(log.ThreadText(platform::CurrentProcessId()),
              std::to_string(platform::CurrentProcessId()) + " [Main Thread]");
    log.SetThreadName(77, "Process Output Thread");
    EXPECT_EQ(log.ThreadText(77), "77 [Process Output Thread]");
    for (std::uint32_t id = 1000; id < 1128; ++id) {
        log.SetThreadName(id, "t");
    }
    EXPECT_EQ(log.ThreadText(77), "77") << "oldest names are dropped past 128";

    log.Started();
    log.Diagnostic("something odd");
    log.DebugTrace("traced");
    log.Stopped();
    const std::string text = ReadFile(LogPath());
    const std::string pid = std::to_string(platform::CurrentProcessId());
    EXPECT_NE(text.find("==========Started"), std::string::npos);
    EXPECT_NE(text.find(" Build=" + BuildNumber() + "   PID=" + pid + "   TID="),
              std::string::npos);
    EXPECT_NE(text.find("Special Debugging Mode Enabled"), std::string::npos);
    EXPECT_NE(text.find("----------Warning"), std::string::npos);
    EXPECT_NE(text.find("PID=" + pid + " TID="), std::string::npos);
    EXPECT_NE(text.find("something odd"), std::string::npos);
    EXPECT_NE(text.find("[" + pid + "|"), std::string::npos);
    EXPECT_NE(text.find("==========Stopped (PID=" + pid + ")"), std::string::npos);
}

TEST_F(DiagnosticLogTest, SettingsComeFromTheMachineRegistry) {
    TScopedEnv registry("TAVRIX_REGISTRY_DIR", files.Path() + "/etc");
    EXPECT_EQ(TDiagnosticLog::ReadSettings().Level, 0);
    auto key = platform::TRegistryKey::Create(platform::TRegRoot::LocalMachine,
                                              "SOFTWARE\\Tavrix\\Morvek\\Log");
    key->WriteInteger("Level", 2);
    key->WriteBool("Debug", true);
    TLogSettings settings = TDiagnosticLog::ReadSettings();
    EXPECT_EQ(settings.Level, 2);
    EXPECT_TRUE(settings.Debug);
    EXPECT_TRUE(settings.InitError.empty());

    std::ofstream(files.Path() + "/etc/machine.reg") << "garbage";
    settings = TDiagnosticLog::ReadSettings();
    EXPECT_NE(settings.InitError.find("machine.reg"), std::string::npos) << settings.InitError;

    TScopedEnv instance("TavrixLogInstance", "second");
    const std::string name = TDiagnosticLog::DefaultFileName();
    EXPECT_NE(name.find("/Logs/"), std::string::npos);
    EXPECT_TRUE(name.ends_with("_second.log")) << name;
}

// Raise logs the error, then throws it with its own type.
TEST_F(DiagnosticLogTest, RaisedErrorsAreLoggedWhereTheyAreRaised) {
    SetLog(std::make_unique<TDiagnosticLog>(LogPath(), Level(1)));
    EXPECT_THROW(Raise(EConvertError("general trouble")), EConvertError);
    const EOSError system("system trouble", 5);
    try {
        Raise(system);
    } catch (const EOSError& e) {
        EXPECT_EQ(e.ErrorCode(), 5);
    }
    EXPECT_THROW(Raise(std::invalid_argument("foreign trouble")), std::invalid_argument);
    EXPECT_THROW(Raise(EAbort("quiet")), EAbort);
    EXPECT_THROW(AssertionFailed("bad state", "x.cpp", 12), EAssertionFailed);
    SetLog(std::make_unique<TDiagnosticLog>(LogPath(), Level(0)));
    EXPECT_THROW(Raise(EGeneralError("while off")), EGeneralError);
    SetLog(nullptr);
    const std::string text = ReadFile(LogPath());
    EXPECT_NE(text.find("----------Raised Exception"), std::string::npos) << text;
    EXPECT_NE(text.find("EConvertError PID="), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n\r\ngeneral trouble\r\n\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("EOSError PID="), std::string::npos) << text;
    EXPECT_NE(text.find("std::invalid_argument PID="), std::string::npos) << text;
    EXPECT_NE(text.find("\r\n\r\nforeign trouble\r\n\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("quiet"), std::string::npos) << "aborts are silent";
    EXPECT_NE(text.find("\r\n\r\nbad state\r\n\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("while off"), std::string::npos);
}

TEST_F(DiagnosticLogTest, FatalFaultIsLoggedBeforeTheProcessEnds) {
    const pid_t child = SpawnChild("crash", {LogPath()});
    EXPECT_EQ(WaitChild(child), 128 + SIGSEGV);
    const std::string text = ReadFile(LogPath());
    EXPECT_NE(text.find("----------Exception"), std::string::npos) << text;
    EXPECT_NE(text.find("EAccessViolation   Code=0xC0000005   Flags=0x00000000   Addr=0x"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("   PID=" + std::to_string(child) + "   TID=" + std::to_string(child) +
                        " [Main Thread]   Build="),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Access violation at address "), std::string::npos);
    EXPECT_NE(text.find(". Read of address "), std::string::npos) << text;
}

TEST_F(DiagnosticLogTest, LongWaitsAreReported) {
    SetLog(std::make_unique<TDiagnosticLog>(LogPath(), Level(0)));
    auto event = platform::TEvent::CreateLocal(false, false);
    std::thread setter([&] {
        // Answer only once the waiter has reported a possible deadlock.
        for (int i = 0; i < 3000; ++i) {
            if (ReadFile(LogPath()).find("Wait State Warning (possible deadlock)") !=
                std::string::npos) {
                break;
            }
            platform::SleepMs(10);
        }
        event->Set();
    });
    EXPECT_TRUE(WaitReporting(*event, platform::InfiniteTimeout, true, 20));
    setter.join();
    SetLog(nullptr);
    const std::string text = ReadFile(LogPath());
    EXPECT_NE(text.find("Wait State Warning (possible deadlock)"), std::string::npos);
    EXPECT_NE(text.find("Wait State Ended (deadlock condition avoided)"), std::string::npos);
    EXPECT_FALSE(WaitReporting(*event, 0, true));
}

} // namespace

namespace {

const bool overflowActions = RegisterChildActions({
    {"stack-overflow",
     [](const std::vector<std::string>& a) {
         SetLog(std::make_unique<TDiagnosticLog>(a[0], Level(1)));
         InstallCrashLogging();
         return testing_support::Deeper(1);
     }},
    {"thread-stack-overflow",
     [](const std::vector<std::string>& a) {
         SetLog(std::make_unique<TDiagnosticLog>(a[0], Level(1)));
         InstallCrashLogging();
         platform::StartThread([] { testing_support::Deeper(1); }).join();
         return 0;
     }},
});

// In the installing thread and in a thread the program started alike.
TEST_F(DiagnosticLogTest, StackOverflowIsLogged) {
    for (const char* action : {"stack-overflow", "thread-stack-overflow"}) {
        SCOPED_TRACE(action);
        std::remove(LogPath().c_str());
        const pid_t child = SpawnChild(action, {LogPath()});
        EXPECT_EQ(WaitChild(child), 128 + SIGSEGV);
        const std::string text = ReadFile(LogPath());
        EXPECT_NE(text.find("EAccessViolation   Code=0xC0000005"), std::string::npos) << text;
    }
}

} // namespace
