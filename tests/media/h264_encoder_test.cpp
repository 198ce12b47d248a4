#include "media/h264_encoder.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include "media/annexb.hpp"
#include "media/synthetic_video.hpp"

using namespace tessarine;
using tessarine::testing::syntheticFrame;

namespace {

class H264EncoderTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("TESSARINE_SOFTWARE_ENCODER", "1", 1); }

    // Encodes `count` frames 1/fps apart and returns what came out.
    static std::vector<EncodedFrame> encodeFrames(H264Encoder& encoder, int count, int first = 0,
                                                  std::int32_t timescale = 600,
                                                  std::int64_t step = 10) {
        std::vector<EncodedFrame> out;
        encoder.onEncodedFrame([&](EncodedFrame frame) { out.push_back(std::move(frame)); });
        for (int i = first; i < first + count; ++i) {
            encoder.encode(syntheticFrame(encoder.width(), encoder.height(), i),
                           MediaTime::make(i * step, timescale), MediaTime::make(step, timescale));
            EXPECT_EQ(out.size(), static_cast<std::size_t>(i - first + 1))
                << "each frame comes out before encode returns";
        }
        encoder.onEncodedFrame(nullptr);
        return out;
    }

    static std::vector<int> nalTypes(const EncodedFrame& frame) {
        std::vector<int> types;
        for (ByteView unit : splitAnnexB(frame.annexB))
            types.push_back(nalUnitType(unit));
        return types;
    }
};

std::vector<std::size_t> keyframeIndices(const std::vector<EncodedFrame>& frames) {
    std::vector<std::size_t> keys;
    for (std::size_t i = 0; i < frames.size(); ++i)
        if (frames[i].isKeyframe)
            keys.push_back(i);
    return keys;
}

} // namespace

TEST_F(H264EncoderTest, WritesOneWireFormAccessUnitPerFrame) {
    LogCapture capture;
    H264Encoder encoder(640, 360, 1'500'000, 60, 30);
    EXPECT_EQ(encoder.encoderName(), "libx264");
    EXPECT_TRUE(capture.contains(
        "Encode",
        "H.264Encoder ready (low-latency rate control, CABAC) 640x360@60fps, bitrate=1500kbps, "
        "gop=30"));

    const auto frames = encodeFrames(encoder, 90);
    ASSERT_EQ(frames.size(), 90u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const EncodedFrame& f = frames[i];
        EXPECT_EQ(f.pts, MediaTime::make(static_cast<std::int64_t>(i) * 10, 600));
        // Every unit behind a 4-byte start code: rewriting changes nothing.
        std::vector<std::uint8_t> rewritten;
        appendNormalisedAnnexB(rewritten, f.annexB);
        EXPECT_EQ(rewritten, f.annexB) << "frame " << i;
        ASSERT_GE(f.annexB.size(), 5u);
        EXPECT_EQ(std::vector<std::uint8_t>(f.annexB.begin(), f.annexB.begin() + 4),
                  (std::vector<std::uint8_t>{0, 0, 0, 1}));

        const auto types = nalTypes(f);
        if (f.isKeyframe) {
            ASSERT_GE(types.size(), 3u);
            EXPECT_EQ(types[0], nal::kSps);
            EXPECT_EQ(types[1], nal::kPps);
            EXPECT_NE(std::find(types.begin(), types.end(), nal::kIdrSlice), types.end());
        } else {
            for (int type : types) {
                EXPECT_NE(type, nal::kSps) << "frame " << i;
                EXPECT_NE(type, nal::kPps) << "frame " << i;
                EXPECT_NE(type, nal::kIdrSlice) << "frame " << i;
            }
        }
    }
    // gop 30 at 60 fps: a keyframe every 30 frames.
    EXPECT_EQ(keyframeIndices(frames), (std::vector<std::size_t>{0, 30, 60}));

    // High profile (profile_idc 100) and CABAC (entropy_coding_mode_flag,
    // the bit after the two ue(v) ids of 0 in the PPS).
    const auto units = splitAnnexB(frames[0].annexB);
    EXPECT_EQ(units[0][1], 100);
    EXPECT_EQ(units[1][1] & 0xE0, 0xE0);
}

