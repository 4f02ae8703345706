#include "platform/ProcessAncestry.h"

#include "platform/posix/ProcessDescriptors.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// The name and parent of `pid` from /proc/<pid>/stat: "pid (name) state ppid ...",
// where the name may hold blanks and parentheses and so ends at the last ')'.
bool ReadNameAndParent(std::uint32_t pid, std::string& name, std::uint32_t& parent) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[512];
    const ssize_t got = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (got <= 0) {
        return false;
    }
    text[got] = '\0';
    const char* open = std::strchr(text, '(');
    const char* close = std::strrchr(text, ')');
    if (open == nullptr || close == nullptr || close < open || close[1] != ' ' ||
        close[2] == '\0' || close[3] != ' ') {
        return false;
    }
    name.assign(open + 1, close);
    char* end = nullptr;
    const unsigned long value = std::strtoul(close + 4, &end, 10);
    if (end == close + 4) {
        return false;
    }
    parent = static_cast<std::uint32_t>(value);
    return true;
}

} // namespace

std::vector<TAncestor> Ancestors(int limit) {
    std::vector<TAncestor> result;
    auto pid = static_cast<std::uint32_t>(::getppid());
    while (pid > 1 && static_cast<int>(result.size()) < limit) {
        TAncestor ancestor;
        ancestor.Pid = pid;
        std::uint32_t parent = 0;
        if (!ReadNameAndParent(pid, ancestor.Name, parent)) {
            break;
        }
        result.push_back(std::move(ancestor));
        pid = parent;
    }
    return result;
}

bool ProcessHolds(std::uint32_t pid, const TFileIdentity& file) {
    return AnyDescriptorOf(pid, [&](int folder, const char* name) {
        struct stat st {};
        return ::fstatat(folder, name, &st, 0) == 0 &&
               static_cast<std::uint64_t>(st.st_dev) == file.Device &&
               static_cast<std::uint64_t>(st.st_ino) == file.Inode;
    });
}

std::optional<TFileIdentity> IdentityOfProcessStream(std::uint32_t pid, int stream) {
    if (stream < 0 || stream > 2) {
        return std::nullopt;
    }
    return IdentityOf("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(stream));
}

} // namespace platform
