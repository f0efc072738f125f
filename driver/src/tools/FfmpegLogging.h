// FFmpeg's own console output: the encoder and the demuxer print several lines per file at
// their default level, which would interleave with the kit's log. Private to the library.
#pragma once

namespace vireo::detail {

// Lowers FFmpeg's log level from its default (info) to errors, once per process. A level
// the application has already chosen is left as it is.
void quietFfmpegLogging();

}  // namespace vireo::detail
