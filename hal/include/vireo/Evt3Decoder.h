// The EVT 3.0 decoder. Words are decoded in one tight loop per buffer: events are written
// into an output buffer reused from call to call and handed out in ranges, pixel, row and
// time-low words take a branch-free path, and vector masks are expanded column by column. Use it
// through `Decoder` (from `DecoderFactory`), or directly where the concrete type helps.
//
// A decoder keeps only the events that lie on its sensor (x below its width, y below its
// height); the others are dropped and counted apart, so that no consumer indexing an image
// or a per-pixel table by x and y ever sees a pixel outside it.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include <vireo/Decoder.h>
#include <vireo/Evt3.h>
#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT Evt3Decoder final : public Decoder {
public:
    // Events held in the output buffer before a range is handed out (at most; a range also
    // ends at every trigger edge and at the end of each call).
    static constexpr size_t kOutputCapacity = 16384;

    // A decoder for the whole range the format can carry: x and y from 0 to 2047.
    Evt3Decoder();
    // A decoder for a sensor of `width` x `height` pixels: events with x >= width or
    // y >= height are dropped (and counted by getDroppedEventCount). Sizes above 2048 mean
    // the format's whole range. Throws std::invalid_argument when either size is 0.
    Evt3Decoder(uint32_t width, uint32_t height);
    ~Evt3Decoder() override;

    uint32_t decodeWordCounted(const uint8_t* first, const uint8_t* last,
                               uint8_t wordSize) override;
    uint32_t decodeBuffer(const std::vector<uint8_t>& buffer) override;
    void decodeWord(const uint8_t* first, const uint8_t* last) override;
    uint64_t getLastTimestamp() const override;
    void resetTimestamp(const uint64_t& timestamp) override;
    uint8_t getWordSize() const override { return evt3::kWordSize; }
    uint64_t getFirstStatistic() const override;
    uint64_t getSecondStatistic() const override;
    void primeRowState(const evt3::RowState& state) override;
    evt3::RowState getRowState() const override;
    void reset() override;
    uint64_t getDroppedEventCount() const override;

    // The sensor size the decoder keeps events within, in pixels (2048 when not given).
    uint32_t getWidth() const { return width_; }
    uint32_t getHeight() const { return height_; }

    // Decodes the bytes [first, last) as `decodeBuffer` does; returns the events produced.
    // A null range is allowed only when empty.
    uint64_t decodeBytes(const uint8_t* first, const uint8_t* last);

private:
    // Everything the word loop reads and writes, kept together so the loop works on a
    // local copy in registers and writes it back once.
    struct State {
        uint64_t timeBase = 0;   // rollover offset: a multiple of 2^24 µs
        uint32_t timeHigh = 0;   // time bits 23..12
        uint32_t timeLow = 0;    // time bits 11..0
        uint32_t timeKnown = 0;  // 1 once a TIME_HIGH or resetTimestamp gave the time
        uint32_t rowKnown = 0;   // 1 once an ADDR_Y (or priming) gave the row
        uint32_t vectorKnown = 0;
        uint32_t row = 0;
        uint32_t vectorBase = 0;
        uint32_t vectorPolarity = 0;

        // µs, rollovers included
        uint64_t time() const { return timeBase + ((uint64_t{timeHigh} << evt3::kTimeLowBits) | timeLow); }
    };

    size_t decodeWords(const uint8_t* p, size_t wordCount, size_t n);
    void deliver(size_t end);
    void setRows();

    void publishProgress(const State& s, uint64_t events, uint64_t bytes);

    uint32_t width_ = evt3::kCoordinateRange;   // events need x < width_ ...
    uint32_t height_ = evt3::kCoordinateRange;  // ... and y < height_
    std::vector<uint32_t> rows_;  // per y: y << 16 | the row's width (width_, 0 when y >= height_)
    State state_;
    uint64_t dropped_ = 0;         // events dropped outside the sensor, published per call
    std::vector<Event2D> output_;  // kOutputCapacity + one word's worth of slack
    size_t rangeBegin_ = 0;        // first event of output_ not yet handed out
    uint8_t pendingByte_ = 0;      // first byte of a word split across two calls
    bool hasPendingByte_ = false;
    std::atomic<uint64_t> lastTimestamp_{0};
    std::atomic<uint64_t> eventCount_{0};
    std::atomic<uint64_t> byteCount_{0};
    std::atomic<uint64_t> droppedCount_{0};
};

}  // namespace vireo
