// Simulated cameras: devices inside the process that behave like the real ones at the
// transport boundary. Once plugged in, discovery finds a simulated camera by its vendor and
// product ids like a USB device; opening it gives a transport with a register file, and its
// event endpoint streams EVT3 words from a scene while the sensor's readout is started.
//
//   vireo::sim::SimulatedCameraConfig config;
//   config.scene = vireo::sim::SceneType::MovingEdge;
//   std::string serial = vireo::sim::plugCamera(config);
//   ... discover, open, stream ...
//   vireo::sim::unplugCamera(serial);
//
// Readout: the device streams only while output is enabled (bit 1 of register 0x9028 clear)
// and bit 10 of register 0x0004 is set; its time base runs while bit 0 of 0x9008 is set.
//
// Sensor filters: a scene's events pass the sensor's region of interest (roi_td_en and
// td_roi_roni_n_en of 0x0004, column masks from 0x2000, row masks from 0x4000, a set bit
// disabling its line), its event-rate controller (erc_en of 0x6028: at most the target of
// 0x600C per reference period of 0x6008 in microseconds, the excess dropped evenly) and the
// trigger input enable (bit 10 of 0x7004, set at reset), as the camera tools set them. A
// replayed recording streams unchanged.
//
// The CircleGrid scene is a calibration target: a planar grid of dark circles seen through a
// pinhole camera with lens distortion at a sequence of poses; the BlinkingGrid scene can be
// one too, of blinking markers at the same places (BlinkingMarkerTarget). The functions at the end of
// this file give what the scene shows (world centres, poses, true projected centres, the
// time span of every pose) so that tests and tools can check a calibration against it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <vireo/hal_export.h>

