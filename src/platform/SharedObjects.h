#pragma once
// Named shared objects: sections, events and mutexes that processes of one machine
// find by name.
//
// Names keep the Windows form. Win32 spellings: "Global\X" (global), "Session\n\X"
// (session n), "Local\X" or plain "X" (own session). Native spellings:
// "\BaseNamedObjects\X" (global) and "\Sessions\n\BaseNamedObjects\X" (session n).
// The own session is the user id, for the superuser too.
//
// Each object is one small file in a tmpfs directory below the namespace root
// ($TAVRIX_OBJECTS_DIR, default /dev/shm/tavrix): global/ (mode 1777, objects 0666)
// or u<n>/ (owned by user n, mode 0700, objects 0600). A file starts with a page
// that records its creator (process id and start time); the object's bytes follow,
// memory-mapped by every holder:
//   section  the mapped bytes themselves;
//   event    a 32-bit futex word plus a type word (manual or auto reset);
//   mutex    a type word, the owner's thread id and a process-shared, robust,
//            recursive pthread mutex.
// Every holder keeps a shared flock on its file. An object is created complete in a
// temporary file and linked into place, so no lock gates a folder. Whoever opens an
// object checks the owners: a user folder must belong to its user with mode 0700 and
// hold only that user's files; a global object must belong to the caller or to the
// agent's account (AgentUserId), unless the caller names the owner it expects. An
// object that nobody holds and whose creator has ended is abandoned: it is removed
// by the next creator in its folder, by a scan, or replaced by the next creator of
// its name. Failures are std::system_error with the system's error code.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

constexpr std::uint32_t InfiniteTimeout = 0xFFFFFFFFu;

// The namespace root directory.
std::string ObjectsRoot();

// A user as the system knows it (opaque).
using TUserId = std::uint32_t;
// The user this process runs as.
TUserId CurrentUserId();
// The account whose global objects and socket every client trusts: a user name or
// id in $TAVRIX_AGENT_USER (an override), else the machine setting ServiceUser
// under HKEY_LOCAL_MACHINE\SOFTWARE\Tavrix\Morvek\Agent (read once per process),
// else the superuser. An unknown name is the superuser.
TUserId AgentUserId();
// Raises EINVAL with a clear message for an unknown user name.
TUserId ParseUserId(std::string_view nameOrId);

// The own session's number: the user id.
int OwnSessionNumber();
// Native name of the own session's object directory, with a trailing "\".
std::string OwnSessionObjectDirectory();

// The file that holds the object of that name. Raises EINVAL for a malformed name.
std::string ObjectFilePath(std::string_view name);

// Removes the abandoned objects (no holder, creator ended) of the own session's
// folder and of the global folder, or of every folder of the namespace that this
// process may change. Errors are ignored; returns the number of files removed.
std::size_t RemoveAbandonedObjects(bool everyFolder = false);

// Options of Create and Open.
struct TObjectOptions {
    // The owner the object must have (a global object: by default the caller or
    // the agent's account).
    std::optional<TUserId> Owner;
    // Create: an existing object whose creator has ended, or one of a wrong owner
    // that this process may remove, is replaced by a new one (a restarted owner
    // takes its names back).
    bool TakeOver = false;
    // Create: a global object that other users may open for reading only (0644).
    // Such an event can be waited for by them (manual reset only), not set; such a
    // mutex's state can be queried by them, not taken.
    bool ReadOnlyForOthers = false;
};

class TSharedSection {
public:
    ~TSharedSection();
    TSharedSection(const TSharedSection&) = delete;
    TSharedSection& operator=(const TSharedSection&) = delete;

    // Creates the section, zero-filled, or opens the existing one (which keeps its
    // own size); `existed` tells which.
    static std::unique_ptr<TSharedSection> Create(std::string_view name, std::size_t size,
                                                  bool* existed = nullptr,
                                                  const TObjectOptions& options = {});
    // Null when no such section exists.
    static std::unique_ptr<TSharedSection> Open(std::string_view name,
                                                const TObjectOptions& options = {});

