// The EVT 3.0 decoder's word loop and its bookkeeping.
//
// The loop works on a local copy of the state. Once the time and the row are known (they
// stay known until a reset), pixel (ADDR_X), row (ADDR_Y) and time-low (TIME_LOW) words,
// most of any real stream and nearly all of a sparse one, share one branch-free path: the
// candidate event is always written to the next output slot and kept only for an ADDR_X,
// and an ADDR_Y or a TIME_LOW replaces the row or the time's low bits through masks chosen
// by the word's type. One comparison of the word's coordinate against a limit per type
// sends every other word, and any pixel or row word off the sensor, out of that path.
// Where eight words in a row are pixel, row and time-low words on the sensor (the runs between
// a real sensor's vector groups, most of a sparse stream), the eight are decoded at once with
// SSE2: the row and the time carried across the lanes, eight candidate events written in
// place. A real sensor's vector group (VECT_BASE_X, VECT_12, VECT_12, VECT_8 over 32 columns)
// is decoded as one 32-bit mask. Other vector masks are expanded with one store per column
// (the sparse VECT_12 masks of a real sensor with two candidate stores); the rare words go
// through a switch. The output buffer
// is refilled in chunks of words small enough that even all-vector words cannot overflow
// it, so no word checks the room left.
//
// The sensor geometry costs little on a real stream, whose words all lie on the sensor:
// the per-type limit is the sensor's height for ADDR_Y and its width for ADDR_X, and vector
// masks are clipped to the columns left of the sensor's edge only near it. From the first
// ADDR_Y below the sensor or ADDR_X right of it, the rest of the chunk takes a second loop
// that keeps the current row's width (0 below the sensor) beside the row and tests each
// ADDR_X against it.
#include <vireo/Evt3Decoder.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vireo {
namespace {

using namespace evt3;

// Event2D as two 64-bit halves: x | y << 16 | polarity << 32, then the timestamp.
static_assert(offsetof(Event2D, x) == 0 && offsetof(Event2D, y) == 2 &&
              offsetof(Event2D, polarity) == 4 && offsetof(Event2D, timestamp) == 8);
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

inline void storeEvent(Event2D* slot, uint64_t lowHalf, uint64_t timestamp) {
    if constexpr (kLittleEndian) {
        const uint64_t halves[2] = {lowHalf, timestamp};
        std::memcpy(static_cast<void*>(slot), halves, sizeof(halves));
    } else {
        slot->x = static_cast<uint16_t>(lowHalf);
        slot->y = static_cast<uint16_t>(lowHalf >> 16);
        slot->polarity = static_cast<uint8_t>(lowHalf >> 32);
        slot->timestamp = timestamp;
    }
}

inline uint32_t loadWord(const uint8_t* p) {
    if constexpr (kLittleEndian) {
        uint16_t word;
        std::memcpy(&word, p, sizeof(word));
        return word;
    }
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

inline uint32_t clearLowest(uint32_t bits) { return bits & (bits - 1); }

// Writes the events of the `Columns`-bit vector mask `mask` from out[n] on and returns the
// new event count. `lowHalf` is the low half of the event of the mask's first column. An
// event for every column is written to the next slot, which moves on only when the
// column's bit is set: a dense mask costs one store per column and no branch. A full mask,
// a run of pixels such as an edge gives, is a straight block.
template <uint32_t Columns>
inline size_t expandMask(Event2D* out, size_t n, uint32_t mask, uint64_t lowHalf, uint64_t timestamp) {
    Event2D* slot = out + n;
#if defined(__SSE2__)
    if constexpr (kLittleEndian) {
        __m128i event = _mm_set_epi64x(static_cast<long long>(timestamp), static_cast<long long>(lowHalf));
        const __m128i nextColumn = _mm_set_epi64x(0, 1);
        if (mask == static_cast<uint32_t>((uint64_t{1} << Columns) - 1)) {
            for (uint32_t i = 0; i < Columns; ++i) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(slot + i), event);
                event = _mm_add_epi64(event, nextColumn);
            }
            return n + Columns;
        }
        for (uint32_t i = 0; i < Columns; ++i) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(slot), event);
            event = _mm_add_epi64(event, nextColumn);
            slot += (mask >> i) & 1;
        }
        return static_cast<size_t>(slot - out);
    }
