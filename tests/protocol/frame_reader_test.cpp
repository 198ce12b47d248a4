#include "protocol/frame_reader.hpp"

#include <gtest/gtest.h>

using namespace tessarine;

namespace {

Bytes bytesOf(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes patterned(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return out;
}

WireError expectWireError(FrameReader& reader) {
    try {
        reader.next();
    } catch (const WireError& e) {
        return e;
    }
    ADD_FAILURE() << "expected a WireError";
    return WireError::truncated();
}

} // namespace

TEST(FrameEncoding, ExactBytesOfHandCheckedFrames) {
    EXPECT_EQ(Frame::keepalive().encode(), bytesOf({3}));
    EXPECT_EQ(Frame::cursorMove(0x01020304, -1, -2, 0, 0xA0B0C0D0).encode(),
              bytesOf({5, 1, 2, 3, 4, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0xA0, 0xB0, 0xC0, 0xD0}));
    EXPECT_EQ(Frame::video(0x0102030405060708, bytesOf({0xAA, 0xBB})).encode(),
              bytesOf({1, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 0, 2, 0xAA, 0xBB}));
    EXPECT_EQ(Frame::audio(1, {}).encode(), bytesOf({4, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0}));

    std::string json = R"({"requestKeyframe":{}})";
    Bytes control = Frame::control(RequestKeyframe{}).encode();
    ASSERT_EQ(control.size(), 3 + json.size());
    EXPECT_EQ(control[0], 2);
    EXPECT_EQ(control[1], 0);
    EXPECT_EQ(control[2], json.size());
    EXPECT_EQ(std::string(control.begin() + 3, control.end()), json);
}

TEST(FrameEncoding, ControlPayloadLimitIsSixtyFourKilobytesMinusOne) {
    // {"disconnect":{"reason":"…"}} carries 27 bytes besides the reason.
    const std::size_t overhead = std::string(R"({"disconnect":{"reason":""}})").size();
    Frame fits = Frame::control(Disconnect{std::string(65535 - overhead, 'x')});
    Bytes encoded = fits.encode();
    EXPECT_EQ(encoded.size(), 3u + 65535u);
    FrameReader reader;
    reader.append(encoded);
    EXPECT_EQ(reader.next(), fits);

    Frame tooLarge = Frame::control(Disconnect{std::string(65536 - overhead, 'x')});
    try {
        tooLarge.encode();
        FAIL() << "expected controlPayloadTooLarge";
    } catch (const WireError& e) {
        EXPECT_EQ(e.code(), WireError::Code::controlPayloadTooLarge);
        EXPECT_EQ(e.count(), 65536);
        EXPECT_STREQ(e.what(), "controlPayloadTooLarge(65536)");
    }
}

TEST(FrameReader, RoundTripsEveryFrameType) {
    std::vector<Frame> frames = {
        Frame::video(42, patterned(1000)),
        Frame::video(0, {}),
        Frame::audio(UINT64_MAX, patterned(3)),
        Frame::keepalive(),
        Frame::cursorMove(UINT32_MAX, INT16_MIN, INT16_MAX, 0xFF, 7),
        Frame::control(QuicPort{65535}),
        Frame::control(ClientHello{Uuid::random(), "Tablet", 2732, 2048, 2.0}),
    };
    FrameReader reader;
    for (const auto& f : frames)
        reader.append(f.encode());
    for (const auto& f : frames) {
        auto got = reader.next();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(*got, f);
    }
    EXPECT_FALSE(reader.next().has_value());
    EXPECT_EQ(reader.bufferedBytes(), 0u);
}

TEST(FrameReader, ChunkedDelivery) {
    const Frame video = Frame::video(9, patterned(300));
    const Bytes encoded = video.encode();

    // One byte at a time: nothing until the very last byte.
    FrameReader bytewise;
    for (std::size_t i = 0; i + 1 < encoded.size(); ++i) {
        bytewise.append(std::span(&encoded[i], 1));
        ASSERT_FALSE(bytewise.next().has_value()) << "at byte " << i;
    }
    bytewise.append(std::span(&encoded.back(), 1));
    EXPECT_EQ(bytewise.next(), video);
    EXPECT_EQ(bytewise.bufferedBytes(), 0u);

    // One and a half frames, then the rest.
    const Frame cursor = Frame::cursorMove(1, 2, 3, 0, 4);
    Bytes stream = concat({encoded, cursor.encode(), encoded});
    const std::size_t firstCut = encoded.size() + 14 + encoded.size() / 2;
    FrameReader reader;
    reader.append(std::span(stream.data(), firstCut));
    EXPECT_EQ(reader.next(), video);
    EXPECT_EQ(reader.next(), cursor);
    EXPECT_FALSE(reader.next().has_value());
    reader.append(std::span(stream.data() + firstCut, stream.size() - firstCut));
    EXPECT_EQ(reader.next(), video);
    EXPECT_FALSE(reader.next().has_value());

    // A cursorMove with 13 of its 14 bytes is not yet a frame.
    FrameReader partial;
    Bytes move = cursor.encode();
    partial.append(std::span(move.data(), 13));
    EXPECT_FALSE(partial.next().has_value());
    EXPECT_EQ(partial.bufferedBytes(), 13u);
}

TEST(FrameReader, LargePayloadsGatheredAcrossReadsKeepTheirPlaceInTheStream) {
    const Frame small = Frame::cursorMove(1, 2, 3, 0, 4);
    const Frame big1 = Frame::video(1, patterned(100000));
    const Frame big2 = Frame::audio(2, patterned(70001));
    const Bytes stream =
        concat({small.encode(), big1.encode(), big2.encode(), small.encode(), big1.encode()});
    for (std::size_t chunk : {1000u, 4096u, 65536u, 99999u}) {
        FrameReader reader(FrameReader::defaultMaxPayload, 1024);
        std::vector<Frame> got;
        for (std::size_t pos = 0; pos < stream.size(); pos += chunk) {
            const std::size_t n = std::min(chunk, stream.size() - pos);
            reader.append(std::span(stream.data() + pos, n));
            while (auto f = reader.next())
                got.push_back(*f);
        }
        EXPECT_EQ(got, (std::vector<Frame>{small, big1, big2, small, big1})) << "chunk " << chunk;
        EXPECT_EQ(reader.bufferedBytes(), 0u);
    }

    // A reset in the middle of a gathered payload starts clean at a frame boundary.
    FrameReader reader(FrameReader::defaultMaxPayload, 1024);
    const Bytes encoded = big1.encode();
    reader.append(std::span(encoded.data(), 5000));
    EXPECT_EQ(reader.bufferedBytes(), 5000u);
    reader.reset();
    EXPECT_EQ(reader.bufferedBytes(), 0u);
    reader.append(small.encode());
    EXPECT_EQ(reader.next(), small);
}

TEST(FrameReader, BadControlJsonLosesOnlyThatFrame) {
    std::string bad = R"({"heartbeat":{"sentAtMillis":"soon"}})";
    Bytes frame = bytesOf({2, 0, static_cast<int>(bad.size())});
    frame.insert(frame.end(), bad.begin(), bad.end());
    FrameReader reader;
    reader.append(concat({frame, Frame::keepalive().encode()}));
    WireError error = expectWireError(reader);
    EXPECT_EQ(error.code(), WireError::Code::decodeFailed);
    EXPECT_FALSE(error.text().empty());
    EXPECT_EQ(reader.next(), Frame::keepalive());
}

TEST(FrameReader, UnknownTypeIsStickyAndConsumesNothing) {
    for (int type : {0, 6, 255}) {
        FrameReader reader;
        reader.append(bytesOf({type, 1, 2, 3}));
        for (int attempt = 0; attempt < 2; ++attempt) {
            WireError error = expectWireError(reader);
            EXPECT_EQ(error.code(), WireError::Code::unknownFrameType);
            EXPECT_EQ(error.byte(), type);
            EXPECT_EQ(reader.bufferedBytes(), 4u);
        }
        reader.reset();
        reader.append(Frame::keepalive().encode());
        EXPECT_EQ(reader.next(), Frame::keepalive());
    }
}

TEST(FrameReader, RefusesDeclaredPayloadAboveTheLimitWithoutBuffering) {
    FrameReader reader(1024);
    // A video header declaring 4 GiB − 1 bytes, with a little of the payload.
    Bytes header = bytesOf({1, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0xAB});
    reader.append(header);
    for (int attempt = 0; attempt < 2; ++attempt) {
        WireError error = expectWireError(reader);
        EXPECT_EQ(error.code(), WireError::Code::frameTooLarge);
        EXPECT_EQ(error.count(), 0xFFFFFFFFLL);
        EXPECT_EQ(reader.bufferedBytes(), header.size());
    }
    // Exactly at the limit is still a frame.
    FrameReader atLimit(1024);
    Frame audio = Frame::audio(5, patterned(1024));
    atLimit.append(audio.encode());
    EXPECT_EQ(atLimit.next(), audio);
    EXPECT_EQ(FrameReader().maxPayload(), 64u << 20);
}

TEST(FrameReader, ManySmallFramesInOneChunkAllArriveInOrder) {
    Bytes chunk;
    for (std::uint32_t i = 0; i < 4000; ++i) {
        Bytes f = Frame::cursorMove(i, static_cast<std::int16_t>(i), 0, 0, 1).encode();
        chunk.insert(chunk.end(), f.begin(), f.end());
    }
    FrameReader reader;
    // Deliver in uneven chunks so frames straddle chunk boundaries.
    std::size_t pos = 0, step = 1;
    std::uint32_t expected = 0;
    while (pos < chunk.size()) {
        std::size_t n = std::min(step, chunk.size() - pos);
        reader.append(std::span(chunk.data() + pos, n));
        pos += n;
        step = step * 3 % 997 + 1;
        while (auto f = reader.next()) {
            ASSERT_EQ(f->as<Frame::CursorMove>()->ptsMs, expected);
            ++expected;
        }
    }
    EXPECT_EQ(expected, 4000u);
    EXPECT_EQ(reader.bufferedBytes(), 0u);
}
