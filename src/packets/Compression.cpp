#include "packets/Compression.h"

#include "core/Errors.h"
#include "packets/ByteReader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <lz4.h>
#include <string>

namespace packets {

namespace {

// Chunk format of the codec: one tag byte, then the payload.
constexpr std::uint8_t TagStored = 0; // the input as it is (incompressible data)
constexpr std::uint8_t TagLz4 = 1;    // an LZ4 block
constexpr std::size_t MaxCompressScratch = 32784;
constexpr std::size_t MaxDecompressScratch = 16;

[[noreturn]] void Fail(const std::string& message) {
    core::Raise(core::EGeneralError(message));
}

void CheckSettings() {
    if (codec::GetSetting(1) > MaxCompressScratch)
        Fail("QuickLZ compression buffer size mismatch");
    if (codec::GetSetting(2) > MaxDecompressScratch)
        Fail("QuickLZ decompression buffer size mismatch");
}

// Compresses one chunk into `out` (capacity bytes): U, then the codec's bytes.
std::size_t CompressChunk(const std::uint8_t* input, std::size_t length, std::uint8_t* out,
                          std::size_t capacity, int method) {
    if (capacity < length + CompressBlockOverhead)
        Fail("Compression error: Output buffer is too small. " + std::to_string(capacity) +
             " provided, " + std::to_string(length + CompressBlockOverhead) + " required.");
    auto u = static_cast<std::int32_t>(length);
    std::memcpy(out, &u, 4);
    if (length == 0)
        return 4;
    if (method != CompressionMethod)
        Fail("Unknown compression format (" + std::to_string(method) + ")");
    CheckSettings();
    alignas(16) static thread_local std::array<std::uint8_t, MaxCompressScratch> scratch;
    std::size_t result;
    try {
        result = codec::Compress(input, out + 4, length, scratch.data());
    } catch (...) {
        core::RethrowWrapped("QuickLZ 1.31 compression has failed");
    }
    if (result == 0)
        Fail("QuickLZ 1.31 compression has returned an unspecified error");
    if (result + 4 > capacity)
        Fail("Compression error: Output buffer overrun.");
    return result + 4;
}

std::int32_t ReadInt32(TStream& stream) {
    std::array<std::uint8_t, 4> bytes;
    stream.ReadBuffer(bytes.data(), bytes.size());
    TByteReader reader(bytes);
    return reader.Read<std::int32_t>();
}

} // namespace

// ---- codec ----

namespace codec {

std::size_t Compress(const std::uint8_t* source, std::uint8_t* destination, std::size_t length,
                     void* scratch) {
    if (length > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE))
        return 0;
    // At most length + 400 bytes: LZ4 gets length + 399 after the tag; when that is
    // not enough the data is stored.
    int packed = LZ4_compress_fast_extState(
        scratch, reinterpret_cast<const char*>(source), reinterpret_cast<char*>(destination + 1),
        static_cast<int>(length), static_cast<int>(length + 399), 1);
    if (packed > 0 && static_cast<std::size_t>(packed) < length) {
        destination[0] = TagLz4;
        return static_cast<std::size_t>(packed) + 1;
    }
    destination[0] = TagStored;
    std::memcpy(destination + 1, source, length);
    return length + 1;
}

std::size_t Decompress(const std::uint8_t* source, std::size_t sourceLength,
                       std::uint8_t* destination, std::size_t capacity, void*) {
    if (sourceLength < 1)
        return 0;
    if (source[0] == TagStored) {
        std::size_t n = sourceLength - 1;
        if (n > capacity)
            return 0;
        std::memcpy(destination, source + 1, n);
        return n;
    }
    if (source[0] != TagLz4 || sourceLength - 1 > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE) ||
        capacity > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE))
        return 0;
    int n = LZ4_decompress_safe(reinterpret_cast<const char*>(source + 1),
                                reinterpret_cast<char*>(destination),
                                static_cast<int>(sourceLength - 1), static_cast<int>(capacity));
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

std::size_t GetSetting(int setting) {
    switch (setting) {
    case 1:
        return static_cast<std::size_t>(LZ4_sizeofState());
    case 2:
        return 0;
    default:
        return 0;
    }
}

} // namespace codec

// ---- writer ----

std::int64_t CompressedBound(std::int64_t count) {
    auto block = static_cast<std::int64_t>(CompressBlockSize);
    std::int64_t full = count / block;
    std::int64_t rest = count % block;
    return full * (block + CompressBlockOverhead + 4) + rest + CompressBlockOverhead + 4;
}

