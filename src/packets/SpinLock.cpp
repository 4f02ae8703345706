#include "packets/SpinLock.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/DebugInfo.h"
#include "platform/ProcessControl.h"

#include <atomic>
#include <cstdio>
#include <thread>

namespace packets {

namespace {

std::atomic<std::uint32_t> deadlockWarningMs{10000};
std::atomic<std::uint32_t> guardTimeoutMs{5000};

} // namespace

std::uint32_t CurrentThreadIdentity() {
    return platform::CurrentThreadId();
}

std::uint32_t CurrentThreadStartStamp() {
    // Kept with the id it belongs to: a forked child's thread has an id of its own.
    thread_local std::uint32_t stampedId = 0;
    thread_local std::uint32_t stamp = 0;
    const std::uint32_t id = platform::CurrentThreadId();
    if (stampedId != id) {
        stamp = static_cast<std::uint32_t>(platform::ProcessStartTicks(id));
        stampedId = id;
    }
    return stamp;
}

bool IsThreadIdentityDead(std::uint32_t identity, std::uint32_t startStamp) {
    if (identity == CurrentThreadIdentity()) {
        return false;
    }
    // Negative words (and 0) are no thread id: whatever wrote them is not a holder.
    if (identity == 0 || identity > 0x7FFFFFFFu) {
        return true;
    }
    const std::uint64_t start = platform::ProcessStartTicks(identity);
    if (start == 0) {
        return true;
    }
    return startStamp != 0 && static_cast<std::uint32_t>(start) != startStamp;
}

TSpinLock::TSpinLock(void* memory)
    : owner(static_cast<std::int32_t*>(memory)), level(static_cast<std::int32_t*>(memory) + 1) {}

std::int32_t TSpinLock::Owner() const {
    return std::atomic_ref<std::int32_t>(*owner).load(std::memory_order_acquire);
}

std::int32_t TSpinLock::Level() const {
    return std::atomic_ref<std::int32_t>(*level).load(std::memory_order_relaxed);
}

void TSpinLock::SetDeadlockWarningInterval(std::uint32_t ms) {
    deadlockWarningMs = ms;
}

TSpinLockResult TSpinLock::Lock(std::int32_t timeoutMs, unsigned flags) {
    const auto me = static_cast<std::int32_t>(CurrentThreadIdentity());
    std::atomic_ref<std::int32_t> ownerWord(*owner);
    std::atomic_ref<std::int32_t> levelWord(*level);
    const std::uint64_t start = platform::GetTickCount64();
    std::uint64_t nextWarning = start + deadlockWarningMs.load();
    bool warned = false;
    auto outcome = [&](TSpinLockResult result) {
        if (warned) {
            core::Log().Warning(std::string("Spinlock - Deadlock Avoided\r\n") +
                                (result == TSpinLockResult::Abandoned ? "Lock abandoned"
                                 : result == TSpinLockResult::Locked  ? "Locked"
                                                                      : "Timed out"));
        }
        return result;
    };
    for (std::uint64_t attempt = 1;; ++attempt) {
        std::int32_t previous = 0;
        if (ownerWord.compare_exchange_strong(previous, me, std::memory_order_acquire)) {
            // A free lock with a level left by a scribbler starts over at 1.
            levelWord.store(1, std::memory_order_relaxed);
            return outcome(TSpinLockResult::Locked);
        }
        if (previous == me) {
            const std::int32_t depth = levelWord.load(std::memory_order_relaxed);
            levelWord.store(depth > 0 && depth < 0x10000 ? depth + 1 : 1,
                            std::memory_order_relaxed);
            return outcome(TSpinLockResult::Locked);
        }
        if (((flags & slfCheckEveryTime) || attempt % 256 == 0 || previous < 0) &&
            IsThreadIdentityDead(static_cast<std::uint32_t>(previous))) {
            std::int32_t dead = previous;
            if (ownerWord.compare_exchange_strong(dead, me, std::memory_order_acquire)) {
                levelWord.store(1, std::memory_order_relaxed);
                if (flags & slfReportAbandoned) {
                    core::Log().Warning("Abandoned Spinlock Warning\r\n" + platform::CallTrace(1));
                }
                return outcome(TSpinLockResult::Abandoned);
            }
        }
        const std::uint64_t now = platform::GetTickCount64();
        if (timeoutMs >= 0 && now - start >= static_cast<std::uint64_t>(timeoutMs)) {
            return outcome(TSpinLockResult::TimedOut);
        }
        if (timeoutMs < 0 && now >= nextWarning) {
            warned = true;
            nextWarning = now + deadlockWarningMs.load();
            core::Log().Warning(
                "Spinlock - Possible Deadlock\r\nProcess ID: " +
                std::to_string(platform::CurrentProcessId()) +
                "\r\nThread ID: " + std::to_string(platform::CurrentThreadId()) +
                "\r\nLock level: " + std::to_string(levelWord.load(std::memory_order_relaxed)) +
                "\r\nLocking thread: " + std::to_string(previous) +
                "\r\nWaiting thread: " + std::to_string(me) + "\r\n" + platform::CallTrace(1));
        }
        if (flags & slfSleep) {
            platform::SleepMs(1);
        } else {
            std::this_thread::yield();
        }
    }
}

void TSpinLock::SetGuardTimeout(std::uint32_t ms) {
    guardTimeoutMs = ms;
}

std::uint32_t TSpinLock::GuardTimeout() {
    return guardTimeoutMs;
}

void TSpinLock::Seize() {
    std::atomic_ref<std::int32_t>(*owner).store(static_cast<std::int32_t>(CurrentThreadIdentity()),
                                                std::memory_order_release);
    std::atomic_ref<std::int32_t>(*level).store(1, std::memory_order_relaxed);
}

TSpinLockGuard::TSpinLockGuard(TSpinLock& lock, unsigned flags) : lock(lock) {
    const auto timeout = static_cast<std::int32_t>(TSpinLock::GuardTimeout());
    if (lock.Lock(timeout, flags) == TSpinLockResult::TimedOut) {
        const std::int32_t holder = lock.Owner();
        lock.Seize();
        core::Log().Warning("Spinlock - held for " + std::to_string(timeout) + " ms by thread " +
                            std::to_string(holder) + ", taken over");
    }
}

TSpinLockGuard::~TSpinLockGuard() {
    try {
        lock.Unlock();
    } catch (const std::exception& e) {
        core::Log().Warning(e.what());
    }
}

void TSpinLock::Unlock() {
    const auto me = static_cast<std::int32_t>(CurrentThreadIdentity());
    std::atomic_ref<std::int32_t> ownerWord(*owner);
    std::atomic_ref<std::int32_t> levelWord(*level);
    std::int32_t depth = levelWord.load(std::memory_order_relaxed) - 1;
    if (depth < 0 || depth >= 0x10000) {
        depth = 0; // a level written by someone else: the lock ends here
    }
    levelWord.store(depth, std::memory_order_relaxed);
    if (depth > 0) {
        return;
    }
    std::int32_t expected = me;
    if (!ownerWord.compare_exchange_strong(expected, 0, std::memory_order_release)) {
        core::Raise(core::EGeneralError(
            "Spinlock: Failed to unlock, not owned by current thread (current thread is " +
            std::to_string(me) + ", locking thread is " + std::to_string(expected) +
            ", lock level is " + std::to_string(depth) + ")"));
    }
}

} // namespace packets
