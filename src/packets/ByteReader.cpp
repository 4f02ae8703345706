#include "packets/ByteReader.h"

#include "core/Errors.h"

namespace packets {

void TByteReader::SetPosition(std::int64_t position) {
    // Positions before the span cannot be represented; callers check for negatives.
    pos = position <= base ? 0 : static_cast<std::size_t>(position - base);
}

std::size_t TByteReader::NarrowEnd(std::int64_t position) {
    std::size_t previous = end;
    std::int64_t relative = position - base;
    if (relative < 0)
        relative = 0;
    if (static_cast<std::uint64_t>(relative) < end)
        end = static_cast<std::size_t>(relative);
    return previous;
}

void TByteReader::ThrowReadError() {
    throw core::ERangeError("Stream read error");
}

} // namespace packets
