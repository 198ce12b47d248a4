#pragma once

#include "diagnostics/logger.hpp"
#include "viewer/latest_picture.hpp"
#include "viewer/viewer.hpp"

#include <SDL.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace tessarine {

class WindowError : public std::exception {
public:
    enum class Code { initFailed, windowCreateFailed, rendererCreateFailed, textureCreateFailed };

    explicit WindowError(Code code) : code_(code) {}

    Code code() const { return code_; }
    const char* what() const noexcept override;

private:
    Code code_;
};

// The viewer's window: the newest decoded picture scaled to the window
// (aspect kept), with the host's cursor drawn on top from the cursor
// messages. Lives on the main thread; only wake() may be called elsewhere.
class SdlWindow {
public:
    struct Sources {
        LatestPicture* pictures = nullptr;
        std::function<CursorSnapshot()> cursor;
        // Pixels per point of the streamed display (cursor images are in points).
        std::function<double()> displayScale;
        // Checked after every wake-up; true ends run().
        std::function<bool()> shouldStop;
    };

    // Throws WindowError.
    SdlWindow(const std::string& title, int contentWidth, int contentHeight);
    ~SdlWindow();

    SdlWindow(const SdlWindow&) = delete;
    SdlWindow& operator=(const SdlWindow&) = delete;

    // The UI loop. Returns true when the user closed the window, false when
    // shouldStop ended it.
    bool run(const Sources& sources);

    // Makes run() look at its sources again. Safe from any thread.
    void wake();

private:
    struct TextureDeleter {
        void operator()(SDL_Texture* t) const { SDL_DestroyTexture(t); }
    };
    using TexturePtr = std::unique_ptr<SDL_Texture, TextureDeleter>;

    void showPicture(const PixelBuffer& picture);
    void render(const Sources& sources);
    void drawCursor(const Sources& sources, const SDL_Rect& target);

    Logger log_;
    SDL_Window* window_ = nullptr;
    SDL_Renderer* renderer_ = nullptr;
    std::uint32_t wakeEvent_ = 0;
    std::atomic<bool> wakePending_{false};

    TexturePtr picture_;
    int pictureWidth_ = 0;
    int pictureHeight_ = 0;
    TexturePtr cursorTexture_;
    std::shared_ptr<const CursorShape> cursorShape_; // the shape in cursorTexture_
};

} // namespace tessarine
