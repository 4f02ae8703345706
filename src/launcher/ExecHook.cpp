// libMorvekHook.so: preloaded into the processes of a build. A call that starts
// a profiled tool (its file name matches a pattern of MORVEK_TASK_TOOLS) in a
// process whose environment names the build's endpoint (MORVEK_TASK_ENDPOINT)
// starts the launcher instead:
//     <MORVEK_TASK_LAUNCHER> --tool=<the tool's file> <argv[0]> <arguments...>
// Every other call goes to the C library unchanged. The hook keeps no state and
// opens no files, works in a vfork child (stack memory only, no allocation) and
// leaves errno as the C library sets it. system() and popen() run a shell whose
// own exec calls pass through here. fexecve and execveat name the program by a
// descriptor: the file it refers to is found through /proc/self/fd and used only when
// it is the same file (device and inode) as the descriptor's; else, and for a program
// without a name (a memfd, a deleted file), the call goes through unchanged.
//
// This file stands on the C library alone: it is loaded into every program of a
// build and must not drag in anything else.
#include <alloca.h>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" char** environ;

namespace {

using TExecve = int (*)(const char*, char* const[], char* const[]);
using TSpawn = int (*)(pid_t*, const char*, const posix_spawn_file_actions_t*,
                       const posix_spawnattr_t*, char* const[], char* const[]);

TExecve RealExecve() {
    static TExecve real = nullptr;
    TExecve found = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = reinterpret_cast<TExecve>(::dlsym(RTLD_NEXT, "execve"));
        __atomic_store_n(&real, found, __ATOMIC_RELEASE);
    }
    return found;
}

TSpawn RealSpawn(bool searchPath) {
    static TSpawn real[2] = {nullptr, nullptr};
    TSpawn found = __atomic_load_n(&real[searchPath], __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = reinterpret_cast<TSpawn>(
            ::dlsym(RTLD_NEXT, searchPath ? "posix_spawnp" : "posix_spawn"));
        __atomic_store_n(&real[searchPath], found, __ATOMIC_RELEASE);
    }
    return found;
}

const char* Lookup(char* const* env, const char* name) {
    if (env == nullptr) {
        return nullptr;
    }
    const std::size_t length = std::strlen(name);
    for (; *env != nullptr; ++env) {
        if (std::strncmp(*env, name, length) == 0 && (*env)[length] == '=') {
            return *env + length + 1;
        }
    }
    return nullptr;
}

const char* FileName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// True when `name` matches one of the ":"-separated patterns of `patterns`.
bool IsProfiled(const char* name, const char* patterns) {
    char pattern[NAME_MAX + 1];
    while (*patterns != '\0') {
        const char* end = std::strchr(patterns, ':');
        const std::size_t length =
            end ? static_cast<std::size_t>(end - patterns) : std::strlen(patterns);
        if (length > 0 && length <= NAME_MAX) {
            std::memcpy(pattern, patterns, length);
            pattern[length] = '\0';
            if (::fnmatch(pattern, name, FNM_PERIOD) == 0) {
                return true;
            }
        }
        if (end == nullptr) {
            break;
        }
        patterns = end + 1;
    }
    return false;
}

bool Executable(const char* path, struct stat& st) {
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode) && ::access(path, X_OK) == 0;
}

bool Executable(const char* path) {
    struct stat st;
    return Executable(path, st);
}

