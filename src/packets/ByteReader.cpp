#include "packets/ByteReader.h"

#include "core/Errors.h"
#include "packets/Streams.h"

#include <algorithm>

namespace packets {

namespace {
// What a reader of a stream reads ahead of the bytes it needs: little at first, as a
// record is often small and the stream goes on, and twice as much at every refill.
constexpr std::size_t FirstReadAhead = 16;
constexpr std::size_t MaxReadAhead = 64 * 1024;
} // namespace

TByteReader::TByteReader(TStream& stream)
    : base(stream.Position()), origin(base), end(std::max(base, stream.Size())), size(end),
      source(&stream), readAhead(FirstReadAhead) {}

void TByteReader::SetPosition(std::int64_t position) {
    if (source && (position < base || position > base + static_cast<std::int64_t>(data.size()))) {
        // Outside the window: it is read again from there when needed.
        base = std::max(position, origin);
        pos = 0;
        data = {};
        return;
    }
    // Positions before the span cannot be represented; callers check for negatives.
    pos = position <= base ? 0 : static_cast<std::size_t>(position - base);
}

std::int64_t TByteReader::NarrowEnd(std::int64_t position) {
    const std::int64_t previous = end;
    end = std::min(end, std::max(position, origin));
    return previous;
}

void TByteReader::Fill(std::size_t count) {
    if (!source)
        ThrowReadError();
    const std::int64_t at = Position();
    const std::size_t kept = Buffered();
    if (kept)
        std::memmove(window.data(), window.data() + pos, kept);
    // Up to the size the stream gave, never less than asked for (Require checked it).
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(std::max(count, readAhead)), size - at));
    readAhead = std::min(2 * readAhead, MaxReadAhead);
    window.resize(want);
    source->SetPosition(at + static_cast<std::int64_t>(kept));
    std::size_t got = kept;
    while (got < want) {
        const std::size_t n = source->Read(window.data() + got, want - got);
        if (n == 0)
            break;
        got += n;
    }
    window.resize(got);
    base = at;
    pos = 0;
    data = window;
    if (got < count)
        SourceEnded(at + static_cast<std::int64_t>(got));
}

void TByteReader::ReadFromSource(void* target, std::size_t count) {
    if (count <= MaxReadAhead) {
        Fill(count);
        std::memcpy(target, data.data() + pos, count);
        pos += count;
        return;
    }
    if (!source)
        ThrowReadError();
    // Large: what the window holds, then straight from the stream.
    auto* out = static_cast<std::uint8_t*>(target);
    std::size_t got = Buffered();
    if (got)
        std::memcpy(out, data.data() + pos, got);
    const std::int64_t at = Position();
    source->SetPosition(at + static_cast<std::int64_t>(got));
    while (got < count) {
        const std::size_t n = source->Read(out + got, count - got);
        if (n == 0)
            SourceEnded(at + static_cast<std::int64_t>(got));
        got += n;
    }
    base = at + static_cast<std::int64_t>(count);
    pos = 0;
    data = {};
    window.clear();
}

void TByteReader::SourceEnded(std::int64_t at) {
    size = at;
    end = std::min(end, at);
    ThrowReadError();
}

void TByteReader::ThrowReadError() {
    core::Raise(core::ERangeError("Stream read error"));
}

} // namespace packets
