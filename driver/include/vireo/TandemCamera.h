// TandemCamera: the fusion camera model (USB 2207:0006): an IMX636 event sensor (1280 x 720,
// EVT3 words that arrive byte-swapped) and an IMX415 frame sensor (3840 x 2160 NV12 frames)
// behind one device, whose trigger edges frame each exposure on the event stream.
//
// Threads: the event thread (byte swap, decoding, count frames, triggers, event and trigger
// callbacks, the event recording's hand-off), the frame thread (NV12 to BGR24, frame
// callbacks, the frame recording's hand-off), a statistics thread and one record thread per
// running recording.
//
// Behaviour worth knowing:
// - start(type) starts the chosen streams: STREAM_DVS the event sensor, STREAM_APS the frame
//   sensor, STREAM_BOTH (and any other value) both. Two control frames (0x40010010 and
//   0x40010200, words 0 and 1) go to the device first. A running camera only logs.
// - stop(type) stops every stream; recordings go on until stopRecording (or destruction).
//   Called from one of the camera's callbacks it logs an error and returns -1.
// - When the device is unplugged the event and frame threads end ("Tandem loss
//   connection."); the camera stays "running" until stop().
// - A frame's timestamp and syncTimestamp are the times of the trigger edges that opened and
//   closed its exposure: frames and closing edges pair in order (the frame thread waits
//   briefly for the edge to be decoded). A frame the host's frame queue drops (a slow frame
//   callback) or that comes short is counted, and its exposure is passed over, so the frames
//   after it keep their own times. A frame the device itself loses cannot be seen here; the
//   pairing then runs one exposure late until the pending edges overflow (kPendingExposures). getFusionEvents(counts, frame.syncTimestamp) finds the frame's
//   count frame while it is among the 3 queued (the event stream may run ahead): the frame
//   thread hears of an exposure only once its count frame is queued.
// - The frame thread converts the frame and runs the frame callbacks without holding the
//   lock the trigger edges take, so a slow frame callback never holds up the event stream.
//
// Recording (startRecording(path, type)):
// - Events go to <base>.raw: the RAW header, then the raw words exactly as the device sent
//   them (after the byte swap). Buffers of up to 9,216,000 bytes are handed to a record
//   thread; stopRecording writes the partly filled last one too. A file written whole gets
//   its bookmark index and companion beside it at stopRecording, built by the record thread
//   from the bytes it writes, so that the reader opens it without a scan.
// - Frames go to <base>.mp4 (H.264). Each frame's time in the video is its syncTimestamp
//   minus that of the first recorded frame (the offset), so the video's timeline is the
//   sensor's; the offset is written into the MP4's "comment" metadata as
//   "event_time_offset_us=<offset>" (Mp4FileReader::getEventTimeOffset reads it back), so a
//   frame at video time v pairs with the events at sensor time v + offset. A frame whose
//   time does not advance (no trigger edge came) is placed 33,333 us after the previous one.
// - Both record threads take pooled buffers as they are needed, at most kMaxRawBuffers and
//   kMaxFrameBuffers. When the disk or the encoder falls that far behind, the data that
//   finds no buffer is dropped and counted (getRecordingLoss), a warning is logged at once
//   and again at stopRecording: memory stays bounded and the loss is never silent.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <vireo/DataToVideoConverter.h>
#include <vireo/CallbackRegistry.h>
#include <vireo/Decoder.h>
#include <vireo/FusionCameraPrivate.h>
#include <vireo/Imx415Sensor.h>
#include <vireo/Imx6x6Sensor.h>
#include <vireo/Interface.h>
#include <vireo/ObjectPool.h>
#include <vireo/RegisterController.h>
#include <vireo/UsbInterface.h>
#include <vireo/pipit_export.h>

namespace vireo {

class RecordingIndex;
class WriteFault;

class PIPIT_EXPORT TandemCamera : public FusionCameraPrivate {
public:
    static constexpr uint16_t vendorId = 8711;
    static constexpr uint16_t productId = 6;
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;
    static constexpr const char* kStreamFormat = "EVT3;height=720;width=1280";
    static constexpr const char* kEventRegisterPrefix = "PSEE/IMX636/";
    static constexpr const char* kFrameRegisterPrefix = " ";

    // Bounds of the recording pools (raw buffers of 9,216,000 bytes, NV12 frames of
    // 12,441,600 bytes at the default geometries): about 150 MB and 100 MB at most.
    static constexpr std::size_t kMaxRawBuffers = 16;
    static constexpr std::size_t kMaxFrameBuffers = 8;

