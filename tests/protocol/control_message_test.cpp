#include "protocol/control_message.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

using namespace tessarine;

namespace {

const Uuid kId = *Uuid::parse("12345678-9ABC-DEF0-1234-56789ABCDEF0");

std::string decodeError(std::string_view json) {
    try {
        decodeControlMessage(json);
    } catch (const ControlDecodeError& e) {
        return e.what();
    }
    ADD_FAILURE() << "decoded: " << json;
    return {};
}

} // namespace

TEST(ControlMessage, EveryCaseRoundTrips) {
    std::vector<ControlMessage> all = {
        ClientHello{kId, "Ana’s tablet \"2\"", 2048, 2732, 2.0},
        DisplayConfig{2732, 2048, 2.0, 60},
        AudioConfig{48000, 2, "aac", 128000},
        PairConfirm{"Tablet"},
        Heartbeat{UINT64_MAX},
        Disconnect{"busy"},
        RequestKeyframe{},
        CursorImage{7, 32, 32, 4, 5, 1.1f, Bytes{0x89, 'P', 'N', 'G', 0xFF, 0xFE}},
        CursorVisibility{false},
        QuicPort{4433},
    };
    for (const auto& message : all) {
        std::string json = encodeControlMessage(message);
        EXPECT_EQ(decodeControlMessage(json), message) << json;
    }
}

TEST(ControlMessage, ExactJsonShapes) {
    EXPECT_EQ(encodeControlMessage(RequestKeyframe{}), R"({"requestKeyframe":{}})");
    EXPECT_EQ(encodeControlMessage(Disconnect{"denied"}), R"({"disconnect":{"reason":"denied"}})");
    EXPECT_EQ(encodeControlMessage(QuicPort{1}), R"({"quicPort":{"port":1}})");
    EXPECT_EQ(encodeControlMessage(CursorVisibility{true}),
              R"({"cursorVisibility":{"visible":true}})");

    auto hello = nlohmann::json::parse(encodeControlMessage(ClientHello{kId, "T", 1, 2, 2.0}));
    EXPECT_EQ(hello["hello"]["_0"]["deviceId"], "12345678-9ABC-DEF0-1234-56789ABCDEF0");
    EXPECT_EQ(hello["hello"]["_0"]["widthPx"], 1);
    EXPECT_EQ(hello["hello"]["_0"].size(), 5u);

    // A float goes out with its shortest text, and an empty PNG as "".
    auto image = encodeControlMessage(CursorImage{1, 2, 3, 4, 5, 1.1f, {}});
    EXPECT_NE(image.find(R"("scale":1.1,)"), std::string::npos) << image;
    EXPECT_NE(image.find(R"("pngData":"")"), std::string::npos) << image;
    EXPECT_EQ(std::get<CursorImage>(decodeControlMessage(image)).pngData, Bytes{});
}

TEST(ControlMessage, CaseKeyRules) {
    const std::string invalid = "Invalid number of keys found, expected one.";
    EXPECT_EQ(decodeError("{}"), invalid);
    EXPECT_EQ(decodeError(R"({"other":{}})"), invalid);
    EXPECT_EQ(decodeError(R"({"hello":{},"heartbeat":{"sentAtMillis":1}})"), invalid);
    EXPECT_EQ(decodeControlMessage(R"({"x":1,"heartbeat":{"sentAtMillis":1}})"),
              ControlMessage(Heartbeat{1}));
    EXPECT_EQ(decodeControlMessage(R"({"requestKeyframe":{"extra":true}})"),
              ControlMessage(RequestKeyframe{}));
    decodeError("[]");
    decodeError("not json");
    decodeError(R"({"requestKeyframe":[]})");
}

