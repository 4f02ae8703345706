#pragma once
// Child processes of the program: started from a command line, optionally with their
// standard output and error captured line by line (or as raw bytes) by reader
// threads, optionally in a job (their process group) that dies with the program, and
// with their end reported on the creating thread through its notify queue.
#include "platform/Process.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace core {

class TNotifyQueue;

// The line a pipe's owner writes after the child's output so that a blocked reader
// wakes up; a child that writes it itself ends the capture there.
constexpr std::string_view OutputEndMarker = "___TavrixTerminateOutput___";

// Captured output of one pipe. The reader thread appends; any thread may read.
class TProcessOutputPipe {
public:
    // `echo` receives what a terminal would show of the captured lines (null: none).
    TProcessOutputPipe(bool raw, std::function<void(std::string_view)> echo);
    ~TProcessOutputPipe();
    TProcessOutputPipe(const TProcessOutputPipe&) = delete;
    TProcessOutputPipe& operator=(const TProcessOutputPipe&) = delete;

    platform::TPipeEnd& WriteEnd() { return *writeEnd; }
    // Starts the reader thread "Process Output Thread".
    void Start();
    // Writes the end marker, waits up to `timeoutMs` for the reader and gives it up
    // (with a warning in the log) when it does not finish.
    void Stop(std::uint32_t timeoutMs = 60000);

    // The lines, each followed by CR LF, or the raw bytes.
    std::string Text() const;
    std::vector<std::string> Lines() const;

    // Takes bytes as the reader does (without a thread); false once the marker ended
    // the capture.
    bool Feed(std::string_view chunk);
    // Keeps an unfinished last line.
    void Finish();

private:
    struct TState;
    std::shared_ptr<TState> state; // shared with a reader that had to be given up
    std::unique_ptr<platform::TPipeEnd> writeEnd;
    std::thread reader;
    bool stopped = false;
};

enum TProcessOptions : unsigned {
    poCaptureOutput = 1,
    poSeparateErrors = 2, // standard error in a pipe of its own
    poRawOutput = 4,      // keep the bytes instead of lines
    poEchoOutput = 8,     // pass captured lines to the echo sink
    poBatchFile = 16,     // run the command line through a temporary shell script
    poJob = 32,           // the child's process group dies with the program
    poIgnoreJobFailure = 64,
    poNoNotify = 128,            // no end notification; the caller waits itself
    poPathFromEnvironment = 256, // find the program on the PATH of the environment block
};

class TProcess {
public:
    enum class TState { NotStarted, Running, Done };

    TProcess(std::string commandLine, unsigned options = 0);
    // Terminates a running child (and its job) and removes pending notifications.
    ~TProcess();
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    void SetWorkingDir(std::string dir) { workingDir = std::move(dir); }
    // "name=value" entries each followed by NUL, ended by one more NUL.
    void SetEnvironment(std::string block) { environment = std::move(block); }
    void SetPriority(platform::TPriorityClass value) { priority = value; }
    void SetNewProcessGroup(bool value) { newGroup = value; }
    void SetNewConsole(bool value) { newConsole = value; }
    // Run as "<command> <pid>" repeatedly before a hard termination.
    void SetGracefulTerminationCommand(std::string command) { graceful = std::move(command); }
    // Called on the creating thread once the child has ended and the pipes are drained.
    void SetOnTerminated(std::function<void()> callback) { onTerminated = std::move(callback); }
    void SetLogger(std::function<void(std::string_view)> logger) { progress = std::move(logger); }
    void SetEchoSink(std::function<void(std::string_view)> sink) { echo = std::move(sink); }
    // The queue that receives the end notification (default: the creating thread's).
    void SetQueue(TNotifyQueue* value) { queue = value; }

    // Starts the child; with `wait`, returns when it has ended.
    void Start(bool wait = false, platform::TPipeEnd* stdIn = nullptr);
    // True when the child ended within the timeout; with `markDone` the end is handled
    // at once (pipes drained, job closed, callback run).
    bool Wait(std::uint32_t timeoutMs = 0xFFFFFFFFu, bool markDone = true);
    // Ends a running child with that exit code. From another thread only the child is
    // ended; on the creating thread the end is handled too.
    void Terminate(int exitCode, bool closeJob = true);

    // Lets a running child go on after this object is destroyed (it is neither ended
    // nor waited for any more).
    void Detach() { detached = true; }

    // Raises while the child is still active.
    int ExitCode();
    TState State() const { return state.load(); }
    std::uint32_t ProcessId() const;
    std::string OutputText() const;
    std::string ErrorText() const;
    TProcessOutputPipe* Output() const { return output.get(); }
    TProcessOutputPipe* Errors() const { return errors.get(); }
    // The temporary script of poBatchFile, while it exists.
    const std::string& BatchFileName() const { return batchFile; }

private:
    void CheckThread() const;
    void StartWaitThread();
    void HandleDone();
    void CloseJob();
    void Log(std::string_view text) const;

    std::uint32_t creatorThread;
    std::string commandLine;
    unsigned options;
    std::string workingDir;
    std::optional<std::string> environment;
    platform::TPriorityClass priority = platform::TPriorityClass::Normal;
    bool newGroup = false;
    bool newConsole = false;
    std::string graceful;
    std::function<void()> onTerminated;
    std::function<void(std::string_view)> progress;
    std::function<void(std::string_view)> echo;
    TNotifyQueue* queue = nullptr;

    std::atomic<TState> state{TState::NotStarted};
    std::unique_ptr<platform::TChildProcess> child;
    std::unique_ptr<TProcessOutputPipe> output;
    std::unique_ptr<TProcessOutputPipe> errors;
    std::thread waitThread;
    std::atomic<bool> terminatedWith{false};
    std::atomic<int> terminationCode{0};
    std::atomic<bool> jobOpen{false};
    bool detached = false;
    std::string batchFile;
};

} // namespace core
