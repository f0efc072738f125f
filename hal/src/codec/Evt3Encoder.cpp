// The EVT 3.0 encoder: time words, row words, and the choice between ADDR_X words and
// vectors for the events of one row at one time.
#include <vireo/Evt3Encoder.h>

#include <stdexcept>
#include <string>

#include <vireo/Evt3.h>

namespace vireo {
namespace {

using namespace evt3;

// A vector word covers 12 pixels; a gap of at most this many pixels between two events of a
// run keeps them in one vector without a wasted all-zero mask word.
constexpr uint32_t kVectorGap = 12;

[[noreturn]] void badInput(const std::string& what) {
    throw std::invalid_argument("Evt3Encoder: " + what);
}

void checkEvent(const Event2D& e) {
    if (e.x > kMaxCoordinate) badInput("event x " + std::to_string(e.x) + " is above 2047");
    if (e.y > kMaxCoordinate) badInput("event y " + std::to_string(e.y) + " is above 2047");
    if (e.polarity > 1) {
        badInput("event polarity must be 0 or 1, got " + std::to_string(e.polarity));
    }
}

}  // namespace

void Evt3Encoder::reset() {
    *this = Evt3Encoder();
}

void Evt3Encoder::beginBuffer() {
    timeHighDue_ = true;
}

void Evt3Encoder::put(std::vector<uint8_t>& out, uint16_t word) {
    if (timeHighDue_) {
        timeHighDue_ = false;
        // Only a stream that already has a time repeats it; otherwise the time words of
        // the first timestamp come next anyway.
        if (timeKnown_ && wordType(word) != TIME_HIGH) {
            put(out, makeWord(TIME_HIGH, static_cast<uint16_t>(time_ >> kTimeLowBits)));
        }
    }
    out.push_back(static_cast<uint8_t>(word & 0xFF));
    out.push_back(static_cast<uint8_t>(word >> 8));
    ++wordCount_;
}

void Evt3Encoder::advanceTime(uint64_t timestamp, std::vector<uint8_t>& out, const char* what) {
    if (!timeKnown_) {
        put(out, makeWord(TIME_HIGH, static_cast<uint16_t>(timestamp >> kTimeLowBits)));
        put(out, makeWord(TIME_LOW, static_cast<uint16_t>(timestamp)));
        time_ = timestamp;
        timeKnown_ = true;
        return;
    }
    if (timestamp < time_) {
        badInput(std::string(what) + " timestamp " + std::to_string(timestamp) +
                 " is before the time already encoded (" + std::to_string(time_) + ")");
    }
    if (timestamp == time_) return;
    // One TIME_HIGH per 4096 µs step, as a sensor sends them: the decoder sees every step
    // of the high part and so every rollover of the 24-bit time.
    for (uint64_t high = (time_ >> kTimeLowBits) + 1; high <= (timestamp >> kTimeLowBits); ++high) {
        put(out, makeWord(TIME_HIGH, static_cast<uint16_t>(high)));
    }
    if ((timestamp & 0xFFF) != (time_ & 0xFFF)) {
        put(out, makeWord(TIME_LOW, static_cast<uint16_t>(timestamp)));
    }
    time_ = timestamp;
}

void Evt3Encoder::encodeTime(uint64_t timestamp, std::vector<uint8_t>& out) {
    advanceTime(timestamp, out, "time");
}

void Evt3Encoder::setRow(uint16_t y, std::vector<uint8_t>& out) {
    if (rowKnown_ && row_ == y) return;
    put(out, makeWord(ADDR_Y, y));
    row_ = y;
    rowKnown_ = true;
}

void Evt3Encoder::encodeTrigger(const EventTriggerIn& trigger, std::vector<uint8_t>& out) {
    if (trigger.id < 0 || trigger.id > 15) {
        badInput("trigger id must be in 0..15, got " + std::to_string(trigger.id));
    }
    if (trigger.polarity != 0 && trigger.polarity != 1) {
        badInput("trigger polarity must be 0 or 1, got " + std::to_string(trigger.polarity));
    }
    advanceTime(trigger.timestamp, out, "trigger");
    put(out, makeWord(EXT_TRIGGER, static_cast<uint16_t>((trigger.id << 8) | trigger.polarity)));
}

void Evt3Encoder::encodeEvents(const Event2D* first, const Event2D* last,
                               std::vector<uint8_t>& out) {
    if (first == last) return;
    if (first == nullptr || last < first) badInput("[first, last) is not a valid event range");
    while (first != last) {
        // One group: consecutive events of one row at one time.
        const Event2D* groupEnd = first + 1;
        while (groupEnd != last && groupEnd->timestamp == first->timestamp && groupEnd->y == first->y) {
            ++groupEnd;
        }
        for (const Event2D* e = first; e != groupEnd; ++e) checkEvent(*e);
        advanceTime(first->timestamp, out, "event");
        setRow(first->y, out);
        encodeRowGroup(first, groupEnd, out);
        first = groupEnd;
    }
}

void Evt3Encoder::encodeRowGroup(const Event2D* first, const Event2D* last,
                                 std::vector<uint8_t>& out) {
    // The decoder gives a vector's events in increasing x, so only runs of one polarity with
    // strictly increasing x may share vectors; anything else keeps its order as ADDR_X words.
    while (first != last) {
        const Event2D* runEnd = first + 1;
        while (runEnd != last && runEnd->polarity == first->polarity && runEnd->x > runEnd[-1].x) {
            ++runEnd;
        }
        encodeRun(first, runEnd, out);
        first = runEnd;
    }
}

void Evt3Encoder::encodeRun(const Event2D* first, const Event2D* last, std::vector<uint8_t>& out) {
    const uint16_t polarityBit = static_cast<uint16_t>(first->polarity << 11);
    while (first != last) {
        const Event2D* clusterEnd = first + 1;
        while (clusterEnd != last && static_cast<uint32_t>(clusterEnd->x - clusterEnd[-1].x) <= kVectorGap) {
            ++clusterEnd;
        }
        const uint32_t span = static_cast<uint32_t>(clusterEnd[-1].x - first->x) + 1;
        const size_t vectorWords = 1 + (span + 11) / 12;
        if (vectorWords >= static_cast<size_t>(clusterEnd - first)) {
            put(out, makeWord(ADDR_X, static_cast<uint16_t>(first->x | polarityBit)));
            ++first;
            continue;
        }
        put(out, makeWord(VECT_BASE_X, static_cast<uint16_t>(first->x | polarityBit)));
        uint32_t base = first->x;
        const uint32_t lastX = clusterEnd[-1].x;
        while (first != clusterEnd) {
            // A VECT_8 finishes the run when the pixels left fit in 8.
            const uint32_t width = lastX - base + 1 > 8 ? 12 : 8;
            uint16_t mask = 0;
            while (first != clusterEnd && first->x < base + width) {
                mask = static_cast<uint16_t>(mask | (1u << (first->x - base)));
                ++first;
            }
            put(out, makeWord(width == 12 ? VECT_12 : VECT_8, mask));
            base += width;
        }
    }
}

}  // namespace vireo
