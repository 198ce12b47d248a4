#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "diagnostics/latency_tracker.hpp"
#include "diagnostics/logger.hpp"
#include "diagnostics/pts_timestamp_store.hpp"
#include "media/media_time.hpp"
#include "media/pixel_buffer.hpp"

namespace tessarine {

// One access unit: every NAL unit behind a 4-byte start code; a keyframe
// starts with the SPS and the PPS, other frames carry no parameter sets.
struct EncodedFrame {
    std::vector<std::uint8_t> annexB;
    MediaTime pts;
    bool isKeyframe = false;
    bool operator==(const EncodedFrame&) const = default;
};

class EncoderError : public std::exception {
public:
    enum class Code {
        sessionCreateFailed,
        propertySetFailed,
        prepareFailed,
        encodeFailed,
        invalidPresentationTime,
    };

    // No encoder could be opened at all.
    static EncoderError sessionCreateFailed(std::int32_t status);
    // The encoder refused an option; `key` is the option's name.
    static EncoderError propertySetFailed(std::string key, std::int32_t status);
    // Opening the configured encoder failed.
    static EncoderError prepareFailed(std::int32_t status);
    // A frame was refused (including a frame of the wrong size).
    static EncoderError encodeFailed(std::int32_t status);
    // A negative or invalid presentation time cannot key the latency store.
    static EncoderError invalidPresentationTime(std::int64_t value);

    Code code() const { return code_; }
    std::int32_t status() const { return status_; }
    const std::string& key() const { return key_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    EncoderError(Code code, std::int32_t status, std::string key, std::string description);

    Code code_;
    std::int32_t status_;
    std::string key_;
    std::string description_;
};

// Low-latency H.264 encoder on libavcodec: a hardware encoder (NVENC, VA-API)
// when one opens, else libx264; TESSARINE_SOFTWARE_ENCODER=1 forces libx264.
// Configured for real-time streaming: no frame reordering, High profile with
// CABAC, keyframes at most every `gop` frames and every gop/fps seconds,
// average bit rate with a small VBV, full-range BT.709 signalled in the VUI.
//
// `encode` hands each access unit to `onEncodedFrame` as soon as the library
// returns it, on the calling thread and outside the encoder's lock. Callers
// share the encoder through a shared_ptr; `encode` is called from one thread
// at a time, `requestIDR` from any thread.
class H264Encoder {
public:
    using EncodedFrameHandler = std::function<void(EncodedFrame)>;

    H264Encoder(int width, int height, std::int64_t bitrateBps, int fps, int gop);
    ~H264Encoder();

    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // Submits one NV12 picture of the configured size without copying it.
    // Does nothing once the encoder has been invalidated or closed.
    void encode(const PixelBuffer& buffer, MediaTime pts, MediaTime duration);

    // Exactly the next `encode` produces an IDR picture.
    void requestIDR();

    // Drops the encoder; pending frames are lost, later `encode` calls do nothing.
    void invalidate();

    // Delivers every pending frame, then drops the encoder.
    void close();

    void onEncodedFrame(EncodedFrameHandler handler);

    int width() const { return width_; }
    int height() const { return height_; }
    // The libavcodec encoder in use ("libx264", "h264_nvenc", "h264_vaapi").
    const std::string& encoderName() const { return encoderName_; }
    bool isOpen() const;

    struct Session; // the libavcodec state, private to the implementation

private:
    std::vector<EncodedFrame> drain(Session& session);
    void deliver(std::vector<EncodedFrame> frames);

    Logger log_;
    int width_;
    int height_;
    int fps_;
    int gop_;
    std::string encoderName_;
    LatencyTracker encodeTracker_;
    PTSTimestampStore encodeStartByPTS_;
    std::atomic<bool> pendingForceIDR_{false};

    mutable std::mutex mutex_;         // guards the session and the fields below
    std::unique_ptr<Session> session_; // none once invalidated
    std::optional<double> lastKeyframeSeconds_;

    std::mutex handlerMutex_;
    EncodedFrameHandler onEncodedFrame_; // guarded by handlerMutex_
};

} // namespace tessarine
