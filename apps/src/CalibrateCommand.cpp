// vireo calibrate: calibrates one camera, or a stereo pair, from RAW recordings of a circle-grid
// target or of a grid of blinking markers. Each recording is cut into windows of --window
// microseconds from its first event; the event circle locator (--locator circles, the
// default) or the active-marker locator (--locator markers, lights blinking between
// --min-freq and --max-freq) looks for the grid in every window, each camera is calibrated on
// its located windows and refined by the calibrator's outlier rule, and with two recordings
// the pair is stereo-calibrated on the windows located in both (the window index is the frame
// id, so the recordings must start together). The result file is written, and beside it a
// PNG of the best and the worst view with the located centres and their reprojections.
//
// The first Ctrl-C stops the grid search; the cameras are then calibrated and written from
// the windows searched so far.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <vireo/Calibrator.h>

#include "CalibrationRun.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Interrupt.h"
#include "RecordSupport.h"

namespace vireo::app {
namespace {

constexpr const char* kUsage =
    "vireo calibrate --target symmetric|asymmetric --size CxR --spacing MM [--window US] "
    "[--locator circles|markers] [--eps PX] [--min-pts N] [--min-freq HZ --max-freq HZ] "
    "-o RESULT.json CAM0.raw [CAM1.raw]";

void printCamera(const RecordingViews& views, const CameraCalibration& camera) {
    const cv::Mat& K = camera.camera_matrix;
    std::printf("camera %d (%s, %s): %zu of %d windows located, %zu views used\n", camera.id, views.serial.c_str(),
                views.path.c_str(), camera.located, views.windows, camera.used);
    std::printf("  RMS reprojection error  %.4f px\n", camera.rms_px);
    std::printf("  fx %.3f  fy %.3f  cx %.3f  cy %.3f  (px)\n", K.at<double>(0, 0), K.at<double>(1, 1),
                K.at<double>(0, 2), K.at<double>(1, 2));
    std::printf("  distortion (k1 k2 p1 p2 k3)");
    for (int i = 0; i < static_cast<int>(camera.dist_coeffs.total()); ++i) {
        std::printf(" %.5f", camera.dist_coeffs.at<double>(i));
    }
    std::printf("\n  per-view RMS error (window: px)\n");
    for (size_t i = 0; i < camera.view_errors.size(); ++i) {
        std::printf("%s%4d: %.3f", i % 6 == 0 ? "   " : "  ", camera.view_errors[i].window, camera.view_errors[i].rms_px);
        if (i % 6 == 5 || i + 1 == camera.view_errors.size()) std::printf("\n");
    }
}

std::string pictureBeside(const std::string& result) {
    std::filesystem::path path(result);
    path.replace_extension(".png");
    return path.string();
}

}  // namespace

int runCalibrate(const Arguments& args) {
    const CommandLine line(expandOutputShortForm(args),
                           {"target", "size", "spacing", "window", "locator", "eps", "min-pts", "min-freq", "max-freq", "o"});
    line.expectPositionals(1, 2, kUsage);
    const TargetGrid target = parseTargetOptions(line, kUsage);
    if (!(target.spacing > 0)) throw UsageError("--spacing must be larger than 0");
    const std::string output = line.requiredOption("o", kUsage);
    LocateOptions options;
    if (const auto window = line.numberOption("window")) {
        if (*window < 1 || *window != std::floor(*window) || *window > 1e12) {
            throw UsageError("--window must be a whole number of microseconds of at least 1");
        }
        options.window_us = static_cast<uint64_t>(*window);
    }
    if (const auto locator = line.option("locator")) options.locator = parseLocatorKind(*locator);
    const bool markers = options.locator == LocatorKind::Markers;
    if (markers && (line.option("eps") || line.option("min-pts"))) {
        throw UsageError("--eps and --min-pts apply to --locator circles only");
    }
    if (!markers && (line.option("min-freq") || line.option("max-freq"))) {
        throw UsageError("--min-freq and --max-freq apply to --locator markers only");
    }
    if (const auto minFreq = line.numberOption("min-freq")) {
        if (!(*minFreq >= 0) || !std::isfinite(*minFreq)) throw UsageError("--min-freq must be 0 or larger");
        options.min_freq = static_cast<float>(*minFreq);
    }
    if (const auto maxFreq = line.numberOption("max-freq")) {
        if (!(*maxFreq > 0) || !(*maxFreq <= 1e6)) throw UsageError("--max-freq must be within (0, 1000000] Hz");
        options.max_freq = static_cast<float>(*maxFreq);
    }
    if (!(options.min_freq < options.max_freq)) {
        throw UsageError("--min-freq must be below --max-freq (" + std::to_string(options.min_freq) + " and " +
                         std::to_string(options.max_freq) + " Hz given)");
    }
    if (const auto eps = line.numberOption("eps")) {
        if (!(*eps > 0)) throw UsageError("--eps must be larger than 0");
        options.eps = static_cast<float>(*eps);
    }
    if (const auto minPts = line.numberOption("min-pts")) {
        if (*minPts < 1 || *minPts != std::floor(*minPts) || *minPts > 1e6) {
            throw UsageError("--min-pts must be a whole number of at least 1");
        }
        options.min_pts = static_cast<int>(*minPts);
    }
    const auto& inputs = line.positionals();
    for (const auto& input : inputs) {
        std::error_code error;
        if (!std::filesystem::exists(input, error)) throw std::runtime_error("\"" + input + "\" does not exist");
    }
    if (inputs.size() == 2 && std::filesystem::absolute(inputs[0]) == std::filesystem::absolute(inputs[1])) {
        throw UsageError("the two recordings must be different files");
    }
    {
        const auto folder = std::filesystem::absolute(output).parent_path();
        std::error_code error;
        if (!std::filesystem::is_directory(folder, error)) {
            throw std::runtime_error("the folder of \"" + output + "\" does not exist");
        }
    }
    // Before the search, which takes long: a result that cannot be saved fails at once.
    recording::checkOutput(output);

    const InterruptScope scope("stopping the grid search; calibrating from the windows searched so far");
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    std::vector<RecordingViews> recordings;
    for (const auto& input : inputs) {
        int shown = -1;
        recordings.push_back(locateGridInRecording(
            input, target, options,
            [&](int done, int total, size_t located) {
                const int percent = 100 * done / std::max(total, 1);
                if (terminal ? percent == shown : percent / 20 == shown / 20) return;
                shown = percent;
                std::printf(terminal ? "\r  locating the grid in %s: window %d of %d, %zu located   "
                                     : "  locating the grid in %s: window %d of %d, %zu located\n",
                            input.c_str(), done, total, located);
                std::fflush(stdout);
            },
            [] { return interrupted(); }));
        if (terminal) std::printf("\n");
        if (recordings.back().interrupted) {
            std::fprintf(stderr, "vireo calibrate: stopped after %d windows of %s\n", recordings.back().windows,
                         input.c_str());
            break;
        }
    }
    const bool stopped = interrupted();
    if (recordings.size() < inputs.size()) {
        throw std::runtime_error("stopped before " + inputs.back() + " was searched; nothing was written");
    }

    Calibrator calibrator(target.asymmetric ? ASYMMETRIC_GRID : SYMMETRIC_GRID, target.cols, target.rows,
                          static_cast<float>(target.spacing));
    std::vector<CameraCalibration> cameras;
    for (const auto& views : recordings) {
        const int id = calibrator.addCamera(views.sensor_size, views.serial);
        for (const auto& view : views.views) calibrator.insertGridPoints(id, view.window, view.centres);
        if (views.views.size() >= 3) std::printf("  calibrating camera %d on %zu views\n", id, views.views.size());
        std::fflush(stdout);
        cameras.push_back(calibrateCamera(calibrator, id, views));
        printCamera(views, cameras.back());
    }
    if (cameras.size() == 2) {
        const size_t common = calibrator.getCommonFrameCount(0, 1);
        if (common < 3) {
            throw std::runtime_error("only " + std::to_string(common) +
                                     " windows hold the target in both recordings; a stereo calibration needs 3");
        }
        const double rms = calibrator.calibrateStereo(0, 1);
        cv::Mat R, T;
        if (rms < 0 || !calibrator.getExtrinsics(0, 1, R, T)) throw std::runtime_error("the stereo calibration failed");
        cv::Mat rvec;
        cv::Rodrigues(R, rvec);
        std::printf("stereo (camera 1 from camera 0, x1 = R x0 + T) on %zu common views: RMS %.4f px\n", common, rms);
        std::printf("  rotation %.4f deg about (%.4f, %.4f, %.4f); T = (%.4f, %.4f, %.4f), |T| = %.4f\n",
                    cv::norm(rvec) * 180.0 / CV_PI, rvec.at<double>(0) / std::max(cv::norm(rvec), 1e-12),
                    rvec.at<double>(1) / std::max(cv::norm(rvec), 1e-12),
                    rvec.at<double>(2) / std::max(cv::norm(rvec), 1e-12), T.at<double>(0), T.at<double>(1),
                    T.at<double>(2), cv::norm(T));
    }

    if (!calibrator.saveCalibrationResultToJson(output)) {
        throw std::runtime_error("the result could not be written to \"" + output + "\"");
    }
    // The best and the worst view of the first camera, side by side.
    const CameraCalibration& first = cameras.front();
    const auto [best, worst] = std::minmax_element(
        first.view_errors.begin(), first.view_errors.end(),
        [](const ViewError& a, const ViewError& b) { return a.rms_px < b.rms_px; });
    char caption[128];
    std::snprintf(caption, sizeof caption, "best view: window %d, RMS %.3f px", best->window, best->rms_px);
    const cv::Mat left = renderView(recordings[0].path, recordings[0], options.window_us, calibrator, first.id,
                                    best->window, caption);
    std::snprintf(caption, sizeof caption, "worst view: window %d, RMS %.3f px", worst->window, worst->rms_px);
    const cv::Mat right = renderView(recordings[0].path, recordings[0], options.window_us, calibrator, first.id,
                                     worst->window, caption);
    cv::Mat both;
    cv::hconcat(left, right, both);
    const std::string picture = pictureBeside(output);
    bool written = false;
    try {
        written = cv::imwrite(picture, both);
    } catch (const cv::Exception&) {
        written = false;
    }
    if (!written) throw std::runtime_error("the picture could not be written to \"" + picture + "\"");
    std::printf("wrote %s and %s%s\n", output.c_str(), picture.c_str(),
                stopped ? " (from the windows searched before the stop)" : "");
    return 0;
}

}  // namespace vireo::app