// The file that a search of PATH finds for `file`, into `out` (PATH_MAX bytes).
bool Search(const char* file, char* out) {
    if (std::strchr(file, '/') != nullptr) {
        if (std::strlen(file) >= PATH_MAX) {
            return false;
        }
        std::strcpy(out, file);
        return true;
    }
    const char* path = ::getenv("PATH");
    if (path == nullptr) {
        path = "/bin:/usr/bin";
    }
    const std::size_t fileLength = std::strlen(file);
    while (true) {
        const char* end = std::strchr(path, ':');
        std::size_t length = end ? static_cast<std::size_t>(end - path) : std::strlen(path);
        const char* dir = path;
        if (length == 0) {
            dir = ".";
            length = 1;
        }
        if (length + 1 + fileLength < PATH_MAX) {
            std::memcpy(out, dir, length);
            out[length] = '/';
            std::memcpy(out + length + 1, file, fileLength + 1);
            if (Executable(out)) {
                return true;
            }
        }
        if (end == nullptr) {
            return false;
        }
        path = end + 1;
    }
}

// The launcher's arguments for a call of `file` (searched on PATH when `search`)
// with `argv` under `env`; null when the call is to go through unchanged.
// `words` has room for the argument count + 3 pointers, `tool` for PATH_MAX + 8 bytes.
const char* Rewrite(const char* file, char* const argv[], char* const env[], bool search,
                    char** words, char* tool) {
    const char* endpoint = Lookup(env, "MORVEK_TASK_ENDPOINT");
    const char* patterns = Lookup(env, "MORVEK_TASK_TOOLS");
    const char* launcher = Lookup(env, "MORVEK_TASK_LAUNCHER");
    if (file == nullptr || argv == nullptr || endpoint == nullptr || *endpoint == '\0' ||
        patterns == nullptr || launcher == nullptr || launcher[0] != '/' ||
        !IsProfiled(FileName(file), patterns)) {
        return nullptr;
    }
    static const char option[] = "--tool=";
    char* found = tool + sizeof option - 1;
    struct stat toolFile;
    if (!(search ? Search(file, found)
                 : (std::strlen(file) < PATH_MAX && std::strcpy(found, file) != nullptr)) ||
        !Executable(found, toolFile)) {
        return nullptr; // the C library reports the failure as it would
    }
    // A link to the launcher (the masquerade folder) is the launcher already. The
    // files are compared by identity: one call, where resolving both paths costs a
    // call per component on every exec of the build.
    struct stat launcherFile;
    if (::stat(launcher, &launcherFile) != 0 ||
        (toolFile.st_dev == launcherFile.st_dev && toolFile.st_ino == launcherFile.st_ino)) {
        return nullptr;
    }
    std::memcpy(tool, option, sizeof option - 1);
    std::size_t count = 0;
    words[count++] = const_cast<char*>(launcher);
    words[count++] = tool;
    for (char* const* a = argv; *a != nullptr; ++a) {
        words[count++] = *a;
    }
    if (argv[0] == nullptr) {
        words[count++] = const_cast<char*>(file);
    }
    words[count] = nullptr;
    return launcher;
}

std::size_t Count(char* const argv[]) {
    std::size_t n = 0;
    while (argv != nullptr && argv[n] != nullptr) {
        ++n;
    }
    return n;
}

int Exec(const char* file, char* const argv[], char* const env[], bool search) {
    char** words = static_cast<char**>(alloca((Count(argv) + 4) * sizeof(char*)));
    char* tool = static_cast<char*>(alloca(PATH_MAX + 8));
    if (const char* launcher = Rewrite(file, argv, env, search, words, tool)) {
        return RealExecve()(launcher, words, env);
    }
    if (!search) {
        return RealExecve()(file, argv, env);
    }
    // The C library's own search, unchanged (its errno rules included).
    using TExecvpe = int (*)(const char*, char* const[], char* const[]);
    static TExecvpe real = nullptr;
    TExecvpe found = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = reinterpret_cast<TExecvpe>(::dlsym(RTLD_NEXT, "execvpe"));
        __atomic_store_n(&real, found, __ATOMIC_RELEASE);
    }
    return found(file, argv, env);
}

