#include "packets/Streams.h"

#include "core/Errors.h"

#include <cstring>
#include <limits>

namespace packets {

void TStream::ReadBuffer(void* buffer, std::size_t count) {
    if (count != 0 && Read(buffer, count) != count)
        core::Raise(core::ERangeError("Stream read error"));
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
        core::Raise(core::ERangeError("Stream write error"));
    auto end = static_cast<std::size_t>(position) + count;
    if (end > bytes.size())
        bytes.resize(end);
    std::memcpy(bytes.data() + position, buffer, count);
    position = static_cast<std::int64_t>(end);
}

std::int64_t SeekTarget(std::int64_t offset, TSeekOrigin origin, std::int64_t position,
                        std::int64_t size) {
    const std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                              : origin == TSeekOrigin::soCurrent ? position
                                                                 : size;
    std::int64_t target = 0;
    if (__builtin_add_overflow(base, offset, &target)) {
        return offset > 0 ? std::numeric_limits<std::int64_t>::max()
                          : std::numeric_limits<std::int64_t>::min();
    }
    return target;
}

std::int64_t TMemoryStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    position = SeekTarget(offset, origin, position, static_cast<std::int64_t>(bytes.size()));
    return position;
}

void TMemoryStream::SetSize(std::size_t size) {
    bytes.resize(size);
    if (position > static_cast<std::int64_t>(size))
        position = static_cast<std::int64_t>(size);
}

} // namespace packets
