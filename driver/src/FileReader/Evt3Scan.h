// A state-only walk over EVT3 words for the RAW file reader: it follows the time, row and
// vector state exactly as the decoder does and counts the events the decoder would produce,
// without producing them. The reader uses it to build its bookmark index in one pass, to
// find where a seek resumes, and to know the state in force there so that the decoder can
// be primed to continue exactly as a decode from the start of the file would.
//
// The rules mirror the decoder of the hardware-access layer word for word: pixel words
// count only once a TIME_HIGH and an ADDR_Y have been seen, vector words only once a
// VECT_BASE_X has been seen too, a TIME_HIGH that steps back by more than half the 12-bit
// range is the 2^24 µs rollover of the wire time, and only events on the sensor count (the
// geometry the decoder was made with): no ADDR_Y row at or below its height, no x at or
// right of its width, and no vector base carried past x 2047.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>

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

// The sensor whose events the reader keeps, in pixels: the decoder drops events with
// x >= width or y >= height, and the scan counts only the others. At most 2048 each, the
// range EVT3 words carry.
struct ScanGeometry {
    uint32_t width = evt3::kCoordinateRange;
    uint32_t height = evt3::kCoordinateRange;
};

// The geometry of a file whose header gives `width` x `height`; a size of 0 (no geometry)
// or above 2048 means the format's whole range.
inline ScanGeometry scanGeometry(uint32_t width, uint32_t height) {
    ScanGeometry g;
    if (width != 0 && width < evt3::kCoordinateRange) g.width = width;
    if (height != 0 && height < evt3::kCoordinateRange) g.height = height;
    return g;
}

// The stream format of a decoder that drops exactly the events the scan does not count.
inline std::string decoderFormat(const ScanGeometry& g) {
    return "EVT3;height=" + std::to_string(g.height) + ";width=" + std::to_string(g.width);
}

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

// The walk shared by `scanWords` and `countWords`; `kStops` selects the stops (on the event
// count, the time and `onTime`).
template <bool kStops, class OnTime>
const uint8_t* walkWords(const ScanGeometry& g, const uint8_t* p, const uint8_t* end, ScanState& s,
                         uint64_t& events, uint64_t countLimit, uint64_t timeLimit, OnTime&& onTime) {
    using namespace evt3;
    const auto& counts = maskEventCounts();
    // Mask bits that carry events per word type: 12 for VECT_12, 8 for VECT_8.
    static constexpr std::array<uint16_t, 16> kMaskBits = {0, 0, 0, 0, 0xFFF, 0xFF, 0, 0,
                                                           0, 0, 0, 0, 0,     0,    0, 0};
    static constexpr std::array<uint8_t, 16> kBaseAdvance = {0, 0, 0, 0, 12, 8, 0, 0,
                                                             0, 0, 0, 0, 0,  0, 0, 0};
    // Word types handled apart: VECT_BASE_X, TIME_LOW and TIME_HIGH.
    constexpr uint32_t kRareTypes = (1u << VECT_BASE_X) | (1u << TIME_LOW) | (1u << TIME_HIGH);
    // The vector base while none is in force (none seen yet, or a run past x 2047): past
    // every row's end, so a mask clipped to the row keeps nothing, and no advance brings
    // it back.
    constexpr uint32_t kNoBase = kCoordinateRange;
    end = p + ((end - p) / kWordSize) * kWordSize;

    uint64_t n = events;
    uint32_t row = s.rows.row;
    uint32_t base = s.rows.hasVector && s.rows.vectorBase <= kMaxCoordinate ? s.rows.vectorBase : kNoBase;
    uint32_t polarity = s.rows.vectorPolarity;
    bool rowKnown = s.rows.hasRow;
    bool timeKnown = s.timeKnown;
    uint64_t now = s.time();
    // Columns of the current row that give events: the sensor width once the time and the
    // row are known and the row is on the sensor, 0 otherwise.
    const auto widthOfRow = [&](uint32_t y) { return timeKnown && y < g.height ? g.width : 0u; };
    uint32_t rowWidth = rowKnown ? widthOfRow(row) : 0;

    auto save = [&] {
        events = n;
        s.timeKnown = timeKnown;
        s.rows.row = static_cast<uint16_t>(row);
        s.rows.hasRow = rowKnown;
        s.rows.hasVector = base != kNoBase;
        s.rows.vectorBase = static_cast<uint16_t>(base != kNoBase ? base : 0);
        s.rows.vectorPolarity = static_cast<uint8_t>(base != kNoBase ? polarity : 0);
    };

    for (; p != end; p += kWordSize) {
        const uint32_t word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
        const uint32_t type = word >> 12;
        const uint32_t coordinate = word & kMaxCoordinate;
        // Events of this word: an ADDR_X on the sensor (without the polarity bit an ADDR_X
        // is 0x2000 + x, every other type lies outside 0x2000 + [0, width)), or the set
        // bits of a vector mask left of the row's width.
        const uint32_t produced = static_cast<uint32_t>(((word & 0xF7FFu) - (uint32_t{ADDR_X} << 12)) < rowWidth) +
                                  counts[word & kMaskBits[type] & vectorClipMask(base, rowWidth)];
        if constexpr (kStops) {
            // One rarely taken branch: its parts are combined without short-circuits, which
            // would branch on every pixel word.
            const bool stop = (produced != 0) & ((n + produced >= countLimit) | (now >= timeLimit));
            if (stop) break;
        }
        n += produced;
        // Row and vector state, without a branch for the common word types.
        const bool isRow = type == ADDR_Y;
        rowKnown = rowKnown | isRow;
        row = isRow ? coordinate : row;
        rowWidth = isRow ? widthOfRow(coordinate) : rowWidth;
        base = std::min(base + kBaseAdvance[type], kNoBase);
        if ((kRareTypes >> type) & 1u) {
            // The rare words: vector base and time.
            if (type == VECT_BASE_X) {
                base = coordinate;
                polarity = (word >> 11) & 1;
            } else if (type == TIME_LOW) {
                const uint32_t newLow = word & 0xFFF;
                const uint64_t newTime = s.timeBase + ((static_cast<uint64_t>(s.high) << 12) | newLow);
                save();
                if (onTime(p, newTime) && kStops) break;
                s.low = newLow;
                now = newTime;
            } else {
                const uint32_t newHigh = word & 0xFFF;
                uint64_t newBase = s.timeBase;
                if (s.high > newHigh && s.high - newHigh > kRolloverThreshold) newBase += kTimeRange;
                const uint64_t newTime = newBase + ((static_cast<uint64_t>(newHigh) << 12) | s.low);
                save();
                if (onTime(p, newTime) && kStops) break;
                s.timeBase = newBase;
                s.high = newHigh;
                timeKnown = true;
                rowWidth = rowKnown ? widthOfRow(row) : 0;
                now = newTime;
            }
        }
    }
    save();
    return p;
}

