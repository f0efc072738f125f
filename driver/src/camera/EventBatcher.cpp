// Count and time batching with the swap hand-over, and the wait for a completed batch.
#include <vireo/EventBatcher.h>

#include <vireo/Decoder.h>
#include <vireo/Logger.h>

namespace vireo {

namespace {

// a + b, held at the largest value instead of wrapping (a window of "for ever").
uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

void EventBatcher::setBatchEventsNum(unsigned long long n) {
    if (n == 0) {
        VIREO_LOG_ERROR("setBatchEventsNum: the batch size must be at least 1 event (got 0); ignored");
        return;
    }
    batchEventsNum = n;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        requestedBatchMode = kByCount;
    }
    // Waiters for time batches would otherwise wait for batches that no longer come.
    { std::lock_guard<std::mutex> lock(timeBatchMutex); }
    timeBatchCond.notify_all();
}

void EventBatcher::setBatchEventsTime(unsigned long long us) {
    if (us == 0) {
        VIREO_LOG_ERROR("setBatchEventsTime: the batch duration must be at least 1 us (got 0); ignored");
        return;
    }
    batchEventsTime = us;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        requestedBatchMode = kByTime;
    }
    { std::lock_guard<std::mutex> lock(countBatchMutex); }
    countBatchCond.notify_all();
}

EventBatcher::Mode EventBatcher::takeMode() {
    std::lock_guard<std::mutex> lock(batchModeMutex);
    activeBatchMode = requestedBatchMode;
    return static_cast<Mode>(activeBatchMode);
}

void EventBatcher::collect(Mode mode, const Event2D* first, const Event2D* last) {
    if (first == last) return;
    if (mode == kByCount) countBatching(first, last);
    if (mode == kByTime) timeBatching(first, last);
}

bool EventBatcher::waitNextBatch(Mode mode, std::vector<Event2D>& out, const std::function<bool()>& streaming) {
    out.clear();
    if (mode == kNone) return false;
    const bool byCount = mode == kByCount;
    std::mutex& mutex = byCount ? countBatchMutex : timeBatchMutex;
    std::condition_variable& cond = byCount ? countBatchCond : timeBatchCond;
    uint64_t& serial = byCount ? countBatchSerial : timeBatchSerial;
    bool& available = byCount ? countBatchAvailable : timeBatchAvailable;
    std::vector<Event2D>& ready = byCount ? countBatchReady : timeBatchReady;

    std::unique_lock<std::mutex> lock(mutex);
    // Only a batch completed after this call is handed out, and each batch to one caller.
    const uint64_t seen = serial;
    cond.wait(lock, [&] {
        return (serial != seen && available) || !streaming() || requestedBatchMode.load() != mode;
    });
    if (serial == seen || !available) return false;
    out.swap(ready);
    available = false;
    return true;
}

void EventBatcher::wake() {
    { std::lock_guard<std::mutex> lock(countBatchMutex); }
    countBatchCond.notify_all();
    { std::lock_guard<std::mutex> lock(timeBatchMutex); }
    timeBatchCond.notify_all();
}

void EventBatcher::countUnread(size_t events) {
    unreadBatches_.fetch_add(1, std::memory_order_relaxed);
    unreadBatchEvents_.fetch_add(events, std::memory_order_relaxed);
}

void EventBatcher::handOverCountBatch() {
    {
        std::lock_guard<std::mutex> lock(countBatchMutex);
        if (countBatchAvailable) countUnread(countBatchReady.size());
        countBatchReady.clear();
        countBatchReady.swap(countBatchFilling);
        ++countBatchSerial;
        countBatchAvailable = true;
    }
    countBatchCond.notify_one();
}

void EventBatcher::handOverTimeBatch() {
    {
        std::lock_guard<std::mutex> lock(timeBatchMutex);
        if (timeBatchAvailable) countUnread(timeBatchReady.size());
        timeBatchReady.clear();
        timeBatchReady.swap(timeBatchFilling);
        ++timeBatchSerial;
        timeBatchAvailable = true;
    }
    timeBatchCond.notify_one();
}

void EventBatcher::countBatching(const Event2D* first, const Event2D* last) {
    const uint64_t n = batchEventsNum.load();
    // The batch size was lowered below what is already collected: hand the collected events
    // out in batches of the new size, keeping the remainder (never more than n) collecting.
    if (countBatchFilling.size() > n) {
        std::vector<Event2D> collected;
        collected.swap(countBatchFilling);
        size_t pos = 0;
        while (collected.size() - pos > n) {
            countBatchFilling.assign(collected.begin() + static_cast<std::ptrdiff_t>(pos),
                                     collected.begin() + static_cast<std::ptrdiff_t>(pos + n));
            handOverCountBatch();
            pos += n;
        }
        countBatchFilling.assign(collected.begin() + static_cast<std::ptrdiff_t>(pos), collected.end());
    }
    // A filling buffer that holds exactly n events is handed over when the next events come.
    const Event2D* pos = first;
    while (static_cast<uint64_t>(last - pos) > n - countBatchFilling.size()) {
        const auto free = static_cast<std::ptrdiff_t>(n - countBatchFilling.size());
        countBatchFilling.insert(countBatchFilling.end(), pos, pos + free);
        pos += free;
        handOverCountBatch();
    }
    countBatchFilling.insert(countBatchFilling.end(), pos, last);
}

void EventBatcher::timeBatching(const Event2D* first, const Event2D* last) {
    const uint64_t window = batchEventsTime.load();
    uint64_t boundary =
        saturatingAdd(timeBatchFilling.empty() ? first->timestamp : timeBatchFilling.front().timestamp, window);
    const Event2D* pos = first;
    for (;;) {
        // Windows are half-open, [boundary - window, boundary): the tie rule is the same
        // whether the boundary falls inside a range or at its end.
        if ((last - 1)->timestamp < boundary) {
            timeBatchFilling.insert(timeBatchFilling.end(), pos, last);
            return;
        }
        const Event2D* split = binarySearchTimestamp(boundary, pos, last);
        timeBatchFilling.insert(timeBatchFilling.end(), pos, split);
        handOverTimeBatch();
        boundary = saturatingAdd(boundary, window);
        pos = split;
    }
}

}  // namespace vireo
