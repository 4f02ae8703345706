#include "core/DiagnosticLog.h"

#include "core/Errors.h"
#include "core/TextHelpers.h"
#include "platform/DebugInfo.h"
#include "platform/Environment.h"
#include "platform/LogFile.h"
#include "platform/Paths.h"
#include "platform/Raise.h"
#include "platform/Registry.h"
#include "platform/SharedObjects.h"

#include <atomic>
#include <cstdio>
#include <system_error>

#ifndef RAVEL_BUILD_NUMBER
#define RAVEL_BUILD_NUMBER "0"
#endif

namespace core {

namespace {

constexpr std::size_t MaxThreadNames = 128;

constexpr auto Lower = LowerCaseAscii;

// Errors raised while this thread writes the log are not logged again.
thread_local bool writingLog = false;

class TWritingGuard {
public:
    TWritingGuard() : active(!writingLog) { writingLog = true; }
    ~TWritingGuard() {
        if (active) {
            writingLog = false;
        }
    }
    bool Active() const { return active; }

private:
    bool active;
};

std::mutex logMutex;
// Never destroyed: code may log during exit.
std::atomic<TDiagnosticLog*> processLog{nullptr};

} // namespace

std::string FormatLogTimestamp(const platform::TLocalTime& t) {
    char text[40];
    std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d.%03d", t.Day, t.Month, t.Year,
                  t.Hour, t.Minute, t.Second, t.Millisecond);
    return text;
}

std::string FormatLogHeading(std::string_view title, char fill, const platform::TLocalTime& time) {
    std::string line(10, fill);
    line += title;
    if (title.size() < 30) {
        line.append(30 - title.size(), fill);
    }
    line += FormatLogTimestamp(time);
    if (line.size() < LogHeadingWidth) {
        line.append(LogHeadingWidth - line.size(), fill);
    }
    return line;
}

std::string BuildNumber() {
    const std::string number = RAVEL_BUILD_NUMBER;
    return number.empty() ? "0" : number;
}

TDiagnosticLog::TDiagnosticLog(std::string fileName, TLogSettings settings)
    : fileName(std::move(fileName)), settings(std::move(settings)),
      enabled(!this->settings.Disabled && (this->settings.Level > 0 || this->settings.Debug)),
      initErrorPending(!this->settings.InitError.empty()) {
    threadNames.emplace_back(platform::CurrentProcessId(), "Main Thread");
}

TDiagnosticLog::~TDiagnosticLog() = default;

std::string TDiagnosticLog::DefaultFileName() {
    const std::string program = platform::ProgramFileName();
    std::string name = platform::FileNameWithoutExt(platform::ExtractFileName(program));
    if (const auto instance = platform::GetEnvVar("TavrixLogInstance")) {
        name += "_" + *instance;
    }
    return platform::IncludeTrailingDelimiter(platform::ExtractFileDir(program)) + "Logs" +
           platform::PathDelim + name + ".log";
}

TLogSettings TDiagnosticLog::ReadSettings() {
    TLogSettings settings;
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      "SOFTWARE\\Tavrix\\Morvek\\Log");
        if (key) {
            settings.Level = static_cast<int>(key->ReadInteger("Level").value_or(0));
            settings.Debug = key->ReadBool("Debug").value_or(false);
        }
    } catch (const std::exception& e) {
        settings.InitError = e.what();
    }
    settings.Disabled = platform::IsModuleLoaded("__Tavrix_VE__");
    return settings;
}

bool TDiagnosticLog::Allowed(unsigned flags) const {
    if (settings.Disabled) {
        return false;
    }
    if ((flags & lfAlways) != 0) {
        return true;
    }
    if ((flags & lfDebug) != 0) {
        return DebugMode();
    }
    return enabled;
}

