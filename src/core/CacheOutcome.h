#pragma once
// How the build cache served one task, learned from the log the cache engine (ccache)
// wrote for that one call, and its text form in a launcher's end frame.
#include <string>
#include <string_view>
#include <vector>

namespace core {

enum class TCacheResult {
    None,         // no cache took part (no log, or no result in it)
    HitLocal,     // restored from this user's local store
    HitShared,    // restored from the shared level
    Miss,         // compiled; Stored tells whether the result was kept
    NotCacheable, // compiled without the cache; Reason says why
};

struct TCacheOutcome {
    TCacheResult Result = TCacheResult::None;
    bool Stored = false;
    std::string Reason;              // of a miss or of a call that is not cacheable
    std::vector<std::string> Errors; // what went wrong in the cache (the task still ran)
    bool operator==(const TCacheOutcome&) const = default;
};

// The outcome of the call whose whole log is `log`. Error lines never carry
// credentials: the engine prints storage addresses without them.
TCacheOutcome CacheOutcomeFromLog(std::string_view log);

// The outcome of the one call whose log the cache engine wrote to `logFile`; the file
// goes once read (it names the shared level's address). No file: None.
TCacheOutcome TakeCacheOutcome(const std::string& logFile);

// A call through the cache that failed with no result in its log: the cache engine
// itself failed (a failed compile has a result), so the task runs again without it.
bool CacheEngineFailed(const TCacheOutcome& outcome, bool callFailed);
// The outcome that tells so; `how` is the call's exit status or why it did not start.
TCacheOutcome CacheEngineFailure(const std::string& how);

// "hit-local", "hit-shared", "miss", "not-cacheable" or "" for None.
std::string_view CacheResultName(TCacheResult result);

// The text of an end frame's cache member (empty for None), and back. Text that is
// not such a form reads as None with the text as its one error.
std::string CacheOutcomeToText(const TCacheOutcome& outcome);
TCacheOutcome CacheOutcomeFromText(std::string_view text);

} // namespace core