#endif
    for (uint32_t i = 0; i < Columns; ++i) {
        storeEvent(slot, lowHalf + i, timestamp);
        slot += (mask >> i) & 1;
    }
    return static_cast<size_t>(slot - out);
}

// A real sensor reads a row out in groups of 32 columns: VECT_BASE_X, then VECT_12,
// VECT_12, VECT_8, with a mask of two or three bits between them. `loadGroup` reads the
// four words at once (little-endian, the first in the low bits); a group whose types match
// and whose columns all lie on the sensor is decoded as one 32-bit mask.
constexpr uint64_t kGroupTypeBits = 0xF000F000F000F000u;
constexpr uint64_t kSensorGroup = (uint64_t{VECT_8} << 60) | (uint64_t{VECT_12} << 44) | (uint64_t{VECT_12} << 28) |
                                  (uint64_t{VECT_BASE_X} << 12);
constexpr uint32_t kGroupColumns = 32;

inline uint64_t loadGroup(const uint8_t* p) {
    uint64_t group = 0;
    if constexpr (kLittleEndian) {
        std::memcpy(&group, p, sizeof(group));
    } else {
        for (int i = 0; i < 8; ++i) group |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    return group;
}

// Writes the events of a group's masks, `lowHalf` being the low half of the event of its
// first column. The first two set bits, all a sparse row has, are written as candidates
// without a branch; the rest of a denser mask through the per-column expansion.
inline size_t sensorGroup(Event2D* out, size_t n, uint64_t group, uint64_t lowHalf, uint64_t timestamp) {
    uint64_t mask = ((group >> 16) & 0xFFF) | (((group >> 32) & 0xFFF) << 12) | (((group >> 48) & 0xFF) << 24);
    const auto candidate = [&](uint64_t setBits) {
        return lowHalf + static_cast<uint32_t>(std::countr_zero(setBits | (uint64_t{1} << kGroupColumns)));
    };
    storeEvent(out + n, candidate(mask), timestamp);
    n += mask != 0;
    mask &= mask - 1;
    storeEvent(out + n, candidate(mask), timestamp);
    n += mask != 0;
    mask &= mask - 1;
    if (mask != 0) [[unlikely]] {
        n = expandMask<kGroupColumns>(out, n, static_cast<uint32_t>(mask), lowHalf, timestamp);
    }
    return n;
}

// The word types of the on-sensor loop's branch-free path, and what a word of each type
// does there: the bytes it moves the output slot by (an event's for ADDR_X), the bits of
// the row it replaces (all for ADDR_Y) and those of the time (the low 12 for TIME_LOW).
constexpr uint32_t kPixelPathTypes = (1u << ADDR_Y) | (1u << 0x1) | (1u << ADDR_X) | (1u << TIME_LOW);
struct PixelPathRules {
    size_t slotStep[16];
    uint64_t rowMask[16];
    uint64_t timeLowMask[16];
};
constexpr PixelPathRules makePixelPathRules() {
    PixelPathRules r{};
    r.slotStep[ADDR_X] = sizeof(Event2D);
    r.rowMask[ADDR_Y] = ~uint64_t{0};
    r.timeLowMask[TIME_LOW] = 0xFFF;
    return r;
}
constexpr PixelPathRules kPixelPath = makePixelPathRules();

#if defined(__SSE2__)
// Eight words at once, for the runs of ADDR_Y, ADDR_X and TIME_LOW words between the
// vector groups of a real stream. `pixelRunMask` says, one bit per word, which of the eight
// words at `p` are such words on the sensor (ADDR_Y below `height`, ADDR_X left of `width`,
// any TIME_LOW).
inline uint32_t pixelRunMask(const uint8_t* p, __m128i height, __m128i width) {
    const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i type = _mm_srli_epi16(words, 12);
    const __m128i x = _mm_and_si128(words, _mm_set1_epi16(static_cast<short>(kMaxCoordinate)));
    const __m128i row = _mm_and_si128(_mm_cmpeq_epi16(type, _mm_set1_epi16(ADDR_Y)), _mm_cmplt_epi16(x, height));
    const __m128i pixel = _mm_and_si128(_mm_cmpeq_epi16(type, _mm_set1_epi16(ADDR_X)), _mm_cmplt_epi16(x, width));
    const __m128i timeLow = _mm_cmpeq_epi16(type, _mm_set1_epi16(TIME_LOW));
    const __m128i kept = _mm_or_si128(_mm_or_si128(row, pixel), timeLow);
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(kept, _mm_setzero_si128())));
}

