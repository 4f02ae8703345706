#include "platform/SharedObjects.h"

#include "platform/AsciiCase.h"
#include "platform/Clock.h"
#include "platform/Environment.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

[[noreturn]] void RaiseErrno(const std::string& what, int code = errno) {
    throw std::system_error(code, std::generic_category(), what);
}

constexpr auto StartsWithNoCase = StartsWithTextAscii;

// Reads "<digits>\" from the front of `rest`.
bool TakeSessionNumber(std::string_view& rest, long& session) {
    std::size_t i = 0;
    session = 0;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') {
        session = session * 10 + (rest[i] - '0');
        if (session > INT_MAX) {
            return false;
        }
        ++i;
    }
    if (i == 0 || i >= rest.size() || rest[i] != '\\') {
        return false;
    }
    rest.remove_prefix(i + 1);
    return true;
}

// File names keep the object name; bytes that a file name cannot hold (and "%",
// and a leading ".", which would clash with the lock file) are written as %XX.
std::string EncodeFileName(std::string_view name) {
    static const char hex[] = "0123456789ABCDEF";
    std::string result;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '{' || c == '}' ||
                           c == ':' || (c == '.' && i > 0);
        if (plain) {
            result.push_back(static_cast<char>(c));
        } else {
            result.push_back('%');
            result.push_back(hex[c >> 4]);
            result.push_back(hex[c & 15]);
        }
    }
    return result;
}

constexpr long GlobalSession = -2;

struct TResolvedName {
    long Session; // GlobalSession or a user's session
    std::string Object;
};

long OwnSession() {
    const uid_t uid = ::getuid();
    return uid == 0 ? GlobalSession : static_cast<long>(uid);
}

TResolvedName ResolveName(std::string_view name) {
    long session = OwnSession();
    std::string_view rest = name;
    if (StartsWithNoCase(rest, "Global\\")) {
        session = GlobalSession;
        rest.remove_prefix(7);
    } else if (StartsWithNoCase(rest, "Local\\")) {
        rest.remove_prefix(6);
    } else if (StartsWithNoCase(rest, "Session\\")) {
        rest.remove_prefix(8);
        if (!TakeSessionNumber(rest, session)) {
            RaiseErrno("Invalid object name", EINVAL);
        }
    } else if (StartsWithNoCase(rest, "\\BaseNamedObjects\\")) {
        session = GlobalSession;
        rest.remove_prefix(18);
    } else if (StartsWithNoCase(rest, "\\Sessions\\")) {
        rest.remove_prefix(10);
        if (!TakeSessionNumber(rest, session) || !StartsWithNoCase(rest, "BaseNamedObjects\\")) {
            RaiseErrno("Invalid object name", EINVAL);
        }
        rest.remove_prefix(17);
    }
    if (session == 0) {
        session = GlobalSession;
    }
    if (rest.empty() || rest.find('\\') != std::string_view::npos ||
        rest.find('\0') != std::string_view::npos || rest.size() > 200) {
        RaiseErrno("Invalid object name", EINVAL);
    }
    return {session, std::string(rest)};
}

std::string SessionDirectory(long session) {
    std::string dir = ObjectsRoot();
    dir += session == GlobalSession ? "/global" : "/u" + std::to_string(session);
    return dir;
}

void EnsureDirectory(const std::string& dir, mode_t mode) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return;
    }
    const std::size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        // Parents of the namespace root are ordinary folders; the root itself is
        // shared by every user.
        EnsureDirectory(dir.substr(0, slash), dir.substr(0, slash) == ObjectsRoot() ? 01777 : 0755);
    }
    if (::mkdir(dir.c_str(), mode) != 0) {
        if (errno == EEXIST) {
            return;
        }
        RaiseErrno("Failed to create object directory " + dir);
    }
    ::chmod(dir.c_str(), mode); // the umask must not narrow a shared directory
}

// Exclusive lock of one namespace directory for the duration of a create, open or close.
class TDirectoryLock {
public:
    TDirectoryLock(const std::string& dir, mode_t mode) {
        const std::string path = dir + "/.lock";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd < 0) {
            RaiseErrno("Failed to open object directory lock " + path);
        }
        ::fchmod(fd, mode);
        while (::flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                const int code = errno;
                ::close(fd);
                RaiseErrno("Failed to lock object directory " + dir, code);
            }
        }
    }
    ~TDirectoryLock() { ::close(fd); }
    TDirectoryLock(const TDirectoryLock&) = delete;
    TDirectoryLock& operator=(const TDirectoryLock&) = delete;

