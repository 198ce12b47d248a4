#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tessarine {

// H.264 elementary-stream helpers: the two ways NAL units are delimited
// (Annex B start codes and 4-byte big-endian length prefixes, "AVCC") and the
// one form this system sends: every NAL unit behind a 4-byte start code.

using ByteView = std::span<const std::uint8_t>;

namespace nal {
inline constexpr int kSlice = 1;
inline constexpr int kIdrSlice = 5;
inline constexpr int kSei = 6;
inline constexpr int kSps = 7;
inline constexpr int kPps = 8;
inline constexpr int kAccessUnitDelimiter = 9;
} // namespace nal

inline constexpr std::uint8_t kStartCode[4] = {0, 0, 0, 1};

// The NAL unit type (low 5 bits of the header byte); -1 for an empty unit.
inline int nalUnitType(ByteView unit) {
    return unit.empty() ? -1 : (unit[0] & 0x1f);
}

// Splits Annex B data at 3- and 4-byte start codes (mixed freely). Bytes before
// the first start code are ignored; units may be empty. Fewer than 4 bytes or
// no start code: no units. The views point into `data`.
std::vector<ByteView> splitAnnexB(ByteView data);

// Whether the data begins with a 3- or 4-byte start code.
bool startsWithStartCode(ByteView data);

// Walks 4-byte big-endian length-prefixed units. A unit whose length runs
// past the end stops the walk: it and any bytes after it are dropped, the
// units before it are kept. Fewer than 4 bytes left: the walk ends.
std::vector<ByteView> splitLengthPrefixed(ByteView data);

// Appends 00 00 00 01 and the unit (an empty unit gives a bare start code).
void appendNalUnit(std::vector<std::uint8_t>& out, ByteView unit);

// Length-prefixed units rewritten as 4-byte start-code units, in one pass.
void appendLengthPrefixedAsAnnexB(std::vector<std::uint8_t>& out, ByteView data);

// Annex B with any mix of 3- and 4-byte start codes rewritten with 4-byte ones.
void appendNormalisedAnnexB(std::vector<std::uint8_t>& out, ByteView data);

} // namespace tessarine
