// Sustained recording throughput: a simulated camera replays a generated stream as fast as
// the host reads it while the camera records it to a RAW file under the build folder. Each
// iteration records 2 or 8 GiB (start, stream, stop with the file's assembly) and then
// checks, outside the timed part, that the file's body is byte for byte what the camera
// delivered: a figure with lost bytes is an error, not a result.
//
// Figures: "record MB/s" over the whole recording (stream and assembly of the file),
// "stream MB/s" while streaming, "assembly s" (joining the segments at the stop), and the
// same camera streaming without recording ("no-record MB/s"), which shows what the
// simulator and the decoder allow on their own.
//
// Two more measure the recording's start: BM_StartRecording times the call on a streaming
// camera (ms per call), and BM_CacheStartOffset how far before startRecording, in sensor
// time, a recording that begins with a 2 s pre-trigger cache reaches back, at three event
// rates of the Random scene ("offset s").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include <vireo/groundwork.h>
#include <vireo/hal.h>
#include <vireo/pipit.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;


// A camera opened by the benchmark itself, with its decoder's byte count.
class BenchHeron : public vireo::VireoHeronCamera {
public:
    using vireo::VireoHeronCamera::VireoHeronCamera;
    using vireo::DvsEventCamera::init;
    uint64_t deliveredBytes() const { return decoder->getSecondStatistic(); }
    uint64_t sensorTime_us() const { return decoder->getLastTimestamp(); }
};

fs::path scratch() {
    const fs::path dir = fs::path(VIREO_BENCH_SCRATCH_DIR) / "recording";
    fs::create_directories(dir);
    return dir;
}

// 64 MiB of a busy sensor: every 20 us a time-high, time-low and row word, then 60 pixel
// words; time spans far more than half the 24-bit clock, so every loop of the replay reads
// as a clock rollover.
std::vector<uint8_t> busyBody() {
    std::mt19937 rng(5);
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t type, uint32_t payload) {
        const uint16_t w = static_cast<uint16_t>((type << 12) | (payload & 0xFFF));
        out.push_back(static_cast<uint8_t>(w & 0xFF));
        out.push_back(static_cast<uint8_t>(w >> 8));
    };
    for (uint64_t t = 1000000; out.size() < (uint64_t{64} << 20); t += 20) {
        put(0x8, static_cast<uint32_t>((t >> 12) & 0xFFF));
        put(0x6, static_cast<uint32_t>(t & 0xFFF));
        put(0x0, rng() % 720);
        for (int i = 0; i < 60; ++i) put(0x2, (rng() % 1280) | ((rng() & 1) << 11));
    }
    return out;
}

struct Source {
    std::vector<uint8_t> body = busyBody();
    std::string path = (scratch() / "replayed.raw").string();

    Source() {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << "% evt 3.0\n% format EVT3;height=720;width=1280\n% end\n";
        out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
    }

    // A fresh simulated camera, so that its stream starts at the body's first byte.
    std::string plug() const {
        vireo::sim::SimulatedCameraConfig config;
        config.scene = vireo::sim::SceneType::Replay;
        config.replay_path = path;
        config.real_time = false;
        return vireo::sim::plugCamera(config);
    }
};

Source& source() {
    static Source s;
    return s;
}

vireo::CameraDescription describe(const std::string& serial) {
    for (const auto& desc : vireo::UsbInterface::findUsbDvsCamera(1205, 1)) {
        if (desc.serial == serial) return desc;
    }
    return {};
}

// True when the RAW file's body is exactly the first `bytes` bytes of the looped body.
bool bodyIsTheStream(const std::string& path, const std::vector<uint8_t>& body, uint64_t bytes) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in.peek() == '%') std::getline(in, line);
    std::vector<char> chunk(body.size());
    uint64_t done = 0;
    while (done < bytes) {
        const uint64_t n = std::min<uint64_t>(body.size(), bytes - done);
        in.read(chunk.data(), static_cast<std::streamsize>(n));
        if (static_cast<uint64_t>(in.gcount()) != n) return false;
        if (!std::equal(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(n),
                        reinterpret_cast<const uint8_t*>(chunk.data()))) {
            return false;
        }
        done += n;
    }
    return in.peek() == std::char_traits<char>::eof();
}

