#pragma once
// Thread identities and the cross-process spin lock that guards control blocks in
// shared memory.
//
// A thread identity is the kernel's thread id: unique on the machine while the
// thread lives, with no shared counter that another user could write. A thread is
// dead when it is gone from /proc (or a zombie), or when its start time differs
// from the one recorded with the identity (the id was reused).
//
// The lock itself is 8 bytes in shared memory: the owner's identity (0 free) and
// the recursion level, both little-endian 32-bit words. Anyone who can write the
// memory may scribble over it, so a lock whose owner is dead or whose words make
// no sense is taken over, and a guard never waits without a time limit.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace packets {

// The calling thread's identity.
std::uint32_t CurrentThreadIdentity();
// The start time to record with the calling thread's identity (low 32 bits of the
// clock ticks since boot).
std::uint32_t CurrentThreadStartStamp();
// True when the thread of that identity has ended (never for the caller itself).
// A `startStamp` of 0 skips the check against reuse of the id.
bool IsThreadIdentityDead(std::uint32_t identity, std::uint32_t startStamp = 0);

enum TSpinLockFlags : unsigned {
    slfSleep = 1,           // sleep 1 ms between attempts instead of yielding
    slfReportAbandoned = 2, // log a takeover as "Abandoned Spinlock Warning"
    slfCheckEveryTime = 4,  // check the owner's liveness on every attempt, not every 256th
};

enum class TSpinLockResult { Locked, Abandoned, TimedOut };

constexpr std::int32_t SpinLockInfinite = -1;

// A view of the 8 lock bytes; the memory belongs to the caller's mapping.
class TSpinLock {
public:
    explicit TSpinLock(void* memory);

    TSpinLockResult Lock(std::int32_t timeoutMs = SpinLockInfinite,
                         unsigned flags = slfReportAbandoned);
    void Unlock();

    std::int32_t Owner() const;
    std::int32_t Level() const;
    // Seconds between "Possible Deadlock" warnings (tests shorten it).
    static void SetDeadlockWarningInterval(std::uint32_t ms);
    // Takes the lock from whoever holds it (a guard whose wait timed out).
    void Seize();
    // How long a guard waits before it seizes the lock (tests shorten it).
    static void SetGuardTimeout(std::uint32_t ms);
    static std::uint32_t GuardTimeout();

private:
    std::int32_t* owner;
    std::int32_t* level;
};

// Holds a lock for a scope. A holder keeps it for a short copy only, so a lock held
// longer than the guard timeout is stuck (its words were written by someone else):
// the guard seizes it and logs a warning.
class TSpinLockGuard {
public:
    explicit TSpinLockGuard(TSpinLock& lock, unsigned flags = slfReportAbandoned);
    ~TSpinLockGuard();
    TSpinLockGuard(const TSpinLockGuard&) = delete;
    TSpinLockGuard& operator=(const TSpinLockGuard&) = delete;

private:
    TSpinLock& lock;
};

} // namespace packets
