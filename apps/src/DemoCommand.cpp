// vireo demo: a guided walk through the kit. Each step uses the public classes the way an
// application would; steps whose libraries are not part of this build say so.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <vireo/EventDataExport.h>
#include <vireo/Evt3Encoder.h>
#include <vireo/Mp4FileReader.h>
#include <vireo/RawFileReader.h>
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

// Writes a two-second 1280 x 720 RAW recording of a bar sweeping across the sensor (its
// leading edge brightens, its trailing edge darkens), with the recorder's header.
std::string writeSweepRecording(const std::string& path) {
    constexpr uint64_t kStart_us = 1000000;
    constexpr uint64_t kDuration_us = 2000000;
    constexpr int kBarWidth = 60;
    Evt3Encoder encoder;
    std::vector<uint8_t> body;
    std::vector<Event2D> events;
    for (uint64_t t = kStart_us; t < kStart_us + kDuration_us; t += 500) {
        const int lead = static_cast<int>((t - kStart_us) * 1400 / kDuration_us);  // x of the leading edge
        events.clear();
        for (int y = 100; y < 620; y += 2) {
            const int wobble = (y / 40) % 2 == 0 ? 0 : 8;
            const int xOn = lead + wobble;
            const int xOff = lead + wobble - kBarWidth;
            if (xOn >= 0 && xOn < 1280) events.emplace_back(xOn, y, 1, t);
            if (xOff >= 0 && xOff < 1280) events.emplace_back(xOff, y, 0, t);
        }
        encoder.encodeEvents(events, body);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "% camera_integrator_name Vireo\n% date " << getSysTime() << "\n% evt 3.0\n"
        << "% format EVT3; height = 720; width = 1280\n% generation 4.2\n% geometry 1280x720\n"
        << "% integrator_name Vireo\n% plugin_integrator_name Vireo\n% plugin_name hal_plugin_vireo\n"
        << "% sensor_generation 4.2\n% sensor_name IMX646\n% serial_number DEMO\n% system_ID 53\n% end\n";
    out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

// Cuts half a second out of a recording into a RAW file of its own and renders the whole
// recording to an MP4 video, in the working folder.
void cutAndRenderStep() {
    const std::string recording = writeSweepRecording("vireo_demo_sweep.raw");
    VIREO_LOG_INFO("wrote %s: a bar sweeping across the sensor for 2 s",
                   recording.c_str());
    RawFileReader reader(recording);
    if (!reader.loadFile()) throw std::runtime_error("cannot read back " + recording);
    uint64_t first = 0, last = 0, events = 0;
    reader.getStartTimeStamp(first);
    reader.getEndTimeStamp(last);
    reader.getMaxEvents(events);

    // Random access: by time (the events of one millisecond half-way through) and by count
    // (the last thousand events).
    const uint64_t middle = first + (last - first) / 2;
    const auto window = reader.getNTimeEventsGivenStartTimeStamp(middle, 1000);
    const size_t inWindow = window ? window->size() : 0;
    const auto tail = reader.getNEventsGivenStartEvent(events > 1000 ? events - 1000 : 0, 1000);
    VIREO_LOG_INFO("read back %llu events over [%llu, %llu] us: %zu in the millisecond from %llu us, "
                   "the last %zu ending at %llu us",
                   static_cast<unsigned long long>(events), static_cast<unsigned long long>(first),
                   static_cast<unsigned long long>(last), inWindow, static_cast<unsigned long long>(middle),
                   tail ? tail->size() : size_t{0},
                   static_cast<unsigned long long>(tail && !tail->empty() ? tail->back().timestamp : 0));

    const std::string cutPath = "vireo_demo_cut.raw";
    if (!reader.extractEventData(first + 500000, first + 1000000, cutPath)) {
        throw std::runtime_error("cutting " + recording + " failed");
    }
    RawFileReader cut(cutPath);
    uint64_t cutEvents = 0;
    if (cut.loadFile()) cut.getMaxEvents(cutEvents);
    VIREO_LOG_INFO("cut [%llu, %llu) us into %s: %llu of the recording's %llu events",
                   static_cast<unsigned long long>(first + 500000), static_cast<unsigned long long>(first + 1000000),
                   cutPath.c_str(), static_cast<unsigned long long>(cutEvents), static_cast<unsigned long long>(events));

    const std::string videoPath = "vireo_demo_sweep.mp4";
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    int shown = -1;
    const bool rendered = exportEventsToVideo(reader, first, last + 1, videoPath, [&](uint64_t done, uint64_t total) {
        const int percent = static_cast<int>(100 * done / (total == 0 ? 1 : total));
        if (terminal ? percent == shown : percent / 25 == shown / 25) return;
        shown = percent;
        std::printf(terminal ? "\r  rendering %s: %3d %%" : "  rendering %s: %3d %%\n", videoPath.c_str(), percent);
        std::fflush(stdout);
    });
    if (terminal) std::printf("\n");
    if (!rendered) throw std::runtime_error("rendering " + recording + " failed");
    Mp4FileReader video(videoPath);
    std::vector<uint64_t> frames;
    if (video.loadFile()) video.getTimeStamps(frames);
    VIREO_LOG_INFO("rendered %s: %zu frames of 1280 x 720 at 30 per second; open it with any video player",
                   videoPath.c_str(), frames.size());
}

}  // namespace

int runDemo(const Arguments& args) {
    CommandLine(args, {}).expectPositionals(0, 0, "vireo demo");
    VIREO_LOG_INFO("Vireo %s demo, %s", VIREO_VERSION_STRING, getSysTime().c_str());

    streamStep();
    VIREO_LOG_INFO("camera tools: a region of interest and the event rate");
    demoToolStep();
    demoRecordStep();
    cutAndRenderStep();

    VIREO_LOG_INFO("fusion camera: events and frames of one scene, recorded together and pictured side by side");
    demoFusionStep();

    VIREO_LOG_INFO("calibration: a simulated lens recovered from recorded circle-grid events");
    demoCalibrationStep();
    VIREO_LOG_INFO("demo finished");
    return 0;
}

}  // namespace vireo::app
