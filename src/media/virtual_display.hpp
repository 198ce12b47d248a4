#pragma once

#include "diagnostics/logger.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessarine {

// What an extra display looks like: its mode in points, density and identity.
struct VirtualDisplayConfiguration {
    std::int64_t logicalWidth = 0;
    std::int64_t logicalHeight = 0;
    double scaleFactor = 2.0;
    double refreshHz = 60.0;
    std::string displayName;
    std::uint32_t vendorID = 0x7473;
    std::uint32_t productID = 1;
    std::uint32_t serialNumber = 1;
    double physicalWidthMm = 250.0;
    double physicalHeightMm = 170.0;

    static VirtualDisplayConfiguration iPadPro13();
    static VirtualDisplayConfiguration iPadPro11();
    static VirtualDisplayConfiguration iPadAir();

    bool operator==(const VirtualDisplayConfiguration&) const = default;
};

struct PixelSize {
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const PixelSize&) const = default;
};

class VirtualDisplayError : public std::exception {
public:
    enum class Code { unavailable, applySettingsFailed, noDisplayID, invalidConfiguration };

    static VirtualDisplayError unavailable(const std::string& message);
    static VirtualDisplayError applySettingsFailed();
    static VirtualDisplayError noDisplayID();
    static VirtualDisplayError invalidConfiguration(const std::string& reason);

    Code code() const { return code_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    VirtualDisplayError(Code code, std::string text) : code_(code), text_(std::move(text)) {}
    Code code_;
    std::string text_;
};

// Pixel size of a configuration: logical size × scale, truncated toward zero.
// Throws invalidConfiguration for negative, zero, non-finite or sizes beyond
// 32 bits.
PixelSize virtualDisplayPixelSize(const VirtualDisplayConfiguration& configuration);

enum class VirtualDisplayBackendKind { automatic, randr, xvfb };

// Where a virtual display lives: the X display to connect to and the
// rectangle it covers on that display's root window. Capture and cursor
// tracking work from this.
struct VirtualDisplayInfo {
    std::uint32_t displayID = 0;
    std::string xDisplay; // e.g. ":5"
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    double scaleFactor = 1.0; // pixels per point
    VirtualDisplayBackendKind backend = VirtualDisplayBackendKind::automatic;
    // A private server admits only holders of its cookie; the file holds it
    // for other programs (XAUTHORITY=file DISPLAY=xDisplay). Empty for randr.
    std::vector<std::uint8_t> xAuthCookie;
    std::string xAuthorityFile;
    bool operator==(const VirtualDisplayInfo&) const = default;
};

// Finds the live display with an id, or none when it is unknown or gone.
using DisplayResolver = std::function<std::optional<VirtualDisplayInfo>(std::uint32_t)>;

// One way of making a virtual display (RandR on the user's desktop, a private
// Xvfb server). Used by the manager under its lock.
class VirtualDisplayBackend {
public:
    virtual ~VirtualDisplayBackend() = default;
    // Throws VirtualDisplayError; leaves nothing behind when it does.
    virtual VirtualDisplayInfo create(const VirtualDisplayConfiguration& configuration,
                                      PixelSize pixels) = 0;
    virtual void destroy() = 0;
    virtual bool isActive(std::uint32_t displayID) = 0;
    virtual std::vector<std::uint32_t> activeDisplayIDs() = 0;
};

struct VirtualDisplayManagerOptions {
    // automatic: TESSARINE_DISPLAY_BACKEND if set, else randr when an X
    // display is reachable, else xvfb.
    VirtualDisplayBackendKind backend = VirtualDisplayBackendKind::automatic;
    std::string xDisplay;        // the randr backend's desktop; empty: $DISPLAY
    bool useSpareOutputs = true; // randr: false always adds a monitor instead
    int xvfbRoomPx = 64;         // xvfb: extra screen beyond the display, right and below
};

// Owns at most one virtual display; releasing the manager removes it.
// Thread-safe; creation is serialised under the manager's lock.
class VirtualDisplayManager {
public:
    explicit VirtualDisplayManager(VirtualDisplayManagerOptions options = {});
    ~VirtualDisplayManager();
    VirtualDisplayManager(const VirtualDisplayManager&) = delete;
    VirtualDisplayManager& operator=(const VirtualDisplayManager&) = delete;

    // Returns the display's id; a second call while a display exists returns
    // the existing id and ignores the new configuration. Throws VirtualDisplayError.
    std::uint32_t create(const VirtualDisplayConfiguration& configuration);
    void destroy();
    bool isActive() const;

    std::uint32_t displayID() const;
    std::optional<VirtualDisplayConfiguration> configuration() const;
    std::optional<VirtualDisplayInfo> displayInfo() const;
    // Ids of the displays currently shown by the backend in use (the one
    // chosen by the options when no display exists).
    std::vector<std::uint32_t> activeDisplayIDs() const;
    // Resolves this manager's display while it is active; safe to keep after
    // the manager is gone (it then resolves nothing).
    DisplayResolver resolver() const;

    // The backend the options select in the current environment.
    static VirtualDisplayBackendKind chooseBackend(const VirtualDisplayManagerOptions& options);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tessarine
