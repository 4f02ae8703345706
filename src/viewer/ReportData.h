#pragma once
// The data of a build as one JSON document for the report page (and the live page):
// rows in display order, tasks column by column (compact for 100 000 tasks), graphs,
// output and the analysis.
#include "viewer/BuildAnalysis.h"
#include "viewer/BuildModel.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace viewer {

// How many of the slowest tasks the page lists.
constexpr std::size_t PageSlowestTasks = 25;
// How many tasks of the critical path's end the page lists.
constexpr std::size_t PageCriticalTasks = 50;

// The document as JSON text; the members of `extra` are added to it.
std::string ReportData(const TBuildModel& model, const TBuildAnalysis& analysis,
                       const nlohmann::json& extra = nlohmann::json::object());

// What a page holds of a build. A document written against it carries only what is
// new or changed (and brings the state up to date); against an empty state it is the
// whole document. In a partial one: the changed header sections whole, new rows after
// "rowsFrom", changed tasks at the places "at" names (in order when it is missing),
// new hints after "hintsFrom", output lines after "from", graph samples after each
// set's "from".
struct TPageState {
    // A task as the page shows it: what must be sent again when it changes.
    struct TTaskMark {
        std::int32_t Row = 0;
        std::int32_t Begin = 0;
        std::int32_t End = 0;
        std::int32_t Kind = 0;
        std::int64_t Exit = 0;
        std::int32_t Errors = 0;
        std::size_t Text = 0; // lengths of name, command line and hint
        bool operator==(const TTaskMark&) const = default;
    };
    std::vector<std::int32_t> Rows; // model row indexes in display order
    std::map<std::string, std::string> Sections;
    std::vector<TTaskMark> Tasks;
    std::unordered_map<std::string, std::int32_t> Hints;
    std::size_t Output = 0;
    std::vector<std::vector<std::size_t>> Samples; // per graph row, per set
};

// False when the rows' display order no longer starts with the rows the page holds
// (a row came in between): the places of its tasks changed, only a whole document fits.
bool ContinuesRows(const TPageState& state, const TBuildModel& model);

// The document against `state`, which it updates. Expects ContinuesRows(state, model).
std::string ReportDocument(const TBuildModel& model, const TBuildAnalysis& analysis,
                           const nlohmann::json& extra, TPageState& state);

// The build's result in one word: succeeded, failed, cancelled or unfinished.
std::string ResultText(const TBuildModel& model);

// "YYYY-MM-DD HH:MM:SS" of a start time; empty when there is none.
std::string StartText(const TBuildModel& model);

} // namespace viewer
