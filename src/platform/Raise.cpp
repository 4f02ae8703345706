#include "platform/Raise.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<TRaiseObserver> raiseObserver{nullptr};
thread_local bool observing = false;
} // namespace

void SetRaiseObserver(TRaiseObserver observer) {
    raiseObserver.store(observer);
}

void NotifyRaise(const std::exception& error) noexcept {
    const TRaiseObserver observer = raiseObserver.load();
    if (observer == nullptr || observing) {
        return;
    }
    observing = true;
    observer(error);
    observing = false;
}

} // namespace platform
