// Bytes the live view sends over its events stream while a build of 5 000 tasks (16
// rows) is replayed into it event by event, with an update every 250 ms of the build's
// time: once as whole documents on every update, once as whole-then-deltas. A real
// live server and an events connection on 127.0.0.1 carry every update (the feed waits
// until the page side has each one); the page side merges what it receives as the page
// does, and a figure counts only when that ends equal to the final whole document with
// every task ended. Also the time spent making the updates (analysis and documents).
#include "HistoryBuilder.h"
#include "PageMerge.h"

#include "monitor/MonitorFile.h"
#include "packets/PacketStream.h"
#include "records/MetaBuildPackets.h"
#include "records/Registration.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/EventReplay.h"
#include "viewer/LiveServer.h"
#include "viewer/LiveUpdates.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

constexpr std::int64_t Tasks = 5000;
constexpr std::int32_t Rows = 16;
constexpr std::int32_t UpdateMs = 250;

using TEvents = std::vector<std::unique_ptr<packets::TPacket>>;

TEvents ReadEvents(const std::string& file) {
    records::TMetaBuildPacket meta;
    const auto stream = monitor::OpenMonitorFileForEvents(file, meta);
    TEvents events;
    packets::TPacketLoadContext context;
    while (stream && stream->Position() < stream->Size()) {
        events.push_back(packets::TPacket::CreateFromStream(*stream, &context));
    }
    return events;
}

struct TRun {
    std::uint64_t Bytes = 0;
    std::uint64_t Updates = 0;
    std::uint64_t Deltas = 0;
    double MakingSeconds = 0; // analysis and documents of every update
    std::string Wrong;        // empty when the page side ended with the build's whole document
};

TRun Stream(const TEvents& events, bool deltas) {
    viewer::TLiveServer server([](std::string_view data, const auto& write) { write(data); });
    TRun run;
    std::mutex lock;
    std::condition_variable arrived;
    std::uint64_t received = 0;
    nlohmann::json held;
    std::string text;
    const std::string path = server.Url().substr(server.Url().find('/', 7)) + "events?since=0";
    std::thread page([&] {
        httplib::Client client("127.0.0.1", server.Port());
        client.set_read_timeout(60);
        client.Get(path.c_str(), [&](const char* data, std::size_t length) {
            std::lock_guard<std::mutex> hold(lock);
            run.Bytes += length;
            text.append(data, length);
            for (std::size_t end = text.find("\n\n"); end != std::string::npos;
                 end = text.find("\n\n")) {
                const std::string message = text.substr(0, end);
                text.erase(0, end + 2);
                const std::size_t data = message.find("\ndata: ");
                if (!message.starts_with("id: ") || data == std::string::npos) {
                    continue; // a comment that keeps the connection alive
                }
                nlohmann::json doc = nlohmann::json::parse(message.substr(data + 7));
                run.Deltas += doc.contains("base") ? 1 : 0;
                held = viewer_test::Merge(std::move(held), doc);
                held.erase("base");
                received = std::stoull(message.substr(4, data - 4));
            }
            arrived.notify_all();
            return true;
        });
    });

    viewer::TBuildModel model;
    viewer::TEventReplay replay(model);
    viewer::TLiveUpdateMaker maker;
    std::string whole;
    std::int32_t next = 0;
    for (std::size_t e = 0; e < events.size() && run.Wrong.empty(); ++e) {
        replay.Apply(*events[e]);
        const bool final = e + 1 == events.size();
        if (model.EndMs < next && !final) {
            continue;
        }
        next = model.EndMs + UpdateMs;
        model.Read.End = model.Completed ? viewer::TReadState::TEnd::Complete
                                         : viewer::TReadState::TEnd::Unfinished;
        const auto making = std::chrono::steady_clock::now();
        viewer::TLiveUpdate update =
            maker.Next(model, viewer::Analyse(model, viewer::PageSlowestTasks), final,
                       !deltas || server.WholeWanted());
        run.MakingSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - making).count();
        if (!deltas) {
            update.Delta.clear();
        }
        const std::uint64_t version = update.Version;
        whole = update.Whole;
        server.Publish(std::move(update), final);
        ++run.Updates;
        std::unique_lock<std::mutex> hold(lock);
        if (!arrived.wait_for(hold, std::chrono::seconds(60),
                              [&] { return received == version; })) {
            run.Wrong = "update " + std::to_string(version) + " did not arrive";
        }
    }
    page.join();
    if (!run.Wrong.empty()) {
        return run;
    }
    const nlohmann::json expected = nlohmann::json::parse(whole);
    if (held != expected) {
        run.Wrong = "the page's data differs from the final whole document";
    } else if (held["tasks"]["id"].size() != static_cast<std::size_t>(Tasks)) {
        run.Wrong = "the page holds " + std::to_string(held["tasks"]["id"].size()) + " tasks";
    } else {
        for (const auto& end : held["tasks"]["end"]) {
            if (end.get<std::int64_t>() < 0) {
                run.Wrong = "a task of the page never ended";
                break;
            }
        }
    }
    if (run.Wrong.empty() && (deltas ? run.Deltas + 1 != run.Updates : run.Deltas != 0)) {
        run.Wrong = "the stream carried " + std::to_string(run.Deltas) + " deltas in " +
                    std::to_string(run.Updates) + " updates";
    }
    return run;
}

} // namespace

int main() {
    records::RegisterAllPacketClasses();
    const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                      ("ravel_live_stream_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string file = (dir / "build.mv_mon").string();
    const viewer_test::TGeneratedBuild made = viewer_test::WriteGeneratedBuild(file, Tasks, Rows);
    const TEvents events = ReadEvents(file);
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    if (static_cast<std::int64_t>(events.size()) != made.Events) {
        std::fprintf(stderr, "read %zu of %lld events\n", events.size(),
                     static_cast<long long>(made.Events));
        return 1;
    }
    int status = 0;
    TRun runs[2];
    for (const bool deltas : {false, true}) {
        const auto began = std::chrono::steady_clock::now();
        TRun& run = runs[deltas ? 1 : 0];
        run = Stream(events, deltas);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (!run.Wrong.empty()) {
            std::fprintf(stderr, "%s: %s\n", deltas ? "deltas" : "whole", run.Wrong.c_str());
            status = 1;
            continue;
        }
        std::printf("%-6s %lld tasks, %lld events, %llu updates: %llu bytes on the stream "
                    "(%.1f MB, %.0f bytes per update), %.2f s making the updates, %.1f s\n",
                    deltas ? "deltas" : "whole", static_cast<long long>(Tasks),
                    static_cast<long long>(made.Events),
                    static_cast<unsigned long long>(run.Updates),
                    static_cast<unsigned long long>(run.Bytes),
                    static_cast<double>(run.Bytes) / (1024 * 1024),
                    static_cast<double>(run.Bytes) / static_cast<double>(run.Updates),
                    run.MakingSeconds, seconds);
    }
    if (status == 0) {
        std::printf("ratio whole/deltas: %.1f\n",
                    static_cast<double>(runs[0].Bytes) / static_cast<double>(runs[1].Bytes));
    }
    return status;
}
