#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace tessarine {

// One picture in NV12: a full-resolution luma plane followed by a half-height
// plane of interleaved Cb/Cr pairs (bi-planar 4:2:0), full range (0–255).
// The storage is either owned (allocated here) or borrowed from a producer
// (an X11 shared-memory segment, a decoder frame) that is kept alive through
// `keepAlive`, so capture hands its frame to the encoder without a copy.
class PixelBuffer {
public:
    PixelBuffer() = default;

    // Allocates an owned buffer; strides are the width rounded up to 64 bytes.
    static PixelBuffer allocate(int width, int height);

    // Wraps planes owned elsewhere; `keepAlive` holds their owner.
    static PixelBuffer borrow(int width, int height, std::uint8_t* luma, int lumaStride,
                              std::uint8_t* chroma, int chromaStride,
                              std::shared_ptr<void> keepAlive);

    int width() const { return width_; }
    int height() const { return height_; }
    bool empty() const { return width_ == 0 || height_ == 0; }

    std::uint8_t* luma() const { return luma_; }
    std::uint8_t* chroma() const { return chroma_; }
    int lumaStride() const { return lumaStride_; }
    int chromaStride() const { return chromaStride_; }
    int chromaHeight() const { return (height_ + 1) / 2; }

    // Luma value and (Cb, Cr) pair at a pixel position, for tests and checks.
    std::uint8_t y(int x, int row) const {
        return luma_[static_cast<std::size_t>(row) * lumaStride_ + x];
    }
    std::uint8_t cb(int x, int row) const {
        return chroma_[static_cast<std::size_t>(row / 2) * chromaStride_ + (x / 2) * 2];
    }
    std::uint8_t cr(int x, int row) const {
        return chroma_[static_cast<std::size_t>(row / 2) * chromaStride_ + (x / 2) * 2 + 1];
    }

private:
    int width_ = 0;
    int height_ = 0;
    std::uint8_t* luma_ = nullptr;
    std::uint8_t* chroma_ = nullptr;
    int lumaStride_ = 0;
    int chromaStride_ = 0;
    std::shared_ptr<void> storage_; // owned memory or the borrowed planes' owner
};

} // namespace tessarine
