// Recordings the reader benchmarks generate once, from a seed, in the build's bench-scratch
// folder and keep for later runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <vireo/Evt3Encoder.h>

namespace bench {

// Writes a RAW file of about `bytes` bytes of EVT3 words for a 1280 x 720 sensor, from the
// groups of events that `nextGroup` appends (time-ordered, one call per time).
template <class NextGroup>
void writeStream(const std::string& path, uint64_t bytes, NextGroup&& nextGroup) {
    std::fprintf(stderr, "generating %s (about %llu MB, once)...\n", path.c_str(),
                 static_cast<unsigned long long>(bytes >> 20));
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string header = "% evt 3.0\n% format EVT3;height=720;width=1280\n% geometry 1280x720\n% end\n";
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    vireo::Evt3Encoder encoder;
    std::vector<uint8_t> buffer;
    std::vector<vireo::Event2D> group;
    uint64_t written = 0;
    while (written < bytes) {
        buffer.clear();
        encoder.beginBuffer();
        while (buffer.size() < (16u << 20)) {
            group.clear();
            nextGroup(group);
            encoder.encodeEvents(group, buffer);
        }
        out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
        written += buffer.size();
    }
}

// The file `name` of the scratch folder, made by `make(path)` unless it is there with more
// than `bytes` bytes already.
template <class Make>
std::string keptRecording(const std::string& name, uint64_t bytes, Make&& make) {
    const std::string path = std::string(VIREO_BENCH_SCRATCH_DIR) + "/" + name;
    if (!std::filesystem::exists(path) || std::filesystem::file_size(path) <= bytes) make(path);
    return path;
}

inline constexpr uint64_t kLargeRecordingBytes = 1100ull << 20;  // 1.1 GiB of EVT3 words

// Writes about `bytes` bytes of a busy sensor to `path`: rows of nearby pixels (vector words)
// and isolated pixels, a few µs apart, about 20 M events per second of recording. The same
// bytes for the same size on every run.
inline void writeBusyRecording(const std::string& path, uint64_t bytes) {
    std::mt19937 rng(2026);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    uint64_t t = 1000;
    writeStream(path, bytes, [&](std::vector<vireo::Event2D>& row) {
        t += uni(0, 3);
        const uint16_t y = static_cast<uint16_t>(uni(0, 719));
        if (uni(0, 3) == 0) {
            uint32_t x = uni(0, 1200);
            const uint8_t pol = static_cast<uint8_t>(uni(0, 1));
            for (uint32_t i = 0, n = uni(2, 24); i < n && x < 1280; ++i, x += uni(1, 2)) row.emplace_back(x, y, pol, t);
        } else {
            uint32_t x = uni(0, 300);
            for (uint32_t i = 0, n = uni(1, 4); i < n && x < 1280; ++i, x += uni(20, 300)) {
                row.emplace_back(x, y, uni(0, 1), t);
            }
        }
    });
}

// The busy sensor's recording of 1.1 GB, kept in the scratch folder.
inline const std::string& busyRecordingPath() {
    static const std::string path = keptRecording("bench_reader_1g.raw", kLargeRecordingBytes, [](const std::string& p) {
        writeBusyRecording(p, kLargeRecordingBytes + 1);
    });
    return path;
}

}  // namespace bench
