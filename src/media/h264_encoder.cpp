#include "media/h264_encoder.hpp"

#include "media/libav_logging.hpp"

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <utility>

#include "media/annexb.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

namespace tessarine {

// ---------------------------------------------------------------------------
// EncoderError

EncoderError::EncoderError(Code code, std::int32_t status, std::string key, std::string description)
    : code_(code), status_(status), key_(std::move(key)), description_(std::move(description)) {}

EncoderError EncoderError::sessionCreateFailed(std::int32_t status) {
    return {Code::sessionCreateFailed,
            status,
            {},
            "VTCompressionSessionCreate failed (" + std::to_string(status) + ")"};
}

EncoderError EncoderError::propertySetFailed(std::string key, std::int32_t status) {
    std::string description =
        "VTSessionSetProperty " + key + " failed (" + std::to_string(status) + ")";
    return {Code::propertySetFailed, status, std::move(key), std::move(description)};
}

EncoderError EncoderError::prepareFailed(std::int32_t status) {
    return {Code::prepareFailed,
            status,
            {},
            "VTCompressionSessionPrepareToEncodeFrames failed (" + std::to_string(status) + ")"};
}

EncoderError EncoderError::encodeFailed(std::int32_t status) {
    return {Code::encodeFailed,
            status,
            {},
            "VTCompressionSessionEncodeFrame failed (" + std::to_string(status) + ")"};
}

EncoderError EncoderError::invalidPresentationTime(std::int64_t value) {
    return {Code::invalidPresentationTime,
            AVERROR(EINVAL),
            {},
            "Invalid presentation time (" + std::to_string(value) + ")"};
}

// ---------------------------------------------------------------------------
// Session: one opened libavcodec encoder and what it needs per frame.

struct H264Encoder::Session {
    AVCodecContext* context = nullptr;
    AVBufferRef* hwDevice = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* hwFrame = nullptr; // VA-API: the uploaded copy of `frame`
    AVPacket* packet = nullptr;
    std::string name;

    std::vector<std::uint8_t> sps; // latest parameter sets, put in front of keyframes
    std::vector<std::uint8_t> pps;

    // libavcodec sees a strictly increasing frame index as pts (rate control
    // wants monotonic timestamps); the caller's times are looked up on output.
    std::int64_t nextIndex = 0;
    std::deque<std::pair<std::int64_t, MediaTime>> inFlight;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        av_packet_free(&packet);
        av_frame_free(&hwFrame);
        av_frame_free(&frame);
        avcodec_free_context(&context);
        av_buffer_unref(&hwDevice);
    }

    void rememberParameterSet(ByteView unit) {
        if (nalUnitType(unit) == nal::kSps)
            sps.assign(unit.begin(), unit.end());
        else if (nalUnitType(unit) == nal::kPps)
            pps.assign(unit.begin(), unit.end());
    }
};

