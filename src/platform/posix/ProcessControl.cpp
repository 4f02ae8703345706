#include "platform/ProcessControl.h"

#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace platform {

namespace {
sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}
} // namespace

void BlockTerminationRequests() {
    const sigset_t set = TerminationSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int WaitForTerminationRequest() {
    const sigset_t set = TerminationSet();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

void RequestOwnTermination() {
    ::kill(::getpid(), SIGTERM);
}

bool ProcessAlive(std::uint32_t pid) {
    if (pid == 0) {
        return false;
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

} // namespace platform
