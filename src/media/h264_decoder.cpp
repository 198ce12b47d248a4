#include "media/h264_decoder.hpp"

#include "media/libav_logging.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace tessarine {

// ---------------------------------------------------------------------------
// DecoderError

DecoderError::DecoderError(Code code, std::int32_t status, std::string description)
    : code_(code), status_(status), description_(std::move(description)) {}

DecoderError DecoderError::formatDescriptionFailed(std::int32_t status) {
    return {Code::formatDescriptionFailed, status,
            "H.264 parameter sets rejected (" + std::to_string(status) + ")"};
}

DecoderError DecoderError::sessionCreateFailed(std::int32_t status) {
    return {Code::sessionCreateFailed, status,
            "H.264 decoder could not be opened (" + std::to_string(status) + ")"};
}

DecoderError DecoderError::decodeFailed(std::int32_t status) {
    return {Code::decodeFailed, status, "H.264 decode failed (" + std::to_string(status) + ")"};
}

DecoderError DecoderError::noParameterSets() {
    return {Code::noParameterSets, 0, "No H.264 parameter sets"};
}

// ---------------------------------------------------------------------------
// Session

struct H264Decoder::Session {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* scaler = nullptr;
    int scalerWidth = 0;
    int scalerHeight = 0;
    int scalerFormat = -1;
    int scalerSourceRange = -1;

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        sws_freeContext(scaler);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    }
};

namespace {

constexpr std::size_t kMaxPending = 32;
constexpr std::size_t kPoolSize = 4;
// profile_idc, constraint flags and level_idc follow the header byte; an SPS
// without them cannot describe a stream.
constexpr std::size_t kMinSpsBytes = 4;

// A converter to full-range NV12. The ranges must be known before
// initialisation: swscale picks its plain copy-and-interleave path when they
// match and a range-converting path when they differ, and does not revisit
// that choice later.
SwsContext* createScaler(int width, int height, AVPixelFormat source, int sourceRange) {
    SwsContext* scaler = sws_alloc_context();
    if (!scaler)
        return nullptr;
    av_opt_set_int(scaler, "srcw", width, 0);
    av_opt_set_int(scaler, "srch", height, 0);
    av_opt_set_int(scaler, "src_format", source, 0);
    av_opt_set_int(scaler, "dstw", width, 0);
    av_opt_set_int(scaler, "dsth", height, 0);
    av_opt_set_int(scaler, "dst_format", AV_PIX_FMT_NV12, 0);
    av_opt_set_int(scaler, "sws_flags", SWS_POINT, 0);
    av_opt_set_int(scaler, "src_range", sourceRange, 0);
    av_opt_set_int(scaler, "dst_range", 1, 0);
    if (sws_init_context(scaler, nullptr, nullptr) < 0) {
        sws_freeContext(scaler);
        return nullptr;
    }
    return scaler;
}

} // namespace

H264Decoder::H264Decoder() : log_("app.tessarine.mac", "Decode") {
    quietLibavLogging();
}

H264Decoder::~H264Decoder() {
    invalidate();
}

void H264Decoder::onDecodedFrame(DecodedFrameHandler handler) {
    std::lock_guard lock(handlerMutex_);
    onDecodedFrame_ = std::move(handler);
}

void H264Decoder::invalidate() {
    session_.reset();
    sps_.clear();
    pps_.clear();
    pending_.clear();
}

