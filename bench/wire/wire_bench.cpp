// Frame encode and parse against a plain memcpy of the same bytes.
// Run: build/default/bench/wire/wire_bench
#include "protocol/frame_reader.hpp"

#include <benchmark/benchmark.h>

#include <cstring>

using namespace tessarine;

namespace {

Bytes payloadOf(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>(i);
    return b;
}

void BM_Memcpy(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Bytes source = payloadOf(size + 13), destination(size + 13);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

void BM_EncodeVideo(benchmark::State& state) {
    Frame frame = Frame::video(123, payloadOf(static_cast<std::size_t>(state.range(0))));
    for (auto _ : state) {
        Bytes encoded = frame.encode();
        benchmark::DoNotOptimize(encoded.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (state.range(0) + 13)));
}

// Append the frame's bytes as a receive loop does, then take the frame out.
void BM_ParseVideo(benchmark::State& state) {
    const Bytes encoded =
        Frame::video(123, payloadOf(static_cast<std::size_t>(state.range(0)))).encode();
    FrameReader reader;
    for (auto _ : state) {
        reader.append(encoded);
        auto frame = reader.next();
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encoded.size()));
}

// The same, with the frame arriving in 64 KiB reads as from the socket.
void BM_ParseVideoChunked(benchmark::State& state) {
    const Bytes encoded =
        Frame::video(123, payloadOf(static_cast<std::size_t>(state.range(0)))).encode();
    FrameReader reader;
    for (auto _ : state) {
        for (std::size_t pos = 0; pos < encoded.size(); pos += 65536) {
            reader.append(std::span(encoded.data() + pos,
                                    std::min<std::size_t>(65536, encoded.size() - pos)));
            auto frame = reader.next();
            benchmark::DoNotOptimize(frame);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encoded.size()));
}

constexpr int kCursorFramesPerChunk = 4000;

void BM_EncodeCursorMove(benchmark::State& state) {
    std::uint32_t i = 0;
    for (auto _ : state) {
        Bytes encoded = Frame::cursorMove(i++, 100, -5, 0, 7).encode();
        benchmark::DoNotOptimize(encoded.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// A 56 KB chunk holding 4,000 cursorMove frames, parsed frame by frame.
void BM_ParseCursorMoves(benchmark::State& state) {
    Bytes chunk;
    for (int i = 0; i < kCursorFramesPerChunk; ++i) {
        Bytes f = Frame::cursorMove(static_cast<std::uint32_t>(i), 100, -5, 0, 7).encode();
        chunk.insert(chunk.end(), f.begin(), f.end());
    }
    FrameReader reader;
    for (auto _ : state) {
        reader.append(chunk);
        while (auto frame = reader.next())
            benchmark::DoNotOptimize(frame);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCursorFramesPerChunk));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * chunk.size()));
}

void BM_MemcpyCursorChunk(benchmark::State& state) {
    Bytes source(14 * kCursorFramesPerChunk, 5), destination(source.size());
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), source.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCursorFramesPerChunk));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}

} // namespace

BENCHMARK(BM_Memcpy)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_EncodeVideo)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_ParseVideo)->Arg(1 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(BM_ParseVideoChunked)->Arg(1 << 20);
BENCHMARK(BM_EncodeCursorMove);
BENCHMARK(BM_ParseCursorMoves);
BENCHMARK(BM_MemcpyCursorChunk);
