#include "platform/SharedObjects.h"

#include "platform/AsciiCase.h"
#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/ProcessControl.h"
#include "platform/Raise.h"
#include "platform/Registry.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <linux/futex.h>
#include <map>
#include <mutex>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

[[noreturn]] void RaiseErrno(const std::string& what, int code = errno) {
    platform::Raise(std::system_error(code, std::generic_category(), what));
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
    return static_cast<long>(::getuid());
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

std::string ModeText(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

// A folder that others may write must keep them from removing one's files.
void CheckSharedFolder(const std::string& dir, const struct stat& st) {
    const uid_t me = ::getuid();
    if (!S_ISDIR(st.st_mode)) {
        RaiseErrno("Object folder " + dir + " is not a folder", ENOTDIR);
    }
    if (st.st_uid != 0 && st.st_uid != me && st.st_uid != AgentUserId()) {
        RaiseErrno("Object folder " + dir + " is owned by user " + std::to_string(st.st_uid) +
                       ", not by the superuser, the agent's account or user " + std::to_string(me),
                   EPERM);
    }
    if ((st.st_mode & 022) != 0 && (st.st_mode & S_ISVTX) == 0) {
        RaiseErrno("Object folder " + dir + " is writable by others without the sticky bit (mode " +
                       ModeText(st.st_mode) + ")",
                   EPERM);
    }
}

void CheckPrivateFolder(const std::string& dir, const struct stat& st, uid_t owner) {
    if (!S_ISDIR(st.st_mode)) {
        RaiseErrno("Object folder " + dir + " is not a folder", ENOTDIR);
    }
    if (st.st_uid != owner || (st.st_mode & 07777) != 0700) {
        RaiseErrno("Object folder " + dir + " is owned by user " + std::to_string(st.st_uid) +
                       " with mode " + ModeText(st.st_mode) + "; it must belong to user " +
                       std::to_string(owner) + " with mode 0700",
                   EPERM);
    }
}

// Makes sure the folder of `session` exists with the right owner and mode. Only the
// own session's folder and the global one are created; another user's folder must
// already exist.
void EnsureDirectory(const std::string& dir, long session, bool create) {
    const std::string root = ObjectsRoot();
    struct stat st {};
    if (::lstat(root.c_str(), &st) != 0) {
        if (errno != ENOENT || !create) {
            RaiseErrno("Object folder " + root + " is missing");
        }
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(root).parent_path(), ignored);
        if (::mkdir(root.c_str(), 01777) != 0 && errno != EEXIST) {
            RaiseErrno("Failed to create object folder " + root);
        }
        if (::lstat(root.c_str(), &st) == 0 && st.st_uid == ::getuid()) {
            ::chmod(root.c_str(), 01777); // the umask must not narrow a shared folder
        }
        if (::lstat(root.c_str(), &st) != 0) {
            RaiseErrno("Failed to create object folder " + root);
        }
    }
    CheckSharedFolder(root, st);

    const bool global = session == GlobalSession;
    const uid_t owner = global ? 0 : static_cast<uid_t>(session);
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT || !create || (!global && owner != ::getuid())) {
            RaiseErrno("Object folder " + dir + " is missing");
        }
        const mode_t mode = global ? 01777 : 0700;
        if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) {
            RaiseErrno("Failed to create object folder " + dir);
        }
        if (::lstat(dir.c_str(), &st) == 0 && st.st_uid == ::getuid() && S_ISDIR(st.st_mode)) {
            ::chmod(dir.c_str(), mode);
        }
        if (::lstat(dir.c_str(), &st) != 0) {
            RaiseErrno("Failed to create object folder " + dir);
        }
    }
    if (global) {
        CheckSharedFolder(dir, st);
    } else {
        CheckPrivateFolder(dir, st, owner);
    }
}

// ---- the first page of an object file: its creator ----

constexpr std::size_t HeaderSize = 4096;
constexpr std::uint32_t HeaderMagic = 0x4F585654; // "TVXO"

struct THeader {
    std::uint32_t Magic;
    std::uint32_t Version;
    std::uint32_t CreatorPid;
    std::uint32_t Flags; // HeaderDescriptorReleased
    std::uint64_t CreatorStart;
};

