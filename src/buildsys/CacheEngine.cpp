#include "buildsys/CacheEngine.h"

#include "buildsys/DependencyList.h"
#include "core/CacheOutcome.h"
#include "packets/TextUtil.h"
#include "platform/CommandLine.h"
#include "platform/Paths.h"
#include "records/BuildCacheProfile.h"
#include "records/MonitorEvents.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace buildsys {

namespace {

constexpr std::int32_t MessageKindWarning = 0;
// How often the noted task durations are written, in one transaction each time.
constexpr std::chrono::milliseconds DurationWriteInterval{1000};

std::string Join(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

std::string DurationText(std::int64_t ms) {
    const std::int64_t seconds = (ms + 500) / 1000;
    if (seconds >= 3600) {
        return std::to_string(seconds / 3600) + "h " + std::to_string(seconds / 60 % 60) + "m " +
               std::to_string(seconds % 60) + "s";
    }
    if (seconds >= 60) {
        return std::to_string(seconds / 60) + "m " + std::to_string(seconds % 60) + "s";
    }
    return std::to_string(seconds) + "s";
}

} // namespace

TCacheEngine::TCacheEngine(TBuildCacheSetup setup, TAdd add, std::function<std::int32_t()> ms)
    : setup(std::move(setup)), add(std::move(add)), ms(std::move(ms)),
      durations(
          this->setup.TaskInfoFile, [this](const std::string& text) { Problem(text); },
          DurationWriteInterval) {}

namespace {

// The names a build calls the tool by: as called, and its real file.
std::vector<std::string> ToolNames(const TTaskRequest& request) {
    std::vector<std::string> names = {platform::ExtractFileName(request.Tool)};
    if (!request.Argv.empty()) {
        names.insert(names.begin(), platform::ExtractFileName(request.Argv[0]));
    }
    return names;
}

} // namespace

bool TCacheEngine::Cacheable(const TTaskRequest& request) const {
    if (!setup.Enabled || !setup.Profile || request.Kind != "compile") {
        return false;
    }
    for (const std::string& name : ToolNames(request)) {
        if (records::AllowsBuildCache(*setup.Profile, name)) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> TCacheEngine::KeyVariables(const TTaskRequest& request) const {
    std::vector<std::string> names;
    for (const std::string& tool : ToolNames(request)) {
        for (std::string& name : records::BuildCacheKeyVariables(*setup.Profile, tool)) {
            if (std::find(names.begin(), names.end(), name) == names.end()) {
                names.push_back(std::move(name));
            }
        }
    }
    return names;
}

std::string TCacheEngine::LogFile(std::int32_t taskID, const char* extension) const {
    return platform::IncludeTrailingDelimiter(setup.LogFolder) + "task-" + std::to_string(taskID) +
           extension;
}

void TCacheEngine::Wrap(const TRunningTask& task, const TWorkerRow& row, TTaskCommand& command) {
    (void)row;
    if (!Cacheable(task.Request)) {
        return;
    }
    const std::string log = LogFile(task.TaskID);
    std::error_code ignored;
    std::filesystem::remove(log, ignored); // ccache appends
    std::map<std::string, std::string>& env = command.Env;
    env["CCACHE_DIR"] = setup.LocalStore;
    env["CCACHE_BASEDIR"] = setup.BaseDir;
    env["CCACHE_NOHASHDIR"] = "1";
    env["CCACHE_UMASK"] = "077";
    env["CCACHE_LOGFILE"] = log;
    // Only what this build says: a user's own ccache settings do not choose the levels.
    std::string levels;
    for (std::size_t at = 0; at < setup.SharedUrl.size();) {
        const std::size_t end = std::min(setup.SharedUrl.find(' ', at), setup.SharedUrl.size());
        if (end > at) {
            levels += (levels.empty() ? "" : " ") + setup.SharedUrl.substr(at, end - at) +
                      (setup.ReadOnly ? "|read-only" : "");
        }
        at = end + 1;
    }
    env["CCACHE_REMOTE_STORAGE"] = levels;
    // ccache's switches are set by name: CCACHE_X turns one on, CCACHE_NOX off.
    env["CCACHE_NOREMOTE_ONLY"] = "1";
    env[setup.ReadOnly ? "CCACHE_READONLY" : "CCACHE_NOREADONLY"] = "1";
    env["CCACHE_NODISABLE"] = "1";
    // No preprocessor run on a miss where the compile's dependency list is complete.
    env[ListsEveryHeader(task.Request.Argv) ? "CCACHE_DEPEND" : "CCACHE_NODEPEND"] = "1";
    command.KeyVariables = KeyVariables(task.Request);
    if (!command.KeyVariables.empty()) {
        // The launcher writes the variables' values there; ccache hashes its content.
        command.KeyFile = LogFile(task.TaskID, ".key");
        std::filesystem::remove(command.KeyFile, ignored);
        env["CCACHE_EXTRAFILES"] = command.KeyFile;
    }
    if (!command.Prefix.empty()) {
        // The inner engine runs the compile of a miss: a hit never leaves the machine.
        env["CCACHE_PREFIX"] = Join(command.Prefix);
    }
    command.Prefix = {setup.Ccache};
    command.Single = true;
    {
        const std::lock_guard lock(mutex);
        ++counts.Cacheable;
    }
    BarUpdate(bcuCheck);
}

void TCacheEngine::Ended(const TRunningTask& task, const TWorkerRow& row,
                         const TTaskOutcome& outcome, const std::string& cache) {
    (void)row;
    if (!Cacheable(task.Request)) {
        return;
    }
    const core::TCacheOutcome result = core::CacheOutcomeFromText(cache);
    std::error_code ignored;
    std::filesystem::remove(LogFile(task.TaskID), ignored); // a launcher that did not
    std::filesystem::remove(LogFile(task.TaskID, ".key"), ignored);
    const TTaskRequest& request = task.Request;
    const std::string signature = TaskSignature(platform::ExtractFileName(request.Tool),
                                                request.Argv, request.Cwd, setup.BaseDir);
    for (const std::string& error : result.Errors) {
        Problem(request.Caption + ": " + error);
    }
    switch (result.Result) {
    case core::TCacheResult::HitLocal:
    case core::TCacheResult::HitShared: {
        const std::optional<std::int64_t> original = durations.Duration(signature);
        records::TMonitorEventBuildCacheRestorePacket restore;
        restore.ms = ms();
        restore.TaskID = task.TaskID;
        restore.App = request.Tool;
        restore.CmdLine = platform::BuildCommandLine(request.Argv);
        restore.OriginalDuration = static_cast<std::int32_t>(original.value_or(0));
        add(restore);
        {
            const std::lock_guard lock(mutex);
            ++counts.Restored;
            counts.RestoredShared += result.Result == core::TCacheResult::HitShared ? 1 : 0;
            counts.SavedMs += std::max<std::int64_t>(0, original.value_or(0) - outcome.DurationMs);
            counts.FetchMs += outcome.DurationMs;
        }
        BarUpdate(bcuRetrieval);
        return;
    }
    case core::TCacheResult::Miss: {
        records::TMonitorEventBCDetailsPacket details;
        details.ms = ms();
        details.TaskID = task.TaskID;
        details.Text = "Cache miss: " + result.Reason +
                       (result.Stored ? "; the result was stored"
                                      : (setup.ReadOnly ? "; read-only, nothing stored" : ""));
        add(details);
        if (outcome.ExitCode == 0 && outcome.Signal == 0) {
            durations.Note(signature, outcome.DurationMs);
        }
        {
            const std::lock_guard lock(mutex);
            ++counts.Missed;
            if (result.Stored) {
                ++counts.Stored;
                counts.SubmitMs += outcome.DurationMs;
            }
        }
        BarUpdate(result.Stored ? bcuUpdate : bcuCheck);
        return;
    }
    case core::TCacheResult::NotCacheable:
    case core::TCacheResult::None: {
        records::TMonitorEventBCDetailsPacket details;
        details.ms = ms();
        details.TaskID = task.TaskID;
        details.Text =
            "Not cacheable: " +
            (result.Reason.empty() ? std::string("the cache reported no result") : result.Reason);
        add(details);
        const std::lock_guard lock(mutex);
        ++counts.NotCacheable;
        return;
    }
    }
}

void TCacheEngine::Problem(const std::string& text) {
    {
        const std::lock_guard lock(mutex);
        ++counts.Errors;
        if (told) {
            return;
        }
        told = true;
    }
    add(*records::NewMessageEvent(ms(), MessageKindWarning, packets::LocalDateTimeNow(),
                                  "Build cache problem",
                                  text + " (the task ran without the cache; further cache "
                                         "problems of this build are counted in its summary)",
                                  {}, {}, 0));
}

void TCacheEngine::BarUpdate(TBuildCacheUpdate kind) {
    TBuildCacheCounts now;
    {
        const std::lock_guard lock(mutex);
        now = counts;
    }
    add(*records::NewBCBarUpdateEvent(ms(), static_cast<records::TBCUpdateKind>(kind),
                                      now.Cacheable, now.Restored, now.Stored, now.FetchMs,
                                      now.SubmitMs, kind == bcuEnd ? ms() : 0));
}

TBuildCacheCounts TCacheEngine::Counts() const {
    const std::lock_guard lock(mutex);
    return counts;
}

std::string TCacheEngine::SummaryLine(const TBuildCacheCounts& counts) {
    const std::int32_t total = counts.Cacheable;
    char percent[16];
    std::snprintf(percent, sizeof percent, "%.1f",
                  total > 0 ? 100.0 * counts.Restored / total : 0.0);
    return "Build cache: " + std::to_string(counts.Restored) + " of " + std::to_string(total) +
           " tasks restored (" + percent + "%), " + DurationText(counts.SavedMs) +
           " of task time saved";
}

void TCacheEngine::Finish() {
    {
        const std::lock_guard lock(mutex);
        if (finished) {
            return;
        }
        finished = true;
    }
    // Written before the summary, so that its count includes a failure to write them.
    durations.Flush();
    TBuildCacheCounts now;
    {
        const std::lock_guard lock(mutex);
        now = counts;
    }
    if (!setup.LogFolder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(setup.LogFolder, ignored);
    }
    if (now.Cacheable == 0) {
        return;
    }
    BarUpdate(bcuEnd);
    records::TMonitorEventBuildCacheSummaryPacket summary;
    summary.ms = ms();
    summary.Lines.Add(SummaryLine(now));
    if (now.RestoredShared > 0) {
        summary.Lines.Add("Build cache: " + std::to_string(now.RestoredShared) +
                          " restored from the shared cache");
    }
    if (now.Errors > 0) {
        summary.Lines.Add("Build cache: " + std::to_string(now.Errors) +
                          " problem(s), those tasks ran without the cache");
    }
    add(summary);
    for (int i = 0; i < summary.Lines.Count(); ++i) {
        records::TMonitorEventOutputPacket line;
        line.ms = ms();
        line.Text = summary.Lines[i];
        add(line);
    }
}

} // namespace buildsys
