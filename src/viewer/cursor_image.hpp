#pragma once

#include "protocol/control_message.hpp"

#include <cstdint>
#include <exception>
#include <vector>

namespace tessarine {

// Straight (not premultiplied) RGBA, 8 bits per channel, rows packed.
struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
    bool operator==(const RgbaImage&) const = default;
};

class CursorImageError : public std::exception {
public:
    enum class Code { invalidPng, tooLarge };

    CursorImageError(Code code, int status) : code_(code), status_(status) {}

    Code code() const { return code_; }
    // libspng's error code.
    int status() const { return status_; }
    const char* what() const noexcept override;

private:
    Code code_;
    int status_;
};

// Cursor shapes are small; anything larger than this is refused rather than
// allocated.
inline constexpr int kMaxCursorSidePx = 1024;

// Decodes the PNG of a cursorImage message to RGBA with libspng. Throws
// CursorImageError.
RgbaImage decodeCursorPng(const Bytes& png);

} // namespace tessarine
