#include "media/libav_logging.hpp"

#include <cstdlib>
#include <mutex>
#include <string_view>

extern "C" {
#include <libavutil/log.h>
}

namespace tessarine {

void quietLibavLogging() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* level = std::getenv("TESSARINE_LOG");
        if (!level || std::string_view(level) != "debug")
            av_log_set_level(AV_LOG_ERROR);
    });
}

} // namespace tessarine
