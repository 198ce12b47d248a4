// Decodes arbitrary text as a control message; whatever decodes must encode
// and decode back to an equal message.
#include "protocol/control_message.hpp"

#include <cstdlib>

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    ControlMessage message;
    try {
        message = decodeControlMessage(text);
    } catch (const ControlDecodeError&) {
        return 0;
    }
    if (decodeControlMessage(encodeControlMessage(message)) != message)
        std::abort();
    return 0;
}
