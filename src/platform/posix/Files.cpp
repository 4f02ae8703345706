#include "platform/Files.h"

#include "platform/SharedObjects.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
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

// Reads to the end rather than trusting the size: pipes and /proc files report 0.
bool ReadAll(int fd, std::string& data, std::size_t maxLength, std::string* errorText) {
    char buffer[65536];
    while (data.size() < maxLength) {
        const std::size_t want = std::min(sizeof buffer, maxLength - data.size());
        const ssize_t n = ::read(fd, buffer, want);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            SetError(errorText);
            data.clear();
            return false;
        }
        if (n == 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

std::string Quoted(std::string_view path) {
    // Appended piece by piece: GCC 12 at -O3 misreads `"\"" + string` as an overlapping copy.
    std::string quoted;
    quoted.reserve(path.size() + 2);
    quoted += '"';
    quoted += path;
    quoted += '"';
    return quoted;
}

bool Refuse(std::string* errorText, std::string text) {
    if (errorText != nullptr) {
        *errorText = std::move(text);
    }
    return false;
}

// Creates the folder with exactly `mode`, or checks the existing one by `check`.
template <typename Check>
bool EnsureDirectory(std::string_view path, mode_t mode, std::string* errorText, Check check) {
    const std::string dir(path);
    if (::mkdir(dir.c_str(), 0700) == 0) {
        // The umask narrows mkdir's mode; the folder is ours and empty yet.
        if (::chmod(dir.c_str(), mode) != 0) {
            SetError(errorText);
            return false;
        }
        return true;
    }
    if (errno != EEXIST) {
        return Refuse(errorText,
                      "Cannot create folder " + Quoted(dir) + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        return Refuse(errorText,
                      "Cannot check folder " + Quoted(dir) + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Refuse(errorText, "The folder " + Quoted(dir) + " is not a folder (or is a link).");
    }
    return check(dir, st);
}
} // namespace

namespace {
// Reads a regular file (never a link) owned by this user, or also by the superuser when
// `superuserToo`, and writable by nobody else.
bool ReadOwnedFile(std::string_view path, std::string& data, std::size_t maxLength,
                   std::string* errorText, bool superuserToo) {
    data.clear();
    const std::string file(path);
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        return Refuse(errorText, "Cannot open file " + Quoted(file) + ": " + std::strerror(errno));
    }
    struct stat st {};
    std::string refusal;
    if (::fstat(fd, &st) != 0) {
        refusal = "Cannot check file " + Quoted(file) + ": " + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        refusal = "The file " + Quoted(file) + " is not a regular file.";
    } else if (st.st_uid != ::geteuid() && !(superuserToo && st.st_uid == 0)) {
        refusal = "The file " + Quoted(file) + " is owned by another user (uid " +
                  std::to_string(st.st_uid) + ").";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        refusal = "The file " + Quoted(file) + " may be written by other users.";
    }
    if (!refusal.empty()) {
        ::close(fd);
        return Refuse(errorText, refusal);
    }
    const bool read = ReadAll(fd, data, maxLength, errorText);
    ::close(fd);
    return read;
}
} // namespace

bool ReadPrivateFile(std::string_view path, std::string& data, std::size_t maxLength,
                     std::string* errorText) {
    return ReadOwnedFile(path, data, maxLength, errorText, false);
}

bool ReadTrustedFile(std::string_view path, std::string& data, std::size_t maxLength,
                     std::string* errorText) {
    return ReadOwnedFile(path, data, maxLength, errorText, true);
}

bool PublishFile(std::string_view path, std::string_view data, std::string* errorText) {
    const std::string file(path);
    const std::string temp = file + ".new-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return Refuse(errorText,
                      "Cannot create file " + Quoted(temp) + ": " + std::strerror(errno));
    }
    bool written = ::fchmod(fd, 0644) == 0;
    for (std::size_t at = 0; written && at < data.size();) {
        const ssize_t n = ::write(fd, data.data() + at, data.size() - at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        at += written ? static_cast<std::size_t>(n) : 0;
    }
    const int error = errno;
    ::close(fd);
    if (!written || ::rename(temp.c_str(), file.c_str()) != 0) {
        const int reason = written ? errno : error;
        ::unlink(temp.c_str());
        return Refuse(errorText,
                      "Cannot write file " + Quoted(file) + ": " + std::strerror(reason));
    }
    return true;
}

bool GiveFileTo(std::string_view path, std::uint32_t user, std::string* errorText) {
    const std::string file(path);
    if (::lchown(file.c_str(), static_cast<uid_t>(user), static_cast<gid_t>(-1)) != 0) {
        return Refuse(errorText, "Cannot give file " + Quoted(file) + " to uid " +
                                     std::to_string(user) + ": " + std::strerror(errno));
    }
    return true;
}

bool EnsurePrivateDirectory(std::string_view path, std::string* errorText) {
    return EnsureDirectory(
        path, 0700, errorText, [&](const std::string& dir, const struct stat& st) {
            if (st.st_uid != ::geteuid()) {
                return Refuse(errorText, "The folder " + Quoted(dir) +
                                             " is owned by another user (uid " +
                                             std::to_string(st.st_uid) + ").");
            }
            if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
                return Refuse(errorText, "The folder " + Quoted(dir) +
                                             " is open to other users; it must have mode 0700.");
            }
            return true;
        });
}

