// vireo demo: a guided walk through the kit. Each step uses the public classes the way an
// application would; steps whose libraries are not part of this build say so.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <vireo/groundwork.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CommandLine.h"
#include "Commands.h"

namespace vireo::app {

namespace {

// Plugs in a simulated camera, finds and opens it like a USB camera, streams it for a few
// seconds with a live line of the event rate, and stops it.
void streamStep() {
    constexpr auto kStreamTime = std::chrono::seconds(3);
    sim::SimulatedCameraConfig config;
    config.scene = sim::SceneType::MovingEdge;
    config.edge_speed = 2000.0;
    const std::string serial = sim::plugCamera(config);
    VIREO_LOG_INFO("plugged in a simulated VireoHeron, serial %s", serial.c_str());

    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(serial);
    if (!camera) {
        sim::unplugCamera(serial);
        throw std::runtime_error("the simulated camera " + serial + " could not be opened");
    }
    VIREO_LOG_INFO("opened %s, %ux%u pixels", serial.c_str(), static_cast<unsigned>(camera->getWidth()),
                   static_cast<unsigned>(camera->getHeight()));

    std::atomic<uint64_t> events{0};
    std::atomic<uint64_t> lastTimestamp{0};
    camera->addEventsStreamHandleCallback([&](const Event2D* first, const Event2D* last) {
        events.fetch_add(static_cast<uint64_t>(last - first), std::memory_order_relaxed);
        lastTimestamp.store((last - 1)->timestamp, std::memory_order_relaxed);
    });
    camera->start();

    // On a terminal the rate line is redrawn in place; otherwise one line per second.
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const auto period = terminal ? std::chrono::milliseconds(250) : std::chrono::milliseconds(1000);
    const auto begin = std::chrono::steady_clock::now();
    auto tick = begin;
    uint64_t previous = 0;
    while (tick - begin < kStreamTime) {
        tick += period;
        std::this_thread::sleep_until(tick);
        const uint64_t now = events.load();
        const double seconds = std::chrono::duration<double>(period).count();
        const double rate = static_cast<double>(now - previous) / seconds;
        previous = now;
        std::printf(terminal ? "\r  streaming %s: %8.3f Mev/s, %10llu events, sensor time %7.3f s   "
                             : "  streaming %s: %8.3f Mev/s, %10llu events, sensor time %7.3f s\n",
                    serial.c_str(), rate / 1e6, static_cast<unsigned long long>(now),
                    static_cast<double>(lastTimestamp.load()) / 1e6);
        std::fflush(stdout);
    }
    if (terminal) std::printf("\n");
    const int stopped = camera->stop();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    VIREO_LOG_INFO("stopped (%s): %llu events in %.1f s, %.3f Mev/s on average", stopped == 0 ? "ok" : "failed",
                   static_cast<unsigned long long>(events.load()), elapsed,
                   static_cast<double>(events.load()) / elapsed / 1e6);
    sim::unplugCamera(serial);
}

}  // namespace

int runDemo(const Arguments& args) {
    CommandLine(args, {}).expectPositionals(0, 0, "vireo demo");
    VIREO_LOG_INFO("Vireo %s demo, %s", VIREO_VERSION_STRING, getSysTime().c_str());

    streamStep();

    const std::vector<std::string> pending{
        "record the stream to a RAW file",
        "read the recording back by time and by event count",
        "cut a piece of the recording",
        "render the recording to an MP4 video",
        "locate the calibration grid and calibrate",
    };
    for (const auto& step : pending) {
        VIREO_LOG_WARN("not built yet: %s", step.c_str());
    }
    VIREO_LOG_INFO("demo finished");
    return 0;
}

}  // namespace vireo::app
