// The EVT3 decoder on arbitrary bytes. The first bytes choose the sensor size and how the
// stream is cut into buffers; the rest is the stream. The stream is decoded twice, word by
// word and in buffers cut at arbitrary points (odd ones included), and the fuzzer stops the
// process on any broken promise of the decoder:
//
// - no event outside the sensor it was given, no polarity other than 0 or 1, no trigger
//   channel outside 0..15 and no trigger edge other than 0 or 1;
// - every event and edge carries the time of the stream at its word: the rollover offset
//   (a multiple of 2^24 µs that only grows, by 2^24 at each large backward TIME_HIGH step)
//   plus the 24-bit wire time. Time goes back only where a TIME_LOW, or a TIME_HIGH step
//   too small to be a rollover, set it back; never across a pixel word;
// - an ADDR_X event has the word's x and polarity and the row of the last ADDR_Y;
// - both decodes give the same events, edges and counters, which match what was handed out.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <vireo/Evt3.h>
#include <vireo/Evt3Decoder.h>

namespace {

using namespace vireo;

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "EVT3 decoder invariant violated: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition) violated(what);
}

struct Output {
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
};

void attach(Evt3Decoder& decoder, Output& output) {
    decoder.setEventsStreamHandleCallback([&output](const Event2D* first, const Event2D* last) {
        check(first != last, "an empty range was handed out");
        output.events.insert(output.events.end(), first, last);
    });
    decoder.setTriggerInCallback([&output](EventTriggerIn edge) { output.triggers.push_back(edge); });
}

void checkEvent(const Event2D& e, uint32_t width, uint32_t height) {
    check(e.x < width && e.y < height, "event outside the sensor");
    check(e.polarity <= 1, "polarity other than 0 or 1");
}

// The stream time as the decoder documents it, followed word by word.
struct TimeModel {
    uint64_t base = 0;
    uint32_t high = 0;
    uint32_t low = 0;
    bool known = false;
    uint64_t time() const { return base + ((uint64_t{high} << evt3::kTimeLowBits) | low); }

    // Returns whether the word set the time back without a rollover.
    bool apply(uint16_t word) {
        const uint64_t before = time();
        const uint32_t type = evt3::wordType(word);
        if (type == evt3::TIME_LOW) {
            low = evt3::payload(word);
        } else if (type == evt3::TIME_HIGH) {
            const uint32_t next = evt3::payload(word);
            if (high > next && high - next > evt3::kRolloverThreshold) base += evt3::kTimeRange;
            high = next;
            known = true;
        } else {
            return false;
        }
        return time() < before;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    // Sizes from 1 to 2048, with small sensors likely so that clipping is exercised.
    const uint32_t width = 1 + ((uint32_t{data[0]} << 3 | (data[2] & 7)) % 2048);
    const uint32_t height = 1 + ((uint32_t{data[1]} << 3 | (data[2] >> 3 & 7)) % 2048);
    const uint8_t cutSeed = data[3];
    const uint8_t* stream = data + 4;
    const size_t length = size - 4;

    // Word by word, against the time model.
    Evt3Decoder byWord(width, height);
    check(byWord.getWidth() == width && byWord.getHeight() == height, "geometry not kept");
    Output words;
    attach(byWord, words);
    TimeModel model;
    bool rowKnown = false;
    uint32_t row = 0;
    uint64_t lastTime = 0;
    bool steppedBack = false;  // a time word set the time back since the last event or edge
    for (size_t at = 0; at + 1 < length; at += 2) {
        const uint16_t word = static_cast<uint16_t>(stream[at] | stream[at + 1] << 8);
        const size_t eventsBefore = words.events.size();
        const size_t triggersBefore = words.triggers.size();
        byWord.decodeWord(stream + at, stream + at + 2);
        steppedBack |= model.apply(word);
        const uint32_t type = evt3::wordType(word);
        if (type == evt3::ADDR_Y) {
            rowKnown = true;
            row = word & evt3::kMaxCoordinate;
        }
        const size_t produced = words.events.size() - eventsBefore;
        const size_t edges = words.triggers.size() - triggersBefore;
        if (produced != 0) {
            check(type == evt3::ADDR_X || type == evt3::VECT_12 || type == evt3::VECT_8,
                  "events from a word that carries no pixel");
            check(model.known && rowKnown, "event before the time and the row were known");
            check(produced <= (type == evt3::VECT_8 ? 8u : type == evt3::VECT_12 ? 12u : 1u),
                  "more events than the word has pixels");
        }
        for (size_t i = eventsBefore; i < words.events.size(); ++i) {
            const Event2D& e = words.events[i];
            checkEvent(e, width, height);
            check(e.timestamp == model.time(), "event time is not the stream time at its word");
            check(e.y == row, "event not on the row of the last ADDR_Y");
            if (type == evt3::ADDR_X) {
                check(e.x == (word & evt3::kMaxCoordinate) && e.polarity == ((word >> 11) & 1),
                      "ADDR_X event with another pixel or polarity");
            }
        }
        if (edges != 0) {
            check(type == evt3::EXT_TRIGGER && edges == 1, "trigger edge from a word that is no trigger");
            check(model.known, "trigger edge before the time was known");
            const EventTriggerIn& edge = words.triggers.back();
            check(edge.id >= 0 && edge.id <= 15, "trigger id outside 0..15");
            check(edge.polarity == 0 || edge.polarity == 1, "trigger edge other than 0 or 1");
            check(edge.timestamp == model.time(), "trigger time is not the stream time at its word");
            check(edge.id == ((word >> 8) & 0xF) && edge.polarity == (word & 1), "trigger with another channel");
        }
        if (produced != 0 || edges != 0) {
            check(model.time() >= lastTime || steppedBack, "time went back without a time word setting it back");
            lastTime = model.time();
            steppedBack = false;
        }
    }
    check(byWord.getFirstStatistic() == words.events.size(), "event count is not what was handed out");
    check(byWord.getSecondStatistic() == (length & ~size_t{1}), "byte count is not what was decoded");

    // In buffers cut at points drawn from the seed: the same stream must come out.
    Evt3Decoder byBuffer(width, height);
    Output buffers;
    attach(byBuffer, buffers);
    uint64_t returned = 0;
    uint32_t state = cutSeed * 2654435761u + 1;
    for (size_t at = 0; at < length;) {
        state = state * 1103515245u + 12345u;
        const size_t piece = (cutSeed & 1) ? 1 + (state >> 16) % 64 : 1 + (state >> 16) % 40000;
        const size_t end = at + piece < length ? at + piece : length;
        returned += byBuffer.decodeBytes(stream + at, stream + end);
        at = end;
    }
    check(buffers.events.size() == words.events.size(), "buffer decode gives another event count");
    for (size_t i = 0; i < buffers.events.size(); ++i) {
        checkEvent(buffers.events[i], width, height);
        check(buffers.events[i] == words.events[i], "buffer decode gives another event");
    }
    check(buffers.triggers == words.triggers, "buffer decode gives other trigger edges");
    check(returned == buffers.events.size(), "decode calls return another event count");
    check(byBuffer.getDroppedEventCount() == byWord.getDroppedEventCount(), "dropped counts differ");
    check(byBuffer.getFirstStatistic() == buffers.events.size(), "event count is not what was handed out");
    check(byBuffer.getSecondStatistic() == length, "byte count is not what was decoded");
    check(byBuffer.getLastTimestamp() == byWord.getLastTimestamp() || length % 2 == 1,
          "the two decodes end at different times");
    return 0;
}
