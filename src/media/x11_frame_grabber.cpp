#include "media/x11_frame_grabber.hpp"

#include "media/bgrx_to_nv12.hpp"
#include "media/x11_connection.hpp"

extern "C" {
#include <libswscale/swscale.h>
}

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace tessarine {

namespace {

constexpr std::size_t kPoolSize = 4;

// The root visual must be 24/32-bit xRGB in little-endian order (BGRx in
// memory), which every common server and driver provides.
void checkPixelFormat(X11Connection& x) {
    const xcb_setup_t* setup = xcb_get_setup(x.get());
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
        throw GrabError("unsupported image byte order");
    const std::uint8_t depth = x.screen()->root_depth;
    bool bpp32 = false;
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
        if (it.data->depth == depth)
            bpp32 = it.data->bits_per_pixel == 32;
    if ((depth != 24 && depth != 32) || !bpp32)
        throw GrabError("unsupported screen depth " + std::to_string(depth));
    for (auto d = xcb_screen_allowed_depths_iterator(x.screen()); d.rem; xcb_depth_next(&d))
        for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
            if (v.data->visual_id == x.screen()->root_visual &&
                (v.data->red_mask != 0xff0000 || v.data->green_mask != 0xff00 ||
                 v.data->blue_mask != 0xff))
                throw GrabError("unsupported visual channel layout");
}

} // namespace

struct X11FrameGrabber::Block {
    explicit Block(std::size_t bytes)
        : memory(
              static_cast<std::uint8_t*>(std::aligned_alloc(64, (bytes + 63) & ~std::size_t{63}))) {
        if (!memory)
            throw std::bad_alloc();
    }
    ~Block() { std::free(memory); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
    std::uint8_t* memory;
};

X11FrameGrabber::X11FrameGrabber(X11Connection& connection, Rect source, int outputWidth,
                                 int outputHeight)
    : connection_(connection), source_(source), outputWidth_(outputWidth),
      outputHeight_(outputHeight), rawStride_(static_cast<std::size_t>(source.width) * 4) {
    if (source.width <= 0 || source.height <= 0 || outputWidth <= 0 || outputHeight <= 0)
        throw GrabError("empty capture rectangle");
    checkPixelFormat(connection_);

    xcb_connection_t* c = connection_.get();
    const auto* shm = xcb_get_extension_data(c, &xcb_shm_id);
    if (shm && shm->present) {
        const int id = ::shmget(IPC_PRIVATE, rawBytes(), IPC_CREAT | 0600);
        if (id >= 0) {
            void* address = ::shmat(id, nullptr, 0);
            if (address != reinterpret_cast<void*>(-1)) {
                const xcb_shm_seg_t segment = xcb_generate_id(c);
                const bool attached = connection_.check(xcb_shm_attach_checked(
                                          c, segment, static_cast<std::uint32_t>(id), 0)) == 0;
                if (attached) {
                    shmSegment_ = segment;
                    shmAddress_ = static_cast<std::uint8_t*>(address);
                } else {
                    ::shmdt(address);
                }
            }
            // Marked for removal now: it disappears once both sides detach,
            // even if this process dies.
            ::shmctl(id, IPC_RMID, nullptr);
        }
    }

    if (source.width == outputWidth && source.height == outputHeight)
        return; // same size: convertBgrxToNv12, no scaler
    sws_ = sws_getContext(source.width, source.height, AV_PIX_FMT_BGR0, outputWidth, outputHeight,
                          AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws_) {
        releaseSharedMemory();
        throw GrabError("no libswscale converter for BGR0 to NV12");
    }
    // Full range in and out; BT.709 coefficients for RGB to Y'CbCr, as the
    // encoder signals in its VUI.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(sws_, bt709, 1, bt709, 1, 0, 1 << 16, 1 << 16);
}

X11FrameGrabber::~X11FrameGrabber() {
    if (sws_)
        sws_freeContext(sws_);
    releaseSharedMemory();
}

void X11FrameGrabber::releaseSharedMemory() {
    if (shmSegment_ != 0) {
        xcb_shm_detach(connection_.get(), shmSegment_);
        xcb_flush(connection_.get());
        ::shmdt(shmAddress_);
        shmSegment_ = 0;
    }
}

const std::uint8_t* X11FrameGrabber::grabRaw() {
    xcb_connection_t* c = connection_.get();
    if (shmSegment_ != 0) {
        auto reply =
            xcbReply(xcb_shm_get_image_reply, c,
                     xcb_shm_get_image(c, connection_.root(), static_cast<std::int16_t>(source_.x),
                                       static_cast<std::int16_t>(source_.y),
                                       static_cast<std::uint16_t>(source_.width),
                                       static_cast<std::uint16_t>(source_.height), ~0u,
                                       XCB_IMAGE_FORMAT_Z_PIXMAP, shmSegment_, 0));
        if (!reply)
            throw GrabError("MIT-SHM GetImage failed");
        raw_ = shmAddress_;
        return raw_;
    }
    xcb_generic_error_t* error = nullptr;
    xcb_get_image_reply_t* reply = xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection_.root(),
                      static_cast<std::int16_t>(source_.x), static_cast<std::int16_t>(source_.y),
                      static_cast<std::uint16_t>(source_.width),
                      static_cast<std::uint16_t>(source_.height), ~0u),
        &error);
    std::free(error);
    if (!reply)
        throw GrabError("GetImage failed");
    plainReply_ = std::unique_ptr<std::uint8_t, void (*)(void*)>(
        reinterpret_cast<std::uint8_t*>(reply), std::free);
    if (static_cast<std::size_t>(xcb_get_image_data_length(reply)) < rawBytes())
        throw GrabError("GetImage returned too little data");
    raw_ = xcb_get_image_data(reply);
    return raw_;
}

