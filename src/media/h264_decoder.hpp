#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/logger.hpp"
#include "media/annexb.hpp"
#include "media/media_time.hpp"
#include "media/pixel_buffer.hpp"

struct AVFrame;

namespace tessarine {

class DecoderError : public std::exception {
public:
    enum class Code { formatDescriptionFailed, sessionCreateFailed, decodeFailed, noParameterSets };

    // The SPS/PPS pair cannot describe a stream.
    static DecoderError formatDescriptionFailed(std::int32_t status);
    // libavcodec's H.264 decoder could not be opened.
    static DecoderError sessionCreateFailed(std::int32_t status);
    // An access unit was refused or could not be decoded.
    static DecoderError decodeFailed(std::int32_t status);
    static DecoderError noParameterSets();

    Code code() const { return code_; }
    std::int32_t status() const { return status_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    DecoderError(Code code, std::int32_t status, std::string description);

    Code code_;
    std::int32_t status_;
    std::string description_;
};

// Decodes Annex B access units (parameter sets in front of keyframes) with
// libavcodec's H.264 decoder and hands every picture on as NV12 full range
// with its presentation time. A new SPS/PPS pair starts a new decoder, so a
// stream may change resolution at a keyframe; access units before the first
// parameter sets are dropped. `decode` is called from one thread at a time and
// calls `onDecodedFrame` before it returns.
class H264Decoder {
public:
    using DecodedFrameHandler = std::function<void(const PixelBuffer&, MediaTime)>;

    H264Decoder();
    ~H264Decoder();

    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    void decode(ByteView annexB, MediaTime pts);

    // Drops the decoder and the known parameter sets.
    void invalidate();

    void onDecodedFrame(DecodedFrameHandler handler);

    // Number of decoders opened so far (a new one per parameter-set change).
    std::uint64_t sessionsCreated() const { return sessionsCreated_; }

    struct Session; // the libavcodec state, private to the implementation

private:
    void createSession();
    void deliver(AVFrame* frame);
    MediaTime presentationTimeFor(std::int64_t value);
    PixelBuffer outputBuffer(int width, int height);

    Logger log_;
    std::unique_ptr<Session> session_;
    std::vector<std::uint8_t> sps_; // the current parameter sets; empty: none seen yet
    std::vector<std::uint8_t> pps_;
    std::deque<MediaTime> pending_;                   // times of submitted units, oldest first
    std::vector<std::shared_ptr<std::uint8_t>> pool_; // reusable NV12 pictures
    std::size_t poolBytes_ = 0;
    std::uint64_t sessionsCreated_ = 0;

    std::mutex handlerMutex_;
    DecodedFrameHandler onDecodedFrame_; // guarded by handlerMutex_
};

} // namespace tessarine
