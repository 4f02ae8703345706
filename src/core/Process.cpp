#include "core/Process.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "core/Guid.h"
#include "core/NotifyQueue.h"
#include "platform/Clock.h"
#include "platform/CrashStack.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/SharedObjects.h"

#include <condition_variable>
#include <cstdio>
#include <system_error>

namespace core {

namespace {

constexpr std::size_t ReadChunk = 2 * 1024 * 1024;
constexpr std::uint32_t GracefulTotalMs = 4000;
constexpr std::uint32_t GracefulPollMs = 50;

std::string MarkerLine() {
    return std::string(OutputEndMarker) + "\r\n";
}

} // namespace

struct TProcessOutputPipe::TState {
    bool Raw = false;
    std::function<void(std::string_view)> Echo;
    std::unique_ptr<platform::TPipeEnd> ReadEnd;
    std::atomic<bool> StopFlag{false};

    mutable std::mutex Mutex; // guards everything below
    std::vector<std::string> Lines;
    bool LastOpen = false; // the last line ended with CR alone: the next one overwrites it
    std::string Pending;   // text after the last line break
    std::string Bytes;     // raw mode
    std::size_t RawSearchFrom = 0;
    bool Ended = false;
    bool ReaderDone = false;
    std::condition_variable Done;

    void AddLine(std::string_view text, bool byLineFeed, std::string& echoed) {
        if (LastOpen && !Lines.empty()) {
            // As a terminal shows it: the new text over the old, the old rest remaining.
            std::string& previous = Lines.back();
            if (text.size() < previous.size()) {
                previous = std::string(text) + previous.substr(text.size());
            } else {
                previous = std::string(text);
            }
        } else {
            Lines.emplace_back(text);
        }
        LastOpen = !byLineFeed;
        if (Echo) {
            echoed += text;
            echoed += byLineFeed ? "\n" : "\r";
        }
    }

    // Returns false once the marker ended the capture.
    bool Feed(std::string_view chunk) {
        std::string echoed;
        bool more = true;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (Ended) {
                return false;
            }
            more = Raw ? FeedRaw(chunk) : FeedLines(chunk, echoed);
        }
        if (!echoed.empty()) {
            Echo(echoed);
        }
        return more;
    }

    bool FeedRaw(std::string_view chunk) {
        Bytes += chunk;
        if (!StopFlag.load()) {
            RawSearchFrom = Bytes.size();
            return true;
        }
        const std::string marker = MarkerLine();
        const std::size_t from = RawSearchFrom > marker.size() ? RawSearchFrom - marker.size() : 0;
        const std::size_t at = Bytes.find(marker, from);
        if (at == std::string::npos) {
            return true;
        }
        Bytes.erase(at, marker.size());
        Ended = true;
        return false;
    }

    bool FeedLines(std::string_view chunk, std::string& echoed) {
        Pending += chunk;
        std::size_t pos = 0;
        for (;;) {
            const std::size_t brk = Pending.find_first_of("\r\n", pos);
            const std::string line =
                Pending.substr(pos, brk == std::string::npos ? std::string::npos : brk - pos);
            const std::size_t marker = line.find(OutputEndMarker);
            if (marker != std::string::npos) {
                if (marker > 0) {
                    AddLine(std::string_view(line).substr(0, marker), true, echoed);
                }
                Pending.clear();
                Ended = true;
                return false;
            }
            if (brk == std::string::npos) {
                break;
            }
            // CRs right after a line are skipped; what follows them decides whether
            // the line was ended by LF or is a progress line ended by CR alone.
            std::size_t next = brk;
            bool byLineFeed = false;
            if (Pending[next] == '\n') {
                byLineFeed = true;
                ++next;
            } else {
                while (next < Pending.size() && Pending[next] == '\r') {
                    ++next;
                }
                if (next == Pending.size()) {
                    break; // undecided until more arrives
                }
                if (Pending[next] == '\n') {
                    byLineFeed = true;
                    ++next;
                }
            }
            AddLine(line, byLineFeed, echoed);
            pos = next;
        }
        Pending.erase(0, pos);
        return true;
    }

    void Finish() {
        std::string echoed;
        {
            std::lock_guard<std::mutex> lock(Mutex);
            if (!Raw && !Pending.empty()) {
                std::string rest = Pending;
                while (!rest.empty() && rest.back() == '\r') {
                    rest.pop_back();
                }
                if (!rest.empty()) {
                    AddLine(rest, true, echoed);
                }
                Pending.clear();
            }
        }
        if (!echoed.empty()) {
            Echo(echoed);
        }
    }
};

TProcessOutputPipe::TProcessOutputPipe(bool raw, std::function<void(std::string_view)> echo)
    : state(std::make_shared<TState>()) {
    state->Raw = raw;
    state->Echo = std::move(echo);
    try {
        platform::TPipeEnd::CreatePipe(state->ReadEnd, writeEnd);
    } catch (const std::system_error& e) {
        core::Raise(
            EOSError(std::string("Failed to create output pipe\r\n") + e.what(), e.code().value()));
    }
}

