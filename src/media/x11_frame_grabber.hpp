#pragma once

#include "media/pixel_buffer.hpp"

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

struct SwsContext;

namespace tessarine {

class X11Connection;

class GrabError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Copies one rectangle of an X screen into NV12 (full range, BT.709): a
// MIT-SHM GetImage into a shared segment (a plain GetImage when the server
// has no MIT-SHM, e.g. over the network), then one conversion pass
// (convertBgrxToNv12, or libswscale when the output size differs). Output buffers come from a small
// pool and are reused once nobody holds them any more.
class X11FrameGrabber {
public:
    struct Rect {
        int x = 0, y = 0, width = 0, height = 0;
    };

    // Throws GrabError when the screen's pixel format is not 32-bit xRGB or
    // shared memory cannot be set up.
    X11FrameGrabber(X11Connection& connection, Rect source, int outputWidth, int outputHeight);
    ~X11FrameGrabber();
    X11FrameGrabber(const X11FrameGrabber&) = delete;
    X11FrameGrabber& operator=(const X11FrameGrabber&) = delete;

    // Grabs and converts; throws GrabError when the server refuses.
    PixelBuffer grab();
    // Only the X transfer into memory (benchmarks compare it with conversion).
    const std::uint8_t* grabRaw();
    // Only the conversion of the last raw grab.
    PixelBuffer convert();

    bool usesSharedMemory() const { return shmSegment_ != 0; }
    std::size_t rawBytes() const { return rawStride_ * static_cast<std::size_t>(source_.height); }

private:
    PixelBuffer acquireBuffer();
    void releaseSharedMemory();

    X11Connection& connection_;
    Rect source_;
    int outputWidth_;
    int outputHeight_;
    std::size_t rawStride_;
    // Shared memory (or the last plain GetImage reply).
    xcb_shm_seg_t shmSegment_ = 0;
    std::uint8_t* shmAddress_ = nullptr;
    std::unique_ptr<std::uint8_t, void (*)(void*)> plainReply_{nullptr, nullptr};
    const std::uint8_t* raw_ = nullptr;
    SwsContext* sws_ = nullptr;
    struct Block;
    std::vector<std::shared_ptr<Block>> pool_;
};

} // namespace tessarine
