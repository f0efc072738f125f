// FusionCameraPrivate: the event side of a fusion camera, shared by its models. It hands
// decoded event ranges and trigger edges to callbacks and batches (as an event camera does),
// counts the events of each frame period per pixel and polarity, and queues the count frames
// that the frame sensor's trigger edges close, for getFusionEvents.
//
// Count frames: dvsWidth x dvsHeight x 2 unsigned 16-bit cells, one per pixel and polarity,
// the column mirrored: an event (x, y, p) counts in cell 2 * (y * dvsWidth + (dvsWidth - 1 -
// x)) + p, and a cell stops at maxPixelCount (10). Each trigger edge of non-zero polarity
// closes the current frame, queues it under the edge's time (the queue keeps the latest 3)
// and starts a fresh one; an edge of polarity 0 only stamps apsFrame.timestamp.
//
// Count frames come from a pool of 8. When the application holds so many that none is free,
// a frame is allocated outside the pool (logged once) rather than stopping the event thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include <vireo/CallbackRegistry.h>
#include <vireo/EventBatcher.h>
#include <vireo/FusionCamera.h>
#include <vireo/ObjectPool.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT FusionCameraPrivate : public FusionCamera {
public:
    using CountFrame = std::vector<uint16_t>;

    static constexpr uint16_t kMaxPixelCount = 10;
    static constexpr std::size_t kCountFramePoolSize = 8;
    static constexpr std::size_t kFusionQueueSize = 3;

    explicit FusionCameraPrivate(CameraDescription desc);
    ~FusionCameraPrivate() override;

    FusionCameraPrivate(const FusionCameraPrivate&) = delete;
    FusionCameraPrivate& operator=(const FusionCameraPrivate&) = delete;

    unsigned addEventsStreamHandleCallback(EventsCallback cb) override;
    bool removeEventsStreamHandleCallback(unsigned id) override;
    unsigned addTriggerInCallback(TriggerInCallback cb) override;
    bool removeTriggerInCallback(unsigned id) override;

    // Batches as an event camera's: false at once without a batch mode, while the event
    // stream does not run, or when called from one of the camera's own threads.
    bool getNextBatch(std::vector<Event2D>& out) override;
    void setBatchEventsNum(unsigned long long n) override;
    void setBatchEventsTime(unsigned long long us) override;

    unsigned short getWidth(STREAM_TYPE type) override;
    unsigned short getHeight(STREAM_TYPE type) override;

    bool getFusionEvents(std::shared_ptr<CountFrame>& out, uint64_t timestamp) override;

protected:
    // Decoder callbacks, on the event thread.
    void eventStreamArrvied(const Event2D* first, const Event2D* last);
    void triggerInArrvied(EventTriggerIn trigger);

    // Whether the event stream runs (getNextBatch waits only then), and whether the calling
    // thread is one of the camera's own (which must not wait for a batch).
    virtual bool eventStreamRunning() const = 0;
    virtual bool onOwnThread() const = 0;
    // Wakes every getNextBatch waiter (the concrete camera calls it when its stream ends).
    void wakeBatchWaiters() { batcher.wake(); }
    // Completed batches (and their events) no getNextBatch took before the next replaced them.
    uint64_t unreadBatches() const { return batcher.unreadBatches(); }
    uint64_t unreadBatchEvents() const { return batcher.unreadBatchEvents(); }

    // A camera destroyed on one of its own threads (its last reference went in a callback)
    // leaves frames on that thread's stack: the callback in progress, the loop around it and
    // the decoder's call. The destructor calls handOverToThisThread(), which keeps the event
    // and trigger callbacks for the thread, releases the callback lock it holds and marks
    // the thread: droppedOnThisThread() then tells every frame to return without touching
    // the camera, and releaseDroppedFrames() (once the thread has left the camera's code)
    // frees what was kept and clears the mark.
    void handOverToThisThread();
    static bool droppedOnThisThread();
    static void releaseDroppedFrames();

    // Holds a callback registry's lock while its callbacks run. When a callback destroyed
    // the camera, the destructor has released the lock already and the guard leaves the
    // (gone) mutex alone.
    class CallbackLock {
    public:
        explicit CallbackLock(std::mutex& mutex);
        ~CallbackLock();
        CallbackLock(const CallbackLock&) = delete;
        CallbackLock& operator=(const CallbackLock&) = delete;

    private:
        std::mutex* mutex_;
    };
    // Releases the callback lock the calling thread holds, if it is one of `mutexes`.
    static void releaseHeldCallbackLock(std::initializer_list<const std::mutex*> mutexes);

    uint32_t apsWidth = 3840;
    uint32_t apsHeight = 2160;
    uint32_t dvsWidth = 1280;
    uint32_t dvsHeight = 720;

    // The current frame: data points to apsFrameData (apsWidth x apsHeight x 3 bytes of BGR24).
    ApsFrame apsFrame;
    std::vector<unsigned char> apsFrameData;
    std::mutex apsFrameMutex;
    // Exposures whose closing edge has been decoded and whose frame has not come yet, oldest
    // first, as (start edge time, closing edge time); guarded by apsFrameMutex, at most
    // kPendingExposures (older ones belong to frames that never came; a frame thread held up
    // by a slow callback for seconds still finds its own). The frame thread
    // stamps each frame with the oldest, so that a frame keeps its own exposure's times
    // however far the event stream runs ahead of the frames.
    static constexpr std::size_t kPendingExposures = 64;
    std::deque<std::pair<uint64_t, uint64_t>> pendingExposures;
    uint64_t exposureStart = 0;  // the latest polarity-0 edge
    // Closing edges that belong to frames already handed out without them (their edge came
    // too late): dropped when they come, so later frames keep their own edges.
    std::size_t lateEdgesOwed = 0;
    // Closing edges decoded since the stream started, those passed over included: the
    // pending exposures are the latest of them, indices [closingEdges - size, closingEdges).
    uint64_t closingEdges = 0;
    // Signalled (under apsFrameMutex) when a closing edge is decoded.
    std::condition_variable apsFrameSynced;

    std::shared_ptr<CountFrame> countFrame;
    std::mutex countFrameMutex;
    uint16_t maxPixelCount = kMaxPixelCount;
    std::shared_ptr<ObjectPool<CountFrame, 1>> countFramePool;

    std::deque<std::pair<std::shared_ptr<CountFrame>, uint64_t>> fusionQueue;
    std::mutex fusionQueueMutex;

private:
    friend struct FusionCameraTestAccess;

    // A zero-filled count frame from the pool, or from the heap when the pool is exhausted.
    std::shared_ptr<CountFrame> freshCountFrame();

    CallbackRegistry<EventsCallback> eventCallbacks;

    CallbackRegistry<TriggerInCallback> triggerCallbacks;

    EventBatcher batcher;
    bool countPoolExhaustedLogged = false;  // guarded by countFrameMutex
};

}  // namespace vireo
