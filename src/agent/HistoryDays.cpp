#include "agent/HistoryDays.h"

#include "core/DiagnosticLog.h"
#include "monitor/MonitorFile.h"
#include "platform/Files.h"
#include "platform/Paths.h"

#include <filesystem>

namespace agent {

void PrepareHistoryDays(const std::string& agentFolder, const core::TGUID& build,
                        double startTime) {
    for (const double day : {startTime, startTime + 1.0}) {
        const std::string folder = platform::ExtractFileDir(
            monitor::HistoryFilePath(agentFolder, monitor::StartDayText(day), build));
        const std::string local = platform::ExtractFileDir(folder);
        std::string why;
        if (platform::EnsureSharedDirectory(platform::ExtractFileDir(local), &why) &&
            platform::EnsureSharedDirectory(local, &why) &&
            !platform::EnsureSharedDirectory(folder, &why)) {
            std::error_code ec;
            std::filesystem::remove_all(folder, ec);
            why.clear();
            platform::EnsureSharedDirectory(folder, &why);
        }
        if (!why.empty()) {
            core::Log().Warning("History folder not prepared\r\n" + why);
        }
    }
}

} // namespace agent