// Cached per process id: a child forked without exec has a start time of its own.
std::uint64_t OwnStartTime() {
    static std::atomic<std::uint64_t> cached{0};
    static std::atomic<pid_t> cachedFor{0};
    const pid_t me = ::getpid();
    if (cachedFor.load() != me) {
        cached = ProcessStartTicks(static_cast<std::uint32_t>(me));
        cachedFor = me;
    }
    return cached;
}

// True when the file's creator still runs (a file without a readable header has
// no creator that could come back for it).
bool CreatorAlive(int fd) {
    THeader header{};
    if (::pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header) ||
        header.Magic != HeaderMagic || header.CreatorPid == 0) {
        return false;
    }
    if (header.CreatorPid == static_cast<std::uint32_t>(::getpid())) {
        return header.CreatorStart == OwnStartTime();
    }
    const std::uint64_t start = ProcessStartTicks(header.CreatorPid);
    return start != 0 && start == header.CreatorStart;
}

constexpr std::uint32_t HeaderDescriptorReleased = 1;

// True when the creator gave up its descriptor and still runs: it holds the object
// without a lock that would show it.
bool CreatorKeepsIt(int fd) {
    THeader header{};
    return ::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
           header.Magic == HeaderMagic && (header.Flags & HeaderDescriptorReleased) != 0 &&
           CreatorAlive(fd);
}

bool SameFile(int fd, const std::string& path) {
    struct stat mine {};
    struct stat named {};
    return ::fstat(fd, &mine) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           mine.st_ino == named.st_ino && mine.st_dev == named.st_dev;
}

int OpenObjectFile(const std::string& path) {
    // Never follow a link, never block on a FIFO someone put in place of an object.
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}

// Removes `path` when `fd` (open on it) has no other holder and no running creator
// keeps it without a descriptor. Keeps the exclusive lock it took only while removing.
bool RemoveIfAbandoned(int fd, const std::string& path) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    bool removed = false;
    if (!CreatorKeepsIt(fd) && SameFile(fd, path)) {
        removed = ::unlink(path.c_str()) == 0;
    }
    ::flock(fd, LOCK_SH | LOCK_NB);
    return removed;
}

constexpr std::string_view TempPrefix = ".new-";

std::size_t SweepFolder(const std::string& dir) {
    std::size_t removed = 0;
    DIR* folder = ::opendir(dir.c_str());
    if (folder == nullptr) {
        return 0;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        const std::string path = dir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        // A file being built has no creator record until its creator wrote it.
        if (name.starts_with(TempPrefix) && ::time(nullptr) - st.st_mtime < 10) {
            continue;
        }
        const int fd = OpenObjectFile(path);
        if (fd < 0) {
            continue;
        }
        if (RemoveIfAbandoned(fd, path)) {
            ++removed;
        }
        ::close(fd);
    }
    ::closedir(folder);
    return removed;
}

// A folder is scanned at most every two seconds by one process as part of a create.
void SweepBeforeCreate(const std::string& dir) {
    static std::mutex guard;
    static std::map<std::string, std::uint64_t> lastSweep;
    const std::uint64_t now = GetTickCount64();
    {
        const std::lock_guard lock(guard);
        std::uint64_t& last = lastSweep[dir];
        if (last != 0 && now - last < 2000) {
            return;
        }
        last = now;
    }
    SweepFolder(dir);
}

std::atomic<std::uint32_t> tempCounter{0};

