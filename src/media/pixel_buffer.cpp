#include "media/pixel_buffer.hpp"

#include <cstdlib>
#include <new>

namespace tessarine {

PixelBuffer PixelBuffer::allocate(int width, int height) {
    PixelBuffer buffer;
    if (width <= 0 || height <= 0)
        return buffer;
    const int stride = (width + 63) & ~63;
    const std::size_t lumaBytes = static_cast<std::size_t>(stride) * height;
    const std::size_t chromaBytes = static_cast<std::size_t>(stride) * ((height + 1) / 2);
    // 64-byte alignment suits SIMD converters and encoders alike.
    void* memory = std::aligned_alloc(64, lumaBytes + chromaBytes);
    if (!memory)
        throw std::bad_alloc();
    buffer.storage_ = std::shared_ptr<void>(memory, [](void* p) { std::free(p); });
    buffer.width_ = width;
    buffer.height_ = height;
    buffer.luma_ = static_cast<std::uint8_t*>(memory);
    buffer.chroma_ = buffer.luma_ + lumaBytes;
    buffer.lumaStride_ = stride;
    buffer.chromaStride_ = stride;
    return buffer;
}

PixelBuffer PixelBuffer::borrow(int width, int height, std::uint8_t* luma, int lumaStride,
                                std::uint8_t* chroma, int chromaStride,
                                std::shared_ptr<void> keepAlive) {
    PixelBuffer buffer;
    buffer.width_ = width;
    buffer.height_ = height;
    buffer.luma_ = luma;
    buffer.chroma_ = chroma;
    buffer.lumaStride_ = lumaStride;
    buffer.chromaStride_ = chromaStride;
    buffer.storage_ = std::move(keepAlive);
    return buffer;
}

} // namespace tessarine
