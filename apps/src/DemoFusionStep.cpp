// The demo's fusion step: a simulated fusion camera, whose event sensor and frame sensor watch
// the same moving edge, is recorded for a moment with the progress line of `vireo record
// --fusion` (events to a RAW file, frames to an MP4 file); the files are read back, and the
// last frame is drawn beside the events counted during it, in a PNG where the edge lines up
// in both halves.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include <vireo/Logger.h>
#include <vireo/Mp4FileReader.h>
#include <vireo/RawFileReader.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "Commands.h"
#include "DataCommands.h"
#include "FusionPicture.h"
#include "PluggedSimulatedCamera.h"

namespace vireo::app {

namespace {

// A few frames only: each is 3840 x 2160 and goes through the H.264 encoder.
constexpr double kRecordSeconds = 1.5;
constexpr double kFrameRate = 5.0;
// Slow enough that the edge crosses a strip of the sensor during a frame and does not wrap
// around within the recording.
constexpr double kEdgeSpeed = 300.0;
// The frame thread can run a frame's callbacks a moment before the event thread has queued
// the count frame its closing edge completed; so long the step waits for it.
constexpr auto kCountFrameWait = std::chrono::milliseconds(50);

// The latest frame that found its count frame, copied off the camera's frame thread.
struct PicturedFrame {
    std::mutex mutex;
    std::vector<unsigned char> bgr;
    std::shared_ptr<std::vector<uint16_t>> counts;
    uint64_t sync_us = 0;
};

uint64_t countedEvents(const std::vector<uint16_t>& counts) {
    uint64_t events = 0;
    for (uint16_t cell : counts) events += cell;
    return events;
}

}  // namespace

DemoFusionOutcome demoFusionStep(const std::string& folder) {
    sim::SimulatedCameraConfig config;
    config.vendor_id = sim::kFusionVendorId;
    config.product_id = sim::kFusionProductId;
    config.scene = sim::SceneType::MovingEdge;
    config.edge_speed = kEdgeSpeed;
    config.frame_rate_hz = kFrameRate;
    const PluggedSimulatedCamera plugged(config);
    const std::string& serial = plugged.serial();

    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openFusionCamera(serial);
    if (!camera) throw std::runtime_error("the simulated fusion camera " + serial + " could not be opened");
    const int frameWidth = camera->getWidth(STREAM_APS);
    const int frameHeight = camera->getHeight(STREAM_APS);
    const int countWidth = camera->getWidth(STREAM_DVS);
    const int countHeight = camera->getHeight(STREAM_DVS);
    const size_t frameBytes = static_cast<size_t>(frameWidth) * static_cast<size_t>(frameHeight) * 3;
    VIREO_LOG_INFO("opened the simulated fusion camera %s: events %d x %d, frames %d x %d at %.0f per second",
                   serial.c_str(), countWidth, countHeight, frameWidth, frameHeight, kFrameRate);

    DemoFusionOutcome outcome;
    PicturedFrame pictured;
    FusionRecordRequest request;
    request.base = (std::filesystem::path(folder) / "vireo_demo_fusion").string();
    request.seconds = kRecordSeconds;
    request.on_frame = [&pictured, frameBytes](FusionCamera& fusion, const ApsFrame& frame) {
        if (frame.data == nullptr || frame.size < frameBytes) return;
        std::shared_ptr<std::vector<uint16_t>> counts;
        const auto until = std::chrono::steady_clock::now() + kCountFrameWait;
        while (!fusion.getFusionEvents(counts, frame.syncTimestamp) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!counts) return;
        std::lock_guard<std::mutex> lock(pictured.mutex);
        pictured.bgr.assign(frame.data, frame.data + frameBytes);
        pictured.counts = std::move(counts);
        pictured.sync_us = frame.syncTimestamp;
    };
    {
        const LogLevelScope quiet(LOG_WARN);  // the camera logs every trigger edge at info level
        outcome.recording = recordOpenedFusionCamera(*camera, request);
    }
    const FusionRecordOutcome& recording = outcome.recording;
    const std::string problem = fusionRecordingProblem(recording);
    if (!problem.empty()) throw std::runtime_error(problem);
    if (recording.frames_lost > 0) {
        VIREO_LOG_WARN("the encoder could not keep up: %llu frames were not recorded",
                       static_cast<unsigned long long>(recording.frames_lost));
    }

    RawFileReader events(recording.raw_path);
    uint64_t eventCount = 0;
    if (!events.loadFile() || !events.getMaxEvents(eventCount)) {
        throw std::runtime_error("cannot read back " + recording.raw_path);
    }
    Mp4FileReader video(recording.mp4_path);
    std::vector<uint64_t> frameTimes;
    uint64_t offset = 0;
    if (!video.loadFile() || !video.getTimeStamps(frameTimes)) {
        throw std::runtime_error("cannot read back " + recording.mp4_path);
    }
    const std::string first = video.getEventTimeOffset(offset)
                                  ? ", the first closed at sensor time " + std::to_string(offset) + " us"
                                  : std::string();
    VIREO_LOG_INFO("recorded %s for %.1f s: %s holds %llu events, %s %zu frames of %u x %u%s", serial.c_str(),
                   recording.seconds, recording.raw_path.c_str(), static_cast<unsigned long long>(eventCount),
                   recording.mp4_path.c_str(), frameTimes.size(), static_cast<unsigned>(video.getWidth()),
                   static_cast<unsigned>(video.getHeight()), first.c_str());

    // The camera has stopped: its frame thread no longer writes the copy.
    std::lock_guard<std::mutex> lock(pictured.mutex);
    if (!pictured.counts) throw std::runtime_error("no frame of " + serial + " came with its count frame");
    const cv::Mat picture =
        fusionPicture(pictured.bgr.data(), frameWidth, frameHeight, *pictured.counts, countWidth, countHeight);
    outcome.picture_path = (std::filesystem::path(folder) / "vireo_demo_fusion.png").string();
    outcome.picture_sync_us = pictured.sync_us;
    bool written = false;
    try {
        written = cv::imwrite(outcome.picture_path, picture);
    } catch (const cv::Exception& error) {
        throw std::runtime_error("cannot write " + outcome.picture_path + ": " + error.what());
    }
    if (!written) throw std::runtime_error("cannot write " + outcome.picture_path);
    VIREO_LOG_INFO("wrote %s (%d x %d): the frame closed at sensor time %llu us, shrunk to %d x %d, beside the %llu "
                   "events counted during it (orange: positive, blue: negative); the edge lines up in both",
                   outcome.picture_path.c_str(), picture.cols, picture.rows,
                   static_cast<unsigned long long>(pictured.sync_us), picture.cols - countWidth, countHeight,
                   static_cast<unsigned long long>(countedEvents(*pictured.counts)));
    return outcome;
}

}  // namespace vireo::app
