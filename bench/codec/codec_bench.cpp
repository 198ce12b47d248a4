// Encoder and decoder cost per frame at tablet resolutions, for three kinds of
// screen content, next to the ffmpeg command-line encoder (same libx264, same
// settings) run on the same raw frames in the same run.
//
//   codec_bench [--frames N] [--sizes 1920x1080,2732x2048] [--keep-going]
//
// Needs `ffmpeg` on PATH for the comparison; without it only our figures print.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "media/h264_decoder.hpp"
#include "media/h264_encoder.hpp"

extern "C" {
#include <libavutil/log.h>
}

using namespace tessarine;
using Clock = std::chrono::steady_clock;

namespace {

struct Size {
    int width;
    int height;
};

enum class Content { still, scrollingText, fullMotion };

const char* contentName(Content c) {
    switch (c) {
    case Content::still:
        return "still screen";
    case Content::scrollingText:
        return "scrolling text";
    case Content::fullMotion:
        return "full motion";
    }
    return "?";
}

// Same rules as the session: 0.2 bit per pixel per frame within 20-80 Mbit/s,
// half a second of frames per GOP.
constexpr int kFps = 60;
constexpr int kGop = kFps / 2;
std::int64_t sessionBitrate(Size s) {
    const double bps = static_cast<double>(std::int64_t{s.width} * s.height * kFps) * 0.2;
    return std::clamp<std::int64_t>(static_cast<std::int64_t>(bps), 20'000'000, 80'000'000);
}

struct Rng {
    std::uint64_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return static_cast<std::uint32_t>(state);
    }
};

// A desktop-ish picture: light background, title bars, lines of text set
// from a small fixed "font" of glyph bitmaps (7x12, about a quarter inked).
// Used as is for the still screen and as the page for scrolling.
void drawDocument(std::vector<std::uint8_t>& luma, int width, int height, std::uint64_t seed) {
    Rng rng{seed};
    std::uint8_t font[48][12];
    for (auto& glyph : font)
        for (auto& row : glyph) {
            const std::uint32_t r = rng.next();
            row = static_cast<std::uint8_t>(r & (r >> 7) & 0x7f); // ~25 % of 7 bits
        }
    luma.assign(static_cast<std::size_t>(width) * height, 236);
    for (int row = 0; row < height; ++row) {
        std::uint8_t* line = luma.data() + static_cast<std::size_t>(row) * width;
        if (row % 440 < 24) { // title bars
            std::memset(line, 70, static_cast<std::size_t>(width));
            continue;
        }
        const int glyphRow = row % 22 - 5;
        if (glyphRow < 0 || glyphRow >= 12)
            continue;
        Rng lineRng{seed ^ (static_cast<std::uint64_t>(row / 22) + 1) * 0x9E3779B97F4A7C15ull};
        const int lineLength = 200 + static_cast<int>(lineRng.next() % (width - 250));
        for (int x = 24; x + 8 < lineLength; x += 8) {
            const std::uint32_t pick = lineRng.next() % 56;
            if (pick >= 48)
                continue; // word gap
            const std::uint8_t bits = font[pick][glyphRow];
            for (int dx = 0; dx < 7; ++dx)
                if ((bits >> dx) & 1)
                    line[x + dx] = 30;
        }
    }
}

// Smooth texture with detail for the video-like content.
void drawTexture(std::vector<std::uint8_t>& luma, int width, int height) {
    luma.resize(static_cast<std::size_t>(width) * height);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x) {
            const double v = 128 + 50 * std::sin(x * 0.013 + row * 0.007) +
                             30 * std::sin(x * 0.051 - row * 0.043) +
                             15 * std::sin((x + row) * 0.17);
            luma[static_cast<std::size_t>(row) * width + x] =
                static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
        }
}