// One holder's open object file and its mapping.
class TObjectFile {
public:
    ~TObjectFile() {
        if (map != nullptr) {
            ::munmap(map, mapSize);
        }
        int own = fd;
        if (own < 0 && !path.empty()) {
            // The descriptor was given up: look the file up again to remove it.
            own = OpenObjectFile(path);
            struct stat st {};
            if (own >= 0 && (::fstat(own, &st) != 0 || st.st_ino != inode || st.st_dev != device)) {
                ::close(own);
                own = -1;
            }
        }
        if (own < 0) {
            return;
        }
        // The last holder removes the object, unless its creator (which may hold
        // no descriptor) still runs elsewhere.
        if (::flock(own, LOCK_EX | LOCK_NB) == 0) {
            THeader header{};
            const bool mine =
                ::pread(own, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                header.CreatorPid == static_cast<std::uint32_t>(::getpid());
            if ((mine || !CreatorKeepsIt(own)) && SameFile(own, path)) {
                ::unlink(path.c_str());
            }
        }
        ::close(own);
    }

    // Opens the object, or creates it with `createSize` bytes initialised by `init`
    // when `create` is set. Null when it does not exist and `create` is not set.
    static std::unique_ptr<TObjectFile> Acquire(std::string_view name, bool create,
                                                std::size_t createSize,
                                                const std::function<void(void*)>& init,
                                                bool* existed, const TObjectOptions& options,
                                                bool allowReadOnly = false) {
        const TResolvedName resolved = ResolveName(name);
        const bool global = resolved.Session == GlobalSession;
        const std::string dir = SessionDirectory(resolved.Session);
        const uid_t me = ::getuid();
        try {
            EnsureDirectory(dir, resolved.Session, true);
        } catch (const std::system_error& e) {
            if (!create && e.code().value() == ENOENT) {
                return nullptr;
            }
            throw;
        }
        const std::string path = dir + "/" + EncodeFileName(resolved.Object);
        const mode_t fileMode = !global ? 0600 : options.ReadOnlyForOthers ? 0644 : 0666;
        if (create) {
            SweepBeforeCreate(dir);
        }
        auto ownerAccepted = [&](uid_t owner) {
            if (options.Owner) {
                return owner == *options.Owner;
            }
            if (!global) {
                return owner == static_cast<uid_t>(resolved.Session);
            }
            return owner == me || owner == AgentUserId();
        };

        // Bounded: each round either ends or has seen another process change the name.
        for (int round = 0; round < 50; ++round) {
            int fd = OpenObjectFile(path);
            bool readOnly = false;
            if (fd < 0 && errno == EACCES && allowReadOnly) {
                fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
                readOnly = fd >= 0;
            }
            if (fd < 0) {
                if (errno == ELOOP || errno == ENXIO || errno == EISDIR) {
                    RaiseErrno("Object " + std::string(name) + " (" + path +
                                   ") is not an object file",
                               EPERM);
                }
                if (errno != ENOENT) {
                    RaiseErrno("Failed to open object " + std::string(name));
                }
                if (!create) {
                    return nullptr;
                }
                auto made = CreateNew(name, path, dir, fileMode, createSize, init);
                if (!made) {
                    continue; // someone else linked the name first: open theirs
                }
                if (existed != nullptr) {
                    *existed = false;
                }
                return made;
            }
            // The path is set once the file proved to be an object of the right
            // owner: a refused file is left as it is.
            auto file = std::unique_ptr<TObjectFile>(new TObjectFile);
            file->fd = fd;
            file->readOnly = readOnly;
            struct stat st {};
            if (::fstat(fd, &st) != 0) {
                RaiseErrno("Failed to open object " + std::string(name));
            }
            if (!S_ISREG(st.st_mode)) {
                RaiseErrno("Object " + std::string(name) + " (" + path + ") is not an object file",
                           EPERM);
            }
            if (!ownerAccepted(st.st_uid)) {
                if (create && options.TakeOver && ::unlink(path.c_str()) == 0) {
                    continue;
                }
                RaiseErrno("Object " + std::string(name) + " (" + path + ") is owned by user " +
                               std::to_string(st.st_uid) + ", not by the expected owner " +
                               std::to_string(options.Owner ? *options.Owner
                                              : global      ? AgentUserId()
                                                            : resolved.Session),
                           EPERM);
            }
            file->path = path;
            if (RemoveIfAbandoned(fd, path)) {
                continue;
            }
            if (create && options.TakeOver && !CreatorAlive(fd)) {
                // Its creator ended and left holders behind: a restarted owner takes
                // the name back; the holders keep the old object.
                if (SameFile(fd, path) && ::unlink(path.c_str()) == 0) {
                    continue;
                }
            }
            if (!LockShared(fd)) {
                RaiseErrno("Object " + std::string(name) + " is locked by another process", EBUSY);
            }
            // Removed or replaced between the open and the lock: look again.
            if (!SameFile(fd, path)) {
                continue;
            }
            if (::fstat(fd, &st) != 0 || st.st_size <= static_cast<off_t>(HeaderSize)) {
                RaiseErrno("Object " + std::string(name) + " is malformed", EINVAL);
            }
            file->owner = st.st_uid;
            file->mode = st.st_mode;
            file->mode = st.st_mode;
            file->inode = st.st_ino;
            file->device = st.st_dev;
            file->Map(static_cast<std::size_t>(st.st_size) - HeaderSize, name);
            if (existed != nullptr) {
                *existed = true;
            }
            return file;
        }
        RaiseErrno("Object " + std::string(name) + " keeps changing", EAGAIN);
    }

    void* Data() const { return map; }
    std::size_t Size() const { return mapSize; }
    uid_t Owner() const { return owner; }
    bool ReadOnly() const { return readOnly; }
    // The 32-bit word at `at` in the mapping; none when the file no longer holds it.
    // A file that someone else may write is read through the descriptor: whoever may
    // write it may also cut it short, and a mapped read past its end raises SIGBUS.
    std::optional<std::uint32_t> LoadWord(const void* at) const {
        if (fd < 0 || (owner == ::geteuid() && (mode & 0022) == 0)) {
            return std::atomic_ref<std::uint32_t>(
                       *static_cast<std::uint32_t*>(const_cast<void*>(at)))
                .load(std::memory_order_acquire);
        }
        std::uint32_t value = 0;
        const auto offset = static_cast<const char*>(at) - static_cast<const char*>(map);
        if (::pread(fd, &value, sizeof value, static_cast<off_t>(HeaderSize) + offset) !=
            static_cast<ssize_t>(sizeof value)) {
            return std::nullopt;
        }
        return value;
    }
    void GiveTo(uid_t user) {
        if (::fchown(fd, user, static_cast<gid_t>(-1)) != 0) {
            RaiseErrno("Failed to hand object " + path + " to user " + std::to_string(user));
        }
        owner = user;
    }
    // Leaves the mapping in place when the handle closes (for memory that a thread's
    // robust-lock list may still point into).
    void KeepMapping() { map = nullptr; }
    void ReleaseDescriptor() {
        if (fd >= 0) {
            THeader header{};
            if (::pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header)) {
                header.Flags |= HeaderDescriptorReleased;
                ::pwrite(fd, &header, sizeof header, 0);
            }
            ::close(fd);
            fd = -1;
        }
    }
    bool Intact() const {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || st.st_ino != inode || st.st_dev != device) {
            return false;
        }
        return static_cast<std::size_t>(st.st_size) >= HeaderSize + mapSize;
    }