namespace {
bool CheckSticky(const std::string& dir, const struct stat& st, std::string* errorText) {
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0) {
        return Refuse(errorText, "The shared folder " + Quoted(dir) +
                                     " may be written by other users but is not sticky "
                                     "(it must have mode 1777).");
    }
    return true;
}
} // namespace

bool EnsureSharedDirectory(std::string_view path, std::string* errorText) {
    return EnsureDirectory(
        path, 01777, errorText, [&](const std::string& dir, const struct stat& st) {
            if (st.st_uid != ::geteuid() && st.st_uid != 0 && st.st_uid != AgentUserId()) {
                return Refuse(errorText, "The shared folder " + Quoted(dir) +
                                             " is owned by another user (uid " +
                                             std::to_string(st.st_uid) + ").");
            }
            return CheckSticky(dir, st, errorText);
        });
}

bool EnsureStickyDirectory(std::string_view path, std::string* errorText) {
    return EnsureDirectory(path, 01777, errorText,
                           [&](const std::string& dir, const struct stat& st) {
                               return CheckSticky(dir, st, errorText);
                           });
}

bool IsServiceDirectoryOf(std::string_view path, std::uint32_t owner, std::string* errorText) {
    const std::string dir(path);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        return Refuse(errorText,
                      "Cannot check folder " + Quoted(dir) + ": " + std::strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return Refuse(errorText, "The folder " + Quoted(dir) + " is not a folder (or is a link).");
    }
    if (st.st_uid != owner) {
        return Refuse(errorText, "The folder " + Quoted(dir) + " is owned by user " +
                                     std::to_string(st.st_uid) + ", not by user " +
                                     std::to_string(owner) + ".");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return Refuse(errorText, "The folder " + Quoted(dir) + " may be changed by other users.");
    }
    return true;
}

bool EnsureServiceDirectory(std::string_view path, std::string* errorText) {
    const std::string dir(path);
    if (IsServiceDirectoryOf(dir, ::geteuid(), nullptr)) {
        return true;
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) == 0) {
        // Planted by someone else: never used, removed when the folder above allows it.
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        if (ec) {
            std::string why;
            IsServiceDirectoryOf(dir, ::geteuid(), &why);
            return Refuse(errorText, why + " It cannot be removed: " + ec.message());
        }
    }
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        return Refuse(errorText,
                      "Cannot create folder " + Quoted(dir) + ": " + std::strerror(errno));
    }
    // Only this folder's mode, not the umask, decides who may enter it.
    if (::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid()) {
        ::chmod(dir.c_str(), 0755);
    }
    return IsServiceDirectoryOf(dir, ::geteuid(), errorText);
}

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
    if (!ReadAll(fd, data, maxLength, errorText)) {
        ::close(fd);
        return TFileReadResult::ReadFailed;
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
    mode_t permissions = 0666;
    switch (mode) {
    case TMode::Append:
        flags |= O_APPEND | O_TRUNC;
        break;
    case TMode::Truncate:
        flags |= O_TRUNC;
        break;
    case TMode::Update:
        break;
    case TMode::CreateNew:
        flags |= O_EXCL | O_NOFOLLOW;
        permissions = 0600;
        break;
    case TMode::Private:
        // Emptied only after the owner check: another user's file stays as it was.
        flags |= O_NOFOLLOW | O_NONBLOCK;
        permissions = 0600;
        break;
    }
    const int fd = ::open(std::string(path).c_str(), flags, permissions);
    if (fd < 0) {
        if (errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
            Refuse(errorText, "the name is a symbolic link");
        } else {
            SetError(errorText);
        }
        return nullptr;
    }
    if (mode == TMode::CreateNew || mode == TMode::Private) {
        struct stat st {};
        std::string refusal;
        if (::fstat(fd, &st) != 0) {
            refusal = std::strerror(errno);
        } else if (!S_ISREG(st.st_mode)) {
            refusal = "not a regular file";
        } else if (st.st_uid != ::geteuid()) {
            refusal = "the file is owned by another user (uid " + std::to_string(st.st_uid) + ")";
        } else if (::fchmod(fd, 0600) != 0 || (mode == TMode::Private && ::ftruncate(fd, 0) != 0)) {
            refusal = std::strerror(errno);
        } else if (::fcntl(fd, F_SETFL, 0) != 0) {
            refusal = std::strerror(errno);
        }
        if (!refusal.empty()) {
            ::close(fd);
            Refuse(errorText, refusal);
            return nullptr;
        }
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
