#include "viewer/device_identity.hpp"
#include "viewer/latest_picture.hpp"
#include "viewer/sdl_window.hpp"
#include "viewer/viewer.hpp"
#include "viewer/viewer_options.hpp"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <thread>

using namespace tessarine;

namespace {

enum ExitCode { success = 0, failure = 1, usage = 2, refused = 3 };

std::string refusalText(const std::string& reason) {
    if (reason == "denied")
        return "The computer did not allow this device (denied).";
    if (reason == "busy")
        return "The computer is already showing another device (busy).";
    if (reason == "setup-failed")
        return "The computer could not set up the display (setup-failed).";
    return "The computer refused this device (" + reason + ").";
}

// The network and decoding thread: the viewer and its connection live there.
class NetworkThread {
public:
    NetworkThread() : work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
    ~NetworkThread() { stop(); }
    // After this, objects bound to io() may be destroyed from the main thread.
    void stop() {
        if (!thread_.joinable())
            return;
        work_.reset();
        io_.stop();
        thread_.join();
    }
    asio::io_context& io() { return io_; }

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv) {
    ViewerOptions options;
    try {
        options = parseViewerOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const ViewerOptionsError& error) {
        std::cerr << error.what() << "\n\n" << viewerUsage();
        return usage;
    }
    if (options.help) {
        std::cout << viewerUsage();
        return success;
    }

    Uuid deviceId;
    try {
        deviceId = DeviceIdentity::loadOrCreate(
            options.configDir ? *options.configDir : DeviceIdentity::defaultConfigDir());
    } catch (const DeviceIdentityError& error) {
        std::cerr << error.what() << " (" << std::strerror(error.status()) << ")\n";
        return failure;
    }
    std::cout << "Device id: " << deviceId.toString() << std::endl;

    Viewer::Config config;
    config.host = options.host;
    config.port = options.port;
    config.deviceId = deviceId;
    config.deviceName = options.name ? *options.name : localComputerName();
    config.widthPx = options.widthPx;
    config.heightPx = options.heightPx;
    config.scaleFactor = options.scaleFactor;

    // The window belongs to the main thread and exists before any picture.
    std::unique_ptr<SdlWindow> window;
    if (!options.headless) {
        try {
            window = std::make_unique<SdlWindow>("Tessarine — " + options.host,
                                                 static_cast<int>(options.widthPx),
                                                 static_cast<int>(options.heightPx));
        } catch (const WindowError& error) {
            std::cerr << error.what() << " (try --headless)\n";
            return failure;
        }
    }

    NetworkThread network;
    auto viewer = std::make_shared<Viewer>(network.io().get_executor(), config);
    LatestPicture pictures;
    std::atomic<std::uint64_t> decoded{0};
    std::atomic<bool> timedOut{false};
    std::atomic<bool> finished{false};

    viewer->onWaitingForApproval([id = deviceId.toString()] {
        std::cout << "Waiting for the computer to allow this device… (there: tessarine allow " << id
                  << ")" << std::endl;
    });
    viewer->onDisplayConfig([announced = false](const DisplayConfig& c) mutable {
        if (!announced)
            std::cout << "Allowed — streaming " << c.widthPx << "x" << c.heightPx << " @ "
                      << c.refreshHz << " Hz" << std::endl;
        announced = true;
    });
    const std::optional<std::uint64_t> frameLimit =
        options.headless ? options.frames : std::nullopt;
    viewer->onPicture([&](const PixelBuffer& picture, MediaTime pts) {
        const auto count = ++decoded;
        if (frameLimit && count == *frameLimit)
            viewer->close();
        if (window) {
            pictures.put(picture, pts);
            window->wake();
        }
    });
    if (window)
        viewer->onCursorChange([&] { window->wake(); });

    asio::signal_set signals(network.io(), SIGINT, SIGTERM);
    signals.async_wait([viewer](const std::error_code& ec, int) {
        if (!ec)
            viewer->close();
    });
    asio::steady_timer deadline(network.io());
    if (options.headless) {
        deadline.expires_after(options.timeout);
        deadline.async_wait([viewer, &timedOut](const std::error_code& ec) {
            if (ec)
                return;
            timedOut = true;
            viewer->close();
        });
    }

    std::promise<ViewerOutcome> promise;
    auto outcomeFuture = promise.get_future();
    asio::co_spawn(network.io(), viewer->run(),
                   [&](std::exception_ptr error, ViewerOutcome outcome) {
                       if (error)
                           outcome = {ViewerOutcome::Kind::connectionFailed, "internal error"};
                       // The window may go as soon as the outcome is out.
                       finished = true;
                       if (window)
                           window->wake();
                       promise.set_value(std::move(outcome));
                   });

    if (window) {
        SdlWindow::Sources sources;
        sources.pictures = &pictures;
        sources.cursor = [&] {
            return viewer->cursor();
        };
        sources.displayScale = [&] {
            auto c = viewer->displayConfig();
            return c ? c->scaleFactor : config.scaleFactor;
        };
        sources.shouldStop = [&] {
            return finished.load();
        };
        try {
            if (window->run(sources))
                viewer->close();
        } catch (const WindowError& error) {
            std::cerr << error.what() << "\n";
            viewer->close();
        }
    }
    // close() ends the run within a round trip; a dead peer within the
    // transport's keepalive bound. Headless runs end by the deadline.
    const auto bound =
        std::chrono::seconds(10) + (window ? std::chrono::seconds(0) : options.timeout);
    if (outcomeFuture.wait_for(bound) != std::future_status::ready) {
        std::cerr << "The connection did not close in time.\n";
        std::_Exit(failure); // the network thread is stuck; do not wait for it
    }
    const ViewerOutcome outcome = outcomeFuture.get();
    network.stop();
    window.reset();

    const auto stats = viewer->statistics();
    int code = success;
    switch (outcome.kind) {
    case ViewerOutcome::Kind::closed:
        break;
    case ViewerOutcome::Kind::refused:
        std::cerr << refusalText(outcome.reason) << "\n";
        code = refused;
        break;
    case ViewerOutcome::Kind::disconnected:
        std::cout << "The computer ended the session (" << outcome.reason << ")." << std::endl;
        break;
    case ViewerOutcome::Kind::connectionFailed:
        std::cerr << "Could not connect to " << options.host << ":" << options.port << ": "
                  << outcome.reason << "\n";
        code = failure;
        break;
    case ViewerOutcome::Kind::connectionLost:
        std::cerr << "The connection was lost: " << outcome.reason << "\n";
        code = failure;
        break;
    }
    if (options.headless && code != refused) {
        if (timedOut)
            std::cerr << "Timed out after " << options.timeout.count() << " s.\n";
        // A headless run succeeds when pictures came through; the figures
        // say how many.
        code = stats.framesDecoded > 0 && outcome.kind != ViewerOutcome::Kind::connectionFailed
                   ? success
                   : failure;
    }
    if (options.headless || stats.framesReceived > 0)
        std::cout << ViewerStatistics::format(stats) << std::flush;
    return code;
}