    explicit TandemCamera(CameraDescription desc);
    // Stops the streams and ends the recordings (completing their files). On one of the
    // camera's own threads (the last reference went inside a callback of a camera built
    // directly) it ends the other threads, lets its own go to the process's camera thread
    // reaper and leaves that thread what the unfinished callback and decode call still use;
    // a camera from create() (as the manager makes them) is destroyed on a thread of its own
    // instead.
    ~TandemCamera() override;

    // A camera whose last reference may be dropped on any thread, its own callbacks included
    // (a callback that locks a weak pointer while the application lets its own go): dropped
    // on one of its threads, it is destroyed on a thread of its own once that callback has
    // returned, joining the camera's threads as usual.
    static std::shared_ptr<TandemCamera> create(CameraDescription desc);

    // "Vireo" and "Tandem", as new strings.
    static std::string getManufacturer();
    static std::string getProductName();

    bool isConnected() const override;

    unsigned addApsFrameCallback(ApsFrameCallback cb) override;
    bool removeApsFrameCallback(unsigned id) override;

    int start(STREAM_TYPE type) override;
    int stop(STREAM_TYPE type) override;

    // STREAM_DVS and STREAM_APS: 0, or -1 when that recording runs already ("Do not save
    // again while saving.") or its file cannot be created. STREAM_BOTH: starts the frame
    // recording, then the event recording; 0 only when both started (a failure is logged
    // and the other recording runs on).
    int startRecording(std::string path, STREAM_TYPE type) override;
    // Ends the chosen recordings (STREAM_BOTH: both), writing what is left; 0, or -1 when a
    // file could not be written whole.
    int stopRecording(STREAM_TYPE type) override;

    void setStatisticInfoCallback(StatisticCallback cb) override;

    // The decoder's counters, the loss counters and the frame counts now; the statistics
    // thread sends the same.
    DsStatisticInfo getStatisticInfo() const override;

    // What the recordings running now (or the last ones) had to drop for want of a free
    // buffer: raw bytes and frames; the camera's transfers (event stream) the event recording
    // lost, those the host's queue dropped since it started included: the count its file's
    // "% vireo_lost_buffers" header line holds.
    struct RecordingLoss {
        uint64_t rawBytes = 0;
        uint64_t frames = 0;
        uint64_t lostBuffers = 0;
    };
    RecordingLoss getRecordingLoss() const;

    // True while the chosen recording runs (STREAM_BOTH: both), false once it stopped on its
    // own because its file could not be written (a full disk): the camera goes on streaming,
    // the file keeps what was written before, recordingError() tells what happened, and
    // stopRecording (or the next startRecording of that stream) ends it, returning -1.
    bool isRecording(STREAM_TYPE type) const;
    // Why the recordings stopped on their own, in one line; empty when they did not.
    std::string recordingError() const;

    // The video time (µs) a frame recorded now gets: `syncTimestamp` minus the offset, or
    // 33,333 us after the previous frame when that would not advance. The first frame
    // (`first`) sets the offset and gets 0.
    static int64_t frameVideoTime(uint64_t syncTimestamp, uint64_t offset, bool first, int64_t previous);

protected:
    // Opens the transport and sets both sensors up; 0 on success (at once when already
    // initialised), -1 ("Interface init error." or "Tandem Camera init error.") otherwise.
    int init() override;

    bool eventStreamRunning() const override;
    bool onOwnThread() const override;

private:
    friend struct FusionCameraTestAccess;

    void eventLoop();
    void frameLoop();
    void statisticLoop();
    // The destructor's first steps on one of the camera's own threads, and what that thread
    // does once it has left the destroyed camera's code.
    void endOnOwnThread();
    static void leaveDroppedCamera();
    // Stamps the frame in hand with the oldest pending exposure, waiting (bounded) for its
    // closing edge to be decoded, under the frame lock; returns its syncTimestamp, and in
    // `stamped` whether an exposure was found for it.
    uint64_t awaitSync(std::unique_lock<std::mutex>& frameLock, bool& stamped);
    // Passes over the exposures of `lost` frames lost on the host before the frame in hand,
    // under the frame lock.
    void skipLostExposures(uint64_t lost);

    int startEventRecording(const std::string& path);
    int startFrameRecording(const std::string& path);
    int stopEventRecording();
    int stopFrameRecording();
    void saveEventData(const std::vector<uint8_t>& data);
    void saveFrameData(const std::vector<uint8_t>& nv12, uint64_t syncTimestamp);
    void eventRecordLoop();
    void frameRecordLoop();

