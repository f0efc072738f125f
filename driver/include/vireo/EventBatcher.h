// EventBatcher: cuts a camera's decoded event stream into batches, by count or by time, for
// applications that poll with getNextBatch instead of registering a callback. Every camera
// that streams events owns one; its camera thread feeds it each decoded range (collect) and
// application threads take the completed batches (waitNextBatch).
//
// - No batching until setBatchEventsNum or setBatchEventsTime chooses a mode; each call
//   switches to its mode. A size or duration of 0 is refused (logged, nothing changes).
// - Count batches hold exactly n events. Lowering n below what is already collected hands
//   the collected events out in batches of the new size as soon as the next events arrive.
// - Time batches are half-open windows [start, start + d): an event exactly on a window's end
//   belongs to the next window, however the decoder cut the stream into ranges.
// - A completed batch waits in a "ready" buffer, swapped in by the producer and out by the
//   one consumer that takes it; a batch nobody takes is replaced by the next one (the
//   producer never waits for a consumer, and memory stays at two batches per mode). Each
//   batch replaced that way is counted with its events (unreadBatches, unreadBatchEvents).
// - waitNextBatch hands out only a batch completed after the call began, each to one caller,
//   and returns false when the stream stops (the caller's predicate turns false; wake() makes
//   waiters look at it) or the batch mode changes during the wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include <vireo/SharedTypes.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT EventBatcher {
public:
    enum Mode : uint32_t { kNone = 0, kByCount = 1, kByTime = 2 };

    static constexpr uint64_t kDefaultBatchEventsNum = 0x20000;  // 131072 events
    static constexpr uint64_t kDefaultBatchEventsTime = 10000;   // microseconds

    void setBatchEventsNum(unsigned long long n);
    void setBatchEventsTime(unsigned long long us);

    // The mode in force from now on (the latest one requested). Called by the producer before
    // each range and by consumers before they wait, so both agree on the mode.
    Mode takeMode();

    // Producer side: adds a decoded range (time-ordered) to the batch of `mode`.
    void collect(Mode mode, const Event2D* first, const Event2D* last);

    // Consumer side: waits for the next batch of `mode` completed after this call and swaps
    // it into `out`. False (with `out` empty) when `streaming()` turns false or the mode
    // changes before one is complete. `streaming` is read under the batch lock, after each
    // wake-up.
    bool waitNextBatch(Mode mode, std::vector<Event2D>& out, const std::function<bool()>& streaming);

    // Wakes every waiter so that it looks at its `streaming` predicate again.
    void wake();

    // Completed batches (of either mode) that no waitNextBatch took before the next one
    // replaced them, and the events they held, since the batcher was made.
    uint64_t unreadBatches() const { return unreadBatches_.load(); }
    uint64_t unreadBatchEvents() const { return unreadBatchEvents_.load(); }

private:
    friend struct DvsCameraPrivateTestAccess;
    friend struct FusionCameraTestAccess;

    void countBatching(const Event2D* first, const Event2D* last);
    void timeBatching(const Event2D* first, const Event2D* last);
    void handOverCountBatch();
    void handOverTimeBatch();
    // A ready batch of `events` events is replaced before anyone took it.
    void countUnread(size_t events);

    std::atomic<uint32_t> requestedBatchMode{kNone};
    uint32_t activeBatchMode = kNone;
    std::mutex batchModeMutex;
    std::atomic<uint64_t> batchEventsNum{kDefaultBatchEventsNum};
    std::atomic<uint64_t> batchEventsTime{kDefaultBatchEventsTime};

    std::vector<Event2D> countBatchReady;
    std::vector<Event2D> countBatchFilling;
    std::mutex countBatchMutex;
    std::condition_variable countBatchCond;
    uint64_t countBatchSerial = 0;     // batches handed over so far
    bool countBatchAvailable = false;  // the ready batch has not been taken yet

    std::vector<Event2D> timeBatchReady;
    std::vector<Event2D> timeBatchFilling;
    std::mutex timeBatchMutex;
    std::condition_variable timeBatchCond;
    uint64_t timeBatchSerial = 0;
    bool timeBatchAvailable = false;

    std::atomic<uint64_t> unreadBatches_{0};
    std::atomic<uint64_t> unreadBatchEvents_{0};
};

}  // namespace vireo
