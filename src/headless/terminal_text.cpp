#include "headless/terminal_text.hpp"

#include <utf8proc.h>

namespace tessarine {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD

bool isUnsafe(utf8proc_int32_t codepoint) {
    switch (utf8proc_category(codepoint)) {
    case UTF8PROC_CATEGORY_CC: // C0 and C1 controls, DEL
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
        return true;
    default:
        break;
    }
    // Embeddings, overrides, isolates and marks that reorder what follows.
    return codepoint == 0x061C || codepoint == 0x200E || codepoint == 0x200F ||
           (codepoint >= 0x202A && codepoint <= 0x202E) ||
           (codepoint >= 0x2066 && codepoint <= 0x2069);
}

} // namespace

std::string terminalSafe(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t codepoint = -1;
        const utf8proc_ssize_t length = utf8proc_iterate(bytes, remaining, &codepoint);
        if (length <= 0) { // not UTF-8: replace one byte and resynchronise
            safe += kReplacement;
            ++bytes;
            --remaining;
            continue;
        }
        if (isUnsafe(codepoint))
            safe += kReplacement;
        else
            safe.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
        bytes += length;
        remaining -= length;
    }
    return safe;
}

} // namespace tessarine
