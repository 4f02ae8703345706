#include "buildsys/TaskInfoDatabase.h"

#include "core/Errors.h"

#include <cstdio>
#include <sqlite3.h>

namespace buildsys {

namespace {

// A prepared statement that finalizes itself.
struct TStatement {
    sqlite3_stmt* Handle = nullptr;
    ~TStatement() { sqlite3_finalize(Handle); }
};

std::string Relative(std::string_view cwd, std::string_view baseDir) {
    if (!baseDir.empty() && cwd.starts_with(baseDir) &&
        (cwd.size() == baseDir.size() || cwd[baseDir.size()] == '/')) {
        cwd.remove_prefix(baseDir.size());
        return "." + std::string(cwd);
    }
    return std::string(cwd);
}

} // namespace

TTaskInfoDatabase::TTaskInfoDatabase(const std::string& path) : path(path) {
    const int code = sqlite3_open_v2(path.c_str(), &db,
                                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                         SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX,
                                     nullptr);
    if (code != SQLITE_OK) {
        const std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
        sqlite3_close(db);
        db = nullptr;
        core::Raise(
            ETaskInfoError("Cannot open the task-information database " + path + ": " + text));
    }
    sqlite3_busy_timeout(db, BusyTimeoutMs);
    try {
        Check(sqlite3_exec(db,
                           "CREATE TABLE IF NOT EXISTS TaskDuration("
                           "Signature TEXT PRIMARY KEY, DurationMs INTEGER NOT NULL)",
                           nullptr, nullptr, nullptr),
              "prepare");
    } catch (...) {
        sqlite3_close(db);
        db = nullptr;
        throw;
    }
}

TTaskInfoDatabase::~TTaskInfoDatabase() {
    sqlite3_close(db);
}

void TTaskInfoDatabase::Check(int code, std::string_view what) const {
    if (code != SQLITE_OK && code != SQLITE_DONE && code != SQLITE_ROW) {
        core::Raise(ETaskInfoError("The task-information database " + path + " failed to " +
                                   std::string(what) + ": " + sqlite3_errmsg(db)));
    }
}

std::optional<std::int64_t> TTaskInfoDatabase::Duration(std::string_view signature) {
    TStatement statement;
    Check(sqlite3_prepare_v2(db, "SELECT DurationMs FROM TaskDuration WHERE Signature = ?", -1,
                             &statement.Handle, nullptr),
          "read");
    Check(sqlite3_bind_text(statement.Handle, 1, signature.data(),
                            static_cast<int>(signature.size()), SQLITE_TRANSIENT),
          "read");
    const int step = sqlite3_step(statement.Handle);
    Check(step, "read");
    if (step != SQLITE_ROW) {
        return std::nullopt;
    }
    return sqlite3_column_int64(statement.Handle, 0);
}

void TTaskInfoDatabase::SetDuration(std::string_view signature, std::int64_t durationMs) {
    TStatement statement;
    Check(sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO TaskDuration VALUES (?, ?)", -1,
                             &statement.Handle, nullptr),
          "write");
    Check(sqlite3_bind_text(statement.Handle, 1, signature.data(),
                            static_cast<int>(signature.size()), SQLITE_TRANSIENT),
          "write");
    Check(sqlite3_bind_int64(statement.Handle, 2, durationMs), "write");
    Check(sqlite3_step(statement.Handle), "write");
}

void TTaskInfoDatabase::SetDurations(
    const std::vector<std::pair<std::string, std::int64_t>>& rows) {
    Check(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), "write");
    try {
        for (const auto& [signature, durationMs] : rows) {
            SetDuration(signature, durationMs);
        }
        Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), "write");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

std::string TaskSignature(std::string_view toolName, const std::vector<std::string>& argv,
                          std::string_view cwd, std::string_view baseDir) {
    // FNV-1a over the parts, each ended by a zero byte: stable across runs and machines.
    std::uint64_t hash = 14695981039346656037ull;
    const auto add = [&](std::string_view part) {
        for (const char c : part) {
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        hash = (hash ^ 0u) * 1099511628211ull;
    };
    add(toolName);
    for (std::size_t i = 1; i < argv.size(); ++i) {
        add(argv[i]);
    }
    add(Relative(cwd, baseDir));
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

} // namespace buildsys
