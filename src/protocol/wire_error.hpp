#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tessarine {

// Errors of the frame layer. The description names the case and its value,
// e.g. "unknownFrameType(6)".
class WireError : public std::exception {
public:
    enum class Code {
        unknownFrameType,       // byte(): the offending type byte
        controlPayloadTooLarge, // count(): the JSON byte count
        decodeFailed,           // text(): the JSON decoder's description
        truncated,
        invalidUTF8,
        frameTooLarge, // count(): the declared payload length
    };

    static WireError unknownFrameType(std::uint8_t byte);
    static WireError controlPayloadTooLarge(std::int64_t count);
    static WireError decodeFailed(std::string text);
    static WireError truncated();
    static WireError invalidUTF8();
    static WireError frameTooLarge(std::uint64_t declaredLength);

    Code code() const { return code_; }
    std::uint8_t byte() const { return static_cast<std::uint8_t>(count_); }
    std::int64_t count() const { return count_; }
    const std::string& text() const { return text_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    WireError(Code code, std::int64_t count, std::string text, std::string description);

    Code code_;
    std::int64_t count_ = 0;
    std::string text_;
    std::string description_;
};

} // namespace tessarine
