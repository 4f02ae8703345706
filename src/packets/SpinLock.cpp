#include "packets/SpinLock.h"

#include "core/DiagnosticLog.h"
#include "core/Errors.h"
#include "platform/Clock.h"
#include "platform/DebugInfo.h"
#include "platform/SharedObjects.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace packets {

namespace {

constexpr std::string_view SessionDataName = "Global\\Tavrix_SessionData_0";
constexpr std::size_t SessionDataSize = 72;

std::atomic<std::uint32_t> deadlockWarningMs{10000};

std::mutex sessionMutex;
std::unique_ptr<platform::TSharedSection> sessionSection;
std::string sessionRoot;

std::uint32_t* SessionCounter() {
    const std::lock_guard lock(sessionMutex);
    const std::string root = platform::ObjectsRoot();
    if (!sessionSection || sessionRoot != root) {
        sessionSection = platform::TSharedSection::Create(SessionDataName, SessionDataSize);
        sessionRoot = root;
    }
    return static_cast<std::uint32_t*>(sessionSection->Data());
}

// One per thread that took an identity; the mutex is held until the thread ends,
// and closing it at thread exit removes it. An identity belongs to the namespace
// root it was taken in.
struct TThreadIdentity {
    std::uint32_t Id = 0;
    std::string Root;
    std::unique_ptr<platform::TMutex> Mutex;
    int Holds = 0; // TThreadIdentityHold objects of this thread
};
thread_local TThreadIdentity threadIdentity;

void DropThreadIdentity() {
    threadIdentity.Mutex.reset();
    threadIdentity.Id = 0;
}

std::string Hex8(std::uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string GlobalMutexName(std::uint32_t identity) {
    return "Global\\" + ThreadIdentityMutexName(identity);
}

} // namespace

TThreadIdentityHold::TThreadIdentityHold() : id(CurrentThreadIdentity()) {
    ++threadIdentity.Holds;
}

TThreadIdentityHold::~TThreadIdentityHold() {
    if (--threadIdentity.Holds > 0 || threadIdentity.Id != id) {
        return;
    }
    ReleaseSessionObjects();
}

std::string ThreadIdentityMutexName(std::uint32_t identity) {
    return "Tavrix_SessionThread_" + Hex8(identity);
}

void ReleaseSessionObjects() {
    DropThreadIdentity();
    const std::lock_guard lock(sessionMutex);
    sessionSection.reset();
}

std::uint32_t CurrentThreadIdentity() {
    if (threadIdentity.Id != 0 && threadIdentity.Root == platform::ObjectsRoot()) {
        return threadIdentity.Id;
    }
    DropThreadIdentity();
    std::uint32_t* counterCell = SessionCounter();
    std::atomic_ref<std::uint32_t> counter(*counterCell);
    for (;;) {
        const std::uint32_t id = counter.fetch_add(1, std::memory_order_acq_rel) + 1;
        // 0 means "free" and -1 "corrupt" in a lock's owner word.
        if (id == 0 || id == 0xFFFFFFFFu) {
            continue;
        }
        bool existed = false;
        auto mutex = platform::TMutex::Create(GlobalMutexName(id), true, &existed);
        if (existed) {
            // A wrapped counter met a live identity: take the next one.
            continue;
        }
        threadIdentity.Mutex = std::move(mutex);
        threadIdentity.Id = id;
        threadIdentity.Root = platform::ObjectsRoot();
        return id;
    }
}

bool IsThreadIdentityDead(std::uint32_t identity) {
    if (identity == threadIdentity.Id && threadIdentity.Id != 0) {
        return false;
    }
    std::unique_ptr<platform::TMutex> mutex;
    try {
        mutex = platform::TMutex::Open(GlobalMutexName(identity));
    } catch (const std::system_error& e) {
        throw core::EOSError("Failed to open mutex: " + std::string(e.what()), e.code().value());
    }
    if (!mutex) {
        return true;
    }
    try {
        return mutex->QueryState() != platform::TMutexState::Owned;
    } catch (const std::system_error& e) {
        throw core::EOSError("Failed to query mutex: " + std::string(e.what()), e.code().value());
    }
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
            if (const std::int32_t depth = levelWord.load(std::memory_order_relaxed); depth != 0) {
                throw core::EGeneralError("Spinlock: Invalid lock level (" + std::to_string(depth) +
                                          ") while locking.");
            }
            levelWord.store(1, std::memory_order_relaxed);
            return outcome(TSpinLockResult::Locked);
        }
        if (previous == -1) {
            throw core::EGeneralError("Spinlock: Failed to lock, resource marked as corrupt.");
        }
        if (previous == me) {
            const std::int32_t depth = levelWord.load(std::memory_order_relaxed);
            if (depth <= 0) {
                throw core::EGeneralError("Spinlock: Invalid lock level (" + std::to_string(depth) +
                                          ") while re-locking.");
            }
            levelWord.store(depth + 1, std::memory_order_relaxed);
            return outcome(TSpinLockResult::Locked);
        }
        if (((flags & slfCheckEveryTime) || attempt % 256 == 0) &&
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
    const std::int32_t depth = levelWord.load(std::memory_order_relaxed) - 1;
    if (depth < 0) {
        throw core::EGeneralError("Spinlock: Invalid lock level (" + std::to_string(depth) +
                                  ") while unlocking.");
    }
    levelWord.store(depth, std::memory_order_relaxed);
    if (depth > 0) {
        return;
    }
    std::int32_t expected = me;
    if (!ownerWord.compare_exchange_strong(expected, 0, std::memory_order_release)) {
        throw core::EGeneralError(
            "Spinlock: Failed to unlock, not owned by current thread (current thread is " +
            std::to_string(me) + ", locking thread is " + std::to_string(expected) +
            ", lock level is " + std::to_string(depth) + ")");
    }
}

} // namespace packets
