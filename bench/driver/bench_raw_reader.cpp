// RAW file reader benchmarks on a generated recording of 1.1 GB (made once, from a seed,
// in the build's bench-scratch folder, and kept for later runs): index build rate (MB/s)
// and reload time, latency of seeks by time and by event number (with a built and with a
// reloaded index), and the event rate of count and duration reads next to the rate of the
// decoder alone on the same bytes, read in the same chunks. The figures are read from the
// page cache: the first run after generation warms it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <vireo/DecoderFactory.h>
#include <vireo/Evt3Encoder.h>
#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

namespace {

constexpr uint64_t kTargetBytes = 1100ull << 20;  // 1.1 GiB of EVT3 words

const std::string& recordingPath() {
    static const std::string path = [] {
        std::filesystem::create_directories(VIREO_BENCH_SCRATCH_DIR);
        const std::string p = std::string(VIREO_BENCH_SCRATCH_DIR) + "/bench_reader_1g.raw";
        if (std::filesystem::exists(p) && std::filesystem::file_size(p) > kTargetBytes) return p;
        std::fprintf(stderr, "generating %s (about 1.1 GB, once)...\n", p.c_str());
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        const std::string header = "% evt 3.0\n% format EVT3; height = 720; width = 1280\n% geometry 1280x720\n"
                                   "% serial_number BENCH\n% end\n";
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
        // A busy sensor: rows of nearby pixels (vectors) and isolated pixels, a few µs
        // apart, about 20 M events per second of recording.
        std::mt19937 rng(2026);
        auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
        vireo::Evt3Encoder encoder;
        std::vector<uint8_t> buffer;
        std::vector<vireo::Event2D> row;
        uint64_t t = 1000;
        uint64_t written = 0;
        while (written < kTargetBytes) {
            buffer.clear();
            encoder.beginBuffer();
            while (buffer.size() < (16u << 20)) {
                t += uni(0, 3);
                row.clear();
                const uint16_t y = static_cast<uint16_t>(uni(0, 719));
                if (uni(0, 3) == 0) {
                    uint32_t x = uni(0, 1200);
                    const uint8_t pol = static_cast<uint8_t>(uni(0, 1));
                    for (uint32_t i = 0, n = uni(2, 24); i < n && x < 1280; ++i, x += uni(1, 2)) row.emplace_back(x, y, pol, t);
                } else {
                    uint32_t x = uni(0, 300);
                    for (uint32_t i = 0, n = uni(1, 4); i < n && x < 1280; ++i, x += uni(20, 300)) row.emplace_back(x, y, uni(0, 1), t);
                }
                encoder.encodeEvents(row, buffer);
            }
            out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
            written += buffer.size();
        }
        return p;
    }();
    return path;
}

std::string indexPathOf(const std::string& raw) { return raw.substr(0, raw.size() - 4) + ".dsmark.tmp"; }

// A reader of the recording with its index built (once) or reloaded.
vireo::RawFileReader& loadedReader() {
    static std::unique_ptr<vireo::RawFileReader> reader = [] {
        auto r = std::make_unique<vireo::RawFileReader>(recordingPath());
        r->loadFile();
        return r;
    }();
    return *reader;
}

void BM_IndexBuild(benchmark::State& state) {
    const std::string& path = recordingPath();
    const auto bytes = std::filesystem::file_size(path);
    for (auto _ : state) {
        std::filesystem::remove(indexPathOf(path));
        vireo::RawFileReader reader(path);
        benchmark::DoNotOptimize(reader.loadFile());
    }
    state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(bytes) / 1e6 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IndexBuild)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_IndexReload(benchmark::State& state) {
    const std::string& path = recordingPath();
    loadedReader();  // leaves the index file in place
    for (auto _ : state) {
        vireo::RawFileReader reader(path);
        benchmark::DoNotOptimize(reader.loadFile());
    }
}
BENCHMARK(BM_IndexReload)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void BM_SeekTime(benchmark::State& state) {
    auto& reader = loadedReader();
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    std::mt19937_64 rng(1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(reader.seekTime(std::uniform_int_distribution<uint64_t>(start, end)(rng)));
    }
}
BENCHMARK(BM_SeekTime)->Unit(benchmark::kMicrosecond)->Iterations(2000)->UseRealTime();

void BM_SeekNEvents(benchmark::State& state) {
    auto& reader = loadedReader();
    uint64_t count = 0;
    reader.getMaxEvents(count);
    std::mt19937_64 rng(2);
    for (auto _ : state) {
        benchmark::DoNotOptimize(reader.seekNEvents(std::uniform_int_distribution<uint64_t>(0, count)(rng)));
    }
}
BENCHMARK(BM_SeekNEvents)->Unit(benchmark::kMicrosecond)->Iterations(2000)->UseRealTime();

// Seeks on a reader whose index was just reloaded: the first seek into each span also
// looks back for the row and vector state in force there.
void BM_SeekNEventsAfterReload(benchmark::State& state) {
    loadedReader();
    vireo::RawFileReader reader(recordingPath());
    reader.loadFile();
    uint64_t count = 0;
    reader.getMaxEvents(count);
    std::mt19937_64 rng(3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(reader.seekNEvents(std::uniform_int_distribution<uint64_t>(0, count)(rng)));
    }
}
BENCHMARK(BM_SeekNEventsAfterReload)->Unit(benchmark::kMicrosecond)->Iterations(2000)->UseRealTime();

// The decoder alone on the same bytes, read in the reader's chunks, events handed to a
// callback that only counts them: the rate the reads are measured against.
void BM_DecoderAlone(benchmark::State& state) {
    const std::string& path = recordingPath();
    auto decoder = vireo::DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
    uint64_t events = 0;
    decoder->setEventsStreamHandleCallback([&events](const vireo::Event2D* first, const vireo::Event2D* last) {
        events += static_cast<uint64_t>(last - first);
    });
    std::vector<uint8_t> chunk(131072);
    for (auto _ : state) {
        decoder->reset();
        std::ifstream in(path, std::ios::binary);
        while (in) {
            in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
            chunk.resize(static_cast<size_t>(in.gcount()));
            if (chunk.empty()) break;
            decoder->decodeBuffer(chunk);
            chunk.resize(131072);
        }
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DecoderAlone)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_GetNEvents(benchmark::State& state) {
    auto& reader = loadedReader();
    const auto chunk = static_cast<uint64_t>(state.range(0));
    uint64_t events = 0;
    for (auto _ : state) {
        reader.seekNEvents(0);
        for (auto run = reader.getNEvents(chunk); !run->empty(); run = reader.getNEvents(chunk)) events += run->size();
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetNEvents)->Arg(100000)->Arg(5000)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

void BM_GetNTimeEvents(benchmark::State& state) {
    auto& reader = loadedReader();
    const auto span = static_cast<uint64_t>(state.range(0));
    uint64_t start = 0, end = 0, events = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    for (auto _ : state) {
        reader.seekTime(start);
        for (uint64_t t = start; t <= end; t += span) events += reader.getNTimeEvents(span)->size();
    }
    state.counters["events_per_s"] = benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GetNTimeEvents)->Arg(10000)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(2)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_ERROR);  // no warning per read at the end
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    recordingPath();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