// Per set of ADDR_X lanes (one bit per lane): the byte offset from the run's first slot at
// which each lane's candidate event is written, and (the ninth) the bytes the slot moves on.
struct RunSlots {
    uint16_t offset[9];
};
struct RunSlotTable {
    RunSlots entry[256];
};
constexpr RunSlotTable makeRunSlots() {
    RunSlotTable t{};
    for (uint32_t pixels = 0; pixels < 256; ++pixels) {
        uint32_t offset = 0;
        for (uint32_t lane = 0; lane < 8; ++lane) {
            t.entry[pixels].offset[lane] = static_cast<uint16_t>(offset);
            offset += ((pixels >> lane) & 1) * sizeof(Event2D);
        }
        t.entry[pixels].offset[8] = static_cast<uint16_t>(offset);
    }
    return t;
}
constexpr RunSlotTable kRunSlotTable = makeRunSlots();
constexpr const RunSlots* kRunSlots = kRunSlotTable.entry;

// Each lane of `values` where `has` is set, carried into the lanes after it up to the next
// set one (three doubling steps over eight 16-bit lanes); lanes before the first set one
// get `before`. `values` must be 0 where `has` is not set.
inline __m128i carryForward(__m128i values, __m128i has, __m128i before) {
    values = _mm_or_si128(values, _mm_andnot_si128(has, _mm_slli_si128(values, 2)));
    has = _mm_or_si128(has, _mm_slli_si128(has, 2));
    values = _mm_or_si128(values, _mm_andnot_si128(has, _mm_slli_si128(values, 4)));
    has = _mm_or_si128(has, _mm_slli_si128(has, 4));
    values = _mm_or_si128(values, _mm_andnot_si128(has, _mm_slli_si128(values, 8)));
    has = _mm_or_si128(has, _mm_slli_si128(has, 8));
    return _mm_or_si128(values, _mm_andnot_si128(has, before));
}

// Decodes the first `lanes` (0 to 8) of the eight words at `p`, which `pixelRunMask` found
// on the pixel path: the row and the time's low bits are carried across the lanes, the
// eight candidate events are built in registers and written at the slots a table gives for
// the set of ADDR_X lanes, so that each is kept only for an ADDR_X among the first `lanes`.
// `row` (y << 16) and `timestamp` are the ones in force before the words and are replaced
// by those after the last word decoded; returns the next slot as a byte offset. The eight
// candidates need room for eight events past the slot.
inline size_t decodePixelRun(const uint8_t* p, uint32_t lanes, char* outBytes, size_t slot, uint64_t& row,
                             uint64_t& timestamp) {
    const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i zero = _mm_setzero_si128();
    const __m128i type = _mm_srli_epi16(words, 12);
    const __m128i x = _mm_and_si128(words, _mm_set1_epi16(static_cast<short>(kMaxCoordinate)));
    const __m128i isRow = _mm_cmpeq_epi16(type, zero);
    const __m128i isTimeLow = _mm_cmpeq_epi16(type, _mm_set1_epi16(TIME_LOW));
    const __m128i isPixel = _mm_cmpeq_epi16(type, _mm_set1_epi16(ADDR_X));
    const __m128i rows = carryForward(_mm_and_si128(x, isRow), isRow, _mm_set1_epi16(static_cast<short>(row >> 16)));
    const __m128i lows = carryForward(_mm_and_si128(_mm_and_si128(words, _mm_set1_epi16(0xFFF)), isTimeLow),
                                      isTimeLow, _mm_set1_epi16(static_cast<short>(timestamp & 0xFFF)));
    const __m128i polarity = _mm_and_si128(_mm_srli_epi16(words, 11), _mm_set1_epi16(1));
    const __m128i high = _mm_set1_epi64x(static_cast<long long>(timestamp & ~uint64_t{0xFFF}));
    // Low halves (x | y << 16 | polarity << 32) and timestamps, two events per register.
    const __m128i xyLow = _mm_unpacklo_epi16(x, rows);
    const __m128i xyHigh = _mm_unpackhi_epi16(x, rows);
    const __m128i polarityLow = _mm_unpacklo_epi16(polarity, zero);
    const __m128i polarityHigh = _mm_unpackhi_epi16(polarity, zero);
    const __m128i lowsLow = _mm_unpacklo_epi16(lows, zero);
    const __m128i lowsHigh = _mm_unpackhi_epi16(lows, zero);
    const __m128i halves[4] = {_mm_unpacklo_epi32(xyLow, polarityLow), _mm_unpackhi_epi32(xyLow, polarityLow),
                               _mm_unpacklo_epi32(xyHigh, polarityHigh), _mm_unpackhi_epi32(xyHigh, polarityHigh)};
    const __m128i times[4] = {_mm_or_si128(high, _mm_unpacklo_epi32(lowsLow, zero)),
                              _mm_or_si128(high, _mm_unpackhi_epi32(lowsLow, zero)),
                              _mm_or_si128(high, _mm_unpacklo_epi32(lowsHigh, zero)),
                              _mm_or_si128(high, _mm_unpackhi_epi32(lowsHigh, zero))};
    const uint32_t pixels = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(isPixel, zero))) & ((1u << lanes) - 1);
    const RunSlots& slots = kRunSlots[pixels];
    char* const first = outBytes + slot;
    for (int i = 0; i < 4; ++i) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first + slots.offset[2 * i]), _mm_unpacklo_epi64(halves[i], times[i]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first + slots.offset[2 * i + 1]), _mm_unpackhi_epi64(halves[i], times[i]));
    }
    slot += slots.offset[8];
    // The row and the time's low bits after the last lane decoded (before the first when
    // there is none).
    uint16_t rowAfter[9];
    uint16_t lowAfter[9];
    rowAfter[0] = static_cast<uint16_t>(row >> 16);
    lowAfter[0] = static_cast<uint16_t>(timestamp & 0xFFF);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rowAfter + 1), rows);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(lowAfter + 1), lows);
    row = static_cast<uint64_t>(rowAfter[lanes]) << 16;
    timestamp = (timestamp & ~uint64_t{0xFFF}) | lowAfter[lanes];
    return slot;
}
#endif

