#pragma once
// Thread identities and the cross-process spin lock that guards control blocks in
// shared memory.
//
// A thread identity is a machine-wide 32-bit number taken from a counter in the
// global section "Tavrix_SessionData_0" (72 bytes; the counter is its first 32-bit
// word). The thread that takes one creates and holds the global mutex
// "Tavrix_SessionThread_" + the identity in 8 hex digits until it ends, so another
// process can tell that it died: the mutex is then missing, free or abandoned.
//
// The lock itself is 8 bytes in shared memory: the owner's identity (0 free, -1
// marked corrupt) and the recursion level, both little-endian 32-bit words. A lock
// whose owner died is taken over by the next locker instead of blocking forever.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace packets {

// The calling thread's identity, taken on first use.
std::uint32_t CurrentThreadIdentity();
// Gives back the calling thread's identity and the process's session section (tests
// that check for leftover objects; the next lock takes a new identity).
void ReleaseSessionObjects();
// A hold on the calling thread's identity by an object that publishes it (a channel
// naming its receiving thread). The thread's last hold gives back the identity and
// the session section (as ReleaseSessionObjects); before that, the identity stays
// valid for the other holders. Create and destroy it on the same thread.
class TThreadIdentityHold {
public:
    TThreadIdentityHold();
    ~TThreadIdentityHold();
    TThreadIdentityHold(const TThreadIdentityHold&) = delete;
    TThreadIdentityHold& operator=(const TThreadIdentityHold&) = delete;
    std::uint32_t Id() const { return id; }

private:
    std::uint32_t id;
};
// True when the thread of that identity has ended (never for the caller itself).
bool IsThreadIdentityDead(std::uint32_t identity);
// "Tavrix_SessionThread_XXXXXXXX".
std::string ThreadIdentityMutexName(std::uint32_t identity);

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

private:
    std::int32_t* owner;
    std::int32_t* level;
};

// Holds a lock for a scope.
class TSpinLockGuard {
public:
    explicit TSpinLockGuard(TSpinLock& lock, unsigned flags = slfReportAbandoned) : lock(lock) {
        lock.Lock(SpinLockInfinite, flags);
    }
    ~TSpinLockGuard();
    TSpinLockGuard(const TSpinLockGuard&) = delete;
    TSpinLockGuard& operator=(const TSpinLockGuard&) = delete;

private:
    TSpinLock& lock;
};

} // namespace packets
