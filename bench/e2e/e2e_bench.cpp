// End-to-end figures: the agent (its own process, a private Xvfb display per
// session) streaming to a headless tablet on loopback, next to what a Linux
// user would otherwise reach for — ffmpeg grabbing the same kind of display
// (x11grab, libx264 zerolatency) over TCP to an ffmpeg decoder.
//
// Both are timed the same way: the test scene burns the time of drawing into
// every frame, and the receiving side reads it back from the decoded picture.
//
//   build/default/bench/e2e/e2e_bench [--seconds S] [--sizes 1920x1080,2732x2048]
//                                    [--contents still,scroll,motion]
#include "media/h264_decoder.hpp"
#include "media/x_server_process.hpp"
#include "net/wifi_transport_client.hpp"
#include "security/tls_identity.hpp"
#include "security/trusted_device_store.hpp"
#include "tools/timestamp_barcode.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tessarine;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::uint64_t wallMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// A child process; its stderr (and stdout) optionally captured line by line.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& env, bool capture,
          int stdoutFd = -1, int stdinFd = -1) {
        int pipeFds[2] = {-1, -1};
        if (capture && pipe2(pipeFds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            if (capture) {
                dup2(pipeFds[1], STDERR_FILENO);
                if (stdoutFd < 0)
                    dup2(pipeFds[1], STDOUT_FILENO);
            } else {
                int null = open("/dev/null", O_WRONLY);
                dup2(null, STDERR_FILENO);
                if (stdoutFd < 0)
                    dup2(null, STDOUT_FILENO);
            }
            if (stdoutFd >= 0)
                dup2(stdoutFd, STDOUT_FILENO);
            if (stdinFd >= 0)
                dup2(stdinFd, STDIN_FILENO);
            for (const auto& e : env)
                putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        if (capture) {
            close(pipeFds[1]);
            reader_ = std::thread([this, fd = pipeFds[0]] {
                std::string pending;
                char buffer[4096];
                for (;;) {
                    ssize_t n = read(fd, buffer, sizeof buffer);
                    if (n <= 0)
                        break;
                    std::lock_guard lock(mutex_);
                    output_.append(buffer, static_cast<std::size_t>(n));
                    changed_.notify_all();
                }
                close(fd);
            });
        }
    }
    ~Child() {
        stop();
        if (reader_.joinable())
            reader_.join();
    }

    pid_t pid() const { return pid_; }

    // Waits (bounded) until the output matches; returns the first match's groups.
    std::optional<std::smatch> waitForOutput(const std::regex& pattern,
                                             std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        std::optional<std::smatch> found;
        changed_.wait_for(lock, timeout, [&] {
            std::smatch m;
            if (std::regex_search(output_, m, pattern)) {
                copy_ = output_;
                std::regex_search(copy_, m, pattern);
                found = m;
                return true;
            }
            return false;
        });
        return found;
    }

    void stop() {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(20)); // grace period for a clean exit
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

    // CPU seconds (user + system) used so far, from /proc.
    double cpuSeconds() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string content((std::istreambuf_iterator<char>(stat)), {});
        auto close = content.rfind(')');
        if (close == std::string::npos)
            return 0;
        std::istringstream rest(content.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::stoull(field);
            if (i == 15)
                stime = std::stoull(field);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

private:
    pid_t pid_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::string copy_;
};

// Drawn → decoded in milliseconds; a misread stamp (a damaged picture can
// flip a bit) gives an impossible value, which is left out.
void addLatency(std::vector<double>& samples, std::uint64_t stamp, std::uint64_t nowUs) {
    const double ms = static_cast<double>(static_cast<std::int64_t>(
                          nowUs - TimestampBarcode::unwrap(stamp, nowUs))) /
                      1000.0;
    if (ms >= 0 && ms < 60'000)
        samples.push_back(ms);
}

struct Figures {
    std::size_t framesDecoded = 0;
    std::size_t bytes = 0;
    double seconds = 0;
    double senderCpuPerSecond = 0;
    std::vector<double> latencyMs; // drawn → decoded, from the burnt-in time
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(static_cast<double>(v.size()) * p))];
}

std::uint16_t freePort() {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::tcp::v4(), 0});
    return acceptor.local_endpoint().port();
}

fs::path executableDir() {
    return fs::canonical("/proc/self/exe").parent_path();
}