void H264Decoder::createSession() {
    if (sps_.empty() || pps_.empty())
        throw DecoderError::noParameterSets();
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        throw DecoderError::sessionCreateFailed(AVERROR_DECODER_NOT_FOUND);
    auto session = std::make_unique<Session>();
    session->context = avcodec_alloc_context3(codec);
    session->packet = av_packet_alloc();
    session->frame = av_frame_alloc();
    if (!session->context || !session->packet || !session->frame)
        throw DecoderError::sessionCreateFailed(AVERROR(ENOMEM));

    AVCodecContext* c = session->context;
    // The parameter sets travel as extradata, the way a format description
    // carries them; access units then hold only the picture's own units.
    const std::size_t size = 8 + sps_.size() + pps_.size();
    c->extradata = static_cast<std::uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!c->extradata)
        throw DecoderError::sessionCreateFailed(AVERROR(ENOMEM));
    std::vector<std::uint8_t> extradata;
    extradata.reserve(size);
    appendNalUnit(extradata, sps_);
    appendNalUnit(extradata, pps_);
    std::memcpy(c->extradata, extradata.data(), size);
    c->extradata_size = static_cast<int>(size);
    // Slice threads only: frame threads would hold pictures back.
    c->thread_type = FF_THREAD_SLICE;
    c->thread_count = 0;
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;

    int status = avcodec_open2(c, codec, nullptr);
    if (status < 0)
        throw DecoderError::sessionCreateFailed(status);
    session_ = std::move(session);
    ++sessionsCreated_;
}

void H264Decoder::decode(ByteView annexB, MediaTime pts) {
    std::vector<ByteView> units = splitAnnexB(annexB);
    if (units.empty())
        return;

    ByteView sps, pps;
    std::vector<ByteView> picture;
    for (ByteView unit : units) {
        if (unit.empty())
            continue;
        switch (nalUnitType(unit)) {
        case nal::kSps:
            sps = unit;
            break;
        case nal::kPps:
            pps = unit;
            break;
        default:
            picture.push_back(unit);
        }
    }

    if (!sps.empty() && !pps.empty()) {
        if (sps.size() < kMinSpsBytes)
            throw DecoderError::formatDescriptionFailed(AVERROR_INVALIDDATA);
        const bool changed = !std::equal(sps.begin(), sps.end(), sps_.begin(), sps_.end()) ||
                             !std::equal(pps.begin(), pps.end(), pps_.begin(), pps_.end());
        if (changed) {
            if (session_)
                log_.debug("Parameter sets changed; recreating the decoder");
            session_.reset();
            pending_.clear();
            sps_.assign(sps.begin(), sps.end());
            pps_.assign(pps.begin(), pps.end());
        }
    }
    if (sps_.empty() || pps_.empty())
        return; // nothing can be decoded before the first parameter sets
    if (!session_)
        createSession();
    if (picture.empty())
        return;

    // All units of one access unit go in together: a picture in several
    // slices decodes as one picture.
    std::size_t size = 0;
    for (ByteView unit : picture)
        size += sizeof kStartCode + unit.size();
    if (size > static_cast<std::size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
        throw DecoderError::decodeFailed(AVERROR(EINVAL));
    Session& s = *session_;
    int status = av_new_packet(s.packet, static_cast<int>(size));
    if (status < 0)
        throw DecoderError::decodeFailed(status);
    std::uint8_t* write = s.packet->data;
    for (ByteView unit : picture) {
        write = std::copy(std::begin(kStartCode), std::end(kStartCode), write);
        write = std::copy(unit.begin(), unit.end(), write);
    }
    s.packet->pts = pts.value;
    pending_.push_back(pts);
    while (pending_.size() > kMaxPending)
        pending_.pop_front();

    status = avcodec_send_packet(s.context, s.packet);
    av_packet_unref(s.packet);
    if (status < 0)
        throw DecoderError::decodeFailed(status);
    for (;;) {
        status = avcodec_receive_frame(s.context, s.frame);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            break;
        if (status < 0)
            throw DecoderError::decodeFailed(status);
        deliver(s.frame);
        av_frame_unref(s.frame);
    }
}

MediaTime H264Decoder::presentationTimeFor(std::int64_t value) {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->value == value) {
            MediaTime pts = *it;
            pending_.erase(pending_.begin(), it + 1);
            return pts;
        }
    }
    MediaTime pts = pending_.empty() ? MediaTime::invalid() : pending_.back();
    pts.value = value;
    return pts;
}