private:
    TObjectFile() = default;

    // A shared lock, waited for a bounded time: another user may hold an
    // exclusive one on a global object for as long as it likes.
    static bool LockShared(int fd) {
        for (int i = 0; i < 200; ++i) {
            if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
                return true;
            }
            if (errno != EWOULDBLOCK && errno != EINTR) {
                return false;
            }
            ::usleep(5000);
        }
        return false;
    }

    // Builds the object in a temporary file and links it into place. Null when
    // the name was taken meanwhile.
    static std::unique_ptr<TObjectFile> CreateNew(std::string_view name, const std::string& path,
                                                  const std::string& dir, mode_t fileMode,
                                                  std::size_t size,
                                                  const std::function<void(void*)>& init) {
        // Object names never start with "." (EncodeFileName), so temporary names
        // cannot clash with them.
        const std::string temp = dir + "/" + std::string(TempPrefix) + std::to_string(::getpid()) +
                                 "-" + std::to_string(CurrentThreadId()) + "-" +
                                 std::to_string(++tempCounter);
        auto file = std::unique_ptr<TObjectFile>(new TObjectFile);
        file->fd =
            ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, fileMode);
        if (file->fd < 0) {
            RaiseErrno("Failed to create object " + std::string(name));
        }
        file->path = temp;
        ::fchmod(file->fd, fileMode);
        const THeader header{HeaderMagic, 1, static_cast<std::uint32_t>(::getpid()), 0,
                             OwnStartTime()};
        if (::flock(file->fd, LOCK_SH) != 0 ||
            ::ftruncate(file->fd, static_cast<off_t>(HeaderSize + size)) != 0 ||
            ::pwrite(file->fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
            const int code = errno;
            ::unlink(temp.c_str());
            RaiseErrno("Failed to create object " + std::string(name), code);
        }
        try {
            file->Map(size, name);
        } catch (...) {
            ::unlink(temp.c_str());
            throw;
        }
        if (init) {
            init(file->map);
        }
        struct stat st {};
        ::fstat(file->fd, &st);
        file->owner = st.st_uid;
        file->inode = st.st_ino;
        file->device = st.st_dev;
        const int linked = ::link(temp.c_str(), path.c_str());
        const int code = errno;
        ::unlink(temp.c_str());
        file->path = path;
        if (linked != 0) {
            file->path.clear(); // the temporary file is gone: nothing to remove
            if (code == EEXIST) {
                return nullptr;
            }
            RaiseErrno("Failed to create object " + std::string(name), code);
        }
        return file;
    }

    void Map(std::size_t size, std::string_view name) {
        if (size == 0) {
            RaiseErrno("Failed to map object " + std::string(name), EINVAL);
        }
        void* p = ::mmap(nullptr, size, readOnly ? PROT_READ : PROT_READ | PROT_WRITE, MAP_SHARED,
                         fd, static_cast<off_t>(HeaderSize));
        if (p == MAP_FAILED) {
            RaiseErrno("Failed to map object " + std::string(name));
        }
        map = p;
        mapSize = size;
    }

    int fd = -1;
    bool readOnly = false;
    std::string path;
    uid_t owner = 0;
    mode_t mode = 0;
    ino_t inode = 0;
    dev_t device = 0;
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