TEST_F(H264EncoderTest, RequestedIDRForcesExactlyTheNextFrame) {
    H264Encoder encoder(320, 240, 800'000, 60, 600);
    auto before = encodeFrames(encoder, 10);
    encoder.requestIDR();
    encoder.requestIDR(); // asking twice still means one keyframe
    auto after = encodeFrames(encoder, 10, 10);
    before.insert(before.end(), after.begin(), after.end());
    EXPECT_EQ(keyframeIndices(before), (std::vector<std::size_t>{0, 10}));
    EXPECT_EQ(nalTypes(before[10])[0], nal::kSps);
}

TEST_F(H264EncoderTest, KeyframesAtMostGopOverFpsSecondsApartWhenFramesAreSparse) {
    H264Encoder encoder(320, 240, 800'000, 60, 30);
    // One frame every 0.3 s: the 0.5 s limit is reached long before 30 frames.
    const auto frames = encodeFrames(encoder, 8, 0, 10, 3);
    EXPECT_EQ(keyframeIndices(frames), (std::vector<std::size_t>{0, 2, 4, 6}));
}

TEST_F(H264EncoderTest, SixtiethFrameReportsEncodeLatencyOnce) {
    LogCapture capture;
    H264Encoder encoder(320, 240, 800'000, 60, 30);
    encodeFrames(encoder, 59);
    EXPECT_EQ(capture.count("Latency", "[encode] "), 0u);
    encodeFrames(encoder, 1, 59);
    EXPECT_EQ(capture.count("Latency", "[encode] n=60 avg="), 1u);
}

TEST_F(H264EncoderTest, BadFramesAreRefusedAndTheEncoderCarriesOn) {
    H264Encoder encoder(320, 240, 800'000, 60, 30);
    std::vector<EncodedFrame> out;
    encoder.onEncodedFrame([&](EncodedFrame f) { out.push_back(std::move(f)); });

    try {
        encoder.encode(syntheticFrame(320, 240, 0), MediaTime::make(-1, 600), {});
        FAIL() << "negative time accepted";
    } catch (const EncoderError& e) {
        EXPECT_EQ(e.code(), EncoderError::Code::invalidPresentationTime);
    }
    EXPECT_THROW(encoder.encode(syntheticFrame(320, 240, 0), MediaTime::invalid(), {}),
                 EncoderError);
    try {
        // Smaller than configured: would be read past its end.
        encoder.encode(syntheticFrame(160, 120, 0), MediaTime::make(0, 600), {});
        FAIL() << "wrong size accepted";
    } catch (const EncoderError& e) {
        EXPECT_EQ(e.code(), EncoderError::Code::encodeFailed);
        EXPECT_EQ(std::string(e.what()),
                  "VTCompressionSessionEncodeFrame failed (" + std::to_string(e.status()) + ")");
    }
    PixelBuffer narrow = syntheticFrame(320, 240, 0);
    EXPECT_THROW(encoder.encode(PixelBuffer::borrow(320, 240, narrow.luma(), 160, narrow.chroma(),
                                                    narrow.chromaStride(), nullptr),
                                MediaTime::make(0, 600), {}),
                 EncoderError);
    EXPECT_TRUE(out.empty());

    encoder.encode(syntheticFrame(320, 240, 1), MediaTime::make(10, 600), {});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].isKeyframe);
}

TEST_F(H264EncoderTest, ReleasesTheCallersPictureAfterEncoding) {
    H264Encoder encoder(320, 240, 800'000, 60, 30);
    PixelBuffer owned = syntheticFrame(320, 240, 0);
    auto owner = std::make_shared<int>(0);
    std::weak_ptr<int> watch = owner;
    {
        PixelBuffer lent = PixelBuffer::borrow(320, 240, owned.luma(), owned.lumaStride(),
                                               owned.chroma(), owned.chromaStride(), owner);
        owner.reset();
        encoder.encode(lent, MediaTime::make(0, 600), {});
    }
    EXPECT_TRUE(watch.expired()) << "the encoder kept a reference to a finished frame";
}

TEST_F(H264EncoderTest, AfterInvalidateOrCloseEncodeDoesNothing) {
    H264Encoder encoder(320, 240, 800'000, 60, 30);
    encodeFrames(encoder, 3);
    encoder.close();
    EXPECT_FALSE(encoder.isOpen());
    EXPECT_TRUE(encodeFrames(encoder, 0).empty());
    std::size_t calls = 0;
    encoder.onEncodedFrame([&](EncodedFrame) { ++calls; });
    encoder.encode(syntheticFrame(320, 240, 0), MediaTime::make(0, 600), {});
    encoder.encode(syntheticFrame(320, 240, 0), MediaTime::make(-5, 600), {}); // no throw either
    EXPECT_EQ(calls, 0u);

    H264Encoder other(320, 240, 800'000, 60, 30);
    other.invalidate();
    other.invalidate();
    other.close();
    other.encode(syntheticFrame(320, 240, 0), MediaTime::make(0, 600), {});
    EXPECT_FALSE(other.isOpen());
}

TEST_F(H264EncoderTest, RefusedSettingsNameTheOptionAndStatus) {
    try {
        H264Encoder encoder(320, 240, -1, 60, 30);
        FAIL() << "negative bit rate accepted";
    } catch (const EncoderError& e) {
        EXPECT_EQ(e.code(), EncoderError::Code::propertySetFailed);
        EXPECT_EQ(e.key(), "b");
        EXPECT_LT(e.status(), 0);
        EXPECT_EQ(std::string(e.what()),
                  "VTSessionSetProperty b failed (" + std::to_string(e.status()) + ")");
    }
    try {
        H264Encoder encoder(0, 0, 800'000, 60, 30);
        FAIL() << "empty picture size accepted";
    } catch (const EncoderError& e) {
        EXPECT_EQ(e.code(), EncoderError::Code::prepareFailed);
        EXPECT_EQ(std::string(e.what()), "VTCompressionSessionPrepareToEncodeFrames failed (" +
                                             std::to_string(e.status()) + ")");
    }
}

TEST_F(H264EncoderTest, WithoutTheSoftwareSwitchSomeEncoderStillOpens) {
    unsetenv("TESSARINE_SOFTWARE_ENCODER");
    H264Encoder encoder(320, 240, 800'000, 60, 30);
    EXPECT_TRUE(encoder.encoderName() == "libx264" || encoder.encoderName() == "h264_nvenc" ||
                encoder.encoderName() == "h264_vaapi");
    const auto frames = encodeFrames(encoder, 2);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(frames[0].isKeyframe);
}

TEST_F(H264EncoderTest, HandlerMayTearTheEncoderDown) {
    // A send failure in the handler leads to teardown from within the
    // callback; the encoder must not hold its lock while calling out.
    H264Encoder encoder(320, 240, 800'000, 60, 30);
    int calls = 0;
    encoder.onEncodedFrame([&](EncodedFrame) {
        ++calls;
        encoder.requestIDR();
        encoder.invalidate();
    });
    encoder.encode(syntheticFrame(320, 240, 0), MediaTime::make(0, 600), {});
    encoder.encode(syntheticFrame(320, 240, 1), MediaTime::make(10, 600), {});
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(encoder.isOpen());
}
