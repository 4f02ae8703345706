#pragma once
// The task-information database (an SQLite file): how long each task took when it
// was last really run, by task signature, so that a task restored from the build
// cache can say how much time it saved. Every failure raises ETaskInfoError; the
// caller decides what it costs (never the build).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Errors.h"

struct sqlite3;

namespace buildsys {

class ETaskInfoError : public core::EGeneralError {
public:
    using core::EGeneralError::EGeneralError;
    const char* ClassName() const override { return "ETaskInfoError"; }
};

class TTaskInfoDatabase {
public:
    // How long a call waits for a lock another process holds.
    static constexpr int BusyTimeoutMs = 250;

    // Opens (creating when missing, 0600) the database file `path`.
    explicit TTaskInfoDatabase(const std::string& path);
    ~TTaskInfoDatabase();
    TTaskInfoDatabase(const TTaskInfoDatabase&) = delete;
    TTaskInfoDatabase& operator=(const TTaskInfoDatabase&) = delete;

    std::optional<std::int64_t> Duration(std::string_view signature);
    void SetDuration(std::string_view signature, std::int64_t durationMs);
    // Every row in one transaction (one flush to the disk): all of them or none.
    void SetDurations(const std::vector<std::pair<std::string, std::int64_t>>& rows);

private:
    void Check(int code, std::string_view what) const;
    std::string path;
    sqlite3* db = nullptr;
};

// A stable signature of a task: the tool's file name, the arguments and the folder
// relative to `baseDir` (so that two checkouts of the same sources share it).
std::string TaskSignature(std::string_view toolName, const std::vector<std::string>& argv,
                          std::string_view cwd, std::string_view baseDir);

} // namespace buildsys
