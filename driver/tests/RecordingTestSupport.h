// Test support for the RAW file reader: recordings generated deterministically from a seed
// (through the EVT3 encoder, or as a raw word stream whose row and vector state lives on
// across many time steps), the recorder's header, an independent plain decoder that gives
// the events of a sequential decode, a bitwise CRC-8, scratch paths unique per test, and a
// peer that reaches the reader's index for inspection.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <vireo/Evt3Encoder.h>
#include <vireo/RawFileReader.h>
#include <vireo/SharedTypes.h>

#include "../src/FileReader/IndexTable.h"

namespace vireo {

// Reaches the reader's private index for the tests.
struct RawFileReaderTestPeer {
    // Key -> record, and event number -> key of the first record with that many events
    // before it.
    static std::map<uint64_t, RawFileReader::Bookmark> bookmarks(const RawFileReader& r) {
        std::map<uint64_t, RawFileReader::Bookmark> m;
        if (r.table) {
            for (size_t i = 0; i < r.table->size(); ++i) m[r.table->keys[i]] = r.table->records[i];
        }
        return m;
    }
    static std::map<uint64_t, uint64_t> eventIndexMap(const RawFileReader& r) {
        std::map<uint64_t, uint64_t> m;
        if (r.table) {
            for (size_t i = 0; i < r.table->size(); ++i) m.emplace(r.table->events[i], r.table->keys[i]);
        }
        return m;
    }
    static bool byTime(RawFileReader& r, uint64_t t, RawFileReader::Bookmark& b) { return r.getRawFileBookmark(t, b); }
    static bool byEvents(RawFileReader& r, uint64_t n, RawFileReader::Bookmark& b) {
        return r.getRawFileBookmarkByNEvents(n, b);
    }
    static uint8_t crc8(const std::vector<uint8_t>& bytes) { return RawFileReader::crc8(bytes); }
};

namespace test {

// A fresh path under the build's scratch folder, unique to the running test and `name`.
// The test's folder is emptied at its first use in each run, so nothing (an index file
// beside a recording) is left over from an earlier run.
inline std::string scratchPath(const std::string& name) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string test = std::string(info->test_suite_name()) + "." + info->name();
    const std::filesystem::path dir = std::filesystem::path(VIREO_TEST_SCRATCH_DIR) / "raw_reader" / test;
    static std::string lastTest;
    if (lastTest != test) {
        std::filesystem::remove_all(dir);
        lastTest = test;
    }
    std::filesystem::create_directories(dir);
    const std::filesystem::path path = dir / name;
    std::filesystem::remove_all(path);
    return path.string();
}

// The fourteen header lines the recorder wrote before its loss line ("% vireo_lost_buffers"):
// files with this header must read as they always did.
inline std::string recorderHeader(const std::string& serial = "VH0042") {
    return "% camera_integrator_name Vireo\n% date 2026-12-08 12:00:00\n% evt 3.0\n"
           "% format EVT3; height = 720; width = 1280\n% generation 4.2\n% geometry 1280x720\n"
           "% integrator_name Vireo\n% plugin_integrator_name Vireo\n% plugin_name hal_plugin_vireo\n"
           "% sensor_generation 4.2\n% sensor_name IMX646\n% serial_number " + serial +
           "\n% system_ID 53\n% end\n";
}

// The header the recorder writes now: the older one with its loss line (ten digits) before
// "% end". Its size is what a recording's body starts after.
inline std::string recorderHeaderWithLoss(const std::string& serial = "VH0042", const std::string& lost = "0000000000") {
    std::string header = recorderHeader(serial);
    header.insert(header.size() - std::string("% end\n").size(), "% vireo_lost_buffers " + lost + "\n");
    return header;
}

inline void writeFile(const std::string& path, const std::string& header, const std::vector<uint8_t>& body) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(header.data(), static_cast<std::streamsize>(header.size()));
    out.write(reinterpret_cast<const char*>(body.data()), static_cast<std::streamsize>(body.size()));
}

