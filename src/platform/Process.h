#pragma once
// Child processes and the anonymous pipes that capture their output.
//
// A child is started from an argument list. Windows creation flags map to process
// groups and sessions: "new process group" puts the child in a group of its own,
// "new console" in a session of its own, and a "job" is the child's process group,
// killed as a whole when the job is closed; a job child also dies when its parent
// does. Priority classes map to nice values (below normal 5, idle 19, above normal
// -5, high -10, real-time -15; ignored when not permitted).
#include "platform/FileIdentity.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// One end of an anonymous pipe.
class TPipeEnd {
public:
    ~TPipeEnd();
    TPipeEnd(const TPipeEnd&) = delete;
    TPipeEnd& operator=(const TPipeEnd&) = delete;

    // Creates a pipe; raises std::system_error on failure.
    static void CreatePipe(std::unique_ptr<TPipeEnd>& readEnd, std::unique_ptr<TPipeEnd>& writeEnd);

    // Blocks until data arrives: the count read, 0 at the end, -1 on failure.
    long Read(void* buffer, std::size_t size);
    // Writes all bytes; false on failure.
    bool Write(std::string_view bytes);
    // The pipe both ends share: a process tells by it whether a stream is this pipe.
    TFileIdentity Identity() const;

private:
    friend class TChildProcess;
    explicit TPipeEnd(int handle) : handle(handle) {}
    int handle;
};

enum class TPriorityClass { Normal, Idle, BelowNormal, AboveNormal, High, RealTime };

struct TSpawnOptions {
    std::vector<std::string> Arguments; // the first is the program
    std::string WorkingDir;             // empty: the parent's
    // "name=value" entries each followed by NUL, ended by one more NUL; none: the
    // parent's environment.
    std::optional<std::string> EnvironmentBlock;
    // The search path for a program named without a folder; none: the parent's PATH.
    std::optional<std::string> SearchPath;
    bool NewProcessGroup = false;
    bool NewSession = false;
    bool Job = false; // own process group, and dies with the parent
    TPriorityClass Priority = TPriorityClass::Normal;
    TPipeEnd* StdIn = nullptr;  // null: the null device
    TPipeEnd* StdOut = nullptr; // null: the parent's
    TPipeEnd* StdErr = nullptr; // null: the parent's
};

// Splits a command line by the C-runtime rules (quotes group, backslashes escape
// quotes only).
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// The program file for a name, searched in `searchPath` (":"-separated) when it
// has no folder; empty when not found.
std::string FindProgram(std::string_view name, std::string_view searchPath);

// A started child. Not copyable; ends nothing when destroyed (kill it first).
class TChildProcess {
public:
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Raises std::system_error with the system's reason when the child cannot start
    // (also when its program cannot be executed).
    static std::unique_ptr<TChildProcess> Spawn(const TSpawnOptions& options);

    std::uint32_t Id() const { return pid; }
    // True once the child has ended (within the timeout, ms or 0xFFFFFFFF).
    // Safe to call from any thread; CancelWait() makes a waiting call return false.
    bool WaitForExit(std::uint32_t timeoutMs);
    void CancelWait();
    // The exit status once ended (128 + signal for a child ended by a signal); none
    // while running. Collects the child, so call it from one thread.
    std::optional<int> ExitCode();
    // Ends the child at once; false when it was already gone.
    bool Kill();
    // Kills every process of the child's group (the job); false when none was left.
    bool KillGroup();
    // Asks every process of the child's group to end (SIGTERM), so that they can clean
    // up; false when none was left.
    bool TerminateGroup();

private:
    TChildProcess(int pid, int pidfd, int cancelFd, bool ownGroup)
        : pid(pid), pidfd(pidfd), cancelFd(cancelFd), ownGroup(ownGroup) {}
    int pid;
    int pidfd;
    int cancelFd;
    bool ownGroup;
    std::optional<int> status;
};

// How this system runs commands through its shell: one command line, and a script
// file (its name ending and its text for a command line).
std::vector<std::string> ShellCommandArguments(const std::string& commandLine);
std::vector<std::string> ScriptFileArguments(const std::string& fileName);
std::string_view ScriptFileExtension();
std::string ScriptFileText(std::string_view commandLine);

// The folder for temporary files ($TMPDIR, else /tmp), with a trailing "/".
std::string TempFolder();

} // namespace platform
