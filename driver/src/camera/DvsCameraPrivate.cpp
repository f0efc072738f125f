// The event-camera pipeline: the camera thread (raw buffers -> decoder -> callbacks and
// batches), count and time batching with the swap hand-over, getNextBatch, the statistics
// thread, and start/stop.
//
// Lifetime: the camera's own threads run application code (the callbacks), and that code
// may drop the last reference to the camera. The destructor then runs on that thread, in
// the middle of the camera loop: it ends the other thread, hands its own to the process's
// camera thread reaper (which joins it once it has left, at the latest at exit), and hands
// the decoder and the callback maps (the decoder's call and one callback are still running)
// to the thread itself. The frames left on the thread's stack see a thread-local mark and
// return without touching the camera; the camera loop frees what it was handed and ends.
#include <vireo/DvsCameraPrivate.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>

#include <vireo/Logger.h>

#include "camera/CameraThreadReaper.h"
#include "camera/RecordingIndex.h"  // complete for the recording index member

namespace vireo {

namespace {

// The camera whose camera or statistics thread is the current thread, if any: stop() must
// not try to join the thread it runs on, and start() must not wait for a stop that joins it.
thread_local const DvsCameraPrivate* tlsOwnThreadsCamera = nullptr;

// Set on a camera's own thread once the camera has been destroyed there: every frame still
// on that thread's stack returns without touching the camera.
thread_local bool tlsCameraGone = false;

// The callback lock the current thread holds while callbacks run: a destructor that runs
// inside one of those callbacks releases it before the mutex is destroyed.
thread_local std::mutex* tlsHeldCallbackLock = nullptr;

// What the unfinished frames of a camera destroyed on its camera thread still run in: the
// decoder is inside its decode call, and one of the callbacks is still executing.
struct OrphanedFrames {
    std::unique_ptr<Decoder> decoder;
    std::unordered_map<uint32_t, DvsCamera::EventsCallback> eventCallbacks;
    std::unordered_map<uint32_t, DvsCamera::TriggerInCallback> triggerCallbacks;
};
thread_local std::unique_ptr<OrphanedFrames> tlsOrphanedFrames;

// Holds a callback map's lock while its callbacks run. When a callback destroyed the camera,
// the destructor has already released the lock, and the guard leaves the (gone) mutex alone.
class CallbackLock {
public:
    explicit CallbackLock(std::mutex& mutex) : mutex_(&mutex) {
        mutex.lock();
        tlsHeldCallbackLock = mutex_;
    }
    ~CallbackLock() {
        if (tlsHeldCallbackLock != mutex_) return;
        tlsHeldCallbackLock = nullptr;
        mutex_->unlock();
    }
    CallbackLock(const CallbackLock&) = delete;
    CallbackLock& operator=(const CallbackLock&) = delete;

private:
    std::mutex* mutex_;
};

}  // namespace

DvsCameraPrivate::DvsCameraPrivate(CameraDescription description) : DvsCamera(std::move(description)) {
    // The reaper (and the logger it keeps alive) exists before any camera thread may need it.
    (void)detail::CameraThreadReaper::instance();
}

DvsCameraPrivate::~DvsCameraPrivate() {
    const bool onOwnThread = tlsOwnThreadsCamera == this;
    const bool onCameraThread = onOwnThread && cameraThread.joinable() &&
                                cameraThread.get_id() == std::this_thread::get_id();
    if (onOwnThread) {
        endOnOwnThread();
    } else {
        stop();
    }
    // A recording started before start() (or the cache) still needs the decoder's time.
    try {
        shutDownRecording();
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Camera %s: ending the recording failed: %s", desc.serial.c_str(), error.what());
    }
    // A thread still joinable here means stop() failed; joining beats std::terminate.
    running = 0;
    wakeAll();
    joinThreads();
    if (onCameraThread) {
        // The decode call and the callback in progress on this thread outlive the camera: the
        // thread frees them once it has left them. The callback lock it holds is released
        // before the mutex goes.
        auto frames = std::make_unique<OrphanedFrames>();
        frames->decoder = std::move(decoder);
        frames->eventCallbacks.swap(eventCallbacks.callbacks);
        frames->triggerCallbacks.swap(triggerCallbacks.callbacks);
        if (tlsHeldCallbackLock == &eventCallbacks.mutex || tlsHeldCallbackLock == &triggerCallbacks.mutex) {
            tlsHeldCallbackLock->unlock();
            tlsHeldCallbackLock = nullptr;
        }
        tlsOrphanedFrames = std::move(frames);
    }
}

void DvsCameraPrivate::endOnOwnThread() {
    const bool onCameraThread = cameraThread.joinable() && cameraThread.get_id() == std::this_thread::get_id();
    std::thread& own = onCameraThread ? cameraThread : statisticThread;
    std::thread& other = onCameraThread ? statisticThread : cameraThread;
    running = 0;
    wakeAll();
    // This thread cannot be joined from itself: it ends on its own once its frames return,
    // and the reaper joins it then (or when the process exits, whichever comes first).
    if (own.joinable()) detail::CameraThreadReaper::instance().adoptCurrentThread(std::move(own));
    if (other.joinable()) other.join();
    tlsCameraGone = true;
    streamEnded = true;
    try {
        if (sensor) sensor->stop();
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Camera %s: stopping the sensor failed: %s", desc.serial.c_str(), error.what());
    }
}

void DvsCameraPrivate::joinThreads() {
    if (cameraThread.joinable()) cameraThread.join();
    if (statisticThread.joinable()) statisticThread.join();
}

void DvsCameraPrivate::connectDecoder() {
    // A callback that destroyed the camera leaves the rest of the decoder's call running on
    // this thread: its remaining ranges and edges are dropped.
    decoder->setEventsStreamHandleCallback([this](const Event2D* first, const Event2D* last) {
        if (!tlsCameraGone) eventStreamArrvied(first, last);
    });
    decoder->setTriggerInCallback([this](EventTriggerIn trigger) {
        if (!tlsCameraGone) triggerInArrvied(trigger);
    });
}

unsigned DvsCameraPrivate::addEventsStreamHandleCallback(EventsCallback cb) {
    return eventCallbacks.add(std::move(cb));
}

bool DvsCameraPrivate::removeEventsStreamHandleCallback(unsigned id) {
    return eventCallbacks.remove(id);
}

unsigned DvsCameraPrivate::addTriggerInCallback(TriggerInCallback cb) {
    return triggerCallbacks.add(std::move(cb));
}

bool DvsCameraPrivate::removeTriggerInCallback(unsigned id) {
    return triggerCallbacks.remove(id);
}

void DvsCameraPrivate::setBatchEventsNum(unsigned long long n) { batcher.setBatchEventsNum(n); }

void DvsCameraPrivate::setBatchEventsTime(unsigned long long us) { batcher.setBatchEventsTime(us); }

void DvsCameraPrivate::setStatisticInfoCallback(StatisticCallback cb) {
    std::lock_guard<std::mutex> lock(statisticMutex);
    statisticCallback = std::move(cb);
}

DsStatisticInfo DvsCameraPrivate::getStatisticInfo() const {
    DsStatisticInfo info;
    if (decoder) {
        info.second = decoder->getSecondStatistic();
        info.first = decoder->getFirstStatistic();
    }
    info.droppedBuffers = sensor ? sensor->droppedBuffers() : 0;
    info.recordingLostBuffers = recordingLostBuffers.load();
    info.recordingLostBytes = recordingLostBytes.load();
    info.unreadBatches = batcher.unreadBatches();
    info.unreadBatchEvents = batcher.unreadBatchEvents();
    return info;
}

bool DvsCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    out.clear();
    const EventBatcher::Mode mode = batcher.takeMode();
    if (mode == EventBatcher::kNone || !streaming()) return false;
    if (tlsOwnThreadsCamera == this) {
        // The camera thread builds the batches: waiting on it would wait for ever.
        VIREO_LOG_ERROR("getNextBatch() called from a camera callback: poll from another thread");
        return false;
    }
    return batcher.waitNextBatch(mode, out, [this] { return streaming(); });
}

