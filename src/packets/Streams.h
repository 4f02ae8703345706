#pragma once
// Byte streams with a 64-bit position: the abstract stream the packet format is
// written to and read from, and the growable in-memory stream.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace packets {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

// The position a seek asks for; saturates instead of overflowing.
std::int64_t SeekTarget(std::int64_t offset, TSeekOrigin origin, std::int64_t position,
                        std::int64_t size);

class TStream {
public:
    virtual ~TStream() = default;

    // Reads up to `count` bytes; returns the number read (0 at the end).
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    virtual void Write(const void* buffer, std::size_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) = 0;
    virtual std::int64_t Size() const = 0;
    virtual std::int64_t Position() const = 0;
    // The whole content when it lies contiguous in memory, else an empty span
    // with `available` false.
    virtual std::span<const std::uint8_t> Contiguous(bool& available) const {
        available = false;
        return {};
    }

    void SetPosition(std::int64_t position) { Seek(position, TSeekOrigin::soBeginning); }
    // Exactly `count` bytes or "Stream read error" / "Stream write error".
    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count) { Write(buffer, count); }
    template <typename T> void WriteValue(const T& value) { Write(&value, sizeof value); }
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<std::uint8_t> bytes) : bytes(std::move(bytes)) {}

    std::size_t Read(void* buffer, std::size_t count) override;
    void Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override { return static_cast<std::int64_t>(bytes.size()); }
    std::int64_t Position() const override { return position; }
    std::span<const std::uint8_t> Contiguous(bool& available) const override {
        available = true;
        return bytes;
    }

    // Resizing keeps the content up to the new size; new bytes are zero.
    void SetSize(std::size_t size);
    void Clear() {
        bytes.clear();
        position = 0;
    }
    std::uint8_t* Memory() { return bytes.data(); }
    const std::uint8_t* Memory() const { return bytes.data(); }
    std::span<const std::uint8_t> Bytes() const { return bytes; }
    std::string_view Text() const {
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
    bool operator==(const TMemoryStream& other) const { return bytes == other.bytes; }

private:
    std::vector<std::uint8_t> bytes;
    std::int64_t position = 0;
};

} // namespace packets
