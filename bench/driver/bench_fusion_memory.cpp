// Memory of a fusion camera whose consumers fall behind. A simulated fusion camera streams
// in real time (a moving edge, 3840 x 2160 frames at 30 per second) for a few seconds while
// the camera records both streams, in three set-ups:
//   - Recording: nothing else; the H.264 encoder of 4K frames is itself the slow consumer
//     on a small machine, so the recording's frame pool fills up.
//   - BlockedCallbacks: the same, with frame and event callbacks that stop for a second at
//     every call (an application that stops reading).
//   - NoBatchReader: batches by count requested and never taken.
// Figures: "peak MB" (the process's peak resident memory, VmHWM, after the run; each set-up
// runs in its own process when run with --benchmark_filter), "frames" recorded into the MP4,
// "frames lost" (the recording's own count), "device drops" (frames the device dropped
// because the camera did not take them), "raw MB" recorded.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <vireo/hal.h>
#include <vireo/pipit.h>

namespace {

namespace fs = std::filesystem;

double peakResidentMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

enum class Consumer { Recording, BlockedCallbacks, NoBatchReader };

void runFusion(benchmark::State& state, Consumer consumer) {
    const fs::path dir = fs::path(VIREO_BENCH_SCRATCH_DIR) / ("fusion-memory-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    vireo::sim::SimulatedCameraConfig config;
    config.vendor_id = vireo::sim::kFusionVendorId;
    config.product_id = vireo::sim::kFusionProductId;
    config.scene = vireo::sim::SceneType::MovingEdge;
    config.real_time = true;
    config.frame_rate_hz = 30;
    config.exposure_us = 10000;
    const std::string serial = vireo::sim::plugCamera(config);
    for (auto _ : state) {
        vireo::DvsCameraManager manager;
        manager.updateCameras();
        auto camera = manager.openFusionCamera(serial);
        if (!camera) {
            state.SkipWithError("the simulated fusion camera did not open");
            break;
        }
        if (consumer == Consumer::BlockedCallbacks) {
            camera->addApsFrameCallback([](const vireo::ApsFrame&) { std::this_thread::sleep_for(std::chrono::seconds(1)); });
            camera->addEventsStreamHandleCallback([](const vireo::Event2D*, const vireo::Event2D*) {
                std::this_thread::sleep_for(std::chrono::seconds(1));
            });
        }
        if (consumer == Consumer::NoBatchReader) camera->setBatchEventsNum(100000);
        const auto base = dir / "take";
        camera->startRecording(base.string(), vireo::STREAM_BOTH);
        camera->start(vireo::STREAM_BOTH);
        std::this_thread::sleep_for(std::chrono::seconds(6));
        camera->stop(vireo::STREAM_BOTH);
        auto* tandem = dynamic_cast<vireo::TandemFusionCamera*>(camera.get());
        const auto loss = tandem->getRecordingLoss();
        camera->stopRecording(vireo::STREAM_BOTH);
        vireo::Mp4FileReader video(base.string() + ".mp4");
        std::vector<uint64_t> times;
        if (video.loadFile()) video.getTimeStamps(times);
        state.counters["frames"] = static_cast<double>(times.size());
        state.counters["frames lost"] = static_cast<double>(loss.frames);
        state.counters["raw MB"] = static_cast<double>(fs::file_size(base.string() + ".raw")) / 1e6;
    }
    state.counters["device drops"] = static_cast<double>(vireo::sim::droppedFrames(serial).value_or(0));
    vireo::sim::unplugCamera(serial);
    state.counters["peak MB"] = peakResidentMB();
    fs::remove_all(dir);
}

void BM_FusionRecording(benchmark::State& state) { runFusion(state, Consumer::Recording); }
void BM_FusionBlockedCallbacks(benchmark::State& state) { runFusion(state, Consumer::BlockedCallbacks); }
void BM_FusionNoBatchReader(benchmark::State& state) { runFusion(state, Consumer::NoBatchReader); }

BENCHMARK(BM_FusionRecording)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FusionBlockedCallbacks)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(BM_FusionNoBatchReader)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