// Writes `frames` NV12 pictures of one content kind to `path` (planes packed,
// stride = width, the rawvideo layout ffmpeg reads).
void writeFrames(const std::string& path, Size s, Content content, int frames) {
    const std::size_t lumaBytes = static_cast<std::size_t>(s.width) * s.height;
    const std::size_t chromaBytes = lumaBytes / 2;
    std::vector<std::uint8_t> frame(lumaBytes + chromaBytes);
    std::vector<std::uint8_t> source;
    const int margin = 512;
    if (content == Content::fullMotion)
        drawTexture(source, s.width + margin, s.height + margin);
    else
        drawDocument(source, s.width, content == Content::still ? s.height : s.height * 4, 42);

    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        std::perror(path.c_str());
        std::exit(1);
    }
    Rng grain{7};
    for (int i = 0; i < frames; ++i) {
        std::uint8_t* y = frame.data();
        std::uint8_t* uv = frame.data() + lumaBytes;
        switch (content) {
        case Content::still:
            std::memcpy(y, source.data(), lumaBytes);
            std::memset(uv, 128, chromaBytes);
            break;
        case Content::scrollingText: {
            const int offset = (i * 6) % (s.height * 3); // 6 px per frame, like a flick
            std::memcpy(y, source.data() + static_cast<std::size_t>(offset) * s.width, lumaBytes);
            std::memset(uv, 128, chromaBytes);
            break;
        }
        case Content::fullMotion: {
            const int sw = s.width + margin;
            const int dx = (i * 3) % margin, dy = (i * 2) % margin; // a slow pan
            for (int row = 0; row < s.height; ++row) {
                const std::uint8_t* from =
                    source.data() + static_cast<std::size_t>(row + dy) * sw + dx;
                std::uint8_t* to = y + static_cast<std::size_t>(row) * s.width;
                for (int x = 0; x < s.width; x += 4) {
                    const std::uint32_t r = grain.next(); // film grain, 4 pixels per draw
                    for (int k = 0; k < 4 && x + k < s.width; ++k) {
                        const int v = from[x + k] + static_cast<int>((r >> (8 * k)) & 7) - 4;
                        to[x + k] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
                    }
                }
            }
            // A moving object in front of the pan.
            const int bx = (i * 11) % (s.width - 200), by = (i * 7) % (s.height - 200);
            for (int row = by; row < by + 200; ++row)
                std::memset(y + static_cast<std::size_t>(row) * s.width + bx, 220 - (i % 40), 200);
            for (int row = 0; row < s.height / 2; ++row)
                for (int x = 0; x < s.width / 2; ++x) {
                    std::uint8_t* p = uv + static_cast<std::size_t>(row) * s.width + 2 * x;
                    p[0] = static_cast<std::uint8_t>(100 + ((x + dx / 2) * 31 / s.width) * 2);
                    p[1] = static_cast<std::uint8_t>(150 - ((row + dy / 2) * 41 / s.height));
                }
            break;
        }
        }
        if (std::fwrite(frame.data(), 1, frame.size(), out) != frame.size()) {
            std::perror("write");
            std::exit(1);
        }
    }
    std::fclose(out);
}

struct Percentiles {
    double p50 = 0, p95 = 0, mean = 0;
};

