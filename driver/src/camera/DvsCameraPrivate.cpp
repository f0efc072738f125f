// The event-camera pipeline: the camera thread (raw buffers -> decoder -> callbacks and
// batches), count and time batching with the swap hand-over, getNextBatch, the statistics
// thread, and start/stop.
#include <vireo/DvsCameraPrivate.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>

#include <vireo/Logger.h>

namespace vireo {

namespace {

constexpr uint32_t kNoBatching = 0;
constexpr uint32_t kCountBatching = 1;
constexpr uint32_t kTimeBatching = 2;

// a + b, held at the largest value instead of wrapping (a window of "for ever").
uint64_t saturatingAdd(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The camera whose camera or statistics thread is the current thread, if any: stop() must
// not try to join the thread it runs on.
thread_local const DvsCameraPrivate* tlsOwnThreadsCamera = nullptr;

}  // namespace

DvsCameraPrivate::DvsCameraPrivate(CameraDescription description) : DvsCamera(std::move(description)) {}

DvsCameraPrivate::~DvsCameraPrivate() {
    stop();
    // A recording started before start() (or the cache) still needs the decoder's time.
    try {
        shutDownRecording();
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Camera %s: ending the recording failed: %s", desc.serial.c_str(), error.what());
    }
    // A thread still joinable here means stop() failed; joining beats std::terminate.
    running = 0;
    wakeAll();
    const auto self = std::this_thread::get_id();
    if (cameraThread.joinable() && cameraThread.get_id() != self) cameraThread.join();
    if (statisticThread.joinable() && statisticThread.get_id() != self) statisticThread.join();
}

unsigned DvsCameraPrivate::addEventsStreamHandleCallback(EventsCallback cb) {
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    const uint32_t id = nextEventCallbackId++;
    eventCallbacks[id] = std::move(cb);
    return id;
}

bool DvsCameraPrivate::removeEventsStreamHandleCallback(unsigned id) {
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    return eventCallbacks.erase(id) > 0;
}

unsigned DvsCameraPrivate::addTriggerInCallback(TriggerInCallback cb) {
    std::lock_guard<std::mutex> lock(triggerCallbackMutex);
    const uint32_t id = nextTriggerCallbackId++;
    triggerCallbacks[id] = std::move(cb);
    return id;
}

bool DvsCameraPrivate::removeTriggerInCallback(unsigned id) {
    std::lock_guard<std::mutex> lock(triggerCallbackMutex);
    return triggerCallbacks.erase(id) > 0;
}

void DvsCameraPrivate::setBatchEventsNum(unsigned long long n) {
    if (n == 0) {
        VIREO_LOG_ERROR("setBatchEventsNum: the batch size must be at least 1 event (got 0); ignored");
        return;
    }
    batchEventsNum = n;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        requestedBatchMode = kCountBatching;
    }
    // Waiters for time batches would otherwise wait for batches that no longer come.
    { std::lock_guard<std::mutex> lock(timeBatchMutex); }
    timeBatchCond.notify_all();
}

void DvsCameraPrivate::setBatchEventsTime(unsigned long long us) {
    if (us == 0) {
        VIREO_LOG_ERROR("setBatchEventsTime: the batch duration must be at least 1 us (got 0); ignored");
        return;
    }
    batchEventsTime = us;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        requestedBatchMode = kTimeBatching;
    }
    { std::lock_guard<std::mutex> lock(countBatchMutex); }
    countBatchCond.notify_all();
}

void DvsCameraPrivate::setStatisticInfoCallback(StatisticCallback cb) {
    std::lock_guard<std::mutex> lock(statisticMutex);
    statisticCallback = std::move(cb);
}

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    out.clear();
    uint32_t mode = kNoBatching;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        activeBatchMode = requestedBatchMode;
        mode = activeBatchMode;
    }
    if (mode == kNoBatching || !streaming()) return false;
    if (tlsOwnThreadsCamera == this) {
        // The camera thread builds the batches: waiting on it would wait for ever.
        VIREO_LOG_ERROR("getNextBatch() called from a camera callback: poll from another thread");
        return false;
    }

    const bool byCount = mode == kCountBatching;
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

void DvsCameraPrivate::handOverCountBatch() {
    {
        std::lock_guard<std::mutex> lock(countBatchMutex);
        countBatchReady.clear();
        countBatchReady.swap(countBatchFilling);
        ++countBatchSerial;
        countBatchAvailable = true;
    }
    countBatchCond.notify_one();
}

