#include "packets/Compression.h"

#include "core/Errors.h"

#include <gtest/gtest.h>

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
