// A state-only walk over EVT3 words for the RAW file reader: it follows the time, row and
// vector state exactly as the decoder does and counts the events the decoder would produce,
// without producing them. The reader uses it to build its bookmark index in one pass, to
// find where a seek resumes, and to know the state in force there so that the decoder can
// be primed to continue exactly as a decode from the start of the file would.
//
// The rules mirror the decoder of the hardware-access layer word for word: pixel words
// count only once a TIME_HIGH and an ADDR_Y have been seen, vector words only once a
// VECT_BASE_X has been seen too, and a TIME_HIGH that steps back by more than half the
// 12-bit range is the 2^24 µs rollover of the wire time.
#pragma once

#include <array>
#include <cstdint>
#include <limits>

#include <vireo/Decoder.h>
#include <vireo/Evt3.h>

namespace vireo::detail {

// The decoder state in force between two words.
struct ScanState {
    uint64_t timeBase = 0;  // rollover offset, a multiple of 2^24 µs
    uint32_t high = 0;      // time bits 23..12
    uint32_t low = 0;       // time bits 11..0
    bool timeKnown = false; // a TIME_HIGH has been seen
    evt3::RowState rows;    // row, vector base and polarity, with their known flags

    uint64_t time() const { return timeBase + ((static_cast<uint64_t>(high) << 12) | low); }