// Words decoded per chunk at most: their events always fit in the room left.
constexpr size_t kChunkWords = Evt3Decoder::kOutputCapacity / kMaxEventsPerWord / 4;

}  // namespace

Evt3Decoder::Evt3Decoder() : output_(kOutputCapacity + kMaxEventsPerWord) { setRows(); }

Evt3Decoder::Evt3Decoder(uint32_t width, uint32_t height) : Evt3Decoder() {
    if (width == 0 || height == 0) {
        throw std::invalid_argument("Evt3Decoder: width and height must be at least 1, got " +
                                    std::to_string(width) + " x " + std::to_string(height));
    }
    width_ = std::min(width, kCoordinateRange);
    height_ = std::min(height, kCoordinateRange);
    setRows();
}

void Evt3Decoder::setRows() {
    rows_.resize(kCoordinateRange);
    for (uint32_t y = 0; y < kCoordinateRange; ++y) rows_[y] = (y << 16) | (y < height_ ? width_ : 0);
}

Evt3Decoder::~Evt3Decoder() = default;

uint64_t Evt3Decoder::getLastTimestamp() const {
    return lastTimestamp_.load(std::memory_order_relaxed);
}

uint64_t Evt3Decoder::getFirstStatistic() const {
    return eventCount_.load(std::memory_order_relaxed);
}

uint64_t Evt3Decoder::getSecondStatistic() const {
    return byteCount_.load(std::memory_order_relaxed);
}

uint64_t Evt3Decoder::getDroppedEventCount() const {
    return droppedCount_.load(std::memory_order_relaxed);
}

void Evt3Decoder::resetTimestamp(const uint64_t& timestamp) {
    State s;
    s.timeBase = timestamp & ~(kTimeRange - 1);
    s.timeHigh = static_cast<uint32_t>((timestamp >> kTimeLowBits) & 0xFFF);
    s.timeLow = static_cast<uint32_t>(timestamp & 0xFFF);
    s.timeKnown = 1;
    state_ = s;
    hasPendingByte_ = false;
    lastTimestamp_.store(timestamp, std::memory_order_relaxed);
}

void Evt3Decoder::reset() {
    state_ = State{};
    hasPendingByte_ = false;
    lastTimestamp_.store(0, std::memory_order_relaxed);
}

