// RAW file reader benchmarks on a generated recording of 1.1 GB (made once, from a seed,
// in the build's bench-scratch folder, and kept for later runs): index build rate (MB/s)
// and reload time, latency of seeks by time and by event number (with a built and with a
// reloaded index); the event rate of count and duration reads next to the rate of the
// decoder alone on the same bytes, on that recording and on three smaller generated
// streams of other kinds (sparse, random pixels, a moving edge of vectors); and streaming
// with read-ahead off and on for a caller that works on each batch. The figures are read
// from the page cache: the first run after generation warms it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
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

#include "BenchRecordings.h"

namespace {

const std::string& recordingPath() { return bench::busyRecordingPath(); }

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

// Seeks on a reader whose index was just reloaded (with the row and vector state at each
// bookmark from the companion file).
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

// ---- Streaming: count and duration reads next to the decoder alone ----
//
// Four kinds of stream, each a RAW file made once in the scratch folder:
//   busy    the 1.1 GB recording above (rows of nearby pixels and isolated ones, ~20 M ev/s);
//   sparse  isolated events, each on a row of its own, a new time every one or two events;
//   random  pixels firing independently and uniformly over the sensor at about 1 M ev/s,
//           grouped per microsecond in readout order (like the simulated camera's Random scene);
//   edge    an edge moving 20 columns a microsecond, read out row by row (mostly vectors).
// Each iteration decodes the file's data with the decoder alone (read in 128 KiB pieces,
// events handed to a callback that only counts them) and then streams it with the reader
// from the start to the end, both timed by the CPU time of the calling thread (the machine
// is shared: wall time moves with the load of others). "share_of_decoder" is the reader's
// best event rate over the decoder's best.
enum StreamKind { kBusy, kSparse, kRandom, kEdge };
const char* const kStreamNames[] = {"busy", "sparse", "random", "edge"};
constexpr uint64_t kSmallStreamBytes = 160ull << 20;

const std::string& streamPath(int kind) {
    static std::string paths[4];
    if (!paths[kind].empty()) return paths[kind];
    if (kind == kBusy) return paths[kind] = recordingPath();
    const std::string p = std::string(VIREO_BENCH_SCRATCH_DIR) + "/bench_reader_" + kStreamNames[kind] + ".raw";
    std::filesystem::create_directories(VIREO_BENCH_SCRATCH_DIR);
    if (!std::filesystem::exists(p) || std::filesystem::file_size(p) < kSmallStreamBytes) {
        std::mt19937_64 rng(static_cast<uint64_t>(kind) * 7919);
        uint64_t t = 1000;
        if (kind == kSparse) {
            bench::writeStream(p, kSmallStreamBytes, [&](std::vector<vireo::Event2D>& group) {
                t += 1 + rng() % 3;
                uint16_t y = static_cast<uint16_t>(rng() % 360);
                for (int i = 0, n = 1 + static_cast<int>(rng() % 2); i < n; ++i, y = static_cast<uint16_t>(y + 1 + rng() % 359)) {
                    group.emplace_back(static_cast<uint16_t>(rng() % 1280), y, static_cast<uint8_t>(rng() & 1), t);
                }
            });
        } else if (kind == kRandom) {
            // Poisson arrivals at 1 M ev/s: the events of one microsecond, sorted by row and column.
            std::exponential_distribution<double> gap(1.0);
            double next = 1000;
            bench::writeStream(p, kSmallStreamBytes, [&](std::vector<vireo::Event2D>& group) {
                t = static_cast<uint64_t>(next);
                while (static_cast<uint64_t>(next) == t) {
                    const uint64_t r = rng();
                    group.emplace_back(static_cast<uint16_t>(((r & 0xFFFFFFFFu) * 1280) >> 32),
                                       static_cast<uint16_t>((((r >> 32) & 0x7FFFFFFFu) * 720) >> 31),
                                       static_cast<uint8_t>(r >> 63), t);
                    next += gap(rng);
                }
                std::sort(group.begin(), group.end(), [](const vireo::Event2D& a, const vireo::Event2D& b) {
                    return a.y != b.y ? a.y < b.y : a.x < b.x;
                });
            });
        } else {
            uint16_t column = 0;
            bench::writeStream(p, kSmallStreamBytes, [&](std::vector<vireo::Event2D>& group) {
                ++t;
                for (uint16_t y = 0; y < 720; ++y) {
                    for (uint16_t c = 0; c < 20; ++c) group.emplace_back(static_cast<uint16_t>(column + c), y, 1, t);
                }
                column = static_cast<uint16_t>((column + 20) % 1280);
            });
        }
    }
    return paths[kind] = p;
}

vireo::RawFileReader& streamReader(int kind) {
    static std::unique_ptr<vireo::RawFileReader> readers[4];
    if (!readers[kind]) {
        readers[kind] = std::make_unique<vireo::RawFileReader>(streamPath(kind));
        readers[kind]->loadFile();
    }
    return *readers[kind];
}

double threadSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Events and thread CPU seconds of one pass.
struct Pass {
    uint64_t events = 0;
    double seconds = 0;
};

// The decoder alone on the file's data, read in 128 KiB pieces.
Pass decoderPass(int kind) {
    const auto& reader = streamReader(kind);
    auto decoder = vireo::DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
    Pass pass;
    decoder->setEventsStreamHandleCallback([&pass](const vireo::Event2D* first, const vireo::Event2D* last) {
        pass.events += static_cast<uint64_t>(last - first);
    });
    std::vector<uint8_t> chunk(131072);
    const double begin = threadSeconds();
    std::ifstream in(streamPath(kind), std::ios::binary);
    in.seekg(static_cast<std::streamoff>(reader.getHeaderSize()));
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        chunk.resize(static_cast<size_t>(in.gcount()));
        if (chunk.empty()) break;
        decoder->decodeBuffer(chunk);
        chunk.resize(131072);
    }
    pass.seconds = threadSeconds() - begin;
    return pass;
}

