// Blinking-frequency detection throughput, in events per second on one core:
//   - the detector alone on one second of a 1280 x 720 stream: 48 markers (an 8 x 6 grid of
//     light spots 5 pixels across, each pixel firing 1 to 3 events per switch) blinking at
//     300 Hz, plus uniform noise at 10 % or 50 % of the stream, fed in ranges of 4096 events
//     as a decoder hands them out;
//   - the active-marker locator on the same stream, fed window by window and located once
//     per 100 ms window (detection, KMeans, filter and ordering).
//
//   bench_vibration [google-benchmark flags]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <vector>

#include <vireo/lensfit.h>
#include <vireo/vibration.h>

namespace {

using namespace vireo;

constexpr int kWidth = 1280, kHeight = 720;
constexpr int kCols = 8, kRows = 6;
constexpr double kHz = 300.0;
constexpr uint64_t kDurationUs = 1000000;
constexpr size_t kRange = 4096;

// One second of markers and noise; `noise_share` of the events are noise.
std::vector<Event2D> stream(double noise_share) {
    std::mt19937_64 random(11);
    std::vector<Event2D> events;
    const double half = 1e6 / kHz / 2;
    for (int r = 0; r < kRows; ++r) {
        for (int c = 0; c < kCols; ++c) {
            const double cx = 200.0 + 120.0 * c + 0.3, cy = 120.0 + 90.0 * r + 0.6;
            for (int y = static_cast<int>(cy) - 3; y <= static_cast<int>(cy) + 3; ++y) {
                for (int x = static_cast<int>(cx) - 3; x <= static_cast<int>(cx) + 3; ++x) {
                    const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                    if (r2 > 2.2 * 2.2) continue;
                    const int burst = 1 + static_cast<int>(std::lround(2.0 * std::exp(-r2 / 2.0)));
                    for (int k = 0; k * half < kDurationUs; ++k) {
                        const auto t = static_cast<uint64_t>(k * half);
                        for (int b = 0; b < burst; ++b) {
                            events.emplace_back(static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                                                static_cast<uint8_t>(k % 2 == 0), t + static_cast<uint64_t>(b));
                        }
                    }
                }
            }
        }
    }
    const auto noise = static_cast<size_t>(static_cast<double>(events.size()) * noise_share / (1.0 - noise_share));
    std::uniform_int_distribution<int> px(0, kWidth - 1), py(0, kHeight - 1), bit(0, 1);
    std::uniform_int_distribution<uint64_t> when(0, kDurationUs - 1);
    for (size_t i = 0; i < noise; ++i) {
        events.emplace_back(static_cast<uint16_t>(px(random)), static_cast<uint16_t>(py(random)),
                            static_cast<uint8_t>(bit(random)), when(random));
    }
    std::stable_sort(events.begin(), events.end(), [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
    return events;
}

const std::vector<Event2D>& streamOf(int noise_percent) {
    static const std::vector<Event2D> light = stream(0.1);
    static const std::vector<Event2D> heavy = stream(0.5);
    return noise_percent == 10 ? light : heavy;
}

void BM_DetectBlinking(benchmark::State& state) {
    const std::vector<Event2D>& events = streamOf(static_cast<int>(state.range(0)));
    VibrationDetection detector(kWidth, kHeight, VibrationDetectionConfig(5, 50.0f, 1000.0f, 200));
    std::vector<Event2DFrequency> out;
    out.reserve(events.size());
    size_t reported = 0;
    for (auto _ : state) {
        detector.reset();
        out.clear();
        for (size_t i = 0; i < events.size(); i += kRange) {
            const size_t end = std::min(events.size(), i + kRange);
            detector.processEvents(events.data() + i, events.data() + end, std::back_inserter(out));
        }
        reported = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["events"] = static_cast<double>(events.size());
    state.counters["reported"] = static_cast<double>(reported);
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(events.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DetectBlinking)->Arg(10)->Arg(50)->ArgName("noise_percent")->Unit(benchmark::kMillisecond);

void BM_LocateMarkerWindows(benchmark::State& state) {
    const std::vector<Event2D>& events = streamOf(10);
    EventActiveMarkerGridLocatorConfig config(1.0f, 1.0f, 1.0f, 5, 50.0f, 1000.0f, 200);
    std::vector<cv::Point2f> centres;
    size_t located = 0;
    for (auto _ : state) {
        EventActiveMarkerGridLocator locator(kCols, kRows, cv::Size(kWidth, kHeight), config);
        located = 0;
        size_t i = 0;
        for (uint64_t window = 100000; window <= kDurationUs; window += 100000) {
            const size_t begin = i;
            while (i < events.size() && events[i].timestamp < window) ++i;
            locator.processEvents(events.data() + begin, events.data() + i);
            located += locator.locateGrid(centres) ? 1 : 0;
        }
    }
    state.counters["windows_located"] = static_cast<double>(located);
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(events.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LocateMarkerWindows)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