// Our pipeline: the agent binary, a tablet made of the real client and decoder.
Figures measureTessarine(int width, int height, const std::string& content, double seconds,
                         const fs::path& agentBinary, const fs::path& sceneBinary) {
    const fs::path home =
        fs::temp_directory_path() / ("tessarine-bench-" + std::to_string(getpid()));
    fs::create_directories(home);
    fs::permissions(home, fs::perms::owner_all);
    const Uuid tablet = Uuid::random();
    {
        // Trusted beforehand: the bench measures streaming, not the prompt.
        TrustedDeviceStore store(std::make_shared<Keychain>(home / "keychain"));
        store.saveAll({{tablet, "bench"}});
    }
    const std::uint16_t port = freePort();
    Child agent({agentBinary.string(), "--headless", "--port", std::to_string(port)},
                {"TESSARINE_HOME=" + home.string(), "XDG_RUNTIME_DIR=" + home.string(),
                 "TESSARINE_DISPLAY_BACKEND=xvfb", "DISPLAY="},
                true);
    if (!agent.waitForOutput(std::regex("Listening on tcp"), std::chrono::seconds(20)))
        throw std::runtime_error("the agent did not start");

    asio::io_context io;
    auto client = std::make_shared<WiFiTransportClient>(
        io.get_executor(), "127.0.0.1", port,
        std::make_shared<asio::ssl::context>(TLSIdentity::clientContext()));
    H264Decoder decoder;
    Figures figures;
    std::atomic<bool> measuring = false;
    decoder.onDecodedFrame([&](const PixelBuffer& picture, MediaTime) {
        if (!measuring)
            return;
        const std::uint64_t now = wallMicros();
        ++figures.framesDecoded;
        if (auto stamp = TimestampBarcode::read(picture.luma(), picture.lumaStride(),
                                                picture.width(), picture.height()))
            addLatency(figures.latencyMs, *stamp, now);
    });

    std::optional<Child> scene;
    auto run = [&]() -> asio::awaitable<void> {
        {
            auto starting = client->start();
            co_await std::move(starting);
        }
        {
            auto hello =
                client->sendControl(ClientHello{tablet, "bench", static_cast<std::uint32_t>(width),
                                                static_cast<std::uint32_t>(height), 1.0});
            co_await std::move(hello);
        }
        for (;;) {
            auto frame = co_await client->inbound().pop();
            if (!frame)
                break;
            if (const auto* video = frame->as<Frame::Video>()) {
                if (measuring)
                    figures.bytes += video->payload.size();
                try {
                    decoder.decode(
                        video->payload,
                        MediaTime::make(static_cast<std::int64_t>(video->pts), 1'000'000));
                } catch (const std::exception&) {
                }
            }
        }
    };
    asio::co_spawn(io, run(), asio::detached);
    std::thread network([&] { io.run(); });

    auto display = agent.waitForOutput(std::regex("DISPLAY=(\\S+) XAUTHORITY=(\\S+)"),
                                       std::chrono::seconds(20));
    if (!display)
        throw std::runtime_error("no session display");
    const std::string xDisplay = (*display)[1], xAuthority = (*display)[2];
    scene.emplace(
        std::vector<std::string>{sceneBinary.string(), "--display", xDisplay, "--geometry",
                                 std::to_string(width) + "x" + std::to_string(height) + "+0+0",
                                 "--content", content},
        std::vector<std::string>{"XAUTHORITY=" + xAuthority}, false);
    std::this_thread::sleep_for(std::chrono::seconds(1)); // let the stream settle before measuring
    const double cpu0 = agent.cpuSeconds();
    const auto t0 = Clock::now();
    measuring = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); // the measurement window
    measuring = false;
    figures.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    figures.senderCpuPerSecond = (agent.cpuSeconds() - cpu0) / figures.seconds;

    scene.reset();
    asio::co_spawn(io, client->stop(), asio::detached);
    network.join();
    agent.stop();
    fs::remove_all(home);
    return figures;
}

