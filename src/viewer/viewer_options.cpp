#include "viewer/viewer_options.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace tessarine {

namespace {

const char* describe(ViewerOptionsError::Code code) {
    switch (code) {
    case ViewerOptionsError::Code::unknownOption:
        return "Unknown option";
    case ViewerOptionsError::Code::missingValue:
        return "Missing value for option";
    case ViewerOptionsError::Code::invalidValue:
        return "Invalid value for option";
    }
    return "Invalid command line";
}

template <typename T> std::optional<T> parseUnsigned(const std::string& text, T min, T max) {
    T value{};
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

ViewerOptionsError::ViewerOptionsError(Code code, std::string option)
    : code_(code), option_(std::move(option)), text_(std::string(describe(code)) + ": " + option_) {
}

ViewerOptions parseViewerOptions(const std::vector<std::string>& arguments) {
    using Code = ViewerOptionsError::Code;
    ViewerOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= arguments.size())
                throw ViewerOptionsError(Code::missingValue, option);
            return arguments[++i];
        };
        auto invalid = [&] {
            return ViewerOptionsError(Code::invalidValue, option);
        };
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--headless") {
            options.headless = true;
        } else if (option == "--host") {
            options.host = value();
            if (options.host.empty())
                throw invalid();
        } else if (option == "--port") {
            auto port = parseUnsigned<std::uint16_t>(value(), 1, 65535);
            if (!port)
                throw invalid();
            options.port = *port;
        } else if (option == "--name") {
            options.name = value();
            if (options.name->empty())
                throw invalid();
        } else if (option == "--size") {
            const std::string& text = value();
            const auto x = text.find('x');
            if (x == std::string::npos)
                throw invalid();
            auto width = parseUnsigned<std::uint32_t>(text.substr(0, x), 16, 16384);
            auto height = parseUnsigned<std::uint32_t>(text.substr(x + 1), 16, 16384);
            if (!width || !height)
                throw invalid();
            options.widthPx = *width;
            options.heightPx = *height;
        } else if (option == "--scale") {
            const std::string& text = value();
            char* end = nullptr;
            const double scale = std::strtod(text.c_str(), &end);
            if (text.empty() || *end != '\0' || !std::isfinite(scale) || scale < 0.5 || scale > 8.0)
                throw invalid();
            options.scaleFactor = scale;
        } else if (option == "--config-dir") {
            options.configDir = value();
            if (options.configDir->empty())
                throw invalid();
        } else if (option == "--frames") {
            auto frames =
                parseUnsigned<std::uint64_t>(value(), 1, std::numeric_limits<std::uint64_t>::max());
            if (!frames)
                throw invalid();
            options.frames = *frames;
        } else if (option == "--timeout") {
            auto seconds = parseUnsigned<std::uint32_t>(value(), 1, 86'400);
            if (!seconds)
                throw invalid();
            options.timeout = std::chrono::seconds(*seconds);
        } else {
            throw ViewerOptionsError(Code::unknownOption, option);
        }
    }
    return options;
}

const char* viewerUsage() {
    return "Usage: tessarine-viewer [--host H] [--port P] [--name N] [--size WxH] [--scale S]\n"
           "                        [--config-dir D] [--headless] [--frames N] [--timeout S]\n"
           "\n"
           "Shows this computer's screen of a Tessarine host, as a tablet would.\n"
           "\n"
           "  --host H        host name or address (default 127.0.0.1)\n"
           "  --port P        TCP port (default 9876)\n"
           "  --name N        device name shown to the host (default: this computer's name)\n"
           "  --size WxH      screen size in pixels (default 2732x2048)\n"
           "  --scale S       pixels per point (default 2)\n"
           "  --config-dir D  where the device id is kept\n"
           "                  (default $XDG_CONFIG_HOME/tessarine-viewer)\n"
           "  --headless      decode without a window and print figures at the end\n"
           "  --frames N      headless: stop after N decoded pictures\n"
           "  --timeout S     headless: stop after S seconds (default 30)\n";
}

} // namespace tessarine
