#pragma once
// Compressed streams: a header and independently compressed blocks, so that a reader
// can decode only the block it needs and can stop at a block still being written.
//
//   offset 0  4  signature "sdc2" (readers also accept "sdc1", and "sdc3" whose size
//                field is 64-bit, making the header 16 bytes)
//          4  1  method, 3 (the only one written or decoded)
//          5  3  zero
//          8  4  total uncompressed size, signed 32-bit
//   then blocks until the end of the data, each:
//          4  B  bytes that follow in this block; -1 while the writer fills it
//          4  U  uncompressed length of the block
//        B-4     compressed bytes of the U input bytes (absent when U = 0)
//
// The writer cuts its input into blocks of 2,064,384 bytes. The block codec sits in
// the slot of the method-3 library and keeps its contract (see CompressBlock).
//
// A progressive writer (TCompressWriter) keeps the stream readable while it grows:
// the header says 0 bytes and a placeholder (B = -1) ends the data until Finish
// writes the total and cuts the placeholder off. A block is added by writing its U,
// its compressed bytes and the next placeholder after the current placeholder, and
// only then the real B over the current placeholder.
#include "packets/Streams.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

namespace packets {

constexpr int CompressionMethod = 3;
constexpr std::size_t CompressBlockSize = 0x1F8000; // 2,064,384
constexpr std::size_t CompressBlockOverhead = 404;  // U field + codec worst case

// The method-3 codec. Compress writes at most `length` + 400 bytes and returns the
// compressed length (0 on failure); Decompress returns the decompressed length (0 when
// the data is corrupt or does not decode to exactly `capacity` bytes... see .cpp).
// Setting 1 is the compression scratch size, setting 2 the decompression scratch size.
namespace codec {
std::size_t Compress(const std::uint8_t* source, std::uint8_t* destination, std::size_t length,
                     void* scratch);
std::size_t Decompress(const std::uint8_t* source, std::size_t sourceLength,
                       std::uint8_t* destination, std::size_t capacity, void* scratch);
std::size_t GetSetting(int setting);
} // namespace codec

// Writer bound for `count` input bytes, counted from the end of the header.
std::int64_t CompressedBound(std::int64_t count);

// Writes one complete compressed stream of the next `count` bytes of `source` (read
// from its position) to `target`; returns the bytes written.
std::int64_t Compress(TStream& source, std::int64_t count, TStream& target,
                      int method = CompressionMethod);

// Where a TCompressWriter puts its bytes.
class TCompressSink {
public:
    virtual ~TCompressSink() = default;
    virtual void WriteAt(std::int64_t offset, std::span<const std::uint8_t> bytes) = 0;
    // Ends the data at `size`.
    virtual void Truncate(std::int64_t size) = 0;
};

class TMemoryCompressSink : public TCompressSink {
public:
    void WriteAt(std::int64_t offset, std::span<const std::uint8_t> bytes) override;
    void Truncate(std::int64_t size) override { stream.SetSize(static_cast<std::size_t>(size)); }
    TMemoryStream& Stream() { return stream; }

private:
    TMemoryStream stream;
};

// Writes a compressed stream block by block so that a reader opening the sink at any
// moment finds a valid stream (see the top of this file).
class TCompressWriter {
public:
    // Writes the header (total 0) and the first placeholder at `start`.
    TCompressWriter(TCompressSink& sink, std::int64_t start, int method = CompressionMethod);
    // Adds the bytes as one block (several when longer than CompressBlockSize).
    void Append(std::span<const std::uint8_t> bytes);
    // Writes the total into the header and cuts off the placeholder; nothing can be
    // appended afterwards.
    void Finish();