void DvsCameraPrivate::handOverTimeBatch() {
    {
        std::lock_guard<std::mutex> lock(timeBatchMutex);
        timeBatchReady.clear();
        timeBatchReady.swap(timeBatchFilling);
        ++timeBatchSerial;
        timeBatchAvailable = true;
    }
    timeBatchCond.notify_one();
}

void DvsCameraPrivate::countBatching(const Event2D* first, const Event2D* last) {
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

void DvsCameraPrivate::timeBatching(const Event2D* first, const Event2D* last) {
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

void DvsCameraPrivate::eventStreamArrvied(const Event2D* first, const Event2D* last) {
    uint32_t mode = kNoBatching;
    {
        std::lock_guard<std::mutex> lock(batchModeMutex);
        activeBatchMode = requestedBatchMode;
        mode = activeBatchMode;
    }
    if (first != last) {
        if (mode == kCountBatching) countBatching(first, last);
        if (mode == kTimeBatching) timeBatching(first, last);
    }
    std::lock_guard<std::mutex> lock(eventCallbackMutex);
    for (auto& entry : eventCallbacks) entry.second(first, last);
}

void DvsCameraPrivate::triggerInArrvied(EventTriggerIn trigger) {
    std::lock_guard<std::mutex> lock(triggerCallbackMutex);
    for (auto& entry : triggerCallbacks) entry.second(trigger);
}

void DvsCameraPrivate::wakeAll() {
    { std::lock_guard<std::mutex> lock(countBatchMutex); }
    countBatchCond.notify_all();
    { std::lock_guard<std::mutex> lock(timeBatchMutex); }
    timeBatchCond.notify_all();
    { std::lock_guard<std::mutex> lock(statisticMutex); }
    statisticCond.notify_all();
}

void DvsCameraPrivate::cameraLoop() {
    tlsOwnThreadsCamera = this;
    try {
        while (running.load() == 1) {
            auto buffer = sensor->getNextBuffer();
            if (!buffer || !*buffer) {
                // No buffer: either a time-out, or the device is gone and nothing will come.
                if (interface && !interface->isConnected()) {
                    VIREO_LOG_ERROR("Camera %s disconnected: event stream ended", desc.serial.c_str());
                    break;
                }
                continue;
            }
            // Recording taps the raw buffer here, before decoding.
            if (recording.load() || caching.load()) prepareData2Save(**buffer);
            decoder->decodeBuffer(**buffer);
        }
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Camera %s: event stream ended: %s", desc.serial.c_str(), error.what());
    }
    streamEnded = true;
    wakeAll();
}

void DvsCameraPrivate::statisticLoop() {
    tlsOwnThreadsCamera = this;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += std::chrono::milliseconds(1000);
        StatisticCallback callback;
        {
            std::unique_lock<std::mutex> lock(statisticMutex);
            if (statisticCond.wait_until(lock, next, [&] { return !streaming(); })) return;
            callback = statisticCallback;
        }
        if (!callback) continue;
        try {
            const uint64_t second = decoder->getSecondStatistic();
            const uint64_t first = decoder->getFirstStatistic();
            callback(DsStatisticInfo(first, second));
        } catch (const std::exception& error) {
            VIREO_LOG_ERROR("Statistics callback failed: %s", error.what());
        }
    }
}

int DvsCameraPrivate::start() {
    if (!inited) throw std::runtime_error("Camera is not inited");
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (running.load() == 1) return 0;  // already started: nothing to do
    sensor->start();
    streamEnded = false;
    running = 1;
    cameraThread = std::thread(&DvsCameraPrivate::cameraLoop, this);
    statisticThread = std::thread(&DvsCameraPrivate::statisticLoop, this);
    return 0;
}

int DvsCameraPrivate::stop() {
    if (!inited) return 0;
    if (tlsOwnThreadsCamera == this) {
        VIREO_LOG_ERROR("stop() called from a camera callback: stop the camera from another thread");
        return -1;
    }
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (running.load() != 1) return 0;
    int result = 0;
    try {
        running = 0;
        wakeAll();
        if (cameraThread.joinable()) cameraThread.join();
        if (statisticThread.joinable()) statisticThread.join();
        wakeAll();
        sensor->stop();
        // Ends a recording (writing its file) and the cache (deleting its segments). A
        // recording whose file could not be written makes the stop fail.
        if (shutDownRecording() != 0) result = -1;
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Camera %s: stop failed: %s", desc.serial.c_str(), error.what());
        result = -1;
    }
    return result;
}

}  // namespace vireo
