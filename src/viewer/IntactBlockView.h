#pragma once
// A compressed event stream cut off or damaged in its block chain (a copy cut short,
// a disk that lost the tail) still holds every block before the damage. This view
// shows the stream's header and those whole blocks, followed by an open-block mark,
// so a decompressing reader reads everything up to the damage as a stream that a
// writer is still filling.
#include "packets/Streams.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace viewer {

class TIntactBlockView : public packets::TStream {
public:
    // Scans the block chain of the compressed stream at `start` in `source`. Raises
    // when not even the stream's header is there.
    TIntactBlockView(std::unique_ptr<packets::TStream> source, std::int64_t start);

    // Why the chain ends before the source does; empty when it ends at its real end
    // or at a block a writer is still filling.
    const std::string& Damage() const { return damage; }

    std::size_t Read(void* buffer, std::size_t count) override;
    void Write(const void* buffer, std::size_t count) override; // always fails
    std::int64_t Seek(std::int64_t offset, packets::TSeekOrigin origin) override;
    std::int64_t Size() const override { return size; }
    std::int64_t Position() const override { return position; }

private:
    std::unique_ptr<packets::TStream> source;
    std::int64_t start;
    std::array<std::uint8_t, 16> header{};
    std::int64_t headerSize = 12;
    std::int64_t intactEnd = 0; // in the source, after the last whole block
    std::int64_t size = 0;
    std::int64_t position = 0;
    std::string damage;
};

} // namespace viewer