TUserId CurrentUserId() {
    return static_cast<TUserId>(::getuid());
}

TUserId ParseUserId(std::string_view nameOrId) {
    if (!nameOrId.empty() && nameOrId.find_first_not_of("0123456789") == std::string_view::npos &&
        nameOrId.size() < 10) {
        return static_cast<TUserId>(std::stoul(std::string(nameOrId)));
    }
    const std::string name(nameOrId);
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (name.empty() ||
        ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        RaiseErrno("Unknown user \"" + name + "\"", EINVAL);
    }
    return static_cast<TUserId>(found->pw_uid);
}

TUserId AgentUserId() {
    // The environment overrides the setting (tests, a private installation).
    std::optional<std::string> setting = GetEnvVar("TAVRIX_AGENT_USER");
    if (!setting || setting->empty()) {
        // Read once: every object that a process opens asks.
        static const std::optional<std::string> configured = []() -> std::optional<std::string> {
            try {
                const auto key =
                    TRegistryKey::Open(TRegRoot::LocalMachine, "SOFTWARE\\Tavrix\\Morvek\\Agent");
                return key ? key->ReadString("ServiceUser") : std::nullopt;
            } catch (const std::exception&) {
                return std::nullopt; // unreadable settings name no account
            }
        }();
        setting = configured;
    }
    if (!setting || setting->empty()) {
        return 0;
    }
    try {
        return ParseUserId(*setting);
    } catch (const std::system_error&) {
        // An unknown account trusts nobody but the superuser.
        return 0;
    }
}

int OwnSessionNumber() {
    return static_cast<int>(OwnSession());
}

std::string OwnSessionObjectDirectory() {
    return "\\Sessions\\" + std::to_string(OwnSession()) + "\\BaseNamedObjects\\";
}

