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
// - start() called from a callback never waits (stop() may be joining that very thread):
//   it returns 0 while the camera streams, and -1 (logged) once it is stopping or its
//   stream has ended.
// - When the camera is unplugged while streaming, the camera and statistics threads end on
//   their own; stop() still returns 0 and the camera can be dropped.
// - The batch sizes and the statistics callback may be changed while streaming.
// - A callback that throws ends the stream: the camera thread logs the exception and ends,
//   getNextBatch waiters are released and the statistics end. A stream that ended (a
//   callback that threw, an unplug) is no longer running: start() joins its ended threads
//   and streams again, and stop() cleans up as after an unplug. A recording or the cache
//   goes on across such a restart.
// - The last reference to the camera may be dropped on any thread, its own included (a
//   callback that locks a weak pointer while the application drops its own): the camera
//   then ends there, writing its recording, and the thread leaves the destroyed camera's
//   code without touching it.
//
//
// Recording (startRecording, stopRecording, setFileCacheTime) copies the raw buffers, before
// decoding, into pooled buffers of up to 10 MiB, handed to a record thread every 100 ms of
// sensor time (sooner when 10 MiB are full); the record thread writes them to temporary
// segment files and stopRecording joins the RAW header and the segments into the output
// file. Its behaviour is described in DvsCameraRecording.cpp and in docs/recording.md; in
// short:
// - The cache keeps segments of at most one second of sensor time, as many as it takes to
//   reach back `fileCacheTime` seconds, so that a recording begins between N and N + 1
//   seconds before startRecording at any data rate. A recording writes a single segment
//   file that begins with the header and the cache's segments; at stopRecording it is
//   renamed to the output path (copied instead when the output is on another file system or
//   is not a plain file), so a long recording is not copied a second time.
// - A renamed recording gets its bookmark index and the index's companion beside it, built
//   by the record thread as it writes, so that the reader opens it without a scan; an
//   assembled or incomplete one gets none (the reader indexes it at its first load).
// - startRecording builds no buffer ahead: it returns within a fraction of a millisecond.
// - Everything the camera delivered between startRecording and stopRecording reaches the
//   file, including the last, partly filled buffer.
// - Segment files are named "<index>vireo.raw.tmp" and live in the camera's own folder,
//   "vireo-segments-<serial>-<process id>" under the current directory unless
//   setSegmentDirectory chose another, so two cameras recording at once never share a
//   segment file.
// - stopRecording returns -1 (logged with the path) when the output cannot be opened or
//   written, or when a segment could not be written; the segments of a recording whose
//   output failed are kept and lead the next recording's file.
// - setFileCacheTime(0) while only the cache runs ends the record thread and deletes the
//   cache's segments.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <vireo/CallbackRegistry.h>
#include <vireo/Decoder.h>
#include <vireo/DvsCamera.h>
#include <vireo/EventBatcher.h>
#include <vireo/Interface.h>
#include <vireo/ObjectPool.h>
#include <vireo/RawEventStreamFormat.h>
#include <vireo/RegisterController.h>
#include <vireo/Sensor.h>
#include <vireo/pipit_export.h>

namespace vireo {

class RecordingIndex;
class WriteFault;

class PIPIT_EXPORT DvsCameraPrivate : public DvsCamera {
public:
    explicit DvsCameraPrivate(CameraDescription desc);
    // Stops the camera (joining its threads) and ends its recording before anything is
    // released. On one of the camera's own threads (the last reference went in a callback)
    // it ends the other thread, lets its own go without a join, and leaves that thread what
    // the unfinished callback and decode call still use.
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

    // Size of the pooled raw buffers: a buffer goes to the record thread once it holds more.
    static constexpr uint64_t kMaxRawDataBufferSize = 10485760;
    // Sensor time a raw buffer collects before it goes to the record thread, whatever its size.
    static constexpr uint64_t kRawBufferSpan_us = 100000;
    // At most this many raw buffers exist (about 704 MiB; at ordinary rates a buffer holds
    // 100 ms, so the record thread may fall some 6 s behind, as when it copies the cache into
    // a recording on a slow disk): when it falls further behind, the camera's transfers that
    // find no buffer are dropped and counted (recordingLostBuffers of the statistics) instead
    // of memory growing without bound.
    static constexpr std::size_t kMaxRawBuffers = 64;

    // Starts recording the raw stream for the RAW file `path` (opened only by stopRecording).
    // 0 on success; -1 (logged) when a recording already runs. Throws std::runtime_error
    // "Camera is not inited" before the camera is opened. May be called before start().
    int startRecording(std::string path) override;
    // Ends the recording and writes the RAW file: 0 on success and when nothing records; -1
    // (logged with the path) when the output could not be opened or written or a segment
    // could not be written. Throws std::runtime_error "Camera is not inited" before init.
    int stopRecording() override;
    // Keeps the last `seconds` seconds of the raw stream on disk while no recording runs, in
    // segments of at most one second, so that a later recording begins between `seconds`
    // and `seconds` + 1 seconds of sensor time before its start. 0 ends the cache (its
    // segment files are deleted unless a recording runs, which keeps them).
    void setFileCacheTime(unsigned short seconds) override;