std::int64_t Compress(TStream& source, std::int64_t count, TStream& target, int method) {
    if (count < 0 || count > INT32_MAX)
        core::AssertionFailed("Compressed stream input size out of range", __FILE__, __LINE__);
    std::int64_t first = target.Position();
    std::array<std::uint8_t, 12> head = {'s', 'd', 'c', '2', static_cast<std::uint8_t>(method)};
    auto total = static_cast<std::int32_t>(count);
    std::memcpy(head.data() + 8, &total, 4);
    target.WriteBuffer(head.data(), head.size());
    std::int64_t expectedEnd = target.Position() + CompressedBound(count);

    bool sourceContiguous = false;
    std::span<const std::uint8_t> sourceBytes = source.Contiguous(sourceContiguous);
    auto* memoryTarget = dynamic_cast<TMemoryStream*>(&target);
    std::vector<std::uint8_t> inBuffer, outBuffer;

    std::int64_t remaining = count;
    while (remaining > 0) {
        auto chunk = static_cast<std::size_t>(
            std::min<std::int64_t>(remaining, static_cast<std::int64_t>(CompressBlockSize)));
        const std::uint8_t* input;
        std::int64_t sourcePos = source.Position();
        if (sourceContiguous) {
            if (sourcePos < 0 || sourcePos + static_cast<std::int64_t>(chunk) >
                                     static_cast<std::int64_t>(sourceBytes.size()))
                Fail("Compression error: Input buffer is smaller than expected.");
            input = sourceBytes.data() + sourcePos;
            source.Seek(static_cast<std::int64_t>(chunk), TSeekOrigin::soCurrent);
        } else {
            inBuffer.resize(chunk);
            if (source.Read(inBuffer.data(), chunk) != chunk)
                Fail("Compression error: Input buffer is smaller than expected.");
            input = inBuffer.data();
        }

        std::int64_t blockPos = target.Position();
        std::int32_t placeholder = -1;
        target.WriteBuffer(&placeholder, 4);
        std::size_t capacity = chunk + CompressBlockOverhead;
        std::size_t written;
        if (memoryTarget) {
            // Straight into the target's memory; cut to the real end afterwards.
            auto at = static_cast<std::size_t>(blockPos + 4);
            memoryTarget->SetSize(
                std::max<std::size_t>(memoryTarget->Bytes().size(), at + capacity));
            written = CompressChunk(input, chunk, memoryTarget->Memory() + at, capacity, method);
            memoryTarget->SetSize(at + written);
        } else {
            outBuffer.resize(capacity);
            written = CompressChunk(input, chunk, outBuffer.data(), capacity, method);
            target.WriteBuffer(outBuffer.data(), written);
        }
        auto blockSize = static_cast<std::int32_t>(written);
        target.SetPosition(blockPos);
        target.WriteBuffer(&blockSize, 4);
        target.SetPosition(blockPos + 4 + blockSize);
        remaining -= static_cast<std::int64_t>(chunk);
    }
    if (target.Position() > expectedEnd)
        Fail("Compression error: Output stream has grown larger than expected.");
    return target.Position() - first;
}

// ---- progressive writer ----

void TMemoryCompressSink::WriteAt(std::int64_t offset, std::span<const std::uint8_t> bytes) {
    stream.SetPosition(offset);
    stream.WriteBuffer(bytes.data(), bytes.size());
}

TCompressWriter::TCompressWriter(TCompressSink& sink, std::int64_t start, int method)
    : sink(sink), start(start), method(method), placeholder(start + 12) {
    std::array<std::uint8_t, 16> head = {'s', 'd', 'c', '2', static_cast<std::uint8_t>(method)};
    std::int32_t open = -1;
    std::memcpy(head.data() + 12, &open, 4);
    sink.WriteAt(start, head);
}

void TCompressWriter::Append(std::span<const std::uint8_t> bytes) {
    if (finished)
        core::AssertionFailed("Append to a finished compressed stream", __FILE__, __LINE__);
    // The header's total is 32-bit.
    if (total + static_cast<std::int64_t>(bytes.size()) > INT32_MAX)
        Fail("Compression error: Stream exceeds the 2 GiB total size.");
    while (!bytes.empty()) {
        std::size_t chunk = std::min(bytes.size(), CompressBlockSize);
        std::size_t capacity = chunk + CompressBlockOverhead;
        buffer.resize(capacity + 4);
        std::size_t written = CompressChunk(bytes.data(), chunk, buffer.data(), capacity, method);
        std::int32_t next = -1;
        std::memcpy(buffer.data() + written, &next, 4);
        sink.WriteAt(placeholder + 4, std::span(buffer.data(), written + 4));
        auto blockSize = static_cast<std::int32_t>(written);
        sink.WriteAt(placeholder, std::span(reinterpret_cast<const std::uint8_t*>(&blockSize), 4));
        placeholder += 4 + static_cast<std::int64_t>(written);
        total += static_cast<std::int64_t>(chunk);
        bytes = bytes.subspan(chunk);
    }
}