void Evt3Decoder::primeRowState(const RowState& state) {
    // A row or base no word can carry is no state a stream can be in: left unknown.
    const bool row = state.hasRow && state.row <= kMaxCoordinate;
    const bool vector = state.hasVector && state.vectorBase <= kMaxCoordinate;
    state_.rowKnown = row ? 1 : 0;
    state_.row = row ? state.row : 0;
    state_.vectorKnown = vector ? 1 : 0;
    state_.vectorBase = vector ? state.vectorBase : 0;
    state_.vectorPolarity = vector ? (state.vectorPolarity & 1u) : 0;
}

RowState Evt3Decoder::getRowState() const {
    RowState r;
    r.hasRow = state_.rowKnown != 0;
    r.row = static_cast<uint16_t>(state_.row);
    // An unknown base (none seen yet, or a run past x 2047) reads as base 0, polarity 0.
    r.hasVector = state_.vectorKnown != 0;
    r.vectorBase = r.hasVector ? static_cast<uint16_t>(state_.vectorBase) : 0;
    r.vectorPolarity = r.hasVector ? static_cast<uint8_t>(state_.vectorPolarity) : 0;
    return r;
}

uint32_t Evt3Decoder::decodeBuffer(const std::vector<uint8_t>& buffer) {
    const uint64_t events = decodeBytes(buffer.data(), buffer.data() + buffer.size());
    return static_cast<uint32_t>(std::min<uint64_t>(events, std::numeric_limits<uint32_t>::max()));
}

void Evt3Decoder::decodeWord(const uint8_t* first, const uint8_t* last) {
    decodeBytes(first, last);
}

uint32_t Evt3Decoder::decodeWordCounted(const uint8_t* first, const uint8_t* last,
                                        uint8_t wordSize) {
    if (wordSize != kWordSize) {
        throw std::invalid_argument("Evt3Decoder: wordSize must be 2 bytes, got " +
                                    std::to_string(static_cast<unsigned>(wordSize)));
    }
    const uint64_t events = decodeBytes(first, last);
    return static_cast<uint32_t>(std::min<uint64_t>(events, std::numeric_limits<uint32_t>::max()));
}

void Evt3Decoder::deliver(size_t end) {
    // A callback that asks for the time sees the time reached by the events it receives.
    lastTimestamp_.store(state_.time(), std::memory_order_relaxed);
    if (end > rangeBegin_ && eventsCallback_) {
        eventsCallback_(output_.data() + rangeBegin_, output_.data() + end);
    }
    rangeBegin_ = end;
}

void Evt3Decoder::publishProgress(const State& s, uint64_t events, uint64_t bytes) {
    lastTimestamp_.store(s.time(), std::memory_order_relaxed);
    eventCount_.fetch_add(events, std::memory_order_relaxed);
    byteCount_.fetch_add(bytes, std::memory_order_relaxed);
    droppedCount_.store(dropped_, std::memory_order_relaxed);
}

uint64_t Evt3Decoder::decodeBytes(const uint8_t* first, const uint8_t* last) {
    if (first == last) return 0;
    if (first == nullptr || last == nullptr || last < first) {
        throw std::invalid_argument("Evt3Decoder: [first, last) is not a valid byte range");
    }
    const uint64_t byteCount = static_cast<uint64_t>(last - first);
    uint64_t total = 0;
    rangeBegin_ = 0;
    size_t n = 0;  // events in output_
    // The loop below sees only whole words; a word split across calls is joined here.
    if (hasPendingByte_) {
        const uint8_t joined[2] = {pendingByte_, *first++};
        hasPendingByte_ = false;
        n = decodeWords(joined, 1, 0);
    }
    const size_t wordCount = static_cast<size_t>(last - first) / kWordSize;
    const uint8_t* p = first;
    const uint8_t* const wordsEnd = first + wordCount * kWordSize;
    while (p != wordsEnd) {
        // Hand out what is buffered once the room left could run short.
        if (output_.size() - kMaxEventsPerWord - n < kChunkWords * kMaxEventsPerWord) {
            deliver(n);
            total += n;
            n = 0;
            rangeBegin_ = 0;
        }
        const size_t chunk = std::min(kChunkWords, static_cast<size_t>(wordsEnd - p) / kWordSize);
        n = decodeWords(p, chunk, n);
        p += chunk * kWordSize;
    }
    if (p != last) {
        pendingByte_ = *p;
        hasPendingByte_ = true;
    }
    deliver(n);
    total += n;
    publishProgress(state_, total, byteCount);
    return total;
}

