// morvek-monitor: a build's history file as a report page, a trace or a summary.
#include "core/Errors.h"
#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/HistoryReader.h"
#include "viewer/HtmlReport.h"
#include "viewer/OutputFile.h"
#include "viewer/ReportData.h"
#include "viewer/TextSummary.h"
#include "viewer/TraceExport.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* Usage =
    "Usage: morvek-monitor FILE.mv_mon [-o FILE.html] [--trace FILE.json] [--summary]\n"
    "\n"
    "  -o FILE.html       write the build's report page (the default, beside FILE.mv_mon)\n"
    "  --trace FILE.json  write the build in the trace event format (Perfetto, about:tracing)\n"
    "  --summary          print the build's summary\n";

struct TOptions {
    std::string Input;
    std::optional<std::string> Html;
    std::optional<std::string> Trace;
    bool Summary = false;
};

int UsageError(const std::string& message) {
    std::fprintf(stderr, "morvek-monitor: %s\n\n%s", message.c_str(), Usage);
    return 2;
}

std::string DefaultHtmlName(const std::string& input) {
    const std::size_t slash = input.find_last_of('/');
    const std::size_t dot = input.find_last_of('.');
    const std::string stem = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                                 ? input.substr(0, dot)
                                 : input;
    return stem + ".html";
}

void WriteFile(const std::string& path,
               const std::function<void(const std::function<void(std::string_view)>&)>& produce) {
    viewer::TOutputFile file(path);
    produce([&](std::string_view text) { file.Write(text); });
    file.Close();
}

} // namespace

int main(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&](std::optional<std::string>& target) {
            if (i + 1 >= argc) {
                return false;
            }
            target = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(Usage, stdout);
            return 0;
        } else if (arg == "-o") {
            if (!value(options.Html)) {
                return UsageError("-o needs a file name.");
            }
        } else if (arg == "--trace") {
            if (!value(options.Trace)) {
                return UsageError("--trace needs a file name.");
            }
        } else if (arg == "--summary") {
            options.Summary = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("unknown option " + std::string(arg) + ".");
        } else if (options.Input.empty()) {
            options.Input = arg;
        } else {
            return UsageError("only one history file at a time.");
        }
    }
    if (options.Input.empty()) {
        return UsageError("no history file given.");
    }
    if (!options.Html && !options.Trace && !options.Summary) {
        options.Html = DefaultHtmlName(options.Input);
    }
    try {
        records::RegisterAllPacketClasses();
        const viewer::TBuildModel model = viewer::ReadHistory(options.Input);
        const viewer::TBuildAnalysis analysis =
            viewer::Analyse(model, std::max(viewer::PageSlowestTasks, viewer::SummarySlowestTasks));
        if (model.Read.End == viewer::TReadState::TEnd::Damaged) {
            std::fprintf(stderr,
                         "morvek-monitor: %s: reading stopped at byte %lld of the event stream "
                         "after %lld events: %s\n",
                         options.Input.c_str(), static_cast<long long>(model.Read.StoppedAt),
                         static_cast<long long>(model.Read.Events), model.Read.Reason.c_str());
        }
        if (options.Html) {
            WriteFile(*options.Html,
                      [&](const auto& write) { viewer::WriteHtmlReport(model, analysis, write); });
            std::fprintf(stderr, "morvek-monitor: report written to %s\n", options.Html->c_str());
        }
        if (options.Trace) {
            WriteFile(*options.Trace, [&](const auto& write) { viewer::WriteTrace(model, write); });
            std::fprintf(stderr, "morvek-monitor: trace written to %s\n", options.Trace->c_str());
        }
        if (options.Summary) {
            std::fputs(viewer::SummaryText(model, analysis).c_str(), stdout);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "morvek-monitor: %s\n", e.what());
        return 1;
    }
    return 0;
}
