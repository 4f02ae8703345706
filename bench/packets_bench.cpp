// Hot paths of the record engine: request save+load, loading a long compact event
// stream, and the compressed-stream writer and reader against raw LZ4.
#include "packets/Compression.h"
#include "packets/PacketStream.h"
#include "records/BuildPackets.h"
#include "records/MonitorEvents.h"
#include "records/Registration.h"

#include <benchmark/benchmark.h>
#include <lz4.h>

#include <random>

using namespace packets;
using namespace records;

namespace {

void RegisterAll() {
    static bool done = [] {
        RegisterAllPacketClasses();
        return true;
    }();
    (void)done;
}

void FillRequest(TBuildCommandPacket& r) {
    r.BuildID = core::NewGuid();
    r.SetFlag(TBuildFlag::Attach);
    r.SetFlag(TBuildFlag::Monitor);
    r.BuildClass = "VC16DE";
    r.Caption = "app";
    r.PrimaryFilename = "/home/user/src/app/app.sln";
    r.EnvBlock = std::string(3000, 'e');
    r.CompilerParamsAdd.Add("/O2");
    r.ForcedEnv.Add("CL=/MP");
    r.RavelconCommandLine = "ravelcon app.sln /build \"Release|x64\"";
    for (int i = 0; i < 20; ++i)
        r.ActiveProjects.Add(std::make_unique<TBuildCommandProjectPacket>(
            "project" + std::to_string(i), "Release|x64",
            "src/p" + std::to_string(i) + ".vcxproj"));
}

void BM_BuildCommandSaveLoad(benchmark::State& state) {
    RegisterAll();
    TBuildCommandPacket request;
    FillRequest(request);
    TMemoryStream stream;
    for (auto _ : state) {
        stream.SetSize(0);
        request.SaveToStream(stream);
        stream.SetPosition(0);
        auto loaded = TPacket::CreateFromStream(stream);
        benchmark::DoNotOptimize(loaded);
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["bytes"] = static_cast<double>(stream.Size());
}
BENCHMARK(BM_BuildCommandSaveLoad);

// A compact stream of mixed monitor events, as a build writes them: output lines,
// task begin and end, and counters.
const TMemoryStream& EventStream(int count) {
    static TMemoryStream stream = [count] {
        RegisterAll();
        TMemoryStream s;
        TPacketSaveContext context;
        TMonitorEventOutputPacket output;
        TMonitorEventBeginStepPacket begin;
        TMonitorEventEndStepPacket end;
        TMonitorEventCountPacket counter;
        std::mt19937 rng(3);
        for (int i = 0; i < count; ++i) {
            switch (i % 4) {
            case 0:
                output.ms = i;
                output.Text = "main.cpp(" + std::to_string(rng() % 900) +
                              "): warning C4244: conversion from 'double' to 'int'";
                output.SaveToStream(s, &context);
                break;
            case 1:
                begin.ms = i;
                begin.WorkerID = "helper-" + std::to_string(i % 16);
                begin.Name = "unit" + std::to_string(i % 500) + ".cpp";
                begin.TaskID = i;
                begin.SaveToStream(s, &context);
                break;
            case 2:
                end.ms = i;
                end.WorkerID = "helper-" + std::to_string(i % 16);
                end.SaveToStream(s, &context);
                break;
            default:
                counter.ms = i;
                counter.Built = i / 4;
                counter.SaveToStream(s, &context);
            }
        }
        return s;
    }();
    return stream;
}

void BM_LoadCompactEvents(benchmark::State& state) {
    const int count = 1000000;
    const TMemoryStream& stream = EventStream(count);
    for (auto _ : state) {
        TPacketLoadContext context;
        TByteReader reader(stream.Bytes());
        int loaded = 0;
        while (reader.Remaining() > 0) {
            auto packet = TPacket::CreateFromReader(reader, &context);
            benchmark::DoNotOptimize(packet);
            ++loaded;
        }
        if (loaded != count)
            state.SkipWithError("wrong event count");
    }
    state.SetItemsProcessed(state.iterations() * count);
    state.SetBytesProcessed(state.iterations() * stream.Size());
}
BENCHMARK(BM_LoadCompactEvents)->Unit(benchmark::kMillisecond);

const std::vector<std::uint8_t>& BuildOutput() {
    static std::vector<std::uint8_t> data = [] {
        std::mt19937 rng(7);
        std::string text;
        const std::size_t size = 64u << 20;
        text.reserve(size + 200);
        while (text.size() < size)
            text += "1>src/module" + std::to_string(rng() % 300) + "/file" +
                    std::to_string(rng() % 5000) + ".cpp(" + std::to_string(rng() % 2000) +
                    "): warning C4" + std::to_string(100 + rng() % 900) +
                    ": conversion from 'size_t' to 'int', possible loss of data\r\n";
        text.resize(size);
        return std::vector<std::uint8_t>(text.begin(), text.end());
    }();
    return data;
}

void BM_CompressStream(benchmark::State& state) {
    TMemoryStream source(BuildOutput());
    TMemoryStream target;
    for (auto _ : state) {
        source.SetPosition(0);
        target.SetSize(0);
        target.SetPosition(0);
        Compress(source, source.Size(), target);
    }
    state.SetBytesProcessed(state.iterations() * source.Size());
    state.counters["ratio"] = static_cast<double>(target.Size()) / source.Size();
}
BENCHMARK(BM_CompressStream)->Unit(benchmark::kMillisecond);

void BM_DecompressStream(benchmark::State& state) {
    TMemoryStream source(BuildOutput());
    TMemoryStream packed;
    Compress(source, source.Size(), packed);
    std::vector<std::uint8_t> out(BuildOutput().size());
    for (auto _ : state) {
        TDecompressStream reader(&packed, 0, 1, false);
        // Reads of the given size: small reads go through the block cache, reads of
        // whole blocks decode in place.
        auto chunk = static_cast<std::size_t>(state.range(0));
        std::size_t at = 0;
        while (std::size_t n = reader.Read(out.data() + at, std::min(chunk, out.size() - at)))
            at += n;
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * source.Size());
}
BENCHMARK(BM_DecompressStream)->Arg(65536)->Arg(64 << 20)->Unit(benchmark::kMillisecond);

// Raw LZ4 over the same blocks, as the baseline.
void BM_RawLz4Compress(benchmark::State& state) {
    const auto& data = BuildOutput();
    std::vector<char> out(LZ4_compressBound(static_cast<int>(CompressBlockSize)));
    for (auto _ : state) {
        for (std::size_t at = 0; at < data.size(); at += CompressBlockSize) {
            int n = static_cast<int>(std::min(CompressBlockSize, data.size() - at));
            benchmark::DoNotOptimize(
                LZ4_compress_default(reinterpret_cast<const char*>(data.data() + at), out.data(), n,
                                     static_cast<int>(out.size())));
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_RawLz4Compress)->Unit(benchmark::kMillisecond);

void BM_RawLz4Decompress(benchmark::State& state) {
    const auto& data = BuildOutput();
    std::vector<std::vector<char>> blocks;
    for (std::size_t at = 0; at < data.size(); at += CompressBlockSize) {
        int n = static_cast<int>(std::min(CompressBlockSize, data.size() - at));
        std::vector<char> block(LZ4_compressBound(n));
        block.resize(LZ4_compress_default(reinterpret_cast<const char*>(data.data() + at),
                                          block.data(), n, static_cast<int>(block.size())));
        blocks.push_back(std::move(block));
    }
    std::vector<char> out(data.size());
    for (auto _ : state) {
        std::size_t at = 0;
        for (const auto& block : blocks) {
            int n = static_cast<int>(std::min(CompressBlockSize, data.size() - at));
            at += LZ4_decompress_safe(block.data(), out.data() + at, static_cast<int>(block.size()),
                                      n);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_RawLz4Decompress)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
