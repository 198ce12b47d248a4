#pragma once

#include <string>
#include <string_view>

namespace tessarine {

// Text from a tablet (its name) made safe to print on a terminal: control
// characters (escape sequences, newlines), bidirectional overrides, line
// separators and bytes that are not UTF-8 each become U+FFFD, so a name can
// neither forge extra output lines nor drive the terminal.
std::string terminalSafe(std::string_view text);

} // namespace tessarine
