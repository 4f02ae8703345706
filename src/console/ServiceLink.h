#pragma once
// The console's connection to the local agent service: the status query of the
// run sequence and the requests that follow it.
#include <memory>

namespace console {

// What the agent service answered to the status query.
struct TServiceStatus {
    bool StandAlone = true;
    bool CoordinatorVersionMismatch = false;
    bool AllowEnableDisable = false;
};

class TServiceLink {
public:
    virtual ~TServiceLink() = default;
    // Connects and asks for the service status; null when no service answered.
    virtual std::unique_ptr<TServiceStatus> QueryStatus() = 0;
};

// The link used by the program. This build has no agent channel yet, so no
// service ever answers and the run stops at the agent check.
std::unique_ptr<TServiceLink> CreateAgentServiceLink();

} // namespace console
