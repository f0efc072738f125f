// The index build's count of events, sixteen words at a time.
//
// Most words of a stream only add events (ADDR_X, VECT_12, VECT_8), set the row (ADDR_Y, which
// the count does not follow word by word) or set a time that interests nobody (a TIME_LOW
// before the next bookmark is due). A block of sixteen such words on the sensor is counted
// with SSE2: one event per ADDR_X, the set bits of each vector mask, as long as no vector word
// of the block can reach the sensor's right edge (where its mask would be clipped). A block
// with a TIME_HIGH, a TIME_LOW at or past the time of interest, or a vector word that may be
// clipped, is walked word by word by `onSensorWalk`, which calls `onTime` for its time words;
// the vector base and the time low part are brought up to date for it from the last blocks
// counted that set them. From a block with a word off the sensor on, the rest of the piece
// goes word by word through `walkWords`. The counts are those of the word-by-word walks
// exactly.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "Evt3Scan.h"

namespace vireo::detail {

// Set bits of each byte (a library call where the processor's own count is not assumed).
inline constexpr std::array<uint8_t, 256> kLaneCount = [] {
    std::array<uint8_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) t[i] = static_cast<uint8_t>((i & 1) + ((i >> 1) & 1) + ((i >> 2) & 1) + ((i >> 3) & 1) +
                                                                  ((i >> 4) & 1) + ((i >> 5) & 1) + ((i >> 6) & 1) + (i >> 7));
    return t;
}();

// What `countOnSensor` keeps of the blocks it counted since `s` was last exact: the last
// block with a VECT_BASE_X, the base advance of the vector words of the blocks after it (of
// all blocks when none had one), and the last block with a TIME_LOW.
struct RegionTrail {
    const uint8_t* baseBlock = nullptr;
    uint32_t advanceAfter = 0;
    const uint8_t* lowBlock = nullptr;
};

// The state of `s` (vector base and polarity, time low part) brought over the blocks of
// `trail`, counted without clipping: no vector word ran past the sensor's edge.
inline void followRegion(const RegionTrail& trail, size_t blockWords, ScanState& s) {
    using namespace evt3;
    auto wordAt = [](const uint8_t* q) { return static_cast<uint32_t>(q[0]) | (static_cast<uint32_t>(q[1]) << 8); };
    if (trail.baseBlock != nullptr) {
        uint32_t advance = trail.advanceAfter;
        for (size_t i = blockWords; i-- > 0;) {
            const uint32_t word = wordAt(trail.baseBlock + i * kWordSize);
            const uint32_t type = word >> 12;
            if (type == VECT_BASE_X) {
                saveVector(s, (word & kMaxCoordinate) + advance, (word >> 11) & 1);
                break;
            }
            advance += type == VECT_12 ? 12 : type == VECT_8 ? 8 : 0;
        }
    } else if (s.rows.hasVector) {
        saveVector(s, s.rows.vectorBase + trail.advanceAfter, s.rows.vectorPolarity);
    }
    if (trail.lowBlock != nullptr) {
        for (size_t i = blockWords; i-- > 0;) {
            const uint32_t word = wordAt(trail.lowBlock + i * kWordSize);
            if ((word >> 12) == TIME_LOW) {
                s.low = word & 0xFFF;
                break;
            }
        }
    }
}

// TIME_LOW payloads from this value on give a time at or past `timeOfInterest`, with the
// time's higher parts of `s`: 0 when every one does, 4096 when none can.
inline uint32_t lowLimitOf(const ScanState& s, uint64_t timeOfInterest) {
    const uint64_t highPart = s.timeBase + (static_cast<uint64_t>(s.high) << 12);
    if (timeOfInterest <= highPart) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(timeOfInterest - highPart, 4096));
}

