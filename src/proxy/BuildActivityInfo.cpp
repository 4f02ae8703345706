#include "proxy/BuildActivityInfo.h"

#include "core/TextHelpers.h"

namespace build {

std::unique_ptr<records::TCoordBuildActivityInfo>
MakeRefusedBuildActivity(const records::TBuildCommandPacket& request, std::string_view agentHost,
                         std::uint8_t startResult) {
    auto result = std::make_unique<records::TCoordBuildActivityInfo>();
    records::TCoordBuildActivityInfo& info = *result;
    info.BuildGuid = core::NewGuid().ToString();
    info.AgentId = agentHost;
    info.BuildTitle = request.Caption;
    info.BuildTypeId = request.HasFlag(records::TBuildFlag::Rebuild) ? 3
                       : request.HasFlag(records::TBuildFlag::Clean) ? 2
                                                                     : 1;
    info.BuildStatusId = startResult == 1 ? 8 : startResult == 2 ? 16 : 32;
    info.BiIssuer = core::SameText(request.BiIssuer, "Eclipse")  ? 5
                    : core::SameText(request.BiIssuer, "CLion")  ? 6
                    : core::SameText(request.BiIssuer, "VSCode") ? 7
                                                                 : 2;
    info.Command = request.RavelconCommandLine;
    info.BuildsetVersion = request.BuildClass;
    return result;
}

} // namespace build
