// The raw event decoder interface: raw bytes in, `Event2D` ranges and `EventTriggerIn`
// edges out through two callbacks, called synchronously inside the decode calls. Also the
// time-window split `binarySearchTimestamp` used on decoded, time-ordered ranges.
//
// A decoder is stateful: consecutive calls continue one stream, and the time, row and
// vector state carry over from call to call (a buffer may end in the middle of anything,
// even between the two bytes of a word). One decoder serves one decoding thread, and a
// callback must not call back into the decoder that called it (an exception thrown by a
// callback leaves the decode call; the decoder's state is that of the word being decoded,
// and the rest of that call's bytes are not decoded); `getLastTimestamp` and the
// two statistics may be read from any thread while it decodes (the statistics move once per
// decode call, the time whenever events are handed out).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <vireo/Evt3.h>
#include <vireo/SharedTypes.h>
#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT Decoder {
public:
    // Receives a contiguous, time-ordered range [first, last) of decoded events. The range
    // points into the decoder's own buffer and is valid only during the call. Never empty.
    using EventsCallback = std::function<void(const Event2D* first, const Event2D* last)>;
    // Receives one trigger edge, after every event that precedes it in the stream.
    using TriggerInCallback = std::function<void(EventTriggerIn trigger)>;

    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Decodes the bytes [first, last), which normally hold one word of `wordSize` bytes,
    // delivers its events and trigger edges through the callbacks, and returns the number
    // of events. Throws std::invalid_argument when `wordSize` is not `getWordSize()`.
    virtual uint32_t decodeWordCounted(const uint8_t* first, const uint8_t* last,
                                       uint8_t wordSize) = 0;
    // Decodes a whole buffer, delivers its events (in one or more ranges) and trigger edges
    // through the callbacks, and returns the number of events it produced (saturating at
    // 2^32 - 1). Without an event callback the events are counted and dropped. A buffer of
    // odd length keeps its last byte, which becomes the first byte of the next call's data.
    virtual uint32_t decodeBuffer(const std::vector<uint8_t>& buffer) = 0;
    // Decodes the bytes [first, last), normally one word, exactly as `decodeBuffer` would.
    virtual void decodeWord(const uint8_t* first, const uint8_t* last) = 0;
    // The stream time reached so far, in µs, rollovers of the 24-bit wire time included;
    // 0 before any time word or `resetTimestamp`.
    virtual uint64_t getLastTimestamp() const = 0;
    // Primes the full 64-bit time (rollover count included) before decoding resumes at a
    // known point such as a bookmark, and forgets everything else: the row and vector state
    // become unknown (prime them with `primeRowState` after this call) and a byte left over
    // from an odd-length buffer is dropped. Pixel words seen before the row (or vector
    // base) is known again produce no event.
    virtual void resetTimestamp(const uint64_t& timestamp) = 0;
    // Bytes per raw word (2 for EVT3).
    virtual uint8_t getWordSize() const = 0;
    // Events decoded since the decoder was created (cumulative, never reset): the events
    // handed out, so without those dropped outside the sensor (getDroppedEventCount).
    virtual uint64_t getFirstStatistic() const = 0;
    // Raw bytes decoded since the decoder was created (cumulative, never reset).
    virtual uint64_t getSecondStatistic() const = 0;

    virtual ~Decoder();

    // Primes the row and vector state, for resuming at a word whose state was recovered
    // with `evt3::recoverRowState`. Call after `resetTimestamp`, which clears it. Parts
    // marked unknown stay unknown.
    virtual void primeRowState(const evt3::RowState& state) = 0;
    // The row and vector state in force after the bytes decoded so far.
    virtual evt3::RowState getRowState() const = 0;
    // Back to the initial state of a new decoder: time, row and vector unknown, time 0, no
    // left-over byte. Callbacks and statistics are kept.
    virtual void reset() = 0;
    // Events dropped since the decoder was created because they lie outside the sensor
    // geometry given by the stream format (x >= width or y >= height; without a geometry,
    // outside the format's range of 0 to 2047). Cumulative, never reset; may be read from
    // any thread while the decoder runs, like the statistics.
    virtual uint64_t getDroppedEventCount() const = 0;

    // Replaces the event callback; an empty function drops the events (they are still
    // counted). Not to be called from inside a callback of this decoder.
    void setEventsStreamHandleCallback(EventsCallback callback);
    // Replaces the trigger callback; an empty function drops the edges.
    void setTriggerInCallback(TriggerInCallback callback);

protected:
    EventsCallback eventsCallback_;
    TriggerInCallback triggerInCallback_;
};

// In the time-ordered range [first, last), the first event whose timestamp is at least
// `timestamp` µs (`last` when there is none): events before the returned position belong to
// the earlier window. An empty range gives `first`. On a range that is not time-ordered the
// result is some position in [first, last].
HAL_EXPORT const Event2D* binarySearchTimestamp(uint64_t timestamp, const Event2D* first,
                                                const Event2D* last);
HAL_EXPORT Event2D* binarySearchTimestamp(uint64_t timestamp, Event2D* first, Event2D* last);

}  // namespace vireo
