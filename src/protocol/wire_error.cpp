#include "protocol/wire_error.hpp"

namespace tessarine {

WireError::WireError(Code code, std::int64_t count, std::string text, std::string description)
    : code_(code), count_(count), text_(std::move(text)), description_(std::move(description)) {}

WireError WireError::unknownFrameType(std::uint8_t byte) {
    return {Code::unknownFrameType, byte, {}, "unknownFrameType(" + std::to_string(byte) + ")"};
}
WireError WireError::controlPayloadTooLarge(std::int64_t count) {
    return {Code::controlPayloadTooLarge,
            count,
            {},
            "controlPayloadTooLarge(" + std::to_string(count) + ")"};
}
WireError WireError::decodeFailed(std::string text) {
    std::string description = "decodeFailed(\"" + text + "\")";
    return {Code::decodeFailed, 0, std::move(text), std::move(description)};
}
WireError WireError::truncated() {
    return {Code::truncated, 0, {}, "truncated"};
}
WireError WireError::invalidUTF8() {
    return {Code::invalidUTF8, 0, {}, "invalidUTF8"};
}
WireError WireError::frameTooLarge(std::uint64_t declaredLength) {
    return {Code::frameTooLarge,
            static_cast<std::int64_t>(declaredLength),
            {},
            "frameTooLarge(" + std::to_string(declaredLength) + ")"};
}

} // namespace tessarine
