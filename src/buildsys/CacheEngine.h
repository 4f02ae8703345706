#pragma once
// The build cache as a task engine: a cacheable compile (a compile of a tool the build
// cache profile allows) runs through ccache, with this user's local store, the shared
// level (a Redis server) when there is one, and the build's folder as base directory so
// that two checkouts share results. ccache writes a log for the one call; the launcher
// reports what it says, and the engine turns that into the build-cache events: a
// restore (with the time the task took when it last really ran, from the
// task-information database), details of a miss or of a call that cannot be cached,
// counter updates, and at the end the summary. What goes wrong in the cache never fails
// a task: the first failure is told in one message event.
#include "buildsys/TaskDurations.h"
#include "buildsys/TaskEngine.h"
#include "packets/Packet.h"
#include "records/ProfilePackets.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace buildsys {

struct TBuildCacheSetup {
    bool Enabled = false;
    std::string Ccache;     // the ccache program, resolved
    std::string LocalStore; // this user's store: <cache dir>/FileCache/u<uid>, 0700
    // ccache's remote storage URLs (credentials included), separated by blanks, or empty
    std::string SharedUrl;
    bool ReadOnly = false;    // restore only, store nothing
    std::string BaseDir;      // the build's current folder
    std::string LogFolder;    // a private folder for the per-task logs
    std::string TaskInfoFile; // the task-information database
    // Which tools may be cached (records are not copyable: shared, read-only).
    std::shared_ptr<const records::TBuildCacheProfileDocument> Profile;
};

// Values of the begin step's BuildCacheStatus.
enum TBuildCacheTaskStatus : std::int32_t { bctNotCached = 0, bctChecked = 1 };
// Values of the bar update's UpdateKind.
enum TBuildCacheUpdate : std::uint8_t { bcuCheck = 0, bcuRetrieval = 1, bcuUpdate = 2, bcuEnd = 3 };

struct TBuildCacheCounts {
    std::int32_t Cacheable = 0;
    std::int32_t Restored = 0;
    std::int32_t RestoredShared = 0;
    std::int32_t Missed = 0;
    std::int32_t Stored = 0;
    std::int32_t NotCacheable = 0;
    std::int32_t Errors = 0;
    std::int64_t SavedMs = 0;
    std::int64_t FetchMs = 0;
    std::int64_t SubmitMs = 0;
};

class TCacheEngine : public TTaskEngine {
public:
    using TAdd = std::function<void(const packets::TPacket&)>;
    // `add` must be safe from any thread.
    TCacheEngine(TBuildCacheSetup setup, TAdd add, std::function<std::int32_t()> ms);

    // Whether the task runs through the cache.
    bool Cacheable(const TTaskRequest& request) const;
    std::int32_t Status(const TRunningTask& task) const {
        return Cacheable(task.Request) ? bctChecked : bctNotCached;
    }
    void Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) override;
    void Ended(const TRunningTask& task, const TWorkerRow& row, const TTaskOutcome& outcome,
               const std::string& cache) override;
    // The summary event and line; nothing when no task was cacheable.
    void Finish();
    TBuildCacheCounts Counts() const;

    // "Build cache: 412 of 430 tasks restored (95.8%), 3m 12s of task time saved".
    static std::string SummaryLine(const TBuildCacheCounts& counts);

private:
    std::string LogFile(std::int32_t taskID, const char* extension = ".log") const;
    // The environment variables the profile puts into the key of the task's result.
    std::vector<std::string> KeyVariables(const TTaskRequest& request) const;
    void Problem(const std::string& text);
    void BarUpdate(TBuildCacheUpdate kind);

    TBuildCacheSetup setup;
    TAdd add;
    std::function<std::int32_t()> ms;
    mutable std::mutex mutex;
    TBuildCacheCounts counts;
    bool told = false; // the one message of a failure was sent
    bool finished = false;
    // Durations of tasks that really ran; a task's end does not wait for the disk.
    TTaskDurations durations;
};

} // namespace buildsys
