#include "packets/Streams.h"

#include "core/Errors.h"

#include <cstring>

namespace packets {

void TStream::ReadBuffer(void* buffer, std::size_t count) {
    if (count != 0 && Read(buffer, count) != count)
        throw core::ERangeError("Stream read error");
}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
    auto size = static_cast<std::int64_t>(bytes.size());
    if (position < 0 || position >= size || count == 0)
        return 0;
    auto available = static_cast<std::size_t>(size - position);
    if (count > available)
        count = available;
    std::memcpy(buffer, bytes.data() + position, count);
    position += static_cast<std::int64_t>(count);
    return count;
}

void TMemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0)
        return;
    if (position < 0)
        throw core::ERangeError("Stream write error");
    auto end = static_cast<std::size_t>(position) + count;
    if (end > bytes.size())
        bytes.resize(end);
    std::memcpy(bytes.data() + position, buffer, count);
    position = static_cast<std::int64_t>(end);
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    switch (origin) {
    case TSeekOrigin::soBeginning:
        position = offset;
        break;
    case TSeekOrigin::soCurrent:
        position += offset;
        break;
    case TSeekOrigin::soEnd:
        position = static_cast<std::int64_t>(bytes.size()) + offset;
        break;
    }
    return position;
}

void TMemoryStream::SetSize(std::size_t size) {
    bytes.resize(size);
    if (position > static_cast<std::int64_t>(size))
        position = static_cast<std::int64_t>(size);
}

} // namespace packets
