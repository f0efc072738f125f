// Test support for the EVT3 codec: a plain reference decoder written straight from the
// format description (one switch per word, nothing clever), deterministic generators of
// event streams from a seed, a collector of what a decoder delivers, and the loader of the
// real recording.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include <vireo/hal.h>

namespace vireo::testing {

// One item of a decoded stream: an event or a trigger edge, in stream order.
using Item = std::variant<Event2D, EventTriggerIn>;

// The reference decoder: the format description turned into code as directly as possible,
// with the sensor geometry as a plain test per event: an event at x >= width or y >= height
// is dropped and counted. A vector base carried past x 2047 is no base any more.
struct ReferenceDecoder {
    uint32_t width = 2048, height = 2048;
    uint64_t offset = 0;
    uint32_t high = 0, low = 0;
    bool timeKnown = false, rowKnown = false, vectorKnown = false;
    uint16_t row = 0, base = 0;
    uint8_t vectorPolarity = 0;
    std::vector<Item> items;
    uint64_t dropped = 0;

    uint64_t time() const { return offset + ((uint64_t{high} << 12) | low); }

    void event(uint32_t x, uint8_t polarity) {
        if (x < width && row < height) {
            items.emplace_back(Event2D(static_cast<uint16_t>(x), row, polarity, time()));
        } else {
            ++dropped;
        }
    }

    void word(uint16_t w) {
        const uint16_t p = w & 0xFFF;
        switch (w >> 12) {
            case 0x0: row = p & 0x7FF; rowKnown = true; break;
            case 0x2:
                if (timeKnown && rowKnown) event(p & 0x7FF, (p >> 11) & 1);
                break;
            case 0x3: base = p & 0x7FF; vectorPolarity = (p >> 11) & 1; vectorKnown = true; break;
            case 0x4:
            case 0x5: {
                if (!vectorKnown) break;
                const int bits = (w >> 12) == 0x4 ? 12 : 8;
                for (int i = 0; i < bits; ++i) {
                    if (((p >> i) & 1) && timeKnown && rowKnown) event(base + static_cast<uint32_t>(i), vectorPolarity);
                }
                base = static_cast<uint16_t>(base + bits);
                if (base > 2047) {
                    base = 0;
                    vectorKnown = false;
                }
                break;
            }
            case 0x6: low = p; break;
            case 0x8:
                if (high > p && high - p > 0x800) offset += uint64_t{1} << 24;
                high = p;
                timeKnown = true;
                break;
            case 0xA:
                if (timeKnown) items.emplace_back(EventTriggerIn((p >> 8) & 0xF, p & 1, time()));
                break;
            default: break;
        }
    }
    void bytes(const std::vector<uint8_t>& data) {
        for (size_t i = 0; i + 1 < data.size(); i += 2) word(static_cast<uint16_t>(data[i] | (data[i + 1] << 8)));
    }
};

// Collects what a decoder delivers, checking the range rules on the way.
struct Collector {
    std::vector<Item> items;
    std::vector<Event2D> events;
    size_t ranges = 0;
    bool sawEmptyRange = false;

