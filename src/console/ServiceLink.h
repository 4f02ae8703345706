#pragma once
// The console's connection to the local agent service: the status query of the
// run sequence and the requests that follow it. Tests hand the console a fake.
#include "comm/AgentConnection.h"

#include <memory>
#include <string>

namespace console {

// What the agent service answered to the status query.
struct TServiceStatus {
    bool StandAlone = true;
    bool CoordinatorVersionMismatch = false;
    bool AllowEnableDisable = false;
    std::string Host;
};

class TServiceLink : public comm::TAgentConnection {
public:
    // Connects and asks for the service status; null when no service answered.
    virtual std::unique_ptr<TServiceStatus> QueryStatus() = 0;
};

// The link used by the program: a local comm pipe to the agent service named by
// the product information.
std::unique_ptr<TServiceLink> CreateAgentServiceLink();

} // namespace console