size_t Evt3Decoder::decodeWords(const uint8_t* p, size_t wordCount, size_t n) {
    State s = state_;
    Event2D* const out = output_.data();
    const uint8_t* const end = p + wordCount * kWordSize;
    const uint32_t* const rowOf = rows_.data();
    uint64_t timestamp = s.time();
    uint64_t rowBits = static_cast<uint64_t>(s.row) << 16;  // y, in place in an event's low half

    auto saveState = [&] {
        s.row = static_cast<uint32_t>(rowBits >> 16);
        state_ = s;
    };

    // VECT_12 / VECT_8. The VECT_12 masks of a real sensor are mostly sparse (0 to 2 bits
    // set): both candidate events are written without a branch and kept as far as the mask
    // goes. Denser VECT_12 masks, and every VECT_8 mask (whose density in a busy stream
    // varies from word to word more than a branch on it would predict, and which costs at
    // most eight stores), write one candidate per column. `rowWidth` is the width of the
    // current row (0 below the sensor); `valid` says whether the time and the row are known.
    auto vectorWord = [&](uint32_t word, uint32_t type, bool valid, uint32_t rowWidth) {
        const uint32_t base = s.vectorBase;
        uint32_t mask = (valid & (s.vectorKnown != 0)) ? word & (type == VECT_12 ? 0xFFFu : 0xFFu) : 0;
        uint32_t next = base + (type == VECT_12 ? 12 : 8);
        // Near the row's end (the sensor's edge, or the last column a word can carry; any
        // column of a row below the sensor): bits for columns at or past the row's width
        // carry no event, so the mask is clipped rather than each event tested, and a base
        // carried past x 2047 leaves no base in force, as before any VECT_BASE_X. Anywhere
        // else neither can happen (the row's width is at most 2048).
        if (base + kMaxEventsPerWord >= rowWidth) [[unlikely]] {
            const uint32_t kept = mask & vectorClipMask(base, rowWidth);
            if (kept != mask) dropped_ += static_cast<uint64_t>(std::popcount(mask ^ kept));
            mask = kept;
            if (next > kMaxCoordinate) {
                next = 0;
                s.vectorKnown = 0;
            }
        }
        const uint64_t lowHalf = rowBits | (static_cast<uint64_t>(s.vectorPolarity) << 32) | base;
        if (type == VECT_12 && clearLowest(clearLowest(mask)) == 0) {
            // Zero to two bits: both candidates written, kept as far as the mask goes.
            const auto candidate = [&](uint32_t setBits) {
                return lowHalf + static_cast<uint32_t>(std::countr_zero(setBits));
            };
            storeEvent(out + n, candidate(mask | 0x1000u), timestamp);
            n += mask != 0;
            mask = clearLowest(mask);
            storeEvent(out + n, candidate(mask | 0x1000u), timestamp);
            n += mask != 0;
        } else if (type == VECT_12) {
            n = expandMask<12>(out, n, mask, lowHalf, timestamp);
        } else {
            n = expandMask<8>(out, n, mask, lowHalf, timestamp);
        }
        s.vectorBase = next;
    };

    // Every other type: the rare words that move the time, set a vector base, or report a
    // trigger; and the ones the decoder passes over.
    auto otherWord = [&](uint32_t word, uint32_t type) {
        switch (type) {
            case VECT_BASE_X:
                s.vectorBase = word & kMaxCoordinate;
                s.vectorPolarity = (word >> 11) & 1;
                s.vectorKnown = 1;
                break;
            case TIME_LOW:
                s.timeLow = word & 0xFFF;
                timestamp = s.time();
                break;
            case TIME_HIGH: {
                const uint32_t high = word & 0xFFF;
                // A large backward step of the high part is the 24-bit counter rolling
                // over; a small one is sensor jitter and keeps the offset.
                if (s.timeHigh > high && s.timeHigh - high > kRolloverThreshold) s.timeBase += kTimeRange;
                s.timeHigh = high;
                s.timeKnown = 1;
                timestamp = s.time();
                break;
            }
            case EXT_TRIGGER:
                // An edge without a known time would carry an invented one: dropped.
                if (s.timeKnown) {
                    // Every event before the trigger word is handed out first. The state is
                    // stored before any callback runs, so it stays right if one throws.
                    saveState();
                    deliver(n);
                    if (triggerInCallback_) {
                        triggerInCallback_(EventTriggerIn(static_cast<int16_t>((word >> 8) & 0xF),
                                                          static_cast<int16_t>(word & 1), timestamp));
                    }
                }
                break;
            default:
                // CONTINUED_4, OTHERS, CONTINUED_12 and the reserved types 0x1, 0x9, 0xB-0xD
                // carry nothing the decoder tracks.
                break;
        }
    };

    // Until the time and the row are both known (the start of a stream, after a reset),
    // pixel words produce nothing.
    for (; p != end && !(s.timeKnown & s.rowKnown); p += kWordSize) {
        const uint32_t word = loadWord(p);
        const uint32_t type = word >> 12;
        if (type == ADDR_Y) {
            rowBits = static_cast<uint64_t>(word & kMaxCoordinate) << 16;
            s.rowKnown = 1;
        } else if (type - VECT_12 < 2) {
            vectorWord(word, type, false, 0);
        } else if (type != ADDR_X) {
            otherWord(word, type);
        }
    }
    if (p == end) {
        saveState();
        return n;
    }
    // From here on nothing makes the row or time unknown. A real sensor's words all lie on
    // it: while the row is on the sensor and no ADDR_Y below it or ADDR_X right of it comes,
    // every ADDR_X word is an event and only vector masks need clipping.
    const uint32_t width = width_;
    if (rowOf[rowBits >> 16] == (rowBits | width)) {
        // Per type, the coordinate a word of it must stay below to take the pixel path: the
        // sensor's height for ADDR_Y, its width for ADDR_X, any for the reserved type 1 and
        // TIME_LOW, none for the other types. One comparison picks the path and finds a
        // word off the sensor.
        uint32_t limit[16] = {};
        limit[ADDR_Y] = height_;
        limit[0x1] = kCoordinateRange;
        limit[ADDR_X] = width;
        limit[TIME_LOW] = kCoordinateRange;
        // The next output slot as a byte offset into the output buffer.
        size_t slot = n * sizeof(Event2D);
        char* const outBytes = reinterpret_cast<char*>(out);
        // Runs of pixel-path words are taken eight at a time (`decodePixelRun`), a run of
        // two to seven before another word too. The other words, and the pixel-path words
        // around them, go one at a time for a stretch that grows each time a look finds no
        // run (up to 256 words), so that a stream of vectors is looked at seldom; a full
        // block of eight shrinks it back to the one word that ended the run.
#if defined(__SSE2__)
        const __m128i heightLimit = _mm_set1_epi16(static_cast<short>(height_));
        const __m128i widthLimit = _mm_set1_epi16(static_cast<short>(width));
        constexpr uint32_t kShortestRun = 2;   // fewer words of a run at a look: no run
        constexpr uint32_t kFirstStretch = 4;  // words one at a time after a first look finding none
        constexpr uint32_t kLongestStretch = 256;
#endif
        uint32_t backOff = 0;  // words one at a time, beyond the one ending a run, after a look
        bool offSensor = false;
        while (p != end && !offSensor) {
            uint32_t lanes = 0;
#if defined(__SSE2__)
            if constexpr (kLittleEndian) {
                while (end - p >= 8 * static_cast<std::ptrdiff_t>(kWordSize)) {
                    lanes = static_cast<uint32_t>(std::countr_one(pixelRunMask(p, heightLimit, widthLimit)));
                    if (lanes < kShortestRun) {
                        backOff = std::min<uint32_t>(backOff * 2 + kFirstStretch, kLongestStretch);
                        break;
                    }
                    if (lanes == 8) backOff = 0;
                    slot = decodePixelRun(p, lanes, outBytes, slot, rowBits, timestamp);
                    p += lanes * kWordSize;
                    if (lanes != 8) {
                        lanes = 0;
                        break;
                    }
                }
            }
#endif
            const uint8_t* const stop = p + std::min<size_t>((lanes + 1 + backOff) * kWordSize, static_cast<size_t>(end - p));
            for (; p < stop; p += kWordSize) {
                const uint32_t word = loadWord(p);
                const uint32_t type = word >> 12;
                const uint64_t x = word & kMaxCoordinate;
                if (x < limit[type]) [[likely]] {
                    // ADDR_Y, ADDR_X, TIME_LOW or the reserved type 1, without a branch on the
                    // type (sparse streams mix the three in no order a branch would predict):
                    // the candidate event is written to the next slot and kept only for an
                    // ADDR_X; an ADDR_Y replaces the row and a TIME_LOW the time's low 12 bits
                    // through the masks of its type.
                    storeEvent(reinterpret_cast<Event2D*>(outBytes + slot),
                               x | rowBits | (static_cast<uint64_t>(word & 0x800) << 21), timestamp);
                    slot += kPixelPath.slotStep[type];
                    rowBits ^= (rowBits ^ (x << 16)) & kPixelPath.rowMask[type];
                    timestamp ^= (timestamp ^ word) & kPixelPath.timeLowMask[type];
                    continue;
                }
                if ((kPixelPathTypes >> type) & 1) {  // an ADDR_Y or ADDR_X off the sensor
                    offSensor = true;
                    break;
                }
                n = slot / sizeof(Event2D);
                if (type == VECT_BASE_X) {
                    s.vectorBase = word & kMaxCoordinate;
                    s.vectorPolarity = (word >> 11) & 1;
                    s.vectorKnown = 1;
                    if (end - p >= 4 * static_cast<std::ptrdiff_t>(kWordSize)) {
                        const uint64_t group = loadGroup(p);
                        if ((group & kGroupTypeBits) == kSensorGroup && s.vectorBase + kGroupColumns < width) {
                            n = sensorGroup(out, n, group,
                                            rowBits | (static_cast<uint64_t>(s.vectorPolarity) << 32) | s.vectorBase,
                                            timestamp);
                            s.vectorBase += kGroupColumns;
                            p += 3 * kWordSize;
                        }
                    }
                } else if (type - VECT_12 < 2) {
                    vectorWord(word, type, true, width);
                } else {
                    s.timeLow = static_cast<uint32_t>(timestamp & 0xFFF);
                    otherWord(word, type);
                }
                slot = n * sizeof(Event2D);
            }
        }
        n = slot / sizeof(Event2D);
        s.timeLow = static_cast<uint32_t>(timestamp & 0xFFF);
        if (p == end) {
            saveState();
            return n;
        }
    }
    // The rest of the chunk, with words off the sensor. `row` holds y in bits 31..16, as in
    // an event's low half, and the row's width in bits 15..0: the sensor width, 0 below the
    // sensor. An ADDR_Y replaces both with one table entry; an ADDR_X is kept when its x is
    // below the width.
    uint32_t row = rowOf[rowBits >> 16];
    uint64_t droppedPixels = 0;
    for (; p != end; p += kWordSize) {
        const uint32_t word = loadWord(p);
        const uint32_t type = word >> 12;
        if (type <= ADDR_X) {
            const uint32_t x = word & kMaxCoordinate;
            storeEvent(out + n, x | (row & 0xFFFF0000u) | (static_cast<uint64_t>(word & 0x800) << 21), timestamp);
            // Without the polarity bit an ADDR_X word is 0x2000 + x, the other two types
            // are below 0x2000: one unsigned comparison tests the type and the column.
            const uint32_t kept = (word & 0xF7FFu) - (uint32_t{ADDR_X} << 12) < (row & 0xFFFFu);
            n += kept;
            droppedPixels += static_cast<uint32_t>(type == ADDR_X) ^ kept;
            const uint32_t select = 0u - static_cast<uint32_t>(type == ADDR_Y);
            row ^= (row ^ rowOf[x]) & select;
        } else if (type - VECT_12 < 2) {
            rowBits = row & 0xFFFF0000u;
            vectorWord(word, type, true, row & 0xFFFFu);
        } else {
            // A trigger's callback may throw: the state and the count are stored first.
            rowBits = row & 0xFFFF0000u;
            dropped_ += droppedPixels;
            droppedPixels = 0;
            otherWord(word, type);
        }
    }
    rowBits = row & 0xFFFF0000u;
    dropped_ += droppedPixels;
    saveState();
    return n;
}

}  // namespace vireo
