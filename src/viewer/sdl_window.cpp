#include "viewer/sdl_window.hpp"

#include <algorithm>
#include <cmath>

namespace tessarine {

const char* WindowError::what() const noexcept {
    switch (code_) {
    case Code::initFailed:
        return "SDL video could not be initialised";
    case Code::windowCreateFailed:
        return "The window could not be created";
    case Code::rendererCreateFailed:
        return "The window's renderer could not be created";
    case Code::textureCreateFailed:
        return "A texture could not be created";
    }
    return "Window error";
}

SdlWindow::SdlWindow(const std::string& title, int contentWidth, int contentHeight)
    : log_("app.tessarine.viewer", "ViewerWindow") {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
        log_.error("SDL_Init: %{public}s", SDL_GetError());
        throw WindowError(WindowError::Code::initFailed);
    }
    // Decoded pictures are full range; SDL's full-range conversion is the
    // JPEG one.
    SDL_SetYUVConversionMode(SDL_YUV_CONVERSION_JPEG);
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, "linear");
    wakeEvent_ = SDL_RegisterEvents(1);

    // Start at most 80% of the desktop, with the tablet's aspect.
    int width = contentWidth, height = contentHeight;
    SDL_DisplayMode desktop{};
    if (SDL_GetDesktopDisplayMode(0, &desktop) == 0 && desktop.w > 0 && desktop.h > 0) {
        const double fit =
            std::min({1.0, desktop.w * 0.8 / contentWidth, desktop.h * 0.8 / contentHeight});
        width = std::max(160, static_cast<int>(contentWidth * fit));
        height = std::max(120, static_cast<int>(contentHeight * fit));
    }
    window_ = SDL_CreateWindow(title.c_str(), SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, width,
                               height, SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
    if (!window_) {
        log_.error("SDL_CreateWindow: %{public}s", SDL_GetError());
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        throw WindowError(WindowError::Code::windowCreateFailed);
    }
    renderer_ =
        SDL_CreateRenderer(window_, -1, SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC);
    if (!renderer_)
        renderer_ = SDL_CreateRenderer(window_, -1, SDL_RENDERER_SOFTWARE);
    if (!renderer_) {
        log_.error("SDL_CreateRenderer: %{public}s", SDL_GetError());
        SDL_DestroyWindow(window_);
        SDL_QuitSubSystem(SDL_INIT_VIDEO);
        throw WindowError(WindowError::Code::rendererCreateFailed);
    }
}

SdlWindow::~SdlWindow() {
    cursorTexture_.reset();
    picture_.reset();
    SDL_DestroyRenderer(renderer_);
    SDL_DestroyWindow(window_);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
}

void SdlWindow::wake() {
    if (wakeEvent_ == static_cast<std::uint32_t>(-1) || wakePending_.exchange(true))
        return;
    SDL_Event event{};
    event.type = wakeEvent_;
    SDL_PushEvent(&event);
}

bool SdlWindow::run(const Sources& sources) {
    std::uint64_t drawnCursor = ~std::uint64_t{0};
    for (;;) {
        SDL_Event event;
        // The timeout only bounds how late shouldStop is noticed without a wake.
        bool redraw = false;
        if (SDL_WaitEventTimeout(&event, 250)) {
            do {
                if (event.type == SDL_QUIT)
                    return true;
                if (event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE)
                    return true;
                if (event.type == SDL_WINDOWEVENT)
                    redraw = true;
                if (event.type == wakeEvent_)
                    wakePending_ = false;
            } while (SDL_PollEvent(&event));
        }
        if (sources.shouldStop && sources.shouldStop())
            return false;
        if (auto entry = sources.pictures->take()) {
            showPicture(entry->picture);
            redraw = true;
        }
        const auto cursor = sources.cursor ? sources.cursor() : CursorSnapshot{};
        if (cursor.generation != drawnCursor) {
            drawnCursor = cursor.generation;
            redraw = true;
        }
        if (redraw)
            render(sources);
    }
}

