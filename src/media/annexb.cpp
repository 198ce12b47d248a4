#include "media/annexb.hpp"

namespace tessarine {

std::vector<ByteView> splitAnnexB(ByteView data) {
    std::vector<ByteView> units;
    const std::size_t n = data.size();
    if (n < 4)
        return units;
    bool seen = false;
    std::size_t unitStart = 0;
    std::size_t i = 0;
    while (i + 3 < n) {
        std::size_t codeLength = 0;
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
            codeLength = 3;
        else if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1)
            codeLength = 4;
        if (codeLength == 0) {
            ++i;
            continue;
        }
        if (seen)
            units.push_back(data.subspan(unitStart, i - unitStart));
        seen = true;
        i += codeLength;
        unitStart = i;
    }
    if (seen && unitStart < n)
        units.push_back(data.subspan(unitStart));
    return units;
}

bool startsWithStartCode(ByteView data) {
    if (data.size() >= 3 && data[0] == 0 && data[1] == 0 && data[2] == 1)
        return true;
    return data.size() >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
}

std::vector<ByteView> splitLengthPrefixed(ByteView data) {
    std::vector<ByteView> units;
    std::size_t offset = 0;
    while (data.size() - offset >= 4) {
        const std::uint32_t length = (std::uint32_t{data[offset]} << 24) |
                                     (std::uint32_t{data[offset + 1]} << 16) |
                                     (std::uint32_t{data[offset + 2]} << 8) | data[offset + 3];
        const std::size_t start = offset + 4;
        // Compared without adding, so a huge length cannot wrap around.
        if (length > data.size() - start)
            break;
        units.push_back(data.subspan(start, length));
        offset = start + length;
    }
    return units;
}

void appendNalUnit(std::vector<std::uint8_t>& out, ByteView unit) {
    out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
    out.insert(out.end(), unit.begin(), unit.end());
}

void appendLengthPrefixedAsAnnexB(std::vector<std::uint8_t>& out, ByteView data) {
    for (ByteView unit : splitLengthPrefixed(data))
        appendNalUnit(out, unit);
}

void appendNormalisedAnnexB(std::vector<std::uint8_t>& out, ByteView data) {
    for (ByteView unit : splitAnnexB(data))
        appendNalUnit(out, unit);
}

} // namespace tessarine