    // The user that owns the object's file.
    TUserId OwnerUserId() const;
    // False once the file has been removed, replaced or cut short by someone else.
    bool Intact() const;
    // Closes the descriptor and keeps the mapping (an owner of many sections). The
    // object then lives as long as its creator or another holder.
    void ReleaseDescriptor();

    void* Data() const { return data; }
    std::size_t Size() const { return size; }

private:
    struct THandle;
    TSharedSection(std::unique_ptr<THandle> handle, void* data, std::size_t size);
    std::unique_ptr<THandle> handle;
    void* data;
    std::size_t size;
};

class TEvent {
public:
    ~TEvent();
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    // An unnamed event private to this process.
    static std::unique_ptr<TEvent> CreateLocal(bool manualReset, bool initialState);
    // Creates or opens; an existing event keeps its type and state.
    static std::unique_ptr<TEvent> Create(std::string_view name, bool manualReset,
                                          bool initialState, bool* existed = nullptr,
                                          const TObjectOptions& options = {});
    // Null when no such event exists.
    static std::unique_ptr<TEvent> Open(std::string_view name, const TObjectOptions& options = {});

    // The user that owns the object's file (the current user for a local event).
    TUserId OwnerUserId() const;
    // Hands the event's file to `user` (only the superuser may): with
    // ReadOnlyForOthers that user alone may set it from then on.
    void GiveTo(TUserId user);
    bool Intact() const;

    // Raise EACCES on an event opened for reading only.
    void Set();
    void Reset();
    bool IsManualReset() const;
    // True when signalled within the timeout (ms, or InfiniteTimeout). An auto-reset
    // event is reset by the wait that sees it signalled, so one Set releases one waiter.
    bool Wait(std::uint32_t timeoutMs);
    // Sets `toSet` and waits on this event. An event stays signalled until reset, so
    // a signal given in answer to `toSet` is never missed.
    bool SetAndWait(TEvent& toSet, std::uint32_t timeoutMs);
    // Waits until any of the events is signalled: its index, or -1 on timeout. Events
    // are checked in order, so an earlier signalled event wins.
    static int WaitAny(std::span<TEvent* const> events, std::uint32_t timeoutMs);

private:
    struct THandle;
    struct TWord;
    TEvent(std::unique_ptr<THandle> handle, TWord* word, bool local);
    bool TryConsume();
    std::unique_ptr<THandle> handle; // null for a local event
    TWord* word;
    bool local;
    bool manual;
};

enum class TMutexState { Free, Owned, Abandoned };
enum class TMutexWaitResult { Acquired, Abandoned, TimedOut };

// A recursive mutex shared between processes. A holder that ends (its thread or its
// whole process) without releasing leaves it abandoned: the next waiter gets it with
// the result Abandoned.
class TMutex {
public:
    ~TMutex();
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    // Creates or opens; `initialOwner` takes a newly created mutex at once (it is
    // ignored when the mutex existed).
    static std::unique_ptr<TMutex> Create(std::string_view name, bool initialOwner,
                                          bool* existed = nullptr,
                                          const TObjectOptions& options = {});
    // Null when no such mutex exists.
    static std::unique_ptr<TMutex> Open(std::string_view name, const TObjectOptions& options = {});

    // The user that owns the object's file.
    TUserId OwnerUserId() const;

    // Raises EACCES on a mutex opened for reading only.
    TMutexWaitResult Wait(std::uint32_t timeoutMs);
    // Raises EPERM when the calling thread does not hold the mutex.
    void Release();
    TMutexState QueryState() const;
    // Thread id of the last owner that acquired it (0 when never owned).
    std::uint32_t OwnerThreadId() const;

private:
    struct THandle;
    struct TBlock;
    TMutex(std::unique_ptr<THandle> handle, TBlock* block);
    std::unique_ptr<THandle> handle;
    TBlock* block;
};

} // namespace platform
