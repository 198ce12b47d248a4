#include "tools/timestamp_barcode.hpp"

namespace tessarine::TimestampBarcode {

std::optional<std::uint64_t> read(const std::uint8_t* luma, int stride, int width, int height) {
    if (width < widthPx || height < heightPx)
        return std::nullopt;
    auto sample = [&](int block) {
        const int x = block * blockPx + blockPx / 2;
        const int y = blockPx / 2;
        return luma[static_cast<std::size_t>(y) * stride + x];
    };
    if (sample(0) < 160 || sample(1) > 96)
        return std::nullopt;
    std::uint64_t value = 0;
    for (int bit = 0; bit < bits; ++bit)
        value = value << 1 | (sample(bit + 2) >= 128 ? 1u : 0u);
    return value;
}

std::uint64_t unwrap(std::uint64_t stamp, std::uint64_t nowUs) {
    constexpr std::uint64_t span = std::uint64_t{1} << bits;
    std::uint64_t candidate = (nowUs & ~(span - 1)) | stamp;
    if (candidate > nowUs + span / 2)
        candidate -= span;
    else if (candidate + span / 2 < nowUs)
        candidate += span;
    return candidate;
}

} // namespace tessarine::TimestampBarcode
