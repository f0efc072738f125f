// The work behind `vireo calibrate` and the demo's calibration step: cut a RAW recording of a
// circle-grid or blinking-marker target into fixed windows of sensor time, locate the grid in
// each window with the event circle locator or the active-marker locator, and calibrate one
// camera (or a stereo pair) from the located windows. Kept apart from the command so that the demo and the tests run the same code.
// Also records a simulated circle-grid camera to a RAW file, for the demo and the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vireo/Calibrator.h>

#include "CommandLine.h"

namespace vireo::sim {
struct SimulatedCameraConfig;
}

namespace vireo::app {

// A target as printed or shown (the grid convention of docs/calibration.md).
struct TargetGrid {
    bool asymmetric = false;
    int cols = 0;          // circles per row
    int rows = 0;          // rows
    double spacing = 0;    // between neighbouring centres along a row, unit of the result
};

// Parses "CxR" (for example "4x11"); UsageError naming --size otherwise.
void parseGridSize(const std::string& text, int& cols, int& rows);
// Parses "symmetric" or "asymmetric"; UsageError otherwise.
bool parseTargetKind(const std::string& text);

// The target of --target, --size and --spacing (each required); the spacing's range is the
// caller's to check.
TargetGrid parseTargetOptions(const CommandLine& line, const std::string& usage);

// Which locator searches the windows: the event circle-grid locator (a printed or shown grid
// of circles) or the active-marker locator (a grid of blinking lights).
enum class LocatorKind { Circles, Markers };

// Parses "circles" or "markers"; UsageError otherwise.
LocatorKind parseLocatorKind(const std::string& text);

struct LocateOptions {
    uint64_t window_us = 100000;
    LocatorKind locator = LocatorKind::Circles;
    std::optional<float> eps;      // DBSCAN radius, pixels (the configuration's default otherwise)
    std::optional<int> min_pts;    // DBSCAN minimum pixels (the configuration's default otherwise)
    // The band the markers blink in, Hz (Markers only).
    float min_freq = kDefaultMinFreq;
    float max_freq = kDefaultMaxFreq;
    static constexpr float kDefaultMinFreq = 50.0f;
    static constexpr float kDefaultMaxFreq = 1000.0f;
};

// One window in which the grid was found.
struct LocatedView {
    int window = 0;                       // index of the window from the first event: the frame id
    std::vector<cv::Point2f> centres;     // row by row
};

// What the grid search over one recording found.
struct RecordingViews {
    std::string path;
    std::string serial;      // from the header; the file name when there is none
    cv::Size sensor_size;
    uint64_t first_us = 0;   // the first event's time: window 0 starts there
    int windows = 0;         // windows searched
    std::vector<LocatedView> views;
    bool interrupted = false;  // the search stopped early on a signal
    std::string search_hint;   // what to check when the target was not found
};

// Progress of a search: windows done of the recording's windows, and views located so far.
using LocateProgress = std::function<void(int done, int total, size_t located)>;

// Reads `path` window by window and locates the grid in each. Throws std::runtime_error for
// a file that does not exist or is not a readable RAW recording. `stop` (optional) is polled
// between windows; returning true ends the search early with what was found.
RecordingViews locateGridInRecording(const std::string& path, const TargetGrid& target, const LocateOptions& options,
                                     const LocateProgress& progress = {}, const std::function<bool()>& stop = {});

// One calibrated camera as the command shows it.
struct ViewError {
    int window = 0;
    double rms_px = 0;
};
struct CameraCalibration {
    int id = -1;
    size_t located = 0;
    size_t used = 0;
    double rms_px = -1;       // after the outlier refinement
    cv::Mat camera_matrix;    // 3 x 3 double
    cv::Mat dist_coeffs;
    std::vector<ViewError> view_errors;  // of the views used, in window order
};

// Calibrates the camera `id` of `calibrator` (its views already inserted), refines it by the
// calibrator's outlier rule and gathers the figures. Throws std::runtime_error when fewer
// than three views were located or a calibration fails.
CameraCalibration calibrateCamera(Calibrator& calibrator, int id, const RecordingViews& views);

// Renders the window of the recording behind a located view (its events dark on white) with
// the located centres (green circles) and their reprojections (red crosses) of view `window`
// of the calibrated camera, and a caption.
cv::Mat renderView(const std::string& path, const RecordingViews& views, uint64_t window_us,
                   const Calibrator& calibrator, int id, int window, const std::string& caption);

// Records a simulated camera of `config` (its `real_time` is forced off) into the RAW file
// `path` until its sensor time reaches `until_us`. Throws std::runtime_error when the camera
// cannot be opened or the recording fails. Returns the camera's serial.
std::string recordSimulatedCamera(const sim::SimulatedCameraConfig& config, const std::string& path,
                                  uint64_t until_us);

}  // namespace vireo::app
