// Value types shared by every library of the kit: events, trigger edges, frames,
// statistics and the small enumerations that select models, streams, tools and filters.
// Header-only, so the clustering and calibration libraries use them without linking
// anything.
#pragma once

#include <cstdint>

namespace vireo {

// One event of the sensor: pixel (x, y), polarity 0 (darker) or 1 (brighter), and the
// time in microseconds. 16 bytes, in this member order; ranges pass as [first, last).
struct Event2D {
    uint16_t x = 0;
    uint16_t y = 0;
    uint8_t polarity = 0;
    uint64_t timestamp = 0;  // microseconds

    Event2D() = default;
    Event2D(uint16_t x_, uint16_t y_, uint8_t polarity_, uint64_t timestamp_)
        : x(x_), y(y_), polarity(polarity_), timestamp(timestamp_) {}

    friend bool operator==(const Event2D&, const Event2D&) = default;
};
static_assert(sizeof(Event2D) == 16, "Event2D must stay 16 bytes");

// One edge on an external trigger input: channel `id`, edge `polarity` (0 falling,
// 1 rising) and its time in microseconds. Passed to trigger callbacks by value.
struct EventTriggerIn {
    int16_t polarity = 0;
    uint64_t timestamp = 0;  // microseconds
    int16_t id = 0;

    EventTriggerIn() = default;
    EventTriggerIn(int16_t id_, int16_t polarity_, uint64_t timestamp_)
        : polarity(polarity_), timestamp(timestamp_), id(id_) {}

    friend bool operator==(const EventTriggerIn&, const EventTriggerIn&) = default;
};

// An event of a pixel that blinks periodically, with the measured frequency in Hz.
struct Event2DFrequency {
    uint16_t x = 0;
    uint16_t y = 0;
    bool polarity = false;
    uint64_t timestamp = 0;  // microseconds
    float frequency = 0.0f;  // Hz

    Event2DFrequency() = default;
    Event2DFrequency(uint16_t x_, uint16_t y_, bool polarity_, uint64_t timestamp_,
                     float frequency_)
        : x(x_), y(y_), polarity(polarity_), timestamp(timestamp_), frequency(frequency_) {}

    friend bool operator==(const Event2DFrequency&, const Event2DFrequency&) = default;
};

// The decoder's two counters, delivered once per second to a statistics callback, with the
// camera's loss counters. What `first` and `second` count is documented by the decoder that
// fills them. The loss counters count from the moment the camera was opened and never go
// back; each says what was lost where:
// - droppedBuffers: event-stream transfers the host threw away because its queue was full
//   (the camera thread, or a callback it runs, fell behind a real-time device). Their events
//   reached no callback, no batch and no recording.
// - recordingLostBuffers / recordingLostBytes: transfers the camera did receive but a
//   recording (or the pre-trigger cache) could not keep: no free record buffer (the disk fell
//   behind) or no file to write them to.
// - unreadBatches / unreadBatchEvents: completed batches (and their events) that getNextBatch
//   never took before the next batch replaced them. The camera received and decoded these
//   events and handed them to every callback; only the polling application missed them.
// - frames / droppedFrames / recordingLostFrames (fusion cameras): frames handed to the frame
//   callbacks, frames the host threw away (its frame queue was full, or the transfer was
//   short), and frames a recording could not keep (the encoder fell behind). Frames the
//   device itself lost never reach the host and are not in these counts. 0 on event cameras.
struct DsStatisticInfo {
    uint64_t first = 0;
    uint64_t second = 0;
    uint64_t droppedBuffers = 0;
    uint64_t recordingLostBuffers = 0;
    uint64_t recordingLostBytes = 0;
    uint64_t unreadBatches = 0;
    uint64_t unreadBatchEvents = 0;
    uint64_t frames = 0;
    uint64_t droppedFrames = 0;
    uint64_t recordingLostFrames = 0;

    DsStatisticInfo() = default;
    DsStatisticInfo(uint64_t first_, uint64_t second_) : first(first_), second(second_) {}

    friend bool operator==(const DsStatisticInfo&, const DsStatisticInfo&) = default;
};

// One frame of a frame (APS) stream as packed BGR24 pixels, blue first. `data` belongs to
// the producer and is overwritten by its next frame: copy the bytes to keep a frame.
struct ApsFrame {
    unsigned char* data = nullptr;
    uint32_t size = 0;           // bytes
    uint64_t timestamp = 0;      // microseconds
    uint64_t syncTimestamp = 0;  // microseconds
};

// The streams of a fusion camera.
enum STREAM_TYPE : int32_t {
    STREAM_DVS = 0,
    STREAM_APS = 1,
    STREAM_BOTH = 2,
};

// Camera models known to discovery.
enum CAMERA_TYPE : int32_t {
    PropheseeEVK4 = 0,
    VireoHeron = 1,
    TandemCamera = 2,
};

// Kinds of camera tool; a camera holds at most one tool of each kind.
enum ToolType : int32_t {
    TOOL_BIASES = 0,
    TOOL_TRIGGER_IN = 1,
    TOOL_SYNC = 2,
    TOOL_ANTI_FLICKER = 3,
    TOOL_EVENT_TRAIL_FILTER = 4,
    TOOL_EVENT_RATE_CONTROL = 5,
    TOOL_ROI = 6,
    TOOL_APS_CTRL = 7,
};

// Which events a cluster generator keeps, by polarity.
enum EventFilterType : int32_t {
    POLARITY_FREE = 0,      // keep all events
    POSITIVE_FREE = 1,      // drop polarity-1 events
    NEGATIVE_FREE = 2,      // drop polarity-0 events
    POLARITY_SEPARATE = 3,  // count polarities apart (grid generator only)
};

// Logger levels, from the most to the least verbose.
enum LogLevelType : int32_t {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_WARN = 3,
    LOG_ERROR = 4,
    LOG_CRITICAL = 5,
};

}  // namespace vireo