void waitForBytes(const BenchHeron& camera, uint64_t bytes) {
    while (camera.deliveredBytes() < bytes) std::this_thread::sleep_for(std::chrono::microseconds(500));
}

// Records state.range(0) GiB per iteration.
void BM_RecordReplayToDisk(benchmark::State& state) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_WARN);
    const uint64_t bytesPerIteration = static_cast<uint64_t>(state.range(0)) << 30;
    Source& src = source();
    const std::string out = (scratch() / "recorded.raw").string();
    double recorded = 0, streamedBytes = 0, streamSeconds = 0, totalSeconds = 0, assemblySeconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string serial = src.plug();
        BenchHeron camera(describe(serial));
        state.ResumeTiming();
        if (camera.init() != 0 || !camera.setSegmentDirectory((scratch() / "segments").string())) {
            state.SkipWithError("camera did not open");
            return;
        }
        const auto begin = Clock::now();
        // Recording from before the start takes every byte the camera delivers.
        camera.startRecording(out);
        camera.start();
        waitForBytes(camera, bytesPerIteration);
        const auto streamed = Clock::now();
        const uint64_t atStop = camera.deliveredBytes();
        const int stopped = camera.stop();  // ends the recording and writes the file
        const auto end = Clock::now();
        const uint64_t bytes = camera.deliveredBytes();

        state.PauseTiming();
        vireo::sim::unplugCamera(serial);
        if (stopped != 0 || !bodyIsTheStream(out, src.body, bytes)) {
            state.SkipWithError("the recorded file is not the delivered stream");
            return;
        }
        fs::remove(out);
        state.ResumeTiming();
        recorded += static_cast<double>(bytes);
        streamedBytes += static_cast<double>(atStop);
        streamSeconds += std::chrono::duration<double>(streamed - begin).count();
        totalSeconds += std::chrono::duration<double>(end - begin).count();
        assemblySeconds += std::chrono::duration<double>(end - streamed).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["record MB/s"] = recorded / totalSeconds / 1e6;
    state.counters["stream MB/s"] = streamedBytes / streamSeconds / 1e6;
    state.counters["assembly s"] = assemblySeconds / n;
    state.counters["MB per file"] = recorded / n / 1e6;
}
// 2 GiB fit in the page cache of the development machine; 8 GiB go past the kernel's
// dirty-page limits, so the disk's own write rate shows.
BENCHMARK(BM_RecordReplayToDisk)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_RecordReplayToDisk)->Arg(8)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The same camera and stream without recording: what the simulator and decoder allow.
void BM_StreamReplayWithoutRecording(benchmark::State& state) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_WARN);
    Source& src = source();
    double streamed = 0, seconds = 0;
    for (auto _ : state) {
        const std::string serial = src.plug();
        BenchHeron camera(describe(serial));
        if (camera.init() != 0) {
            state.SkipWithError("camera did not open");
            return;
        }
        const auto begin = Clock::now();
        camera.start();
        waitForBytes(camera, uint64_t{2} << 30);
        const auto end = Clock::now();
        const uint64_t bytes = camera.deliveredBytes();
        camera.stop();
        vireo::sim::unplugCamera(serial);
        streamed += static_cast<double>(bytes);
        seconds += std::chrono::duration<double>(end - begin).count();
    }
    state.counters["no-record MB/s"] = streamed / seconds / 1e6;
}
BENCHMARK(BM_StreamReplayWithoutRecording)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);


