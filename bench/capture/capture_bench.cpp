// Run: build/<preset>/bench/capture/capture_bench
// Each size gets its own private Xvfb (the xvfb virtual display backend).
#include "media/cursor_tracker.hpp"
#include "media/display_capturer.hpp"
#include "media/virtual_display.hpp"
#include "media/x11_connection.hpp"
#include "media/x11_frame_grabber.hpp"

#include <benchmark/benchmark.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using namespace tessarine;
using Clock = std::chrono::steady_clock;

struct Display {
    std::unique_ptr<VirtualDisplayManager> manager;
    VirtualDisplayInfo info;
    std::unique_ptr<X11Connection> connection;
};

// One Xvfb per size, kept for the whole run; its screen holds coloured bands
// so the converter sees varied content.
Display& displayOf(int width, int height) {
    static std::map<std::pair<int, int>, Display> displays;
    auto& d = displays[{width, height}];
    if (!d.manager) {
        VirtualDisplayManagerOptions options;
        options.backend = VirtualDisplayBackendKind::xvfb;
        d.manager = std::make_unique<VirtualDisplayManager>(options);
        VirtualDisplayConfiguration c;
        c.logicalWidth = width;
        c.logicalHeight = height;
        c.scaleFactor = 1.0;
        d.manager->create(c);
        d.info = *d.manager->displayInfo();
        d.connection = std::make_unique<X11Connection>(d.info.xDisplay, d.info.xAuthCookie);
        xcb_connection_t* x = d.connection->get();
        const xcb_gcontext_t gc = xcb_generate_id(x);
        xcb_create_gc(x, gc, d.connection->root(), 0, nullptr);
        for (int band = 0; band * 16 < width; ++band) {
            const std::uint32_t colour = static_cast<std::uint32_t>(band) * 0x1f3d5b;
            xcb_change_gc(x, gc, XCB_GC_FOREGROUND, &colour);
            const xcb_rectangle_t r{static_cast<std::int16_t>(band * 16), 0, 16,
                                    static_cast<std::uint16_t>(height)};
            xcb_poly_fill_rectangle(x, d.connection->root(), gc, 1, &r);
        }
        xcb_free_gc(x, gc);
        d.connection->alive();
    }
    return d;
}

// Per-iteration times as p50/p95 counters (milliseconds).
void percentiles(benchmark::State& state, std::vector<double>& ms) {
    if (ms.empty())
        return;
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p95_ms"] = ms[std::min(ms.size() - 1, ms.size() * 95 / 100)];
}

