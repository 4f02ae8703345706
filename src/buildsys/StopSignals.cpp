#include "buildsys/StopSignals.h"

#include "platform/CrashStack.h"
#include "platform/ProcessControl.h"
#include "platform/SharedObjects.h"
#include "proxy/BuildObjects.h"

namespace buildsys {

TStopSignals::TStopSignals(std::string_view identity) : identity(identity) {}

TStopSignals::~TStopSignals() {
    if (terminationWatch.joinable()) {
        ending = true;
        platform::RequestOwnTermination(); // wakes the watch
        terminationWatch.join();
    }
}

void TStopSignals::WatchTerminationRequests() {
    platform::BlockTerminationRequests();
    terminationWatch = platform::StartThread([this] {
        platform::WaitForTerminationRequest();
        terminationRequested = true;
    });
}

std::optional<std::string> TStopSignals::Check() {
    if (terminationRequested && !ending) {
        return "termination request";
    }
    if (!stopEvent) {
        stopEvent = platform::TEvent::Open(build::BuildStopEventName(identity));
    }
    if (stopEvent && stopEvent->Wait(0)) {
        return "stop request of the agent";
    }
    if (!OwnerFollowing() && ownerSeen) {
        return "owner has gone";
    }
    return std::nullopt;
}

bool TStopSignals::OwnerFollowing() {
    if (!ownerMutex) {
        ownerMutex = platform::TMutex::Open(build::OwnerTerminationMutexName(identity));
        if (!ownerMutex) {
            return false;
        }
    }
    const bool held = ownerMutex->QueryState() == platform::TMutexState::Owned;
    ownerSeen = ownerSeen || held;
    return held;
}

} // namespace buildsys
