#include "packets/Compression.h"

#include "core/Errors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

using namespace packets;

namespace {

// A stream that is not an in-memory one, so the writer takes its copying path.
class TPlainStream : public TStream {
public:
    std::size_t Read(void* b, std::size_t n) override { return inner.Read(b, n); }
    void Write(const void* b, std::size_t n) override { inner.Write(b, n); }
    std::int64_t Seek(std::int64_t o, TSeekOrigin origin) override { return inner.Seek(o, origin); }
    std::int64_t Size() const override { return inner.Size(); }
    std::int64_t Position() const override { return inner.Position(); }
    TMemoryStream inner;
};

std::vector<std::uint8_t> BuildOutput(std::size_t size) {
    // Compiler-output-like text with some noise, so blocks compress but not trivially.
    std::mt19937 rng(7);
    std::string text;
    while (text.size() < size)
        text += "main.cpp(" + std::to_string(rng() % 5000) + "): warning C4" +
                std::to_string(rng() % 1000) + ": conversion, possible loss of data\r\n";
    return {text.begin(), text.begin() + static_cast<std::ptrdiff_t>(size)};
}

TMemoryStream CompressBytes(const std::vector<std::uint8_t>& data) {
    TMemoryStream source(data);
    TMemoryStream target;
    Compress(source, source.Size(), target);
    return target;
}

std::string ErrorOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const core::EGeneralError& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong class: ") + e.what();
    }
    return "no error";
}

TEST(CompressionTest, EmptyInputIsTheHeaderAlone) {
    TMemoryStream packed = CompressBytes({});
    const std::uint8_t expected[] = {'s', 'd', 'c', '2', 3, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(packed.Size(), 12);
    EXPECT_EQ(std::memcmp(packed.Memory(), expected, 12), 0);
    TDecompressStream reader(&packed, 0, 1, false);
    EXPECT_EQ(reader.Size(), 0);
    char c;
    EXPECT_EQ(reader.Read(&c, 1), 0u);
}

TEST(CompressionTest, BlocksSplitAtTheBlockSizeAndRoundTrip) {
    auto data = BuildOutput(CompressBlockSize + 1);
    TMemoryStream packed = CompressBytes(data);
    // Second block: U = 1.
    std::int32_t first;
    std::memcpy(&first, packed.Memory() + 12, 4);
    std::size_t second = 12 + 4 + static_cast<std::size_t>(first);
    std::int32_t b2, u2;
    std::memcpy(&b2, packed.Memory() + second, 4);
    std::memcpy(&u2, packed.Memory() + second + 4, 4);
    EXPECT_EQ(u2, 1);
    EXPECT_EQ(second + 4 + static_cast<std::size_t>(b2), packed.Bytes().size());
    EXPECT_LT(packed.Size(), static_cast<std::int64_t>(data.size()) / 2);

    TDecompressStream reader(&packed, 0, 1, false);
    EXPECT_EQ(reader.BlockCount(), 2);
    EXPECT_EQ(reader.Size(), static_cast<std::int64_t>(data.size()));
    std::vector<std::uint8_t> out(data.size());
    // Across the block boundary in one call.
    reader.SetPosition(CompressBlockSize - 10);
    ASSERT_EQ(reader.Read(out.data(), 11), 11u);
    EXPECT_EQ(std::memcmp(out.data(), data.data() + CompressBlockSize - 10, 11), 0);
    reader.SetPosition(0);
    ASSERT_EQ(reader.Read(out.data(), out.size() + 100), out.size());
    EXPECT_EQ(out, data);
    reader.Seek(-3, TSeekOrigin::soEnd);
    EXPECT_EQ(reader.Read(out.data(), 10), 3u);
}

TEST(CompressionTest, IncompressibleDataStaysWithinTheBound) {
    std::vector<std::uint8_t> data(3 * CompressBlockSize + 5);
    std::mt19937 rng(1);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng());
    TMemoryStream packed = CompressBytes(data);
    EXPECT_LE(packed.Size() - 12, CompressedBound(static_cast<std::int64_t>(data.size())));
    TDecompressStream reader(&packed, 0, 2, false);
    std::vector<std::uint8_t> out(data.size());
    reader.ReadBuffer(out.data(), out.size());
    EXPECT_EQ(out, data);
}

