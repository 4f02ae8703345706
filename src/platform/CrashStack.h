#pragma once
// The crash handler's own stack for one thread: a fault from an exhausted stack can
// only be reported on a stack of its own, and each thread needs one.
#include <thread>
#include <utility>

namespace platform {

// Gives the calling thread a stack for the crash handler until the guard ends,
// unless it has one already.
class TCrashStack {
public:
    TCrashStack();
    ~TCrashStack();
    TCrashStack(const TCrashStack&) = delete;
    TCrashStack& operator=(const TCrashStack&) = delete;

private:
    void* memory = nullptr; // null when this guard installed none
};

// Starts a thread that runs `body` with a TCrashStack: every thread the programs
// start is started through this.
template <typename F> std::thread StartThread(F&& body) {
    return std::thread([body = std::forward<F>(body)]() mutable {
        const TCrashStack crashStack;
        body();
    });
}

} // namespace platform