void DvsCameraPrivate::eventStreamArrvied(const Event2D* first, const Event2D* last) {
    batcher.collect(batcher.takeMode(), first, last);
    CallbackLock lock(eventCallbacks.mutex);
    for (auto& entry : eventCallbacks.callbacks) {
        entry.second(first, last);
        if (tlsCameraGone) return;  // the callback destroyed the camera: touch nothing of it
    }
}

void DvsCameraPrivate::triggerInArrvied(EventTriggerIn trigger) {
    CallbackLock lock(triggerCallbacks.mutex);
    for (auto& entry : triggerCallbacks.callbacks) {
        entry.second(trigger);
        if (tlsCameraGone) return;
    }
}

void DvsCameraPrivate::wakeAll() {
    batcher.wake();
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
            if (tlsCameraGone) break;
        }
    } catch (const std::exception& error) {
        if (tlsCameraGone) {
            VIREO_LOG_ERROR("A callback of a dropped camera threw: %s", error.what());
        } else {
            VIREO_LOG_ERROR("Camera %s: event stream ended: %s", desc.serial.c_str(), error.what());
        }
    } catch (...) {
        if (!tlsCameraGone) {
            VIREO_LOG_ERROR("Camera %s: event stream ended: a callback threw a non-standard exception",
                            desc.serial.c_str());
        }
    }
    if (tlsCameraGone) {
        // The camera was destroyed by one of its callbacks on this thread: all that is left
        // to free is what the destructor handed over.
        tlsOrphanedFrames.reset();
        tlsCameraGone = false;
        tlsOwnThreadsCamera = nullptr;
        return;
    }
    // Whatever ended the loop (stop, an unplug, a callback that threw), the camera no longer
    // streams: start() can begin again.
    streamEnded = true;
    running = 0;
    wakeAll();
    tlsOwnThreadsCamera = nullptr;
}

