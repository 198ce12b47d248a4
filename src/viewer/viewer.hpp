#pragma once

#include "diagnostics/logger.hpp"
#include "media/h264_decoder.hpp"
#include "protocol/control_message.hpp"
#include "protocol/frame.hpp"
#include "viewer/cursor_image.hpp"
#include "viewer/keyframe_request_policy.hpp"
#include "viewer/viewer_statistics.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tessarine {

class WiFiTransportClient;

// One cursor shape as the host described it; sizes in points of the display.
struct CursorShape {
    std::uint32_t cursorId = 0;
    std::uint16_t widthPt = 0;
    std::uint16_t heightPt = 0;
    std::uint16_t hotspotXPt = 0;
    std::uint16_t hotspotYPt = 0;
    RgbaImage image;
};

// Where and how the cursor is to be drawn, in pixels of the streamed display.
struct CursorSnapshot {
    bool visible = true;
    bool positionKnown = false;
    int xPx = 0;
    int yPx = 0;
    std::uint32_t cursorId = 0;
    std::shared_ptr<const CursorShape> shape; // none until the host sent it
    std::uint64_t generation = 0;             // changes with every update
};

// How a viewer run ended.
struct ViewerOutcome {
    enum class Kind {
        closed,           // close() was called (the user or the program ended it)
        refused,          // the host said "denied", "busy" or "setup-failed"
        disconnected,     // the host ended the session with another reason
        connectionFailed, // no connection could be made
        connectionLost,   // the connection ended without a disconnect message
    };
    Kind kind = Kind::closed;
    std::string reason;
    bool operator==(const ViewerOutcome&) const = default;
};

// The tablet side of a session, without any window: connects over TLS, says
// hello, decodes the video, follows the cursor and asks for keyframes when
// the picture is broken or does not come. Create with make_shared; run() on
// any executor, close() from any thread. Handlers are set before run().
class Viewer : public std::enable_shared_from_this<Viewer> {
public:
    struct Config {
        std::string host = "127.0.0.1";
        std::uint16_t port = 9876;
        Uuid deviceId;
        std::string deviceName;
        std::uint32_t widthPx = 2732;
        std::uint32_t heightPx = 2048;
        double scaleFactor = 2.0;
        std::chrono::steady_clock::duration keyframeInterval = std::chrono::seconds(1);
    };

    using PictureHandler = std::function<void(const PixelBuffer&, MediaTime)>;

    Viewer(asio::any_io_executor executor, Config config);
    ~Viewer();

    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Every decoded picture, on the viewer's strand; the handler must not keep
    // the thread long (hand the picture on).
    void onPicture(PictureHandler handler) { onPicture_ = std::move(handler); }
    // After the hello went out: the host may now ask its user to allow us.
    void onWaitingForApproval(std::function<void()> handler) {
        onWaitingForApproval_ = std::move(handler);
    }
    void onDisplayConfig(std::function<void(const DisplayConfig&)> handler) {
        onDisplayConfig_ = std::move(handler);
    }
    void onCursorChange(std::function<void()> handler) { onCursorChange_ = std::move(handler); }

    // Runs one connection to its end. Never throws for network trouble; the
    // outcome says how it ended.
    asio::awaitable<ViewerOutcome> run();

    // Ends the run: sends disconnect ("viewer-closed") when connected, then
    // closes the connection. Safe from any thread, also before run().
    void close();

    ViewerStatistics::Summary statistics() const { return statistics_.summary(); }
    CursorSnapshot cursor() const;
    std::optional<DisplayConfig> displayConfig() const;

    static constexpr const char* closeReason = "viewer-closed";
    // Host reasons that mean this device may not (or cannot now) be a display.
    static bool isRefusal(const std::string& reason);

private:
    asio::awaitable<ViewerOutcome> runOnStrand();
    asio::awaitable<std::optional<ViewerOutcome>> connect();
    ViewerOutcome connectionFailed(const std::string& why) const;
    asio::awaitable<void> watchKeyframes(std::shared_ptr<Viewer> self);
    void handleFrame(const Frame& frame);
    void handleVideo(const Frame::Video& video);
    void handleControl(const ControlMessage& message);
    void handleCursorMove(const Frame::CursorMove& move);
    void handleCursorImage(const CursorImage& image);
    void handleDecodedPicture(const PixelBuffer& picture, MediaTime pts);
    void requestKeyframe(const char* why);
    void sendInBackground(ControlMessage message);
    void updateCursor(const std::function<void(CursorSnapshot&)>& change);

    const Config config_;
    Logger log_;
    asio::strand<asio::any_io_executor> strand_;
    asio::steady_timer keyframeTimer_;

    PictureHandler onPicture_;
    std::function<void()> onWaitingForApproval_;
    std::function<void(const DisplayConfig&)> onDisplayConfig_;
    std::function<void()> onCursorChange_;

    // On strand_.
    std::shared_ptr<WiFiTransportClient> client_;
    bool connected_ = false;
    bool closeRequested_ = false;
    bool running_ = false;
    std::optional<ViewerOutcome> outcome_;
    H264Decoder decoder_;
    KeyframeRequestPolicy keyframes_;
    std::map<std::uint32_t, std::shared_ptr<const CursorShape>> shapes_;

    ViewerStatistics statistics_;

    mutable std::mutex stateMutex_; // guards the two fields below
    CursorSnapshot cursor_;
    std::optional<DisplayConfig> displayConfig_;
};

} // namespace tessarine
