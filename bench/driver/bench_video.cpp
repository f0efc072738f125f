// Video export speed at the sensor's full 1280 x 720 geometry, in frames per second (real
// time is 30). BM_ExportRecording times the whole export of a generated four-second RAW
// recording (reading, rendering, encoding, writing the MP4) at a given event rate;
// BM_EncodeEventFrames times the encoder alone on event images rendered the way the export
// renders them (grey background, one colour per polarity). Inputs are fixed and seeded.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <vireo/DataToVideoConverter.h>
#include <vireo/EventDataExport.h>
#include <vireo/Evt3Encoder.h>
#include <vireo/RawFileReader.h>
#include <vireo/Logger.h>
#include <vireo/SharedTypes.h>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFramesPerIteration = 60;  // two seconds of video

std::string scratch(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("vireo_bench_video_" + name)).string();
}

// Events of one 33333 µs span: `count` pixels spread over the sensor, as a busy scene gives.
std::vector<vireo::Event2D> spanEvents(std::mt19937& random, int count, uint64_t t0) {
    std::uniform_int_distribution<int> x(0, kWidth - 1);
    std::uniform_int_distribution<int> y(0, kHeight - 1);
    std::vector<vireo::Event2D> events;
    events.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        events.emplace_back(static_cast<uint16_t>(x(random)), static_cast<uint16_t>(y(random)),
                            static_cast<uint8_t>(i & 1), t0 + static_cast<uint64_t>(i) * 33333 / count);
    }
    return events;
}

void render(const std::vector<vireo::Event2D>& events, std::vector<uint8_t>& image) {
    std::memset(image.data(), 112, image.size());
    for (const auto& e : events) {
        uint8_t* p = &image[(static_cast<size_t>(e.y) * kWidth + e.x) * 3];
        if (e.polarity != 0) {
            p[0] = 180, p[1] = 188, p[2] = 191;
        } else {
            p[0] = 51, p[1] = 61, p[2] = 64;
        }
    }
}

void BM_EncodeEventFrames(benchmark::State& state) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_WARN);
    const int eventsPerFrame = static_cast<int>(state.range(0));
    std::mt19937 random(11);
    std::vector<std::vector<vireo::Event2D>> spans;
    for (int i = 0; i < kFramesPerIteration; ++i) spans.push_back(spanEvents(random, eventsPerFrame, 33333ull * i));
    std::vector<uint8_t> image(static_cast<size_t>(kWidth) * kHeight * 3);
    const std::string path = scratch("encode.mp4");
    int64_t frames = 0;
    for (auto _ : state) {
        vireo::DataToVideoConverter converter;
        converter.setConverterFrameSize(kHeight, kWidth, kHeight, kWidth);
        converter.setConverterFmt(vireo::VIDEO_PIX_FMT_BGR24, vireo::VIDEO_PIX_FMT_YUV420P);
        if (converter.initVideoConverter(path) != 0) {
            state.SkipWithError("the encoder did not open");
            break;
        }
        for (const auto& span : spans) {
            render(span, image);
            converter.rgbToVideo(image.data());
        }
        converter.flushAndCloseVideo();
        frames += kFramesPerIteration;
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    std::filesystem::remove(path);
}
BENCHMARK(BM_EncodeEventFrames)->Arg(2000)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A four-second 1280 x 720 recording at about `rate` events per second: a bar sweeping
// across the sensor plus seeded random activity, written once per rate with the recorder's
// header.
std::string recording(int64_t rate) {
    static std::map<int64_t, std::string> made;
    if (made.count(rate) > 0) return made[rate];
    const std::string path = scratch("recording_" + std::to_string(rate) + ".raw");
    std::mt19937 random(5);
    std::uniform_int_distribution<int> x(0, kWidth - 1);
    std::uniform_int_distribution<int> y(0, kHeight - 1);
    vireo::Evt3Encoder encoder;
    std::vector<uint8_t> body;
    std::vector<vireo::Event2D> events;
    constexpr uint64_t kStep = 200;  // µs between event groups
    const int perStep = static_cast<int>(rate * static_cast<int64_t>(kStep) / 1000000);
    for (uint64_t t = 1000000; t < 5000000; t += kStep) {
        events.clear();
        const int bar = static_cast<int>((t / 4000) % kWidth);
        for (int row = 0; row < kHeight; row += 8) events.emplace_back(bar, row, 1, t);
        for (int i = 0; i < perStep; ++i) {
            events.emplace_back(static_cast<uint16_t>(x(random)), static_cast<uint16_t>(y(random)),
                                static_cast<uint8_t>(i & 1), t);
        }
        encoder.encodeEvents(events, body);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << "% evt 3.0\n% format EVT3; height = 720; width = 1280\n% geometry 1280x720\n% end\n";
    out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
    made[rate] = path;
    return path;
}

void BM_ExportRecording(benchmark::State& state) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_ERROR);
    const std::string input = recording(state.range(0));
    const std::string output = scratch("export.mp4");
    vireo::RawFileReader reader(input);
    if (!reader.loadFile()) {
        state.SkipWithError("the recording did not load");
        return;
    }
    uint64_t first = 0, last = 0;
    reader.getStartTimeStamp(first);
    reader.getEndTimeStamp(last);
    int64_t frames = 0;
    for (auto _ : state) {
        int64_t spans = 0;
        vireo::exportEventsToVideo(reader, first, last + 1, output, [&](uint64_t, uint64_t) { ++spans; });
        frames += spans;  // every span of this recording holds events
    }
    state.counters["frames_per_s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["video_s_per_s"] =
        benchmark::Counter(static_cast<double>(frames) / 30.0, benchmark::Counter::kIsRate);
    std::filesystem::remove(output);
}
BENCHMARK(BM_ExportRecording)->Arg(100000)->Arg(1000000)->Arg(5000000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