namespace vireo::sim {

enum class SceneType {
    Random,        // uniformly random pixels at `event_rate` events per second
    MovingEdge,    // a vertical edge sweeping across the sensor, `edge_speed` pixels/s
    BlinkingGrid,  // grid of small point markers blinking at `blink_frequency_hz`
    Replay,        // the body of the RAW file `replay_path`, byte for byte, looped
    CircleGrid,    // the circle grid `target` through `lens` at `target_poses`, looped
};

struct Point2d {
    double x = 0;
    double y = 0;
};

struct Point3d {
    double x = 0;
    double y = 0;
    double z = 0;
};

// A rigid motion as OpenCV writes one (rvec, tvec): a point X maps to R·X + t, R being the
// rotation of Rodrigues vector `rotation` (axis times angle, radians) and `translation` in
// world units. The default is the identity.
struct RigidPose {
    std::array<double, 3> rotation{};
    std::array<double, 3> translation{};
};

// A pinhole camera with OpenCV's distortion model, coefficients in OpenCV's order (k1, k2,
// p1, p2, k3). A point (X, Y, Z) of the camera's coordinates (x right, y down, z forward)
// goes to x' = X/Z, y' = Y/Z, r² = x'² + y'², then
//   x'' = x'·(1 + k1·r² + k2·r⁴ + k3·r⁶) + 2·p1·x'·y' + p2·(r² + 2·x'²)
//   y'' = y'·(1 + k1·r² + k2·r⁴ + k3·r⁶) + p1·(r² + 2·y'²) + 2·p2·x'·y'
// and u = fx·x'' + cx, v = fy·y'' + cy in pixels, pixel centres at whole numbers (the
// event at pixel (x, y) covers [x - 0.5, x + 0.5) × [y - 0.5, y + 0.5)). The default is an
// undistorted lens centred on a 1280 × 720 sensor.
struct PinholeLens {
    double fx = 1000.0;  // focal lengths, pixels
    double fy = 1000.0;
    double cx = 639.5;   // principal point, pixels
    double cy = 359.5;
    double k1 = 0, k2 = 0, p1 = 0, p2 = 0, k3 = 0;
};

// A planar grid of circles as it is printed or shown: `grid_cols` circles per row and
// `grid_rows` rows, centres numbered row by row from the top left (index = j·grid_cols + i
// for column i of row j), in the target's plane z = 0, world units (for example mm).
//
// Symmetric: centre (i, j) at (i·spacing, j·spacing, 0).
//
//     0   1   2   3        row 0     y = 0
//     4   5   6   7        row 1     y = spacing
//     8   9  10  11        row 2     y = 2·spacing
//
// Asymmetric (OpenCV's asymmetric circle grid): neighbours along a row are `spacing` apart,
// rows are spacing/2 apart and odd rows are shifted right by spacing/2; centre (i, j) at
// ((2·i + j mod 2)·spacing/2, j·spacing/2, 0).
//
//     0       1       2       3            row 0     y = 0
//         4       5       6       7        row 1     y = spacing/2
//     8       9       10      11           row 2     y = spacing
//         12      13      14      15       row 3     y = 3·spacing/2
//     |<----->|
//      spacing
struct CircleGridTarget {
    int grid_cols = 4;
    int grid_rows = 11;
    bool asymmetric = true;
    double spacing = 40.0;          // world units between neighbouring centres of a row
    double circle_diameter = 15.0;  // world units; smaller than the nearest centre distance
};

// The BlinkingGrid scene as a calibration target of blinking lights (set `as_target`): one
// marker at each centre of the configuration's `target` (the CircleGridTarget convention
// above; its circle_diameter only sets the margin the drawn poses keep from the image
// border), seen through `lens` at the poses of circleGridPoses(config), the k-th shown for
// [k·pose_period_us, (k+1)·pose_period_us) and looping, all blinking together at
// `blink_frequency_hz`: lit during the first half of every period from time 0. A marker is a
// point light blurred into a Gaussian spot of `spot_sigma_px`: every pixel within 2.2 sigma
// of its projected centre fires at each switch one event and up to two more the closer it
// lies to the centre, each pixel up to 15 µs late of its own. A real scene's distractors
// come with it:
//   - flicker: a square of `flicker_size_px` pixels near the bottom-left corner whose pixels
//     toggle at random moments, `flicker_rate_hz` times a second each on average;
//   - a bright vertical bar `edge_width_px` wide sweeping left to right at `edge_speed`
//     pixels per second and wrapping (pixels brighten as its edge enters, darken as it leaves);
//   - another light like a marker near the top-right corner, blinking at `other_light_hz`
//     (meant to be outside the band the locator looks in);
//   - uniform noise at `noise_rate` events per second over the whole sensor.
// Where a marker shines the distractors leave no events (the light outshines them). The
// grid_cols and grid_rows of the plain BlinkingGrid are not used. circleGridProjectedCenters
// and circleGridPoseSpan tell what such a camera shows; blinkingMarkerDistractors where
// the flicker and the other light are.
struct BlinkingMarkerTarget {
    bool as_target = false;        // false: the plain grid of 3x3 markers
    double spot_sigma_px = 1.0;    // within 0.3..5
    int flicker_size_px = 32;      // 0 for no flicker, at most 256
    double flicker_rate_hz = 300;  // toggles per pixel and second, above 0
    bool moving_edge = true;
    int edge_width_px = 40;        // at least 1, narrower than the sensor
    double other_light_hz = 1500;  // 0 for no other light
};

struct SimulatedCameraConfig {
    uint16_t vendor_id = 1205;  // VireoHeron
    uint16_t product_id = 1;
    std::string serial;         // empty: a unique serial is generated
    SceneType scene = SceneType::Random;
    double event_rate = 1e6;    // events per second (Random)
    std::string replay_path;    // RAW file (Replay)
    bool real_time = true;      // true: paced by the clock; false: as fast as the host reads
    uint64_t trigger_period_us = 0;  // 0: no triggers; else alternating edges on channel 0
    uint64_t seed = 1;

    double edge_speed = 1000.0;       // pixels per second (MovingEdge)
    double blink_frequency_hz = 200;  // (BlinkingGrid)
    int grid_cols = 4;                // markers per row (BlinkingGrid)
    int grid_rows = 3;                // marker rows (BlinkingGrid)
    BlinkingMarkerTarget markers;     // BlinkingGrid as a calibration target

