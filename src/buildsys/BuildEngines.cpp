#include "buildsys/BuildEngines.h"

#include "buildsys/GraphSampler.h"
#include "buildsys/HelperRows.h"
#include "buildsys/TaskEndpoint.h"
#include "core/Errors.h"
#include "platform/Files.h"
#include "records/MonitorEvents.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace buildsys {

TBuildEngines::TBuildEngines(std::string agentFolder, std::string buildID, TBuildCacheSetup setup,
                             TAdd add, std::function<std::int32_t()> ms)
    : agentFolder(std::move(agentFolder)), buildID(std::move(buildID)), add(std::move(add)),
      ms(std::move(ms)) {
    cache = std::make_unique<TCacheEngine>(std::move(setup), this->add, this->ms);
}

TBuildEngines::~TBuildEngines() {
    if (!distccDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(distccDir, ec);
    }
}

std::vector<TWorkerRow> TBuildEngines::HelperRows(std::int32_t room,
                                                  std::vector<std::string>& warnings) {
    helperStatePath = build::HelperStatePath(agentFolder);
    std::string why;
    helperState = AwaitHelperState(helperStatePath, FirstProbeWaitMs, why);
    if (!why.empty()) {
        warnings.push_back("The helpers of this machine are unknown: " + why);
    }
    if (helperState) {
        helperRows = HelperWorkerRows(*helperState, room);
    }
    return helperRows;
}

std::vector<TTaskEngine*> TBuildEngines::Start(TScheduler& tasks) {
    scheduler = &tasks;
    std::vector<TTaskEngine*> engines;
    if (!helperRows.empty()) {
        const std::string socket = TTaskEndpoint::PathFor(buildID);
        distccDir = socket.substr(0, socket.size() - 5) + ".distcc";
        std::string error;
        if (!platform::EnsurePrivateDirectory(distccDir, &error)) {
            core::Raise(std::runtime_error(error));
        }
        distcc = std::make_unique<TDistccEngine>(distccDir);
        engines.push_back(distcc.get());
        const std::size_t before = scheduler->EmployedRows().size();
        EmployHelpers(*helperState, true);
        if (scheduler->EmployedRows().size() == before) {
            Message("No helper is reachable: this build runs on this machine only.");
        }
    }
    engines.push_back(cache.get()); // the cache goes around every engine before it
    return engines;
}

void TBuildEngines::RowEmployment(std::int32_t index, const TWorkerRow& row, bool on,
                                  const std::string& reason) {
    if (on) {
        records::TMonitorEventEmployPacket employ;
        employ.ms = ms();
        employ.ID = row.ID;
        employ.RowIndex = index;
        employ.StaticInfo.Host = row.Host;
        employ.StaticInfo.Addr = row.Host;
        employ.StaticInfo.ID = row.Helper;
        employ.StaticInfo.DisplayName = row.Helper;
        employ.StaticInfo.HostComment = "helper, distcc host " + row.DistccHost;
        employ.StaticInfo.CPUCount_WhenHelper = static_cast<std::int32_t>(
            std::count_if(helperRows.begin(), helperRows.end(),
                          [&](const TWorkerRow& r) { return r.Helper == row.Helper; }));
        employ.Caption = row.Caption;
        employ.Host = row.Host;
        employ.Local = false;
        add(employ);
        return;
    }
    records::TMonitorEventUnemployPacket unemploy;
    unemploy.ms = ms();
    unemploy.ID = row.ID;
    unemploy.RowIndex = index;
    add(unemploy);
    helperDownAt[row.Helper] = build::WallClockMs();
    if (row.ID.ends_with("#1") && !reason.empty()) {
        Message("Helper " + row.Helper + " is not employed any more: " + reason + ".");
    }
}

void TBuildEngines::Message(const std::string& text) {
    records::TMonitorEventOutputPacket event;
    event.ms = ms();
    event.Text = text;
    add(event);
}

void TBuildEngines::EmployHelpers(const build::THelperState& state, bool announce) {
    for (const build::THelperStatus& helper : state.Helpers) {
        const std::string name = build::HelperName(helper.Host);
        if (std::none_of(helperRows.begin(), helperRows.end(),
                         [&](const TWorkerRow& row) { return row.Helper == name; })) {
            continue;
        }
        const bool enabled = scheduler->HelperEnabled(name);
        if (!helper.Probed || !helper.Reachable) {
            if (announce) {
                Message("Helper " + name + " is not employed: " +
                        (helper.Probed ? "it is not reachable (" + helper.Message + ")"
                                       : "its first probe has not answered") +
                        ".");
            } else if (enabled && helper.Probed && helper.ProbedAt > helperDownAt[name]) {
                scheduler->DisableHelper(name,
                                         "the agent cannot reach it (" + helper.Message + ")");
            }
            continue;
        }
        const auto downAt = helperDownAt.find(name);
        if (enabled || (downAt != helperDownAt.end() && helper.ProbedAt <= downAt->second)) {
            continue; // employed, or not probed since this build lost it
        }
        const std::set<std::string> compilers = EmployableCompilers(helper);
        for (const auto& [compiler, verdict] : helper.Compilers) {
            if (!verdict.empty() && announce) {
                Message("Helper " + name + " is not employed for " + compiler + ": " + verdict +
                        ".");
            }
        }
        if (compilers.empty()) {
            if (announce) {
                Message("Helper " + name +
                        " is not employed: it compiles with none of this "
                        "machine's compilers.");
            }
            continue;
        }
        scheduler->EnableHelper(name, compilers);
        Message("Helper " + name + (downAt != helperDownAt.end() ? " answers again" : " answers") +
                ": it is employed for " + std::to_string(compilers.size()) + " compiler(s).");
    }
}

void TBuildEngines::Tick(std::uint64_t now) {
    if (helperRows.empty() || !scheduler || now < nextHelperCheck) {
        return;
    }
    nextHelperCheck = now + TGraphSampler::IntervalMs;
    std::string why;
    if (const auto state = build::ReadHelperState(helperStatePath, why)) {
        EmployHelpers(*state, false);
    }
}

void TBuildEngines::Finish() {
    if (finished) {
        return;
    }
    finished = true;
    cache->Finish();
    if (distcc) {
        for (const auto& [helper, counts] : distcc->Counts()) {
            Message("Helper " + helper + " ran " + std::to_string(counts.Ran) + " tasks (" +
                    std::to_string(counts.Failed) + " failed to distribute).");
        }
    }
    if (!distccDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(distccDir, ec);
        distccDir.clear();
    }
}

} // namespace buildsys
