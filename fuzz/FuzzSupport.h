// Helpers shared by the fuzz targets: one scratch path per process for inputs that the kit
// only reads from files, a small deterministic recording, and a way to stop on a broken
// promise so that the fuzzer reports it as a crash.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <vireo/Evt3Encoder.h>
#include <vireo/Logger.h>
#include <vireo/SharedTypes.h>

namespace vireo::fuzz {

[[noreturn]] inline void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) violated(what);
}

inline const std::string& scratchFolder();

inline void removeScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(scratchFolder(), ignored);
}

// A folder of this process's own, in /dev/shm when there is one (no disk traffic), else in
// the temporary folder; created on first use, reused for every input and removed when the
// fuzzer exits normally (a crash leaves it for a look).
inline const std::string& scratchFolder() {
    // Never destroyed: the exit handler that removes the folder runs after static destructors.
    static const std::string& folder = *new std::string([] {
        std::error_code ignored;
        std::filesystem::path base =
            std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm" : std::filesystem::temp_directory_path();
        std::filesystem::path path = base / ("vireo-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path);
        std::atexit(removeScratchFolder);
        return path.string();
    }());
    return folder;
}

// `name` inside the scratch folder.
inline std::string scratchFile(const std::string& name) { return scratchFolder() + "/" + name; }

inline void writeBytes(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) violated("cannot write the scratch file");
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    writeBytes(path, bytes.data(), bytes.size());
}

inline void removeFile(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
}

// CRC-8 (polynomial 0x07) and CRC-32 (reflected, polynomial 0xEDB88320, as zlib's), bit
// by bit: the checks of the bookmark index and its companion, so that a target can make a
// mutated file's checksums good and reach the checks behind them.
inline uint8_t crc8(const uint8_t* bytes, size_t size) {
    uint8_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

inline uint32_t crc32(const uint8_t* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

// Only failures that would stop a user's program are worth printing while fuzzing.
inline void quietLogs() { Logger::Instance().setLogLevel(LOG_CRITICAL); }

// The recorder's header for a 1280 x 720 sensor.
inline std::string recordingHeader() {
    return "% camera_integrator_name Vireo\n% evt 3.0\n% format EVT3; height = 720; width = 1280\n"
           "% geometry 1280x720\n% serial_number FUZZ01\n% end\n";
}

// A small recording: rows of pixels and vectors, trigger edges and quiet gaps over several
// bookmark periods, starting just before the 2^24 µs rollover so that it crosses it.
inline std::vector<uint8_t> smallRecording() {
    const std::string header = recordingHeader();
    std::vector<uint8_t> out(header.begin(), header.end());
    Evt3Encoder encoder;
    uint64_t t = (uint64_t{1} << 24) - 9000;
    uint32_t state = 12345;
    auto next = [&state](uint32_t range) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % range;
    };
    for (int group = 0; group < 400; ++group) {
        t += next(8) == 0 ? 1500 + next(3000) : next(60);
        if (next(10) == 0) {
            encoder.encodeTrigger(EventTriggerIn(static_cast<int16_t>(next(4)), static_cast<int16_t>(next(2)), t), out);
            continue;
        }
        std::vector<Event2D> row;
        const auto y = static_cast<uint16_t>(next(720));
        uint32_t x = next(1200);
        const uint32_t length = 1 + next(30);
        const auto polarity = static_cast<uint8_t>(next(2));
        for (uint32_t i = 0; i < length && x < 1280; ++i, x += 1 + next(2)) row.emplace_back(x, y, polarity, t);
        encoder.encodeEvents(row, out);
    }
    return out;
}

}  // namespace vireo::fuzz
