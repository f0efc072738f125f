// The EVT 3.0 decoder's word loop and its bookkeeping.
//
// The loop works on a local copy of the state. Once the time and the row are known (they
// stay known until a reset), pixel (ADDR_X) and row (ADDR_Y) words, most of any real
// stream, share one branch-free path: the candidate event is always written to the next
// output slot and kept only for an ADDR_X, and an ADDR_Y moves the row by a conditional
// move. Vector masks are expanded by bit scanning; the rare words go through a switch. The
// output buffer is refilled in chunks of words small enough that even all-vector words
// cannot overflow it, so no word checks the room left.
#include <vireo/Evt3Decoder.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

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
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
}

// Words decoded per chunk at most: their events always fit in the room left.
constexpr size_t kChunkWords = Evt3Decoder::kOutputCapacity / kMaxEventsPerWord / 4;

}  // namespace

Evt3Decoder::Evt3Decoder() : output_(kOutputCapacity + kMaxEventsPerWord) {}

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
    state_.rowKnown = state.hasRow ? 1 : 0;
    state_.row = state.hasRow ? state.row : 0;
    state_.vectorKnown = state.hasVector ? 1 : 0;
    state_.vectorBase = state.hasVector ? state.vectorBase : 0;
    state_.vectorPolarity = state.hasVector ? (state.vectorPolarity & 1u) : 0;
}

RowState Evt3Decoder::getRowState() const {
    RowState r;
    r.hasRow = state_.rowKnown != 0;
    r.row = static_cast<uint16_t>(state_.row);
    r.hasVector = state_.vectorKnown != 0;
    r.vectorBase = static_cast<uint16_t>(state_.vectorBase);
    r.vectorPolarity = static_cast<uint8_t>(state_.vectorPolarity);
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
    uint64_t timestamp = s.time();
    uint64_t rowBits = static_cast<uint64_t>(s.row) << 16;  // y, in place in an event's low half

    auto saveState = [&] {
        s.row = static_cast<uint32_t>(rowBits >> 16);
        state_ = s;
    };

    // VECT_12 / VECT_8. Real vectors are sparse (0 to 2 bits set): the first two events are
    // written as candidates without a branch, and only longer masks loop.
    auto vectorWord = [&](uint32_t word, uint32_t type, bool valid) {
        uint32_t mask = valid ? (word & (type == VECT_12 ? 0xFFFu : 0xFFu)) : 0;
        const uint64_t lowHalf = rowBits | (static_cast<uint64_t>(s.vectorPolarity) << 32);
        const uint32_t base = s.vectorBase;
        const auto candidate = [&](uint32_t bits) {
            return lowHalf | ((base + static_cast<uint32_t>(std::countr_zero(bits))) & 0xFFFF);
        };
        storeEvent(out + n, candidate(mask | 0x1000u), timestamp);
        n += mask != 0;
        mask &= mask - 1;
        storeEvent(out + n, candidate(mask | 0x1000u), timestamp);
        n += mask != 0;
        mask &= mask - 1;
        while (mask != 0) {
            storeEvent(out + n, candidate(mask), timestamp);
            ++n;
            mask &= mask - 1;
        }
        s.vectorBase += type == VECT_12 ? 12 : 8;
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
            vectorWord(word, type, false);
        } else if (type != ADDR_X) {
            otherWord(word, type);
        }
    }
    // From here on every ADDR_X word is an event, and nothing makes the row or time unknown.
    for (; p != end; p += kWordSize) {
        const uint32_t word = loadWord(p);
        const uint32_t type = word >> 12;
        if (type <= ADDR_X) {
            // ADDR_Y, ADDR_X, or the reserved type 1: written as a candidate event, kept
            // only for an ADDR_X; an ADDR_Y moves the row by a conditional move.
            const uint64_t x = word & kMaxCoordinate;
            storeEvent(out + n, x | rowBits | (static_cast<uint64_t>(word & 0x800) << 21), timestamp);
            n += type == ADDR_X;
            rowBits = type == ADDR_Y ? x << 16 : rowBits;
        } else if (type - VECT_12 < 2) {
            vectorWord(word, type, s.vectorKnown != 0);
        } else {
            otherWord(word, type);
        }
    }
    saveState();
    return n;
}

}  // namespace vireo