// Counts the events of the whole words of [p, end) on the sensor of geometry `g`, from state
// `s` with the time and an on-sensor row known, adding them to `events` (from the first
// block that holds a word off the sensor on, word by word as `walkWords` does); `onTime` is
// called as `onSensorWalk` calls it at least for every time word that sets a time at or past
// `timeOfInterest` (which it may move on), and at every TIME_HIGH. Afterwards `s` is the state
// at `end`, as `onSensorWalk` leaves it.
template <class OnTime>
void countOnSensor(const ClipTable& clips, const ScanGeometry& g, const uint8_t* p, const uint8_t* end,
                   ScanState& s, uint64_t& events, const uint64_t& timeOfInterest, OnTime&& onTime) {
    using namespace evt3;
    end = p + ((end - p) / kWordSize) * kWordSize;
    const uint8_t* const begin = p;
    const uint32_t width = g.width;
#if defined(__SSE2__)
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint32_t kNoBase = kCoordinateRange;
        const __m128i typeX = _mm_set1_epi16(ADDR_X);
        const __m128i typeBase = _mm_set1_epi16(VECT_BASE_X);
        const __m128i type12 = _mm_set1_epi16(VECT_12);
        const __m128i type8 = _mm_set1_epi16(VECT_8);
        const __m128i typeLow = _mm_set1_epi16(TIME_LOW);
        const __m128i typeHigh = _mm_set1_epi16(TIME_HIGH);
        const __m128i bits12 = _mm_set1_epi16(0xFFF);
        const __m128i bits8 = _mm_set1_epi16(0xFF);
        const __m128i bits11 = _mm_set1_epi16(kMaxCoordinate);
        const __m128i m1 = _mm_set1_epi16(0x5555);
        const __m128i m2 = _mm_set1_epi16(0x3333);
        const __m128i m4 = _mm_set1_epi16(0x0F0F);
        const __m128i m8 = _mm_set1_epi16(0x001F);
        const __m128i ones = _mm_set1_epi16(1);
        // Words off the sensor, as `hasOffSensorWord` finds them: without its polarity (or
        // system type) bit an ADDR_Y word is its y and an ADDR_X word 0x2000 + x; each is off
        // the sensor when that value lies in a range, which a wrapping subtraction and a
        // saturating one tell.
        const __m128i payload = _mm_set1_epi16(static_cast<short>(0xF7FF));
        const __m128i rowLo = _mm_set1_epi16(static_cast<short>(g.height));
        const __m128i rowN = _mm_set1_epi16(static_cast<short>(kCoordinateRange - g.height));
        const __m128i columnLo = _mm_set1_epi16(static_cast<short>((uint32_t{ADDR_X} << 12) + g.width));
        const __m128i columnN = _mm_set1_epi16(static_cast<short>(kCoordinateRange - g.width));

        uint64_t n = events;
        constexpr size_t kBlockWords = 16;
        constexpr ptrdiff_t kBlockBytes = kBlockWords * kWordSize;
        __m128i counts = _mm_setzero_si128();  // per lane, at most 26 a block
        int blocksCounted = 0;
        const auto flush = [&] {
            const __m128i pairs = _mm_madd_epi16(counts, ones);
            const __m128i quads = _mm_add_epi32(pairs, _mm_shuffle_epi32(pairs, _MM_SHUFFLE(1, 0, 3, 2)));
            const __m128i all = _mm_add_epi32(quads, _mm_shuffle_epi32(quads, _MM_SHUFFLE(2, 3, 0, 1)));
            n += static_cast<uint32_t>(_mm_cvtsi128_si32(all));
            counts = _mm_setzero_si128();
            blocksCounted = 0;
        };
        // Blocks are counted without following the vector base and the time: `s` holds the
        // state before the first of them (`trail` what is needed to bring it up to date),
        // `baseBound` a base no lower than the one in force (past 2047: none).
        RegionTrail trail;
        uint32_t baseBound = s.rows.hasVector ? s.rows.vectorBase : kNoBase;
        __m128i lowLimit = _mm_set1_epi16(static_cast<short>(lowLimitOf(s, timeOfInterest)));

        // The lanes of eight words that matter here.
        struct Lanes {
            __m128i isX, isBase, is12, is8, isLow, due, off, masks, bases;
        };
        const auto classify = [&](__m128i w) {
            Lanes l;
            const __m128i value = _mm_and_si128(w, payload);
            l.off = _mm_or_si128(_mm_subs_epu16(rowN, _mm_sub_epi16(value, rowLo)),
                                 _mm_subs_epu16(columnN, _mm_sub_epi16(value, columnLo)));
            const __m128i type = _mm_srli_epi16(w, 12);
            l.isX = _mm_cmpeq_epi16(type, typeX);
            l.isBase = _mm_cmpeq_epi16(type, typeBase);
            l.is12 = _mm_cmpeq_epi16(type, type12);
            l.is8 = _mm_cmpeq_epi16(type, type8);
            l.isLow = _mm_cmpeq_epi16(type, typeLow);
            // TIME_HIGH words, and TIME_LOW words at or past the time of interest.
            l.due = _mm_or_si128(_mm_cmpeq_epi16(type, typeHigh),
                                 _mm_andnot_si128(_mm_cmplt_epi16(_mm_and_si128(w, bits12), lowLimit), l.isLow));
            l.masks = _mm_or_si128(_mm_and_si128(w, _mm_and_si128(l.is12, bits12)),
                                   _mm_and_si128(w, _mm_and_si128(l.is8, bits8)));
            l.bases = _mm_and_si128(_mm_and_si128(w, bits11), l.isBase);
            return l;
        };
        const auto laneBits = [](__m128i a, __m128i b) {
            return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
        };
        const auto laneCount = [](uint32_t bits) { return uint32_t{kLaneCount[bits & 0xFF]} + kLaneCount[bits >> 8]; };
        const auto setBits = [&](__m128i masks) {
            __m128i c = _mm_sub_epi16(masks, _mm_and_si128(_mm_srli_epi16(masks, 1), m1));
            c = _mm_add_epi16(_mm_and_si128(c, m2), _mm_and_si128(_mm_srli_epi16(c, 2), m2));
            c = _mm_and_si128(_mm_add_epi16(c, _mm_srli_epi16(c, 4)), m4);
            return _mm_and_si128(_mm_add_epi16(c, _mm_srli_epi16(c, 8)), m8);
        };

        // Blocks of sixteen words, as two halves of eight.
        while (end - p >= kBlockBytes) {
            const Lanes a = classify(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
            const Lanes b = classify(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_or_si128(a.off, b.off), _mm_setzero_si128())) != 0xFFFF) {
                // A word off the sensor: the rest of the piece word by word, from the exact
                // state before this block.
                flush();
                events = n;
                followRegion(trail, kBlockWords, s);
                walkWords<false>(g, p, end, s, events, kNoLimit, kNoLimit, onTime);
                return;
            }
            // Lane bits over the sixteen words, word i at bit i.
            const uint32_t lanes12 = laneBits(a.is12, b.is12);
            const uint32_t lanes8 = laneBits(a.is8, b.is8);
            const uint32_t vectorLanes = lanes12 | lanes8;
            const uint32_t baseLanes = laneBits(a.isBase, b.isBase);
            const uint32_t dueLanes = laneBits(a.due, b.due);
            // Without a branch on the block's make-up, which varies too much to be predicted.
            const uint32_t advance = 12u * laneCount(lanes12) + 8u * laneCount(lanes8);
            // The largest base the block sets, 0 when none (bases are at most 2047: a signed
            // max works).
            __m128i m = _mm_max_epi16(a.bases, b.bases);
            m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
            m = _mm_max_epi16(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
            m = _mm_max_epi16(m, _mm_srli_epi32(m, 16));
            const uint32_t largest = static_cast<uint32_t>(_mm_cvtsi128_si32(m) & 0xFFFF);
            // Vector words before the block's first base (all of them when it has none) use the
            // base in force before the block.
            const uint32_t before = (1u << std::countr_zero(baseLanes | 0x10000u)) - 1;
            const bool oldBaseUsed = (vectorLanes & before) != 0;
            // The base each vector word of the block starts from is at most `checkBase`, the
            // one in force after the block at most `nextBound`; no mask may reach past the
            // sensor's edge.
            // (Selections by masks: the compiler would branch on some of them.)
            const uint32_t baseSet = 0u - static_cast<uint32_t>(baseLanes != 0);
            const uint32_t checkBase = std::max(baseBound & (0u - static_cast<uint32_t>(oldBaseUsed)), largest);
            const uint32_t nextBound = ((largest & baseSet) | (baseBound & ~baseSet)) + advance;
            const bool walk = (dueLanes != 0) | ((vectorLanes != 0) & (checkBase + advance > width));
            if (walk) {
                // This block word by word, from the exact state before it.
                flush();
                events = n;
                followRegion(trail, kBlockWords, s);
                trail = RegionTrail{};
                onSensorWalk<false>(clips, p, p + kBlockBytes, s, events, kNoLimit, kNoLimit, onTime);
                n = events;
                p += kBlockBytes;
                baseBound = s.rows.hasVector ? s.rows.vectorBase : kNoBase;
                lowLimit = _mm_set1_epi16(static_cast<short>(lowLimitOf(s, timeOfInterest)));
                continue;
            }
            const uintptr_t blockSet = 0u - static_cast<uintptr_t>(baseLanes != 0);
            trail.baseBlock = reinterpret_cast<const uint8_t*>((reinterpret_cast<uintptr_t>(p) & blockSet) |
                                                               (reinterpret_cast<uintptr_t>(trail.baseBlock) & ~blockSet));
            trail.advanceAfter = (trail.advanceAfter + advance) & ~baseSet;
            trail.lowBlock = _mm_movemask_epi8(_mm_or_si128(a.isLow, b.isLow)) != 0 ? p : trail.lowBlock;
            baseBound = std::min(nextBound, kNoBase);
            counts = _mm_sub_epi16(_mm_sub_epi16(_mm_add_epi16(counts, _mm_add_epi16(setBits(a.masks), setBits(b.masks))),
                                                 a.isX),
                                   b.isX);
            if (++blocksCounted == 2048) flush();
            p += kBlockBytes;
        }
        flush();
        events = n;
        followRegion(trail, kBlockWords, s);
    }