    void attach(Decoder& d) {
        d.setEventsStreamHandleCallback([this](const Event2D* first, const Event2D* last) {
            ++ranges;
            if (first == last) sawEmptyRange = true;
            for (const Event2D* e = first; e != last; ++e) {
                items.emplace_back(*e);
                events.push_back(*e);
            }
        });
        d.setTriggerInCallback([this](EventTriggerIn t) { items.emplace_back(t); });
    }
};

inline std::vector<Event2D> eventsOf(const std::vector<Item>& items) {
    std::vector<Event2D> out;
    for (const Item& i : items)
        if (const auto* e = std::get_if<Event2D>(&i)) out.push_back(*e);
    return out;
}

// A random time-ordered stream of events and trigger edges with everything the encoder must
// handle: dense runs (vectors of both lengths, odd tails), isolated pixels, both polarities
// mixed in one row, repeated pixels, several rows at one time, gaps of many TIME_HIGH
// periods and, when `start` is close to 2^24, the rollover of the wire time.
inline std::vector<Item> randomItems(uint32_t seed, size_t groups, uint64_t start) {
    std::mt19937 rng(seed);
    auto uni = [&rng](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
    std::vector<Item> items;
    uint64_t t = start;
    for (size_t g = 0; g < groups; ++g) {
        switch (uni(0, 9)) {
            case 0: t += uni(4000, 20000); break;  // crosses one or more TIME_HIGH steps
            case 1: case 2: case 3: t += uni(1, 40); break;
            default: break;                        // same time, another row
        }
        const uint16_t y = static_cast<uint16_t>(uni(0, 719));
        const uint32_t kind = uni(0, 5);
        if (kind == 0) {
            items.emplace_back(EventTriggerIn(static_cast<int16_t>(uni(0, 15)), static_cast<int16_t>(uni(0, 1)), t));
            continue;
        }
        std::vector<Event2D> row;
        if (kind <= 2) {
            // A dense run of one polarity, odd length, holes inside.
            const uint8_t pol = static_cast<uint8_t>(uni(0, 1));
            uint32_t x = uni(0, 1200);
            const uint32_t len = uni(1, 60);
            for (uint32_t i = 0; i < len && x <= 1279; ++i, x += uni(1, 3)) row.emplace_back(x, y, pol, t);
        } else if (kind == 3) {
            // Isolated pixels, sometimes repeated, in any order and polarity.
            const uint32_t count = uni(1, 6);
            for (uint32_t i = 0; i < count; ++i) row.emplace_back(uni(0, 1279), y, uni(0, 1), t);
            if (uni(0, 3) == 0) row.push_back(row.front());
        } else {
            // Two interleaved runs of opposite polarity, plus sparse gaps wider than a vector.
            uint32_t x = uni(0, 1000);
            for (uint32_t i = 0; i < uni(2, 30) && x <= 1279; ++i, x += uni(1, 30)) {
                row.emplace_back(x, y, uni(0, 1), t);
            }
        }
        for (const Event2D& e : row) items.emplace_back(e);
    }
    return items;
}

// Random raw words of every type, with whatever x, y and masks they happen to carry: rows
// and columns far outside a 1280 x 720 sensor, vector runs across x 2047, and everything a
// decoder must pass over. Time words come often enough for events to have a time.
inline std::vector<uint8_t> randomWords(uint32_t seed, size_t count) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> out;
    uint32_t high = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t pick = rng() % 100;
        uint16_t word;
        if (pick < 15) {
            word = evt3::makeWord(evt3::ADDR_Y, static_cast<uint16_t>(rng() % 2 ? rng() % 720 : rng()));
        } else if (pick < 45) {
            word = evt3::makeWord(evt3::ADDR_X, static_cast<uint16_t>(rng() % 2 ? rng() % 1280 : rng()));
        } else if (pick < 55) {
            // Bases near the right edges, so that runs cross the sensor's and the format's.
            const uint32_t edge = rng() % 3 == 0 ? 2047 : 1279;
            word = evt3::makeWord(evt3::VECT_BASE_X, static_cast<uint16_t>((rng() & 0x800) | (edge - rng() % 40)));
        } else if (pick < 80) {
            word = evt3::makeWord(rng() % 2 ? evt3::VECT_12 : evt3::VECT_8, static_cast<uint16_t>(rng()));
        } else if (pick < 88) {
            word = evt3::makeWord(evt3::TIME_LOW, static_cast<uint16_t>(rng()));
        } else if (pick < 92) {
            high = (high + rng() % 3) & 0xFFF;
            word = evt3::makeWord(evt3::TIME_HIGH, static_cast<uint16_t>(high));
        } else {
            word = static_cast<uint16_t>(rng());  // any type, reserved ones and triggers included
        }
        out.push_back(static_cast<uint8_t>(word & 0xFF));
        out.push_back(static_cast<uint8_t>(word >> 8));
    }
    return out;
}

// Encodes `items` into one byte stream, passing each run of consecutive events of one row
// at one time to the encoder in one call; a new transfer buffer begins before the first
// such run after every `bufferWords` words (0: never).
inline std::vector<uint8_t> encodeItems(const std::vector<Item>& items, size_t bufferWords = 0) {
    Evt3Encoder encoder;
    std::vector<uint8_t> out;
    uint64_t nextBuffer = bufferWords;
    std::vector<Event2D> group;
    auto flush = [&] {
        if (group.empty()) return;
        if (bufferWords != 0 && encoder.wordCount() >= nextBuffer) {
            encoder.beginBuffer();
            nextBuffer = encoder.wordCount() + bufferWords;
        }
        encoder.encodeEvents(group, out);
        group.clear();
    };
    for (const Item& item : items) {
        if (const auto* e = std::get_if<Event2D>(&item)) {
            if (!group.empty() && (group.back().timestamp != e->timestamp || group.back().y != e->y)) flush();
            group.push_back(*e);
        } else {
            flush();
            encoder.encodeTrigger(std::get<EventTriggerIn>(item), out);
        }
    }
    flush();
    return out;
}

// The body of the real recording (the bytes after its text header), or nothing when the
// sample data is not beside this checkout. `headerBytes` receives the header length.
inline std::optional<std::vector<uint8_t>> loadSampleBody(size_t* headerBytes = nullptr) {
    std::ifstream in(std::string(VIREO_SHARED_DATA_DIR) + "/evt3_sample.raw", std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Header lines start with '%'; the older layout has no "% end" line.
    size_t pos = 0;
    while (pos < all.size() && all[pos] == '%') {
        while (pos < all.size() && all[pos] != '\n') ++pos;
        ++pos;
    }
    if (headerBytes) *headerBytes = pos;
    return std::vector<uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(pos), all.end());
}

}  // namespace vireo::testing
