// Compressed streams from outside: opening, following a growing source, random reads
// and the block cache.
#include "core/Errors.h"
#include "packets/Compression.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3)
        return 0;
    int cache = 1 + data[0] % 3;
    std::size_t step = 1 + data[1] * 997u;
    // The source first holds only part of the data, as a file still being written
    // does; the rest arrives before the reader looks again.
    const std::size_t first = 2 + (size - 2) * data[1] / 255;
    packets::TMemoryStream source(std::vector<std::uint8_t>(data + 2, data + first));
    try {
        packets::TDecompressStream reader(&source, 0, cache, false);
        reader.Read(std::vector<std::uint8_t>(step).data(), step);
        source.SetPosition(source.Size());
        source.Write(data + first, size - first);
        reader.Refresh();
        std::vector<std::uint8_t> buffer(step);
        // Read forwards in steps, then once from the middle.
        while (reader.Read(buffer.data(), buffer.size()) > 0) {
        }
        reader.SetPosition(reader.Size() / 2);
        reader.Read(buffer.data(), buffer.size());
    } catch (const core::Exception&) {
    }
    return 0;
}
