#include "media/h264_decoder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "media/h264_encoder.hpp"
#include "media/synthetic_video.hpp"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

using namespace tessarine;
using tessarine::testing::chromaPsnr;
using tessarine::testing::lumaPsnr;
using tessarine::testing::syntheticFrame;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
    PixelBuffer picture;
    MediaTime pts;
};

class H264DecoderTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TESSARINE_SOFTWARE_ENCODER", "1", 1);
        decoder.onDecodedFrame([this](const PixelBuffer& picture, MediaTime pts) {
            decoded.push_back({picture, pts});
        });
    }

    static std::vector<EncodedFrame> encode(int width, int height, int count, int first = 0,
                                            int gop = 30) {
        H264Encoder encoder(width, height, 2'000'000, 60, gop);
        std::vector<EncodedFrame> out;
        encoder.onEncodedFrame([&](EncodedFrame f) { out.push_back(std::move(f)); });
        for (int i = first; i < first + count; ++i)
            encoder.encode(syntheticFrame(width, height, i), MediaTime::make(i, 60),
                           MediaTime::make(1, 60));
        return out;
    }

    H264Decoder decoder;
    std::vector<Decoded> decoded;
};

} // namespace

TEST_F(H264DecoderTest, RoundTripKeepsSizeTimesAndPicture) {
    const int width = 640, height = 360, count = 300;
    const auto stream = encode(width, height, count, 0, 120);
    ASSERT_EQ(stream.size(), static_cast<std::size_t>(count));

    std::size_t mostSlices = 0;
    for (const auto& frame : stream) {
        const auto before = decoded.size();
        decoder.decode(frame.annexB, frame.pts);
        // One picture per access unit, out before decode returns, even when
        // the picture is split into several slices.
        ASSERT_EQ(decoded.size(), before + 1);
        std::size_t slices = 0;
        for (ByteView unit : splitAnnexB(frame.annexB))
            if (nalUnitType(unit) == nal::kSlice || nalUnitType(unit) == nal::kIdrSlice)
                ++slices;
        mostSlices = std::max(mostSlices, slices);
    }
    if (std::thread::hardware_concurrency() >= 2) {
        EXPECT_GE(mostSlices, 2u) << "expected sliced-thread output to exercise slice packing";
    }
    EXPECT_EQ(decoder.sessionsCreated(), 1u) << "repeated identical parameter sets reopened";

    double worstLuma = 1e9, worstChroma = 1e9;
    for (int i = 0; i < count; ++i) {
        const Decoded& d = decoded[static_cast<std::size_t>(i)];
        EXPECT_EQ(d.pts, MediaTime::make(i, 60));
        ASSERT_EQ(d.picture.width(), width);
        ASSERT_EQ(d.picture.height(), height);
        const PixelBuffer original = syntheticFrame(width, height, i);
        worstLuma = std::min(worstLuma, lumaPsnr(original, d.picture));
        worstChroma = std::min(worstChroma, chromaPsnr(original, d.picture));
    }
    // A range or matrix mix-up (e.g. full range read as limited) costs far
    // more than this; plain coding loss at this rate stays well above.
    EXPECT_GT(worstLuma, 30.0);
    EXPECT_GT(worstChroma, 30.0);
}

namespace {

constexpr std::uint8_t kLevels[] = {4, 64, 250};

PixelBuffer flatPicture(int width, int height, std::uint8_t y, std::uint8_t cb, std::uint8_t cr) {
    PixelBuffer flat = PixelBuffer::allocate(width, height);
    for (int row = 0; row < height; ++row)
        std::memset(flat.luma() + row * flat.lumaStride(), y, static_cast<std::size_t>(width));
    for (int row = 0; row < flat.chromaHeight(); ++row)
        for (int x = 0; x < width; x += 2) {
            flat.chroma()[row * flat.chromaStride() + x] = cb;
            flat.chroma()[row * flat.chromaStride() + x + 1] = cr;
        }
    return flat;
}

// A stream from another encoder that signals limited (video) range.
std::vector<Bytes> limitedRangeStream(const std::vector<std::uint8_t>& levels) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->width = 64;
    c->height = 64;
    c->time_base = {1, 60};
    c->pix_fmt = AV_PIX_FMT_NV12;
    c->color_range = AVCOL_RANGE_MPEG;
    av_opt_set(c, "preset", "ultrafast", AV_OPT_SEARCH_CHILDREN);
    av_opt_set(c, "tune", "zerolatency", AV_OPT_SEARCH_CHILDREN);
    av_opt_set(c, "qp", "0", AV_OPT_SEARCH_CHILDREN);
    EXPECT_EQ(avcodec_open2(c, codec, nullptr), 0);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        PixelBuffer flat = flatPicture(64, 64, levels[i], 128, 128);
        frame->format = AV_PIX_FMT_NV12;
        frame->width = 64;
        frame->height = 64;
        frame->data[0] = flat.luma();
        frame->data[1] = flat.chroma();
        frame->linesize[0] = flat.lumaStride();
        frame->linesize[1] = flat.chromaStride();
        frame->pts = static_cast<std::int64_t>(i);
        EXPECT_EQ(avcodec_send_frame(c, frame), 0);
        while (avcodec_receive_packet(c, packet) == 0) {
            out.emplace_back(packet->data, packet->data + packet->size);
            av_packet_unref(packet);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    return out;
}

} // namespace