// The duration that holds about `events` events at the stream's mean rate.
uint64_t spanFor(vireo::RawFileReader& reader, uint64_t events) {
    uint64_t start = 0, end = 0, count = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    reader.getMaxEvents(count);
    const double perUs = static_cast<double>(count) / static_cast<double>(std::max<uint64_t>(1, end - start));
    return std::max<uint64_t>(1, static_cast<uint64_t>(static_cast<double>(events) / perUs));
}

Pass readerPass(int kind, bool byCount, uint64_t size) {
    auto& reader = streamReader(kind);
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    const uint64_t span = byCount ? 0 : spanFor(reader, size);
    Pass pass;
    const double begin = threadSeconds();
    if (byCount) {
        reader.seekNEvents(0);
        for (auto run = reader.getNEvents(size); !run->empty(); run = reader.getNEvents(size)) pass.events += run->size();
    } else {
        reader.seekTime(start);
        for (uint64_t t = start; t <= end; t += span) pass.events += reader.getNTimeEvents(span)->size();
    }
    pass.seconds = threadSeconds() - begin;
    return pass;
}

// Args: stream kind, 0 for getNEvents or 1 for getNTimeEvents, events per read (for a
// duration read: the span that holds that many at the stream's mean rate).
void BM_Stream(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const bool byCount = state.range(1) == 0;
    const auto size = static_cast<uint64_t>(state.range(2));
    state.SetLabel(std::string(kStreamNames[kind]) + (byCount ? " getNEvents" : " getNTimeEvents"));
    // The fastest pass of each kind: other processes on the machine only slow passes down.
    double decoderRate = 0, readerRate = 0;
    for (auto _ : state) {
        const Pass d = decoderPass(kind);
        const Pass r = readerPass(kind, byCount, size);
        decoderRate = std::max(decoderRate, static_cast<double>(d.events) / d.seconds);
        readerRate = std::max(readerRate, static_cast<double>(r.events) / r.seconds);
        state.SetIterationTime(r.seconds);
    }
    state.counters["decoder_Mev_per_s"] = decoderRate / 1e6;
    state.counters["reader_Mev_per_s"] = readerRate / 1e6;
    state.counters["share_of_decoder"] = readerRate / decoderRate;
}
BENCHMARK(BM_Stream)
    ->ArgNames({"stream", "byTime", "events"})
    ->ArgsProduct({{kBusy, kSparse, kRandom, kEdge}, {0, 1}, {100000, 5000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseManualTime();

// ---- Read-ahead ----
//
// A caller that works on each batch: getNEvents(5000) over the first 2^27 events of the busy
// recording, and per event `rounds` multiply-adds in one chain through all events (about
// 1.2 ns each here: a cost per event that cannot overlap the next event's), with
// read-ahead off and on. Wall time: the point of read-ahead is that decoding the next piece
// overlaps the caller's work, on a second core when one is free.
uint64_t simulatedWork(const std::vector<vireo::Event2D>& events, int rounds) {
    uint64_t sum = 0;
    for (const vireo::Event2D& e : events) {
        sum ^= e.timestamp ^ (uint64_t{e.x} << 16 | e.y);
        for (int r = 0; r < rounds; ++r) sum = sum * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(r);
    }
    return sum;
}

void BM_ReadAhead(benchmark::State& state) {
    const bool ahead = state.range(0) != 0;
    const int rounds = static_cast<int>(state.range(1));
    auto& reader = streamReader(kBusy);
    uint64_t count = 0;
    reader.getMaxEvents(count);
    const uint64_t limit = std::min<uint64_t>(count, 1ull << 27);
    state.SetLabel(std::string("read-ahead ") + (ahead ? "on" : "off"));
    reader.setReadAhead(ahead);
    uint64_t events = 0;
    for (auto _ : state) {
        reader.seekNEvents(0);
        uint64_t sum = 0;
        while (reader.getCurrentPosEventNum() < limit) {
            const auto run = reader.getNEvents(5000);
            if (run->empty()) break;
            sum += simulatedWork(*run, rounds);
            events += run->size();
        }
        benchmark::DoNotOptimize(sum);
    }
    reader.setReadAhead(false);
    state.counters["Mev_per_s"] = benchmark::Counter(static_cast<double>(events) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadAhead)
    ->ArgNames({"ahead", "rounds"})
    ->ArgsProduct({{0, 1}, {0, 2, 8}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

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