void TCompressWriter::Finish() {
    if (finished)
        return;
    auto size = static_cast<std::int32_t>(total);
    sink.WriteAt(start + 8, std::span(reinterpret_cast<const std::uint8_t*>(&size), 4));
    sink.Truncate(placeholder);
    finished = true;
}

// ---- reader ----

TDecompressStream::TDecompressStream(TStream* source, std::int64_t start, int cacheBlocks,
                                     bool ownsSource, std::int64_t length)
    : source(source), ownsSource(ownsSource), start(start), fixedEnd(length >= 0),
      cacheLimit(cacheBlocks < 1 ? 1 : static_cast<std::size_t>(cacheBlocks)) {
    try {
        end = length < 0 ? source->Size() : start + length;
        source->SetPosition(start);
        std::array<std::uint8_t, 16> head{};
        source->ReadBuffer(head.data(), 12);
        TByteReader reader(std::span<const std::uint8_t>(head.data(), 12));
        auto signature = reader.Take(4);
        auto is = [&](const char* s) { return std::memcmp(signature.data(), s, 4) == 0; };
        if (is("sdc3")) {
            wideHeader = true;
            source->ReadBuffer(head.data() + 12, 4);
        } else if (!is("sdc1") && !is("sdc2")) {
            Fail("Decompression error: Header contains an invalid signature.");
        }
        scanPos = source->Position();
        // Checked when a block with data is decoded: an empty stream of any method opens.
        method = head[4];
        total = HeaderTotal();
        IndexBlocks();
        if (open)
            total = scanned;
        else if (scanned != total)
            Fail("Decompression error: Output buffer size does not match total size of source "
                 "blocks.");
        if (total < 0)
            total = 0;
    } catch (...) {
        if (ownsSource)
            delete source;
        throw;
    }
}

std::int64_t TDecompressStream::HeaderTotal() {
    source->SetPosition(start + 8);
    if (!wideHeader)
        return ReadInt32(*source);
    std::array<std::uint8_t, 8> bytes;
    source->ReadBuffer(bytes.data(), bytes.size());
    TByteReader reader(bytes);
    return reader.Read<std::int64_t>();
}

void TDecompressStream::IndexBlocks() {
    open = false;
    while (scanPos < end) {
        if (end - scanPos < 4)
            Fail("Decompression error: Invalid source block size.");
        source->SetPosition(scanPos);
        std::int32_t b = ReadInt32(*source);
        if (b == -1) {
            open = true; // a writer is filling this block
            return;
        }
        // A block holds at least its U field, and never more than one writer block.
        if (b < 4 || b > end - scanPos - 4)
            Fail("Decompression error: Invalid source block size.");
        // The codec expands at most 255-fold: a larger U cannot decode, and refusing
        // it here keeps a few hostile bytes from claiming gigabytes.
        std::int32_t u = ReadInt32(*source);
        if (u < 0 || static_cast<std::size_t>(u) > CompressBlockSize ||
            (u > 0 && static_cast<std::int64_t>(u) > 256 * (std::int64_t{b} - 4)))
            Fail("Decompression error: Invalid source block size.");
        index.push_back({scanned, scanPos});
        scanned += u;
        scanPos += 4 + b;
    }
}

std::int64_t TDecompressStream::Refresh() {
    if (!open)
        return total;
    if (!fixedEnd)
        end = source->Size(); // smaller once a finished writer has cut its placeholder
    IndexBlocks();
    // A finished writer has written the total before cutting the placeholder off.
    if (!open && scanned != HeaderTotal())
        Fail("Decompression error: Output buffer size does not match total size of source "
             "blocks.");
    total = scanned;
    return total;
}

TDecompressStream::~TDecompressStream() {
    if (ownsSource)
        delete source;
}

std::int64_t TDecompressStream::BlockLength(std::size_t block) const {
    std::int64_t next = block + 1 < index.size() ? index[block + 1].Start : total;
    return next - index[block].Start;
}

