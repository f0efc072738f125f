// DvsCameraPrivate: the streaming half of every event camera. It turns raw USB buffers into
// decoded events on a camera thread, hands event ranges and trigger edges to any number of
// callbacks, cuts the stream into batches by count or by time for applications that poll,
// and reports the decoder's statistics once per second on a statistics thread.
//
// Behaviour worth knowing:
// - start() on a started camera returns 0 and changes nothing.
// - setBatchEventsNum(0) and setBatchEventsTime(0) are refused: logged at error level, the
//   batch size and mode stay as they were.
// - Lowering the batch size below what is already collected hands the collected events out
//   in batches of the new size as soon as the next events arrive.
// - Time batches are half-open windows: an event exactly on a window's end belongs to the
//   next window, however the decoder cut the stream into ranges.
// - getNextBatch returns false at once when no batch mode is set or the camera is not
//   streaming, and returns false when stop() (or the end of the stream, e.g. an unplug)
//   interrupts its wait; stop() wakes every waiter, and a change of batch mode wakes the
//   waiters of the other mode.
// - getNextBatch called from a callback returns false at once (logged): the camera thread
//   that would have to complete the batch is the one waiting.
// - stop() called from a callback (on one of the camera's own threads) logs an error and
//   returns -1 without stopping anything; stop the camera from an application thread.
// - When the camera is unplugged while streaming, the camera and statistics threads end on
//   their own; stop() still returns 0 and the camera can be dropped.
// - The batch sizes and the statistics callback may be changed while streaming.
// - A callback that throws ends the stream: the camera thread logs the exception and ends,
//   getNextBatch waiters are released, and stop() cleans up as after an unplug.
//
// Recording the raw stream (startRecording, stopRecording, setFileCacheTime) comes with its
// own work: for now startRecording and stopRecording return -1 and the cache time is
// ignored.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include <vireo/Decoder.h>
#include <vireo/DvsCamera.h>
#include <vireo/Interface.h>
#include <vireo/RawEventStreamFormat.h>
#include <vireo/RegisterController.h>
#include <vireo/Sensor.h>
#include <vireo/pipit_export.h>

namespace vireo {

class PIPIT_EXPORT DvsCameraPrivate : public DvsCamera {
public:
    explicit DvsCameraPrivate(CameraDescription desc);
    // Stops the camera (joining its threads) before anything is released.
    virtual ~DvsCameraPrivate();

    DvsCameraPrivate(const DvsCameraPrivate&) = delete;
    DvsCameraPrivate& operator=(const DvsCameraPrivate&) = delete;

    unsigned addEventsStreamHandleCallback(EventsCallback cb) override;
    bool removeEventsStreamHandleCallback(unsigned id) override;
    unsigned addTriggerInCallback(TriggerInCallback cb) override;
    bool removeTriggerInCallback(unsigned id) override;

    bool getNextBatch(std::vector<Event2D>& out) override;
    void setBatchEventsNum(unsigned long long n) override;
    void setBatchEventsTime(unsigned long long us) override;

    int start() override;
    int stop() override;

    // Not available yet: logs at error level and returns -1.
    int startRecording(std::string path) override;
    // Nothing is recording yet: returns -1.
    int stopRecording() override;

    void setStatisticInfoCallback(StatisticCallback cb) override;

    // The raw stream format the camera's decoder is created for.
    virtual RawEventStreamFormat getRawEventStreamFormat() = 0;

protected:
    // Decoder callbacks, on the camera thread.
    void eventStreamArrvied(const Event2D* first, const Event2D* last);
    void triggerInArrvied(EventTriggerIn trigger);

    // Fields the concrete camera's init fills.
    std::shared_ptr<RegisterController> registerController;
    std::unique_ptr<Decoder> decoder;
    std::shared_ptr<Interface> interface;
    uint64_t interfaceSlot = 0;
    bool inited = false;
    std::unique_ptr<Sensor> sensor;

private:
    // White-box access for the pipeline's tests (batch buffers and decoder callbacks).
    friend struct DvsCameraPrivateTestAccess;

    void cameraLoop();
    void statisticLoop();
    void countBatching(const Event2D* first, const Event2D* last);
    void timeBatching(const Event2D* first, const Event2D* last);
    void handOverCountBatch();
    void handOverTimeBatch();
    // Wakes every getNextBatch waiter and the statistics thread.
    void wakeAll();
    bool streaming() const { return running.load() == 1 && !streamEnded.load(); }

    std::unordered_map<uint32_t, EventsCallback> eventCallbacks;
    uint32_t nextEventCallbackId = 0;
    std::mutex eventCallbackMutex;

    std::unordered_map<uint32_t, TriggerInCallback> triggerCallbacks;
    uint32_t nextTriggerCallbackId = 0;
    std::mutex triggerCallbackMutex;

    std::atomic<uint32_t> requestedBatchMode{0};  // 0 none, 1 by count, 2 by time
    uint32_t activeBatchMode = 0;
    std::mutex batchModeMutex;
    std::atomic<uint64_t> batchEventsNum{0x20000};
    std::atomic<uint64_t> batchEventsTime{10000};  // microseconds

    std::thread cameraThread;
    std::atomic<int> running{0};
    std::atomic<bool> streamEnded{false};  // the camera thread has left its loop
    std::mutex lifecycleMutex;             // serialises start and stop

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

    std::thread statisticThread;
    StatisticCallback statisticCallback;
    std::mutex statisticMutex;  // guards statisticCallback and the statistics thread's wait
    std::condition_variable statisticCond;
};

}  // namespace vireo
