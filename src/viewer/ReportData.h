#pragma once
// The data of a build as one JSON document for the report page (and the live page):
// rows in display order, tasks column by column (compact for 100 000 tasks), graphs,
// output and the analysis.
#include "viewer/BuildAnalysis.h"
#include "viewer/BuildModel.h"

#include <nlohmann/json.hpp>

namespace viewer {

// How many of the slowest tasks the page lists.
constexpr std::size_t PageSlowestTasks = 25;

// The document as JSON text; the members of `extra` are added to it.
std::string ReportData(const TBuildModel& model, const TBuildAnalysis& analysis,
                       const nlohmann::json& extra = nlohmann::json::object());

// The build's result in one word: succeeded, failed, cancelled or unfinished.
std::string ResultText(const TBuildModel& model);

// "YYYY-MM-DD HH:MM:SS" of a start time; empty when there is none.
std::string StartText(const TBuildModel& model);

} // namespace viewer