TProcessOutputPipe::~TProcessOutputPipe() {
    Stop();
}

void TProcessOutputPipe::Start() {
    reader = platform::StartThread([shared = state] {
        Log().SetThreadName(platform::CurrentThreadId(), "Process Output Thread");
        std::vector<char> buffer(ReadChunk);
        for (;;) {
            const long n = shared->ReadEnd->Read(buffer.data(), buffer.size());
            if (n <= 0 ||
                !shared->Feed(std::string_view(buffer.data(), static_cast<std::size_t>(n)))) {
                break;
            }
        }
        shared->Finish();
        std::lock_guard<std::mutex> lock(shared->Mutex);
        shared->ReaderDone = true;
        shared->Done.notify_all();
    });
}

void TProcessOutputPipe::Stop(std::uint32_t timeoutMs) {
    if (stopped) {
        return;
    }
    stopped = true;
    if (!reader.joinable()) {
        state->Finish();
        return;
    }
    state->StopFlag.store(true);
    // Wakes a blocked read once everything the child wrote has been read.
    writeEnd->Write(MarkerLine());
    bool done;
    {
        std::unique_lock<std::mutex> lock(state->Mutex);
        done = state->Done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&] { return state->ReaderDone; });
    }
    if (done) {
        reader.join();
        return;
    }
    Log().Warning("Output thread failed to terminate (timed out after " +
                  std::to_string(timeoutMs / 1000) +
                  " seconds). It will be forcefully terminated.");
    // The reader keeps the shared state alive and ends once every writer has closed.
    reader.detach();
}