namespace {

constexpr std::size_t kMaxInFlight = 64;
// VBV of a few frames' worth of bits: bounds how far a large frame (a
// keyframe, a sudden change) can run ahead of the link, so queueing delay
// stays within roughly this many frame intervals.
constexpr std::int64_t kVbvFrames = 4;

struct Option {
    std::string key;
    std::string value;
};

struct Backend {
    const char* codec;
    bool vaapi;
};

// Hardware first; libx264 is the fallback that must work.
constexpr Backend kHardwareBackends[] = {{"h264_nvenc", false}, {"h264_vaapi", true}};
constexpr Backend kSoftwareBackend = {"libx264", false};

std::vector<Option> optionsFor(std::string_view codec, std::int64_t bitrateBps, int fps, int gop) {
    const std::int64_t vbv = fps > 0 ? bitrateBps * kVbvFrames / fps : bitrateBps;
    const std::vector<Option> rate = {
        {"g", std::to_string(gop)},        {"bf", "0"},
        {"b", std::to_string(bitrateBps)}, {"maxrate", std::to_string(bitrateBps)},
        {"bufsize", std::to_string(vbv)},
    };
    // Full range with the BT.709 matrix, so a decoder shows the right colours.
    const std::vector<Option> colour = {
        {"color_range", "pc"},
        {"colorspace", "bt709"},
        {"color_primaries", "bt709"},
        {"color_trc", "bt709"},
    };
    std::vector<Option> options;
    if (codec == "libx264") {
        options = {
            // ultrafast with CABAC and 8x8 transforms added back costs about a
            // third less CPU than superfast for about 1 dB less PSNR at the
            // same rate (bench/codec). zerolatency: no lookahead, no
            // reordering, sliced threads, one packet out per frame in.
            {"preset", "ultrafast"}, {"tune", "zerolatency"}, {"profile", "high"},
            {"coder", "cabac"},      {"8x8dct", "1"}, // ultrafast turns it off; High needs it
            {"forced-idr", "1"},     {"threads", "auto"},
        };
    } else if (codec == "h264_nvenc") {
        options = {
            {"preset", "p1"}, {"tune", "ull"},      {"profile", "high"}, {"coder", "cabac"},
            {"rc", "vbr"},    {"zerolatency", "1"}, {"delay", "0"},      {"forced-idr", "1"},
        };
    } else {
        options = {
            {"profile", "high"},
            {"coder", "cabac"},
            {"rc_mode", "VBR"},
            {"async_depth", "1"},
        };
    }
    options.insert(options.end(), rate.begin(), rate.end());
    options.insert(options.end(), colour.begin(), colour.end());
    return options;
}

// Opens one backend. Throws EncoderError; the partly built session goes with it.
std::unique_ptr<H264Encoder::Session> openBackend(const Backend& backend, int width, int height,
                                                  std::int64_t bitrateBps, int fps, int gop) {
    const AVCodec* codec = avcodec_find_encoder_by_name(backend.codec);
    if (!codec)
        throw EncoderError::sessionCreateFailed(AVERROR_ENCODER_NOT_FOUND);
    auto session = std::make_unique<H264Encoder::Session>();
    session->name = backend.codec;
    session->context = avcodec_alloc_context3(codec);
    session->frame = av_frame_alloc();
    session->packet = av_packet_alloc();
    if (!session->context || !session->frame || !session->packet)
        throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));

    AVCodecContext* c = session->context;
    c->width = width;
    c->height = height;
    c->time_base = AVRational{1, fps};
    c->framerate = AVRational{fps, 1};
    c->pix_fmt = AV_PIX_FMT_NV12;
    // Parameter sets also come out of band, so they are known before the first frame.
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;

    if (backend.vaapi) {
        int status =
            av_hwdevice_ctx_create(&session->hwDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
        if (status < 0)
            throw EncoderError::sessionCreateFailed(status);
        AVBufferRef* frames = av_hwframe_ctx_alloc(session->hwDevice);
        if (!frames)
            throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
        auto* fc = reinterpret_cast<AVHWFramesContext*>(frames->data);
        fc->format = AV_PIX_FMT_VAAPI;
        fc->sw_format = AV_PIX_FMT_NV12;
        fc->width = width;
        fc->height = height;
        fc->initial_pool_size = 4;
        status = av_hwframe_ctx_init(frames);
        if (status < 0) {
            av_buffer_unref(&frames);
            throw EncoderError::sessionCreateFailed(status);
        }
        c->hw_frames_ctx = frames;
        c->pix_fmt = AV_PIX_FMT_VAAPI;
        session->hwFrame = av_frame_alloc();
        if (!session->hwFrame)
            throw EncoderError::sessionCreateFailed(AVERROR(ENOMEM));
    }

    for (const Option& option : optionsFor(backend.codec, bitrateBps, fps, gop)) {
        int status =
            av_opt_set(c, option.key.c_str(), option.value.c_str(), AV_OPT_SEARCH_CHILDREN);
        if (status < 0)
            throw EncoderError::propertySetFailed(option.key, status);
    }

    int status = avcodec_open2(c, codec, nullptr);
    if (status < 0)
        throw EncoderError::prepareFailed(status);

    if (c->extradata && c->extradata_size > 0) {
        ByteView extradata(c->extradata, static_cast<std::size_t>(c->extradata_size));
        for (ByteView unit : splitAnnexB(extradata))
            session->rememberParameterSet(unit);
    }
    return session;
}

