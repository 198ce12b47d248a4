#pragma once

#include "media/x11_connection.hpp"
#include "media/x_server_process.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tessarine::test {

// A private X server for one test: Xvfb, or Xorg with the dummy video driver
// (RandR outputs DUMMY0..15). Started on a free display, stopped on destruction.
class TestDisplay {
public:
    // Why the server cannot run here (binary or driver missing), or none.
    static std::optional<std::string> xvfbMissing();
    static std::optional<std::string> xorgDummyMissing();

    static std::unique_ptr<TestDisplay> startXvfb(int width, int height);
    static std::unique_ptr<TestDisplay> startXorgDummy();

    std::string name() const { return server_->displayName(); }
    int number() const { return server_->displayNumber(); }

private:
    explicit TestDisplay(std::unique_ptr<XServerProcess> server) : server_(std::move(server)) {}
    std::unique_ptr<XServerProcess> server_;
};

// A test's own X client: drawing, pointer warps through XTest, cursors.
class TestClient {
public:
    explicit TestClient(const std::string& display, const std::vector<std::uint8_t>& cookie = {});
    X11Connection& x() { return connection_; }

    // Fills a rectangle of the root window with 0xRRGGBB and waits until the
    // server has done it.
    void fill(int x, int y, int width, int height, std::uint32_t rgb);
    // Moves the pointer as an input device would (XTest), so XInput2 sees it.
    void movePointer(int x, int y);
    // Gives the root window a two-colour cursor from bitmaps: `source` and
    // `mask` are row-major 0/1 bits of width × height.
    void setRootCursor(int width, int height, const std::vector<std::uint8_t>& source,
                       const std::vector<std::uint8_t>& mask, std::uint32_t foregroundRgb,
                       std::uint32_t backgroundRgb, int hotspotX, int hotspotY);
    void sync();

private:
    X11Connection connection_;
};

// Collects values from callbacks on other threads; waits with a bound.
template <typename T> class Inbox {
public:
    void push(T value) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(value));
        }
        changed_.notify_all();
    }
    // Waits until at least `count` values arrived; false on timeout.
    bool waitForCount(std::size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return items_.size() >= count; });
    }
    // Waits until a value satisfies `predicate`; returns it.
    std::optional<T> waitFor(const std::function<bool(const T&)>& predicate,
                             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        std::optional<T> found;
        changed_.wait_for(lock, timeout, [&] {
            for (const auto& item : items_)
                if (predicate(item)) {
                    found = item;
                    return true;
                }
            return false;
        });
        return found;
    }
    std::vector<T> items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }
    void clear() {
        std::lock_guard lock(mutex_);
        items_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> items_;
};

} // namespace tessarine::test