PixelBuffer H264Decoder::outputBuffer(int width, int height) {
    const int stride = (width + 63) & ~63;
    const std::size_t lumaBytes = static_cast<std::size_t>(stride) * height;
    const std::size_t bytes = lumaBytes + static_cast<std::size_t>(stride) * ((height + 1) / 2);
    if (bytes != poolBytes_) {
        pool_.clear();
        poolBytes_ = bytes;
    }
    // A picture nobody holds any more (only the pool's reference is left) is
    // reused; fresh large allocations would fault in every page each frame.
    std::shared_ptr<std::uint8_t> memory;
    for (auto& candidate : pool_) {
        if (candidate.use_count() == 1) {
            memory = candidate;
            break;
        }
    }
    if (!memory) {
        void* raw = std::aligned_alloc(64, (bytes + 63) & ~std::size_t{63});
        if (!raw)
            throw std::bad_alloc();
        memory = std::shared_ptr<std::uint8_t>(static_cast<std::uint8_t*>(raw),
                                               [](std::uint8_t* p) { std::free(p); });
        if (pool_.size() < kPoolSize)
            pool_.push_back(memory);
    }
    std::uint8_t* luma = memory.get();
    return PixelBuffer::borrow(width, height, luma, stride, luma + lumaBytes, stride,
                               std::shared_ptr<void>(memory, memory.get()));
}

void H264Decoder::deliver(AVFrame* frame) {
    const std::int64_t value =
        frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    const MediaTime pts = presentationTimeFor(value);
    const bool fullRange =
        frame->color_range == AVCOL_RANGE_JPEG || frame->format == AV_PIX_FMT_YUVJ420P;

    PixelBuffer picture;
    if (frame->format == AV_PIX_FMT_NV12 && fullRange) {
        // Already what callers want: lend the decoder's planes, no copy.
        AVFrame* held = av_frame_clone(frame);
        if (!held)
            throw DecoderError::decodeFailed(AVERROR(ENOMEM));
        std::shared_ptr<AVFrame> owner(held, [](AVFrame* f) { av_frame_free(&f); });
        picture = PixelBuffer::borrow(frame->width, frame->height, held->data[0], held->linesize[0],
                                      held->data[1], held->linesize[1], std::move(owner));
    } else if (frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P ||
               frame->format == AV_PIX_FMT_NV12) {
        Session& s = *session_;
        // yuvj420p is yuv420p with full range; naming the range explicitly
        // keeps swscale from guessing.
        const AVPixelFormat source =
            frame->format == AV_PIX_FMT_NV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
        const int sourceRange = fullRange ? 1 : 0;
        if (!s.scaler || s.scalerWidth != frame->width || s.scalerHeight != frame->height ||
            s.scalerFormat != source || s.scalerSourceRange != sourceRange) {
            sws_freeContext(s.scaler);
            s.scaler = createScaler(frame->width, frame->height, source, sourceRange);
            if (!s.scaler)
                throw DecoderError::decodeFailed(AVERROR(ENOMEM));
            s.scalerWidth = frame->width;
            s.scalerHeight = frame->height;
            s.scalerFormat = source;
            s.scalerSourceRange = sourceRange;
        }
        picture = outputBuffer(frame->width, frame->height);
        std::uint8_t* planes[4] = {picture.luma(), picture.chroma(), nullptr, nullptr};
        const int strides[4] = {picture.lumaStride(), picture.chromaStride(), 0, 0};
        sws_scale(s.scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    } else {
        throw DecoderError::decodeFailed(AVERROR_PATCHWELCOME); // not 8-bit 4:2:0
    }

    DecodedFrameHandler handler;
    {
        std::lock_guard lock(handlerMutex_);
        handler = onDecodedFrame_;
    }
    if (handler)
        handler(picture, pts);
}

} // namespace tessarine
