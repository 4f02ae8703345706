#include "buildsys/TaskDurations.h"

#include "platform/CrashStack.h"

namespace buildsys {

TTaskDurations::TTaskDurations(std::string path, TProblem problem,
                               std::chrono::milliseconds interval)
    : path(std::move(path)), problem(std::move(problem)), interval(interval) {}

TTaskDurations::~TTaskDurations() {
    Flush();
}

TTaskInfoDatabase* TTaskDurations::Database() {
    if (!database && !databaseFailed) {
        try {
            database = std::make_unique<TTaskInfoDatabase>(path);
        } catch (const ETaskInfoError&) {
            databaseFailed = true;
            throw;
        }
    }
    return database.get();
}

std::optional<std::int64_t> TTaskDurations::Duration(const std::string& signature) {
    {
        const std::lock_guard lock(mutex);
        if (const auto it = noted.find(signature); it != noted.end()) {
            return it->second;
        }
    }
    try {
        const std::lock_guard lock(databaseMutex);
        TTaskInfoDatabase* db = Database();
        return db ? db->Duration(signature) : std::nullopt;
    } catch (const ETaskInfoError& e) {
        problem(e.what());
        return std::nullopt;
    }
}

void TTaskDurations::Note(const std::string& signature, std::int64_t durationMs) {
    const std::lock_guard lock(mutex);
    noted[signature] = durationMs;
    unwritten.emplace_back(signature, durationMs);
    if (!writer.joinable() && !stopping) {
        writer = platform::StartThread([this] { Run(); });
    }
}

void TTaskDurations::Run() {
    std::unique_lock lock(mutex);
    while (!stopping) {
        wake.wait_for(lock, interval, [this] { return stopping; });
        if (stopping) {
            break; // Flush writes the rest
        }
        lock.unlock();
        WriteNoted();
        lock.lock();
    }
}

void TTaskDurations::WriteNoted() {
    // One writer at a time, so that rows reach the database in the order noted.
    const std::lock_guard databaseLock(databaseMutex);
    std::vector<std::pair<std::string, std::int64_t>> rows;
    {
        const std::lock_guard lock(mutex);
        rows.swap(unwritten);
    }
    if (rows.empty()) {
        return;
    }
    try {
        if (TTaskInfoDatabase* db = Database()) {
            db->SetDurations(rows);
        }
    } catch (const ETaskInfoError& e) {
        problem(e.what());
    }
}

void TTaskDurations::Flush() {
    std::thread ended;
    {
        const std::lock_guard lock(mutex);
        stopping = true;
        ended = std::move(writer);
    }
    wake.notify_all();
    if (ended.joinable()) {
        ended.join();
    }
    WriteNoted();
    const std::lock_guard lock(mutex);
    stopping = false; // a later row starts the writer again
}

} // namespace buildsys
