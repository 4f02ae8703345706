#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
void SetError(std::string* errorText) {
    if (errorText != nullptr) {
        *errorText = std::strerror(errno);
    }
}

// Writes all bytes at `offset`, or at the file position when it is negative.
bool WriteAll(int handle, std::string_view bytes, std::int64_t offset, std::string* errorText) {
    while (!bytes.empty()) {
        const ssize_t n =
            offset < 0 ? ::write(handle, bytes.data(), bytes.size())
                       : ::pwrite(handle, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = EIO;
            }
            SetError(errorText);
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
        if (offset >= 0) {
            offset += n;
        }
    }
    return true;
}
} // namespace

TFileReadResult ReadWholeFile(std::string_view path, std::string& data, std::size_t maxLength,
                              std::string* errorText) {
    data.clear();
    const int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetError(errorText);
        return TFileReadResult::OpenFailed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
        }
        SetError(errorText);
        ::close(fd);
        return TFileReadResult::ReadFailed;
    }
    // Read to the end rather than trusting the size: pipes and /proc files report 0.
    char buffer[65536];
    while (data.size() < maxLength) {
        const std::size_t want = std::min(sizeof buffer, maxLength - data.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            SetError(errorText);
            ::close(fd);
            data.clear();
            return TFileReadResult::ReadFailed;
        }
        if (n == 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return TFileReadResult::Ok;
}

TFileReader::~TFileReader() {
    ::close(handle);
}

std::unique_ptr<TFileReader> TFileReader::Open(std::string_view path, std::string* errorText) {
    const int fd = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetError(errorText);
        return nullptr;
    }
    return std::unique_ptr<TFileReader>(new TFileReader(fd));
}

std::int64_t TFileReader::ReadAt(std::int64_t offset, void* buffer, std::size_t count) {
    for (;;) {
        const ssize_t n = ::pread(handle, buffer, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n;
    }
}

std::int64_t TFileReader::Size() const {
    struct stat st {};
    return ::fstat(handle, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

TFileWriter::~TFileWriter() {
    ::close(handle);
}

std::unique_ptr<TFileWriter> TFileWriter::Create(std::string_view path, TMode mode,
                                                 std::string* errorText) {
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC;
    if (mode == TMode::Append) {
        flags |= O_APPEND | O_TRUNC;
    } else if (mode == TMode::Truncate) {
        flags |= O_TRUNC;
    }
    const int fd = ::open(std::string(path).c_str(), flags, 0666);
    if (fd < 0) {
        SetError(errorText);
        return nullptr;
    }
    return std::unique_ptr<TFileWriter>(new TFileWriter(fd, std::string(path)));
}

bool TFileWriter::Write(std::string_view bytes, std::string* errorText) {
    return WriteAll(handle, bytes, -1, errorText);
}

bool TFileWriter::WriteAt(std::int64_t offset, std::string_view bytes, std::string* errorText) {
    return WriteAll(handle, bytes, offset, errorText);
}

bool TFileWriter::Truncate(std::int64_t size, std::string* errorText) {
    while (::ftruncate(handle, static_cast<off_t>(size)) != 0) {
        if (errno != EINTR) {
            SetError(errorText);
            return false;
        }
    }
    return true;
}

} // namespace platform