void TDiagnosticLog::Append(std::string text, unsigned flags) {
    TWritingGuard guard;
    if (!guard.Active() || !Allowed(flags)) {
        return;
    }
    try {
        std::lock_guard<std::mutex> lock(localMutex);
        if (!file && !openFailed) {
            platform::ForceDirectories(platform::ExtractFileDir(fileName));
            file = platform::TSharedLogFile::Open(fileName);
            openFailed = !file;
        }
        if (!file) {
            return;
        }
        std::string data;
        if (initErrorPending) {
            initErrorPending = false;
            data = "An error occurred while initializing log.\r\n"
                   "Failed to access registry information.\r\n" +
                   settings.InitError + "\r\n";
        }
        data += text;
        data += "\r\n";
        // Without the shared namespace the line is still written, only unguarded
        // against other processes. The mutex is the user's own (no other user can
        // hold it), and still waited for a bounded time.
        std::unique_ptr<platform::TMutex> mutex;
        try {
            mutex = platform::TMutex::Create(
                "Tavrix_LogMutex_" + Lower(platform::ExtractFileName(fileName)), false);
            if (mutex->Wait(2000) == platform::TMutexWaitResult::TimedOut) {
                mutex.reset();
            }
        } catch (const std::exception&) {
            mutex.reset();
        }
        if (file->Size() > LogTrimThreshold) {
            file->KeepTail(LogTrimKeep);
        }
        file->Append(data);
        if ((flags & lfFlush) != 0) {
            file->Flush();
        }
        if (mutex) {
            mutex->Release();
        }
    } catch (...) {
        // The log never raises.
    }
}

void TDiagnosticLog::WriteLine(std::string_view text, unsigned flags) {
    if (Allowed(flags)) {
        Append(std::string(text), flags);
    }
}

void TDiagnosticLog::Line(std::string_view text, unsigned flags) {
    if (Allowed(flags)) {
        Append(FormatLogTimestamp(platform::LocalTimeNow()) + " " + std::string(text), flags);
    }
}

void TDiagnosticLog::DebugTrace(std::string_view text) {
    if (!DebugMode()) {
        return;
    }
    char prefix[48];
    std::snprintf(prefix, sizeof prefix, "[%u|%u] ", platform::CurrentProcessId(),
                  platform::CurrentThreadId());
    Line(prefix + std::string(text), lfDebug);
}

void TDiagnosticLog::Heading(std::string_view title, char fill, unsigned flags) {
    if (Allowed(flags)) {
        Append(FormatLogHeading(title, fill, platform::LocalTimeNow()), flags);
    }
}

void TDiagnosticLog::Warning(std::string_view text) {
    try {
        Append(FormatLogHeading("Warning", '=', platform::LocalTimeNow()) + "\r\n" +
                   std::string(text),
               lfAlways);
    } catch (...) {
    }
}

void TDiagnosticLog::Diagnostic(std::string_view text) {
    try {
        std::string trace = platform::CallTrace(1);
        while (!trace.empty() && (trace.back() == '\n' || trace.back() == '\r')) {
            trace.pop_back();
        }
        Append(FormatLogHeading("Warning", '-', platform::LocalTimeNow()) + "\r\n" + ProcessLine() +
                   "\r\n" + std::string(text) + "\r\n" + trace,
               lfAlways);
    } catch (...) {
    }
}

void TDiagnosticLog::RaisedException(std::string_view className, std::string_view message,
                                     std::string_view trace) {
    if (!enabled) {
        return;
    }
    try {
        std::string block = FormatLogHeading("Raised Exception", '-', platform::LocalTimeNow());
        block += "\r\n" + std::string(className) + " " + ProcessLine() + "\r\n\r\n";
        block += message;
        block += "\r\n\r\n";
        block += trace;
        while (!block.empty() && (block.back() == '\n' || block.back() == '\r')) {
            block.pop_back();
        }
        Append(std::move(block), 0);
    } catch (const std::exception& e) {
        WriteLine(std::string("Error logging raised exception: ") + e.what());
    }
}

void TDiagnosticLog::Started() {
    if (!enabled) {
        return;
    }
    Heading("Started", '=');
    Line("Build=" + BuildNumber() + "   PID=" + std::to_string(platform::CurrentProcessId()) +
         "   TID=" + std::to_string(platform::CurrentThreadId()) +
         "   Computer=" + platform::ComputerName());
    if (DebugMode()) {
        Line("Special Debugging Mode Enabled", lfDebug);
    }
}

void TDiagnosticLog::Stopped() {
    if (enabled) {
        Heading("Stopped (PID=" + std::to_string(platform::CurrentProcessId()) + ")", '=');
    }
}

void TDiagnosticLog::SetThreadName(std::uint32_t threadId, std::string name) {
    std::lock_guard<std::mutex> lock(namesMutex);
    for (auto it = threadNames.begin(); it != threadNames.end(); ++it) {
        if (it->first == threadId) {
            threadNames.erase(it);
            break;
        }
    }
    threadNames.emplace_back(threadId, std::move(name));
    while (threadNames.size() > MaxThreadNames) {
        threadNames.pop_front();
    }
}

