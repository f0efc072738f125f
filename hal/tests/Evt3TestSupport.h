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

// The reference decoder: the format description turned into code as directly as possible.
struct ReferenceDecoder {
    uint64_t offset = 0;
    uint32_t high = 0, low = 0;
    bool timeKnown = false, rowKnown = false, vectorKnown = false;
    uint16_t row = 0, base = 0;
    uint8_t vectorPolarity = 0;
    std::vector<Item> items;

    uint64_t time() const { return offset + ((uint64_t{high} << 12) | low); }

    void word(uint16_t w) {
        const uint16_t p = w & 0xFFF;
        switch (w >> 12) {
            case 0x0: row = p & 0x7FF; rowKnown = true; break;
            case 0x2:
                if (timeKnown && rowKnown) items.emplace_back(Event2D(p & 0x7FF, row, (p >> 11) & 1, time()));
                break;
            case 0x3: base = p & 0x7FF; vectorPolarity = (p >> 11) & 1; vectorKnown = true; break;
            case 0x4:
            case 0x5: {
                const int bits = (w >> 12) == 0x4 ? 12 : 8;
                for (int i = 0; i < bits; ++i) {
                    if (((p >> i) & 1) && timeKnown && rowKnown && vectorKnown) {
                        items.emplace_back(Event2D(static_cast<uint16_t>(base + i), row, vectorPolarity, time()));
                    }
                }
                base = static_cast<uint16_t>(base + bits);
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
