#include "buildsys/CacheEngine.h"
#include "buildsys/BuildCacheSetup.h"

#include "core/CacheOutcome.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

using namespace buildsys;
namespace fs = std::filesystem;

struct CacheEngineTest : ::testing::Test {
    std::vector<std::unique_ptr<packets::TPacket>> events;
    std::string folder;

    void SetUp() override {
        records::RegisterAllPacketClasses();
        folder = fs::temp_directory_path() / ("ravel-cache-engine-" + std::to_string(::getpid()));
        fs::create_directories(folder + "/logs");
    }
    void TearDown() override { fs::remove_all(folder); }

    std::unique_ptr<TCacheEngine>
    Make(bool readOnly = false, const std::string& baseDir = "/src/one",
         const std::string& shared = "redis://default:pw@127.0.0.1:7000") {
        auto profile = std::make_shared<records::TBuildCacheProfileDocument>();
        auto& gcc = profile->Tools.AddNew();
        gcc.Filename = "gcc";
        gcc.AllowBuildCache = true;
        auto& ld = profile->Tools.AddNew();
        ld.Filename = "ld";
        ld.AllowBuildCache = false;
        auto& cc = profile->Tools.AddNew();
        cc.Filename = "cc";
        cc.AllowBuildCache = true;
        cc.KeyVariables = "FLAVOUR; SDK_ROOT";
        TBuildCacheSetup setup;
        setup.Enabled = true;
        setup.Ccache = "/usr/bin/ccache";
        setup.LocalStore = folder + "/store";
        setup.SharedUrl = shared;
        setup.ReadOnly = readOnly;
        setup.BaseDir = baseDir;
        setup.LogFolder = folder + "/logs";
        setup.TaskInfoFile = folder + "/TaskExtraInfo.db";
        setup.Profile = profile;
        return std::make_unique<TCacheEngine>(
            std::move(setup), [this](const packets::TPacket& e) { events.push_back(e.Clone()); },
            [] { return 7; });
    }
    static TRunningTask Task(std::int32_t id, const std::string& tool, const std::string& kind,
                             const std::string& cwd = "/src/one") {
        TRunningTask task;
        task.TaskID = id;
        task.Request.Tool = "/usr/bin/" + tool;
        task.Request.Argv = {tool, "-c", "a.c", "-o", "a.o"};
        task.Request.Cwd = cwd;
        task.Request.Kind = kind;
        task.Request.Caption = "a.c";
        return task;
    }
    template <class T> std::vector<const T*> All() const {
        std::vector<const T*> found;
        for (const auto& e : events) {
            if (const auto* t = dynamic_cast<const T*>(e.get())) {
                found.push_back(t);
            }
        }
        return found;
    }
    static std::string Outcome(core::TCacheResult result, bool stored = false,
                               std::vector<std::string> errors = {}) {
        core::TCacheOutcome outcome;
        outcome.Result = result;
        outcome.Stored = stored;
        outcome.Reason = result == core::TCacheResult::Miss ? "no result stored" : "";
        outcome.Errors = std::move(errors);
        return core::CacheOutcomeToText(outcome);
    }
    static TTaskOutcome Took(std::int64_t ms) {
        TTaskOutcome outcome;
        outcome.DurationMs = ms;
        return outcome;
    }
    TWorkerRow row;
};

