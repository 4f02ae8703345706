#pragma once
// The build's task endpoint: a local socket in the user's private runtime folder that
// the task launchers of the build connect to, one connection per task. Each connection
// is served by one thread (a thread that is done waits for the next connection, as
// starting one costs more than a short task's round trip): it reads the launcher's begin, asks the
// scheduler for a row (noticing a launcher that dies while it waits), answers with the grant or the
// denial, and hands the launcher's end to the scheduler; a connection that closes before its end is
// a lost launcher and frees its row at once. A client that sends anything else, too much, or
// nothing in time is dropped and counted; the build goes on. What the tool wrote, sent by the
// launcher between grant and end, is cut into lines per stream and handed on as the task's output.
#include "buildsys/OutputScanner.h"
#include "buildsys/Scheduler.h"
#include "buildsys/TaskEngine.h"
#include "core/TaskProtocol.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform {
class TLocalListener;
class TLocalSocket;
} // namespace platform

namespace buildsys {

class TTaskEndpoint {
public:
    // How long a new connection may take to send its begin.
    static constexpr std::uint32_t BeginTimeoutMs = 30000;
    // Connections served at once; more wait in the socket's backlog.
    static constexpr std::size_t MaxConnections = 1024;

    // Receives the whole lines of a task's output (called from connection threads).
    using TOutputSink = std::function<void(std::int32_t taskID, const TOutputText& text)>;

    // Listens at `path` (raises when it cannot) and serves connections until Stop.
    // `engines` shape every granted task's command, in order; they outlive the endpoint.
    TTaskEndpoint(TScheduler& scheduler, const std::string& path,
                  std::vector<TTaskEngine*> engines = {}, TOutputSink output = {});
    // Stops and waits for every connection thread.
    ~TTaskEndpoint();
    TTaskEndpoint(const TTaskEndpoint&) = delete;
    TTaskEndpoint& operator=(const TTaskEndpoint&) = delete;

    // A socket path for build `buildID` (a short name in the private runtime folder).
    static std::string PathFor(const std::string& buildID);

    const std::string& Path() const { return path; }
    // No more connections; the open ones are cut (their tasks count as lost).
    void Stop();
    // Clients dropped for breaking the protocol.
    std::uint64_t Rejected() const { return rejected; }

private:
    void AcceptLoop();
    // Serves accepted connections one after another until Stop.
    void Work();
    void Serve(platform::TLocalSocket& socket);
    // The grant of a queued task; none when the launcher is gone while it waits (the
    // task is abandoned) or the task was denied (the launcher is told why).
    std::optional<TTaskGrant> AwaitGrant(platform::TLocalSocket& socket,
                                         TScheduler::TTicket ticket);
    // The next message, waiting at most `timeoutMs` (0xFFFFFFFF: until the peer or
    // Stop ends it); none when the connection ended, timed out or broke the protocol.
    // With `timedOut` a timeout sets it instead of counting as a broken protocol.
    std::optional<core::TTaskMessage> Read(platform::TLocalSocket& socket,
                                           core::TTaskFrameReader& reader, std::uint32_t timeoutMs,
                                           bool* timedOut = nullptr);
    // The next message that is not output, handing the output before it on; none as Read.
    std::optional<core::TTaskMessage> ReadPastOutput(platform::TLocalSocket& socket,
                                                     core::TTaskFrameReader& reader,
                                                     std::int32_t taskID, TOutputScanner& lines);
    // The unfinished last lines of a task's streams.
    void FinishOutput(std::int32_t taskID, TOutputScanner& lines);
    // A remote attempt's messages up to its end, as ReadPastOutput, while the scheduler
    // may grant the task a second attempt here (TDoubleRun). The attempt's output is
    // held until it is known to count. True when the second attempt won: the task is
    // settled and the connection done.
    bool ReadRemoteAttempt(platform::TLocalSocket& socket, core::TTaskFrameReader& reader,
                           TScheduler::TTicket ticket, const TRunningTask& task,
                           const TWorkerRow& row, bool mayDouble,
                           std::optional<core::TTaskMessage>& last);

    TScheduler& scheduler;
    std::string path;
    const std::vector<TTaskEngine*> engines;
    const TOutputSink output;
    std::unique_ptr<platform::TLocalListener> listener;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> rejected{0};
    std::mutex mutex;
    std::condition_variable accepted;
    // Accepted connections that no thread serves yet, and the ones being served.
    std::deque<std::unique_ptr<platform::TLocalSocket>> waiting;
    std::set<platform::TLocalSocket*> served;
    // Threads waiting for a connection.
    std::size_t idle = 0;
    std::list<std::thread> workers;
    std::thread acceptor;
};

} // namespace buildsys
