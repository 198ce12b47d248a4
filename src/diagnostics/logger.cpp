#include "diagnostics/logger.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

namespace tessarine {
namespace {

// The captures currently listening; owned by their tests, registered here.
struct CaptureRegistry {
    std::mutex mutex;
    std::vector<LogCapture*> captures;

    static CaptureRegistry& instance() {
        static CaptureRegistry registry;
        return registry;
    }
    void publish(const LogRecord& record) {
        std::lock_guard lock(mutex);
        for (auto* capture : captures) {
            capture->add(record);
        }
    }
};

spdlog::level::level_enum toSpdlog(LogLevel level) {
    switch (level) {
    case LogLevel::debug:
        return spdlog::level::debug;
    case LogLevel::info:
        return spdlog::level::info;
    case LogLevel::error:
        return spdlog::level::err;
    }
    return spdlog::level::info;
}

// The one stderr sink all loggers share; TESSARINE_LOG=debug shows debug lines.
std::shared_ptr<spdlog::sinks::sink> sharedSink() {
    static auto sink = [] {
        auto s = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        s->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ [%n] %v");
        const char* env = std::getenv("TESSARINE_LOG");
        s->set_level(env && std::string_view(env) == "debug" ? spdlog::level::debug
                                                             : spdlog::level::info);
        return s;
    }();
    return sink;
}

std::shared_ptr<spdlog::logger> loggerFor(const std::string& name) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (auto existing = spdlog::get(name)) {
        return existing;
    }
    auto logger = std::make_shared<spdlog::logger>(name, sharedSink());
    logger->set_level(spdlog::level::debug);
    logger->flush_on(spdlog::level::info);
    spdlog::register_logger(logger);
    return logger;
}

std::string renderOne(char conv, const std::string& flags, int precision, bool hasPrecision,
                      bool boolAnnotation, const LogArg& arg) {
    if (boolAnnotation) {
        bool value = std::visit(
            [](const auto& v) -> bool {
                using V = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<V, std::string>)
                    return !v.empty();
                else
                    return v != V{};
            },
            arg);
        return value ? "true" : "false";
    }
    char buffer[64];
    switch (conv) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X': {
        if (auto* s = std::get_if<std::string>(&arg))
            return *s;
        if (auto* d = std::get_if<double>(&arg))
            return std::to_string(static_cast<std::int64_t>(*d));
        std::string fmt = "%" + flags;
        if (conv == 'd' || conv == 'i') {
            std::int64_t v = std::holds_alternative<std::int64_t>(arg) ? std::get<std::int64_t>(arg)
                             : std::holds_alternative<bool>(arg)
                                 ? std::get<bool>(arg)
                                 : static_cast<std::int64_t>(std::get<std::uint64_t>(arg));
            fmt += PRId64;
            std::snprintf(buffer, sizeof buffer, fmt.c_str(), v);
        } else {
            std::uint64_t v = std::holds_alternative<std::uint64_t>(arg)
                                  ? std::get<std::uint64_t>(arg)
                              : std::holds_alternative<bool>(arg)
                                  ? std::get<bool>(arg)
                                  : static_cast<std::uint64_t>(std::get<std::int64_t>(arg));
            fmt += conv == 'u' ? PRIu64 : conv == 'x' ? PRIx64 : PRIX64;
            std::snprintf(buffer, sizeof buffer, fmt.c_str(), v);
        }
        return buffer;
    }
    case 'f':
    case 'e':
    case 'g': {
        double v = std::visit(
            [](const auto& x) -> double {
                using V = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<V, std::string>)
                    return 0.0;
                else
                    return static_cast<double>(x);
            },
            arg);
        std::string fmt = "%" + flags + (hasPrecision ? ".*" : "") + conv;
        if (hasPrecision)
            std::snprintf(buffer, sizeof buffer, fmt.c_str(), precision, v);
        else
            std::snprintf(buffer, sizeof buffer, fmt.c_str(), v);
        return buffer;
    }
    default: // 's', '@' and anything else: the value's text
        return std::visit(
            [](const auto& x) -> std::string {
                using V = std::decay_t<decltype(x)>;
                if constexpr (std::is_same_v<V, std::string>)
                    return x;
                else if constexpr (std::is_same_v<V, bool>)
                    return x ? "true" : "false";
                else
                    return std::to_string(x);
            },
            arg);
    }
}

} // namespace

