#include "packets/FileStream.h"

#include "core/Errors.h"
#include "platform/Files.h"

namespace packets {

TFileStream::TFileStream(const std::string& name) : fileName(name) {
    std::string error;
    file = platform::TFileReader::Open(name, &error);
    if (!file) {
        core::Raise(core::EOSError("Cannot open file \"" + name + "\". " + error, 0));
    }
}

TFileStream::~TFileStream() = default;

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
    if (position < 0 || count == 0) {
        return 0;
    }
    const std::int64_t n = file->ReadAt(position, buffer, count);
    if (n < 0) {
        core::Raise(core::EOSError("Stream read error: " + fileName, 0));
    }
    position += n;
    return static_cast<std::size_t>(n);
}

void TFileStream::Write(const void*, std::size_t) {
    core::Raise(core::EGeneralError("Stream write error: " + fileName + " is open for reading"));
}

std::int64_t TFileStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    position = SeekTarget(offset, origin, position, Size());
    return position;
}

std::int64_t TFileStream::Size() const {
    return file->Size();
}

} // namespace packets