// The base of `onSensorWalk` is brought back to 2048 (no base) once per block of words, not
// after every word: in between it may run past 2048 by up to a block of VECT_12 advances.
inline constexpr size_t kClipBlockWords = 128;
inline constexpr uint32_t kClipBaseLimit = evt3::kCoordinateRange + 12 * kClipBlockWords;
using ClipTable = std::array<uint16_t, kClipBaseLimit + 1>;

// Mask bits left of column `width` per vector base (none from 2048 on), made once per
// width for the whole process and kept (a few KiB for each width in use).
inline const ClipTable& clipTable(uint32_t width) {
    // Never destroyed: a recorder's thread may still be indexing while the process exits.
    static std::mutex& mutex = *new std::mutex;
    static auto& tables = *new std::map<uint32_t, std::unique_ptr<ClipTable>>;
    std::lock_guard<std::mutex> lock(mutex);
    std::unique_ptr<ClipTable>& table = tables[width];
    if (!table) {
        table = std::make_unique<ClipTable>();
        for (uint32_t b = 0; b <= kClipBaseLimit; ++b) {
            (*table)[b] = static_cast<uint16_t>(evt3::vectorClipMask(std::min(b, evt3::kCoordinateRange), width));
        }
    }
    return *table;
}

// Stores the vector base `base` of `onSensorWalk` (which may stand past 2048 within a block:
// no base) and its polarity in `s`.
inline void saveVector(ScanState& s, uint32_t base, uint32_t polarity) {
    const bool known = base < evt3::kCoordinateRange;
    s.rows.hasVector = known;
    s.rows.vectorBase = static_cast<uint16_t>(known ? base : 0);
    s.rows.vectorPolarity = static_cast<uint8_t>(known ? polarity : 0);
}