void DvsCameraPrivate::statisticLoop() {
    tlsOwnThreadsCamera = this;
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += std::chrono::milliseconds(1000);
        StatisticCallback callback;
        {
            std::unique_lock<std::mutex> lock(statisticMutex);
            if (statisticCond.wait_until(lock, next, [&] { return !streaming(); })) break;
            callback = statisticCallback;
        }
        if (!callback) continue;
        try {
            callback(getStatisticInfo());
        } catch (const std::exception& error) {
            VIREO_LOG_ERROR("Statistics callback failed: %s", error.what());
        } catch (...) {
            VIREO_LOG_ERROR("Statistics callback failed with a non-standard exception");
        }
        if (tlsCameraGone) {
            // The callback dropped the last reference: the camera is gone.
            tlsCameraGone = false;
            break;
        }
    }
    tlsOwnThreadsCamera = nullptr;
}

int DvsCameraPrivate::start() {
    if (!inited) throw std::runtime_error("Camera is not inited");
    if (tlsOwnThreadsCamera == this) {
        // stop() may hold the lifecycle lock while it joins this very thread, and restarting
        // an ended stream needs that join too: a callback gets its answer at once.
        if (streaming()) return 0;
        VIREO_LOG_ERROR("start() called from a camera callback while the camera stops: start it from another thread");
        return -1;
    }
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (streaming()) return 0;  // already started: nothing to do
    if (cameraThread.joinable() || statisticThread.joinable()) {
        // The stream ended on its own (an unplug, a callback that threw); its threads are
        // ending or gone. The sensor is stopped before it starts again.
        wakeAll();
        joinThreads();
        try {
            sensor->stop();
        } catch (const std::exception& error) {
            VIREO_LOG_ERROR("Camera %s: stopping the sensor failed: %s", desc.serial.c_str(), error.what());
        }
        VIREO_LOG_INFO("Camera %s: its event stream had ended; streaming again", desc.serial.c_str());
    }
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
    // Not started, or stopped already. A stream that ended on its own still has its threads,
    // its sensor and perhaps a recording to end.
    if (!cameraThread.joinable() && !statisticThread.joinable()) return 0;
    int result = 0;
    try {
        running = 0;
        wakeAll();
        joinThreads();
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
