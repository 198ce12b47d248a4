// tessarine-test-scene: an X client that keeps a rectangle of the screen busy
// the way real use does, with the time of drawing burnt into every frame.
//
//   tessarine-test-scene [--display :N] [--geometry WxH+X+Y] [--content still|scroll|motion]
//                        [--fps N] [--seconds S]
//
// still: one picture, then nothing changes; scroll: text-like lines moving up;
// motion: every pixel changes every frame. Drawing is done by the X server
// (filled rectangles and copies), so the scene costs the client little CPU.
#include "tools/timestamp_barcode.hpp"

#include <xcb/xcb.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tessarine;

volatile std::sig_atomic_t stopRequested = 0;

struct Options {
    std::string display;
    int width = 1920, height = 1080, x = 0, y = 0;
    std::string content = "motion";
    int fps = 60;
    double seconds = 0; // 0: until stopped
};

bool parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            return i + 1 < argc ? argv[++i] : nullptr;
        };
        const char* v = nullptr;
        if (arg == "--display" && (v = value()))
            o.display = v;
        else if (arg == "--geometry" && (v = value())) {
            if (std::sscanf(v, "%dx%d+%d+%d", &o.width, &o.height, &o.x, &o.y) < 2)
                return false;
        } else if (arg == "--content" && (v = value()))
            o.content = v;
        else if (arg == "--fps" && (v = value()))
            o.fps = std::max(1, std::atoi(v));
        else if (arg == "--seconds" && (v = value()))
            o.seconds = std::atof(v);
        else
            return false;
    }
    return o.content == "still" || o.content == "scroll" || o.content == "motion";
}

std::uint64_t nowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

class Scene {
public:
    Scene(xcb_connection_t* c, xcb_screen_t* screen, const Options& o) : c_(c), o_(o) {
        window_ = xcb_generate_id(c_);
        const std::uint32_t values[] = {screen->black_pixel, 1};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root,
                          static_cast<std::int16_t>(o.x), static_cast<std::int16_t>(o.y),
                          static_cast<std::uint16_t>(o.width), static_cast<std::uint16_t>(o.height),
                          0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT, values);
        xcb_map_window(c_, window_);
        gc_ = xcb_generate_id(c_);
        xcb_create_gc(c_, gc_, window_, 0, nullptr);
        xcb_flush(c_);
    }

    void fill(std::uint32_t rgb, int x, int y, int w, int h) {
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &rgb);
        xcb_rectangle_t r{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                          static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h)};
        xcb_poly_fill_rectangle(c_, window_, gc_, 1, &r);
    }

    void stamp(std::uint64_t us) {
        const int b = TimestampBarcode::blockPx;
        fill(0xFFFFFF, 0, 0, b, b);
        fill(0x000000, b, 0, b, b);
        for (int bit = 0; bit < TimestampBarcode::bits; ++bit) {
            const bool one = (us >> (TimestampBarcode::bits - 1 - bit)) & 1;
            fill(one ? 0xFFFFFF : 0x000000, (bit + 2) * b, 0, b, b);
        }
    }

    // A page of "text": short dark bars on a light background.
    void textLine(int y, unsigned seed) {
        fill(0xF4F1EA, 0, y, o_.width, 24);
        int x = 40;
        while (x < o_.width - 60) {
            seed = seed * 1103515245u + 12345u;
            const int word = 20 + static_cast<int>(seed >> 24) % 90;
            fill(0x202428, x, y + 6, std::min(word, o_.width - 60 - x), 12);
            x += word + 12;
        }
    }

    void drawStill() {
        fill(0x2B5797, 0, 0, o_.width, o_.height);
        for (int i = 0; i < o_.height / 24; ++i)
            textLine(i * 24 + 20, static_cast<unsigned>(i));
    }

    void drawScroll(int frame) {
        const int step = 6;
        // Move everything below the barcode up by one step, then write a new line.
        xcb_copy_area(c_, window_, window_, gc_, 0, static_cast<std::int16_t>(20 + step), 0, 20,
                      static_cast<std::uint16_t>(o_.width),
                      static_cast<std::uint16_t>(o_.height - 20 - step));
        if (frame % 4 == 0)
            textLine(o_.height - 24, static_cast<unsigned>(frame));
        else
            fill(0xF4F1EA, 0, o_.height - step, o_.width, step);
    }

    // Every pixel changes every frame: a moving two-colour checkerboard of
    // 16 px tiles whose colours drift from row to row and frame to frame.
    void drawMotion(int frame) {
        const int tile = 16;
        const int columns = (o_.width + tile - 1) / tile;
        std::vector<xcb_rectangle_t> rects;
        for (int ty = 0; ty < (o_.height + tile - 1) / tile; ++ty) {
            const std::uint32_t rgb = static_cast<std::uint32_t>(
                ((ty * 7 + frame * 3) & 0xFF) << 16 | ((ty * 3 + frame * 5) & 0xFF) << 8 |
                ((frame * 2 + ty) & 0xFF));
            for (int parity = 0; parity < 2; ++parity) {
                const std::uint32_t colour = parity == 0 ? rgb : (~rgb & 0xFFFFFF);
                xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
                rects.clear();
                for (int tx = (ty + frame + parity) % 2; tx < columns; tx += 2)
                    rects.push_back({static_cast<std::int16_t>(tx * tile),
                                     static_cast<std::int16_t>(ty * tile), tile, tile});
                xcb_poly_fill_rectangle(c_, window_, gc_, static_cast<std::uint32_t>(rects.size()),
                                        rects.data());
            }
        }
    }

    // Waits until the server has executed everything sent so far.
    void sync() { free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

private:
    xcb_connection_t* c_;
    const Options& o_;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: tessarine-test-scene [--display :N] [--geometry WxH+X+Y] "
                             "[--content still|scroll|motion] [--fps N] [--seconds S]\n");
        return 2;
    }
    std::signal(SIGINT, [](int) { stopRequested = 1; });
    std::signal(SIGTERM, [](int) { stopRequested = 1; });

    int screenNumber = 0;
    xcb_connection_t* c =
        xcb_connect(options.display.empty() ? nullptr : options.display.c_str(), &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "tessarine-test-scene: cannot open display %s\n",
                     options.display.c_str());
        return 1;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&it);
    Scene scene(c, it.data, options);
    scene.drawStill();
    scene.stamp(nowUs());
    scene.sync();

    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    const auto interval = std::chrono::nanoseconds(1'000'000'000 / options.fps);
    auto next = start;
    for (int frame = 1; !stopRequested; ++frame) {
        if (options.seconds > 0 &&
            clock::now() - start > std::chrono::duration<double>(options.seconds))
            break;
        next += interval;
        std::this_thread::sleep_until(next); // pacing the animation, not synchronising
        if (options.content == "still")
            continue;
        if (options.content == "scroll")
            scene.drawScroll(frame);
        else
            scene.drawMotion(frame);
        scene.stamp(nowUs());
        scene.sync();
        if (xcb_connection_has_error(c))
            break;
    }
    xcb_disconnect(c);
    return 0;
}
