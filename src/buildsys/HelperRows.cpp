#include "buildsys/HelperRows.h"

#include "platform/Clock.h"
#include "platform/Paths.h"
#include "records/JobProfile.h"

#include <algorithm>
#include <memory>

namespace buildsys {

namespace {
constexpr std::uint32_t PollMs = 50;
} // namespace

std::optional<build::THelperState> AwaitHelperState(const std::string& path, std::uint32_t waitMs,
                                                    std::string& why) {
    const std::uint64_t giveUp = platform::GetTickCount64() + waitMs;
    for (;;) {
        if (!platform::FileExists(path)) {
            why.clear();
            return std::nullopt;
        }
        std::optional<build::THelperState> state = build::ReadHelperState(path, why);
        const bool pending =
            state && std::any_of(state->Helpers.begin(), state->Helpers.end(),
                                 [](const build::THelperStatus& h) { return !h.Probed; });
        if (!pending || platform::GetTickCount64() >= giveUp) {
            return state;
        }
        platform::SleepMs(PollMs);
    }
}

std::vector<TWorkerRow> HelperWorkerRows(const build::THelperState& state, std::int32_t room) {
    std::vector<TWorkerRow> rows;
    for (const build::THelperStatus& helper : state.Helpers) {
        const int slots = helper.Slots > 0        ? helper.Slots
                          : helper.Host.Limit > 0 ? helper.Host.Limit
                                                  : build::DistccDefaultLimit;
        const std::string name = build::HelperName(helper.Host);
        for (int n = 1; n <= slots && static_cast<std::int32_t>(rows.size()) < room; ++n) {
            TWorkerRow row;
            row.ID = name + "#" + std::to_string(n);
            row.Caption = helper.Host.Host + " #" + std::to_string(n);
            row.Host = helper.Host.Host;
            row.Local = false;
            row.Helper = name;
            row.DistccHost = build::DistccHostText(helper.Host, slots);
            rows.push_back(std::move(row));
        }
    }
    return rows;
}

std::set<std::string> EmployableCompilers(const build::THelperStatus& status) {
    std::set<std::string> compilers;
    for (const auto& [name, verdict] : status.Compilers) {
        if (verdict.empty()) {
            compilers.insert(name);
        }
    }
    return compilers;
}

} // namespace buildsys
