// The event side of a fusion camera: callbacks, batches, count frames and the fusion queue.
#include <vireo/FusionCameraPrivate.h>

#include <algorithm>
#include <memory>
#include <unordered_map>

#include <vireo/Logger.h>

namespace vireo {

namespace {

// Trigger edges of non-zero polarity seen by every fusion camera of the process, for the log.
std::atomic<unsigned> triggerCount{0};

// Set on a camera's own thread once the camera has been destroyed there.
thread_local bool tlsCameraDropped = false;
// The callback lock the current thread holds while callbacks run.
thread_local std::mutex* tlsHeldCallbackLock = nullptr;

// The callbacks of a camera destroyed on this thread: one of them is still running.
struct DroppedCallbacks {
    std::unordered_map<uint32_t, FusionCamera::EventsCallback> eventCallbacks;
    std::unordered_map<uint32_t, FusionCamera::TriggerInCallback> triggerCallbacks;
};
thread_local std::unique_ptr<DroppedCallbacks> tlsDroppedCallbacks;

}  // namespace

FusionCameraPrivate::FusionCameraPrivate(CameraDescription description)
    : FusionCamera(std::move(description)),
      apsFrameData(static_cast<size_t>(apsWidth) * apsHeight * 3),
      countFramePool(std::make_shared<ObjectPool<CountFrame, 1>>(kCountFramePoolSize, true,
                                                                 static_cast<size_t>(dvsWidth) * dvsHeight * 2)) {
    apsFrame.data = apsFrameData.data();
    apsFrame.size = static_cast<uint32_t>(apsFrameData.size());
    countFrame = countFramePool->acquire();
    std::fill(countFrame->begin(), countFrame->end(), 0);
}

FusionCameraPrivate::~FusionCameraPrivate() = default;

FusionCameraPrivate::CallbackLock::CallbackLock(std::mutex& mutex) : mutex_(&mutex) {
    mutex.lock();
    tlsHeldCallbackLock = mutex_;
}

FusionCameraPrivate::CallbackLock::~CallbackLock() {
    if (tlsHeldCallbackLock != mutex_) return;
    tlsHeldCallbackLock = nullptr;
    mutex_->unlock();
}

void FusionCameraPrivate::releaseHeldCallbackLock(std::initializer_list<const std::mutex*> mutexes) {
    for (const std::mutex* mutex : mutexes) {
        if (tlsHeldCallbackLock != nullptr && tlsHeldCallbackLock == mutex) {
            tlsHeldCallbackLock->unlock();
            tlsHeldCallbackLock = nullptr;
            return;
        }
    }
}

void FusionCameraPrivate::handOverToThisThread() {
    auto kept = std::make_unique<DroppedCallbacks>();
    kept->eventCallbacks.swap(eventCallbacks.callbacks);
    kept->triggerCallbacks.swap(triggerCallbacks.callbacks);
    releaseHeldCallbackLock({&eventCallbacks.mutex, &triggerCallbacks.mutex});
    tlsDroppedCallbacks = std::move(kept);
    tlsCameraDropped = true;
}

bool FusionCameraPrivate::droppedOnThisThread() { return tlsCameraDropped; }

void FusionCameraPrivate::releaseDroppedFrames() {
    tlsDroppedCallbacks.reset();
    tlsCameraDropped = false;
}

unsigned FusionCameraPrivate::addEventsStreamHandleCallback(EventsCallback cb) {
    return eventCallbacks.add(std::move(cb));
}

bool FusionCameraPrivate::removeEventsStreamHandleCallback(unsigned id) {
    return eventCallbacks.remove(id);
}

unsigned FusionCameraPrivate::addTriggerInCallback(TriggerInCallback cb) {
    return triggerCallbacks.add(std::move(cb));
}

bool FusionCameraPrivate::removeTriggerInCallback(unsigned id) {
    return triggerCallbacks.remove(id);
}

bool FusionCameraPrivate::getNextBatch(std::vector<Event2D>& out) {
    out.clear();
    const EventBatcher::Mode mode = batcher.takeMode();
    if (mode == EventBatcher::kNone || !eventStreamRunning()) return false;
    if (onOwnThread()) {
        // The event thread builds the batches: waiting on it would wait for ever.
        VIREO_LOG_ERROR("getNextBatch() called from a camera callback: poll from another thread");
        return false;
    }
    return batcher.waitNextBatch(mode, out, [this] { return eventStreamRunning(); });
}

void FusionCameraPrivate::setBatchEventsNum(unsigned long long n) { batcher.setBatchEventsNum(n); }

void FusionCameraPrivate::setBatchEventsTime(unsigned long long us) { batcher.setBatchEventsTime(us); }

unsigned short FusionCameraPrivate::getWidth(STREAM_TYPE type) {
    if (type == STREAM_APS) return static_cast<unsigned short>(apsWidth);
    if (type == STREAM_DVS) return static_cast<unsigned short>(dvsWidth);
    return 0;
}

unsigned short FusionCameraPrivate::getHeight(STREAM_TYPE type) {
    if (type == STREAM_APS) return static_cast<unsigned short>(apsHeight);
    if (type == STREAM_DVS) return static_cast<unsigned short>(dvsHeight);
    return 0;
}

void FusionCameraPrivate::eventStreamArrvied(const Event2D* first, const Event2D* last) {
    {
        std::lock_guard<std::mutex> lock(countFrameMutex);
        uint16_t* cells = countFrame->data();
        const uint32_t width = dvsWidth;
        const uint32_t height = dvsHeight;
        const uint16_t limit = maxPixelCount;
        for (const Event2D* e = first; e != last; ++e) {
            if (e->x >= width || e->y >= height) continue;
            // The column is mirrored exactly: x = 0 lands on the last cell of its own row.
            const size_t cell = 2 * (static_cast<size_t>(e->y) * width + (width - 1 - e->x)) + (e->polarity != 0);
            if (cells[cell] < limit) ++cells[cell];
        }
    }
    batcher.collect(batcher.takeMode(), first, last);
    CallbackLock lock(eventCallbacks.mutex);
    for (auto& entry : eventCallbacks.callbacks) {
        entry.second(first, last);
        if (tlsCameraDropped) return;  // the callback destroyed the camera: touch nothing of it
    }
}

std::shared_ptr<FusionCameraPrivate::CountFrame> FusionCameraPrivate::freshCountFrame() {
    const size_t cells = static_cast<size_t>(dvsWidth) * dvsHeight * 2;
    std::shared_ptr<CountFrame> frame = countFramePool->tryAcquire(kCountFramePoolSize);
    if (!frame) {
        // Every pooled frame is queued, counting or held by the application: waiting for one
        // would stop the event stream until the application lets a frame go.
        if (!countPoolExhaustedLogged) {
            VIREO_LOG_WARN("Camera %s: the application holds every pooled count frame; allocating more",
                           desc.serial.c_str());
            countPoolExhaustedLogged = true;
        }
        frame = std::make_shared<CountFrame>();
    }
    frame->assign(cells, 0);
    return frame;
}

void FusionCameraPrivate::triggerInArrvied(EventTriggerIn trigger) {
    const uint64_t t = trigger.timestamp;
    if (trigger.polarity == 0) {
        std::lock_guard<std::mutex> lock(apsFrameMutex);
        apsFrame.timestamp = t;
        exposureStart = t;
    } else {
        const unsigned count = ++triggerCount;
        VIREO_LOG_INFO("Trigger cnt: %d, p: %d, ts: %llu.", count, static_cast<int>(trigger.polarity),
                       static_cast<unsigned long long>(t));
        {
            std::lock_guard<std::mutex> lock(apsFrameMutex);
            apsFrame.syncTimestamp = t;
        }
        {
            std::lock_guard<std::mutex> lock(countFrameMutex);
            {
                std::lock_guard<std::mutex> queueLock(fusionQueueMutex);
                if (fusionQueue.size() >= kFusionQueueSize) fusionQueue.pop_front();
                fusionQueue.emplace_back(countFrame, t);
            }
            countFrame = freshCountFrame();
        }
        // The frame thread learns of the exposure only now, once its count frame is queued.
        {
            std::lock_guard<std::mutex> lock(apsFrameMutex);
            ++closingEdges;
            if (lateEdgesOwed > 0) {
                --lateEdgesOwed;
            } else {
                if (pendingExposures.size() >= kPendingExposures) pendingExposures.pop_front();
                pendingExposures.emplace_back(exposureStart, t);
            }
        }
        apsFrameSynced.notify_all();
    }
    CallbackLock lock(triggerCallbacks.mutex);
    for (auto& entry : triggerCallbacks.callbacks) {
        entry.second(trigger);
        if (tlsCameraDropped) return;
    }
}

bool FusionCameraPrivate::getFusionEvents(std::shared_ptr<CountFrame>& out, uint64_t timestamp) {
    std::lock_guard<std::mutex> lock(fusionQueueMutex);
    const size_t entries = fusionQueue.size();
    for (size_t i = 0; i < entries && !fusionQueue.empty(); ++i) {
        auto& oldest = fusionQueue.front();
        if (!oldest.first || oldest.first->empty() || oldest.second < timestamp) {
            fusionQueue.pop_front();
        } else if (oldest.second == timestamp) {
            out = std::move(oldest.first);
            fusionQueue.pop_front();
            return true;
        } else {
            // Newer than asked for: it stays, and so does everything behind it.
            return false;
        }
    }
    return false;
}

}  // namespace vireo
