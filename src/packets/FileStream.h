#pragma once
// A read-only stream over a file that another process may still be writing: its
// size is asked anew at every read.
#include "packets/Streams.h"

#include <memory>
#include <string>

namespace platform {
class TFileReader;
}

namespace packets {

class TFileStream : public TStream {
public:
    // Raises "Cannot open file "%s". <system error>" when the file cannot be opened.
    explicit TFileStream(const std::string& fileName);
    ~TFileStream() override;

    std::size_t Read(void* buffer, std::size_t count) override;
    void Write(const void* buffer, std::size_t count) override; // always fails
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override;
    std::int64_t Position() const override { return position; }

private:
    std::unique_ptr<platform::TFileReader> file;
    std::string fileName;
    std::int64_t position = 0;
};

} // namespace packets