TEST_F(CacheEngineTest, OnlyCompilesOfProfiledToolsRunThroughTheCache) {
    const auto engine = Make();
    const struct {
        const char* tool;
        const char* kind;
        bool cached;
    } cases[] = {
        {"gcc", "compile", true}, {"gcc", "link", false},      {"ld", "link", false},
        {"ld", "compile", false}, {"clang", "compile", false}, // not in this profile
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " " + c.kind);
        TTaskCommand command;
        const TRunningTask task = Task(1, c.tool, c.kind);
        engine->Wrap(task, row, command);
        EXPECT_EQ(engine->Status(task), c.cached ? bctChecked : bctNotCached);
        if (!c.cached) {
            EXPECT_TRUE(command.Prefix.empty());
            EXPECT_TRUE(command.Env.empty());
            EXPECT_FALSE(command.Single);
            continue;
        }
        EXPECT_EQ(command.Prefix, std::vector<std::string>{"/usr/bin/ccache"});
        EXPECT_EQ(command.Env["CCACHE_DIR"], folder + "/store");
        EXPECT_EQ(command.Env["CCACHE_BASEDIR"], "/src/one");
        EXPECT_EQ(command.Env["CCACHE_REMOTE_STORAGE"], "redis://default:pw@127.0.0.1:7000");
        EXPECT_EQ(command.Env["CCACHE_LOGFILE"], folder + "/logs/task-1.log");
        EXPECT_EQ(command.Env["CCACHE_NOREADONLY"], "1");
        EXPECT_EQ(command.Env.count("CCACHE_PREFIX"), 0u);
        EXPECT_EQ(command.Env["CCACHE_NODEPEND"], "1") << "no dependency list to key on";
        // A bare second attempt would store nothing: a cached task is never doubled.
        EXPECT_TRUE(command.Single);
    }
    // A compile that lists every header it reads needs no preprocessor run on a miss.
    TRunningTask listing = Task(2, "gcc", "compile");
    listing.Request.Argv.push_back("-MD");
    TTaskCommand command;
    engine->Wrap(listing, row, command);
    EXPECT_EQ(command.Env["CCACHE_DEPEND"], "1");
    EXPECT_EQ(command.Env.count("CCACHE_NODEPEND"), 0u);
}

TEST_F(CacheEngineTest, ReadOnlyAndAnInnerEngineShapeTheCommand) {
    const auto engine = Make(true);
    TTaskCommand command;
    command.Prefix = {"distcc"};
    command.Env["DISTCC_HOSTS"] = "10.77.0.11:3632/2";
    engine->Wrap(Task(3, "gcc", "compile"), row, command);
    // A hit never leaves the machine: the distribution engine compiles ccache's misses.
    EXPECT_EQ(command.Prefix, std::vector<std::string>{"/usr/bin/ccache"});
    EXPECT_EQ(command.Env["CCACHE_PREFIX"], "distcc");
    EXPECT_EQ(command.Env["DISTCC_HOSTS"], "10.77.0.11:3632/2");
    EXPECT_EQ(command.Env["CCACHE_READONLY"], "1");
    EXPECT_EQ(command.Env["CCACHE_REMOTE_STORAGE"], "redis://default:pw@127.0.0.1:7000|read-only");
}

TEST_F(CacheEngineTest, VariablesTheProfileNamesGoIntoTheKey) {
    const auto engine = Make();
    TTaskCommand keyed;
    engine->Wrap(Task(4, "cc", "compile"), row, keyed);
    EXPECT_EQ(keyed.KeyVariables, (std::vector<std::string>{"FLAVOUR", "SDK_ROOT"}));
    EXPECT_EQ(keyed.KeyFile, folder + "/logs/task-4.key");
    EXPECT_EQ(keyed.Env["CCACHE_EXTRAFILES"], keyed.KeyFile);
    TTaskCommand plain;
    engine->Wrap(Task(5, "gcc", "compile"), row, plain);
    EXPECT_TRUE(plain.KeyVariables.empty());
    EXPECT_TRUE(plain.KeyFile.empty());
    EXPECT_EQ(plain.Env.count("CCACHE_EXTRAFILES"), 0u);
}

TEST_F(CacheEngineTest, ReadOnlyHoldsForEverySharedLevel) {
    const auto engine = Make(true, "/src/one", "redis://default:a@127.0.0.1:7000 redis://h:7001");
    TTaskCommand command;
    engine->Wrap(Task(3, "gcc", "compile"), row, command);
    EXPECT_EQ(command.Env["CCACHE_REMOTE_STORAGE"],
              "redis://default:a@127.0.0.1:7000|read-only redis://h:7001|read-only");
}

