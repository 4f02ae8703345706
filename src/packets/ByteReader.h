#pragma once
// The one reader of outside bytes: a cursor that refuses to read past its end.
// Positions are absolute stream positions (a span may start at `base` inside a
// larger stream) so that messages show where the reader stands. The end can be
// narrowed while a packet of known size is read.
//
// Over bytes in memory the cursor reads the span in place. Over a stream that is not
// in memory it reads the stream's bytes as it reaches them, through a small window
// (large reads go straight into their target), so that loading one record costs
// memory for that record only, however much of the stream follows it.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace packets {

class TStream;

static_assert(std::endian::native == std::endian::little,
              "stream formats are little-endian and read by copying");

class TByteReader {
public:
    TByteReader() = default;
    explicit TByteReader(std::span<const std::uint8_t> data, std::int64_t base = 0)
        : data(data), base(base), origin(base), end(base + static_cast<std::int64_t>(data.size())),
          size(end) {}
    // The bytes of `stream` from its position to its size. The reader moves the
    // stream while it reads; the caller sets the stream's position afterwards.
    explicit TByteReader(TStream& stream);
    TByteReader(const TByteReader&) = delete;
    TByteReader& operator=(const TByteReader&) = delete;
    TByteReader(TByteReader&&) = default;
    TByteReader& operator=(TByteReader&&) = default;

    // Absolute position; may lie beyond the end after a seek.
    std::int64_t Position() const { return base + static_cast<std::int64_t>(pos); }
    void SetPosition(std::int64_t position);
    // Absolute position of the current end.
    std::int64_t EndPosition() const { return end; }
    std::int64_t Size() const { return size; }

    std::size_t Remaining() const {
        const std::int64_t at = Position();
        return at < end ? static_cast<std::size_t>(end - at) : 0;
    }
    bool CanRead(std::size_t count) const { return count <= Remaining(); }

    // Narrows the end to `position` when that lies before the current end; returns
    // the previous end for RestoreEnd.
    std::int64_t NarrowEnd(std::int64_t position);
    void RestoreEnd(std::int64_t previous) { end = previous; }

    // Checked reads: short data raises ERangeError "Stream read error".
    void Read(void* target, std::size_t count) {
        Require(count);
        if (count > Buffered()) {
            ReadFromSource(target, count);
            return;
        }
        if (count)
            std::memcpy(target, data.data() + pos, count);
        pos += count;
    }
    template <typename T> T Read() {
        T value;
        Read(&value, sizeof value);
        return value;
    }
    std::uint8_t ReadByte() {
        Require(1);
        if (Buffered() < 1)
            Fill(1);
        return data[pos++];
    }
    void Skip(std::size_t count) {
        Require(count);
        if (count > Buffered())
            SetPosition(Position() + static_cast<std::int64_t>(count));
        else
            pos += count;
    }
    // The next `count` bytes without copying; valid until the next read.
    std::span<const std::uint8_t> Take(std::size_t count) {
        Require(count);
        if (count > Buffered())
            Fill(count);
        auto part = data.subspan(pos, count);
        pos += count;
        return part;
    }

private:
    std::size_t Buffered() const { return pos < data.size() ? data.size() - pos : 0; }
    void Require(std::size_t count) const {
        if (count > Remaining())
            ThrowReadError();
    }
    // Makes the next `count` bytes (within the end) lie in the window.
    void Fill(std::size_t count);
    void ReadFromSource(void* target, std::size_t count);
    // The stream ended before the size it gave.
    [[noreturn]] void SourceEnded(std::int64_t at);
    [[noreturn]] static void ThrowReadError();

    std::span<const std::uint8_t> data; // bytes from `base` on
    std::int64_t base = 0;
    std::int64_t origin = 0; // the first position the reader covers
    std::size_t pos = 0;     // relative to `base`
    std::int64_t end = 0;
    std::int64_t size = 0;
    TStream* source = nullptr;
    std::vector<std::uint8_t> window; // holds `data` when reading a stream
    std::size_t readAhead = 0;
};

} // namespace packets