    std::int64_t Total() const { return total; }
    // Offset in the sink right after the data (the placeholder included while open).
    std::int64_t End() const { return finished ? placeholder : placeholder + 4; }
    bool Finished() const { return finished; }

private:
    TCompressSink& sink;
    std::int64_t start;
    int method;
    std::int64_t placeholder; // offset of the open block's size field
    std::int64_t total = 0;
    bool finished = false;
    std::vector<std::uint8_t> buffer;
};

// A read-only, random-access view of the uncompressed data of a compressed stream.
// The blocks are indexed at creation; a placeholder block ends the data, and Refresh
// indexes what a writer has added since.
class TDecompressStream : public TStream {
public:
    // `length` -1 means "to the end of the source". With `ownsSource` the stream is
    // freed with this object.
    TDecompressStream(TStream* source, std::int64_t start, int cacheBlocks, bool ownsSource,
                      std::int64_t length = -1);
    ~TDecompressStream() override;
    TDecompressStream(const TDecompressStream&) = delete;
    TDecompressStream& operator=(const TDecompressStream&) = delete;

    std::size_t Read(void* buffer, std::size_t count) override;
    void Write(const void* buffer, std::size_t count) override; // always fails
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override { return total; }
    std::int64_t Position() const override { return position; }

    int BlockCount() const { return static_cast<int>(index.size()); }
    // Indexes the blocks a writer has completed since the data last ended at a
    // placeholder, up to the source's current size (or the given length); returns
    // the new size.
    std::int64_t Refresh();

private:
    struct TBlock {
        std::int64_t Start;  // uncompressed position
        std::int64_t Source; // offset of its size field in the source
    };
    struct TDecoded {
        std::unique_ptr<std::uint8_t[]> Data;
        std::size_t Capacity = 0;
        std::size_t Size = 0;
    };
    // Decodes a block into the cache, or straight into `target` (which must hold the
    // whole block) when given.
    const TDecoded& Decode(std::size_t block);
    std::size_t DecodeInto(std::size_t block, std::uint8_t* target, std::size_t capacity);
    std::int64_t BlockLength(std::size_t block) const;
    // Indexes complete blocks from `scanPos` up to `end`.
    void IndexBlocks();
    std::int64_t HeaderTotal();

    TStream* source;
    bool ownsSource;
    std::int64_t start;
    bool fixedEnd;
    bool wideHeader = false;
    int method = CompressionMethod; // the header's compression method
    std::int64_t end;               // of the compressed data in the source
    std::int64_t total = 0;
    std::int64_t scanPos = 0; // where indexing stopped
    std::int64_t scanned = 0; // uncompressed bytes of the indexed blocks
    bool open = false;        // the data ended at a placeholder
    std::int64_t position = 0;
    std::vector<TBlock> index;
    std::size_t cacheLimit;
    std::unordered_map<std::size_t, TDecoded> cache;
    TDecoded spare;                       // a buffer of an evicted block, reused
    std::vector<std::uint8_t> packedCopy; // compressed bytes of a non-memory source
};

// 64-bit size and position over a stream that the adapter owns.
class TLargeStreamAdapter {
public:
    virtual ~TLargeStreamAdapter() = default;
    virtual std::int64_t Size() = 0;
    virtual std::int64_t Position() = 0;
    virtual void SetPosition(std::int64_t position) = 0;
    virtual void Hook() {}
    virtual TStream& Stream() = 0;
};

// A stream still being written grows: once the reader has caught up, Size looks
// again for blocks that were added since.
class TDecompressStreamAdapter : public TLargeStreamAdapter {
public:
    explicit TDecompressStreamAdapter(std::unique_ptr<TDecompressStream> stream)
        : stream(std::move(stream)) {}
    std::int64_t Size() override {
        return stream->Position() < stream->Size() ? stream->Size() : stream->Refresh();
    }
    std::int64_t Position() override { return stream->Position(); }
    void SetPosition(std::int64_t position) override { stream->SetPosition(position); }
    TStream& Stream() override { return *stream; }

private:
    std::unique_ptr<TDecompressStream> stream;
};

} // namespace packets
