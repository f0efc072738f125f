// The RAW file reader's index on two generated recordings of 1.1 GB (made once, from a seed,
// in the build's bench-scratch folder, and kept for later runs):
//   mixed      busy rows (vector words) and isolated pixels, about 20 M events/s (the
//              reader benchmark's busy recording);
//   no_vectors isolated pixels only, a new row for each and a new time every event or two,
//              the stream whose row and vector state no nearby word gives back.
// Figures: index build rate (GB/s, from the page cache); reopening with the index files in
// place (load time) and the first seek after it, by event number and by time, near the end
// of the recording, then later seeks at random; each warm (page cache) and cold (the files
// dropped from the page cache with posix_fadvise first, where the kernel allows); and the
// heap an opened recording holds per bookmark.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <vireo/Evt3Encoder.h>
#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

#include "BenchRecordings.h"

namespace {

enum Stream { kMixed = 0, kNoVectors = 1 };
const char* const kStreamNames[] = {"mixed", "no_vectors"};

std::string stem(const std::string& raw) { return raw.substr(0, raw.size() - 4); }

const std::string& recordingPath(Stream stream) {
    if (stream == kMixed) return bench::busyRecordingPath();
    static const std::string noVectors =
        bench::keptRecording("bench_index_no_vectors.raw", bench::kLargeRecordingBytes, [](const std::string& p) {
            std::mt19937 rng(2028);
            auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
            uint64_t t = 1000;
            bench::writeStream(p, bench::kLargeRecordingBytes + 1, [&](std::vector<vireo::Event2D>& row) {
                t += uni(0, 1);
                row.emplace_back(static_cast<uint16_t>(uni(0, 1279)), static_cast<uint16_t>(uni(0, 719)),
                                 static_cast<uint8_t>(uni(0, 1)), t);
            });
        });
    return noVectors;
}

void removeIndexFiles(const std::string& raw) {
    std::filesystem::remove(stem(raw) + ".dsmark.tmp");
    std::filesystem::remove(stem(raw) + ".dsmark.state");
}

// Asks the kernel to drop the file's pages from the page cache (they are clean).
void dropFromPageCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

// Reads the file through, so that it stands in the page cache.
void warmPageCache(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(8 << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    }
}

// Makes sure the index files are there (one build).
void ensureIndexed(const std::string& raw) {
    vireo::RawFileReader reader(raw);
    reader.loadFile();
}

double microsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
}

void BM_IndexBuild(benchmark::State& state) {
    const std::string& path = recordingPath(static_cast<Stream>(state.range(0)));
    const auto bytes = std::filesystem::file_size(path);
    for (auto _ : state) {
        state.PauseTiming();
        removeIndexFiles(path);
        state.ResumeTiming();
        vireo::RawFileReader reader(path);
        benchmark::DoNotOptimize(reader.loadFile());
    }
    state.SetLabel(kStreamNames[state.range(0)]);
    state.counters["GB_per_s"] = benchmark::Counter(static_cast<double>(bytes) / 1e9 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IndexBuild)->Arg(kMixed)->Arg(kNoVectors)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// Reopens the recording with its index files in place, then seeks near its end: the time of
// the whole iteration is the load plus the first seek; the counters split them, and give the
// mean of later random seeks. range(0): stream; range(1): 1 to drop the files from the page
// cache first; range(2): 0 seek by event number, 1 by time.
void BM_ReopenAndSeek(benchmark::State& state) {
    const auto stream = static_cast<Stream>(state.range(0));
    const bool cold = state.range(1) != 0;
    const bool byTime = state.range(2) != 0;
    const std::string& path = recordingPath(stream);
    ensureIndexed(path);
    if (!cold) warmPageCache(path);  // an earlier cold run may have dropped it
    std::mt19937_64 rng(7);
    double loadUs = 0;
    double firstUs = 0;
    double laterUs = 0;
    uint64_t laterCount = 0;
    bool reloaded = true;
    for (auto _ : state) {
        state.PauseTiming();
        if (cold) {
            for (const std::string& f : {path, stem(path) + ".dsmark.tmp", stem(path) + ".dsmark.state"}) {
                dropFromPageCache(f);
            }
        }
        state.ResumeTiming();
        auto start = std::chrono::steady_clock::now();
        vireo::RawFileReader reader(path);
        reader.loadFile();
        loadUs += microsSince(start);
        reloaded = reloaded && reader.isIndexReloaded();
        uint64_t count = 0, first = 0, last = 0;
        reader.getMaxEvents(count);
        reader.getStartTimeStamp(first);
        reader.getEndTimeStamp(last);
        start = std::chrono::steady_clock::now();
        if (byTime) {
            reader.seekTime(last - (last - first) / 1000);
        } else {
            reader.seekNEvents(count - count / 1000);
        }
        firstUs += microsSince(start);
        state.PauseTiming();
        for (int i = 0; i < 200; ++i) {
            start = std::chrono::steady_clock::now();
            if (byTime) {
                reader.seekTime(std::uniform_int_distribution<uint64_t>(first, last)(rng));
            } else {
                reader.seekNEvents(std::uniform_int_distribution<uint64_t>(0, count)(rng));
            }
            laterUs += microsSince(start);
            ++laterCount;
        }
        state.ResumeTiming();
    }
    const auto n = static_cast<double>(state.iterations());
    state.SetLabel(std::string(kStreamNames[stream]) + (cold ? " cold" : " warm") + (byTime ? " seekTime" : " seekNEvents") +
                   (reloaded ? "" : " (INDEX NOT RELOADED)"));
    state.counters["load_ms"] = loadUs / n / 1000;
    state.counters["first_seek_us"] = firstUs / n;
    state.counters["later_seek_us"] = laterUs / static_cast<double>(laterCount);
}
BENCHMARK(BM_ReopenAndSeek)
    ->ArgsProduct({{kMixed, kNoVectors}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// The heap an opened recording holds: allocated bytes after loadFile less those before, per
// bookmark and in all (the index files in place).
void BM_OpenedRecordingMemory(benchmark::State& state) {
    const auto stream = static_cast<Stream>(state.range(0));
    const std::string& path = recordingPath(stream);
    ensureIndexed(path);
    const uint64_t indexBytes = std::filesystem::file_size(stem(path) + ".dsmark.tmp");
    double held = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        auto reader = std::make_unique<vireo::RawFileReader>(path);
        reader->loadFile();
        held = static_cast<double>(mallinfo2().uordblks) - static_cast<double>(before);
        benchmark::DoNotOptimize(reader);
    }
    // The index file: three text lines, a separator, a count and 29 bytes per record.
    const double bookmarks = static_cast<double>(indexBytes) / 29.0;
    state.SetLabel(kStreamNames[stream]);
    state.counters["bookmarks"] = bookmarks;
    state.counters["heap_MB"] = held / 1e6;
    state.counters["bytes_per_bookmark"] = held / bookmarks;
}
BENCHMARK(BM_OpenedRecordingMemory)->Arg(kMixed)->Arg(kNoVectors)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
    vireo::Logger::Instance().setLogLevel(vireo::LOG_ERROR);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
