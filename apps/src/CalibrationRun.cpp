// Grid search over the windows of a RAW recording (circle grids or blinking markers), camera
// calibration from the located windows, the drawing of one view for the result picture, and the recording of a simulated
// circle-grid camera.
#include "CalibrationRun.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <vireo/EventActiveMarkerGridLocatorConfig.h>
#include <vireo/EventDBSCANCircleGridLocatorConfig.h>
#include <vireo/GridLocator.h>
#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CommandLine.h"
#include "PluggedSimulatedCamera.h"

namespace vireo::app {

void parseGridSize(const std::string& text, int& cols, int& rows) {
    const auto x = text.find_first_of("xX");
    const auto bad = [&] { return UsageError("--size expects CxR (circles per row x rows), got \"" + text + "\""); };
    if (x == std::string::npos || x == 0 || x + 1 >= text.size()) throw bad();
    const std::string left = text.substr(0, x), right = text.substr(x + 1);
    if (left.find_first_not_of("0123456789") != std::string::npos ||
        right.find_first_not_of("0123456789") != std::string::npos || left.size() > 4 || right.size() > 4) {
        throw bad();
    }
    cols = std::stoi(left);
    rows = std::stoi(right);
    if (cols < 2 || rows < 2) throw UsageError("--size needs at least 2 circles per row and 2 rows, got \"" + text + "\"");
}

bool parseTargetKind(const std::string& text) {
    if (text == "asymmetric") return true;
    if (text == "symmetric") return false;
    throw UsageError("--target expects symmetric or asymmetric, got \"" + text + "\"");
}

LocatorKind parseLocatorKind(const std::string& text) {
    if (text == "circles") return LocatorKind::Circles;
    if (text == "markers") return LocatorKind::Markers;
    throw UsageError("--locator expects circles or markers, got \"" + text + "\"");
}

TargetGrid parseTargetOptions(const CommandLine& line, const std::string& usage) {
    TargetGrid target;
    target.asymmetric = parseTargetKind(line.requiredOption("target", usage));
    parseGridSize(line.requiredOption("size", usage), target.cols, target.rows);
    target.spacing = parseNumber(line.requiredOption("spacing", usage), "--spacing");
    return target;
}

RecordingViews locateGridInRecording(const std::string& path, const TargetGrid& target, const LocateOptions& options,
                                     const LocateProgress& progress, const std::function<bool()>& stop) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) throw std::runtime_error("\"" + path + "\" does not exist");
    if (!std::filesystem::is_regular_file(path, error)) throw std::runtime_error("\"" + path + "\" is not a file");
    if (options.window_us == 0) throw UsageError("--window must be at least 1 us");

    RawFileReader reader(path);
    uint64_t first = 0, last = 0;
    {
        Logger& logger = Logger::Instance();
        const LogLevelType level = logger.getLogLevel();
        logger.setLogLevel(LOG_CRITICAL);
        const bool loaded = reader.loadFile() && reader.getStartTimeStamp(first) && reader.getEndTimeStamp(last);
        logger.setLogLevel(level);
        if (!loaded) throw std::runtime_error("\"" + path + "\" is not a readable RAW recording with events");
    }
    RecordingViews result;
    result.path = path;
    result.serial = reader.getSerialNumber().empty() ? std::filesystem::path(path).filename().string()
                                                     : reader.getSerialNumber();
    result.sensor_size = cv::Size(reader.getWidth(), reader.getHeight());
    result.first_us = first;
    const uint64_t span = last - first;
    const int total = static_cast<int>(span / options.window_us + 1);

    std::unique_ptr<GridLocatorAlgoBase<EventBased>> locator;
    if (options.locator == LocatorKind::Markers) {
        // Five periods must agree within 200 us: steady enough for an LED driver, far too
        // steady for flicker; the band is the caller's.
        EventActiveMarkerGridLocatorConfig config(1.0f, 1.0f, 1.0f, 5, options.min_freq, options.max_freq, 200);
        locator = GridLocator::createEventBasedGridLocator(
            target.asymmetric ? EVENT_ACTIVE_MARKER_ASYMMETRIC : EVENT_ACTIVE_MARKER_SYMMETRIC, target.cols,
            target.rows, result.sensor_size, &config);
        result.search_hint = "check --target, --size and --window, and that the markers blink between --min-freq and "
                             "--max-freq";
    } else {
        EventDBSCANCircleGridLocatorConfig config;
        if (options.eps) config.eps = *options.eps;
        if (options.min_pts) config.min_pts = *options.min_pts;
        // The record's constructor checks the values: run them through it.
        config = EventDBSCANCircleGridLocatorConfig(config.scale_width, config.scale_height, config.scale_time,
                                                    config.eps, config.min_pts, config.max_capacity, config.n_jobs,
                                                    config.fit_error_threshold, config.is_asymmetric);
        locator = GridLocator::createEventBasedGridLocator(
            target.asymmetric ? EVENT_DBSCAN_CIRCLES_ASYMMETRIC : EVENT_DBSCAN_CIRCLES_SYMMETRIC, target.cols,
            target.rows, result.sensor_size, &config);
        result.search_hint = "check --target, --size and --window, or try a smaller --eps";
    }

    // The reader warns about a last window that reaches past the end: expected here.
    struct QuietReader {
        LogLevelType level = Logger::Instance().getLogLevel();
        QuietReader() { Logger::Instance().setLogLevel(LOG_ERROR); }
        ~QuietReader() { Logger::Instance().setLogLevel(level); }
    } quiet;
    if (!reader.seekTime(first)) throw std::runtime_error("cannot read the events of \"" + path + "\"");
    std::vector<cv::Point2f> centres;
    for (int window = 0; window < total; ++window) {
        if (stop && stop()) {
            result.interrupted = true;
            break;
        }
        const auto events = reader.getNTimeEvents(options.window_us);
        result.windows = window + 1;
        if (events && !events->empty()) {
            locator->processEvents(events->data(), events->data() + events->size());
            centres.clear();
            if (locator->locateGrid(centres) &&
                centres.size() == static_cast<size_t>(target.cols) * static_cast<size_t>(target.rows)) {
                result.views.push_back({window, centres});
            }
        }
        if (progress) progress(window + 1, total, result.views.size());
    }
    return result;
}