private:
    int fd;
};

void FlockShared(int fd) {
    while (::flock(fd, LOCK_SH) != 0) {
        if (errno != EINTR) {
            RaiseErrno("Failed to lock object file");
        }
    }
}

// One holder's open object file and its mapping.
class TObjectFile {
public:
    ~TObjectFile() {
        if (map != nullptr) {
            ::munmap(map, mapSize);
        }
        if (fd < 0) {
            return;
        }
        try {
            TDirectoryLock lock(dir, fileMode);
            // Alone when no other holder keeps its shared lock: the object ends here.
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                struct stat mine {};
                struct stat named {};
                if (::fstat(fd, &mine) == 0 && ::stat(path.c_str(), &named) == 0 &&
                    mine.st_ino == named.st_ino && mine.st_dev == named.st_dev) {
                    ::unlink(path.c_str());
                }
            }
        } catch (...) {
            // The file stays behind and is replaced by the next creator.
        }
        ::close(fd);
    }

    // Opens the object, or creates it with `createSize` bytes initialised by `init`
    // when `create` is set. Null when it does not exist and `create` is not set.
    static std::unique_ptr<TObjectFile> Acquire(std::string_view name, bool create,
                                                std::size_t createSize,
                                                const std::function<void(void*)>& init,
                                                bool* existed) {
        const TResolvedName resolved = ResolveName(name);
        auto file = std::unique_ptr<TObjectFile>(new TObjectFile);
        file->dir = SessionDirectory(resolved.Session);
        const mode_t dirMode = resolved.Session == GlobalSession ? 01777 : 0700;
        const mode_t fileMode = resolved.Session == GlobalSession ? 0666 : 0600;
        file->fileMode = fileMode;
        file->path = file->dir + "/" + EncodeFileName(resolved.Object);
        EnsureDirectory(file->dir, dirMode);

        TDirectoryLock lock(file->dir, fileMode);
        int fd = ::open(file->path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                // Nobody holds it: left behind by a crashed process.
                ::unlink(file->path.c_str());
                ::close(fd);
                fd = -1;
            } else if (errno == EWOULDBLOCK) {
                file->fd = fd;
                FlockShared(fd);
            } else {
                const int code = errno;
                ::close(fd);
                RaiseErrno("Failed to lock object file " + file->path, code);
            }
        } else if (errno != ENOENT) {
            RaiseErrno("Failed to open object " + std::string(name));
        }

        if (file->fd >= 0) {
            struct stat st {};
            if (::fstat(file->fd, &st) != 0) {
                RaiseErrno("Failed to open object " + std::string(name));
            }
            file->Map(static_cast<std::size_t>(st.st_size), name);
            if (existed != nullptr) {
                *existed = true;
            }
            return file;
        }
        if (!create) {
            return nullptr;
        }
        file->fd = ::open(file->path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          fileMode);
        if (file->fd < 0) {
            RaiseErrno("Failed to create object " + std::string(name));
        }
        ::fchmod(file->fd, fileMode);
        FlockShared(file->fd);
        if (::ftruncate(file->fd, static_cast<off_t>(createSize)) != 0) {
            const int code = errno;
            ::unlink(file->path.c_str());
            RaiseErrno("Failed to create object " + std::string(name), code);
        }
        file->Map(createSize, name);
        if (init) {
            init(file->map);
        }
        if (existed != nullptr) {
            *existed = false;
        }
        return file;
    }

    void* Data() const { return map; }
    std::size_t Size() const { return mapSize; }
    // Leaves the mapping in place when the handle closes (for memory that a thread's
    // robust-lock list may still point into).
    void KeepMapping() { map = nullptr; }

private:
    TObjectFile() = default;

    void Map(std::size_t size, std::string_view name) {
        if (size == 0) {
            RaiseErrno("Failed to map object " + std::string(name), EINVAL);
        }
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) {
            RaiseErrno("Failed to map object " + std::string(name));
        }
        map = p;
        mapSize = size;
    }

    int fd = -1;
    std::string dir;
    mode_t fileMode = 0600;
    std::string path;
    void* map = nullptr;
    std::size_t mapSize = 0;
};

// ---- futex ----

