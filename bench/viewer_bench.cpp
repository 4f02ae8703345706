// The build monitor view at scale: a generated history of 100 000 tasks on 64 rows,
// read into the model and converted to the report page and the trace. Every run
// checks that all tasks made it into the page before its figures count.
#include "HistoryBuilder.h"

#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/HistoryReader.h"
#include "viewer/HtmlReport.h"
#include "viewer/ReportData.h"
#include "viewer/TraceExport.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <filesystem>
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

BENCHMARK(BM_ReadHistory)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_HistoryToPage)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(BM_HistoryToTrace)->Unit(benchmark::kMillisecond)->MinTime(2);

} // namespace

BENCHMARK_MAIN();
