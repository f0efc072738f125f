// Small FFmpeg helpers shared by the video encoder and the MP4 reader: error codes and pixel
// formats in words, and the checks that keep what FFmpeg's scaler cannot take away from it
// (it asserts on a pixel format it does not know, which ends the process). Private to the
// library.
#pragma once

#include <string>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace vireo::detail {

// FFmpeg's text for an error code ("No space left on device", "Invalid argument").
inline std::string ffmpegError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// A pixel format's name ("yuv420p"), "unknown" for a value FFmpeg does not know.
inline const char* pixelFormatName(int format) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return name != nullptr ? name : "unknown";
}

inline bool knownPixelFormat(int format) { return format > AV_PIX_FMT_NONE && format < AV_PIX_FMT_NB; }

// Whether the scaler converts from, or to, `format`.
inline bool scalerTakes(int format) {
    return knownPixelFormat(format) && sws_isSupportedInput(static_cast<AVPixelFormat>(format)) > 0;
}
inline bool scalerGives(int format) {
    return knownPixelFormat(format) && sws_isSupportedOutput(static_cast<AVPixelFormat>(format)) > 0;
}

}  // namespace vireo::detail