namespace {

// RMS distance, pixels, between a view's located centres and their reprojection.
double viewRms(const Calibrator& calibrator, const CalibData& data, size_t index) {
    const auto& points = data.grid_points[index];
    const double norm = Calibrator::getReprojectionError(calibrator.getWorldPoints(), data.rotation_vectors[index],
                                                         data.translation_vectors[index], data.camera_matrix,
                                                         data.dist_coeffs, points);
    return points.empty() ? 0.0 : norm / std::sqrt(static_cast<double>(points.size()));
}

}  // namespace

CameraCalibration calibrateCamera(Calibrator& calibrator, int id, const RecordingViews& views) {
    CameraCalibration result;
    result.id = id;
    result.located = views.views.size();
    if (views.views.size() < 3) {
        throw std::runtime_error(views.views.empty()
                                     ? "no target found in any of the " + std::to_string(views.windows) +
                                           " windows of \"" + views.path +
                                           "\" (" +
                                           (views.search_hint.empty() ? std::string("check --target, --size and --window")
                                                                      : views.search_hint) +
                                           ")"
                                     : "the target was found in only " + std::to_string(views.views.size()) +
                                           " windows of \"" + views.path + "\"; a calibration needs at least 3");
    }
    if (calibrator.calibrate(id) < 0) throw std::runtime_error("the calibration of \"" + views.path + "\" failed");
    result.rms_px = calibrator.refinedCalibrate(id);
    if (result.rms_px < 0) throw std::runtime_error("the refined calibration of \"" + views.path + "\" failed");
    const CalibData& data = calibrator.getCameras().at(id);
    result.used = data.grid_points.size();
    result.camera_matrix = data.camera_matrix.clone();
    result.dist_coeffs = data.dist_coeffs.clone();
    const size_t poses = std::min(data.rotation_vectors.size(), data.grid_points.size());
    for (size_t i = 0; i < poses; ++i) result.view_errors.push_back({data.frame_ids[i], viewRms(calibrator, data, i)});
    return result;
}

