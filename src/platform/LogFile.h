#pragma once
// A text file that several processes append to under their own lock (the
// diagnostic log). Every operation reports failure instead of raising.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

class TSharedLogFile {
public:
    ~TSharedLogFile();
    TSharedLogFile(const TSharedLogFile&) = delete;
    TSharedLogFile& operator=(const TSharedLogFile&) = delete;

    // Opens for reading and writing, creating the file when missing; null on failure.
    static std::unique_ptr<TSharedLogFile> Open(const std::string& path);

    // The current size, as other processes may have changed it; -1 on failure.
    std::int64_t Size() const;
    // Writes the bytes at the current end in one write.
    bool Append(std::string_view bytes);
    // Keeps only the last `bytes` bytes of the file.
    bool KeepTail(std::int64_t bytes);
    void Flush();

private:
    explicit TSharedLogFile(int handle) : handle(handle) {}
    int handle;
};

} // namespace platform