    // CircleGrid. The k-th pose shown (k = 0, 1, ...; the poses loop) is held for
    // [k·pose_period_us, (k+1)·pose_period_us). During the first `burst_us` of it a small
    // jitter of the target makes the circles' outlines fire: every `jitter_period_us` the
    // target moves about a pixel and back, so each pixel whose centre lies within a pixel of
    // a projected outline fires once on the way out and once on the way back, with the
    // polarity an edge of a dark circle on a bright ground gives. From one jitter period to
    // the next the target also sits a quarter pixel off its pose in one of four diagonal
    // directions in turn, so that a burst of four periods (the default) averages the pixel
    // lattice out of each circle's events. The rest of the period is still. Uniform noise
    // fires at `noise_rate` events/s over the whole sensor all the time.
    CircleGridTarget target;
    PinholeLens lens;
    // Target to the rig's reference camera, one per pose. Empty: `pose_count` poses drawn
    // from `seed` that keep every circle inside the reference camera's view (this camera's
    // lens and size, `rig_pose` ignored), so cameras sharing seed, lens and size share them.
    std::vector<RigidPose> target_poses;
    int pose_count = 25;
    // This camera in the rig: a point X of the reference camera's coordinates is
    // R·X + t in this camera's (the R, T a stereo calibration of the reference with this
    // camera recovers). The identity makes this camera the reference.
    RigidPose rig_pose;
    uint64_t pose_period_us = 40000;
    uint64_t burst_us = 8000;
    uint64_t jitter_period_us = 2000;  // at least 2; an odd period is taken one shorter
    double noise_rate = 1e5;           // events per second, 0 for none

    uint16_t width = 1280;
    uint16_t height = 720;
    // When true the device tells the register controller that timed pauses between
    // register writes may be skipped, so opening a simulated camera takes no seconds.
    bool skip_pauses = true;

