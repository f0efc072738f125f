// The simulated camera as a data source: how fast it can stream each scene when the host
// reads as fast as it can, how much sensor time the circle grid delivers per second, and how
// closely real-time Replay follows the recording's own data rate (bytes per second of wall
// time against bytes per second of recording time).
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <string>

#include <vireo/hal.h>
#include <vireo/test/SimulatedCameraSupport.h>

namespace {

using vireo::sim::SceneType;

// Streams `seconds_of_data` worth of buffers (or a byte budget) and reports bytes/s and
// events/s of the decoded stream.
void streamScene(benchmark::State& state, SceneType scene) {
    vireo::sim::SimulatedCameraConfig config;
    config.scene = scene;
    config.real_time = false;
    config.event_rate = 5e6;
    const std::string serial = vireo::sim::plugCamera(config);
    vireo::test::OpenedCamera camera(serial);
    camera.decoder->setEventsStreamHandleCallback(nullptr);
    camera.stream->start();
    vireo::test::startReadout(*camera.device);
    uint64_t bytes = 0;
    for (auto _ : state) {
        const uint64_t target = bytes + (64u << 20);
        while (bytes < target) {
            if (camera.stream->waitNextBuffer() == 0) continue;
            auto buffer = camera.stream->getLatestBuffer();
            if (!buffer) continue;
            bytes += (*buffer)->size();
            camera.decoder->decodeBuffer(**buffer);
        }
    }
    state.counters["MB/s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6, benchmark::Counter::kIsRate);
    state.counters["events/s"] = benchmark::Counter(
        static_cast<double>(camera.decoder->getFirstStatistic()), benchmark::Counter::kIsRate);
    camera.stream->stop();
    vireo::sim::unplugCamera(serial);
}

void BM_SimulatorRandomScene(benchmark::State& state) { streamScene(state, SceneType::Random); }
void BM_SimulatorMovingEdgeScene(benchmark::State& state) { streamScene(state, SceneType::MovingEdge); }
// The default circle grid: 25 poses of 44 circles, each pose's outline bands rebuilt when
// it comes up, with the default noise.
void BM_SimulatorCircleGridScene(benchmark::State& state) { streamScene(state, SceneType::CircleGrid); }
BENCHMARK(BM_SimulatorRandomScene)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SimulatorMovingEdgeScene)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SimulatorCircleGridScene)->Unit(benchmark::kMillisecond)->UseRealTime();

// Sensor time streamed per second of wall time for the circle grid: above 1 the scene keeps
// up with a real-time camera.
void BM_SimulatorCircleGridSensorTime(benchmark::State& state) {
    vireo::sim::SimulatedCameraConfig config;
    config.scene = SceneType::CircleGrid;
    config.real_time = false;
    const std::string serial = vireo::sim::plugCamera(config);
    vireo::test::OpenedCamera camera(serial);
    uint64_t last_us = 0;
    camera.decoder->setEventsStreamHandleCallback([&](const vireo::Event2D*, const vireo::Event2D* end) {
        last_us = (end - 1)->timestamp;
    });
    camera.stream->start();
    vireo::test::startReadout(*camera.device);
    for (auto _ : state) {
        const uint64_t target = last_us + 1000000;  // one second of sensor time: 25 poses
        while (last_us < target) {
            if (camera.stream->waitNextBuffer() == 0) continue;
            if (auto buffer = camera.stream->getLatestBuffer()) camera.decoder->decodeBuffer(**buffer);
        }
    }
    state.counters["sensor s per s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    camera.stream->stop();
    vireo::sim::unplugCamera(serial);
}
BENCHMARK(BM_SimulatorCircleGridSensorTime)->Unit(benchmark::kMillisecond)->UseRealTime();

// Real-time Replay of the sample recording for about one second: the ratio of the delivered
// byte rate to the recording's own rate should be 1.
void BM_RealTimeReplayPacing(benchmark::State& state) {
    const std::string path = std::string(VIREO_SHARED_DATA_DIR) + "/evt3_sample.raw";
    if (!std::filesystem::exists(path)) {
        state.SkipWithError("sample recording not present");
        return;
    }
    const double body_bytes = 617886.0;
    const double body_seconds = (11727457.0 - 11718656.0) * 1e-6;  // first to last event
    vireo::sim::SimulatedCameraConfig config;
    config.scene = SceneType::Replay;
    config.replay_path = path;
    config.real_time = true;
    double ratio = 0;
    for (auto _ : state) {
        const std::string serial = vireo::sim::plugCamera(config);
        vireo::test::OpenedCamera camera(serial);
        camera.stream->start();
        vireo::test::startReadout(*camera.device);
        uint64_t bytes = 0;
        // Skip the first buffer: the clock starts when it is handed out.
        while (camera.stream->waitNextBuffer() == 0) {
        }
        camera.stream->getLatestBuffer();
        const auto start = std::chrono::steady_clock::now();
        const auto end = start + std::chrono::seconds(1);
        while (std::chrono::steady_clock::now() < end) {
            if (camera.stream->waitNextBuffer() == 0) continue;
            if (auto buffer = camera.stream->getLatestBuffer()) bytes += (*buffer)->size();
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ratio = (static_cast<double>(bytes) / seconds) / (body_bytes / body_seconds);
        camera.stream->stop();
        vireo::sim::unplugCamera(serial);
    }
    state.counters["delivered/recorded rate"] = ratio;
    state.counters["recording MB/s"] = body_bytes / body_seconds / 1e6;
}
BENCHMARK(BM_RealTimeReplayPacing)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
