#pragma once
// A task endpoint for tests: accepts launchers on a local socket in a private
// folder, answers each begin as told and keeps every message it read.
#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/TaskProtocol.h"

namespace launchertest {

struct TConnection {
    std::vector<core::TTaskMessage> Messages; // in the order read, output left out
    std::string Out, Err;                     // the bytes of the output messages
    bool ClosedBeforeEnd = true;
};

class TFakeScheduler {
public:
    // What to answer a begin with: a message, or nothing to close the connection,
    // or raw bytes (garbage) to send; `Close` closes it after the message.
    struct TAnswer {
        std::optional<core::TTaskMessage> Message;
        std::string RawBytes;
        bool Close = false;
    };
    explicit TFakeScheduler(std::function<TAnswer(const core::TTaskBegin&)> answer);
    ~TFakeScheduler();
    const std::string& Path() const { return path; }
    // Waits (bounded) until `count` connections have ended; then their records.
    std::vector<TConnection> Connections(std::size_t count);
    // Stops accepting; the socket file stays (a stale endpoint).
    void StopListening();

private:
    void Serve();
    std::function<TAnswer(const core::TTaskBegin&)> answer;
    std::string folder, path;
    int listener = -1;
    int wake[2] = {-1, -1};
    std::thread thread;
    std::mutex mutex;
    std::vector<TConnection> done;
};

// A private temporary folder, removed with its content at the end.
class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    const std::string& Path() const { return path; }
    // Writes a file (mode 0755 when `executable`).
    std::string Write(const std::string& name, const std::string& content,
                      bool executable = false) const;

private:
    std::string path;
};

} // namespace launchertest
