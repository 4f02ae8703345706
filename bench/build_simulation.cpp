// Predicts how a recorded build scales past this machine: replays the task trace of its
// history file through the build's scheduler in virtual time, with 1 to 256 simulated
// helpers of a given speed and link latency, and prints the predicted build time, the
// rows' utilisation and the speed-up against the same trace on the local rows alone.
//   build_simulation BUILD.mv_mon [--local N] [--helpers 1,4,16] [--slots N]
//                    [--speed X] [--latency-ms N]
#include "HistoryTrace.h"

#include "buildsys/BuildSimulation.h"
#include "records/Registration.h"
#include "viewer/HistoryReader.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::int64_t ParseCount(const std::string& option, const std::string& text, std::int64_t low,
                        std::int64_t high) {
    std::size_t used = 0;
    long long value = 0;
    try {
        value = std::stoll(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || value < low || value > high) {
        throw std::invalid_argument(option + " takes a whole number from " + std::to_string(low) +
                                    " to " + std::to_string(high) + ", not \"" + text + "\"");
    }
    return value;
}

double ParseSpeed(const std::string& text) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || !(value > 0.01) || !(value < 100)) {
        throw std::invalid_argument("--speed takes a factor between 0.01 and 100, not \"" + text +
                                    "\"");
    }
    return value;
}

struct TOptions {
    std::string File;
    std::int32_t LocalRows = 0; // 0: as recorded
    std::vector<std::int32_t> Helpers{1, 2, 4, 8, 16, 32, 64, 128, 256};
    std::int32_t Slots = 2;
    double Speed = 1.0;
    std::int64_t LatencyMs = 1;
};

TOptions ParseOptions(int argc, char** argv) {
    TOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::invalid_argument(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--local") {
            options.LocalRows = static_cast<std::int32_t>(ParseCount(arg, value(), 1, 1024));
        } else if (arg == "--helpers") {
            options.Helpers.clear();
            std::stringstream list(value());
            for (std::string item; std::getline(list, item, ',');) {
                options.Helpers.push_back(static_cast<std::int32_t>(ParseCount(arg, item, 1, 256)));
            }
        } else if (arg == "--slots") {
            options.Slots = static_cast<std::int32_t>(ParseCount(arg, value(), 1, 256));
        } else if (arg == "--speed") {
            options.Speed = ParseSpeed(value());
        } else if (arg == "--latency-ms") {
            options.LatencyMs = ParseCount(arg, value(), 0, 60000);
        } else if (options.File.empty() && !arg.starts_with("--")) {
            options.File = arg;
        } else {
            throw std::invalid_argument("unknown argument " + arg);
        }
    }
    if (options.File.empty()) {
        throw std::invalid_argument("usage: build_simulation BUILD.mv_mon [--local N] "
                                    "[--helpers 1,4,16] [--slots N] [--speed X] [--latency-ms N]");
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    try {
        const TOptions options = ParseOptions(argc, argv);
        records::RegisterAllPacketClasses();
        const viewer::TBuildModel model = viewer::ReadHistory(options.File);
        if (model.Read.End != viewer::TReadState::TEnd::Complete) {
            throw std::runtime_error("the history ends before the build completed" +
                                     (model.Read.Reason.empty() ? "" : ": " + model.Read.Reason));
        }
        const bench::THistoryTrace trace = bench::TraceOfBuild(model);
        if (trace.Tasks.empty()) {
            throw std::runtime_error("the history holds no ended task");
        }
        buildsys::TSimSetup setup;
        setup.LocalRows = options.LocalRows > 0 ? options.LocalRows : std::max(1, trace.LocalRows);
        setup.SlotsPerHelper = options.Slots;
        setup.HelperSpeed = options.Speed;
        setup.LinkLatencyMs = options.LatencyMs;

        const buildsys::TSimResult local = buildsys::SimulateBuild(trace.Tasks, setup);
        std::printf("trace: %s\n  %zu tasks (%d compiles, %d attempts left out), recorded on %d "
                    "local rows in %lld ms of tasks\n",
                    options.File.c_str(), trace.Tasks.size(), trace.Compiles, trace.Skipped,
                    trace.LocalRows, static_cast<long long>(trace.RecordedMs));
        std::printf("helpers: %d slots each, speed %.2f of a local row, link latency %lld ms one "
                    "way\n",
                    setup.SlotsPerHelper, setup.HelperSpeed,
                    static_cast<long long>(setup.LinkLatencyMs));
        std::printf("local only (%d rows): %lld ms, local rows %.1f%% busy\n\n", setup.LocalRows,
                    static_cast<long long>(local.BuildMs), 100 * local.LocalUtilisation());
        std::printf("%8s %6s %12s %9s %11s %12s %13s | %12s %9s %11s %8s %11s\n", "helpers", "rows",
                    "build ms", "speed-up", "local busy", "helper busy", "link on help",
                    "doubled ms", "speed-up", "local busy", "won", "taken back");
        for (const std::int32_t helpers : options.Helpers) {
            setup.Helpers = helpers;
            setup.Double = false;
            const buildsys::TSimResult run = buildsys::SimulateBuild(trace.Tasks, setup);
            // The same with idle local rows running the last remote compiles again.
            setup.Double = true;
            const buildsys::TSimResult doubled = buildsys::SimulateBuild(trace.Tasks, setup);
            const auto speedUp = [&](const buildsys::TSimResult& r) {
                return r.BuildMs > 0
                           ? static_cast<double>(local.BuildMs) / static_cast<double>(r.BuildMs)
                           : 1.0;
            };
            std::printf(
                "%8d %6d %12lld %8.2fx %10.1f%% %11.1f%% %13d | %12lld %8.2fx %10.1f%% %4d/%-3d "
                "%11d\n",
                helpers, run.LocalRows + run.HelperRows, static_cast<long long>(run.BuildMs),
                speedUp(run), 100 * run.LocalUtilisation(), 100 * run.HelperUtilisation(),
                run.LocalOnlyOnHelpers, static_cast<long long>(doubled.BuildMs), speedUp(doubled),
                100 * doubled.LocalUtilisation(), doubled.DoublesWon, doubled.Doubled,
                doubled.DoublesTakenBack);
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "build_simulation: %s\n", e.what());
        return 1;
    }
}
