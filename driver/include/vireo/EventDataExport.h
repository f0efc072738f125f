// Rendering recorded events to video: the frame image of one span of events, and the
// export of a time range of any event recording to an H.264 MP4 through
// `DataToVideoConverter`. `RawFileReader::exportEventDataToVideo` is this export without a
// progress report; the functions here serve callers that want one.
//
// The video has one frame per 33333 µs span of the range that holds at least one event
// (spans without events add no frame), timed 0, 33333, 66666, ... µs: its timeline counts
// frames, not recording time. A frame shows the span's events on a grey background
// (112, 112, 112 as blue, green, red); polarity 1 (any non-zero polarity) is
// (180, 188, 191), polarity 0 is (51, 61, 64); a later event at a pixel covers an earlier one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <vireo/DvsFileReader.h>
#include <vireo/SharedTypes.h>
#include <vireo/pipit_export.h>

namespace vireo {

// The span of recording time that one video frame shows, in µs (1000000 / 30).
inline constexpr uint64_t kVideoFrameSpan_us = 33333;

// Renders `events` into `image`, a packed BGR24 image of `width` x `height` pixels (rows
// top to bottom, no padding): when there is at least one event the image is resized to
// width x height x 3 bytes, filled with the background and each event's pixel painted in
// its polarity's colour, in order; events outside the geometry are skipped. An empty
// pointer or an empty vector leaves `image` as it is.
PIPIT_EXPORT void eventsToRgbData(const std::shared_ptr<std::vector<Event2D>>& events, std::vector<uint8_t>& image,
                                  uint16_t width, uint16_t height);

// Called after each span with the recording time covered so far and the whole range, in µs.
using VideoExportProgress = std::function<void(uint64_t done_us, uint64_t total_us)>;

// Renders the events of [start, end) µs of the loaded `reader` to an MP4 at `path`, at the
// reader's geometry. A range reaching past the recording stops at its end, and one that
// begins before the recording begins at its start. False, with an error logged, when the
// encoder cannot be set up for `path` (no container for its name, no H.264 encoder, a
// geometry it cannot encode, the file cannot be created) or the file cannot be written
// whole (a full disk; it is left unfinished); encoder errors on single frames are logged
// and the export goes on. A range that holds no event (start not below end, or outside
// the recording) gives a valid video without frames. Moves the reader's read position.
PIPIT_EXPORT bool exportEventsToVideo(DvsFileReader& reader, uint64_t start, uint64_t end, const std::string& path,
                                      const VideoExportProgress& progress = {});

// What `renderEventsToVideo` did.
struct VideoExportResult {
    bool ok = false;           // a complete, valid video is at `path` (perhaps stopped early)
    bool stopped = false;      // the callback asked to stop before the end of the range
    bool fileFailed = false;   // the failure was the file's: it could not be created or written
    uint64_t frames = 0;       // frames written
    uint64_t rendered_us = 0;  // recording time rendered, from the range's start
    std::string error;         // the cause of a failure, in words
};

// Called after each span like `VideoExportProgress`; returns whether to go on.
using VideoExportControl = std::function<bool(uint64_t done_us, uint64_t total_us)>;

// `exportEventsToVideo` with its outcome in detail and a way to stop early: when `goOn`
// returns false the video ends with the frames rendered so far and is finished as a
// complete, valid video (`stopped` tells it).
PIPIT_EXPORT VideoExportResult renderEventsToVideo(DvsFileReader& reader, uint64_t start, uint64_t end,
                                                   const std::string& path, const VideoExportControl& goOn = {});

}  // namespace vireo
