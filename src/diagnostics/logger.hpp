#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace spdlog {
class logger;
}

namespace tessarine {

enum class LogLevel { debug, info, error };

// One argument of a log line. The texts of log lines are printf-style with the
// privacy annotations of the original design ("%{public}s", "%{bool}d"); the
// annotations are dropped and every conversion is rendered from these values.
using LogArg = std::variant<std::int64_t, std::uint64_t, double, bool, std::string>;

template <typename T> LogArg toLogArg(const T& value) {
    using D = std::decay_t<T>;
    if constexpr (std::is_same_v<D, bool>) {
        return value;
    } else if constexpr (std::is_integral_v<D> && std::is_signed_v<D>) {
        return static_cast<std::int64_t>(value);
    } else if constexpr (std::is_integral_v<D>) {
        return static_cast<std::uint64_t>(value);
    } else if constexpr (std::is_enum_v<D>) {
        return static_cast<std::int64_t>(value);
    } else if constexpr (std::is_floating_point_v<D>) {
        return static_cast<double>(value);
    } else if constexpr (std::is_convertible_v<const D&, std::string_view>) {
        return std::string(std::string_view(value));
    } else {
        return std::string(value.what()); // exceptions: their description
    }
}

// Renders a printf-style format with the given arguments. Unknown or
// mismatched conversions render as text rather than failing: a log line must
// never bring the process down.
std::string formatLogMessage(std::string_view format, const std::vector<LogArg>& args);

// A logger for one component: subsystem (e.g. "app.tessarine.mac") and
// category (e.g. "WiFiHost"). Cheap to copy; every line names its subsystem.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

    template <typename... Args> void debug(std::string_view format, const Args&... args) const {
        write(LogLevel::debug, format, {toLogArg(args)...});
    }
    template <typename... Args> void info(std::string_view format, const Args&... args) const {
        write(LogLevel::info, format, {toLogArg(args)...});
    }
    template <typename... Args> void error(std::string_view format, const Args&... args) const {
        write(LogLevel::error, format, {toLogArg(args)...});
    }

    void write(LogLevel level, std::string_view format, const std::vector<LogArg>& args) const;

private:
    std::string subsystem_;
    std::string category_;
    std::shared_ptr<spdlog::logger> logger_;
};

// One rendered log line as a capture sees it.
struct LogRecord {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string message;
};

// Collects every line written by any Logger while it exists (tests assert on
// what components logged). Thread-safe.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogRecord> records() const;
    // Messages of one category, in order.
    std::vector<std::string> messages(std::string_view category) const;
    // Whether the category holds exactly this message.
    bool contains(std::string_view category, std::string_view message) const;
    // Number of messages in the category that start with the prefix.
    std::size_t count(std::string_view category, std::string_view prefix) const;
    void clear();
    // Waits (at most `timeout`) until the category holds exactly this message.
    bool waitFor(std::string_view category, std::string_view message,
                 std::chrono::milliseconds timeout);
    // The same for a message that starts with the prefix.
    bool waitForPrefix(std::string_view category, std::string_view prefix,
                       std::chrono::milliseconds timeout);

    void add(LogRecord record);

private:
    mutable std::mutex mutex_;
    std::condition_variable added_;
    std::vector<LogRecord> records_;
};

} // namespace tessarine
