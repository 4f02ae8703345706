#pragma once
// Whole-file reading and the output files of the console.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

enum class TFileReadResult { Ok, OpenFailed, ReadFailed };

// Reads at most `maxLength` bytes of the file. `errorText` gets the system's text on failure.
TFileReadResult ReadWholeFile(std::string_view path, std::string& data, std::size_t maxLength,
                              std::string* errorText = nullptr);

// Reads a file that only this user may have written: a regular file (never a link)
// owned by this process's user and writable by nobody else. False with a reason
// naming the file otherwise.
bool ReadPrivateFile(std::string_view path, std::string& data, std::size_t maxLength,
                     std::string* errorText = nullptr);

// The same, but the file may also be the superuser's (a file a service wrote for everyone).
bool ReadTrustedFile(std::string_view path, std::string& data, std::size_t maxLength,
                     std::string* errorText = nullptr);

// Replaces the file at once by one holding `data` that every user may read (0644): written
// beside it under a new name, then renamed over it, so readers see the old or the new file.
bool PublishFile(std::string_view path, std::string_view data, std::string* errorText = nullptr);

// Makes `user` the owner of the file (not followed when it is a link).
bool GiveFileTo(std::string_view path, std::uint32_t user, std::string* errorText = nullptr);

// A folder of this user's own: created 0700 when missing; an existing one must be a
// folder (not a link), owned by this user, with no access for others. False with
// the reason otherwise.
bool EnsurePrivateDirectory(std::string_view path, std::string* errorText = nullptr);

// A folder where every user puts files of their own, like /tmp: created 1777 when
// missing; an existing one must be a folder (not a link) owned by this user, the
// superuser or the agent's account, and sticky when others may write it. False with
// the reason otherwise.
bool EnsureSharedDirectory(std::string_view path, std::string* errorText = nullptr);
// The same for a folder that any user may have created first: its owner may be
// anyone, but it must be sticky when others may write it.
bool EnsureStickyDirectory(std::string_view path, std::string* errorText = nullptr);

// A folder of this user that every user may enter but only this user may change
// (0755), for a service's socket: created when missing; an existing one that is not
// such a folder (a link, another user's, writable by others) is removed when this
// process may remove it, and created again. False with the reason otherwise.
bool EnsureServiceDirectory(std::string_view path, std::string* errorText = nullptr);
// Whether `path` is a folder (not a link) of `owner` that nobody else may change.
// False with the reason otherwise.
bool IsServiceDirectoryOf(std::string_view path, std::uint32_t owner,
                          std::string* errorText = nullptr);

// A file opened for reading while other processes may go on writing it.
class TFileReader {
public:
    ~TFileReader();
    TFileReader(const TFileReader&) = delete;
    TFileReader& operator=(const TFileReader&) = delete;

    // Null with the system's error text when the file cannot be opened.
    static std::unique_ptr<TFileReader> Open(std::string_view path,
                                             std::string* errorText = nullptr);
    // Reads at most `count` bytes at `offset`; 0 at the end; -1 on failure.
    std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count);
    // The current size (the file may still grow); -1 on failure.
    std::int64_t Size() const;

private:
    explicit TFileReader(int handle) : handle(handle) {}
    int handle;
};

// A file opened for writing. Other processes may read it while it is open.
class TFileWriter {
public:
    enum class TMode {
        Truncate, // created empty, replacing an existing file
        Append,   // created empty, every write goes to the file's current end
        Update,   // created when missing, the content kept
        // Files that hold a user's build: mode 0600 whatever the umask, never through a link.
        CreateNew, // created empty; fails when the name exists
        Private    // created or emptied; fails for a file of another user
    };
    ~TFileWriter();
    TFileWriter(const TFileWriter&) = delete;
    TFileWriter& operator=(const TFileWriter&) = delete;

    // Null with the system's error text when the file cannot be created.
    static std::unique_ptr<TFileWriter> Create(std::string_view path, TMode mode,
                                               std::string* errorText = nullptr);
    // Writes all bytes; false with the system's error text on failure.
    bool Write(std::string_view bytes, std::string* errorText = nullptr);
    // Writes all bytes at `offset`, leaving the file position alone (not in Append mode).
    bool WriteAt(std::int64_t offset, std::string_view bytes, std::string* errorText = nullptr);
    // Cuts or extends the file to `size` bytes.
    bool Truncate(std::int64_t size, std::string* errorText = nullptr);
    const std::string& Path() const { return path; }

private:
    TFileWriter(int handle, std::string path) : handle(handle), path(std::move(path)) {}
    int handle;
    std::string path;
};

} // namespace platform