TEST(ControlMessage, FieldRules) {
    // Required fields, nulls, wrong types.
    decodeError(R"({"hello":{"_0":{"deviceId":"12345678-9ABC-DEF0-1234-56789ABCDEF0",
        "deviceName":"T","widthPx":1,"heightPx":2}}})");
    decodeError(R"({"heartbeat":{"sentAtMillis":null}})");
    decodeError(R"({"cursorVisibility":{"visible":1}})");
    decodeError(R"({"heartbeat":{"sentAtMillis":1.5}})");
    decodeError(R"({"hello":{"deviceId":"x"}})"); // the record must sit under "_0"
    // Integer ranges.
    decodeError(R"({"quicPort":{"port":70000}})");
    decodeError(R"({"quicPort":{"port":-1}})");
    decodeError(
        R"({"displayConfig":{"_0":{"widthPx":-1,"heightPx":1,"scaleFactor":1,"refreshHz":60}}})");
    decodeError(
        R"({"audioConfig":{"_0":{"sampleRateHz":1,"channelCount":256,"codec":"a","bitrateBps":1}}})");
    EXPECT_EQ(decodeControlMessage(R"({"quicPort":{"port":65535}})"),
              ControlMessage(QuicPort{65535}));
    EXPECT_EQ(decodeControlMessage(R"({"heartbeat":{"sentAtMillis":18446744073709551615}})"),
              ControlMessage(Heartbeat{UINT64_MAX}));
    // Unknown members are ignored; lower-case UUIDs are read.
    auto hello =
        decodeControlMessage(R"({"hello":{"_0":{"deviceId":"12345678-9abc-def0-1234-56789abcdef0",
        "deviceName":"T","widthPx":2732,"heightPx":2048,"scaleFactor":2,"colour":"blue"}}})");
    EXPECT_EQ(std::get<ClientHello>(hello), (ClientHello{kId, "T", 2732, 2048, 2.0}));
    // Bad UUID text and bad Base64.
    decodeError(R"({"hello":{"_0":{"deviceId":"12345678-9ABC-DEF0-1234-56789ABCDEF",
        "deviceName":"T","widthPx":1,"heightPx":2,"scaleFactor":1}}})");
    decodeError(R"({"cursorImage":{"_0":{"cursorId":1,"widthPt":1,"heightPt":1,"hotspotXPt":0,
        "hotspotYPt":0,"scale":1,"pngData":"A==="}}})");
}

TEST(ControlMessage, EscapedSlashInBase64IsAccepted) {
    // 0xFF 0xFF encodes as "//8=": both the plain and the escaped form decode.
    for (auto png : {R"(//8=)", R"(\/\/8=)"}) {
        std::string json =
            std::string(R"({"cursorImage":{"_0":{"cursorId":1,"widthPt":1,"heightPt":1,)") +
            R"("hotspotXPt":0,"hotspotYPt":0,"scale":2,"pngData":")" + png + R"("}}})";
        auto image = std::get<CursorImage>(decodeControlMessage(json));
        EXPECT_EQ(image.pngData, (Bytes{0xFF, 0xFF})) << json;
    }
}

TEST(ControlMessage, NonFiniteNumbersAreRefusedByTheEncoder) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_THROW(encodeControlMessage(ClientHello{kId, "T", 1, 1, nan}), ControlEncodeError);
    EXPECT_THROW(encodeControlMessage(DisplayConfig{1, 1, inf, 60}), ControlEncodeError);
    EXPECT_THROW(encodeControlMessage(CursorImage{1, 1, 1, 0, 0, std::nanf(""), {}}),
                 ControlEncodeError);
}

TEST(Base64, StrictStandardAlphabetWithPadding) {
    Bytes out;
    for (std::string_view text : {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg=="}) {
        ASSERT_TRUE(base64Decode(text, out)) << text;
        EXPECT_EQ(base64Encode(out), text);
    }
    for (std::string_view bad : {"Zg=", "Z===", "Zg==Zg==", "Zm9v\n", "Zm-_", "=Zm9"})
        EXPECT_FALSE(base64Decode(bad, out)) << bad;
}

TEST(Uuid, TextFormIsUpperCaseAndStrict) {
    EXPECT_EQ(kId.toString(), "12345678-9ABC-DEF0-1234-56789ABCDEF0");
    EXPECT_FALSE(Uuid::parse("12345678-9ABC-DEF0-1234-56789ABCDEF0X"));
    EXPECT_FALSE(Uuid::parse("123456789-ABC-DEF0-1234-56789ABCDEF0"));
    EXPECT_FALSE(Uuid::parse("12345678-9ABC-DEF0-1234-56789ABCDEFG"));
    Uuid a = Uuid::random(), b = Uuid::random();
    EXPECT_NE(a, b);
    EXPECT_EQ(Uuid::parse(a.toString()), a);
    EXPECT_EQ(a.toString()[14], '4'); // version 4
}