    // Folder of this camera's segment files (created when the first segment is written). An
    // empty `directory` restores the default, "vireo-segments-<serial>-<process id>" under the
    // current directory. Refused (logged, false) while a recording or the cache runs.
    bool setSegmentDirectory(const std::string& directory);
    std::string getSegmentDirectory() const;
    // Names of the segment files written and not yet consumed, oldest first.
    std::deque<std::string> getSegmentFiles() const;
    // True from startRecording to stopRecording, unless the recording stopped on its own: a
    // write to its file failed (a full disk). The camera then goes on streaming, the file
    // keeps what was written before the failure, recordingError() tells what happened, and
    // stopRecording (or the next startRecording) ends it, returning -1.
    bool isRecording() const;
    // Why the last recording stopped on its own; empty when it did not. Cleared by startRecording.
    std::string recordingError() const;

    void setStatisticInfoCallback(StatisticCallback cb) override;
    // The decoder's counters and the loss counters now; the statistics thread sends the same.
    DsStatisticInfo getStatisticInfo() const override;
    // The camera's transfers the recording running now (or the last one, once stopped) lost:
    // those the host's queue dropped since startRecording and those the recording itself
    // could not keep. The count its file's "% vireo_lost_buffers" header line holds.
    uint64_t getRecordingLostBuffers() const;

    // The raw stream format the camera's decoder is created for.
    virtual RawEventStreamFormat getRawEventStreamFormat() = 0;

protected:
    // Decoder callbacks, on the camera thread.
    void eventStreamArrvied(const Event2D* first, const Event2D* last);
    void triggerInArrvied(EventTriggerIn trigger);

    // Recording: called by the camera loop with each raw buffer, before decoding, while a
    // recording or the cache runs; and the body of the record thread.
    void prepareData2Save(std::vector<uint8_t>& data);
    void recordLoop();

    // Connects the decoder's event and trigger callbacks to this camera; the concrete
    // camera's init calls it once the decoder exists.
    void connectDecoder();

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
    // The destructor's first steps when it runs on one of the camera's own threads (the last
    // reference went in a callback): ends the other thread, lets the current one go without
    // a join, and keeps alive what that thread's unfinished frames still run in.
    void endOnOwnThread();
    void joinThreads();
    // Wakes every getNextBatch waiter and the statistics thread.
    void wakeAll();
    bool streaming() const { return running.load() == 1 && !streamEnded.load(); }

    CallbackRegistry<EventsCallback> eventCallbacks;

    CallbackRegistry<TriggerInCallback> triggerCallbacks;

    EventBatcher batcher;

    std::thread cameraThread;
    // 1 while the camera streams: set by start, cleared by stop and by the camera thread
    // when its stream ends on its own.
    std::atomic<int> running{0};
    std::atomic<bool> streamEnded{false};  // the camera thread has left its loop
    // Serialises start and stop; held by stop across the joins, so never taken on the
    // camera's own threads.
    std::mutex lifecycleMutex;

    std::thread statisticThread;
    StatisticCallback statisticCallback;
    std::mutex statisticMutex;  // guards statisticCallback and the statistics thread's wait
    std::condition_variable statisticCond;

    // Recording (DvsCameraRecording.cpp).
    using RawBuffer = std::vector<uint8_t>;
    // A raw buffer handed to the record thread, with the sensor (decoder) time its bytes
    // span: from where the stream was when its first bytes came to where it was once all
    // of them were decoded.
    struct QueuedRawBuffer {
        std::shared_ptr<RawBuffer> data;
        uint64_t begin_us = 0;
        uint64_t end_us = 0;
        uint64_t transfers = 0;  // the camera's transfers the bytes came in
    };
    // Makes the pool and the current buffer if absent, raises `flag` (recording or caching)
    // and starts the record thread if it is not running.
    void startRecordThread(std::atomic<bool>& flag);
    void endRecordThread();    // wakes and joins the record thread
    bool openSegment(uint64_t index, uint64_t begin_us);
    // Closes the open segment; a segment whose data did not all reach the disk is marked failed.
    void closeSegment();
    // Ends the open cache segment and opens the next one, which begins at `now_us`.
    void rotateSegment(uint64_t now_us);
    // Drops the oldest cache segments a recording started at `now_us` would not need.
    void dropStaleCacheSegments(uint64_t now_us, uint64_t span_us);
    // The lowest segment index from segmentIndexBase that no listed segment uses.
    uint64_t freeSegmentIndex() const;
    void writeToSegment(const QueuedRawBuffer& entry);
    void deleteCacheSegments();
    void releaseRawBuffers();
    std::string segmentPath(uint64_t index) const;
    std::string segmentFolder() const;
    int stopRecordingLocked();
    int assembleRecording();  // writes the RAW file from the header and the segments
    // Opens the recording's own file (header, then the cache's segments); false when it
    // cannot be written.
    bool openRecordFile();
    enum class MoveResult { Moved, CopyInstead, Failed };
    // Dates the header of the recording's file and renames it to recordPath.
    MoveResult moveRecordFile(const std::string& name);
    void endCacheLocked();
    // Ends a recording (writing its file) and the cache when the camera is stopped or
    // destroyed; the recording's result, 0 when none ran.
    int shutDownRecording();