PixelBuffer X11FrameGrabber::acquireBuffer() {
    const int stride = (outputWidth_ + 63) & ~63;
    const std::size_t lumaBytes = static_cast<std::size_t>(stride) * outputHeight_;
    const std::size_t bytes =
        lumaBytes + static_cast<std::size_t>(stride) * ((outputHeight_ + 1) / 2);
    std::shared_ptr<Block> block;
    // A block only the pool refers to is free: every PixelBuffer handed out
    // holds a reference until its last copy is gone.
    for (auto& candidate : pool_)
        if (candidate.use_count() == 1) {
            block = candidate;
            break;
        }
    if (!block) {
        block = std::make_shared<Block>(bytes);
        if (pool_.size() < kPoolSize)
            pool_.push_back(block);
    }
    std::uint8_t* luma = block->memory;
    return PixelBuffer::borrow(outputWidth_, outputHeight_, luma, stride, luma + lumaBytes, stride,
                               block);
}

PixelBuffer X11FrameGrabber::convert() {
    PixelBuffer buffer = acquireBuffer();
    if (!sws_) {
        convertBgrxToNv12(raw_, static_cast<int>(rawStride_), source_.width, source_.height,
                          buffer.luma(), buffer.lumaStride(), buffer.chroma(),
                          buffer.chromaStride());
        return buffer;
    }
    const std::uint8_t* src[4] = {raw_, nullptr, nullptr, nullptr};
    const int srcStride[4] = {static_cast<int>(rawStride_), 0, 0, 0};
    std::uint8_t* dst[4] = {buffer.luma(), buffer.chroma(), nullptr, nullptr};
    const int dstStride[4] = {buffer.lumaStride(), buffer.chromaStride(), 0, 0};
    sws_scale(sws_, src, srcStride, 0, source_.height, dst, dstStride);
    return buffer;
}

PixelBuffer X11FrameGrabber::grab() {
    grabRaw();
    return convert();
}

} // namespace tessarine
