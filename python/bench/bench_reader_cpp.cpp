// The C++ side of the Python reader benchmark: makes the benchmark's recording when asked,
// and reads a recording whole with RawFileReader in reads of a given size, by count or by
// duration, printing the events read and the events per second of the best of a few runs.
//
//   bench_python_reader make <path> <megabytes>
//   bench_python_reader count <path> <events per read> [runs]
//   bench_python_reader duration <path> <µs per read> [runs]
#include "BenchRecordings.h"

#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s make|count|duration <path> <size> [runs]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const std::string path = argv[2];
    const uint64_t size = std::strtoull(argv[3], nullptr, 10);
    const int runs = argc > 4 ? std::atoi(argv[4]) : 3;
    if (mode == "make") {
        bench::writeBusyRecording(path, size << 20);
        return 0;
    }
    if (size == 0 || (mode != "count" && mode != "duration")) {
        std::fprintf(stderr, "unknown mode or size 0\n");
        return 2;
    }
    vireo::Logger::Instance().setLogLevel(vireo::LOG_ERROR);
    vireo::RawFileReader reader(path);
    if (!reader.loadFile()) {
        std::fprintf(stderr, "cannot load %s\n", path.c_str());
        return 1;
    }
    uint64_t start = 0, end = 0;
    reader.getStartTimeStamp(start);
    reader.getEndTimeStamp(end);
    double best = 1e30;
    uint64_t events = 0;
    uint64_t checksum = 0;
    for (int run = 0; run < runs; ++run) {
        events = 0;
        const auto begin = std::chrono::steady_clock::now();
        if (mode == "count") {
            reader.seekNEvents(0);
            for (;;) {
                auto got = reader.getNEvents(size);
                if (got->empty()) break;
                events += got->size();
                checksum += got->back().timestamp;
            }
        } else {
            reader.seekTime(start);
            while (!reader.reachedEndOfEvents()) {
                auto got = reader.getNTimeEvents(size);
                events += got->size();
                if (!got->empty()) checksum += got->back().timestamp;
            }
        }
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
    }
    std::printf("%llu %.6f %llu\n", static_cast<unsigned long long>(events), best,
                static_cast<unsigned long long>(checksum % 1000));
    return 0;
}
