// The build monitor view at scale: a generated history of 100 000 tasks on 64 rows,
// read into the model and converted to the report page and the trace. Every run
// checks that all tasks made it into the page before its figures count. The page in
// headless chromium (when installed): the time from navigation start to the first
// complete draw and of one zoom step as the page measures them, apart from the
// browser's own start-up (the same browser run on an empty page).
#include "HistoryBuilder.h"
#include "e2e/ProcessRunner.h"

#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/HistoryReader.h"
#include "viewer/HtmlReport.h"
#include "viewer/ReportData.h"
#include "viewer/TraceExport.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace {

constexpr std::int64_t Tasks = 100000;
constexpr std::int32_t Rows = 64;

struct THistory {
    std::string Dir;
    std::string File;
    viewer_test::TGeneratedBuild Made;
    THistory() {
        records::RegisterAllPacketClasses();
        Dir = (std::filesystem::temp_directory_path() /
               ("ravel_viewer_bench_" + std::to_string(::getpid())))
                  .string();
        std::filesystem::create_directories(Dir);
        File = Dir + "/large.mv_mon";
        Made = viewer_test::WriteGeneratedBuild(File, Tasks, Rows);
    }
    ~THistory() {
        std::error_code ignored;
        std::filesystem::remove_all(Dir, ignored);
    }
};

THistory& History() {
    static THistory history;
    return history;
}

// The page's data must hold every task on the right rows.
std::string CheckPage(const std::string& page, const viewer_test::TGeneratedBuild& made) {
    constexpr std::string_view open = "<script type=\"application/json\" id=\"build-data\">";
    const std::size_t from = page.find(open);
    if (from == std::string::npos) {
        return "the page holds no data";
    }
    const std::size_t start = from + open.size();
    const nlohmann::json data =
        nlohmann::json::parse(page.substr(start, page.find("</script>", start) - start));
    if (data["tasks"]["begin"].size() != static_cast<std::size_t>(made.Tasks)) {
        return "the page holds " + std::to_string(data["tasks"]["begin"].size()) + " tasks";
    }
    if (data["rows"].size() != static_cast<std::size_t>(Rows)) {
        return "the page holds " + std::to_string(data["rows"].size()) + " rows";
    }
    if (data["analysis"]["byKind"]["failed"] != made.Failed ||
        data["analysis"]["byKind"]["restored"] != made.Restored) {
        return "the page's outcomes differ from the build's";
    }
    for (const auto& row : data["tasks"]["row"]) {
        if (row.get<int>() < 0) {
            return "a task without its row";
        }
    }
    return {};
}

void BM_ReadHistory(benchmark::State& state) {
    const THistory& history = History();
    std::int64_t events = 0;
    for (auto _ : state) {
        const viewer::TBuildModel model = viewer::ReadHistory(history.File);
        if (model.Read.Events != history.Made.Events ||
            static_cast<std::int64_t>(model.Tasks.size()) != history.Made.Tasks) {
            state.SkipWithError("the model misses events or tasks");
            return;
        }
        events += model.Read.Events;
    }
    state.counters["events"] = static_cast<double>(history.Made.Events);
    state.counters["events/s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["file_MB"] =
        static_cast<double>(std::filesystem::file_size(history.File)) / (1024 * 1024);
}

void BM_HistoryToPage(benchmark::State& state) {
    const THistory& history = History();
    std::int64_t events = 0;
    std::size_t pageSize = 0;
    for (auto _ : state) {
        const viewer::TBuildModel model = viewer::ReadHistory(history.File);
        const viewer::TBuildAnalysis analysis = viewer::Analyse(model, viewer::PageSlowestTasks);
        std::string page;
        // The page goes to a file in the program; here only the conversion counts.
        page.reserve(pageSize + (1 << 20));
        viewer::WriteHtmlReport(model, analysis, [&](std::string_view s) { page += s; });
        state.PauseTiming();
        if (const std::string wrong = CheckPage(page, history.Made); !wrong.empty()) {
            state.SkipWithError(wrong.c_str());
            return;
        }
        state.ResumeTiming();
        pageSize = page.size();
        events += model.Read.Events;
    }
    state.counters["events/s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["page_MB"] = static_cast<double>(pageSize) / (1024 * 1024);
}

void BM_HistoryToTrace(benchmark::State& state) {
    const THistory& history = History();
    std::int64_t events = 0;
    std::size_t size = 0;
    for (auto _ : state) {
        const viewer::TBuildModel model = viewer::ReadHistory(history.File);
        std::string trace;
        viewer::WriteTrace(model, [&](std::string_view s) { trace += s; });
        state.PauseTiming();
        const nlohmann::json parsed = nlohmann::json::parse(trace);
        std::int64_t complete = 0;
        for (const auto& e : parsed["traceEvents"]) {
            complete += e["ph"] == "X";
        }
        if (complete != history.Made.Tasks) {
            state.SkipWithError("the trace misses tasks");
            return;
        }
        state.ResumeTiming();
        size = trace.size();
        events += model.Read.Events;
    }
    state.counters["events/s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["trace_MB"] = static_cast<double>(size) / (1024 * 1024);
}

std::string FindChromium() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        for (const char* name : {"chromium", "chromium-browser"}) {
            const std::filesystem::path candidate = std::filesystem::path(dir) / name;
            if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) {
                return candidate.string();
            }
        }
    }
    return {};
}