std::size_t TDecompressStream::DecodeInto(std::size_t block, std::uint8_t* target,
                                          std::size_t capacity) {
    std::int64_t from = index[block].Source;
    std::int64_t to = block + 1 < index.size() ? index[block + 1].Source : end;
    source->SetPosition(from);
    std::int32_t b = ReadInt32(*source);
    if (b < 4 || b > to - from - 4)
        Fail("Decompression error: Part has an invalid source block size.");
    // The compressed bytes: in place for a memory source, else copied once.
    bool contiguous = false;
    std::span<const std::uint8_t> whole = source->Contiguous(contiguous);
    std::span<const std::uint8_t> packed;
    auto at = from + 4;
    if (contiguous) {
        if (at + b > static_cast<std::int64_t>(whole.size()))
            Fail("Decompression error: Input buffer is smaller than expected.");
        packed = whole.subspan(static_cast<std::size_t>(at), static_cast<std::size_t>(b));
    } else {
        packedCopy.resize(static_cast<std::size_t>(b));
        if (source->Read(packedCopy.data(), packedCopy.size()) != packedCopy.size())
            Fail("Decompression error: Input buffer is smaller than expected.");
        packed = packedCopy;
    }
    TByteReader reader(packed);
    auto u = reader.Read<std::int32_t>();
    if (u < 0 || static_cast<std::uint64_t>(u) > capacity)
        Fail("Decompression error: Output buffer is too small. " + std::to_string(capacity) +
             " provided, " + std::to_string(u) + " required.");
    if (u == 0)
        return 0;
    if (method != CompressionMethod)
        Fail("Unknown compression format (" + std::to_string(method) + ")");
    CheckSettings();
    std::size_t got;
    try {
        auto compressed = reader.Take(reader.Remaining());
        got = codec::Decompress(compressed.data(), compressed.size(), target,
                                static_cast<std::size_t>(u), nullptr);
    } catch (...) {
        core::RethrowWrapped("QuickLZ 1.31 decompression has failed");
    }
    if (got != static_cast<std::size_t>(u))
        Fail("Decompression error: Output buffer size mismatch.");
    return got;
}

const TDecompressStream::TDecoded& TDecompressStream::Decode(std::size_t block) {
    auto cached = cache.find(block);
    if (cached != cache.end())
        return cached->second;
    if (cache.size() >= cacheLimit) {
        spare = std::move(cache.begin()->second);
        cache.clear();
    }
    auto length = static_cast<std::size_t>(BlockLength(block));
    TDecoded decoded = std::move(spare);
    spare = {};
    if (decoded.Capacity < length) {
        decoded.Data = std::make_unique_for_overwrite<std::uint8_t[]>(length);
        decoded.Capacity = length;
    }
    // A failed decode leaves nothing in the cache.
    decoded.Size = DecodeInto(block, decoded.Data.get(), length);
    return cache.emplace(block, std::move(decoded)).first->second;
}

std::size_t TDecompressStream::Read(void* buffer, std::size_t count) {
    if (position < 0 || position >= total || count == 0)
        return 0;
    auto left = static_cast<std::uint64_t>(total - position);
    if (count > left)
        count = static_cast<std::size_t>(left);
    auto it = std::upper_bound(index.begin(), index.end(), position,
                               [](std::int64_t p, const TBlock& b) { return p < b.Start; });
    std::size_t block = static_cast<std::size_t>(it - index.begin()) - 1;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t done = 0;
    while (done < count && block < index.size()) {
        auto offset = static_cast<std::size_t>(position - index[block].Start);
        auto length = static_cast<std::size_t>(BlockLength(block));
        if (offset == 0 && count - done >= length && length > 0 && !cache.count(block)) {
            // The whole block is wanted: decode it in place, without the cache.
            std::size_t n = DecodeInto(block, out + done, length);
            done += n;
            position += static_cast<std::int64_t>(n);
        } else if (offset < length) {
            const TDecoded& data = Decode(block);
            if (offset < data.Size) {
                std::size_t n = std::min(count - done, data.Size - offset);
                std::memcpy(out + done, data.Data.get() + offset, n);
                done += n;
                position += static_cast<std::int64_t>(n);
            }
        }
        ++block;
    }
    return done;
}

void TDecompressStream::Write(const void*, std::size_t) {
    Fail("Cannot write to decompressed stream.");
}

std::int64_t TDecompressStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    position = SeekTarget(offset, origin, position, total);
    return position;
}

} // namespace packets