    std::shared_ptr<ObjectPool<RawBuffer, 1>> rawBufferPool;  // absent until first needed
    std::shared_ptr<RawBuffer> currentRawBuffer;
    uint64_t currentRawBufferBegin_us = 0;  // sensor time of currentRawBuffer's first bytes
    uint64_t currentRawBufferTransfers = 0;  // transfers collected in currentRawBuffer
    // Guarded by recordMutex: the pool had no buffer for the camera thread, which takes one
    // again as soon as one is free (until then its transfers are dropped and counted).
    bool rawBuffersStarved = false;
    // Guarded by recordMutex: counts the times the current buffer was taken away (a stop, the
    // cache's end), so that a camera thread that waited for a buffer without the lock knows.
    uint64_t rawBufferEpoch = 0;
    // Transfers (and their bytes) a recording or the cache could not keep, since the camera
    // was made; and, for the recording running now, the loss counted when it started.
    std::atomic<uint64_t> recordingLostBuffers{0};
    std::atomic<uint64_t> recordingLostBytes{0};
    std::atomic<uint64_t> recordLossBase{0};
    std::atomic<uint64_t> lastRecordingLost{0};  // the value getRecordingLostBuffers reports once stopped
    // The count for the recording running now: host drops and recording drops since its start.
    uint64_t lossSinceRecordStart() const;
    // Counts `transfers` transfers of `bytes` bytes that no recording will hold.
    void countRecordingLoss(uint64_t transfers, uint64_t bytes);
    std::deque<QueuedRawBuffer> recordQueue;
    std::mutex recordMutex;  // guards recordQueue, currentRawBuffer and the flag changes
    std::condition_variable recordCond;
    std::string recordPath;
    std::atomic<bool> recording{false};
    std::thread recordThread;
    std::atomic<bool> caching{false};
    std::atomic<uint16_t> fileCacheTime{0};
    std::deque<std::string> segmentFiles;  // guarded by segmentListMutex
    uint64_t segmentStartTimestamp = 0;
    int segmentFd = -1;                  // the open segment's file
    bool segmentWriteFailed = false;     // a write to the open segment failed: it takes no more
    std::string segmentName;
    uint64_t segmentIndex = 0;

    bool recordThreadStop = false;       // guarded by recordMutex: drain the queue and end
    std::atomic<bool> recordThreadRunning{false};
    bool segmentOpen = false;            // segmentFd belongs to the newest segment
    size_t keptSegments = 0;             // leading segmentFiles kept from a failed output
    uint64_t segmentIndexBase = 0;       // first index after the kept segments
    uint64_t highestSegmentIndex = 0;    // the largest index opened since the list was empty
    std::set<std::string> failedSegments;  // segments with data that could not be written
    std::map<std::string, uint64_t> segmentBegins;  // cache segments: sensor time they begin at
    // Sensor time at startRecording, and the cache time then: the cache's segments that
    // lead the recording reach back that far.
    std::atomic<uint64_t> recordStart_us{0};
    std::atomic<uint64_t> recordCacheSpan_us{0};
    bool segmentIsRecordFile = false;      // the open segment is a recording's own file
    std::map<std::string, uint64_t> recordFileHeaders;  // recording files: header bytes
    bool recordDataLost = false;           // a buffer found no file to go to
    // Stops the recording after its file could not be written (record thread): nothing more
    // is collected for it, and `reason` is kept for recordingError().
    void failRecording(const std::string& reason);
    // Sets the limited disk the recorder's writes go through (tests); only while no recording runs.
    void setWriteFault(std::shared_ptr<WriteFault> fault);
    std::atomic<bool> recordWriteFailed{false};
    std::string recordError;               // guarded by recordErrorMutex
    mutable std::mutex recordErrorMutex;
    std::shared_ptr<WriteFault> writeFault;  // none but in tests
    // The bookmark index of the recording's file recordIndexFile, built by the record thread
    // from the bytes it writes there (the control operation's once the thread is joined);
    // absent when none can be trusted for it.
    std::unique_ptr<RecordingIndex> recordIndex;
    std::string recordIndexFile;
    uint64_t recordRetryIndex = 0;         // lowest index for the recording's file after a failure
    std::string segmentDirectory;        // empty: the default per-camera folder
    mutable std::mutex segmentListMutex; // guards segmentFiles for readers on other threads
    std::mutex recordControlMutex;       // serialises the recording operations and stop
};

}  // namespace vireo
