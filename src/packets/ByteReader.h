#pragma once
// The one reader of outside bytes: a cursor over a byte span that refuses to read
// past its end. Positions are absolute stream positions (the span may start at
// `base` inside a larger stream) so that messages show where the reader stands.
// The end can be narrowed while a packet of known size is read.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace packets {

static_assert(std::endian::native == std::endian::little,
              "stream formats are little-endian and read by copying");

class TByteReader {
public:
    TByteReader() = default;
    explicit TByteReader(std::span<const std::uint8_t> data, std::int64_t base = 0)
        : data(data), base(base), end(data.size()) {}

    // Absolute position; may lie beyond the end after a seek.
    std::int64_t Position() const { return base + static_cast<std::int64_t>(pos); }
    void SetPosition(std::int64_t position);
    // Absolute position of the current end.
    std::int64_t EndPosition() const { return base + static_cast<std::int64_t>(end); }
    std::int64_t Size() const { return base + static_cast<std::int64_t>(data.size()); }

    std::size_t Remaining() const { return pos < end ? end - pos : 0; }
    bool CanRead(std::size_t count) const { return count <= Remaining(); }

    // Narrows the end to `position` when that lies before the current end; returns
    // the previous end for RestoreEnd.
    std::size_t NarrowEnd(std::int64_t position);
    void RestoreEnd(std::size_t previous) { end = previous; }

    // Checked reads: short data raises ERangeError "Stream read error".
    void Read(void* target, std::size_t count) {
        Require(count);
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
        return data[pos++];
    }
    void Skip(std::size_t count) {
        Require(count);
        pos += count;
    }
    // The next `count` bytes without copying.
    std::span<const std::uint8_t> Take(std::size_t count) {
        Require(count);
        auto part = data.subspan(pos, count);
        pos += count;
        return part;
    }

private:
    void Require(std::size_t count) const {
        if (count > Remaining())
            ThrowReadError();
    }
    [[noreturn]] static void ThrowReadError();

    std::span<const std::uint8_t> data;
    std::int64_t base = 0;
    std::size_t pos = 0;
    std::size_t end = 0;
};

} // namespace packets