int Spawn(pid_t* pid, const char* file, const posix_spawn_file_actions_t* actions,
          const posix_spawnattr_t* attributes, char* const argv[], char* const env[], bool search) {
    char** words = static_cast<char**>(alloca((Count(argv) + 4) * sizeof(char*)));
    char* tool = static_cast<char*>(alloca(PATH_MAX + 8));
    if (const char* launcher = Rewrite(file, argv, env, search, words, tool)) {
        return RealSpawn(false)(pid, launcher, actions, attributes, words, env);
    }
    return RealSpawn(search)(pid, file, actions, attributes, argv, env);
}

template <typename T> T RealFunction(const char* name) {
    // One slot per function: each template instance has its own.
    static T real = nullptr;
    T found = __atomic_load_n(&real, __ATOMIC_ACQUIRE);
    if (found == nullptr) {
        found = reinterpret_cast<T>(::dlsym(RTLD_NEXT, name));
        __atomic_store_n(&real, found, __ATOMIC_RELEASE);
    }
    return found;
}
using TFexecve = int (*)(int, char* const[], char* const[]);
using TExecveat = int (*)(int, const char*, char* const[], char* const[], int);

// The path of the file open as `fd`, into `out` (PATH_MAX bytes); false when it has
// none that names the same file.
bool PathOfDescriptor(int fd, char* out) {
    if (fd < 0) {
        return false;
    }
    char link[32] = "/proc/self/fd/";
    char digits[16];
    int n = 0;
    for (int rest = fd; n == 0 || rest > 0; rest /= 10) {
        digits[n++] = static_cast<char>('0' + rest % 10);
    }
    std::size_t at = std::strlen(link);
    while (n > 0) {
        link[at++] = digits[--n];
    }
    link[at] = '\0';
    const ssize_t length = ::readlink(link, out, PATH_MAX - 1);
    if (length <= 0 || out[0] != '/') {
        return false;
    }
    out[length] = '\0';
    struct stat byDescriptor;
    struct stat byPath;
    return ::fstat(fd, &byDescriptor) == 0 && ::stat(out, &byPath) == 0 &&
           byDescriptor.st_dev == byPath.st_dev && byDescriptor.st_ino == byPath.st_ino;
}

// The path execveat would run, into `out` (PATH_MAX bytes); false when there is none
// the hook can use.
bool ExecveatPath(int dirfd, const char* path, int flags, char* out) {
    if (path == nullptr) {
        return false;
    }
    if (path[0] == '\0') {
        return (flags & AT_EMPTY_PATH) != 0 && PathOfDescriptor(dirfd, out);
    }
    const std::size_t length = std::strlen(path);
    if (path[0] == '/' || dirfd == AT_FDCWD) {
        if (length >= PATH_MAX) {
            return false;
        }
        std::memcpy(out, path, length + 1);
    } else {
        if (!PathOfDescriptor(dirfd, out)) {
            return false;
        }
        const std::size_t dir = std::strlen(out);
        if (dir + 1 + length >= PATH_MAX) {
            return false;
        }
        out[dir] = '/';
        std::memcpy(out + dir + 1, path, length + 1);
    }
    // A final symbolic link that the call may not follow fails in the kernel as asked.
    struct stat st;
    return (flags & AT_SYMLINK_NOFOLLOW) == 0 || (::lstat(out, &st) == 0 && !S_ISLNK(st.st_mode));
}

// The launcher instead of the program at `path` when it is a profiled tool; else -1
// with errno untouched, and the caller makes the original call.
int ExecResolved(const char* path, char* const argv[], char* const env[]) {
    char** words = static_cast<char**>(alloca((Count(argv) + 4) * sizeof(char*)));
    char* tool = static_cast<char*>(alloca(PATH_MAX + 8));
    const int saved = errno;
    if (const char* launcher = Rewrite(path, argv, env, false, words, tool)) {
        return RealExecve()(launcher, words, env);
    }
    errno = saved;
    return -1;
}