bool softwareForced() {
    const char* value = std::getenv("TESSARINE_SOFTWARE_ENCODER");
    return value && std::string_view(value) == "1";
}

} // namespace

// ---------------------------------------------------------------------------
// H264Encoder

H264Encoder::H264Encoder(int width, int height, std::int64_t bitrateBps, int fps, int gop)
    : log_("app.tessarine.mac", "Encode"), width_(width), height_(height), fps_(fps), gop_(gop),
      encodeTracker_("app.tessarine.mac", "Latency", "encode", 60), encodeStartByPTS_(64) {
    quietLibavLogging();
    if (!softwareForced()) {
        for (const Backend& backend : kHardwareBackends) {
            if (!avcodec_find_encoder_by_name(backend.codec))
                continue;
            try {
                session_ = openBackend(backend, width, height, bitrateBps, fps, gop);
                break;
            } catch (const EncoderError& error) {
                log_.debug("%{public}s unavailable: %{public}s", backend.codec, error.what());
            }
        }
    }
    if (!session_)
        session_ = openBackend(kSoftwareBackend, width, height, bitrateBps, fps, gop);
    encoderName_ = session_->name;
    log_.debug("Using encoder %{public}s", encoderName_);
    log_.info("H.264Encoder ready (low-latency rate control, CABAC) %ldx%ld@%ldfps, "
              "bitrate=%ldkbps, gop=%ld",
              width, height, fps, bitrateBps / 1000, gop);
}

H264Encoder::~H264Encoder() {
    invalidate();
}

bool H264Encoder::isOpen() const {
    std::lock_guard lock(mutex_);
    return session_ != nullptr;
}

void H264Encoder::requestIDR() {
    pendingForceIDR_.store(true);
}

void H264Encoder::onEncodedFrame(EncodedFrameHandler handler) {
    std::lock_guard lock(handlerMutex_);
    onEncodedFrame_ = std::move(handler);
}

void H264Encoder::invalidate() {
    std::unique_ptr<Session> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = std::move(session_);
    }
}

void H264Encoder::close() {
    std::vector<EncodedFrame> frames;
    {
        std::lock_guard lock(mutex_);
        if (!session_)
            return;
        // A null frame asks for every pending frame; failures only lose those.
        if (avcodec_send_frame(session_->context, nullptr) >= 0)
            frames = drain(*session_);
        session_.reset();
    }
    deliver(std::move(frames));
}

void H264Encoder::encode(const PixelBuffer& buffer, MediaTime pts, MediaTime /*duration*/) {
    std::vector<EncodedFrame> frames;
    {
        std::lock_guard lock(mutex_);
        if (!session_)
            return;
        if (!pts.isValid() || pts.value < 0)
            throw EncoderError::invalidPresentationTime(pts.value);
        // The encoder reads width x height pixels through the strides: a
        // smaller picture, or rows narrower than the picture, would be read
        // past their end.
        if (buffer.width() != width_ || buffer.height() != height_ || !buffer.luma() ||
            !buffer.chroma() || buffer.lumaStride() < width_ ||
            buffer.chromaStride() < (width_ + 1) / 2 * 2)
            throw EncoderError::encodeFailed(AVERROR(EINVAL));

        Session& s = *session_;
        bool forceIDR = pendingForceIDR_.exchange(false);
        // Keyframes at most gop/fps seconds apart even when frames come
        // irregularly (an unchanged screen produces none).
        if (!forceIDR && lastKeyframeSeconds_ && gop_ > 0 && fps_ > 0 &&
            pts.seconds() - *lastKeyframeSeconds_ >= static_cast<double>(gop_) / fps_)
            forceIDR = true;

        encodeStartByPTS_.mark(static_cast<std::uint64_t>(pts.value));

        // Wrap the caller's planes without copying; the reference keeps the
        // picture alive for as long as libavcodec holds on to it.
        auto* holder = new PixelBuffer(buffer);
        AVBufferRef* planes = av_buffer_create(
            buffer.luma(),
            static_cast<std::size_t>(buffer.lumaStride()) * static_cast<std::size_t>(height_),
            [](void* opaque, std::uint8_t*) { delete static_cast<PixelBuffer*>(opaque); }, holder,
            AV_BUFFER_FLAG_READONLY);
        if (!planes) {
            delete holder;
            throw EncoderError::encodeFailed(AVERROR(ENOMEM));
        }
        AVFrame* frame = s.frame;
        frame->buf[0] = planes;
        frame->data[0] = buffer.luma();
        frame->data[1] = buffer.chroma();
        frame->linesize[0] = buffer.lumaStride();
        frame->linesize[1] = buffer.chromaStride();
        frame->format = AV_PIX_FMT_NV12;
        frame->width = width_;
        frame->height = height_;
        frame->color_range = AVCOL_RANGE_JPEG;
        frame->colorspace = AVCOL_SPC_BT709;
        frame->pts = s.nextIndex++;
        frame->pict_type = forceIDR ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

        s.inFlight.emplace_back(frame->pts, pts);
        while (s.inFlight.size() > kMaxInFlight)
            s.inFlight.pop_front();

        AVFrame* submitted = frame;
        int status = 0;
        if (s.hwFrame) {
            status = av_hwframe_get_buffer(s.context->hw_frames_ctx, s.hwFrame, 0);
            if (status >= 0)
                status = av_hwframe_transfer_data(s.hwFrame, frame, 0);
            if (status >= 0)
                status = av_frame_copy_props(s.hwFrame, frame);
            submitted = s.hwFrame;
        }
        if (status >= 0)
            status = avcodec_send_frame(s.context, submitted);
        av_frame_unref(frame);
        if (s.hwFrame)
            av_frame_unref(s.hwFrame);
        if (status < 0)
            throw EncoderError::encodeFailed(status);
        frames = drain(s);
    }
    deliver(std::move(frames));
}