// The walk for words all on the sensor, with the time and an on-sensor row known (a real
// sensor's stream): every ADDR_X counts, the row is not followed word by word but looked
// for backwards where the walk ends, and vector masks are clipped through a table of the
// columns left of the sensor's edge per vector base (`clipTable` of the sensor's width).
// Otherwise as `walkWords`, except that before each call of `onTime` only `events`, the time
// and the vector state in `s` are up to date: the row there is still the one the walk began
// with (`rowBefore` finds the one in force).
template <bool kStops, class OnTime>
const uint8_t* onSensorWalk(const ClipTable& clipOfBase, const uint8_t* p, const uint8_t* end, ScanState& s,
                            uint64_t& events, uint64_t countLimit, uint64_t timeLimit, OnTime&& onTime) {
    using namespace evt3;
    const auto& counts = maskEventCounts();
    static constexpr std::array<uint16_t, 16> kMaskBits = {0, 0, 0, 0, 0xFFF, 0xFF, 0, 0,
                                                           0, 0, 0, 0, 0,     0,    0, 0};
    static constexpr std::array<uint8_t, 16> kBaseAdvance = {0, 0, 0, 0, 12, 8, 0, 0,
                                                             0, 0, 0, 0, 0,  0, 0, 0};
    constexpr uint32_t kRareTypes = (1u << VECT_BASE_X) | (1u << TIME_LOW) | (1u << TIME_HIGH);
    constexpr uint32_t kNoBase = kCoordinateRange;  // as in walkWords

    const uint8_t* const begin = p;
    uint64_t n = events;
    uint64_t now = s.time();
    uint32_t base = s.rows.hasVector && s.rows.vectorBase <= kMaxCoordinate ? s.rows.vectorBase : kNoBase;
    uint32_t polarity = s.rows.vectorPolarity;
    bool stopped = false;
    while (p != end && !stopped) {
        base = std::min(base, kNoBase);
        const uint8_t* const blockEnd =
            p + std::min<size_t>(static_cast<size_t>(end - p), kClipBlockWords * kWordSize);
        for (; p != blockEnd; p += kWordSize) {
            const uint32_t word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
            const uint32_t type = word >> 12;
            const uint32_t produced =
                static_cast<uint32_t>(type == ADDR_X) + counts[word & kMaskBits[type] & clipOfBase[base]];
            if constexpr (kStops) {
                const bool stop = (produced != 0) & ((n + produced >= countLimit) | (now >= timeLimit));
                if (stop) {
                    stopped = true;
                    break;
                }
            }
            n += produced;
            base += kBaseAdvance[type];
            if ((kRareTypes >> type) & 1u) {
                if (type == VECT_BASE_X) {
                    base = word & kMaxCoordinate;
                    polarity = (word >> 11) & 1;
                } else if (type == TIME_LOW) {
                    const uint32_t newLow = word & 0xFFF;
                    const uint64_t newTime = s.timeBase + ((static_cast<uint64_t>(s.high) << 12) | newLow);
                    events = n;
                    saveVector(s, base, polarity);
                    if (onTime(p, newTime) && kStops) {
                        stopped = true;
                        break;
                    }
                    s.low = newLow;
                    now = newTime;
                } else {
                    const uint32_t newHigh = word & 0xFFF;
                    uint64_t newBase = s.timeBase;
                    if (s.high > newHigh && s.high - newHigh > kRolloverThreshold) newBase += kTimeRange;
                    const uint64_t newTime = newBase + ((static_cast<uint64_t>(newHigh) << 12) | s.low);
                    events = n;
                    saveVector(s, base, polarity);
                    if (onTime(p, newTime) && kStops) {
                        stopped = true;
                        break;
                    }
                    s.timeBase = newBase;
                    s.high = newHigh;
                    now = newTime;
                }
            }
        }
    }
    events = n;
    for (const uint8_t* q = p; q != begin;) {
        q -= kWordSize;
        if ((q[1] >> 4) == ADDR_Y) {
            s.rows.row = static_cast<uint16_t>((q[0] | (q[1] << 8)) & kMaxCoordinate);
            break;
        }
    }
    saveVector(s, base, polarity);
    return p;
}

// Bytes looked over and walked at a time by `scanWords` and `countWords` (even: whole words).
inline constexpr ptrdiff_t kScanPieceBytes = 8192;

// Whether the words of [p, end) can take `onSensorWalk` from state `s`.
inline bool stateOnSensor(const ScanGeometry& g, const ScanState& s) {
    return s.timeKnown && s.rows.hasRow && s.rows.row < g.height;
}
inline bool allOnSensor(const ScanGeometry& g, const uint8_t* p, const uint8_t* end, const ScanState& s) {
    return stateOnSensor(g, s) && !evt3::hasOffSensorWord(p, end, g.width, g.height);
}

// Walks the whole words of [p, end) from state `s`, adding the events they produce within
// the geometry `g` to `events`. Before each time word (TIME_LOW, TIME_HIGH)
// `onTime(word, newTime)` is called with the word's address and the time it is about to
// set; when it returns true the walk stops before that word. The walk also stops before the
// first word that produces events and either would bring `events` to `countLimit` or more,
// or is decoded at a time of `timeLimit` or later. Returns the address of the word it
// stopped before (`end`, or the last whole word boundary, when it ran through). `s` and
// `events` then describe the state just before that word; before each call of `onTime`,
// `events`, the time and the vector state in `s` are up to date (the row may not be).
//
// Stopping at the first event word rather than at the first time word that reaches the
// limit matters: between a TIME_HIGH and the TIME_LOW after it the time may stand ahead of
// the events that follow (the new high part with the old low part).
template <class OnTime>
const uint8_t* scanWords(const ScanGeometry& g, const uint8_t* p, const uint8_t* end, ScanState& s,
                         uint64_t& events, uint64_t countLimit, uint64_t timeLimit, OnTime&& onTime) {
    end = p + ((end - p) / evt3::kWordSize) * evt3::kWordSize;
    const ClipTable& clips = clipTable(g.width);
    // Piece by piece, so that a walk that stops early (a seek) looks over little more than
    // it walks.
    while (p != end) {
        const uint8_t* const pieceEnd = p + std::min<ptrdiff_t>(end - p, kScanPieceBytes);
        const uint8_t* const stop =
            allOnSensor(g, p, pieceEnd, s)
                ? onSensorWalk<true>(clips, p, pieceEnd, s, events, countLimit, timeLimit, onTime)
                : walkWords<true>(g, p, pieceEnd, s, events, countLimit, timeLimit, onTime);
        if (stop != pieceEnd) return stop;
        p = pieceEnd;
    }
    return end;
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