TEST_F(CacheEngineTest, OutcomesBecomeEventsAndTheSummary) {
    const auto engine = Make();
    const TRunningTask missed = Task(1, "gcc", "compile");
    TTaskCommand command;
    engine->Wrap(missed, row, command);
    engine->Ended(missed, row, Took(2000), Outcome(core::TCacheResult::Miss, true));
    ASSERT_EQ(All<records::TMonitorEventBCDetailsPacket>().size(), 1u);
    EXPECT_NE(All<records::TMonitorEventBCDetailsPacket>()[0]->Text.find("no result stored"),
              std::string::npos);

    // Written at the latest when the build ends.
    engine->Finish();
    EXPECT_EQ(TTaskInfoDatabase(folder + "/TaskExtraInfo.db")
                  .Duration(TaskSignature("gcc", missed.Request.Argv, "/src/one", "/src/one")),
              2000);
    events.clear();

    // The same compile in another checkout is restored, with the time it took before.
    const TRunningTask restored = Task(2, "gcc", "compile", "/src/two");
    auto other = Make(false, "/src/two");
    other->Wrap(restored, row, command);
    other->Ended(restored, row, Took(50), Outcome(core::TCacheResult::HitShared));
    const auto restores = All<records::TMonitorEventBuildCacheRestorePacket>();
    ASSERT_EQ(restores.size(), 1u);
    EXPECT_EQ(restores[0]->TaskID, 2);
    EXPECT_EQ(restores[0]->OriginalDuration, 2000);
    EXPECT_EQ(other->Counts().SavedMs, 1950);

    // Problems: one message however many there are; the build goes on.
    for (int i = 3; i < 6; ++i) {
        const TRunningTask task = Task(i, "gcc", "compile");
        other->Wrap(task, row, command);
        other->Ended(task, row, Took(10),
                     Outcome(core::TCacheResult::Miss, false, {"Redis command failed"}));
    }
    EXPECT_EQ(All<records::TMonitorEventMessagePacket>().size(), 1u);
    EXPECT_EQ(other->Counts().Errors, 3);

    other->Finish();
    const auto summaries = All<records::TMonitorEventBuildCacheSummaryPacket>();
    ASSERT_EQ(summaries.size(), 1u);
    EXPECT_EQ(summaries[0]->Lines[0], "Build cache: 1 of 4 tasks restored (25.0%), 2s of task "
                                      "time saved");
    EXPECT_FALSE(All<records::TMonitorEventBCBarUpdatePacket>().empty());

    // A build without cacheable tasks has no summary.
    events.clear();
    auto idle = Make();
    idle->Finish();
    EXPECT_TRUE(All<records::TMonitorEventBuildCacheSummaryPacket>().empty());
}

TEST_F(CacheEngineTest, SummaryLineFigures) {
    TBuildCacheCounts counts;
    counts.Cacheable = 430;
    counts.Restored = 412;
    counts.SavedMs = 192000;
    EXPECT_EQ(TCacheEngine::SummaryLine(counts),
              "Build cache: 412 of 430 tasks restored (95.8%), 3m 12s of task time saved");
    counts.SavedMs = 3723000;
    EXPECT_NE(TCacheEngine::SummaryLine(counts).find("1h 2m 3s"), std::string::npos);
}

} // namespace

namespace {

TEST(RedisStorageUrl, EveryLevelWaitsOnlyBriefly) {
    const struct {
        const char* password;
        const char* url;
    } cases[] = {
        {"", "redis://10.0.0.5:6379|connect-timeout=250|operation-timeout=1000"},
        {"pw", "redis://default:pw@10.0.0.5:6379|connect-timeout=250|operation-timeout=1000"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(buildsys::RedisStorageUrl("10.0.0.5:6379", c.password), c.url);
    }
}

} // namespace