std::size_t RemoveAbandonedObjects(bool everyFolder) {
    const std::string root = ObjectsRoot();
    std::size_t removed = 0;
    if (!everyFolder) {
        removed += SweepFolder(SessionDirectory(OwnSession()));
        removed += SweepFolder(SessionDirectory(GlobalSession));
        return removed;
    }
    DIR* folder = ::opendir(root.c_str());
    if (folder == nullptr) {
        return 0;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        const bool user = name.size() > 1 && name[0] == 'u' &&
                          name.find_first_not_of("0123456789", 1) == std::string::npos;
        if (name != "global" && !user) {
            continue;
        }
        const std::string dir = root + "/" + name;
        struct stat st {};
        // A user folder is scanned only when it is what it claims to be.
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) ||
            (user && st.st_uid != static_cast<uid_t>(std::stoul(name.substr(1))))) {
            continue;
        }
        removed += SweepFolder(dir);
    }
    ::closedir(folder);
    return removed;
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
                                                       bool* existed,
                                                       const TObjectOptions& options) {
    if (size == 0) {
        RaiseErrno("Failed to create section " + std::string(name), EINVAL);
    }
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, true, size, nullptr, existed, options);
    void* data = handle->File->Data();
    const std::size_t actual = handle->File->Size();
    return std::unique_ptr<TSharedSection>(new TSharedSection(std::move(handle), data, actual));
}

std::unique_ptr<TSharedSection> TSharedSection::Open(std::string_view name,
                                                     const TObjectOptions& options) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, false, 0, nullptr, nullptr, options);
    if (!handle->File) {
        return nullptr;
    }
    void* data = handle->File->Data();
    const std::size_t actual = handle->File->Size();
    return std::unique_ptr<TSharedSection>(new TSharedSection(std::move(handle), data, actual));
}

TUserId TSharedSection::OwnerUserId() const {
    return static_cast<TUserId>(handle->File->Owner());
}

bool TSharedSection::Intact() const {
    return handle->File->Intact();
}

void TSharedSection::ReleaseDescriptor() {
    handle->File->ReleaseDescriptor();
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

// The type is read once: the word may be written by anyone who can open the event.
TEvent::TEvent(std::unique_ptr<THandle> handle, TWord* word, bool local)
    : handle(std::move(handle)), word(word), local(local),
      manual(((this->handle ? this->handle->File->LoadWord(&word->Type).value_or(0) : word->Type) &
              EventManualBit) != 0) {}

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
                                       bool* existed, const TObjectOptions& options) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(
        name, true, sizeof(TWord),
        [&](void* p) {
            auto* word = static_cast<TWord*>(p);
            word->Type = EventMagic | (manualReset ? EventManualBit : 0);
            word->State.store(initialState ? 1 : 0);
        },
        existed, options, true);
    // Only the size tells an event: anyone who may set it may also have written
    // over its type word.
    if (handle->File->Size() != sizeof(TWord)) {
        RaiseErrno("Object " + std::string(name) + " is not an event", EINVAL);
    }
    if (handle->File->ReadOnly() &&
        (handle->File->LoadWord(&static_cast<TWord*>(handle->File->Data())->Type).value_or(0) &
         EventManualBit) == 0) {
        // Waiting on an auto-reset event resets it: that needs write access.
        RaiseErrno("Event " + std::string(name) + " may not be changed by this user", EACCES);
    }
    auto* word = static_cast<TWord*>(handle->File->Data());
    return std::unique_ptr<TEvent>(new TEvent(std::move(handle), word, false));
}

std::unique_ptr<TEvent> TEvent::Open(std::string_view name, const TObjectOptions& options) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, false, 0, nullptr, nullptr, options, true);
    if (!handle->File) {
        return nullptr;
    }
    // Only the size tells an event: anyone who may set it may also have written
    // over its type word.
    if (handle->File->Size() != sizeof(TWord)) {
        RaiseErrno("Object " + std::string(name) + " is not an event", EINVAL);
    }
    if (handle->File->ReadOnly() &&
        (handle->File->LoadWord(&static_cast<TWord*>(handle->File->Data())->Type).value_or(0) &
         EventManualBit) == 0) {
        // Waiting on an auto-reset event resets it: that needs write access.
        RaiseErrno("Event " + std::string(name) + " may not be changed by this user", EACCES);
    }
    auto* word = static_cast<TWord*>(handle->File->Data());
    return std::unique_ptr<TEvent>(new TEvent(std::move(handle), word, false));
}

