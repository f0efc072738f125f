// The camera pipeline's throughput: events per second delivered to one callback from a
// simulated camera streaming as fast as the host reads (transfer thread, camera thread,
// decoder, batching check, callback dispatch), next to the decoder alone on the bytes of the
// same stream. The ratio of the two is what the pipeline costs over bare decoding.
//
// The stream is captured once from the Random scene and written to a scratch RAW file, which
// a simulated camera then replays as fast as it is read, so the source costs no generation.
// BM_PipelineRandomScene streams the scene directly: there the simulator's own event
// generation is the limit.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <vireo/groundwork.h>
#include <vireo/hal.h>
#include <vireo/pipit.h>
#include <vireo/test/SimulatedCameraSupport.h>

namespace {

constexpr uint64_t kStreamEvents = 10'000'000;       // events in the captured stream
constexpr uint64_t kEventsPerIteration = 20'000'000;  // events per timed pipeline iteration

vireo::sim::SimulatedCameraConfig sceneConfig() {
    vireo::sim::SimulatedCameraConfig config;
    config.scene = vireo::sim::SceneType::Random;
    config.real_time = false;
    config.event_rate = 5e6;
    config.seed = 3;
    return config;
}

// The raw buffers of the Random scene, captured once, and the same bytes as a RAW file.
struct CapturedStream {
    std::vector<std::vector<uint8_t>> buffers;
    uint64_t bytes = 0;
    std::string path;

    CapturedStream() {
        const std::string serial = vireo::sim::plugCamera(sceneConfig());
        {
            uint64_t events = 0;
            vireo::test::OpenedCamera source(serial);
            source.decoder->setEventsStreamHandleCallback(
                [&](const vireo::Event2D* first, const vireo::Event2D* last) {
                    events += static_cast<uint64_t>(last - first);
                });
            source.stream->start();
            vireo::test::startReadout(*source.device);
            while (events < kStreamEvents) {
                if (source.stream->waitNextBuffer() == 0) continue;
                auto buffer = source.stream->getLatestBuffer();
                if (!buffer) continue;
                buffers.push_back(**buffer);
                bytes += (*buffer)->size();
                source.decoder->decodeBuffer(**buffer);
            }
            source.stream->stop();
        }
        vireo::sim::unplugCamera(serial);
        path = (std::filesystem::temp_directory_path() / "vireo_bench_pipeline.raw").string();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "% evt 3.0\n% format EVT3;height=720;width=1280\n% end\n";
        for (const auto& buffer : buffers) {
            out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
        }
    }
    ~CapturedStream() { std::filesystem::remove(path); }
};

const CapturedStream& capturedStream() {
    static const CapturedStream stream;
    return stream;
}

// Opens the simulated camera `config` describes, counts the events its one callback gets
// while the timed loop runs, and reports them per second of wall time.
void runPipeline(benchmark::State& state, const vireo::sim::SimulatedCameraConfig& config) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_WARN);
    const std::string serial = vireo::sim::plugCamera(config);
    vireo::DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(serial);
    if (!camera) {
        state.SkipWithError("camera did not open");
        return;
    }
    std::atomic<uint64_t> events{0};
    camera->addEventsStreamHandleCallback([&](const vireo::Event2D* first, const vireo::Event2D* last) {
        events.fetch_add(static_cast<uint64_t>(last - first), std::memory_order_relaxed);
    });
    camera->start();
    while (events.load() < 1'000'000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    uint64_t delivered = 0;
    for (auto _ : state) {
        const uint64_t begin = events.load();
        while (events.load() < begin + kEventsPerIteration) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        delivered += events.load() - begin;
    }
    camera->stop();
    vireo::sim::unplugCamera(serial);
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
}

void BM_PipelineReplayToOneCallback(benchmark::State& state) {
    auto config = sceneConfig();
    config.scene = vireo::sim::SceneType::Replay;
    config.replay_path = capturedStream().path;
    runPipeline(state, config);
}
BENCHMARK(BM_PipelineReplayToOneCallback)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// The decoder alone on the same bytes, with an event callback that only counts, as the
// pipeline's does.
void BM_DecoderOnTheSameStream(benchmark::State& state) {
    const auto& stream = capturedStream();
    uint64_t decoded = 0;
    for (auto _ : state) {
        auto decoder = vireo::DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
        std::atomic<uint64_t> events{0};
        decoder->setEventsStreamHandleCallback([&](const vireo::Event2D* first, const vireo::Event2D* last) {
            events.fetch_add(static_cast<uint64_t>(last - first), std::memory_order_relaxed);
        });
        for (const auto& buffer : stream.buffers) decoder->decodeBuffer(buffer);
        decoded += events.load();
    }
    state.counters["events/s"] = benchmark::Counter(static_cast<double>(decoded), benchmark::Counter::kIsRate);
    state.counters["stream MB"] = static_cast<double>(stream.bytes) / 1e6;
}
BENCHMARK(BM_DecoderOnTheSameStream)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_PipelineRandomScene(benchmark::State& state) { runPipeline(state, sceneConfig()); }
BENCHMARK(BM_PipelineRandomScene)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

}  // namespace

BENCHMARK_MAIN();