TEST(CompressionTest, StreamTargetGivesTheSameBytes) {
    auto data = BuildOutput(100000);
    TMemoryStream source(data);
    TPlainStream target;
    std::uint8_t lead = 0xAA;
    target.Write(&lead, 1); // the stream need not start at 0
    Compress(source, source.Size(), target);
    TMemoryStream direct = CompressBytes(data);
    ASSERT_EQ(target.inner.Size(), direct.Size() + 1);
    EXPECT_EQ(std::memcmp(target.inner.Memory() + 1, direct.Memory(), direct.Bytes().size()), 0);
    TDecompressStream reader(&target.inner, 1, 1, false);
    EXPECT_EQ(reader.Size(), 100000);
}

TEST(CompressionTest, PlaceholderBlockEndsTheData) {
    auto data = BuildOutput(CompressBlockSize + 50);
    TMemoryStream packed = CompressBytes(data);
    std::int32_t first;
    std::memcpy(&first, packed.Memory() + 12, 4);
    auto bytes = std::vector<std::uint8_t>(packed.Memory(), packed.Memory() + 12 + 4 + first);
    for (std::uint8_t b : {0xFF, 0xFF, 0xFF, 0xFF})
        bytes.push_back(b);
    TMemoryStream live(bytes);
    TDecompressStream reader(&live, 0, 1, false);
    EXPECT_EQ(reader.Size(), static_cast<std::int64_t>(CompressBlockSize));
}

TEST(CompressionTest, CorruptStreamsFailWithTheirMessages) {
    auto data = BuildOutput(5000);
    TMemoryStream good = CompressBytes(data);
    auto base = std::vector<std::uint8_t>(good.Bytes().begin(), good.Bytes().end());
    auto with = [&](auto change) {
        auto copy = base;
        change(copy);
        return copy;
    };
    auto put32 = [](std::vector<std::uint8_t>& v, std::size_t at, std::int32_t value) {
        std::memcpy(v.data() + at, &value, 4);
    };
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::string message;
    };
    const Case cases[] = {
        {with([](auto& v) { std::memcpy(v.data(), "abcd", 4); }),
         "Decompression error: Header contains an invalid signature."},
        {with([&](auto& v) { put32(v, 8, 6000); }),
         "Decompression error: Output buffer size does not match total size of source blocks."},
        {with([&](auto& v) { put32(v, 12, static_cast<std::int32_t>(v.size())); }),
         "Decompression error: Invalid source block size."},
        {with([&](auto& v) { put32(v, 12, 2); }),
         "Decompression error: Invalid source block size."},
        {with([&](auto& v) { v.pop_back(); }), "Decompression error: Invalid source block size."},
        {with([&](auto& v) { put32(v, 16, 0x7FFFFFFF); }),
         "Decompression error: Invalid source block size."},
        // Only -1 marks a block being written.
        {with([&](auto& v) { put32(v, 12, -2); }),
         "Decompression error: Invalid source block size."},
        {with([&](auto& v) {
             v.insert(v.end(), {0xFF, 0xFF});
         }),
         "Decompression error: Invalid source block size."},
    };
    for (const auto& c : cases) {
        TMemoryStream s(c.bytes);
        EXPECT_EQ(ErrorOf([&] { TDecompressStream r(&s, 0, 1, false); }), c.message);
    }
    // Damage inside the compressed bytes shows when the block is decoded.
    auto damaged = with([](auto& v) {
        for (std::size_t i = 21; i < v.size(); i += 7)
            v[i] ^= 0x5A;
    });
    TMemoryStream s(damaged);
    TDecompressStream reader(&s, 0, 1, false);
    std::vector<std::uint8_t> out(data.size());
    EXPECT_EQ(ErrorOf([&] { reader.Read(out.data(), out.size()); }),
              "Decompression error: Output buffer size mismatch.");
    EXPECT_EQ(ErrorOf([&] { reader.Write("x", 1); }), "Cannot write to decompressed stream.");
    // A method other than the one this codec decodes fails when a block is read.
    for (const std::uint8_t method : {0, 2, 4, 255}) {
        auto other = with([&](auto& v) { v[4] = method; });
        TMemoryStream source(other);
        TDecompressStream unknown(&source, 0, 1, false);
        EXPECT_EQ(ErrorOf([&] { unknown.Read(out.data(), out.size()); }),
                  "Unknown compression format (" + std::to_string(method) + ")");
    }
}

