#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/ProcessControl.h"
#include "platform/SharedObjects.h"
#include "proxy/BuildObjects.h"
#include "proxy/BuildProxy.h"

#include <unordered_map>
#include <unordered_set>

namespace build {

namespace {

// The console and its ancestors, nearest first, from one snapshot of all processes.
void AncestorChain(records::TParentProcessIDPacketList& chain) {
    std::unordered_map<std::uint32_t, platform::TProcessEntry> byPid;
    for (const platform::TProcessEntry& entry : platform::SnapshotProcesses()) {
        byPid.emplace(entry.Pid, entry);
    }
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t pid = platform::CurrentProcessId();;) {
        const auto found = byPid.find(pid);
        if (found == byPid.end() || !seen.insert(pid).second) {
            break;
        }
        auto& item = chain.AddNew();
        item.PID = static_cast<std::int32_t>(pid);
        item.Timestamp = found->second.StartTime;
        pid = found->second.ParentPid;
    }
}

} // namespace

void TBuildProxy::CompleteRequest(records::TBuildCommandPacket& request) const {
    if (request.BuildClass.empty()) {
        request.BuildClass = GetBuildClass(request.PrimaryFilename, "", false, request.UseMSBuild);
    }
    request.Caption = GetBuildTitle(request);
    request.CurDir = platform::GetCurrentDir();
    request.InitiatorName = initiatorName;
    if (!request.HasFlag(records::TBuildFlag::UseIDEMonitor)) {
        return;
    }
    records::TParentProcessIDPacketList chain;
    AncestorChain(chain);
    for (int i = 0; i < chain.Count(); ++i) {
        const auto pid = static_cast<std::uint32_t>(chain[i].PID);
        bool existed = false;
        // Probing creates the mutex when nobody holds it; closing it again removes it.
        platform::TMutex::Create(IDEMonitorMutexName(pid), false, &existed);
        if (existed) {
            request.UseIDEMonitorPID = chain[i].PID;
            return;
        }
    }
    request.SetFlag(records::TBuildFlag::UseIDEMonitor, false);
}

} // namespace build
