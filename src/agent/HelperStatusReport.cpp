#include "agent/HelperStatusReport.h"

#include "platform/ProcessControl.h"
#include "proxy/HelperState.h"

#include <cstdio>

namespace agent {

std::string HelperStatusReport(const std::string& statePath) {
    std::string why;
    const std::optional<build::THelperState> state = build::ReadHelperState(statePath, why);
    if (!state) {
        return "No helper state: " + why + "\n";
    }
    std::string report;
    const std::int64_t age = (build::WallClockMs() - state->WrittenAt) / 1000;
    report += "Helpers (agent pid " + std::to_string(state->AgentPid) +
              (platform::ProcessAlive(static_cast<std::uint32_t>(state->AgentPid))
                   ? ""
                   : ", no longer running") +
              ", state of " + std::to_string(age) + " s ago):\n";
    if (state->Helpers.empty()) {
        report += "  none\n";
    }
    for (const build::THelperStatus& h : state->Helpers) {
        const char* stateText = !h.Probed ? "unprobed" : h.Reachable ? "up" : "down";
        char line[512];
        std::snprintf(line, sizeof line, "  %-28s %-9s slots %-4d tasks run %s\n",
                      build::DistccHostText(h.Host, h.Host.Limit).c_str(), stateText, h.Slots,
                      h.TasksRun < 0 ? "-" : std::to_string(h.TasksRun).c_str());
        report += line;
        if (!h.Message.empty()) {
            report += "      " + h.Message + "\n";
        }
        for (const auto& [compiler, verdict] : h.Compilers) {
            report +=
                "      " + compiler + ": " + (verdict.empty() ? "same compiler" : verdict) + "\n";
        }
    }
    return report;
}

} // namespace agent