TEST(CompressionTest, PlaceholderEndsTheDataWhateverFollowsIt) {
    auto data = BuildOutput(3000);
    TMemoryStream packed = CompressBytes(data);
    std::vector<std::uint8_t> v(packed.Bytes().begin(), packed.Bytes().end());
    const std::uint8_t open[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0x00, 0x00};
    v.insert(v.end(), std::begin(open), std::end(open)); // a block half written behind it
    TMemoryStream s(v);
    TDecompressStream reader(&s, 0, 1, false);
    EXPECT_EQ(reader.Size(), 3000);
    EXPECT_EQ(reader.BlockCount(), 1);
}

// Keeps every state a reader could meet: after each write, and in the middle of each
// write longer than one size field (a reader in another process may see such a write
// half done; a single aligned 4-byte store is not torn).
class TSnapshotSink : public TMemoryCompressSink {
public:
    void WriteAt(std::int64_t offset, std::span<const std::uint8_t> bytes) override {
        for (std::size_t part : {std::size_t{1}, bytes.size() / 2, bytes.size() - 1}) {
            if (bytes.size() <= 4 || part == 0 || part >= bytes.size())
                continue;
            std::vector<std::uint8_t> state(Stream().Bytes().begin(), Stream().Bytes().end());
            auto at = static_cast<std::size_t>(offset);
            state.resize(std::max(state.size(), at + part));
            std::memcpy(state.data() + at, bytes.data(), part);
            States.push_back(std::move(state));
        }
        TMemoryCompressSink::WriteAt(offset, bytes);
        Snapshot();
    }
    void Truncate(std::int64_t size) override {
        TMemoryCompressSink::Truncate(size);
        Snapshot();
    }
    std::vector<std::vector<std::uint8_t>> States;

private:
    void Snapshot() { States.emplace_back(Stream().Bytes().begin(), Stream().Bytes().end()); }
};

std::vector<std::uint8_t> ReadAll(TDecompressStream& reader) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(reader.Size()));
    reader.SetPosition(0);
    reader.ReadBuffer(out.data(), out.size());
    return out;
}

TEST(CompressionTest, ProgressiveStreamIsReadableAtEveryMoment) {
    auto data = BuildOutput(CompressBlockSize + 70010);
    // Pieces as a build system flushes them, one longer than a block, one empty.
    const std::size_t pieces[] = {1, 5000, 0, CompressBlockSize + 10, 64999};
    const std::uint8_t lead[] = {'r', 'e', 'c'};
    TSnapshotSink sink;
    sink.TMemoryCompressSink::WriteAt(0, lead);
    std::vector<std::int64_t> totals{0};
    TCompressWriter writer(sink, 3);
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
        writer.Append(std::span(data).subspan(at, piece));
        // A piece longer than a block becomes several blocks.
        for (std::size_t block = 0; block < piece; block += CompressBlockSize)
            totals.push_back(
                static_cast<std::int64_t>(at + std::min(piece, block + CompressBlockSize)));
        at += piece;
        EXPECT_EQ(writer.Total(), static_cast<std::int64_t>(at));
    }
    ASSERT_EQ(at, data.size());
    writer.Finish();
    EXPECT_EQ(writer.End(), sink.Stream().Size());

    // Every state reads as a prefix the writer had completed, never more, never an error.
    std::int64_t last = 0;
    for (const auto& state : sink.States) {
        if (state.size() < 3 + 16)
            continue; // before the header was complete
        TMemoryStream s(state);
        TDecompressStream reader(&s, 3, 1, false);
        EXPECT_NE(std::find(totals.begin(), totals.end(), reader.Size()), totals.end())
            << reader.Size();
        EXPECT_GE(reader.Size(), last);
        last = reader.Size();
        auto got = ReadAll(reader);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    }
    EXPECT_EQ(last, static_cast<std::int64_t>(data.size()));
}

