#pragma once
// What one build looked like, as replayed from its monitor events: the build's own
// facts, its machines and worker rows, every task attempt, the graph rows and their
// samples, the output with the task it belongs to, and how far reading got.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace viewer {

enum class TTaskOutcome : std::uint8_t {
    Running,   // no end was read
    Succeeded, // ended with exit code 0
    Failed,    // ended with another exit code or errors, or its launcher was lost
    Restored,  // its result came from the build cache
};

struct TTask {
    std::int32_t TaskID = 0;
    std::string Name;
    std::string Hint;
    std::string CmdLine;
    std::string App;
    std::string Source;
    std::int32_t Row = -1; // index into TBuildModel::Rows; -1 for a task without a row
    std::int32_t BeginMs = 0;
    std::int32_t EndMs = -1; // -1 while running
    TTaskOutcome Outcome = TTaskOutcome::Running;
    bool Remote = false;
    bool Retried = false; // another attempt of the same task followed, or it was doubled
    bool Lost = false;    // the step failed without an end (its launcher was lost)
    std::int32_t Attempt = 1;
    std::optional<std::int32_t> ExitCode;
    std::int32_t Errors = 0;
    std::int32_t Warnings = 0;
    std::int32_t OriginalDurationMs = 0; // of a restored task
    // Tasks (indexes into TBuildModel::Tasks) that had to end before this one began,
    // as its begin step names them; empty when it names none.
    std::vector<std::int32_t> DependsOn;

    std::int32_t DurationMs(std::int32_t buildEndMs) const {
        return (EndMs >= 0 ? EndMs : buildEndMs) - BeginMs;
    }
};

struct TWorkerRow {
    std::string ID;
    std::string Caption;
    std::string Host;
    bool Local = false;
    std::int32_t Machine = -1; // index into TBuildModel::Machines
    std::int32_t EmployedMs = 0;
    std::int32_t UnemployedMs = -1;
    std::int32_t Current = -1; // the task running on it (index into Tasks)
};

struct TMachine {
    std::string Host;
    bool Local = false;
    std::vector<std::int32_t> Rows; // in the order they were employed
};

struct TGraphDef {
    std::string Name;
    std::string Description;
    std::string Units;
    std::int32_t DivideBy = 1;
};

struct TGraphSample {
    std::int32_t Ms = 0;
    std::vector<std::int64_t> Values;
};

struct TGraphSet {
    std::int32_t SetID = 0;
    std::string Name;
    std::vector<TGraphDef> Graphs;
    std::vector<TGraphSample> Samples;
};

struct TGraphRow {
    std::string ID;
    std::string Name;
    std::vector<TGraphSet> Sets;
};

struct TOutputLine {
    std::int32_t Ms = 0;
    std::int32_t TaskID = 0; // 0: the build's own output
    bool Error = false;      // standard error, or a message of the build
    std::string Text;
};

// How far the events could be read.
struct TReadState {
    enum class TEnd : std::uint8_t {
        Complete,   // the stream ended after the build's completion event
        Unfinished, // the stream ended without a completion (still being written, or cut)
        Damaged,    // an event or block could not be read
    };
    TEnd End = TEnd::Unfinished;
    std::int64_t Events = 0;
    std::int64_t StoppedAt = 0; // offset in the uncompressed event stream
    std::string Reason;         // why reading stopped early
    bool FileMarkedIncomplete = false;
};

struct TBuildModel {
    std::string FileName;
    std::string Caption;
    std::string PrimaryFile;
    std::string ComputerName;
    std::string UserName;
    std::string BuildID;
    double StartTime = 0; // days since 1899-12-30, local time
    bool Started = false;
    bool Completed = false;
    bool Success = false;
    bool Cancelled = false;
    std::string Summary;
    std::int32_t ExitCode = 0;
    std::int32_t ErrorCount = 0;
    std::int32_t WarningCount = 0;
    std::int32_t SystemErrorCount = 0;
    std::int32_t SystemWarningCount = 0;
    std::int32_t EndMs = 0; // the completion's time, or the last time read

    struct TCounts {
        bool Reported = false;
        std::int32_t Built = 0;
        std::int32_t Skipped = 0;
        std::int32_t Errors = 0;
        std::int32_t Warnings = 0;
    } Counts;

    std::vector<TMachine> Machines;
    std::vector<TWorkerRow> Rows;
    std::deque<TTask> Tasks; // grows without moving what it holds

    std::vector<TGraphRow> Graphs;
    std::deque<TOutputLine> Output;
    std::vector<std::string> CacheSummary; // lines of the build-cache summary event

    TReadState Read;

    // Rows grouped by machine, local machines first, each machine's rows in their order.
    std::vector<std::int32_t> DisplayRows() const;
};

} // namespace viewer
