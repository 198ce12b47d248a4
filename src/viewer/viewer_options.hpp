#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tessarine {

// The command line of tessarine-viewer.
struct ViewerOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 9876;
    std::optional<std::string> name; // default: the computer's name
    std::uint32_t widthPx = 2732;
    std::uint32_t heightPx = 2048;
    double scaleFactor = 2.0;
    std::optional<std::filesystem::path> configDir;
    bool headless = false;
    std::optional<std::uint64_t> frames; // headless: stop after this many pictures
    std::chrono::seconds timeout{30};    // headless: give up after this long
    bool help = false;
};

class ViewerOptionsError : public std::exception {
public:
    enum class Code { unknownOption, missingValue, invalidValue };

    ViewerOptionsError(Code code, std::string option);

    Code code() const { return code_; }
    const std::string& option() const { return option_; }
    // The fixed description followed by the option it concerns.
    const char* what() const noexcept override { return text_.c_str(); }

private:
    Code code_;
    std::string option_;
    std::string text_;
};

// Throws ViewerOptionsError.
ViewerOptions parseViewerOptions(const std::vector<std::string>& arguments);

const char* viewerUsage();

} // namespace tessarine