std::string TProcessOutputPipe::Text() const {
    std::lock_guard<std::mutex> lock(state->Mutex);
    if (state->Raw) {
        return state->Bytes;
    }
    std::string text;
    for (const std::string& line : state->Lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::vector<std::string> TProcessOutputPipe::Lines() const {
    std::lock_guard<std::mutex> lock(state->Mutex);
    return state->Lines;
}

bool TProcessOutputPipe::Feed(std::string_view chunk) {
    return state->Feed(chunk);
}

void TProcessOutputPipe::Finish() {
    state->Finish();
}

// ---- TProcess ----

TProcess::TProcess(std::string commandLine, unsigned options)
    : creatorThread(platform::CurrentThreadId()), commandLine(std::move(commandLine)),
      options(options) {}

TProcess::~TProcess() {
    if (child) {
        child->CancelWait();
    }
    if (waitThread.joinable()) {
        waitThread.join();
    }
    if (state == TState::Running && !detached) {
        child->Kill();
        child->KillGroup();
        child->WaitForExit(10000);
        child->ExitCode();
    } else if (jobOpen && !detached) {
        child->KillGroup();
    }
    output.reset();
    errors.reset();
    if (!batchFile.empty()) {
        std::remove(batchFile.c_str());
    }
    if (queue != nullptr) {
        try {
            queue->Remove(this);
        } catch (...) {
        }
    }
}

void TProcess::CheckThread() const {
    if (platform::CurrentThreadId() != creatorThread) {
        core::Raise(
            EGeneralError("Process operation can be performed from its creating thread only"));
    }
}

void TProcess::Log(std::string_view text) const {
    if (progress) {
        progress(text);
    }
}

void TProcess::Start(bool wait, platform::TPipeEnd* stdIn) {
    CheckThread();
    if (state != TState::NotStarted) {
        AssertionFailed("Process has already been started", __FILE__, __LINE__);
    }
    platform::TSpawnOptions spawn;
    if ((options & poCaptureOutput) != 0) {
        const bool raw = (options & poRawOutput) != 0;
        auto sink = (options & poEchoOutput) != 0 ? echo : std::function<void(std::string_view)>();
        output = std::make_unique<TProcessOutputPipe>(raw, sink);
        spawn.StdOut = &output->WriteEnd();
        if ((options & poSeparateErrors) != 0) {
            errors = std::make_unique<TProcessOutputPipe>(raw, sink);
            spawn.StdErr = &errors->WriteEnd();
        } else {
            spawn.StdErr = spawn.StdOut;
        }
    }
    spawn.StdIn = stdIn;
    if ((options & poBatchFile) != 0) {
        if (environment) {
            AssertionFailed("A batch file cannot have an environment block", __FILE__, __LINE__);
        }
        batchFile = platform::TempFolder() + NewGuid().ToString() +
                    std::string(platform::ScriptFileExtension());
        std::string error;
        auto file = platform::TFileWriter::Create(batchFile, platform::TFileWriter::TMode::Truncate,
                                                  &error);
        if (!file || !file->Write(platform::ScriptFileText(commandLine), &error)) {
            const std::string name = batchFile;
            batchFile.clear();
            std::remove(name.c_str());
            core::Raise(EGeneralError("Failed to create temporary file: " + name + "\r\n" + error));
        }
        spawn.Arguments = platform::ScriptFileArguments(batchFile);
    } else {
        spawn.Arguments = platform::SplitCommandLine(commandLine);
    }
    spawn.WorkingDir = workingDir;
    spawn.EnvironmentBlock = environment;
    if ((options & poPathFromEnvironment) != 0 && environment) {
        for (const std::string_view entry : platform::EnvBlockEntries(*environment)) {
            if (entry.starts_with("PATH=") || entry.starts_with("Path=")) {
                spawn.SearchPath = std::string(entry.substr(5));
                break;
            }
        }
    }
    spawn.NewProcessGroup = newGroup;
    spawn.NewSession = newConsole;
    spawn.Job = (options & poJob) != 0;
    spawn.Priority = priority;
    try {
        child = platform::TChildProcess::Spawn(spawn);
    } catch (const std::system_error& e) {
        core::Raise(EOSError(e.what(), e.code().value()));
    }
    jobOpen = spawn.Job;
    state = TState::Running;
    if (output) {
        output->Start();
    }
    if (errors) {
        errors->Start();
    }
    if (wait) {
        child->WaitForExit(platform::InfiniteTimeout);
        HandleDone();
        return;
    }
    if ((options & poNoNotify) == 0) {
        StartWaitThread();
    }
}

void TProcess::StartWaitThread() {
    if (queue == nullptr) {
        queue = TNotifyQueue::ThreadQueue() != nullptr ? TNotifyQueue::ThreadQueue() : &MainQueue();
    }
    waitThread = platform::StartThread([this] {
        if (child->WaitForExit(platform::InfiniteTimeout)) {
            queue->Post(
                {this, "TProcess"}, "HandleDone", [this] { HandleDone(); }, TNotifyPriority::Normal,
                true);
        }
    });
}

void TProcess::HandleDone() {
    if (state != TState::Running) {
        return;
    }
    Log("TProcess.HandleDone");
    child->ExitCode();
    state = TState::Done;
    if (output) {
        output->Stop();
    }
    if (errors) {
        errors->Stop();
    }
    CloseJob();
    if (onTerminated) {
        onTerminated();
    }
    Log("Done");
}

void TProcess::CloseJob() {
    if (!jobOpen) {
        return;
    }
    jobOpen = false;
    // Closing a kill-on-close job ends whatever the child left running; a job with a
    // "terminated" callback is not kill-on-close.
    if (!onTerminated) {
        child->KillGroup();
    }
}

bool TProcess::Wait(std::uint32_t timeoutMs, bool markDone) {
    CheckThread();
    if (state != TState::Running) {
        return state == TState::Done;
    }
    if (!child->WaitForExit(timeoutMs)) {
        return false;
    }
    if (markDone) {
        HandleDone();
    }
    return true;
}

void TProcess::Terminate(int exitCode, bool closeJob) {
    if (state != TState::Running || !child) {
        return;
    }
    const bool creator = platform::CurrentThreadId() == creatorThread;
    try {
        if (!graceful.empty()) {
            const std::uint64_t start = platform::GetTickCount64();
            while (platform::GetTickCount64() - start < GracefulTotalMs) {
                platform::TSpawnOptions spawn;
                spawn.Arguments =
                    platform::SplitCommandLine(graceful + " " + std::to_string(child->Id()));
                auto helper = platform::TChildProcess::Spawn(spawn);
                helper->WaitForExit(GracefulTotalMs);
                helper->Kill();
                helper->WaitForExit(1000);
                helper->ExitCode();
                if (child->WaitForExit(GracefulPollMs)) {
                    break;
                }
            }
        }
        if (!child->WaitForExit(0)) {
            terminationCode = exitCode;
            terminatedWith = true;
            child->Kill();
        }
        if (closeJob && jobOpen) {
            child->KillGroup();
        }
    } catch (const std::exception& e) {
        Log(std::string("Failed to terminate process: ") + e.what());
    }
    if (creator) {
        child->WaitForExit(10000);
        HandleDone();
    }
}

int TProcess::ExitCode() {
    CheckThread();
    std::optional<int> code = child ? child->ExitCode() : std::nullopt;
    if (!code) {
        core::Raise(EGeneralError("Cannot query exit code while process is still active"));
    }
    if (terminatedWith && *code == 128 + 9) {
        return terminationCode;
    }
    return *code;
}

std::uint32_t TProcess::ProcessId() const {
    return child ? child->Id() : 0;
}

std::string TProcess::OutputText() const {
    return output ? output->Text() : std::string();
}

std::string TProcess::ErrorText() const {
    return errors ? errors->Text() : std::string();
}

} // namespace core