inline std::vector<uint8_t> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// CRC-8, polynomial 0x07, bit by bit.
inline uint8_t referenceCrc8(const std::vector<uint8_t>& bytes) {
    uint8_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// CRC-32 (reflected, polynomial 0xEDB88320, as zlib's), bit by bit.
inline uint32_t referenceCrc32(const uint8_t* bytes, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc ^ 0xFFFFFFFFu;
}

// The bookmark index ("<name>.dsmark.tmp") of the recording "<name>.raw".
inline std::string indexPathOf(const std::string& rawPath) {
    return rawPath.substr(0, rawPath.size() - 4) + ".dsmark.tmp";
}

// The companion ("<name>.dsmark.state") of the recording "<name>.raw".
inline std::string companionPathOf(const std::string& rawPath) {
    return rawPath.substr(0, rawPath.size() - 4) + ".dsmark.state";
}

// The parts of a companion file: magic "VRDSTATE", version, recording size, CRC-32 of
// its index, record count, 5-byte states, CRC-32.
struct CompanionFile {
    static constexpr size_t kHeaderBytes = 32;
    static constexpr size_t kStateBytes = 5;

    // `companion` made over for a recording of `fileSize` bytes whose index file holds
    // `index`, with its states kept and its CRC made good.
    static std::vector<uint8_t> restamped(std::vector<uint8_t> companion, uint64_t fileSize,
                                          const std::vector<uint8_t>& index) {
        auto put = [&](size_t at, uint64_t v, int n) {
            for (int i = 0; i < n; ++i) companion[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
        };
        put(12, fileSize, 8);
        put(20, referenceCrc32(index.data(), index.size()), 4);
        return withGoodCrc(std::move(companion));
    }

    // `companion` with its trailing CRC-32 recomputed over what comes before it.
    static std::vector<uint8_t> withGoodCrc(std::vector<uint8_t> companion) {
        const size_t body = companion.size() - 4;
        const uint32_t crc = referenceCrc32(companion.data(), body);
        for (int i = 0; i < 4; ++i) companion[body + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
        return companion;
    }
};

// The events of a sequential decode of `body` from its first byte, written straight from
// the format description, on a sensor of `width` x `height` (the recorder's): events off it
// are dropped, and vector words past x 2047 have no base. `countBefore`, when given,
// receives for each word the number of events decoded before it (and one more entry: the
// total).
inline std::vector<Event2D> referenceDecode(const std::vector<uint8_t>& body,
                                            std::vector<uint64_t>* countBefore = nullptr,
                                            uint32_t width = 1280, uint32_t height = 720) {
    std::vector<Event2D> events;
    uint64_t offset = 0;
    uint32_t high = 0, low = 0;
    bool timeKnown = false, rowKnown = false, vectorKnown = false;
    uint16_t row = 0, base = 0;
    uint8_t polarity = 0;
    auto time = [&] { return offset + ((uint64_t{high} << 12) | low); };
    for (size_t i = 0; i + 1 < body.size(); i += 2) {
        if (countBefore) countBefore->push_back(events.size());
        const uint16_t w = static_cast<uint16_t>(body[i] | (body[i + 1] << 8));
        const uint16_t p = w & 0xFFF;
        switch (w >> 12) {
            case 0x0: row = p & 0x7FF; rowKnown = true; break;
            case 0x2:
                if (timeKnown && rowKnown && (p & 0x7FF) < width && row < height) {
                    events.emplace_back(p & 0x7FF, row, (p >> 11) & 1, time());
                }
                break;
            case 0x3: base = p & 0x7FF; polarity = (p >> 11) & 1; vectorKnown = true; break;
            case 0x4:
            case 0x5: {
                const int bits = (w >> 12) == 0x4 ? 12 : 8;
                for (int b = 0; b < bits; ++b) {
                    if (((p >> b) & 1) && timeKnown && rowKnown && vectorKnown && base + static_cast<uint32_t>(b) < width &&
                        row < height) {
                        events.emplace_back(static_cast<uint16_t>(base + b), row, polarity, time());
                    }
                }
                base = static_cast<uint16_t>(base + bits);
                if (base > 2047) vectorKnown = false;
                break;
            }
            case 0x6: low = p; break;
            case 0x8:
                if (high > p && high - p > 0x800) offset += uint64_t{1} << 24;
                high = p;
                timeKnown = true;
                break;
            default: break;
        }
    }
    if (countBefore) countBefore->push_back(events.size());
    return events;
}

// A recording written under the scratch folder with the recorder's header, and the events of
// a sequential decode of its body.
struct DecodedRecording {
    std::string path;
    std::vector<Event2D> events;
};

inline DecodedRecording makeDecodedRecording(const std::string& name, const std::vector<uint8_t>& body) {
    DecodedRecording r{scratchPath(name), referenceDecode(body)};
    writeFile(r.path, recorderHeader(), body);
    return r;
}

// Index of the first event at or after `t` (the events are in time order).
inline size_t firstAtOrAfter(const std::vector<Event2D>& events, uint64_t t) {
    return static_cast<size_t>(std::lower_bound(events.begin(), events.end(), t,
                                                 [](const Event2D& e, uint64_t v) { return e.timestamp < v; }) -
                               events.begin());
}

// The reader's start time, end time and event count.
inline uint64_t startOf(RawFileReader& r) { uint64_t v = 0; r.getStartTimeStamp(v); return v; }
inline uint64_t endOf(RawFileReader& r) { uint64_t v = 0; r.getEndTimeStamp(v); return v; }
inline uint64_t countOf(RawFileReader& r) { uint64_t v = 0; r.getMaxEvents(v); return v; }

// A recording body as a camera sends it, through the encoder: busy rows (vectors), isolated
// pixels, trigger edges, quiet gaps of many milliseconds, transfer buffers cut after a
// random number of words, starting at `start_us` (pick one near 2^24 to cross the rollover).
inline std::vector<uint8_t> encodedBody(uint32_t seed, size_t groups, uint64_t start_us) {
    std::mt19937 rng(seed);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    uint64_t t = start_us;
    uint64_t nextCut = uni(1, 4000);
    for (size_t g = 0; g < groups; ++g) {
        switch (uni(0, 19)) {
            case 0: t += uni(3000, 9000); break;  // a quiet gap: several bookmarks at once
            case 1: case 2: case 3: case 4: case 5: t += uni(20, 400); break;
            default: break;
        }
        if (out.size() / 2 >= nextCut) {
            encoder.beginBuffer();
            nextCut = out.size() / 2 + uni(1, 4000);
        }
        const uint32_t kind = uni(0, 9);
        if (kind == 0) {
            encoder.encodeTrigger(EventTriggerIn(static_cast<int16_t>(uni(0, 3)), static_cast<int16_t>(uni(0, 1)), t), out);
            continue;
        }
        std::vector<Event2D> row;
        const uint16_t y = static_cast<uint16_t>(uni(0, 719));
        if (kind <= 4) {
            const uint8_t pol = static_cast<uint8_t>(uni(0, 1));
            uint32_t x = uni(0, 1200);
            const uint32_t len = uni(1, 40);
            for (uint32_t i = 0; i < len && x <= 1279; ++i, x += uni(1, 2)) row.emplace_back(x, y, pol, t);
        } else {
            uint32_t x = uni(0, 600);
            for (uint32_t i = 0, n = uni(1, 5); i < n && x <= 1279; ++i, x += uni(5, 200)) row.emplace_back(x, y, uni(0, 1), t);
        }
        encoder.encodeEvents(row, out);
    }
    // The recording ends with events, so that its end time is an event's time.
    const std::vector<Event2D> last{{10, 20, 1, t + 5}, {11, 20, 1, t + 5}, {500, 30, 0, t + 5}};
    encoder.encodeEvents(last, out);
    return out;
}

// Appends one EVT3 word, little-endian: `type` in the top four bits, the low 12 bits of
// `payload` below.
inline void appendWord(std::vector<uint8_t>& out, uint32_t type, uint32_t payload) {
    const uint16_t w = static_cast<uint16_t>((type << 12) | (payload & 0xFFF));
    out.push_back(static_cast<uint8_t>(w & 0xFF));
    out.push_back(static_cast<uint8_t>(w >> 8));
}

// The little-endian bytes of whole EVT3 words.
inline std::vector<uint8_t> wordBytes(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> out;
    for (const uint16_t w : words) appendWord(out, w >> 12u, w);
    return out;
}

// A raw word stream in which the row and the vector base live on across many time steps
// and bookmarks: ADDR_Y and VECT_BASE_X words are rare, pixel and vector words run on from
// them between TIME_LOW and TIME_HIGH words, with OTHERS/CONTINUED words and trigger edges
// mixed in. Time starts at `start_us` and only moves forward.
inline std::vector<uint8_t> wordSoupBody(uint32_t seed, size_t words, uint64_t start_us) {
    std::mt19937 rng(seed);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    std::vector<uint8_t> out;
    auto put = [&out](uint32_t type, uint32_t payload) { test::appendWord(out, type, payload); };
    uint64_t t = start_us;
    put(0x8, static_cast<uint32_t>(t >> 12));
    put(0x6, static_cast<uint32_t>(t));
    put(0x0, uni(0, 719));
    put(0x3, uni(0, 600) | (uni(0, 1) << 11));
    while (out.size() / 2 < words) {
        const uint32_t r = uni(0, 999);
        if (r < 30) {
            const uint64_t next = t + uni(1, 700);
            if ((next >> 12) != (t >> 12)) put(0x8, static_cast<uint32_t>(next >> 12));
            t = next;
            put(0x6, static_cast<uint32_t>(t));
        } else if (r < 33) {
            put(0x0, uni(0, 719));
        } else if (r < 36) {
            put(0x3, uni(0, 1200) | (uni(0, 1) << 11));
        } else if (r < 40) {
            put(0xE, uni(0, 0xFFF));
            put(0xF, uni(0, 0xFFF));
        } else if (r < 42) {
            put(0xA, uni(0, 1) | (uni(0, 3) << 8));
        } else if (r < 600) {
            put(0x2, uni(0, 1279) | (uni(0, 1) << 11));
        } else if (r < 800) {
            put(0x4, uni(0, 0xFFF));
        } else {
            put(0x5, uni(0, 0xFF));
        }
    }
    return out;
}

}  // namespace test
}  // namespace vireo