#endif
    // The last words (and every word without SSE2).
    if (hasOffSensorWord(p, end, g.width, g.height)) {
        walkWords<false>(g, p, end, s, events, kNoLimit, kNoLimit, onTime);
        return;
    }
    onSensorWalk<false>(clips, p, end, s, events, kNoLimit, kNoLimit, onTime);
    for (const uint8_t* q = end; q != begin;) {
        q -= kWordSize;
        if ((q[1] >> 4) == ADDR_Y) {
            s.rows.row = static_cast<uint16_t>((q[0] | (q[1] << 8)) & kMaxCoordinate);
            break;
        }
    }
}

// The index build's walk: the words of [p, end) from state `s`, adding the events they
// produce within the geometry `g` to `events`. `onTime` is called as by `scanWords`, at least
// before every TIME_HIGH and every TIME_LOW that sets a time at or past `timeOfInterest`
// (which it may move on); its return value is ignored.
template <class OnTime>
void countWords(const ScanGeometry& g, const uint8_t* p, const uint8_t* end, ScanState& s, uint64_t& events,
                const uint64_t& timeOfInterest, OnTime&& onTime) {
    end = p + ((end - p) / evt3::kWordSize) * evt3::kWordSize;
    const ClipTable& clips = clipTable(g.width);
    // Piece by piece: words off the sensor slow down only the pieces that hold them.
    while (p != end) {
        const uint8_t* const pieceEnd = p + std::min<ptrdiff_t>(end - p, kScanPieceBytes);
        if (stateOnSensor(g, s)) {
            countOnSensor(clips, g, p, pieceEnd, s, events, timeOfInterest, onTime);
        } else {
            walkWords<false>(g, p, pieceEnd, s, events, kNoLimit, kNoLimit, onTime);
        }
        p = pieceEnd;
    }
}

}  // namespace vireo::detail