// The arguments of an execl-style call, up to the null, into `words`.
std::size_t CountList(const char* first, va_list list) {
    std::size_t n = first ? 1 : 0;
    if (first) {
        while (va_arg(list, const char*) != nullptr) {
            ++n;
        }
    }
    return n;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) int execve(const char* path, char* const argv[],
                                                  char* const envp[]) {
    return Exec(path, argv, envp, false);
}

__attribute__((visibility("default"))) int fexecve(int fd, char* const argv[], char* const envp[]) {
    char* path = static_cast<char*>(alloca(PATH_MAX));
    const int saved = errno;
    if (PathOfDescriptor(fd, path)) {
        ExecResolved(path, argv, envp);
    }
    errno = saved;
    return RealFunction<TFexecve>("fexecve")(fd, argv, envp);
}

__attribute__((visibility("default"))) int
execveat(int dirfd, const char* pathname, char* const argv[], char* const envp[], int flags) {
    char* path = static_cast<char*>(alloca(PATH_MAX));
    const int saved = errno;
    if (ExecveatPath(dirfd, pathname, flags, path)) {
        ExecResolved(path, argv, envp);
    }
    errno = saved;
    return RealFunction<TExecveat>("execveat")(dirfd, pathname, argv, envp, flags);
}

__attribute__((visibility("default"))) int execv(const char* path, char* const argv[]) {
    return Exec(path, argv, environ, false);
}

__attribute__((visibility("default"))) int execvp(const char* file, char* const argv[]) {
    return Exec(file, argv, environ, true);
}

__attribute__((visibility("default"))) int execvpe(const char* file, char* const argv[],
                                                   char* const envp[]) {
    return Exec(file, argv, envp, true);
}

#define RAVEL_LIST_ARGUMENTS(first, envOut)                                                        \
    va_list count;                                                                                 \
    va_start(count, first);                                                                        \
    const std::size_t n = CountList(first, count);                                                 \
    va_end(count);                                                                                 \
    char** words = static_cast<char**>(alloca((n + 1) * sizeof(char*)));                           \
    va_list list;                                                                                  \
    va_start(list, first);                                                                         \
    for (std::size_t i = 0; i < n; ++i) {                                                          \
        words[i] = const_cast<char*>(i == 0 ? first : va_arg(list, const char*));                  \
    }                                                                                              \
    words[n] = nullptr;                                                                            \
    if (envOut) {                                                                                  \
        if (n > 0) {                                                                               \
            (void)va_arg(list, const char*);                                                       \
        }                                                                                          \
        *(envOut) = va_arg(list, char* const*);                                                    \
    }                                                                                              \
    va_end(list);

__attribute__((visibility("default"))) int execl(const char* path, const char* arg, ...) {
    RAVEL_LIST_ARGUMENTS(arg, static_cast<char* const**>(nullptr))
    return Exec(path, words, environ, false);
}

__attribute__((visibility("default"))) int execlp(const char* file, const char* arg, ...) {
    RAVEL_LIST_ARGUMENTS(arg, static_cast<char* const**>(nullptr))
    return Exec(file, words, environ, true);
}

__attribute__((visibility("default"))) int execle(const char* path, const char* arg, ...) {
    char* const* env = nullptr;
    RAVEL_LIST_ARGUMENTS(arg, &env)
    return Exec(path, words, env, false);
}

__attribute__((visibility("default"))) int posix_spawn(pid_t* pid, const char* path,
                                                       const posix_spawn_file_actions_t* actions,
                                                       const posix_spawnattr_t* attributes,
                                                       char* const argv[], char* const envp[]) {
    return Spawn(pid, path, actions, attributes, argv, envp, false);
}

__attribute__((visibility("default"))) int posix_spawnp(pid_t* pid, const char* file,
                                                        const posix_spawn_file_actions_t* actions,
                                                        const posix_spawnattr_t* attributes,
                                                        char* const argv[], char* const envp[]) {
    return Spawn(pid, file, actions, attributes, argv, envp, true);
}

} // extern "C"
