// Feeds arbitrary bytes to a FrameReader in chunks whose sizes the input
// chooses, and checks that every frame read back re-encodes to bytes that
// parse to the same frame. Memory stays bounded by the payload limit.
#include "protocol/frame_reader.hpp"

#include <cstdlib>

using namespace tessarine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    // A small direct-fill threshold so short inputs reach the in-place path too.
    FrameReader reader(1 << 20, 8);
    const std::uint8_t chunkSeed = data[0];
    std::size_t pos = 1;
    std::size_t step = (chunkSeed % 61) + 1;
    while (pos < size) {
        std::size_t n = std::min(step, size - pos);
        reader.append(std::span(data + pos, n));
        pos += n;
        step = (step * 7 + chunkSeed) % 251 + 1;
        for (;;) {
            std::optional<Frame> frame;
            try {
                frame = reader.next();
            } catch (const WireError& e) {
                if (e.code() != WireError::Code::decodeFailed)
                    return 0; // the stream is unusable; a transport drops the connection here
                continue;
            }
            if (!frame)
                break;
            Bytes again = frame->encode();
            FrameReader check;
            check.append(again);
            if (check.next() != frame)
                std::abort();
        }
        if (reader.bufferedBytes() > (1u << 20) + 13 + size)
            std::abort();
    }
    return 0;
}
