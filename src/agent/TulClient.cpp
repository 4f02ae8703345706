// libTulClient.so: the endpoint client library. managerHealthCheck reports whether
// the coordinator configured for the agent ("Coordinator" = "host:port" under the
// agent's settings) accepts a connection.
#include "platform/Network.h"
#include "platform/Registry.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

char* HeapText(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy) {
        std::memcpy(copy, text.c_str(), text.size() + 1);
    }
    return copy;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int managerHealthCheck(char** text) {
    std::string reason;
    try {
        const auto key = platform::TRegistryKey::Open(platform::TRegRoot::LocalMachine,
                                                      "SOFTWARE\\Tavrix\\Morvek\\Agent");
        const std::string coordinator =
            key ? key->ReadString("Coordinator").value_or("") : std::string();
        const auto colon = coordinator.rfind(':');
        if (coordinator.empty()) {
            reason = "no coordinator configured";
        } else if (colon == std::string::npos || colon + 1 == coordinator.size()) {
            reason = "invalid coordinator address \"" + coordinator + "\"";
        } else {
            const long port = std::strtol(coordinator.c_str() + colon + 1, nullptr, 10);
            if (port <= 0 || port > 65535) {
                reason = "invalid coordinator address \"" + coordinator + "\"";
            } else if (platform::TcpProbe(coordinator.substr(0, colon),
                                          static_cast<std::uint16_t>(port), 3000, reason)) {
                return 1;
            }
        }
    } catch (const std::exception& e) {
        reason = e.what();
    }
    if (text) {
        *text = HeapText(reason);
    }
    return 0;
}
