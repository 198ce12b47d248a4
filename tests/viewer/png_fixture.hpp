#pragma once

#include <spng.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tessarine::testing {

// A PNG of the given RGBA pixels, encoded with libspng.
inline std::vector<std::uint8_t> encodePng(int width, int height,
                                           const std::vector<std::uint8_t>& rgba) {
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(SPNG_CTX_ENCODER),
                                                       spng_ctx_free);
    spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(width);
    ihdr.height = static_cast<std::uint32_t>(height);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    std::vector<std::uint8_t> pixels = rgba;
    if (spng_set_ihdr(ctx.get(), &ihdr) != 0 ||
        spng_encode_image(ctx.get(), pixels.data(), pixels.size(), SPNG_FMT_PNG,
                          SPNG_ENCODE_FINALIZE) != 0)
        throw std::runtime_error("PNG encoding failed");
    std::size_t length = 0;
    int error = 0;
    void* png = spng_get_png_buffer(ctx.get(), &length, &error);
    if (!png)
        throw std::runtime_error("PNG encoding failed");
    std::vector<std::uint8_t> out(static_cast<std::uint8_t*>(png),
                                  static_cast<std::uint8_t*>(png) + length);
    std::free(png);
    return out;
}

// Distinct RGBA values per pixel, alpha varying too.
inline std::vector<std::uint8_t> patternRgba(int width, int height) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = static_cast<std::uint8_t>(i * 29 + 7);
    return rgba;
}

} // namespace tessarine::testing
