#pragma once
// The diagnostic log: one text file that every module, thread and process of the
// program appends to, in "Logs" beside the program, named after it
// ("<program>[_<TavrixLogInstance>].log"). Each line is appended in one write under
// the global mutex "Tavrix_LogMutex_" + the file name in lower case, so lines of
// different processes never mix. Past 4 MiB the file is cut to its last 3 MiB.
//
// Verbosity comes from the machine registry key SOFTWARE\Tavrix\Morvek\Log: "Level"
// above 0 writes ordinary lines, "Debug" also debug lines. Warnings are written
// whatever the settings. The log never raises to its caller.
#include "platform/Clock.h"

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {
class TEvent;
class TMutex;
class TSharedLogFile;
} // namespace platform

namespace core {

enum TLogFlags : unsigned {
    lfDebug = 1,  // written only in the debugging mode
    lfAlways = 2, // written whatever the settings
    lfFlush = 4,  // the file is flushed afterwards
};

struct TLogSettings {
    int Level = 0;
    bool Debug = false;
    bool Disabled = false; // no output at all
    std::string InitError; // why the settings could not be read, or empty
};

constexpr std::int64_t LogTrimThreshold = 4194304;
constexpr std::int64_t LogTrimKeep = 3145728;
constexpr int LogHeadingWidth = 79;

// "dd/mm/yyyy hh:nn:ss.zzz"
std::string FormatLogTimestamp(const platform::TLocalTime& time);
// 10 fill characters, the title, 30 - title length fill characters, the timestamp,
// fill characters up to 79 characters.
std::string FormatLogHeading(std::string_view title, char fill, const platform::TLocalTime& time);

// The program build number printed in the log's blocks.
std::string BuildNumber();

class TDiagnosticLog {
public:
    TDiagnosticLog(std::string fileName, TLogSettings settings);
    ~TDiagnosticLog();
    TDiagnosticLog(const TDiagnosticLog&) = delete;
    TDiagnosticLog& operator=(const TDiagnosticLog&) = delete;

    // "<program folder>/Logs/<program name>[_<TavrixLogInstance>].log"
    static std::string DefaultFileName();
    // Settings from the registry; a failure is recorded in InitError.
    static TLogSettings ReadSettings();

    const std::string& FileName() const { return fileName; }
    bool Enabled() const { return enabled; }
    bool DebugMode() const { return settings.Debug && !settings.Disabled; }

    // The text plus CR LF, when the flags and settings allow it.
    void WriteLine(std::string_view text, unsigned flags = 0);
    // Timestamp, a space and the text.
    void Line(std::string_view text, unsigned flags = 0);
    // "[pid|tid] text", timestamped, as a debug line.
    void DebugTrace(std::string_view text);
    void Heading(std::string_view title, char fill, unsigned flags = 0);
    // Heading "Warning" filled with "=", then the text; always written.
    void Warning(std::string_view text);
    // Heading "Warning" filled with "-", the PID/TID/Build line, the text and the call
    // trace; always written.
    void Diagnostic(std::string_view text);
    // The "Raised Exception" block (written only when logging is on).
    void RaisedException(std::string_view className, std::string_view message,
                         std::string_view trace);
    void Started();
    void Stopped();

    // Names shown beside thread ids; at most 128 are kept, oldest dropped first.
    void SetThreadName(std::uint32_t threadId, std::string name);
    std::string ThreadText(std::uint32_t threadId) const;
    // "PID=<pid> TID=<thread text> Build=<build>"
    std::string ProcessLine() const;

private:
    bool Allowed(unsigned flags) const;
    void Append(std::string text, unsigned flags);

    std::string fileName;
    TLogSettings settings;
    bool enabled;
    std::mutex localMutex; // one writer of this process at a time
    std::unique_ptr<platform::TSharedLogFile> file;
    bool openFailed = false;
    bool initErrorPending;
    mutable std::mutex namesMutex;
    std::deque<std::pair<std::uint32_t, std::string>> threadNames;
};

// Logs fatal faults of the process (invalid memory access and other hardware faults)
// as "Exception" blocks while logging is on; the fault then ends the process.
void InstallCrashLogging();

// Logs an error raised through Raise as a "Raised Exception" block while logging is
// on (aborts are silent); every program that has a log logs its raises so.
void LogRaisedError(const std::exception& error);

// The process's log, created on first use from DefaultFileName() and ReadSettings().
TDiagnosticLog& Log();
// The process's log when it exists, without creating it.
TDiagnosticLog* LogIfCreated();
// Replaces the process's log (tests, and programs that configure it themselves).
void SetLog(std::unique_ptr<TDiagnosticLog> log);

// Waits on an event. With `reportDeadlock` and no timeout, waits in slices of
// `sliceMs`, writing "Wait State Warning (possible deadlock)" after each slice that
// ended without the event and "Wait State Ended (deadlock condition avoided)" when it
// finally comes. True when signalled.
bool WaitReporting(platform::TEvent& event, std::uint32_t timeoutMs, bool reportDeadlock,
                   std::uint32_t sliceMs = 20000);
// As above for a mutex; true when acquired (also when abandoned).
bool WaitReporting(platform::TMutex& mutex, std::uint32_t timeoutMs, bool reportDeadlock,
                   std::uint32_t sliceMs = 20000);

} // namespace core