cv::Mat renderView(const std::string& path, const RecordingViews& views, uint64_t window_us,
                   const Calibrator& calibrator, int id, int window, const std::string& caption) {
    cv::Mat grey(views.sensor_size, CV_8UC1, cv::Scalar(255));
    RawFileReader reader(path);
    Logger& logger = Logger::Instance();
    const LogLevelType level = logger.getLogLevel();
    logger.setLogLevel(LOG_CRITICAL);
    if (reader.loadFile()) {
        const auto events =
            reader.getNTimeEventsGivenStartTimeStamp(views.first_us + static_cast<uint64_t>(window) * window_us, window_us);
        if (events) {
            for (const auto& event : *events) {
                if (event.x < grey.cols && event.y < grey.rows) grey.at<uint8_t>(event.y, event.x) = 90;
            }
        }
    }
    logger.setLogLevel(level);
    cv::Mat image;
    cv::cvtColor(grey, image, cv::COLOR_GRAY2BGR);

    const CalibData& data = calibrator.getCameras().at(id);
    const auto found = std::find(data.frame_ids.begin(), data.frame_ids.end(), window);
    if (found != data.frame_ids.end()) {
        const size_t index = static_cast<size_t>(found - data.frame_ids.begin());
        const auto& located = data.grid_points[index];
        std::vector<cv::Point2f> projected;
        if (index < data.rotation_vectors.size()) {
            cv::projectPoints(calibrator.getWorldPoints(), data.rotation_vectors[index],
                              data.translation_vectors[index], data.camera_matrix, data.dist_coeffs, projected);
        }
        for (size_t i = 0; i < located.size(); ++i) {
            cv::circle(image, located[i], 6, cv::Scalar(0, 170, 0), 2, cv::LINE_AA);
            if (i + 1 < located.size()) cv::line(image, located[i], located[i + 1], cv::Scalar(0, 170, 0), 1, cv::LINE_AA);
        }
        for (const auto& point : projected) {
            cv::drawMarker(image, point, cv::Scalar(0, 0, 230), cv::MARKER_CROSS, 12, 2, cv::LINE_AA);
        }
        if (!located.empty()) cv::putText(image, "0", located[0] + cv::Point2f(8, -8), cv::FONT_HERSHEY_SIMPLEX,
                                          0.6, cv::Scalar(0, 120, 0), 2, cv::LINE_AA);
    }
    cv::putText(image, caption, cv::Point(12, 30), cv::FONT_HERSHEY_SIMPLEX, 0.8, cv::Scalar(0, 0, 0), 2, cv::LINE_AA);
    cv::putText(image, "green: located centres   red: reprojected", cv::Point(12, image.rows - 14),
                cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 0, 0), 1, cv::LINE_AA);
    return image;
}

std::string recordSimulatedCamera(const sim::SimulatedCameraConfig& config, const std::string& path,
                                  uint64_t until_us) {
    sim::SimulatedCameraConfig streamed = config;
    streamed.real_time = false;
    const PluggedSimulatedCamera plugged(streamed);
    const std::string& serial = plugged.serial();

    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(serial);
    if (!camera) throw std::runtime_error("the simulated camera " + serial + " could not be opened");

    struct Shared {
        std::mutex mutex;
        std::condition_variable reached;
        uint64_t last_us = 0;
    };
    const auto shared = std::make_shared<Shared>();
    camera->addEventsStreamHandleCallback([shared](const Event2D* first, const Event2D* last) {
        if (first == last) return;
        {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            shared->last_us = std::max(shared->last_us, (last - 1)->timestamp);
        }
        shared->reached.notify_all();
    });
    if (camera->startRecording(path) != 0) throw std::runtime_error("the recording to \"" + path + "\" could not start");
    if (camera->start() != 0) {
        camera->stopRecording();
        throw std::runtime_error("the simulated camera " + serial + " did not start");
    }
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        // The condition is checked on every delivery; the time-out only guards against a camera
        // that stops delivering (its disconnection is checked then).
        while (shared->last_us < until_us) {
            shared->reached.wait_for(lock, std::chrono::milliseconds(200));
            if (!camera->isConnected()) break;
        }
    }
    const bool recorded = camera->stopRecording() == 0;
    camera->stop();
    if (!recorded) throw std::runtime_error("the recording to \"" + path + "\" failed");
    return serial;
}

}  // namespace vireo::app