// The time startRecording takes on a camera that streams (no cache runs): what it costs is
// data of that window that no recording holds.
void BM_StartRecording(benchmark::State& state) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_WARN);
    vireo::sim::SimulatedCameraConfig config;
    config.real_time = true;
    config.event_rate = 1e6;
    const std::string serial = vireo::sim::plugCamera(config);
    BenchHeron camera(describe(serial));
    if (camera.init() != 0 || !camera.setSegmentDirectory((scratch() / "segments-start").string())) {
        state.SkipWithError("camera did not open");
        return;
    }
    camera.start();
    const std::string out = (scratch() / "started.raw").string();
    for (auto _ : state) {
        const auto begin = Clock::now();
        const int started = camera.startRecording(out);
        const auto end = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        if (started != 0 || camera.stopRecording() != 0) {
            state.SkipWithError("the recording did not start and stop");
            break;
        }
    }
    camera.stop();
    vireo::sim::unplugCamera(serial);
    fs::remove(out);
}
BENCHMARK(BM_StartRecording)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

// First and last event time of a RAW file's body, on the file's own time line (rollovers of
// the 24-bit clock counted from its first time word).
std::pair<uint64_t, uint64_t> eventSpan(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (in.peek() == '%') std::getline(in, line);
    const std::vector<uint8_t> body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto decoder = vireo::DecoderFactory::createUniqueDecoder(vireo::RawEventStreamFormat("EVT3;height=720;width=1280"));
    bool any = false;
    uint64_t first = 0, last = 0;
    decoder->setEventsStreamHandleCallback([&](const vireo::Event2D* f, const vireo::Event2D* l) {
        if (!any) first = f->timestamp;
        any = true;
        last = (l - 1)->timestamp;
    });
    decoder->decodeBuffer(body);
    return {first, last};
}

// A camera streaming the Random scene at state.range(0) thousand events per second, as fast
// as it is read, keeps a 2 s cache; an event callback starts a recording once the sensor
// time passes state.range(1) seconds and stops it half a second later, so that both happen
// at a known sensor time. "offset s" is how long before startRecording the file begins:
// the file's first event, placed on the camera's time line through its last event (the
// stop), against the decoder's time at startRecording.
void BM_CacheStartOffset(benchmark::State& state) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_WARN);
    const uint64_t startAt_us = static_cast<uint64_t>(state.range(1)) * 1000000;
    double offsets = 0;
    for (auto _ : state) {
        vireo::sim::SimulatedCameraConfig config;
        config.real_time = false;
        config.event_rate = static_cast<double>(state.range(0)) * 1e3;
        config.seed = 9;
        const std::string serial = vireo::sim::plugCamera(config);
        BenchHeron camera(describe(serial));
        if (camera.init() != 0 || !camera.setSegmentDirectory((scratch() / "segments-offset").string())) {
            state.SkipWithError("camera did not open");
            return;
        }
        const std::string out = (scratch() / "cached.raw").string();
        camera.setFileCacheTime(2);
        std::atomic<int> phase{0};  // 0 caching, 1 recording, 2 stopped
        uint64_t startedAt = 0, stoppedAt = 0;
        camera.addEventsStreamHandleCallback([&](const vireo::Event2D*, const vireo::Event2D* l) {
            const uint64_t t = (l - 1)->timestamp;
            if (phase == 0 && t >= startAt_us) {
                startedAt = camera.sensorTime_us();
                camera.startRecording(out);
                phase = 1;
            } else if (phase == 1 && t >= startedAt + 500000) {
                camera.stopRecording();
                stoppedAt = camera.sensorTime_us();
                phase = 2;
            }
        });
        camera.start();
        while (phase.load() != 2) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        camera.stop();
        vireo::sim::unplugCamera(serial);
        const auto [first, last] = eventSpan(out);
        const double firstOnCameraTime = static_cast<double>(stoppedAt) - static_cast<double>(last - first);
        offsets += (static_cast<double>(startedAt) - firstOnCameraTime) / 1e6;
        fs::remove(out);
    }
    state.counters["offset s"] = offsets / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CacheStartOffset)
    ->Args({100, 75})
    ->Args({500, 30})
    ->Args({3000, 12})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
