#include "platform/LogFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

TSharedLogFile::~TSharedLogFile() {
    ::close(handle);
}

std::unique_ptr<TSharedLogFile> TSharedLogFile::Open(const std::string& path) {
    // The log may hold the environment: it is this user's alone, whatever the umask.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ::fchmod(fd, 0600) != 0 || ::fcntl(fd, F_SETFL, 0) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<TSharedLogFile>(new TSharedLogFile(fd));
}

std::int64_t TSharedLogFile::Size() const {
    struct stat st {};
    if (::fstat(handle, &st) != 0) {
        return -1;
    }
    return st.st_size;
}

bool TSharedLogFile::Append(std::string_view bytes) {
    // Not O_APPEND: trimming rewrites the file from its start with positioned writes.
    std::int64_t offset = Size();
    if (offset < 0) {
        return false;
    }
    while (!bytes.empty()) {
        const ssize_t n = ::pwrite(handle, bytes.data(), bytes.size(), offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        offset += n;
    }
    return true;
}

bool TSharedLogFile::KeepTail(std::int64_t bytes) {
    const std::int64_t size = Size();
    if (size < 0) {
        return false;
    }
    if (size <= bytes) {
        return true;
    }
    std::vector<char> tail(static_cast<std::size_t>(bytes));
    std::size_t done = 0;
    while (done < tail.size()) {
        const ssize_t n = ::pread(handle, tail.data() + done, tail.size() - done,
                                  size - bytes + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    done = 0;
    while (done < tail.size()) {
        const ssize_t n =
            ::pwrite(handle, tail.data() + done, tail.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return ::ftruncate(handle, bytes) == 0;
}

void TSharedLogFile::Flush() {
    ::fdatasync(handle);
}

} // namespace platform
