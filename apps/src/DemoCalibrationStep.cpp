// The demo's calibration step: a simulated camera with a known lens watches an asymmetric
// circle-grid target at 25 poses; the stream is recorded to a RAW file, the grid is located
// in each 100 ms window of the recording by the event circle locator, the camera is
// calibrated, and the recovered intrinsics are shown beside the true ones.
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include <vireo/Calibrator.h>
#include <vireo/Logger.h>
#include <vireo/SimulatedCamera.h>

#include "CalibrationRun.h"
#include "Commands.h"

namespace vireo::app {

void demoCalibrationStep() {
    sim::SimulatedCameraConfig config;
    config.scene = sim::SceneType::CircleGrid;
    config.lens.fx = 905.0;
    config.lens.fy = 903.0;
    config.lens.cx = 641.3;
    config.lens.cy = 362.7;
    config.lens.k1 = -0.08;
    config.lens.k2 = 0.05;
    config.pose_period_us = 100000;  // one pose per 100 ms window
    const uint64_t showings = static_cast<uint64_t>(config.pose_count);
    const std::string path = "vireo_demo_circle_grid.raw";
    const std::string serial = recordSimulatedCamera(config, path, showings * config.pose_period_us);
    VIREO_LOG_INFO("recorded %s watching a %d x %d asymmetric circle grid (%.0f mm spacing) at %d poses into %s",
                   serial.c_str(), config.target.grid_cols, config.target.grid_rows, config.target.spacing,
                   config.pose_count, path.c_str());

    TargetGrid target;
    target.asymmetric = true;
    target.cols = config.target.grid_cols;
    target.rows = config.target.grid_rows;
    target.spacing = config.target.spacing;
    LocateOptions options;
    options.window_us = config.pose_period_us;
    options.eps = 4.0f;
    const RecordingViews views = locateGridInRecording(path, target, options);
    VIREO_LOG_INFO("located the grid in %zu of %d windows of 100 ms", views.views.size(), views.windows);

    Calibrator calibrator(ASYMMETRIC_GRID, target.cols, target.rows, static_cast<float>(target.spacing));
    const int id = calibrator.addCamera(views.sensor_size, views.serial);
    for (const auto& view : views.views) calibrator.insertGridPoints(id, view.window, view.centres);
    const CameraCalibration result = calibrateCamera(calibrator, id, views);
    const cv::Mat& K = result.camera_matrix;
    const auto row = [](const char* name, double truth, double found) {
        std::printf("  %-3s true %9.3f  recovered %9.3f  (%+.3f %%)\n", name, truth, found, 100.0 * (found - truth) / truth);
    };
    VIREO_LOG_INFO("calibrated on %zu views: RMS reprojection error %.3f px", result.used, result.rms_px);
    row("fx", config.lens.fx, K.at<double>(0, 0));
    row("fy", config.lens.fy, K.at<double>(1, 1));
    row("cx", config.lens.cx, K.at<double>(0, 2));
    row("cy", config.lens.cy, K.at<double>(1, 2));
    std::printf("  k1  true %9.4f  recovered %9.4f\n  k2  true %9.4f  recovered %9.4f\n", config.lens.k1,
                result.dist_coeffs.at<double>(0), config.lens.k2, result.dist_coeffs.at<double>(1));
    std::fflush(stdout);
}

}  // namespace vireo::app
