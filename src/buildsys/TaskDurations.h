#pragma once
// How long tasks took when they last really ran, kept in the task-information database.
// A task's end only notes its duration: a thread of its own writes the noted rows, all
// of an interval in one transaction, so that no task holds its row while the database
// flushes to the disk (several milliseconds per transaction, far more on a busy disk).
// A read sees every noted row at once. Failures go to `problem` and never raise; a
// database that cannot be opened is not tried again.
#include "buildsys/TaskInfoDatabase.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace buildsys {

class TTaskDurations {
public:
    using TProblem = std::function<void(const std::string&)>;
    TTaskDurations(std::string path, TProblem problem, std::chrono::milliseconds interval);
    ~TTaskDurations(); // writes what is left
    TTaskDurations(const TTaskDurations&) = delete;
    TTaskDurations& operator=(const TTaskDurations&) = delete;

    std::optional<std::int64_t> Duration(const std::string& signature);
    void Note(const std::string& signature, std::int64_t durationMs);
    // Writes every noted row now and returns when they are written (or failed).
    void Flush();

private:
    void Run();
    // Writes the rows noted so far; called without `mutex` held.
    void WriteNoted();
    // Called with `databaseMutex` held; null once opening failed.
    TTaskInfoDatabase* Database();

    const std::string path;
    const TProblem problem;
    const std::chrono::milliseconds interval;

    std::mutex mutex; // guards the maps, `stopping` and `writer`
    std::condition_variable wake;
    std::map<std::string, std::int64_t> noted;                   // this build's rows
    std::vector<std::pair<std::string, std::int64_t>> unwritten; // in the order noted
    bool stopping = false;
    std::thread writer;

    std::mutex databaseMutex; // guards the connection (writes and reads)
    std::unique_ptr<TTaskInfoDatabase> database;
    bool databaseFailed = false;
};

} // namespace buildsys