std::string TDiagnosticLog::ThreadText(std::uint32_t threadId) const {
    std::string text = std::to_string(threadId);
    std::lock_guard<std::mutex> lock(namesMutex);
    for (const auto& [id, name] : threadNames) {
        if (id == threadId && !name.empty()) {
            text += " [" + name + "]";
            break;
        }
    }
    return text;
}

std::string TDiagnosticLog::ProcessLine() const {
    return "PID=" + std::to_string(platform::CurrentProcessId()) +
           " TID=" + ThreadText(platform::CurrentThreadId()) + " Build=" + BuildNumber();
}

TDiagnosticLog& Log() {
    if (TDiagnosticLog* log = processLog.load()) {
        return *log;
    }
    std::lock_guard<std::mutex> lock(logMutex);
    if (processLog.load() == nullptr) {
        auto* log =
            new TDiagnosticLog(TDiagnosticLog::DefaultFileName(), TDiagnosticLog::ReadSettings());
        processLog.store(log);
        log->Started();
    }
    return *processLog.load();
}

namespace {
[[maybe_unused]] const bool raisesLogged = (platform::SetRaiseObserver(LogRaisedError), true);
} // namespace

TDiagnosticLog* LogIfCreated() {
    return processLog.load();
}

void SetLog(std::unique_ptr<TDiagnosticLog> log) {
    std::lock_guard<std::mutex> lock(logMutex);
    delete processLog.exchange(log.release());
}

namespace {

void LogCrash(const platform::TCrashInfo& crash) {
    TDiagnosticLog& log = Log();
    if (!log.Enabled()) {
        return;
    }
    try {
        char line[256];
        const bool accessViolation = crash.Code == 0xC0000005u;
        std::string message;
        if (accessViolation) {
            const char* access[] = {"Read", "Write", "Execute", "Operation 0x0"};
            std::snprintf(line, sizeof line,
                          "Access violation at address %p in module '%s' (Base = 0x%p). %s of "
                          "address %p",
                          crash.Address, crash.Module.c_str(), crash.ModuleBase,
                          access[crash.Access], crash.DataAddress);
            message = line;
        } else {
            std::snprintf(line, sizeof line, "External exception %08X", crash.Code);
            message = line;
        }
        std::string block = FormatLogHeading("Exception", '-', platform::LocalTimeNow()) + "\r\n";
        std::snprintf(line, sizeof line,
                      "%s   Code=0x%08X   Flags=0x%08X   Addr=0x%p   PID=%u   TID=",
                      accessViolation ? "EAccessViolation" : "EExternalException", crash.Code, 0u,
                      crash.Address, platform::CurrentProcessId());
        block += line + log.ThreadText(platform::CurrentThreadId()) + "   Build=" + BuildNumber();
        block += "\r\n" + message + "\r\n" + crash.Trace;
        while (!block.empty() && (block.back() == '\n' || block.back() == '\r')) {
            block.pop_back();
        }
        log.WriteLine(block, lfFlush);
    } catch (const std::exception& e) {
        log.WriteLine(std::string("Error logging exception: ") + e.what());
    }
}

template <class TWait>
bool WaitSlices(TWait wait, std::uint32_t timeoutMs, bool reportDeadlock, std::uint32_t sliceMs) {
    try {
        if (!reportDeadlock || timeoutMs != platform::InfiniteTimeout) {
            return wait(timeoutMs);
        }
        bool warned = false;
        for (;;) {
            if (wait(sliceMs)) {
                if (warned) {
                    Log().Warning("Wait State Ended (deadlock condition avoided)");
                }
                return true;
            }
            warned = true;
            Log().Warning("Wait State Warning (possible deadlock)");
        }
    } catch (const std::system_error& e) {
        core::Raise(
            EOSError(std::string("Wait operation failed\r\n") + e.what(), e.code().value()));
    }
}

} // namespace

void InstallCrashLogging() {
    Log(); // settings are read now, not inside the fault
    platform::InstallCrashHandler(LogCrash);
}

bool WaitReporting(platform::TEvent& event, std::uint32_t timeoutMs, bool reportDeadlock,
                   std::uint32_t sliceMs) {
    return WaitSlices([&](std::uint32_t ms) { return event.Wait(ms); }, timeoutMs, reportDeadlock,
                      sliceMs);
}

bool WaitReporting(platform::TMutex& mutex, std::uint32_t timeoutMs, bool reportDeadlock,
                   std::uint32_t sliceMs) {
    return WaitSlices(
        [&](std::uint32_t ms) { return mutex.Wait(ms) != platform::TMutexWaitResult::TimedOut; },
        timeoutMs, reportDeadlock, sliceMs);
}

} // namespace core