timespec DeadlineAfter(std::uint32_t timeoutMs) {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += static_cast<time_t>(timeoutMs / 1000);
    ts.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

bool DeadlinePassed(const timespec& deadline) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// Sleeps while *word == expected, until woken or the absolute monotonic deadline.
void FutexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, bool isPrivate,
               const timespec* deadline) {
    const int op = FUTEX_WAIT_BITSET | (isPrivate ? FUTEX_PRIVATE_FLAG : 0);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, expected, deadline, nullptr,
              FUTEX_BITSET_MATCH_ANY);
}

void FutexWakeAll(std::atomic<std::uint32_t>* word, bool isPrivate) {
    const int op = FUTEX_WAKE | (isPrivate ? FUTEX_PRIVATE_FLAG : 0);
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, INT_MAX, nullptr, nullptr, 0);
}

#ifndef SYS_futex_waitv
#define SYS_futex_waitv 449
#endif

constexpr std::uint32_t FutexSizeU32 = 0x02;
constexpr std::uint32_t FutexPrivate = 128;

struct TFutexWaitv {
    std::uint64_t Val;
    std::uint64_t Uaddr;
    std::uint32_t Flags;
    std::uint32_t Reserved;
};

std::atomic<bool> waitvMissing{false};

} // namespace

std::string ObjectsRoot() {
    std::optional<std::string> root = GetEnvVar("TAVRIX_OBJECTS_DIR");
    if (!root || root->empty()) {
        return "/dev/shm/tavrix";
    }
    while (root->size() > 1 && root->back() == '/') {
        root->pop_back();
    }
    return *root;
}

int OwnSessionNumber() {
    return static_cast<int>(OwnSession());
}

std::string OwnSessionObjectDirectory() {
    const long session = OwnSession();
    if (session == GlobalSession) {
        return "\\BaseNamedObjects\\";
    }
    return "\\Sessions\\" + std::to_string(session) + "\\BaseNamedObjects\\";
}

std::string ObjectFilePath(std::string_view name) {
    const TResolvedName resolved = ResolveName(name);
    return SessionDirectory(resolved.Session) + "/" + EncodeFileName(resolved.Object);
}

// ---- sections ----

struct TSharedSection::THandle {
    std::unique_ptr<TObjectFile> File;
};

TSharedSection::TSharedSection(std::unique_ptr<THandle> handle, void* data, std::size_t size)
    : handle(std::move(handle)), data(data), size(size) {}

TSharedSection::~TSharedSection() = default;

std::unique_ptr<TSharedSection> TSharedSection::Create(std::string_view name, std::size_t size,
                                                       bool* existed) {
    if (size == 0) {
        RaiseErrno("Failed to create section " + std::string(name), EINVAL);
    }
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, true, size, nullptr, existed);
    void* data = handle->File->Data();
    const std::size_t actual = handle->File->Size();
    return std::unique_ptr<TSharedSection>(new TSharedSection(std::move(handle), data, actual));
}

std::unique_ptr<TSharedSection> TSharedSection::Open(std::string_view name) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, false, 0, nullptr, nullptr);
    if (!handle->File) {
        return nullptr;
    }
    void* data = handle->File->Data();
    const std::size_t actual = handle->File->Size();
    return std::unique_ptr<TSharedSection>(new TSharedSection(std::move(handle), data, actual));
}

// ---- events ----

namespace {
constexpr std::uint32_t EventMagic = 0x54564500; // "\0EVT"
constexpr std::uint32_t EventManualBit = 1;
} // namespace

struct TEvent::TWord {
    std::atomic<std::uint32_t> State; // 0 = not signalled, 1 = signalled
    std::uint32_t Type;               // EventMagic | EventManualBit
};

struct TEvent::THandle {
    std::unique_ptr<TObjectFile> File;
};

TEvent::TEvent(std::unique_ptr<THandle> handle, TWord* word, bool local)
    : handle(std::move(handle)), word(word), local(local) {}

TEvent::~TEvent() {
    if (local) {
        delete word;
    }
}

std::unique_ptr<TEvent> TEvent::CreateLocal(bool manualReset, bool initialState) {
    auto* word = new TWord;
    word->State.store(initialState ? 1 : 0);
    word->Type = EventMagic | (manualReset ? EventManualBit : 0);
    return std::unique_ptr<TEvent>(new TEvent(nullptr, word, true));
}

