// morvek-agent: the local agent service, in the foreground until SIGTERM or SIGINT.
// "morvek-agent --write-product-info FILE" writes an installation's info.dat with a
// fresh channel GUID (the setup step of an install). "--helper" makes the machine a
// helper (as the HelperMode setting does); "--status" prints the helpers of this machine.
#include "agent/AgentService.h"
#include "agent/DistccdSupervisor.h"
#include "agent/HelperProber.h"
#include "agent/HelperStatusReport.h"
#include "comm/AgentSocket.h"
#include "comm/ProductInfo.h"
#include "core/DiagnosticLog.h"
#include "core/NotifyQueue.h"
#include "platform/CrashStack.h"
#include "platform/ProcessControl.h"
#include "platform/SharedObjects.h"
#include "records/Registration.h"

#include "records/ServicePackets.h"

#include <cstdio>
#include <string_view>
#include <thread>

namespace {
constexpr std::uint32_t AbandonedObjectsScanMs = 5000;

int WriteProductInfo(const char* fileName) {
    records::RegisterAllPacketClasses();
    records::TProductInformationPacket info;
    info.GridServiceID = core::NewGuid();
    info.CoordinatorServiceID = core::NewGuid();
    info.SaveToFile(fileName);
    std::printf("%s\n", info.GridServiceID.ToString().c_str());
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string_view(argv[1]) == "--write-product-info") {
        try {
            return WriteProductInfo(argv[2]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "morvek-agent: %s\n", e.what());
            return 1;
        }
    }
    if (argc == 2 && std::string_view(argv[1]) == "--status") {
        std::fputs(agent::HelperStatusReport(build::HelperStatePath(agent::TAgentService::Folder()))
                       .c_str(),
                   stdout);
        return 0;
    }
    platform::BlockTerminationRequests();
    bool helperSwitch = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--helper") {
            helperSwitch = true;
            continue;
        }
        std::fprintf(stderr, "morvek-agent: unknown argument %s\n", argv[i]);
        return 2;
    }
    try {
        core::InstallCrashLogging();
        records::RegisterAllPacketClasses();
        const comm::TProductInfo& info = comm::TProductInfo::Get();
        if (!info.Loaded() || info.GridServiceID().IsNull()) {
            std::fprintf(stderr, "morvek-agent: no channel GUID in %s\n", info.FileName().c_str());
            return 2;
        }
        core::Log().Started();
        {
            // Objects that ended processes left behind (builds and consoles killed,
            // an agent killed before this one) go now and while the agent runs; a
            // restarted agent takes its own names back from its ended predecessor.
            platform::RemoveAbandonedObjects(true);
            core::TNotifyQueue queue;
            queue.Attach();
            agent::TAgentService service(queue);
            agent::THelperSettings helperSettings = agent::THelperSettings::Load();
            helperSettings.HelperMode = helperSettings.HelperMode || helperSwitch;
            std::unique_ptr<agent::TDistccdSupervisor> distccd;
            if (helperSettings.HelperMode) {
                distccd = std::make_unique<agent::TDistccdSupervisor>(helperSettings);
            }
            const agent::THelperProber helpers(
                helperSettings, build::HelperStatePath(agent::TAgentService::Folder()));
            const core::TClock sweeper(
                AbandonedObjectsScanMs, true, [] { platform::RemoveAbandonedObjects(true); },
                &queue);
            std::thread signals = platform::StartThread([&queue] {
                platform::WaitForTerminationRequest();
                queue.Post({nullptr, "morvek-agent"}, "Stop", [&queue] { queue.Stop(); });
            });
            std::printf("morvek-agent: serving %s at %s\n", info.GridServiceID().ToString().c_str(),
                        comm::AgentSocketPath().c_str());
            std::fflush(stdout);
            queue.Run();
            signals.join();
        }
        core::Log().Stopped();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "morvek-agent: %s\n", e.what());
        return 1;
    }
}
