#include "buildsys/TaskEndpoint.h"

#include "buildsys/DoubleRun.h"

#include "platform/CrashStack.h"
#include "platform/LocalSocket.h"

#include <cctype>
#include <chrono>
#include <type_traits>
#include <utility>

namespace buildsys {

namespace {

constexpr std::uint32_t Forever = 0xFFFFFFFFu;
constexpr std::uint32_t AcceptPollMs = 100;
// How often a waiting task looks whether its launcher is still there.
constexpr std::uint32_t AwaitPollMs = 100;
constexpr std::size_t ReadChunk = 64 * 1024;
// "t-" + 32 hex digits of the build ID + ".sock"
constexpr std::size_t SocketNameRoom = 2 + 32 + 5;

TTaskRequest RequestOf(core::TTaskBegin begin) {
    TTaskRequest request;
    request.Pid = begin.pid;
    request.Tool = std::move(begin.tool);
    request.Argv = std::move(begin.argv);
    request.Cwd = std::move(begin.cwd);
    request.Kind = core::TaskKindName(begin.kind);
    request.Source = std::move(begin.source);
    request.Output = std::move(begin.output);
    request.Caption = std::move(begin.caption);
    if (request.Caption.empty()) {
        request.Caption = request.Argv.empty() ? request.Tool : request.Argv[0];
    }
    return request;
}

TTaskOutcome OutcomeOf(const core::TTaskEnd& end) {
    TTaskOutcome outcome;
    outcome.ExitCode = end.exitCode;
    outcome.Signal = end.signal;
    outcome.Errors = end.errors;
    outcome.Warnings = end.warnings;
    outcome.DurationMs = end.durationMs;
    outcome.EngineFailure = end.engineFailure;
    return outcome;
}

} // namespace

std::string TTaskEndpoint::PathFor(const std::string& buildID) {
    std::string hex;
    for (const char c : buildID) {
        if (std::isxdigit(static_cast<unsigned char>(c)) && hex.size() < 32) {
            hex.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return platform::PrivateRuntimeFolder(SocketNameRoom) + "/t-" + hex + ".sock";
}

TTaskEndpoint::TTaskEndpoint(TScheduler& scheduler, const std::string& path,
                             std::vector<TTaskEngine*> engines, TOutputSink output)
    : scheduler(scheduler), path(path), engines(std::move(engines)), output(std::move(output)),
      listener(platform::TLocalListener::Listen(path)) {
    acceptor = platform::StartThread([this] { AcceptLoop(); });
}

TTaskEndpoint::~TTaskEndpoint() {
    Stop();
}

void TTaskEndpoint::Stop() {
    if (stopping.exchange(true)) {
        return;
    }
    acceptor.join();
    // Waiting tasks are denied before the running ones are cut, so that no row freed
    // by a cut connection is granted again.
    scheduler.Stop("The build has ended.");
    {
        const std::lock_guard lock(mutex);
        for (platform::TLocalSocket* socket : served) {
            socket->Shutdown();
        }
        // Accepted but not yet served: they close unanswered, as a later one would.
        waiting.clear();
    }
    accepted.notify_all();
    for (std::thread& worker : workers) {
        worker.join();
    }
    workers.clear();
    listener.reset();
}

void TTaskEndpoint::AcceptLoop() {
    while (!stopping) {
        {
            const std::lock_guard lock(mutex);
            if (served.size() + waiting.size() >= MaxConnections) {
                // Back-pressure: the next ones wait in the backlog.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
        }
        std::unique_ptr<platform::TLocalSocket> socket = listener->Accept(AcceptPollMs);
        if (!socket) {
            continue;
        }
        const std::lock_guard lock(mutex);
        waiting.push_back(std::move(socket));
        if (idle >= waiting.size()) {
            accepted.notify_one();
        } else {
            workers.push_back(platform::StartThread([this] { Work(); }));
        }
    }
}

void TTaskEndpoint::Work() {
    for (;;) {
        std::unique_ptr<platform::TLocalSocket> socket;
        {
            std::unique_lock lock(mutex);
            ++idle;
            accepted.wait(lock, [this] { return stopping || !waiting.empty(); });
            --idle;
            if (stopping) {
                return;
            }
            socket = std::move(waiting.front());
            waiting.pop_front();
            served.insert(socket.get());
        }
        Serve(*socket);
        const std::lock_guard lock(mutex);
        served.erase(socket.get());
    }
}

std::optional<core::TTaskMessage> TTaskEndpoint::Read(platform::TLocalSocket& socket,
                                                      core::TTaskFrameReader& reader,
                                                      std::uint32_t timeoutMs, bool* timedOut) {
    std::string buffer(ReadChunk, '\0');
    for (;;) {
        try {
            if (std::optional<core::TTaskMessage> message = reader.Next()) {
                return message;
            }
        } catch (const core::ETaskProtocolError&) {
            ++rejected;
            return std::nullopt;
        }
        if (stopping || !socket.WaitReadable(timeoutMs)) {
            if (timedOut && !stopping) {
                *timedOut = true;
            } else if (timeoutMs != Forever) {
                ++rejected; // said nothing in time
            }
            return std::nullopt;
        }
        const std::int64_t got = socket.Receive(buffer.data(), buffer.size());
        if (got <= 0) {
            if (reader.Pending() > 0) {
                ++rejected; // a frame cut short
            }
            return std::nullopt;
        }
        reader.Append(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
}

std::optional<core::TTaskMessage> TTaskEndpoint::ReadPastOutput(platform::TLocalSocket& socket,
                                                                core::TTaskFrameReader& reader,
                                                                std::int32_t taskID,
                                                                TOutputScanner& lines) {
    for (;;) {
        std::optional<core::TTaskMessage> message = Read(socket, reader, Forever);
        const auto* bytes = message ? std::get_if<core::TTaskOutput>(&*message) : nullptr;
        if (!bytes) {
            return message;
        }
        const TOutputStream stream = bytes->stream == 2 ? TOutputStream::Err : TOutputStream::Out;
        if (std::optional<TOutputText> text = lines.Add(stream, bytes->bytes); text && output) {
            output(taskID, *text);
        }
    }
}

void TTaskEndpoint::FinishOutput(std::int32_t taskID, TOutputScanner& lines) {
    for (const TOutputStream stream : {TOutputStream::Out, TOutputStream::Err}) {
        if (std::optional<TOutputText> text = lines.Finish(stream); text && output) {
            output(taskID, *text);
        }
    }
}

namespace {

TTaskOutcome OutcomeOfStatus(int status) {
    TTaskOutcome outcome;
    outcome.ExitCode = status;
    return outcome;
}

} // namespace

bool TTaskEndpoint::ReadRemoteAttempt(platform::TLocalSocket& socket,
                                      core::TTaskFrameReader& reader, TScheduler::TTicket ticket,
                                      const TRunningTask& task, const TWorkerRow& row,
                                      bool mayDouble, std::optional<core::TTaskMessage>& last) {
    TOutputScanner lines;
    std::vector<TOutputText> held;
    std::optional<core::TTaskLocalRun> local;
    std::unique_ptr<TDoubleRun> second;
    std::int32_t secondID = 0;
    std::chrono::steady_clock::time_point secondStarted;
    const auto emit = [&](const TOutputText& text) {
        if (!output) {
            return;
        }
        if (local) {
            held.push_back(text);
        } else {
            output(task.TaskID, text);
        }
    };
    // No second attempt any more: the first attempt's output flows again.
    const auto single = [&] {
        local.reset();
        if (output) {
            for (const TOutputText& text : held) {
                output(task.TaskID, text);
            }
        }
        held.clear();
    };
    std::optional<int> won;
    for (;;) {
        bool timedOut = false;
        last = Read(socket, reader, local ? AwaitPollMs : Forever, &timedOut);
        if (timedOut) {
            const std::optional<TRunningTask> granted = scheduler.DoubleOf(ticket);
            if (secondID != 0 && (!granted || granted->TaskID != secondID)) {
                // Its row went to another task (the scheduler ended its step), or it
                // failed: a later grant starts anew.
                second.reset(); // kills its process group and removes its files
                secondID = 0;
            }
            if (!second) {
                if (granted) {
                    secondID = granted->TaskID;
                    secondStarted = std::chrono::steady_clock::now();
                    const auto reserve = [&](const std::string& real) {
                        return TDoubleRun::ReserveBeside(task.Request.Cwd, real);
                    };
                    std::optional<TDoubleCommand> command = DoubleCommandOf(local->argv, reserve);
                    if (command) {
                        second = TDoubleRun::Start(task.Request.Tool, std::move(*command),
                                                   task.Request.Cwd, local->env);
                    }
                    if (!second) {
                        scheduler.DoubleLost(ticket, OutcomeOfStatus(127));
                        single();
                    }
                }
            } else if (const std::optional<int> status = second->Ended(0)) {
                TTaskOutcome outcome = OutcomeOfStatus(*status);
                outcome.Judge(task.Request.ExitCodes);
                if (!scheduler.SettleDouble(ticket, secondID)) {
                    second.reset(); // taken back just before it ended
                    secondID = 0;
                    continue;
                }
                if (!outcome.Failed()) {
                    won = *status;
                    break;
                }
                // A second attempt that fails decides nothing: the first one goes on.
                scheduler.DoubleLost(ticket, outcome);
                second.reset();
            }
            continue;
        }
        const auto* bytes = last ? std::get_if<core::TTaskOutput>(&*last) : nullptr;
        if (bytes) {
            const TOutputStream stream =
                bytes->stream == 2 ? TOutputStream::Err : TOutputStream::Out;
            if (std::optional<TOutputText> text = lines.Add(stream, bytes->bytes)) {
                emit(*text);
            }
            continue;
        }
        if (const auto* run = last ? std::get_if<core::TTaskLocalRun>(&*last) : nullptr) {
            // Only a command whose files a second attempt can write under other names.
            const auto probe = [&](const std::string& real) {
                return TDoubleRun::MayReplace(task.Request.Cwd, real) ? real + ".probe"
                                                                      : std::string();
            };
            if (mayDouble && !local && !second && DoubleCommandOf(run->argv, probe)) {
                local = *run;
                scheduler.AllowDouble(ticket);
            }
            continue;
        }
        break;
    }
    if (!won) {
        // The first attempt ended (or its launcher is gone) first: the second one loses.
        if (second) {
            scheduler.DoubleLost(ticket, OutcomeOfStatus(second->Kill()));
        }
        for (const TOutputStream stream : {TOutputStream::Out, TOutputStream::Err}) {
            if (std::optional<TOutputText> text = lines.Finish(stream)) {
                emit(*text);
            }
        }
        if (output) {
            for (const TOutputText& text : held) {
                output(task.TaskID, text);
            }
        }
        return false;
    }
    // The second attempt won: the launcher stops its tool and reports how it ended,
    // and only then do the second attempt's files take the real names.
    const core::TTaskSettled settled{*won, 0};
    TTaskOutcome stopped = OutcomeOfStatus(*won);
    try {
        if (socket.SendAll(core::EncodeTaskFrame(settled))) {
            while (std::optional<core::TTaskMessage> message = Read(socket, reader, Forever)) {
                if (const auto* end = std::get_if<core::TTaskEnd>(&*message)) {
                    stopped = OutcomeOf(*end);
                    break;
                }
            }
        }
    } catch (const core::ETaskProtocolError&) {
    }
    stopped.EngineFailure = false;
    TTaskOutcome outcome = OutcomeOfStatus(*won);
    outcome.DurationMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - secondStarted)
                             .count();
    TOutputScanner secondLines;
    std::vector<TOutputText> texts;
    for (const auto& [stream, chunk] : second->Output()) {
        if (std::optional<TOutputText> text =
                secondLines.Add(stream == 2 ? TOutputStream::Err : TOutputStream::Out, chunk)) {
            texts.push_back(*text);
        }
    }
    for (const TOutputStream stream : {TOutputStream::Out, TOutputStream::Err}) {
        if (std::optional<TOutputText> text = secondLines.Finish(stream)) {
            texts.push_back(*text);
        }
    }
    std::string error;
    if (!second->Commit(error)) {
        outcome.ExitCode = 1;
        TOutputText text;
        text.Stream = TOutputStream::Err;
        text.Text = task.Request.Caption + ": " + error;
        text.Errors = 1;
        texts.push_back(text);
    }
    for (const TOutputText& text : texts) {
        outcome.Errors += text.Errors;
        outcome.Warnings += text.Warnings;
        if (output) {
            output(secondID, text);
        }
    }
    for (TTaskEngine* engine : engines) {
        engine->Ended(task, row, stopped, std::string());
    }
    scheduler.DoubleWon(ticket, stopped, outcome);
    try {
        socket.SendAll(core::EncodeTaskFrame(core::TTaskSettled{outcome.ExitCode, 0}));
    } catch (const core::ETaskProtocolError&) {
    }
    return true;
}

std::optional<TTaskGrant> TTaskEndpoint::AwaitGrant(platform::TLocalSocket& socket,
                                                    TScheduler::TTicket ticket) {
    std::optional<TTaskGrant> answer;
    while (!(answer = scheduler.Await(ticket, AwaitPollMs))) {
        if (stopping || socket.PeerClosed()) {
            scheduler.Abandon(ticket); // died while waiting: it leaves the queue
            return std::nullopt;
        }
    }
    if (!answer->Granted) {
        try {
            socket.SendAll(core::EncodeTaskFrame(core::TTaskDeny{answer->DenyReason}));
        } catch (const core::ETaskProtocolError&) {
        }
        return std::nullopt;
    }
    return answer;
}

void TTaskEndpoint::Serve(platform::TLocalSocket& socket) {
    core::TTaskFrameReader reader;
    std::optional<core::TTaskMessage> first = Read(socket, reader, BeginTimeoutMs);
    if (!first) {
        return;
    }
    auto* begin = std::get_if<core::TTaskBegin>(&*first);
    if (!begin) {
        ++rejected; // a task starts with its begin
        return;
    }
    TRunningTask task;
    task.Request = RequestOf(std::move(*begin));
    scheduler.Classify(task.Request);
    const TScheduler::TTicket ticket = scheduler.Submit(task.Request);
    std::optional<TTaskGrant> answer = AwaitGrant(socket, ticket);
    if (!answer) {
        return;
    }
    // A task that fails on a helper runs again on the row its next grant names.
    bool remote = false;
    for (;;) {
        task.TaskID = answer->TaskID;
        task.Row = answer->Row;
        const TWorkerRow& row = scheduler.Rows().at(static_cast<std::size_t>(answer->Row));
        TTaskCommand command;
        for (TTaskEngine* engine : engines) {
            engine->Wrap(task, row, command);
        }
        core::TTaskGrant grant;
        grant.task = answer->TaskID;
        grant.row = answer->Row;
        grant.worker = answer->WorkerID;
        grant.remote = !row.Local;
        grant.prefix = std::move(command.Prefix);
        grant.env = std::move(command.Env);
        grant.keyVariables = std::move(command.KeyVariables);
        grant.keyFile = std::move(command.KeyFile);
        const bool mayDouble = !command.Single;
        remote = remote || grant.remote;
        if (!socket.SendAll(core::EncodeTaskFrame(grant))) {
            scheduler.Abandon(ticket);
            return;
        }
        std::optional<core::TTaskMessage> last;
        if (grant.remote) {
            if (ReadRemoteAttempt(socket, reader, ticket, task, row, mayDouble, last)) {
                break;
            }
        } else {
            TOutputScanner lines;
            last = ReadPastOutput(socket, reader, answer->TaskID, lines);
            FinishOutput(answer->TaskID, lines);
        }
        const auto* end = last ? std::get_if<core::TTaskEnd>(&*last) : nullptr;
        if (!end) {
            if (last) {
                ++rejected;
            }
            scheduler.Abandon(ticket);
            return;
        }
        TTaskOutcome outcome = OutcomeOf(*end);
        outcome.Judge(task.Request.ExitCodes);
        for (TTaskEngine* engine : engines) {
            engine->Ended(task, row, outcome, end->cache);
        }
        if (!scheduler.Finish(ticket, outcome)) {
            break;
        }
        answer = AwaitGrant(socket, ticket);
        if (!answer) {
            return;
        }
    }
    if (remote) {
        // A launcher of a remote grant waits for a next grant until the connection ends.
        socket.Shutdown();
    }
}

} // namespace buildsys