    // Fusion camera (vendor_id kFusionVendorId, product_id kFusionProductId): the frame
    // sensor. Frame k is exposed over [k·P, k·P + exposure_us) in sensor microseconds,
    // P = 1e6 / frame_rate_hz rounded to the microsecond per frame, on the event stream's
    // clock. Ignored by other cameras.
    uint16_t frame_width = 3840;   // pixels, even
    uint16_t frame_height = 2160;  // pixels, even
    double frame_rate_hz = 5.0;    // above 0, at most 100000
    uint64_t exposure_us = 10000;  // at least 1, shorter than the frame period
};

// Plugs a simulated camera in and returns its serial. Throws std::invalid_argument for a
// configuration that cannot stream (for example a Replay without a readable RAW file, a
// serial already in use, or a non-positive rate).
HAL_EXPORT std::string plugCamera(const SimulatedCameraConfig& config);

// Unplugs the camera: its transport reports not connected from now on and its streams end.
// Returns false when no simulated camera has this serial.
HAL_EXPORT bool unplugCamera(const std::string& serial);

// Serials of the simulated cameras plugged in now.
HAL_EXPORT std::vector<std::string> pluggedCameras();

// One register write as the device received it (mask 0xFFFFFFFF for plain writes).
struct RegisterWrite {
    uint32_t address = 0;
    uint32_t value = 0;
    uint32_t mask = 0xFFFFFFFF;
    friend bool operator==(const RegisterWrite&, const RegisterWrite&) = default;
};

// Inspection for tests and tools; all return nothing for an unknown serial.
// Every register write the device received since it was plugged in, in order.
HAL_EXPORT std::vector<RegisterWrite> registerWrites(const std::string& serial);
// The device's current value of one register.
HAL_EXPORT std::optional<uint32_t> registerValue(const std::string& serial, uint32_t address);
// Whether the readout is started (the device streams).
HAL_EXPORT std::optional<bool> readoutRunning(const std::string& serial);
// Buffers dropped because the host fell behind a real-time device.
HAL_EXPORT std::optional<uint64_t> droppedBuffers(const std::string& serial);

// Register values a freshly plugged device starts from, by address (the sensor's reset
// values). The driver library installs its register table's defaults here; registers not
// listed read as 0, except the chip identity registers.
HAL_EXPORT void setRegisterResetValues(std::vector<std::pair<uint32_t, uint32_t>> values);

// Where the distractors of a BlinkingGrid calibration target (markers.as_target) are: the
// flicker square's top-left pixel and side (side 0 for none), and the other light's centre
// in pixels (NaN for none). Throws std::invalid_argument for a configuration plugCamera
// would refuse.
struct BlinkingMarkerDistractors {
    int flicker_x = 0;
    int flicker_y = 0;
    int flicker_size = 0;
    Point2d other_light;
};
HAL_EXPORT BlinkingMarkerDistractors blinkingMarkerDistractors(const SimulatedCameraConfig& config);

// What a CircleGrid camera shows. Functions taking a configuration check it as plugCamera
// does and throw std::invalid_argument for one that cannot stream (whatever its `scene`).

// The target's circle centres in its own coordinates (world units, z = 0), in numbering
// order. Throws std::invalid_argument for fewer than 2 columns or rows, a spacing that is
// not positive, or circles that are not positive or would touch.
HAL_EXPORT std::vector<Point3d> circleGridWorldCenters(const CircleGridTarget& target);

// Projects a point of a camera's coordinates through `lens` to pixels; nothing for a point
// that is not in front of the camera (z ≤ 0).
HAL_EXPORT std::optional<Point2d> projectPoint(const PinholeLens& lens, const Point3d& camera_point);

// The poses (target to reference camera) the camera shows, in order: `target_poses` when
// given, otherwise the `pose_count` poses drawn from `seed`. With the default configuration
// this is a ready sequence of 25 poses for a calibration.
HAL_EXPORT std::vector<RigidPose> circleGridPoses(const SimulatedCameraConfig& config);

// `count` poses drawn from the seed of `rig[0]` for which every circle of `rig[0].target`
// lies inside the view of every camera of `rig` (each with its own lens, size and
// `rig_pose`): tilts up to about 30° about both image axes, a small roll, distances at which
// the target fills roughly 35 to 70 % of the view, and positions across it. Give the result
// to every camera of the rig as `target_poses`. Throws std::invalid_argument for an empty
// rig, a count below 1, or a target that cannot be placed inside every view.
HAL_EXPORT std::vector<RigidPose> drawCircleGridPoses(const std::vector<SimulatedCameraConfig>& rig, int count);

// The true image positions, in pixels, of the circle centres at the `showing`-th pose shown
// (pose `showing` mod the number of poses) as this camera sees them: each world centre
// through the pose, the rig pose and the lens, in numbering order. A centre behind the
// camera comes out as NaN.
HAL_EXPORT std::vector<Point2d> circleGridProjectedCenters(const SimulatedCameraConfig& config, uint64_t showing);

// When the `showing`-th pose is in the stream, in sensor microseconds: the pose is held for
// [begin_us, end_us) and its outlines fire in [begin_us, burst_end_us).
struct CircleGridPoseSpan {
    size_t pose_index = 0;  // index into circleGridPoses(config)
    uint64_t begin_us = 0;
    uint64_t burst_end_us = 0;
    uint64_t end_us = 0;
};
HAL_EXPORT CircleGridPoseSpan circleGridPoseSpan(const SimulatedCameraConfig& config, uint64_t showing);

// ---- Fusion camera --------------------------------------------------------------------
//
// A camera plugged with vendor_id kFusionVendorId and product_id kFusionProductId is a
// fusion camera (found by UsbInterface::findUsbFusionCamera): an event sensor and a frame
// sensor behind one device.
//
// - Event endpoint 0x52: the scene's EVT3 stream as on an event camera, with the two bytes of
//   every 16-bit word swapped (the host swaps them back). Its trigger channel 0 carries the
//   frame sensor's exposures: an edge of polarity 0 at each exposure's start and one of
//   polarity 1 at its end, while the frame sensor is on and the trigger input enabled.
//   trigger_period_us must be 0, and a recording cannot be replayed.
// - Frame endpoint 0x53: one NV12 frame of frame_width x frame_height per transfer, while
//   the frame sensor is on (bit 0 of register 0x5000, aps_ctrl); the transfer size must hold
//   a frame. A frame exposed while the sensor was on from its start to its end is delivered;
//   one the sensor was switched off or on during is not.
// - Ordering: while the event readout runs, frame k is handed out only after the event
//   endpoint handed out the bytes carrying its closing edge (so the event endpoint must be
//   read for frames to come). Without the event readout, frames follow the sensor clock in
//   real time, and come back to back as fast as the host reads otherwise. The sensor clock
//   runs while the event time base or the frame sensor is on.
// - Real time: a frame the host does not take before two newer ones are ready is dropped
//   and counted. As fast as the host reads, nothing is dropped, and the event stream waits
//   while a finished frame has not been taken (read both endpoints).
// - Images: the scene in the middle of the exposure, mirrored left-right and scaled: frame
//   pixel (X, Y) shows event pixel (width - 1 - floor(X·width / frame_width),
//   floor(Y·height / frame_height)). MovingEdge: the crossed side of the edge bright (luma
//   200), the other dark (56); other scenes: mid-grey (128). Chroma is 128 throughout. The
//   top rows carry the frame index as 32 blocks of frame_width / 32 pixels (bit 0 leftmost;
//   235 for a set bit, 16 for a clear one), max(1, min(frame_height / 8, frame_width / 64))
//   rows high, so that every frame differs from the next.

inline constexpr uint16_t kFusionVendorId = 8711;  // TandemCamera, 0x2207
inline constexpr uint16_t kFusionProductId = 6;

// One exposure of the frame sensor, in sensor microseconds: [begin_us, end_us).
struct FrameExposure {
    uint64_t index = 0;
    uint64_t begin_us = 0;
    uint64_t end_us = 0;
    friend bool operator==(const FrameExposure&, const FrameExposure&) = default;
};

// The exposure of frame `frameIndex`. Throws std::invalid_argument for a configuration
// plugCamera refuses or one that is not a fusion camera.
HAL_EXPORT FrameExposure fusionFrameExposure(const SimulatedCameraConfig& config, uint64_t frameIndex);

// The NV12 bytes of frame `frameIndex` exactly as the frame endpoint delivers them
// (frame_width * frame_height * 3 / 2 bytes). Throws as fusionFrameExposure.
HAL_EXPORT std::vector<uint8_t> fusionFrameImage(const SimulatedCameraConfig& config, uint64_t frameIndex);

// Capture of what a plugged-in camera (any model) hands out. `on` true clears the previous
// capture and starts a new one; false stops it and keeps what was captured. The capture is
// held in memory. Returns false for an unknown serial.
HAL_EXPORT bool captureDelivered(const std::string& serial, bool on);

// Every byte the event endpoint handed out since the capture started, in EVT3 byte order
// (a fusion camera's swap undone). Empty for an unknown serial.
HAL_EXPORT std::vector<uint8_t> capturedEventBytes(const std::string& serial);

// Every frame the frame endpoint handed out since the capture started, in delivery order.
HAL_EXPORT std::vector<FrameExposure> deliveredFrames(const std::string& serial);

// Frames lost since the camera was plugged in: not taken in time from a real-time device,
// dropped by the host's full queue, or whose closing edge was never handed out.
HAL_EXPORT std::optional<uint64_t> droppedFrames(const std::string& serial);

// One control frame as the device received it (UsbInterface::transferFrame).
struct ControlFrameRecord {
    uint32_t command = 0;
    std::vector<uint32_t> words;
    friend bool operator==(const ControlFrameRecord&, const ControlFrameRecord&) = default;
};

// Every control frame the camera (any model) received since it was plugged in, in order.
// The device answers each with its words unchanged. Empty for an unknown serial.
HAL_EXPORT std::vector<ControlFrameRecord> controlFrames(const std::string& serial);

}  // namespace vireo::sim
