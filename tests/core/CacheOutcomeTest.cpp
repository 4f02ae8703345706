#include "core/CacheOutcome.h"

#include <gtest/gtest.h>

namespace {

using core::TCacheOutcome;
using core::TCacheResult;

std::string Log(std::initializer_list<const char*> lines) {
    std::string log = "[2026-12-10T19:02:25.675373 16821] === CCACHE 4.7.5 STARTED ===\n";
    for (const char* line : lines) {
        log += std::string("[2026-12-10T19:02:26.520257 16821] ") + line + "\n";
    }
    return log;
}

TEST(CacheOutcome, ResultsOfTheEngineLog) {
    const struct {
        const char* name;
        std::string log;
        TCacheResult result;
        bool stored;
        std::string reason;
        std::size_t errors;
    } cases[] = {
        {"local hit",
         Log({"Result: direct_cache_hit", "Result: local_storage_hit",
              "Result: local_storage_read_hit"}),
         TCacheResult::HitLocal, false, "", 0},
        {"shared hit",
         Log({"Result: direct_cache_hit", "Result: local_storage_miss",
              "Result: local_storage_write", "Result: remote_storage_hit"}),
         TCacheResult::HitShared, false, "", 0},
        {"preprocessed hit", Log({"Result: preprocessed_cache_hit", "Result: local_storage_hit"}),
         TCacheResult::HitLocal, false, "", 0},
        {"miss stored",
         Log({"Result: cache_miss", "Result: direct_cache_miss", "Result: local_storage_write",
              "Result: remote_storage_write"}),
         TCacheResult::Miss, true, "no result stored for these inputs", 0},
        {"miss read-only", Log({"Result: cache_miss", "Result: local_storage_miss"}),
         TCacheResult::Miss, false, "no result stored for these inputs", 0},
        {"link", Log({"Result: called_for_link"}), TCacheResult::NotCacheable, false,
         "called for link", 0},
        {"option", Log({"Result: unsupported_compiler_option"}), TCacheResult::NotCacheable, false,
         "unsupported compiler option", 0},
        {"shared level down",
         Log({"Failed to construct backend for redis://127.0.0.1:16398: Redis connection error: "
              "Connection refused",
              "Not putting in redis://127.0.0.1:16398 since it failed earlier",
              "Result: cache_miss", "Result: local_storage_write", "Result: remote_storage_error"}),
         TCacheResult::Miss, true, "no result stored for these inputs", 1},
        {"shared level talked to",
         Log({"Redis connecting to 127.0.0.1:26391 (connect timeout 100 ms)",
              "Redis operation timeout set to 10000 ms", "Redis connection OK",
              "Redis AUTH default ********", "Redis GET ccache:c612jqb847nfgevp0jik4e3m2d0qli0kq",
              "Redis SET ccache:b0228ivivfvcei307466fdlrufei3m38m [421 bytes]",
              "Result: cache_miss", "Result: local_storage_write", "Result: remote_storage_write"}),
         TCacheResult::Miss, true, "no result stored for these inputs", 0},
        {"shared level full",
         Log({"Redis SET ccache:b0228ivivfvcei307466fdlrufei3m38m [421 bytes]",
              "Redis command failed: OOM command not allowed when used memory > 'maxmemory'.",
              "Not putting in redis://127.0.0.1:26391 since it failed earlier",
              "Result: cache_miss", "Result: local_storage_write"}),
         TCacheResult::Miss, true, "no result stored for these inputs", 1},
        {"corrupt entry",
         Log({"Failed to get result from f36c: Bad magic value: 0x6761", "Result: cache_miss",
              "Result: local_storage_hit", "Result: local_storage_write"}),
         TCacheResult::Miss, true, "no result stored for these inputs", 1},
        {"no result", Log({"Trying direct lookup"}), TCacheResult::None, false, "", 0},
        {"write without a result", Log({"Result: local_storage_write"}), TCacheResult::None, false,
         "", 0},
        {"empty", "", TCacheResult::None, false, "", 0},
        {"cut short", "[2026-12-10T19:02:2", TCacheResult::None, false, "", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TCacheOutcome outcome = core::CacheOutcomeFromLog(c.log);
        EXPECT_EQ(outcome.Result, c.result);
        EXPECT_EQ(outcome.Stored, c.stored);
        EXPECT_EQ(outcome.Reason, c.reason);
        EXPECT_EQ(outcome.Errors.size(), c.errors);
        // The end frame carries it unchanged.
        EXPECT_EQ(core::CacheOutcomeFromText(core::CacheOutcomeToText(outcome)), outcome);
    }
}

TEST(CacheOutcome, AnErrorWithoutItsLineStillCounts) {
    const TCacheOutcome outcome =
        core::CacheOutcomeFromLog(Log({"Redis command failed: NOAUTH Authentication required.",
                                       "Result: cache_miss", "Result: remote_storage_error"}));
    ASSERT_EQ(outcome.Errors.size(), 1u);
    EXPECT_EQ(outcome.Errors[0], "Redis command failed: NOAUTH Authentication required.");
    EXPECT_EQ(core::CacheOutcomeFromLog(Log({"Result: cache_miss", "Result: remote_storage_error"}))
                  .Errors.size(),
              1u);
}

TEST(CacheOutcome, AServerThatDoesNotAnswerIsToldWithTheTimeout) {
    const struct {
        const char* name;
        std::string log;
        std::string error;
    } cases[] = {
        {"hung",
         Log({"Redis operation timeout set to 1000 ms", "Redis connection OK",
              "Redis command failed: Resource temporarily unavailable", "Result: cache_miss",
              "Result: remote_storage_error"}),
         "Redis command failed: Resource temporarily unavailable (no answer within 1000 ms)"},
        {"timeout not logged",
         Log({"Redis command failed: Resource temporarily unavailable", "Result: cache_miss"}),
         "Redis command failed: Resource temporarily unavailable"},
        {"another failure",
         Log({"Redis operation timeout set to 1000 ms",
              "Redis command failed: NOAUTH Authentication required.", "Result: cache_miss"}),
         "Redis command failed: NOAUTH Authentication required."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TCacheOutcome outcome = core::CacheOutcomeFromLog(c.log);
        ASSERT_EQ(outcome.Errors.size(), 1u);
        EXPECT_EQ(outcome.Errors[0], c.error);
    }
}

TEST(CacheOutcome, TextThatIsNoOutcomeIsAnErrorNotAResult) {
    for (const char* text :
         {"garbage", "{}", "{\"result\":\"hit-everywhere\"}", "[1]", "{\"result\":5}"}) {
        const TCacheOutcome outcome = core::CacheOutcomeFromText(text);
        EXPECT_EQ(outcome.Result, TCacheResult::None) << text;
        EXPECT_EQ(outcome.Errors.size(), 1u) << text;
    }
    EXPECT_EQ(core::CacheOutcomeFromText(""), TCacheOutcome{});
    EXPECT_EQ(core::CacheOutcomeToText(TCacheOutcome{}), "");
}

} // namespace

namespace {

TEST(CacheOutcome, BytesOfTheLogThatAreNoTextTravelAsMarks) {
    const std::string log = std::string("[t 1] Failed to read \xff\xfe entry\x01\n") +
                            "[t 1] Result: weird_\x80_result\n";
    const core::TCacheOutcome outcome = core::CacheOutcomeFromLog(log);
    ASSERT_EQ(outcome.Errors.size(), 1u);
    EXPECT_EQ(outcome.Errors[0], "Failed to read ?? entry?");
    EXPECT_EQ(outcome.Reason, "weird ? result");
    EXPECT_EQ(core::CacheOutcomeFromText(core::CacheOutcomeToText(outcome)), outcome);
}

} // namespace
