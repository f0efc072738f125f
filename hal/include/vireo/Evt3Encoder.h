// The EVT 3.0 encoder: turns time-ordered events, trigger edges and the passage of time into
// the word stream a sensor would send, in its shortest faithful form. Used by the simulated
// cameras, the tests and the tools that write RAW files.
//
// The encoder is stateful like the decoder: it remembers the time, row and vector state it
// has written, so consecutive calls continue one stream and only the words that change the
// state are written. Words are appended to the caller's byte vector as 16-bit little-endian
// values. Decoding the bytes gives back exactly the events and edges encoded, in order.
//
// Time: the first time written after construction or `reset` is sent as TIME_HIGH and
// TIME_LOW directly. From then on time only moves forward, and every 4096 µs step of the
// high part is sent as its own TIME_HIGH word, as a sensor does (so a decoder can follow the
// 2^24 µs rollover of the wire time). A decoder that starts at the beginning of the stream
// reads the first time modulo 2^24 µs; prime it with `Decoder::resetTimestamp` to read
// larger times.
#pragma once

#include <cstdint>
#include <vector>

#include <vireo/SharedTypes.h>
#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT Evt3Encoder {
public:
    Evt3Encoder() = default;

    // Appends the words of the events [first, last) to `out`. Events must be in time order
    // and not earlier than the time already encoded. Events of one row at one time are
    // grouped: a run of one polarity with increasing x and small gaps goes out as
    // VECT_BASE_X followed by VECT_12 words (VECT_8 for a short tail) when that takes fewer
    // words than one ADDR_X per event; the rest as ADDR_X words. Throws
    // std::invalid_argument naming the value when an event goes back in time, has x or y
    // above 2047, or a polarity other than 0 or 1; the events before it stay encoded.
    void encodeEvents(const Event2D* first, const Event2D* last, std::vector<uint8_t>& out);
    void encodeEvents(const std::vector<Event2D>& events, std::vector<uint8_t>& out) {
        encodeEvents(events.data(), events.data() + events.size(), out);
    }

    // Appends one trigger edge (EXT_TRIGGER word, after any time words it needs). Throws
    // std::invalid_argument when its time goes back, its id is outside 0..15 or its
    // polarity is not 0 or 1.
    void encodeTrigger(const EventTriggerIn& trigger, std::vector<uint8_t>& out);

    // Appends the time words that bring the stream time to `timestamp` µs without any event:
    // one TIME_HIGH per 4096 µs step and a final TIME_LOW if the low part changed. Nothing is
    // written when the time is already there. Throws std::invalid_argument when `timestamp`
    // is earlier than the time already encoded.
    void encodeTime(uint64_t timestamp, std::vector<uint8_t>& out);

    // Starts a new transfer buffer: the next word written is preceded by a TIME_HIGH of the
    // current time, so a buffer never starts without one. Writes nothing itself.
    void beginBuffer();

    // Back to the initial state: no time, row or vector written yet.
    void reset();

    // The time in µs of the last time words written (0 before any).
    uint64_t currentTime() const { return time_; }
    // Words written since construction (or `reset`).
    uint64_t wordCount() const { return wordCount_; }

private:
    void put(std::vector<uint8_t>& out, uint16_t word);
    void advanceTime(uint64_t timestamp, std::vector<uint8_t>& out, const char* what);
    void setRow(uint16_t y, std::vector<uint8_t>& out);
    void encodeRowGroup(const Event2D* first, const Event2D* last, std::vector<uint8_t>& out);
    void encodeRun(const Event2D* first, const Event2D* last, std::vector<uint8_t>& out);

    uint64_t time_ = 0;
    bool timeKnown_ = false;
    bool timeHighDue_ = false;  // a TIME_HIGH must precede the next word (new buffer)
    bool rowKnown_ = false;
    uint16_t row_ = 0;
    uint64_t wordCount_ = 0;
};

}  // namespace vireo
