// morvek-monitor: a build's history file as a report page, a trace or a summary.
#include "core/Errors.h"
#include "core/Process.h"
#include "platform/CommandLine.h"
#include "platform/Console.h"
#include "platform/Environment.h"
#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/HistoryReader.h"
#include "viewer/HtmlReport.h"
#include "viewer/LiveView.h"
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
    "       morvek-monitor --live [BUILD-ID] [--open]\n"
    "\n"
    "  -o FILE.html       write the build's report page (the default, beside FILE.mv_mon)\n"
    "  --trace FILE.json  write the build in the trace event format (Perfetto, about:tracing)\n"
    "  --summary          print the build's summary\n"
    "  --live [BUILD-ID]  serve the page of a running build of yours (the newest one\n"
    "                     without an ID) on 127.0.0.1, updated as the build goes on\n"
    "  --open             open the live page with the desktop's opener when there is a\n"
    "                     display\n";

struct TOptions {
    std::string Input;
    std::optional<std::string> Html;
    std::optional<std::string> Trace;
    bool Summary = false;
    bool Live = false;
    std::string LiveBuild;
    bool Open = false;
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

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const auto value = platform::GetEnvVar(name);
        if (value && !value->empty()) {
            return true;
        }
    }
    return false;
}

// The desktop's opener, left to run on its own; its failure costs only the window.
void OpenInBrowser(const std::string& url) {
    try {
        core::TProcess opener("xdg-open " + platform::QuoteArgument(url), core::poNoNotify);
        opener.SetNewProcessGroup(true);
        opener.Start();
        opener.Detach();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "morvek-monitor: the page was not opened: %s\n", e.what());
    }
}

int RunLive(const TOptions& options) {
    // A console that stopped reading the address must not end the view.
    platform::IgnoreBrokenPipes();
    const core::TGUID id = viewer::ChooseLiveBuild(options.LiveBuild);
    viewer::TLiveSettings settings;
    settings.Serving = [&](const std::string& url) {
        std::printf("Build monitor: %s\n", url.c_str());
        std::fflush(stdout);
        if (options.Open && HasDisplay()) {
            OpenInBrowser(url);
        }
    };
    viewer::ServeLiveBuild(id, settings);
    return 0;
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
        } else if (arg == "--live") {
            options.Live = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                options.LiveBuild = argv[++i];
            }
        } else if (arg == "--open") {
            options.Open = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return UsageError("unknown option " + std::string(arg) + ".");
        } else if (options.Input.empty()) {
            options.Input = arg;
        } else {
            return UsageError("only one history file at a time.");
        }
    }
    if (options.Live) {
        if (!options.Input.empty() || options.Html || options.Trace || options.Summary) {
            return UsageError("--live shows a running build, not a history file.");
        }
        try {
            records::RegisterAllPacketClasses();
            return RunLive(options);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "morvek-monitor: %s\n", e.what());
            return 1;
        }
    }
    if (options.Open) {
        return UsageError("--open goes with --live.");
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
