#include "viewer/LiveView.h"

#include "comm/AgentConnection.h"
#include "core/Errors.h"
#include "core/NotifyQueue.h"
#include "monitor/EventSources.h"
#include "monitor/MonitorEventLoop.h"
#include "monitor/MonitorFile.h"
#include "platform/Clock.h"
#include "platform/SharedObjects.h"
#include "platform/UserAccess.h"
#include "proxy/BuildCacheSettings.h"
#include "proxy/BuildObjects.h"
#include "records/BuildPackets.h"
#include "records/MonitorEvents.h"
#include "records/ServicePackets.h"
#include "viewer/BuildAnalysis.h"
#include "viewer/EventReplay.h"
#include "viewer/HistoryReader.h"
#include "viewer/HtmlReport.h"
#include "viewer/LiveServer.h"
#include "viewer/LiveUpdates.h"

#include <algorithm>
#include <memory>

namespace viewer {

namespace {

constexpr std::uint32_t PublishInterval = 250;
constexpr std::uint32_t IdleCheckInterval = 500;

bool IsOwnRunningBuild(const core::TGUID& id) {
    try {
        return monitor::TSharedStreamEventSource::OpenOwn(id) != nullptr;
    } catch (const std::exception&) {
        return false;
    }
}

// The page's next update: the report's data, marked live (and final once the build
// has ended).
TLiveUpdate LiveData(TLiveUpdateMaker& updates, TBuildModel& model, bool final,
                     const TLiveServer& server) {
    model.Read.End = model.Completed ? TReadState::TEnd::Complete : TReadState::TEnd::Unfinished;
    return updates.Next(model, Analyse(model, PageSlowestTasks), final, server.WholeWanted());
}

void WriteLivePage(std::string_view data, const std::function<void(std::string_view)>& write) {
    WriteReportPage("Live build monitor", data, write);
}

// Serves until the page has been idle for long enough after the end.
void ServeUntilIdle(TLiveServer& server, const TLiveSettings& settings, const bool& ended) {
    core::TClock idle(IdleCheckInterval, true, [&] {
        if (ended && server.IdleMs() >= settings.IdleAfterEndMs) {
            core::MainQueue().Stop();
        }
    });
    core::MainQueue().Run();
}

} // namespace

core::TGUID ChooseLiveBuild(std::string_view requested) {
    core::TGUID id;
    if (!requested.empty()) {
        if (!core::TGUID::TryParse(requested, id)) {
            core::Raise(
                core::EGeneralError("\"" + std::string(requested) +
                                    "\" is no build ID (a GUID in braces, as /LIST shows)."));
        }
        return id;
    }
    const std::unique_ptr<packets::TPacket> reply =
        comm::ConnectToAgent()->Request(records::TRequestBuildStatusPacket());
    if (!reply || &reply->Class() != &records::TRequestBuildStatusReplayPacket::StaticClass()) {
        core::Raise(core::EGeneralError("The agent service did not list its builds."));
    }
    const auto& list = static_cast<const records::TRequestBuildStatusReplayPacket&>(*reply);
    double newest = 0;
    for (int i = 0; i < list.Builds.Count(); ++i) {
        const records::TBuildStatusPacket& build = list.Builds[i];
        // Only a build whose live stream this user may open is the user's.
        if ((id.IsNull() || build.StartTime >= newest) && IsOwnRunningBuild(build.BuildID)) {
            id = build.BuildID;
            newest = build.StartTime;
        }
    }
    if (id.IsNull()) {
        core::Raise(core::EGeneralError("No build of yours is running."));
    }
    return id;
}

void ServeLiveBuild(const core::TGUID& id, const TLiveSettings& settings) {
    const std::string identity = id.ToString();
    std::unique_ptr<monitor::TSharedStreamEventSource> source;
    std::string streamError;
    try {
        source = monitor::TSharedStreamEventSource::OpenOwn(id);
    } catch (const std::exception& e) {
        streamError = e.what();
    }
    TBuildModel model;
    bool ended = false;
    if (!source) {
        // The build has ended already: its history file, when it is this user's.
        const std::string history = monitor::FindHistoryFile(build::AgentFolder(), id);
        if (history.empty() || platform::FileOwner(history) != platform::CurrentUserId()) {
            core::Raise(core::EGeneralError("No running build " + identity +
                                            " of yours was found (nor its history file).\r\n" +
                                            streamError));
        }
        model = ReadHistory(history);
        ended = true;
    }
    TLiveServer server(WriteLivePage);
    TLiveUpdateMaker updates;
    if (ended) {
        server.Publish(LiveData(updates, model, true, server), true);
        if (settings.Serving) {
            settings.Serving(server.Url());
        }
        ServeUntilIdle(server, settings, ended);
        return;
    }

    model.BuildID = identity;
    TEventReplay replay(model);
    bool dirty = true;
    std::uint64_t nextPublish = 0;
    const auto publish = [&](bool final) {
        const std::uint64_t began = platform::GetTickCount64();
        server.Publish(LiveData(updates, model, final, server), final);
        const std::uint64_t now = platform::GetTickCount64();
        // A large build costs more to put together: never more than a third of the time.
        nextPublish = now + std::max<std::uint64_t>(PublishInterval, 2 * (now - began));
        dirty = false;
    };
    monitor::TMonitorEventLoop::TSettings loopSettings{id, build::BuildMutexName(identity, true),
                                                       build::AgentFolder()};
    monitor::TMonitorEventLoop loop(
        std::move(source), std::move(loopSettings),
        [&](packets::TPacket& event) {
            replay.Apply(event);
            dirty = true;
            if (&event.Class() == &records::TMonitorEventCompletePacket::StaticClass() && !ended) {
                ended = true;
                publish(true);
            }
        },
        {});
    core::TClock publisher(PublishInterval, true, [&] {
        // A page that waits for the whole document gets it even while nothing happens.
        if (!ended && (dirty || server.WholeWanted()) &&
            platform::GetTickCount64() >= nextPublish) {
            publish(false);
        }
    });
    publish(false);
    if (settings.Serving) {
        settings.Serving(server.Url());
    }
    loop.Start();
    ServeUntilIdle(server, settings, ended);
    loop.Shutdown();
}

} // namespace viewer
