// FFmpeg's console log level, lowered once for the whole library (see FfmpegLogging.h).
#include "tools/FfmpegLogging.h"

#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace vireo::detail {

void quietFfmpegLogging() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
}

}  // namespace vireo::detail