void SdlWindow::showPicture(const PixelBuffer& picture) {
    if (!picture_ || picture.width() != pictureWidth_ || picture.height() != pictureHeight_) {
        picture_.reset(SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_NV12,
                                         SDL_TEXTUREACCESS_STREAMING, picture.width(),
                                         picture.height()));
        if (!picture_) {
            log_.error("SDL_CreateTexture NV12 %dx%d: %{public}s", picture.width(),
                       picture.height(), SDL_GetError());
            throw WindowError(WindowError::Code::textureCreateFailed);
        }
        pictureWidth_ = picture.width();
        pictureHeight_ = picture.height();
        log_.info("Picture size %dx%d", pictureWidth_, pictureHeight_);
    }
    if (SDL_UpdateNVTexture(picture_.get(), nullptr, picture.luma(), picture.lumaStride(),
                            picture.chroma(), picture.chromaStride()) != 0)
        log_.error("SDL_UpdateNVTexture: %{public}s", SDL_GetError());
}

void SdlWindow::render(const Sources& sources) {
    SDL_SetRenderDrawColor(renderer_, 0, 0, 0, 255);
    SDL_RenderClear(renderer_);
    if (picture_) {
        int outW = 0, outH = 0;
        SDL_GetRendererOutputSize(renderer_, &outW, &outH);
        const double fit = std::min(static_cast<double>(outW) / pictureWidth_,
                                    static_cast<double>(outH) / pictureHeight_);
        SDL_Rect target;
        target.w = static_cast<int>(std::lround(pictureWidth_ * fit));
        target.h = static_cast<int>(std::lround(pictureHeight_ * fit));
        target.x = (outW - target.w) / 2;
        target.y = (outH - target.h) / 2;
        SDL_RenderCopy(renderer_, picture_.get(), nullptr, &target);
        drawCursor(sources, target);
    }
    SDL_RenderPresent(renderer_);
}

void SdlWindow::drawCursor(const Sources& sources, const SDL_Rect& target) {
    if (!sources.cursor)
        return;
    const CursorSnapshot cursor = sources.cursor();
    if (!cursor.visible || !cursor.positionKnown || !cursor.shape || cursor.shape->image.width == 0)
        return;
    const CursorShape& shape = *cursor.shape;
    if (cursorShape_ != cursor.shape) {
        cursorTexture_.reset(SDL_CreateTexture(renderer_, SDL_PIXELFORMAT_RGBA32,
                                               SDL_TEXTUREACCESS_STATIC, shape.image.width,
                                               shape.image.height));
        if (!cursorTexture_) {
            log_.error("SDL_CreateTexture cursor: %{public}s", SDL_GetError());
            cursorShape_.reset();
            return;
        }
        SDL_UpdateTexture(cursorTexture_.get(), nullptr, shape.image.pixels.data(),
                          shape.image.width * 4);
        SDL_SetTextureBlendMode(cursorTexture_.get(), SDL_BLENDMODE_BLEND);
        cursorShape_ = cursor.shape;
    }
    // Cursor geometry is in points of the streamed display; the position in
    // its pixels. Without a size in points the image is drawn 1:1.
    const double scale = sources.displayScale ? sources.displayScale() : 1.0;
    const double toWindow = static_cast<double>(target.w) / pictureWidth_;
    const double widthPx = shape.widthPt ? shape.widthPt * scale : shape.image.width;
    const double heightPx = shape.heightPt ? shape.heightPt * scale : shape.image.height;
    SDL_Rect rect;
    rect.x = target.x +
             static_cast<int>(std::lround((cursor.xPx - shape.hotspotXPt * scale) * toWindow));
    rect.y = target.y +
             static_cast<int>(std::lround((cursor.yPx - shape.hotspotYPt * scale) * toWindow));
    rect.w = std::max(1, static_cast<int>(std::lround(widthPx * toWindow)));
    rect.h = std::max(1, static_cast<int>(std::lround(heightPx * toWindow)));
    SDL_RenderSetClipRect(renderer_, &target);
    SDL_RenderCopy(renderer_, cursorTexture_.get(), nullptr, &rect);
    SDL_RenderSetClipRect(renderer_, nullptr);
}

} // namespace tessarine