std::unique_ptr<TEvent> TEvent::Create(std::string_view name, bool manualReset, bool initialState,
                                       bool* existed) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(
        name, true, sizeof(TWord),
        [&](void* p) {
            auto* word = static_cast<TWord*>(p);
            word->Type = EventMagic | (manualReset ? EventManualBit : 0);
            word->State.store(initialState ? 1 : 0);
        },
        existed);
    if (handle->File->Size() != sizeof(TWord) ||
        (static_cast<TWord*>(handle->File->Data())->Type & ~EventManualBit) != EventMagic) {
        RaiseErrno("Object " + std::string(name) + " is not an event", EINVAL);
    }
    auto* word = static_cast<TWord*>(handle->File->Data());
    return std::unique_ptr<TEvent>(new TEvent(std::move(handle), word, false));
}

std::unique_ptr<TEvent> TEvent::Open(std::string_view name) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, false, 0, nullptr, nullptr);
    if (!handle->File) {
        return nullptr;
    }
    if (handle->File->Size() != sizeof(TWord) ||
        (static_cast<TWord*>(handle->File->Data())->Type & ~EventManualBit) != EventMagic) {
        RaiseErrno("Object " + std::string(name) + " is not an event", EINVAL);
    }
    auto* word = static_cast<TWord*>(handle->File->Data());
    return std::unique_ptr<TEvent>(new TEvent(std::move(handle), word, false));
}

bool TEvent::IsManualReset() const {
    return (word->Type & EventManualBit) != 0;
}

void TEvent::Set() {
    if (word->State.exchange(1, std::memory_order_acq_rel) == 0) {
        // Wake every sleeper: only one of them consumes an auto-reset signal, and a
        // sleeper that timed out meanwhile must not swallow the wake.
        FutexWakeAll(&word->State, local);
    }
}

void TEvent::Reset() {
    word->State.store(0, std::memory_order_release);
}

bool TEvent::TryConsume() {
    if (IsManualReset()) {
        return word->State.load(std::memory_order_acquire) == 1;
    }
    std::uint32_t expected = 1;
    return word->State.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

bool TEvent::Wait(std::uint32_t timeoutMs) {
    TEvent* self = this;
    return WaitAny(std::span<TEvent* const>(&self, 1), timeoutMs) == 0;
}

bool TEvent::SetAndWait(TEvent& toSet, std::uint32_t timeoutMs) {
    toSet.Set();
    return Wait(timeoutMs);
}

int TEvent::WaitAny(std::span<TEvent* const> events, std::uint32_t timeoutMs) {
    const bool infinite = timeoutMs == InfiniteTimeout;
    const timespec deadline = infinite ? timespec{} : DeadlineAfter(timeoutMs);
    for (;;) {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->TryConsume()) {
                return static_cast<int>(i);
            }
        }
        if (!infinite && DeadlinePassed(deadline)) {
            return -1;
        }
        if (events.size() == 1) {
            FutexWait(&events[0]->word->State, 0, events[0]->local, infinite ? nullptr : &deadline);
            continue;
        }
        if (!waitvMissing.load(std::memory_order_relaxed)) {
            TFutexWaitv waiters[8] = {};
            const std::size_t count = std::min<std::size_t>(events.size(), 8);
            for (std::size_t i = 0; i < count; ++i) {
                waiters[i].Val = 0;
                waiters[i].Uaddr = reinterpret_cast<std::uintptr_t>(&events[i]->word->State);
                waiters[i].Flags = FutexSizeU32 | (events[i]->local ? FutexPrivate : 0);
            }
            if (count == events.size()) {
                const long rc = ::syscall(SYS_futex_waitv, waiters, count, 0,
                                          infinite ? nullptr : &deadline, CLOCK_MONOTONIC);
                if (rc < 0 && errno == ENOSYS) {
                    waitvMissing.store(true, std::memory_order_relaxed);
                }
                continue;
            }
        }
        // Without a vectored wait: sleep on the first event in slices of at most 50 ms.
        timespec slice = DeadlineAfter(50);
        if (!infinite && (slice.tv_sec > deadline.tv_sec ||
                          (slice.tv_sec == deadline.tv_sec && slice.tv_nsec > deadline.tv_nsec))) {
            slice = deadline;
        }
        FutexWait(&events[0]->word->State, 0, events[0]->local, &slice);
    }
}

// ---- mutexes ----

namespace {
constexpr std::uint32_t MutexMagic = 0x54554D00; // "\0MUT"
} // namespace

struct TMutex::TBlock {
    std::uint32_t Type;
    std::atomic<std::uint32_t> OwnerThread;
    pthread_mutex_t Mutex;
};

struct TMutex::THandle {
    std::unique_ptr<TObjectFile> File;
};