    // Sets the time parts from a full timestamp. Before any TIME_HIGH the decoder holds
    // only the low part (high and rollover offset are still 0), so only that is kept.
    void setTime(uint64_t timestamp) {
        if (timeKnown) {
            timeBase = timestamp & ~(evt3::kTimeRange - 1);
            high = static_cast<uint32_t>((timestamp >> 12) & 0xFFF);
        } else {
            timeBase = 0;
            high = 0;
        }
        low = static_cast<uint32_t>(timestamp & 0xFFF);
    }
};

// Events per vector mask: popcount of the 12 mask bits (VECT_8 masks are cut to 8 bits first).
inline const std::array<uint8_t, 4096>& maskEventCounts() {
    static const std::array<uint8_t, 4096> table = [] {
        std::array<uint8_t, 4096> t{};
        for (uint32_t m = 0; m < 4096; ++m) {
            uint32_t bits = 0;
            for (uint32_t v = m; v != 0; v &= v - 1) ++bits;
            t[m] = static_cast<uint8_t>(bits);
        }
        return t;
    }();
    return table;
}

// Never stop on the event count or on the time.
inline constexpr uint64_t kNoLimit = std::numeric_limits<uint64_t>::max();

// Walks the whole words of [p, end) from state `s`, adding the events they produce to
// `events`. Before each time word (TIME_LOW, TIME_HIGH) `onTime(word, newTime)` is called
// with the word's address and the time it is about to set; when it returns true the walk
// stops before that word. The walk also stops before the first word that produces events
// and either would bring `events` to `countLimit` or more, or is decoded at a time of
// `timeLimit` or later. Returns the address of the word it stopped before (`end`, or the
// last whole word boundary, when it ran through). `s` and `events` then describe the state
// just before that word; they are also brought up to date before each call of `onTime`,
// which may read them.
//
// Stopping at the first event word rather than at the first time word that reaches the
// limit matters: between a TIME_HIGH and the TIME_LOW after it the time may stand ahead of
// the events that follow (the new high part with the old low part).
template <class OnTime>
const uint8_t* scanWords(const uint8_t* p, const uint8_t* end, ScanState& s, uint64_t& events,
                         uint64_t countLimit, uint64_t timeLimit, OnTime&& onTime) {
    using namespace evt3;
    const auto& counts = maskEventCounts();
    // Mask bits that carry events per word type: 12 for VECT_12, 8 for VECT_8.
    static constexpr std::array<uint16_t, 16> kMaskBits = {0, 0, 0, 0, 0xFFF, 0xFF, 0, 0,
                                                           0, 0, 0, 0, 0,     0,    0, 0};
    static constexpr std::array<uint8_t, 16> kBaseAdvance = {0, 0, 0, 0, 12, 8, 0, 0,
                                                             0, 0, 0, 0, 0,  0, 0, 0};
    // Word types handled apart: VECT_BASE_X, TIME_LOW and TIME_HIGH.
    constexpr uint32_t kRareTypes = (1u << VECT_BASE_X) | (1u << TIME_LOW) | (1u << TIME_HIGH);
    end = p + ((end - p) / kWordSize) * kWordSize;

    uint64_t n = events;
    uint32_t row = s.rows.row;
    uint32_t base = s.rows.vectorBase;
    uint32_t polarity = s.rows.vectorPolarity;
    bool rowKnown = s.rows.hasRow;
    bool vectorKnown = s.rows.hasVector;
    bool timeKnown = s.timeKnown;
    uint64_t now = s.time();

    auto save = [&] {
        events = n;
        s.timeKnown = timeKnown;
        s.rows.row = static_cast<uint16_t>(row);
        s.rows.vectorBase = static_cast<uint16_t>(base);
        s.rows.vectorPolarity = static_cast<uint8_t>(polarity);
        s.rows.hasRow = rowKnown;
        s.rows.hasVector = vectorKnown;
    };

    for (; p != end; p += kWordSize) {
        const uint32_t word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
        const uint32_t type = word >> 12;
        // Events of this word: an ADDR_X, or the set bits of a vector mask. Pixel words
        // need the time and the row, vector words the vector base as well.
        const uint32_t pixelValid = static_cast<uint32_t>(timeKnown & rowKnown);
        const uint32_t produced =
            ((type == ADDR_X) & pixelValid) +
            (counts[word & kMaskBits[type]] & (0u - (pixelValid & static_cast<uint32_t>(vectorKnown))));
        // One rarely taken branch: its parts are combined without short-circuits, which
        // would branch on every pixel word.
        const bool stop = (produced != 0) & ((n + produced >= countLimit) | (now >= timeLimit));
        if (stop) break;
        n += produced;
        // Row and vector state, without a branch for the common word types.
        rowKnown = rowKnown | (type == ADDR_Y);
        row = type == ADDR_Y ? (word & kMaxCoordinate) : row;
        base = (base + kBaseAdvance[type]) & 0xFFFF;
        if ((kRareTypes >> type) & 1u) {
            // The rare words: vector base and time.
            if (type == VECT_BASE_X) {
                base = word & kMaxCoordinate;
                polarity = (word >> 11) & 1;
                vectorKnown = true;
            } else if (type == TIME_LOW) {
                const uint32_t newLow = word & 0xFFF;
                const uint64_t newTime = s.timeBase + ((static_cast<uint64_t>(s.high) << 12) | newLow);
                save();
                if (onTime(p, newTime)) break;
                s.low = newLow;
                now = newTime;
            } else {
                const uint32_t newHigh = word & 0xFFF;
                uint64_t newBase = s.timeBase;
                if (s.high > newHigh && s.high - newHigh > kRolloverThreshold) newBase += kTimeRange;
                const uint64_t newTime = newBase + ((static_cast<uint64_t>(newHigh) << 12) | s.low);
                save();
                if (onTime(p, newTime)) break;
                s.timeBase = newBase;
                s.high = newHigh;
                timeKnown = true;
                now = newTime;
            }
        }
    }
    save();
    return p;
}

// The index build's walk once the time and the row are known (they stay known): counts
// the events of the whole words of [p, end) and calls `onTime(word, newTime)` before each
// time word exactly as `scanWords` does (`s` and `events` up to date for it), but follows
// only the time and whether a vector base has been seen, not the row and the base
// themselves: `s.rows` keeps its old row and base. Never stops early.
template <class OnTime>
void countWords(const uint8_t* p, const uint8_t* end, ScanState& s, uint64_t& events, OnTime&& onTime) {
    using namespace evt3;
    const auto& counts = maskEventCounts();
    static constexpr std::array<uint16_t, 16> kMaskBits = {0, 0, 0, 0, 0xFFF, 0xFF, 0, 0,
                                                           0, 0, 0, 0, 0,     0,    0, 0};
    constexpr uint32_t kRareTypes = (1u << VECT_BASE_X) | (1u << TIME_LOW) | (1u << TIME_HIGH);
    end = p + ((end - p) / kWordSize) * kWordSize;
    uint64_t n = events;
    // All ones once a VECT_BASE_X has been seen: vector words count from then on.
    uint32_t vectorMask = s.rows.hasVector ? 0xFFu : 0u;
    for (; p != end; p += kWordSize) {
        const uint32_t word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
        const uint32_t type = word >> 12;
        n += static_cast<uint32_t>(type == ADDR_X) + (counts[word & kMaskBits[type]] & vectorMask);
        if ((kRareTypes >> type) & 1u) {
            if (type == VECT_BASE_X) {
                vectorMask = 0xFFu;
                s.rows.hasVector = true;
            } else if (type == TIME_LOW) {
                const uint32_t newLow = word & 0xFFF;
                events = n;
                onTime(p, s.timeBase + ((static_cast<uint64_t>(s.high) << 12) | newLow));
                s.low = newLow;
            } else {
                const uint32_t newHigh = word & 0xFFF;
                uint64_t newBase = s.timeBase;
                if (s.high > newHigh && s.high - newHigh > kRolloverThreshold) newBase += kTimeRange;
                events = n;
                onTime(p, newBase + ((static_cast<uint64_t>(newHigh) << 12) | s.low));
                s.timeBase = newBase;
                s.high = newHigh;
            }
        }
    }
    events = n;
}

// Primes `decoder` so that decoding resumes exactly in state `s`.
inline void primeDecoder(Decoder& decoder, const ScanState& s) {
    if (s.timeKnown) {
        decoder.resetTimestamp(s.time());
    } else {
        // Before the first TIME_HIGH the decoder knows only the low part of the time and
        // must keep pixel words silent: start from scratch and replay that low part.
        decoder.reset();
        if (s.low != 0) {
            const uint16_t word = evt3::makeWord(evt3::TIME_LOW, static_cast<uint16_t>(s.low));
            const uint8_t bytes[2] = {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
            decoder.decodeWord(bytes, bytes + 2);
        }
    }
    decoder.primeRowState(s.rows);
}

}  // namespace vireo::detail
