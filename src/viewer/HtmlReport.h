#pragma once
// The report page of a build: one self-contained HTML file (its data as embedded
// JSON, its style and script inline, nothing fetched from anywhere).
#include "viewer/BuildAnalysis.h"
#include "viewer/BuildModel.h"

#include <functional>
#include <string>
#include <string_view>

namespace viewer {

void WriteHtmlReport(const TBuildModel& model, const TBuildAnalysis& analysis,
                     const std::function<void(std::string_view)>& write);

// The page around a data document (ReportData as JSON text).
void WriteReportPage(std::string_view title, std::string_view data,
                     const std::function<void(std::string_view)>& write);

// "<caption> - build monitor"
std::string PageTitle(const TBuildModel& model);

// Writes JSON so that it is safe inside a script element: every '<' (only ever inside
// strings) escaped.
void WriteScriptSafeJson(std::string_view json, const std::function<void(std::string_view)>& write);

// Text safe inside HTML elements and attributes.
std::string HtmlEscape(std::string_view text);

} // namespace viewer
