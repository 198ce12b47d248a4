#include "viewer/viewer_options.hpp"

#include <gtest/gtest.h>

using namespace tessarine;

TEST(ViewerOptionsTest, DefaultsAndEveryOption) {
    const ViewerOptions defaults = parseViewerOptions({});
    EXPECT_EQ(defaults.port, 9876);
    EXPECT_EQ(defaults.widthPx, 2732u);
    EXPECT_EQ(defaults.heightPx, 2048u);
    EXPECT_EQ(defaults.scaleFactor, 2.0);
    EXPECT_FALSE(defaults.headless);
    EXPECT_FALSE(defaults.name);
    EXPECT_EQ(defaults.timeout, std::chrono::seconds(30));

    const ViewerOptions o =
        parseViewerOptions({"--host", "desk.local", "--port", "7000", "--name", "Lap top", "--size",
                            "1920x1200", "--scale", "1.5", "--config-dir", "/tmp/v", "--headless",
                            "--frames", "300", "--timeout", "12"});
    EXPECT_EQ(o.host, "desk.local");
    EXPECT_EQ(o.port, 7000);
    EXPECT_EQ(o.name, "Lap top");
    EXPECT_EQ(o.widthPx, 1920u);
    EXPECT_EQ(o.heightPx, 1200u);
    EXPECT_EQ(o.scaleFactor, 1.5);
    EXPECT_EQ(o.configDir, std::filesystem::path("/tmp/v"));
    EXPECT_TRUE(o.headless);
    EXPECT_EQ(o.frames, 300u);
    EXPECT_EQ(o.timeout, std::chrono::seconds(12));
}

TEST(ViewerOptionsTest, BadCommandLinesNameTheOption) {
    using Code = ViewerOptionsError::Code;
    const std::vector<std::pair<std::vector<std::string>, Code>> cases = {
        {{"--bogus"}, Code::unknownOption},        {{"--port"}, Code::missingValue},
        {{"--port", "0"}, Code::invalidValue},     {{"--port", "65536"}, Code::invalidValue},
        {{"--port", "80x"}, Code::invalidValue},   {{"--size", "1920"}, Code::invalidValue},
        {{"--size", "x1080"}, Code::invalidValue}, {{"--size", "0x0"}, Code::invalidValue},
        {{"--scale", "nan"}, Code::invalidValue},  {{"--scale", "2x"}, Code::invalidValue},
        {{"--frames", "0"}, Code::invalidValue},   {{"--frames", "-3"}, Code::invalidValue},
        {{"--timeout", "0"}, Code::invalidValue},  {{"--name", ""}, Code::invalidValue},
    };
    for (const auto& [arguments, code] : cases) {
        try {
            parseViewerOptions(arguments);
            ADD_FAILURE() << arguments[0] << " accepted";
        } catch (const ViewerOptionsError& error) {
            EXPECT_EQ(error.code(), code) << arguments[0];
            EXPECT_EQ(error.option(), arguments[0]);
            EXPECT_NE(std::string(error.what()).find(arguments[0]), std::string::npos);
        }
    }
}
