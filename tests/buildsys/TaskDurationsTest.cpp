#include "buildsys/TaskDurations.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sqlite3.h>
#include <unistd.h>

namespace {

using namespace buildsys;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TaskDurationsTest : ::testing::Test {
    std::string folder;
    std::string file;
    std::vector<std::string> problems;

    void SetUp() override {
        folder = fs::temp_directory_path() / ("ravel-durations-" + std::to_string(::getpid()));
        fs::create_directories(folder);
        file = folder + "/TaskExtraInfo.db";
    }
    void TearDown() override { fs::remove_all(folder); }

    // Never written on its own within a test: only Flush writes.
    std::unique_ptr<TTaskDurations> Make() {
        return std::make_unique<TTaskDurations>(
            file, [this](const std::string& text) { problems.push_back(text); }, 1h);
    }
    std::optional<std::int64_t> Stored(const std::string& signature) {
        return TTaskInfoDatabase(file).Duration(signature);
    }
};

TEST_F(TaskDurationsTest, ATaskEndOnlyNotesItsDurationAndFlushWritesThemAll) {
    auto durations = Make();
    durations->Note("a", 1200);
    durations->Note("b", 30);
    durations->Note("a", 1100); // the last run counts
    // Seen at once by this build, not yet written.
    EXPECT_EQ(durations->Duration("a"), 1100);
    EXPECT_EQ(Stored("a"), std::nullopt);
    durations->Flush();
    EXPECT_EQ(Stored("a"), 1100);
    EXPECT_EQ(Stored("b"), 30);
    // Rows noted after a flush are written too.
    durations->Note("c", 7);
    durations.reset();
    EXPECT_EQ(Stored("c"), 7);
    EXPECT_EQ(Make()->Duration("b"), 30);
    EXPECT_TRUE(problems.empty());
}

TEST_F(TaskDurationsTest, ALockedDatabaseCostsOneProblemPerWriteAndNothingElse) {
    { TTaskInfoDatabase created(file); }
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto durations = Make();
    for (const char* signature : {"a", "b", "c"}) {
        durations->Note(signature, 5);
    }
    durations->Flush();
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find(file), std::string::npos) << problems[0];
    EXPECT_EQ(Stored("a"), std::nullopt);
    // What this build noted it still knows.
    EXPECT_EQ(durations->Duration("b"), 5);
}

TEST_F(TaskDurationsTest, ADatabaseThatCannotBeOpenedIsToldOnce) {
    fs::create_directories(file); // a folder where the file should be
    const auto durations = Make();
    durations->Note("a", 5);
    durations->Flush();
    EXPECT_EQ(durations->Duration("x"), std::nullopt);
    durations->Note("b", 5);
    durations->Flush();
    EXPECT_EQ(problems.size(), 1u);
}

} // namespace