    CallbackRegistry<ApsFrameCallback> apsFrameCallbacks;

    std::thread frameThread;
    std::thread eventThread;
    std::atomic<int> running{0};
    std::atomic<bool> eventThreadActive{false};  // the event thread runs its loop
    bool inited = false;
    std::mutex lifecycleMutex;  // serialises start and stop
    bool syncEdgesMissing = false;     // frame thread: the last wait for an edge timed out
    // Frame thread, under apsFrameMutex: the index (among closingEdges) of the edge that
    // closes the next frame, as far as the frames seen so far tell.
    uint64_t nextEdgeIndex = 0;

    std::unique_ptr<Decoder> decoder;
    std::shared_ptr<UsbInterface> interface;
    uint64_t interfaceSlot = 0;
    std::shared_ptr<RegisterController> dvsRegisterController;
    std::shared_ptr<RegisterController> apsRegisterController;
    std::unique_ptr<Imx6x6Sensor> dvsSensor;
    std::unique_ptr<Imx415Sensor> apsSensor;

    using RawBuffer = std::vector<uint8_t>;
    std::atomic<bool> eventRecording{false};
    int eventRecordFd = -1;
    std::string eventRecordPath;
    std::string eventRecordHeader;  // the header written at the start of eventRecordPath
    std::thread eventRecordThread;
    std::deque<std::shared_ptr<RawBuffer>> eventRecordQueue;
    std::mutex eventRecordMutex;  // guards the queue, the current buffer and the stop request
    std::condition_variable eventRecordCond;
    bool eventRecordStopping = false;
    std::atomic<bool> eventRecordFailed{false};  // a write to the file failed (record thread)
    // The file's bookmark index, fed by the record thread (made before it starts and used
    // after it is joined).
    std::unique_ptr<RecordingIndex> eventRecordIndex;
    std::shared_ptr<ObjectPool<RawBuffer, 1>> rawBufferPool;
    std::shared_ptr<RawBuffer> currentRawBuffer;

    std::atomic<bool> frameRecording{false};
    std::string mp4Path;
    std::thread frameRecordThread;
    std::shared_ptr<DataToVideoConverter> recordConverter;
    std::shared_ptr<DataToVideoConverter> previewConverter;
    std::mutex frameRecordMutex;  // guards the two queues, the offset and the stop request
    std::condition_variable frameRecordCond;
    bool frameRecordStopping = false;
    std::atomic<bool> frameRecordFailed{false};  // a frame could not be encoded (record thread)
    // Why the event and the frame recording stopped on their own; guarded by recordErrorMutex.
    std::string eventRecordError;
    std::string frameRecordError;
    mutable std::mutex recordErrorMutex;
    // The limited disk the event recording's writes go through (tests); set while none runs.
    std::shared_ptr<WriteFault> writeFault;
    std::shared_ptr<ObjectPool<RawBuffer, 1>> nv12BufferPool;
    std::deque<std::shared_ptr<RawBuffer>> nv12Queue;
    std::deque<int64_t> frameTimeQueue;
    uint64_t mp4Offset = 0;
    bool mp4OffsetSet = false;     // the first recorded frame has set mp4Offset
    int64_t lastFramePts = 0;      // video time of the latest queued frame
    std::mutex recordControlMutex;  // serialises startRecording and stopRecording

    std::atomic<uint64_t> rawBytesDropped{0};
    std::atomic<uint64_t> framesDropped{0};

    // Loss counters since the camera was made (DsStatisticInfo): transfers, bytes and frames
    // the recordings could not keep; frames the frame thread handed to the frame callbacks,
    // and those it dropped (short transfers).
    std::atomic<uint64_t> recordingLostBuffers{0};
    std::atomic<uint64_t> recordingLostBytes{0};
    std::atomic<uint64_t> recordingLostFrames{0};
    std::atomic<uint64_t> framesReceived{0};
    std::atomic<uint64_t> shortFramesDropped{0};
    // The event recording's loss: the count when it started, and its total once stopped.
    std::atomic<uint64_t> eventRecordLossBase{0};
    std::atomic<uint64_t> lastEventRecordLost{0};
    uint64_t eventLossSinceRecordStart() const;

    std::thread statisticThread;
    StatisticCallback statisticCallback;
    std::mutex statisticMutex;
    std::condition_variable statisticCond;
};

// The model enumerator vireo::TandemCamera (CAMERA_TYPE) shares this class's name and hides
// it: name the class as `class vireo::TandemCamera` or through this alias.
using TandemFusionCamera = class TandemCamera;

}  // namespace vireo