TMutex::TMutex(std::unique_ptr<THandle> handle, TBlock* block)
    : handle(std::move(handle)), block(block) {}

TMutex::~TMutex() {
    // A robust mutex is linked into its owner thread's lock list, which the C
    // library and the kernel walk later: the memory must stay mapped while a thread
    // of this process holds it. The calling thread gives it up instead.
    const auto word = static_cast<std::uint32_t>(
        std::atomic_ref<int>(block->Mutex.__data.__lock).load() & FUTEX_TID_MASK);
    if (word == 0) {
        return;
    }
    if (word == CurrentThreadId()) {
        while (pthread_mutex_unlock(&block->Mutex) == 0) {
        }
        return;
    }
    struct stat st {};
    const std::string task = "/proc/self/task/" + std::to_string(word);
    if (::stat(task.c_str(), &st) == 0) {
        handle->File->KeepMapping();
    }
}

namespace {
void CheckMutexBlock(const TObjectFile& file, std::string_view name, std::size_t size) {
    if (file.Size() != size || *static_cast<const std::uint32_t*>(file.Data()) != MutexMagic) {
        RaiseErrno("Object " + std::string(name) + " is not a mutex", EINVAL);
    }
}
} // namespace

std::unique_ptr<TMutex> TMutex::Create(std::string_view name, bool initialOwner, bool* existed) {
    auto handle = std::make_unique<THandle>();
    int initError = 0;
    bool created = false;
    handle->File = TObjectFile::Acquire(
        name, true, sizeof(TBlock),
        [&](void* p) {
            auto* block = static_cast<TBlock*>(p);
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
            pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
            initError = pthread_mutex_init(&block->Mutex, &attr);
            pthread_mutexattr_destroy(&attr);
            block->OwnerThread.store(0);
            block->Type = MutexMagic;
            created = true;
        },
        existed);
    if (initError != 0) {
        RaiseErrno("Failed to create mutex " + std::string(name), initError);
    }
    CheckMutexBlock(*handle->File, name, sizeof(TBlock));
    auto* block = static_cast<TBlock*>(handle->File->Data());
    auto mutex = std::unique_ptr<TMutex>(new TMutex(std::move(handle), block));
    if (created && initialOwner) {
        mutex->Wait(InfiniteTimeout);
    }
    return mutex;
}

std::unique_ptr<TMutex> TMutex::Open(std::string_view name) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, false, 0, nullptr, nullptr);
    if (!handle->File) {
        return nullptr;
    }
    CheckMutexBlock(*handle->File, name, sizeof(TBlock));
    auto* block = static_cast<TBlock*>(handle->File->Data());
    return std::unique_ptr<TMutex>(new TMutex(std::move(handle), block));
}

TMutexWaitResult TMutex::Wait(std::uint32_t timeoutMs) {
    int rc;
    if (timeoutMs == InfiniteTimeout) {
        rc = pthread_mutex_lock(&block->Mutex);
    } else {
        const timespec deadline = DeadlineAfter(timeoutMs);
        rc = pthread_mutex_clocklock(&block->Mutex, CLOCK_MONOTONIC, &deadline);
    }
    if (rc == ETIMEDOUT) {
        return TMutexWaitResult::TimedOut;
    }
    if (rc == EOWNERDEAD) {
        pthread_mutex_consistent(&block->Mutex);
        block->OwnerThread.store(CurrentThreadId());
        return TMutexWaitResult::Abandoned;
    }
    if (rc != 0) {
        RaiseErrno("Failed to wait for mutex", rc);
    }
    block->OwnerThread.store(CurrentThreadId());
    return TMutexWaitResult::Acquired;
}

void TMutex::Release() {
    const int rc = pthread_mutex_unlock(&block->Mutex);
    if (rc != 0) {
        RaiseErrno("Failed to release mutex", rc);
    }
}

TMutexState TMutex::QueryState() const {
    // The robust mutex's lock word holds the owner's thread id, or the owner-died
    // bit alone once the kernel has released the lock of a thread that ended.
    const auto word = std::atomic_ref<int>(block->Mutex.__data.__lock).load();
    const auto bits = static_cast<std::uint32_t>(word);
    if ((bits & FUTEX_TID_MASK) != 0) {
        return TMutexState::Owned;
    }
    if ((bits & FUTEX_OWNER_DIED) != 0) {
        return TMutexState::Abandoned;
    }
    return TMutexState::Free;
}

std::uint32_t TMutex::OwnerThreadId() const {
    return block->OwnerThread.load();
}

} // namespace platform