std::string formatLogMessage(std::string_view format, const std::vector<LogArg>& args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    std::size_t next = 0;
    auto take = [&]() -> const LogArg* {
        return next < args.size() ? &args[next++] : nullptr;
    };
    for (std::size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < format.size() && format[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        bool boolAnnotation = false;
        if (j < format.size() && format[j] == '{') {
            auto close = format.find('}', j);
            if (close == std::string_view::npos)
                break;
            boolAnnotation = format.substr(j + 1, close - j - 1) == "bool";
            j = close + 1;
        }
        std::string flags;
        while (j < format.size() &&
               std::string_view("-+ #0").find(format[j]) != std::string_view::npos)
            flags += format[j++];
        while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])))
            flags += format[j++];
        int precision = 0;
        bool hasPrecision = false;
        if (j < format.size() && format[j] == '.') {
            hasPrecision = true;
            ++j;
            if (j < format.size() && format[j] == '*') {
                ++j;
                if (auto* p = take())
                    precision = static_cast<int>(std::visit(
                        [](const auto& x) -> std::int64_t {
                            using V = std::decay_t<decltype(x)>;
                            if constexpr (std::is_same_v<V, std::string>)
                                return 0;
                            else
                                return static_cast<std::int64_t>(x);
                        },
                        *p));
            } else {
                while (j < format.size() && std::isdigit(static_cast<unsigned char>(format[j])))
                    precision = precision * 10 + (format[j++] - '0');
            }
        }
        while (j < format.size() &&
               std::string_view("hlqjzt").find(format[j]) != std::string_view::npos)
            ++j; // length modifiers: the value carries its own width
        if (j >= format.size())
            break;
        char conv = format[j];
        const LogArg* arg = take();
        out += arg ? renderOne(conv, flags, std::clamp(precision, 0, 30), hasPrecision,
                               boolAnnotation, *arg)
                   : std::string("<missing>");
        i = j;
    }
    return out;
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)),
      logger_(loggerFor(subsystem_ + ":" + category_)) {}

void Logger::write(LogLevel level, std::string_view format, const std::vector<LogArg>& args) const {
    std::string message = formatLogMessage(format, args);
    logger_->log(toSpdlog(level), "{}", message);
    CaptureRegistry::instance().publish(
        LogRecord{subsystem_, category_, level, std::move(message)});
}

LogCapture::LogCapture() {
    auto& registry = CaptureRegistry::instance();
    std::lock_guard lock(registry.mutex);
    registry.captures.push_back(this);
}

LogCapture::~LogCapture() {
    auto& registry = CaptureRegistry::instance();
    std::lock_guard lock(registry.mutex);
    std::erase(registry.captures, this);
}

void LogCapture::add(LogRecord record) {
    {
        std::lock_guard lock(mutex_);
        records_.push_back(std::move(record));
    }
    added_.notify_all();
}

bool LogCapture::waitFor(std::string_view category, std::string_view message,
                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return added_.wait_for(lock, timeout, [&] {
        return std::any_of(records_.begin(), records_.end(), [&](const auto& r) {
            return r.category == category && r.message == message;
        });
    });
}

bool LogCapture::waitForPrefix(std::string_view category, std::string_view prefix,
                               std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return added_.wait_for(lock, timeout, [&] {
        return std::any_of(records_.begin(), records_.end(), [&](const auto& r) {
            return r.category == category && std::string_view(r.message).starts_with(prefix);
        });
    });
}

std::vector<LogRecord> LogCapture::records() const {
    std::lock_guard lock(mutex_);
    return records_;
}

std::vector<std::string> LogCapture::messages(std::string_view category) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& r : records_)
        if (r.category == category)
            out.push_back(r.message);
    return out;
}

bool LogCapture::contains(std::string_view category, std::string_view message) const {
    std::lock_guard lock(mutex_);
    return std::any_of(records_.begin(), records_.end(), [&](const auto& r) {
        return r.category == category && r.message == message;
    });
}

std::size_t LogCapture::count(std::string_view category, std::string_view prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(records_.begin(), records_.end(), [&](const auto& r) {
            return r.category == category && std::string_view(r.message).starts_with(prefix);
        }));
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
}

} // namespace tessarine