TUserId TEvent::OwnerUserId() const {
    return handle ? static_cast<TUserId>(handle->File->Owner()) : CurrentUserId();
}

void TEvent::GiveTo(TUserId user) {
    if (!handle) {
        RaiseErrno("A local event has no owner to change", EINVAL);
    }
    handle->File->GiveTo(static_cast<uid_t>(user));
}

bool TEvent::Intact() const {
    return !handle || handle->File->Intact();
}

bool TEvent::IsManualReset() const {
    return manual;
}

void TEvent::Set() {
    if (handle && handle->File->ReadOnly()) {
        RaiseErrno("The event may not be set by this user", EACCES);
    }
    if (word->State.exchange(1, std::memory_order_acq_rel) != 1) {
        // Wake every sleeper: only one of them consumes an auto-reset signal, and a
        // sleeper that timed out meanwhile must not swallow the wake.
        FutexWakeAll(&word->State, local);
    }
}

void TEvent::Reset() {
    if (handle && handle->File->ReadOnly()) {
        RaiseErrno("The event may not be reset by this user", EACCES);
    }
    word->State.store(0, std::memory_order_release);
}

// Any value but 0 counts as signalled, so a word someone scribbled over neither
// spins a waiter nor stays stuck.
bool TEvent::TryConsume() {
    if (IsManualReset()) {
        // A word that is gone counts as set: the event's owner has ended with it.
        return handle ? handle->File->LoadWord(&word->State).value_or(1) != 0
                      : word->State.load(std::memory_order_acquire) != 0;
    }
    return word->State.exchange(0, std::memory_order_acq_rel) != 0;
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
    const auto word =
        handle->File->LoadWord(&block->Mutex.__data.__lock).value_or(0) & FUTEX_TID_MASK;
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
    if (file.Size() != size || file.LoadWord(file.Data()) != MutexMagic) {
        RaiseErrno("Object " + std::string(name) + " is not a mutex", EINVAL);
    }
}
} // namespace

std::unique_ptr<TMutex> TMutex::Create(std::string_view name, bool initialOwner, bool* existed,
                                       const TObjectOptions& options) {
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
        existed, options);
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

std::unique_ptr<TMutex> TMutex::Open(std::string_view name, const TObjectOptions& options) {
    auto handle = std::make_unique<THandle>();
    handle->File = TObjectFile::Acquire(name, false, 0, nullptr, nullptr, options, true);
    if (!handle->File) {
        return nullptr;
    }
    CheckMutexBlock(*handle->File, name, sizeof(TBlock));
    auto* block = static_cast<TBlock*>(handle->File->Data());
    return std::unique_ptr<TMutex>(new TMutex(std::move(handle), block));
}

TMutexWaitResult TMutex::Wait(std::uint32_t timeoutMs) {
    if (handle->File->ReadOnly()) {
        RaiseErrno("The mutex may not be taken by this user", EACCES);
    }
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
    if (handle->File->ReadOnly()) {
        RaiseErrno("Failed to release mutex", EPERM);
    }
    const int rc = pthread_mutex_unlock(&block->Mutex);
    if (rc != 0) {
        RaiseErrno("Failed to release mutex", rc);
    }
}

TMutexState TMutex::QueryState() const {
    // The robust mutex's lock word holds the owner's thread id, or the owner-died
    // bit alone once the kernel has released the lock of a thread that ended.
    const std::optional<std::uint32_t> word = handle->File->LoadWord(&block->Mutex.__data.__lock);
    if (!word) {
        return TMutexState::Abandoned; // cut short: its holder can no longer hold it
    }
    const std::uint32_t bits = *word;
    if ((bits & FUTEX_TID_MASK) != 0) {
        return TMutexState::Owned;
    }
    if ((bits & FUTEX_OWNER_DIED) != 0) {
        return TMutexState::Abandoned;
    }
    return TMutexState::Free;
}

TUserId TMutex::OwnerUserId() const {
    return static_cast<TUserId>(handle->File->Owner());
}

std::uint32_t TMutex::OwnerThreadId() const {
    return block->OwnerThread.load();
}

} // namespace platform