// Collects every packet the encoder has ready, each normalised to the wire's
// Annex B form. Called with the lock held.
std::vector<EncodedFrame> H264Encoder::drain(Session& s) {
    std::vector<EncodedFrame> frames;
    for (;;) {
        int status = avcodec_receive_packet(s.context, s.packet);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            break;
        if (status < 0)
            throw EncoderError::encodeFailed(status);

        ByteView data(s.packet->data, static_cast<std::size_t>(s.packet->size));
        std::vector<ByteView> units =
            startsWithStartCode(data) ? splitAnnexB(data) : splitLengthPrefixed(data);
        EncodedFrame out;
        out.isKeyframe = (s.packet->flags & AV_PKT_FLAG_KEY) != 0;
        for (ByteView unit : units)
            s.rememberParameterSet(unit);
        out.annexB.reserve(data.size() + s.sps.size() + s.pps.size() + 4 * units.size() + 8);
        if (out.isKeyframe && !s.sps.empty() && !s.pps.empty()) {
            appendNalUnit(out.annexB, s.sps);
            appendNalUnit(out.annexB, s.pps);
        }
        for (ByteView unit : units) {
            const int type = nalUnitType(unit);
            // Parameter sets go only in front of keyframes (above); a delimiter
            // would have to come first, and the wire does not need one.
            if (type == nal::kSps || type == nal::kPps || type == nal::kAccessUnitDelimiter)
                continue;
            appendNalUnit(out.annexB, unit);
        }

        out.pts = MediaTime::invalid();
        for (auto it = s.inFlight.begin(); it != s.inFlight.end(); ++it) {
            if (it->first == s.packet->pts) {
                out.pts = it->second;
                s.inFlight.erase(s.inFlight.begin(), it + 1);
                break;
            }
        }
        if (out.isKeyframe && out.pts.isValid())
            lastKeyframeSeconds_ = out.pts.seconds();
        av_packet_unref(s.packet);
        frames.push_back(std::move(out));
    }
    return frames;
}

void H264Encoder::deliver(std::vector<EncodedFrame> frames) {
    if (frames.empty())
        return;
    EncodedFrameHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = onEncodedFrame_;
    }
    for (EncodedFrame& frame : frames) {
        if (frame.pts.isValid()) {
            if (auto ms = encodeStartByPTS_.elapsedMs(static_cast<std::uint64_t>(frame.pts.value)))
                encodeTracker_.record(*ms);
        }
        if (handler)
            handler(std::move(frame));
    }
}

} // namespace tessarine