// The baseline: ffmpeg x11grab → libx264 zerolatency → TCP → ffmpeg decoder → raw grey frames.
Figures measureFfmpeg(int width, int height, const std::string& content, double seconds,
                      const fs::path& sceneBinary, std::int64_t bitrate) {
    XServerLaunch launch;
    launch.program = "Xvfb";
    launch.arguments = {
        "-screen",   "0",   std::to_string(width) + "x" + std::to_string(height) + "x24",
        "-nolisten", "tcp", "-noreset"};
    XServerProcess xvfb(launch);
    const std::string display = xvfb.displayName();
    Child scene({sceneBinary.string(), "--display", display, "--geometry",
                 std::to_string(width) + "x" + std::to_string(height) + "+0+0", "--content",
                 content},
                {}, false);

    const std::uint16_t port = freePort();
    int frames[2];
    if (pipe(frames) != 0)
        throw std::runtime_error("pipe failed");
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    Child receiver({"ffmpeg",
                    "-hide_banner",
                    "-loglevel",
                    "error",
                    "-nostdin",
                    "-fflags",
                    "nobuffer",
                    "-flags",
                    "low_delay",
                    "-probesize",
                    "32",
                    "-analyzeduration",
                    "0",
                    "-f",
                    "mpegts",
                    "-i",
                    "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1",
                    "-f",
                    "rawvideo",
                    "-pix_fmt",
                    "gray",
                    "pipe:1"},
                   {}, true, frames[1]);
    close(frames[1]);
    // Give the receiver's listening socket a moment before the sender connects.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    Child sender({"ffmpeg",
                  "-hide_banner",
                  "-loglevel",
                  "error",
                  "-nostdin",
                  "-f",
                  "x11grab",
                  "-framerate",
                  "60",
                  "-video_size",
                  size,
                  "-i",
                  display + "+0,0",
                  "-c:v",
                  "libx264",
                  "-preset",
                  "ultrafast",
                  "-tune",
                  "zerolatency",
                  "-g",
                  "30",
                  "-bf",
                  "0",
                  "-b:v",
                  std::to_string(bitrate),
                  "-maxrate",
                  std::to_string(bitrate),
                  "-bufsize",
                  std::to_string(bitrate / 15),
                  "-pix_fmt",
                  "yuv420p",
                  "-f",
                  "mpegts",
                  "tcp://127.0.0.1:" + std::to_string(port)},
                 {}, true);

    Figures figures;
    std::atomic<bool> measuring = false, done = false;
    std::thread reader([&] {
        std::vector<std::uint8_t> picture(static_cast<std::size_t>(width) * height);
        for (;;) {
            std::size_t got = 0;
            while (got < picture.size()) {
                ssize_t n = read(frames[0], picture.data() + got, picture.size() - got);
                if (n <= 0) {
                    done = true;
                    return;
                }
                got += static_cast<std::size_t>(n);
            }
            if (!measuring)
                continue;
            const std::uint64_t now = wallMicros();
            ++figures.framesDecoded;
            if (auto stamp = TimestampBarcode::read(picture.data(), width, width, height))
                addLatency(figures.latencyMs, *stamp, now);
        }
    });
    std::this_thread::sleep_for(std::chrono::seconds(2)); // start-up of both ffmpeg processes
    const double cpu0 = sender.cpuSeconds();
    const auto t0 = Clock::now();
    measuring = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); // the measurement window
    measuring = false;
    figures.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    figures.senderCpuPerSecond = (sender.cpuSeconds() - cpu0) / figures.seconds;
    sender.stop();
    receiver.stop();
    reader.join();
    close(frames[0]);
    return figures;
}

void print(const char* who, const std::string& size, const std::string& content, Figures f) {
    const double fps = f.seconds > 0 ? static_cast<double>(f.framesDecoded) / f.seconds : 0;
    if (content == "still")
        f.latencyMs.clear(); // one stamp drawn at the start: its age is not a latency
    std::printf("%-9s %-9s %-6s  fps %5.1f  latency p50 %6.1f ms  p95 %6.1f ms  (%zu stamped)  "
                "sender CPU %5.2f s/s  %s\n",
                who, size.c_str(), content.c_str(), fps, percentile(f.latencyMs, 0.5),
                percentile(f.latencyMs, 0.95), f.latencyMs.size(), f.senderCpuPerSecond,
                f.bytes ? (std::to_string(static_cast<long long>(static_cast<double>(f.bytes) /
                                                                 f.seconds / 1000)) +
                           " kB/s")
                              .c_str()
                        : "");
    std::fflush(stdout);
}

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        parts.push_back(part);
    return parts;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    std::vector<std::string> sizes = {"1920x1080", "2732x2048"};
    std::vector<std::string> contents = {"still", "scroll", "motion"};
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        if (arg == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (arg == "--sizes")
            sizes = split(argv[i + 1]);
        else if (arg == "--contents")
            contents = split(argv[i + 1]);
    }
    signal(SIGPIPE, SIG_IGN);
    const fs::path build = executableDir().parent_path().parent_path();
    const fs::path agentBinary = build / "src/app/tessarine";
    const fs::path sceneBinary = build / "src/tools/tessarine-test-scene";
    std::printf(
        "Each line: %g s of streaming on loopback; latency = drawn → decoded, read from the "
        "time burnt into each frame.\n",
        seconds);
    for (const auto& size : sizes) {
        int width = 0, height = 0;
        std::sscanf(size.c_str(), "%dx%d", &width, &height);
        const std::int64_t bitrate = std::clamp<std::int64_t>(
            static_cast<std::int64_t>(static_cast<double>(std::int64_t{width} * height * 60) * 0.2),
            20'000'000, 80'000'000);
        for (const auto& content : contents) {
            try {
                print("tessarine", size, content,
                      measureTessarine(width, height, content, seconds, agentBinary, sceneBinary));
            } catch (const std::exception& e) {
                std::printf("tessarine %-9s %-6s  failed: %s\n", size.c_str(), content.c_str(),
                            e.what());
            }
            try {
                print("ffmpeg", size, content,
                      measureFfmpeg(width, height, content, seconds, sceneBinary, bitrate));
            } catch (const std::exception& e) {
                std::printf("ffmpeg    %-9s %-6s  failed: %s\n", size.c_str(), content.c_str(),
                            e.what());
            }
        }
    }
    return 0;
}
