// The demo's camera-tool step: the region of interest at work. A simulated camera streams a
// scene of uniformly random events, first through the whole sensor, then through a window a
// quarter of its size set with the ROI tool; the two event rates show the tool's effect.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include <vireo/SimulatedCamera.h>
#include <vireo/groundwork.h>
#include <vireo/pipit.h>

#include "Commands.h"
#include "PluggedSimulatedCamera.h"

namespace vireo::app {

namespace {

constexpr uint64_t kRunSpan_us = 200000;  // sensor time measured per run

// Streams until the camera has delivered kRunSpan_us of sensor time and returns the event
// rate over that time, in events per second.
double measureRate(DvsCamera& camera) {
    std::atomic<uint64_t> events{0};
    std::atomic<uint64_t> first{0};
    std::atomic<uint64_t> last{0};
    const unsigned id = camera.addEventsStreamHandleCallback([&](const Event2D* begin, const Event2D* end) {
        if (begin == end) return;
        uint64_t none = 0;
        first.compare_exchange_strong(none, begin->timestamp + 1);  // +1: time 0 is a valid first time
        events.fetch_add(static_cast<uint64_t>(end - begin), std::memory_order_relaxed);
        last.store((end - 1)->timestamp, std::memory_order_relaxed);
    });
    if (camera.start() != 0) throw std::runtime_error("the simulated camera did not start");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (first.load() == 0 || last.load() + 1 < first.load() + kRunSpan_us) {
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    camera.stop();
    camera.removeEventsStreamHandleCallback(id);
    const double span_s = static_cast<double>(last.load() + 1 - first.load()) / 1e6;
    return span_s > 0 ? static_cast<double>(events.load()) / span_s : 0.0;
}

}  // namespace

void demoToolStep() {
    sim::SimulatedCameraConfig config;
    config.scene = sim::SceneType::Random;
    config.event_rate = 2e6;
    config.real_time = false;
    const PluggedSimulatedCamera plugged(config);
    const std::string& serial = plugged.serial();

    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(serial);
    if (!camera) throw std::runtime_error("the simulated camera " + serial + " could not be opened");
    const double whole = measureRate(*camera);

    auto roi = camera->getTool(TOOL_ROI);
    const bool set = roi && roi->setParam("x_width", 640) && roi->setParam("y_height", 360) &&
                     roi->setParam("x", 320) && roi->setParam("y", 180) && roi->setParam("mode", "roi") &&
                     roi->setParam("enable", true);
    if (!set) throw std::runtime_error("the region of interest could not be set");
    const double windowed = measureRate(*camera);
    VIREO_LOG_INFO("region of interest 640 x 360 at (320, 180): %.3f Mev/s over the whole sensor, %.3f Mev/s "
                   "through the window (%.1f %% of the events)",
                   whole / 1e6, windowed / 1e6, whole > 0 ? 100.0 * windowed / whole : 0.0);
}

}  // namespace vireo::app