TEST_F(H264DecoderTest, FullRangeLevelsSurviveUnchanged) {
    // Flat pictures near the ends of the range: limited-range handling
    // anywhere in the chain would clip or stretch them.
    H264Encoder encoder(320, 240, 1'000'000, 60, 30);
    std::vector<EncodedFrame> out;
    encoder.onEncodedFrame([&](EncodedFrame f) { out.push_back(std::move(f)); });
    for (int i = 0; i < 3; ++i)
        encoder.encode(flatPicture(320, 240, kLevels[i], 250, 4), MediaTime::make(i, 60), {});
    for (const auto& f : out)
        decoder.decode(f.annexB, f.pts);
    ASSERT_EQ(decoded.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(decoded[i].picture.y(160, 120), kLevels[i], 2) << i;
        EXPECT_NEAR(decoded[i].picture.cb(160, 120), 250, 2) << i;
        EXPECT_NEAR(decoded[i].picture.cr(160, 120), 4, 2) << i;
    }
}

TEST_F(H264DecoderTest, LimitedRangeStreamsComeOutFullRange) {
    const auto stream = limitedRangeStream({16, 126, 235});
    ASSERT_EQ(stream.size(), 3u);
    for (std::size_t i = 0; i < stream.size(); ++i)
        decoder.decode(stream[i], MediaTime::make(static_cast<std::int64_t>(i), 60));
    ASSERT_EQ(decoded.size(), 3u);
    EXPECT_NEAR(decoded[0].picture.y(32, 32), 0, 1);
    EXPECT_NEAR(decoded[1].picture.y(32, 32), 128, 1);
    EXPECT_NEAR(decoded[2].picture.y(32, 32), 255, 1);
    EXPECT_NEAR(decoded[2].picture.cb(32, 32), 128, 1);
}

TEST_F(H264DecoderTest, NewParameterSetsMidStreamSwitchResolution) {
    const auto small = encode(320, 240, 20);
    const auto large = encode(480, 272, 20, 20);
    for (const auto& f : small)
        decoder.decode(f.annexB, f.pts);
    for (const auto& f : large)
        decoder.decode(f.annexB, f.pts);
    ASSERT_EQ(decoded.size(), 40u);
    EXPECT_EQ(decoder.sessionsCreated(), 2u);
    EXPECT_EQ(decoded[19].picture.width(), 320);
    EXPECT_EQ(decoded[20].picture.width(), 480);
    EXPECT_EQ(decoded[39].picture.height(), 272);
    EXPECT_EQ(decoded[39].pts, MediaTime::make(39, 60));
    EXPECT_GT(lumaPsnr(syntheticFrame(480, 272, 39), decoded[39].picture), 30.0);
}

TEST_F(H264DecoderTest, UnitsBeforeTheFirstParameterSetsAreDropped) {
    const auto stream = encode(320, 240, 31);
    // Join mid-stream: P frames first, then the keyframe at 30.
    for (int i = 1; i < 30; ++i)
        EXPECT_NO_THROW(decoder.decode(stream[i].annexB, stream[i].pts));
    EXPECT_TRUE(decoded.empty());
    EXPECT_EQ(decoder.sessionsCreated(), 0u);
    ASSERT_TRUE(stream[30].isKeyframe);
    decoder.decode(stream[30].annexB, stream[30].pts);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0].pts, MediaTime::make(30, 60));

    // After invalidate the decoder waits for parameter sets again.
    decoder.invalidate();
    decoder.decode(stream[1].annexB, stream[1].pts);
    EXPECT_EQ(decoded.size(), 1u);
}

TEST_F(H264DecoderTest, DamagedInputIsRefusedAndTheNextKeyframeRecovers) {
    const auto stream = encode(320, 240, 31);
    EXPECT_NO_THROW(decoder.decode(Bytes{0, 0, 1}, MediaTime::make(0, 60)));
    EXPECT_NO_THROW(decoder.decode(Bytes{1, 2, 3, 4, 5, 6, 7, 8}, MediaTime::make(0, 60)));

    // An SPS too short to describe anything.
    try {
        decoder.decode(Bytes{0, 0, 0, 1, 0x67, 0x64, 0, 0, 0, 1, 0x68, 0xee},
                       MediaTime::make(0, 60));
        FAIL() << "truncated SPS accepted";
    } catch (const DecoderError& e) {
        EXPECT_EQ(e.code(), DecoderError::Code::formatDescriptionFailed);
    }

    // A keyframe whose slice data is garbage: an error or a dropped picture,
    // never a crash.
    Bytes damaged = stream[0].annexB;
    for (std::size_t i = damaged.size() / 2; i < damaged.size(); ++i)
        damaged[i] = static_cast<std::uint8_t>(i * 37);
    try {
        decoder.decode(damaged, stream[0].pts);
    } catch (const DecoderError& e) {
        EXPECT_EQ(e.code(), DecoderError::Code::decodeFailed);
    }

    decoded.clear();
    decoder.decode(stream[30].annexB, stream[30].pts);
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_GT(lumaPsnr(syntheticFrame(320, 240, 30), decoded[0].picture), 30.0);
}

TEST_F(H264DecoderTest, PicturesHandedOnStayIntactWhileHeld) {
    // Decoded pictures come from a small reusable pool: one still held by
    // the caller must never be overwritten by later frames.
    const auto stream = encode(320, 240, 12);
    for (const auto& f : stream)
        decoder.decode(f.annexB, f.pts);
    ASSERT_EQ(decoded.size(), 12u);
    for (int i = 0; i < 12; ++i)
        EXPECT_GT(lumaPsnr(syntheticFrame(320, 240, i), decoded[i].picture), 30.0) << i;
}