template <typename Fn> void timed(benchmark::State& state, Fn&& fn) {
    std::vector<double> ms;
    for (auto _ : state) {
        const auto start = Clock::now();
        fn();
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    percentiles(state, ms);
}

void BM_CaptureAndConvert(benchmark::State& state) {
    auto& d = displayOf(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    X11FrameGrabber grabber(*d.connection, {0, 0, d.info.width, d.info.height}, d.info.width,
                            d.info.height);
    timed(state, [&] { benchmark::DoNotOptimize(grabber.grab().luma()); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * grabber.rawBytes()));
}

void BM_CaptureOnly(benchmark::State& state) {
    auto& d = displayOf(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    X11FrameGrabber grabber(*d.connection, {0, 0, d.info.width, d.info.height}, d.info.width,
                            d.info.height);
    state.counters["shm"] = grabber.usesSharedMemory();
    timed(state, [&] { benchmark::DoNotOptimize(grabber.grabRaw()); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * grabber.rawBytes()));
}

void BM_ConvertOnly(benchmark::State& state) {
    auto& d = displayOf(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    X11FrameGrabber grabber(*d.connection, {0, 0, d.info.width, d.info.height}, d.info.width,
                            d.info.height);
    grabber.grabRaw();
    timed(state, [&] { benchmark::DoNotOptimize(grabber.convert().luma()); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * grabber.rawBytes()));
}

// The same conversion through libswscale (BGR0 to NV12, full range, BT.709),
// which the capture path would otherwise use.
void BM_SwscaleConvert(benchmark::State& state) {
    const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
    const int flags = static_cast<int>(state.range(2));
    std::vector<std::uint8_t> src(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<std::uint8_t>(i * 7);
    PixelBuffer out = PixelBuffer::allocate(w, h);
    SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_BGR0, w, h, AV_PIX_FMT_NV12, flags, nullptr,
                                     nullptr, nullptr);
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws, bt709, 1, bt709, 1, 0, 1 << 16, 1 << 16);
    const std::uint8_t* srcPlanes[4] = {src.data(), nullptr, nullptr, nullptr};
    const int srcStrides[4] = {w * 4, 0, 0, 0};
    std::uint8_t* dst[4] = {out.luma(), out.chroma(), nullptr, nullptr};
    const int dstStrides[4] = {out.lumaStride(), out.chromaStride(), 0, 0};
    timed(state, [&] { sws_scale(sws, srcPlanes, srcStrides, 0, h, dst, dstStrides); });
    sws_freeContext(sws);
    state.SetLabel(flags == SWS_POINT ? "point" : "bilinear");
}

// The floor: copying one frame's BGRx bytes once.
void BM_Memcpy(benchmark::State& state) {
    const std::size_t bytes = static_cast<std::size_t>(state.range(0) * state.range(1) * 4);
    std::vector<std::uint8_t> from(bytes, 0x5a), to(bytes);
    timed(state, [&] {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

double processCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// CPU milliseconds per wall second this process spends while the capturer
// (arg 0) or the cursor tracker (arg 1) watches a screen on which nothing
// happens.
void BM_StillScreenCpu(benchmark::State& state) {
    auto& d = displayOf(1920, 1080);
    const bool cursor = state.range(0) == 1;
    for (auto _ : state) {
        std::mutex mutex;
        std::condition_variable changed;
        int frames = 0;
        DisplayCapturer capturer(d.info.displayID, d.info.width, d.info.height, 60,
                                 d.manager->resolver());
        capturer.onFrame = [&](const CapturedFrame&) {
            std::lock_guard lock(mutex);
            ++frames;
            changed.notify_all();
        };
        CursorTracker tracker(d.info.displayID, d.info.width, d.info.height, d.manager->resolver());
        tracker.onShapeChange = [&](const CursorImage&) {
            std::lock_guard lock(mutex);
            ++frames;
            changed.notify_all();
        };
        if (cursor)
            tracker.start();
        else
            capturer.start();
        std::unique_lock lock(mutex);
        // The first frame or shape is the start-up work; what follows is idle.
        changed.wait_for(lock, std::chrono::seconds(5), [&] { return frames > 0; });
        const double cpuStart = processCpuMs();
        const auto wallStart = Clock::now();
        changed.wait_for(lock, std::chrono::seconds(2), [] { return false; });
        const double wallS = std::chrono::duration<double>(Clock::now() - wallStart).count();
        state.counters["cpu_ms_per_s"] = (processCpuMs() - cpuStart) / wallS;
        state.counters["events_while_still"] = frames - 1;
        state.SetLabel(cursor ? "cursor tracker" : "capturer");
    }
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
}

} // namespace

BENCHMARK(BM_CaptureAndConvert)->Apply(sizes);
BENCHMARK(BM_CaptureOnly)->Apply(sizes);
BENCHMARK(BM_ConvertOnly)->Apply(sizes);
BENCHMARK(BM_SwscaleConvert)
    ->Args({1920, 1080, SWS_BILINEAR})
    ->Args({1920, 1080, SWS_POINT})
    ->Args({2732, 2048, SWS_BILINEAR})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Memcpy)->Apply(sizes);
BENCHMARK(BM_StillScreenCpu)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

BENCHMARK_MAIN();
