#include "console/GridConsole.h"
#include "core/Errors.h"
#include "platform/Library.h"
#include "platform/Paths.h"

namespace console {

namespace {
constexpr std::string_view EndpointLibraryName = "libTulClient.so";
constexpr std::string_view HealthCheckExport = "managerHealthCheck";

// Nonzero when connected to the manager; may store a heap text the caller frees.
using THealthCheck = int (*)(char** text);
} // namespace

void TGridConsole::ShowAgentStatus() {
    WriteLine(ServiceStatus ? "Agent Services Status: OK" : "Agent Services Status: not running");
    std::string_view connectivity = "OK";
    if (!ServiceStatus || ServiceStatus->StandAlone) {
        connectivity = "not connected";
    } else if (ServiceStatus->CoordinatorVersionMismatch) {
        connectivity = "Updating Version";
    }
    WriteLine("Connectivity to Coordinator: " + std::string(connectivity));
    CheckEndpointClient();
}

void TGridConsole::CheckEndpointClient() {
    bool connected = false;
    std::string text;
    try {
        const std::string path = platform::IncludeTrailingDelimiter(
                                     platform::ExtractFileDir(platform::ProgramFileName())) +
                                 std::string(EndpointLibraryName);
        if (!EndpointLibrary) {
            EndpointLibrary = platform::TLibrary::Load(path);
            if (!EndpointLibrary) {
                core::Raise(core::EGeneralError("Cannot load library '" + path + "'"));
            }
        }
        const auto check =
            reinterpret_cast<THealthCheck>(EndpointLibrary->Symbol(HealthCheckExport));
        if (check == nullptr) {
            core::Raise(core::EGeneralError("Cannot get address of procedure '" +
                                            std::string(HealthCheckExport) + "'"));
        }
        char* reply = nullptr;
        connected = check(&reply) != 0;
        if (reply != nullptr) {
            text = reply;
            platform::FreeLibraryText(reply);
        }
    } catch (const std::exception& e) {
        text = "error: " + std::string(e.what());
    }
    std::string line = "TUL Connection to Manager: ";
    line += connected ? "OK" : "Not connected";
    if (!connected && !text.empty()) {
        line += " (" + text + ")";
    }
    WriteLine(line);
}

} // namespace console