// The facts the page's script wrote into its facts element.
std::map<std::string, std::string> PageFacts(const std::string& dom) {
    std::map<std::string, std::string> facts;
    const std::size_t at = dom.find("<div id=\"facts\"");
    if (at == std::string::npos) {
        return facts;
    }
    const std::string tag = dom.substr(at, dom.find('>', at) - at);
    static const std::regex attribute("data-([a-z-]+)=\"([^\"]*)\"");
    for (std::sregex_iterator it(tag.begin(), tag.end(), attribute), end; it != end; ++it) {
        facts[(*it)[1]] = (*it)[2];
    }
    return facts;
}

// One headless chromium run on `url`: its DOM after load, and the wall time.
std::pair<std::string, double> LoadInChromium(const std::string& chromium,
                                              const std::string& folder, const std::string& url) {
    // A profile of its own: a browser that lingers keeps its profile locked.
    static int runs = 0;
    const std::string profile = folder + "/profile-" + std::to_string(++runs);
    std::filesystem::create_directories(profile);
    const auto began = std::chrono::steady_clock::now();
    const e2e::TProcessResult run =
        e2e::RunProgram("/usr/bin/timeout",
                        {"-k", "5", "300", chromium, "--headless", "--no-sandbox", "--disable-gpu",
                         "--disable-quic", "--no-first-run", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync", "--disable-extensions",
                         "--user-data-dir=" + profile, "--window-size=1280,900",
                         "--virtual-time-budget=5000", "--dump-dom", url});
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    if (run.ExitCode != 0) {
        std::fprintf(stderr, "chromium ended with %d: %s\n", run.ExitCode, run.Err.c_str());
        return {std::string(), ms};
    }
    return {run.Out, ms};
}

void BM_PageInBrowser(benchmark::State& state) {
    const std::string chromium = FindChromium();
    if (chromium.empty()) {
        state.SkipWithError("chromium is not installed");
        return;
    }
    const THistory& history = History();
    const viewer::TBuildModel model = viewer::ReadHistory(history.File);
    const std::string page = history.Dir + "/large.html";
    {
        std::ofstream out(page, std::ios::binary);
        viewer::WriteHtmlReport(model, viewer::Analyse(model, viewer::PageSlowestTasks),
                                [&](std::string_view s) {
                                    out.write(s.data(), static_cast<std::streamsize>(s.size()));
                                });
    }
    const std::string empty = history.Dir + "/empty.html";
    std::ofstream(empty) << "<!doctype html><title>empty</title>\n";
    const std::string& profile = history.Dir;
    double firstDraw = 0, render = 0, parse = 0, zoom = 0, wall = 0, startup = 0, rects = 0,
           loaded = 0;
    std::int64_t runs = 0;
    for (auto _ : state) {
        const auto [dom, ms] = LoadInChromium(chromium, profile, "file://" + page);
        state.PauseTiming();
        const auto [emptyDom, emptyMs] = LoadInChromium(chromium, profile, "file://" + empty);
        auto facts = PageFacts(dom);
        if (facts["ready"] != "yes" || facts["tasks"] != std::to_string(history.Made.Tasks) ||
            facts["drawn-bars"] != std::to_string(history.Made.Tasks)) {
            const std::string wrong = "the page did not draw every task (ready " + facts["ready"] +
                                      ", tasks " + facts["tasks"] + ", drawn " +
                                      facts["drawn-bars"] + ", DOM of " +
                                      std::to_string(dom.size()) + " bytes)";
            state.SkipWithError(wrong.c_str());
            return;
        }
        firstDraw += std::stod(facts["first-draw-ms"]);
        render += std::stod(facts["render-ms"]);
        parse += std::stod(facts["parse-ms"]);
        zoom += std::stod(facts["zoom-ms"]);
        rects += std::stod(facts["drawn-rects"]);
        loaded += std::stod(facts["script-start-ms"]);
        wall += ms;
        startup += emptyMs;
        ++runs;
        state.ResumeTiming();
    }
    const double n = static_cast<double>(std::max<std::int64_t>(runs, 1));
    state.counters["first_draw_ms"] = firstDraw / n;
    state.counters["draw_ms"] = render / n;
    state.counters["parse_ms"] = parse / n;
    state.counters["zoom_step_ms"] = zoom / n;
    state.counters["rects"] = rects / n;
    state.counters["page_loaded_ms"] = loaded / n;
    state.counters["browser_wall_ms"] = wall / n;
    state.counters["browser_empty_page_ms"] = startup / n;
    state.counters["page_MB"] =
        static_cast<double>(std::filesystem::file_size(page)) / (1024 * 1024);
}

BENCHMARK(BM_ReadHistory)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_HistoryToPage)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_HistoryToTrace)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_PageInBrowser)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