Percentiles percentiles(std::vector<double> ms) {
    Percentiles p;
    if (ms.empty())
        return p;
    std::sort(ms.begin(), ms.end());
    p.p50 = ms[ms.size() / 2];
    p.p95 = ms[std::min(ms.size() - 1, static_cast<std::size_t>(ms.size() * 0.95))];
    double sum = 0;
    for (double v : ms)
        sum += v;
    p.mean = sum / static_cast<double>(ms.size());
    return p;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct OurRun {
    Percentiles encode, decode;
    double encodeWall = 0, encodeCpu = 0, decodeWall = 0;
    double bytes = 0;
    double psnr = 0;
    int keyframes = 0;
};

double lumaPsnr(const std::uint8_t* a, const PixelBuffer& b, Size s) {
    double squared = 0;
    for (int row = 0; row < s.height; row += 2)
        for (int x = 0; x < s.width; ++x) {
            const double d = double(a[static_cast<std::size_t>(row) * s.width + x]) - b.y(x, row);
            squared += d * d;
        }
    const double mse = squared / (double(s.width) * (s.height / 2));
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

OurRun runOurs(const std::uint8_t* file, Size s, int frames) {
    const std::size_t lumaBytes = static_cast<std::size_t>(s.width) * s.height;
    const std::size_t frameBytes = lumaBytes * 3 / 2;
    OurRun run;
    std::vector<EncodedFrame> encoded;
    encoded.reserve(static_cast<std::size_t>(frames));
    std::vector<double> encodeMs;
    // Whole-run figures include opening and closing the encoder, as ffmpeg's do.
    const double cpu0 = cpuSeconds();
    const auto wall0 = Clock::now();
    {
        H264Encoder encoder(s.width, s.height, sessionBitrate(s), kFps, kGop);
        encoder.onEncodedFrame([&](EncodedFrame f) { encoded.push_back(std::move(f)); });
        for (int i = 0; i < frames; ++i) {
            auto* luma = const_cast<std::uint8_t*>(file + frameBytes * static_cast<std::size_t>(i));
            PixelBuffer picture = PixelBuffer::borrow(s.width, s.height, luma, s.width,
                                                      luma + lumaBytes, s.width, nullptr);
            const auto t0 = Clock::now();
            encoder.encode(picture, MediaTime::make(i, kFps), MediaTime::make(1, kFps));
            encodeMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        }
        encoder.close();
    }
    run.encodeWall = std::chrono::duration<double>(Clock::now() - wall0).count();
    run.encodeCpu = cpuSeconds() - cpu0;
    run.encode = percentiles(encodeMs);
    for (const auto& f : encoded) {
        run.bytes += static_cast<double>(f.annexB.size());
        run.keyframes += f.isKeyframe ? 1 : 0;
    }

    std::vector<double> decodeMs;
    H264Decoder decoder;
    int index = 0;
    double psnrSum = 0;
    int psnrCount = 0;
    decoder.onDecodedFrame([&](const PixelBuffer& picture, MediaTime pts) {
        if (pts.value % 10 == 0) {
            psnrSum +=
                lumaPsnr(file + frameBytes * static_cast<std::size_t>(pts.value), picture, s);
            ++psnrCount;
        }
        ++index;
    });
    for (const auto& f : encoded) {
        const auto t0 = Clock::now();
        decoder.decode(f.annexB, f.pts);
        const auto t1 = Clock::now();
        decodeMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    // PSNR sampling ran inside the timed calls on every tenth frame; drop those.
    std::vector<double> clean;
    for (std::size_t i = 0; i < decodeMs.size(); ++i)
        if (i % 10 != 0)
            clean.push_back(decodeMs[i]);
    run.decode = percentiles(clean);
    run.decodeWall = run.decode.mean * static_cast<double>(decodeMs.size()) / 1000.0;
    run.psnr = psnrCount ? psnrSum / psnrCount : 0;
    return run;
}

struct FfmpegRun {
    bool ok = false;
    double rtime = 0, cpu = 0;
    double psnr = 0; // x264's global PSNR, when asked for with -psnr
    std::string command;
};

std::string ffmpegSettings(Size s, const char* preset, bool addCabac) {
    const std::int64_t bitrate = sessionBitrate(s);
    const std::int64_t vbv = bitrate * 4 / kFps;
    std::string settings =
        std::string("-c:v libx264 -preset ") + preset + " -tune zerolatency -profile:v high";
    if (addCabac)
        settings += " -coder cabac -8x8dct 1";
    settings += " -bf 0 -g " + std::to_string(kGop) + " -forced-idr 1 -b:v " +
                std::to_string(bitrate) + " -maxrate " + std::to_string(bitrate) + " -bufsize " +
                std::to_string(vbv) +
                " -color_range pc -colorspace bt709 -color_primaries bt709 -color_trc bt709"
                " -threads auto";
    return settings;
}

FfmpegRun runFfmpeg(const std::string& path, Size s, const std::string& settings) {
    FfmpegRun run;
    run.command = "ffmpeg -hide_banner -nostdin -benchmark -f rawvideo -pix_fmt nv12 -s " +
                  std::to_string(s.width) + "x" + std::to_string(s.height) + " -r 60 -i " + path +
                  " " + settings + " -f null -";
    FILE* pipe = popen((run.command + " 2>&1").c_str(), "r");
    if (!pipe)
        return run;
    char line[1024];
    double utime = 0, stime = 0;
    while (std::fgets(line, sizeof line, pipe)) {
        if (const char* global = std::strstr(line, "PSNR Mean"))
            if ((global = std::strstr(global, "Global:")))
                std::sscanf(global, "Global:%lf", &run.psnr);
        if (const char* bench = std::strstr(line, "bench: utime=")) {
            if (std::sscanf(bench, "bench: utime=%lfs stime=%lfs rtime=%lfs", &utime, &stime,
                            &run.rtime) == 3)
                run.ok = true;
        }
    }
    run.ok = pclose(pipe) == 0 && run.ok;
    run.cpu = utime + stime;
    return run;
}

bool haveFfmpeg() {
    return std::system("ffmpeg -hide_banner -version >/dev/null 2>&1") == 0;
}

} // namespace

int main(int argc, char** argv) {
    int frames = 90;
    std::vector<Size> sizes = {{1920, 1080}, {2732, 2048}};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--frames" && i + 1 < argc) {
            frames = std::max(10, std::atoi(argv[++i]));
        } else if (arg == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::string list = argv[++i];
            for (std::size_t pos = 0; pos < list.size();) {
                std::size_t end = list.find(',', pos);
                if (end == std::string::npos)
                    end = list.size();
                Size s{};
                if (std::sscanf(list.substr(pos, end - pos).c_str(), "%dx%d", &s.width,
                                &s.height) == 2)
                    sizes.push_back(s);
                pos = end + 1;
            }
        } else {
            std::fprintf(stderr, "usage: %s [--frames N] [--sizes WxH,WxH]\n", argv[0]);
            return 2;
        }
    }
    setenv("TESSARINE_SOFTWARE_ENCODER", "1", 1);
    av_log_set_level(AV_LOG_ERROR); // keep x264's per-run summaries out of the table
    const bool ffmpeg = haveFfmpeg();
    const char* tmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp";
    const std::string path =
        std::string(tmp) + "/tessarine-codec-bench-" + std::to_string(getpid()) + ".nv12";
    std::printf("codec_bench: %d frames per case at %d fps, GOP %d, %u CPUs online\n", frames, kFps,
                kGop, static_cast<unsigned>(sysconf(_SC_NPROCESSORS_ONLN)));
    std::printf("%-10s %-15s %8s | %9s %9s %7s %7s | %9s %9s %7s | %7s %9s %6s %6s %6s %6s | "
                "%5s %4s\n",
                "size", "content", "Mbit/s", "enc p50", "enc p95", "enc fps", "cpu/fr", "dec p50",
                "dec p95", "dec fps", "ff fps", "ff cpu/f", "wall%", "cpu%", "netw%", "netc%",
                "PSNR", "keys");
    double oursCpu = 0, ffCpu = 0, ffNetCpu = 0, oursWall = 0, ffWall = 0, ffNetWall = 0;

    std::vector<std::string> commands;
    for (Size s : sizes) {
        for (Content content : {Content::still, Content::scrollingText, Content::fullMotion}) {
            writeFrames(path, s, content, frames);
            int fd = open(path.c_str(), O_RDONLY);
            struct stat st {};
            fstat(fd, &st);
            void* map =
                mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
            close(fd);
            if (map == MAP_FAILED) {
                std::perror("mmap");
                return 1;
            }
            const auto* file = static_cast<const std::uint8_t*>(map);
            OurRun ours = runOurs(file, s, frames);
            FfmpegRun ff, base;
            if (ffmpeg) {
                ff = runFfmpeg(path, s, ffmpegSettings(s, "ultrafast", true));
                // The same pipeline without encoding: reading, demuxing and
                // passing frames on, which our figures do not include.
                base = runFfmpeg(path, s, "-c:v wrapped_avframe");
                if (commands.empty()) {
                    commands.push_back(ff.command);
                    commands.push_back(base.command);
                }
            }
            munmap(map, static_cast<std::size_t>(st.st_size));

            const double mbps = ours.bytes * 8 * kFps / frames / 1e6;
            char ffPart[128] = "      -         -      -      -      -      -";
            if (ff.ok && base.ok) {
                std::snprintf(ffPart, sizeof ffPart,
                              "%7.1f %7.2fms %5.0f%% %5.0f%% %5.0f%% %5.0f%%", frames / ff.rtime,
                              ff.cpu * 1000 / frames, 100.0 * ours.encodeWall / ff.rtime,
                              100.0 * ours.encodeCpu / ff.cpu,
                              100.0 * ours.encodeWall / (ff.rtime - base.rtime),
                              100.0 * ours.encodeCpu / (ff.cpu - base.cpu));
                oursCpu += ours.encodeCpu;
                oursWall += ours.encodeWall;
                ffCpu += ff.cpu;
                ffWall += ff.rtime;
                ffNetCpu += ff.cpu - base.cpu;
                ffNetWall += ff.rtime - base.rtime;
            }
            std::printf("%4dx%-5d %-15s %8.1f | %7.2fms %7.2fms %7.1f %5.2fms | %7.2fms %7.2fms "
                        "%7.1f | %s | %5.1f %4d\n",
                        s.width, s.height, contentName(content), mbps, ours.encode.p50,
                        ours.encode.p95, frames / ours.encodeWall, ours.encodeCpu * 1000 / frames,
                        ours.decode.p50, ours.decode.p95, 1000.0 / ours.decode.mean, ffPart,
                        ours.psnr, ours.keyframes);
            std::fflush(stdout);
        }
    }

    // The preset choice: ultrafast with CABAC and 8x8 transforms added back
    // against superfast, same bit rate, on video-like content.
    if (ffmpeg) {
        const Size s = sizes.front();
        writeFrames(path, s, Content::fullMotion, frames);
        std::printf("\npreset check, ffmpeg at %dx%d full motion:\n", s.width, s.height);
        for (auto [preset, cabac] : {std::pair{"ultrafast", true}, std::pair{"superfast", false}}) {
            FfmpegRun run = runFfmpeg(path, s, ffmpegSettings(s, preset, cabac) + " -psnr");
            std::printf("  %-24s %6.1f fps  %6.2f ms cpu/frame  PSNR %.2f dB\n",
                        cabac ? "ultrafast+cabac+8x8dct" : preset, run.ok ? frames / run.rtime : 0,
                        run.ok ? run.cpu * 1000 / frames : 0, run.psnr);
        }
    }
    std::remove(path.c_str());

    if (ffCpu > 0)
        std::printf("\nall cases: our encode cost / ffmpeg's = %.2f (cpu), %.2f (wall); "
                    "against ffmpeg less its no-encode baseline = %.2f (cpu), %.2f (wall)\n",
                    oursCpu / ffCpu, oursWall / ffWall, oursCpu / ffNetCpu, oursWall / ffNetWall);
    std::printf("\nenc/dec: our H264Encoder/H264Decoder per frame (decode includes NV12 "
                "conversion); cpu/fr: process CPU per frame (all threads)\n"
                "ff: the ffmpeg CLI on the same file; wall%% and cpu%%: our encode time as a "
                "share of ffmpeg's (100%% = equal); netw%%/netc%%: the same against ffmpeg's time "
                "less its run without encoding (-c:v wrapped_avframe)\n");
    for (const auto& command : commands)
        std::printf("ffmpeg command: %s\n", command.c_str());
    if (!ffmpeg)
        std::printf("ffmpeg not found: comparison skipped\n");
    return 0;
}
