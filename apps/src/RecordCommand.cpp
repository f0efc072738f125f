// vireo record OUT.raw: records a camera's raw stream to a RAW file for a given time, with
// an optional pre-trigger cache (seconds of stream kept from before the recording starts).
// The camera is the one named by --camera, else the first connected camera, else (or with
// --simulate) a simulated VireoHeron watching a moving edge. Progress shows the seconds
// recorded, the megabytes of raw stream and the event rate; the last line gives the file's
// size.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <vireo/DvsCameraPrivate.h>
#include <vireo/Logger.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CommandLine.h"
#include "Commands.h"

namespace vireo::app {
namespace {

constexpr const char* kUsage =
    "vireo record OUT.raw [--duration SECONDS] [--camera SERIAL | --simulate] [--cache SECONDS]";

// A simulated camera plugged in for the command's lifetime.
struct SimulatedSource {
    std::string serial;
    SimulatedSource() {
        sim::SimulatedCameraConfig config;
        config.scene = sim::SceneType::MovingEdge;
        config.edge_speed = 2000.0;
        serial = sim::plugCamera(config);
    }
    ~SimulatedSource() { sim::unplugCamera(serial); }
    SimulatedSource(const SimulatedSource&) = delete;
    SimulatedSource& operator=(const SimulatedSource&) = delete;
};

// Raw bytes and events decoded so far, as the camera's statistics report them each second.
struct StreamCounters {
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> events{0};
};

}  // namespace

RecordOutcome recordCamera(const RecordRequest& request) {
    std::unique_ptr<SimulatedSource> simulated;
    std::string serial = request.serial;
    DvsCameraManager manager;
    if (serial.empty() && !request.simulate) {
        for (const auto& desc : manager.getCameraDescs()) {
            if (!desc.simulated) {
                serial = desc.serial;
                break;
            }
        }
    }
    if (serial.empty()) {
        simulated = std::make_unique<SimulatedSource>();
        serial = simulated->serial;
        manager.updateCameras();
    }
    auto camera = manager.openCamera(serial);
    if (!camera) throw std::runtime_error("camera \"" + serial + "\" not found (see vireo list)");

    StreamCounters counters;
    camera->setStatisticInfoCallback([&counters](DsStatisticInfo info) {
        counters.events = info.first;
        counters.bytes = info.second;
    });
    if (request.cache_seconds > 0) camera->setFileCacheTime(static_cast<unsigned short>(request.cache_seconds));
    if (camera->start() != 0) throw std::runtime_error("camera " + serial + " did not start");

    const bool terminal = isatty(STDOUT_FILENO) != 0;
    if (request.cache_seconds > 0) {
        // The cache fills while nothing records yet: the recording then begins with it.
        if (request.progress) {
            std::printf("%s: caching %u s before the recording starts\n", serial.c_str(), request.cache_seconds);
        }
        std::this_thread::sleep_for(std::chrono::seconds(request.cache_seconds));
    }
    if (camera->startRecording(request.path) != 0) {
        camera->stop();
        throw std::runtime_error("recording could not start");
    }
    const uint64_t bytesAtStart = counters.bytes.load();
    const uint64_t eventsAtStart = counters.events.load();
    const auto begin = std::chrono::steady_clock::now();
    const auto duration = std::chrono::duration<double>(request.seconds);
    auto tick = begin;
    uint64_t previousEvents = eventsAtStart;
    while (std::chrono::steady_clock::now() - begin < duration) {
        tick += std::chrono::milliseconds(1000);
        std::this_thread::sleep_until(std::min(tick, begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration)));
        if (!request.progress) continue;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        const uint64_t events = counters.events.load();
        const double megabytes = static_cast<double>(counters.bytes.load() - std::min(bytesAtStart, counters.bytes.load())) / 1e6;
        std::printf(terminal ? "\r  recording %s: %6.1f s, %9.1f MB, %8.3f Mev/s   "
                             : "  recording %s: %6.1f s, %9.1f MB, %8.3f Mev/s\n",
                    serial.c_str(), elapsed, megabytes,
                    static_cast<double>(events - std::min(previousEvents, events)) / 1e6);
        std::fflush(stdout);
        previousEvents = events;
    }
    if (request.progress && terminal) std::printf("\n");
    const int recorded = camera->stopRecording();
    camera->stop();

    RecordOutcome outcome;
    outcome.serial = serial;
    outcome.ok = recorded == 0;
    // A recording whose file could not be written stays in its segment files.
    if (auto* recorder = dynamic_cast<DvsCameraPrivate*>(camera.get())) {
        for (const auto& name : recorder->getSegmentFiles()) outcome.kept_segments.push_back(name);
    }
    std::error_code error;
    outcome.file_bytes = std::filesystem::file_size(request.path, error);
    if (error) outcome.file_bytes = 0;
    return outcome;
}

int runRecord(const Arguments& args) {
    const CommandLine line(args, {"duration", "camera", "cache"}, {"simulate"});
    line.expectPositionals(1, 1, kUsage);
    RecordRequest request;
    request.path = line.positionals()[0];
    if (std::filesystem::path(request.path).extension() != ".raw") {
        throw UsageError("OUT.raw must end in .raw, not \"" + request.path + "\"");
    }
    const double seconds = line.numberOption("duration").value_or(5.0);
    if (!(seconds > 0) || seconds > 86400) throw UsageError("--duration must be above 0 and at most 86400 seconds");
    request.seconds = seconds;
    const double cache = line.numberOption("cache").value_or(0.0);
    if (cache < 0 || cache > 3600 || cache != std::floor(cache)) {
        throw UsageError("--cache must be a whole number of seconds from 0 to 3600");
    }
    request.cache_seconds = static_cast<unsigned>(cache);
    request.serial = line.option("camera").value_or("");
    request.simulate = line.hasFlag("simulate");
    if (request.simulate && !request.serial.empty()) throw UsageError("--camera and --simulate exclude each other");

    Logger& logger = Logger::Instance();
    logger.setLogLevel(LOG_WARN);  // the recorder's per-segment lines stay quiet; its errors show
    const RecordOutcome outcome = recordCamera(request);
    if (!outcome.ok) {
        std::string kept;
        for (const auto& name : outcome.kept_segments) kept += " " + name;
        throw std::runtime_error("the recording of " + outcome.serial + " could not be written to \"" +
                                 request.path + "\"" +
                                 (kept.empty() ? std::string() : "; the recorded data stays in" + kept));
    }
    std::printf("%s: %llu bytes (%.1f MB) recorded from %s\n", request.path.c_str(),
                static_cast<unsigned long long>(outcome.file_bytes), static_cast<double>(outcome.file_bytes) / 1e6,
                outcome.serial.c_str());
    return 0;
}

}  // namespace vireo::app
