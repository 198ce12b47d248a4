#include "viewer/cursor_image.hpp"

#include <spng.h>

#include <memory>

namespace tessarine {

const char* CursorImageError::what() const noexcept {
    switch (code_) {
    case Code::invalidPng:
        return "The cursor image is not a valid PNG";
    case Code::tooLarge:
        return "The cursor image is too large";
    }
    return "Cursor image error";
}

RgbaImage decodeCursorPng(const Bytes& png) {
    using Invalid = CursorImageError::Code;
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
    if (!ctx)
        throw CursorImageError(Invalid::invalidPng, SPNG_EMEM);
    // Limits apply before any image memory is allocated.
    spng_set_image_limits(ctx.get(), kMaxCursorSidePx, kMaxCursorSidePx);
    spng_set_chunk_limits(ctx.get(), 1 << 20, 4 << 20);
    if (int rc = spng_set_png_buffer(ctx.get(), png.data(), png.size()); rc != 0)
        throw CursorImageError(Invalid::invalidPng, rc);
    spng_ihdr ihdr{};
    if (int rc = spng_get_ihdr(ctx.get(), &ihdr); rc != 0)
        throw CursorImageError(rc == SPNG_EWIDTH || rc == SPNG_EHEIGHT || rc == SPNG_EUSER_WIDTH ||
                                       rc == SPNG_EUSER_HEIGHT
                                   ? Invalid::tooLarge
                                   : Invalid::invalidPng,
                               rc);
    if (ihdr.width == 0 || ihdr.height == 0 || ihdr.width > kMaxCursorSidePx ||
        ihdr.height > kMaxCursorSidePx)
        throw CursorImageError(Invalid::tooLarge, SPNG_EWIDTH);
    std::size_t size = 0;
    if (int rc = spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size); rc != 0)
        throw CursorImageError(Invalid::invalidPng, rc);
    RgbaImage image;
    image.width = static_cast<int>(ihdr.width);
    image.height = static_cast<int>(ihdr.height);
    image.pixels.resize(size);
    if (int rc = spng_decode_image(ctx.get(), image.pixels.data(), size, SPNG_FMT_RGBA8,
                                   SPNG_DECODE_TRNS);
        rc != 0)
        throw CursorImageError(Invalid::invalidPng, rc);
    return image;
}

} // namespace tessarine