TEST(CompressionTest, RefreshIndexesBlocksAddedSinceCreation) {
    auto data = BuildOutput(300000);
    TMemoryCompressSink sink;
    TCompressWriter writer(sink, 0);
    TDecompressStream reader(&sink.Stream(), 0, 1, false);
    EXPECT_EQ(reader.Size(), 0);
    EXPECT_EQ(reader.Refresh(), 0);
    std::size_t at = 0;
    for (std::size_t piece :
         {std::size_t{100}, std::size_t{0}, std::size_t{150000}, std::size_t{149900}}) {
        writer.Append(std::span(data).subspan(at, piece));
        at += piece;
        EXPECT_EQ(reader.Refresh(), static_cast<std::int64_t>(at));
        EXPECT_EQ(reader.Size(), static_cast<std::int64_t>(at));
        auto got = ReadAll(reader);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    }
    writer.Finish();
    EXPECT_EQ(reader.Refresh(), 300000);
    EXPECT_EQ(ReadAll(reader), data);
    EXPECT_EQ(reader.BlockCount(), 3);
    // Finished: more bytes in the source are not the stream's.
    const std::uint8_t junk[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    sink.WriteAt(sink.Stream().Size(), junk);
    EXPECT_EQ(reader.Refresh(), 300000);
}

TEST(CompressionTest, RefreshOfAFinishedStreamChecksTheTotal) {
    TMemoryCompressSink sink;
    TCompressWriter writer(sink, 0);
    TDecompressStream reader(&sink.Stream(), 0, 1, false);
    auto data = BuildOutput(1000);
    writer.Append(data);
    sink.Truncate(writer.End() - 4); // the placeholder cut without the total written
    EXPECT_EQ(ErrorOf([&] { reader.Refresh(); }),
              "Decompression error: Output buffer size does not match total size of source "
              "blocks.");
}

TEST(CompressionTest, FinishedStreamEqualsTheOneShotCompression) {
    auto data = BuildOutput(2 * CompressBlockSize + 777);
    TMemoryStream oneShot = CompressBytes(data);
    struct Case {
        const char* name;
        std::vector<std::size_t> pieces;
        bool sameBlocks; // cut where the one-shot writer cuts: the very same bytes
    };
    const Case cases[] = {
        {"writer blocks", {CompressBlockSize, CompressBlockSize, 777}, true},
        {"one call", {data.size()}, true},
        {"small flushes", {40000, 262144, 1, CompressBlockSize, 0, 1000000}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TMemoryCompressSink sink;
        TCompressWriter writer(sink, 0);
        std::size_t at = 0;
        for (std::size_t piece : c.pieces) {
            piece = std::min(piece, data.size() - at);
            writer.Append(std::span(data).subspan(at, piece));
            at += piece;
        }
        writer.Append(std::span(data).subspan(at));
        writer.Finish();
        const TMemoryStream& packed = sink.Stream();
        ASSERT_GE(packed.Size(), 12);
        EXPECT_EQ(std::memcmp(packed.Memory(), oneShot.Memory(), 12), 0); // same total
        if (c.sameBlocks) {
            EXPECT_EQ(packed, oneShot);
        }
        TMemoryStream copy(std::vector<std::uint8_t>(packed.Bytes().begin(), packed.Bytes().end()));
        TDecompressStream reader(&copy, 0, 1, false);
        EXPECT_EQ(ReadAll(reader), data);
    }
}

TEST(CompressionTest, SdcThreeHeaderHasA64BitSize) {
    auto data = BuildOutput(1000);
    TMemoryStream packed = CompressBytes(data);
    std::vector<std::uint8_t> v(packed.Bytes().begin(), packed.Bytes().end());
    v[3] = '3';
    std::uint8_t high[4] = {0, 0, 0, 0};
    v.insert(v.begin() + 12, high, high + 4);
    TMemoryStream s(v);
    TDecompressStream reader(&s, 0, 1, false);
    EXPECT_EQ(reader.Size(), 1000);
}

TEST(CompressionTest, CodecKeepsTheSlotContract) {
    EXPECT_LE(codec::GetSetting(1), 32784u);
    EXPECT_LE(codec::GetSetting(2), 16u);
}

} // namespace
