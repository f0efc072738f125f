// TandemCamera: initialisation, start and stop, the event, frame and statistics threads.
#include <vireo/TandemCamera.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <system_error>

#include <vireo/CtrlFrame.h>
#include <vireo/DecoderFactory.h>
#include <vireo/Helpers.h>
#include <vireo/Imx415ApsCtrl.h>
#include <vireo/Imx636Tools.h>
#include <vireo/Logger.h>
#include <vireo/RegisterTables.h>

#include "camera/CameraThreadReaper.h"
#include "camera/RecordingIndex.h"  // complete for the recording index member

namespace vireo {

namespace {

// The camera whose thread (event, frame, statistics) the current thread is, if any.
thread_local const TandemFusionCamera* tlsOwnThreadsCamera = nullptr;

// How long the frame thread waits for the trigger edge that closes the frame in hand (the
// event thread may be busy with a callback or a loaded machine).
constexpr auto kSyncWait = std::chrono::milliseconds(1000);

class OwnThreadMark {
public:
    explicit OwnThreadMark(const TandemFusionCamera* camera) { tlsOwnThreadsCamera = camera; }
    ~OwnThreadMark() { tlsOwnThreadsCamera = nullptr; }
    OwnThreadMark(const OwnThreadMark&) = delete;
    OwnThreadMark& operator=(const OwnThreadMark&) = delete;
};

// What the frames of a camera destroyed on its event or frame thread still run in: the
// decoder inside its decode call, or the frame callback in progress.
struct OrphanedFrames {
    std::unique_ptr<Decoder> decoder;
    std::unordered_map<uint32_t, FusionCamera::ApsFrameCallback> apsFrameCallbacks;
};
thread_local std::unique_ptr<OrphanedFrames> tlsOrphanedFrames;

}  // namespace

TandemCamera::TandemCamera(CameraDescription description) : FusionCameraPrivate(std::move(description)) {
    // The reaper (and the logger it keeps alive) exists before any camera thread may need it.
    (void)detail::CameraThreadReaper::instance();
}

std::shared_ptr<TandemFusionCamera> TandemCamera::create(CameraDescription description) {
    return std::shared_ptr<TandemFusionCamera>(new TandemFusionCamera(std::move(description)),
                                               [](TandemFusionCamera* camera) {
        if (camera->onOwnThread()) {
            // The destructor joins the camera's threads, this one among them: it runs on a
            // thread of its own, which waits for this callback to return.
            try {
                detail::CameraThreadReaper::instance().run([camera] { delete camera; });
                return;
            } catch (const std::system_error& error) {
                VIREO_LOG_ERROR("Camera %s: no thread to release it on: %s", camera->desc.serial.c_str(),
                                error.what());
            }
        }
        delete camera;
    });
}

TandemCamera::~TandemCamera() {
    if (onOwnThread()) {
        // Destroyed inside one of its own callbacks (built directly, not by create()).
        endOnOwnThread();
    } else {
        stop(STREAM_BOTH);
    }
    // The record threads hold the files; ending them writes what is left.
    stopRecording(STREAM_BOTH);
    std::lock_guard<std::mutex> lock(statisticMutex);
    statisticCallback = nullptr;
}

void TandemCamera::endOnOwnThread() {
    const std::thread::id self = std::this_thread::get_id();
    running = 0;
    { std::lock_guard<std::mutex> frameLock(apsFrameMutex); }
    apsFrameSynced.notify_all();
    { std::lock_guard<std::mutex> statisticLock(statisticMutex); }
    statisticCond.notify_all();
    wakeBatchWaiters();
    // The other threads end as in stop(); this one cannot be joined from itself: it leaves
    // once its frames have returned and the reaper joins it then (at the latest at exit).
    for (std::thread* thread : {&eventThread, &frameThread, &statisticThread}) {
        if (!thread->joinable()) continue;
        if (thread->get_id() == self) {
            detail::CameraThreadReaper::instance().adoptCurrentThread(std::move(*thread));
        } else {
            thread->join();
        }
    }
    wakeBatchWaiters();
    try {
        apsSensor->stop();
        dvsSensor->stop();
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Camera %s: stopping the sensors failed: %s", desc.serial.c_str(), error.what());
    }
    // The decode call and the callback in progress outlive the camera: the thread frees them
    // once it has left them.
    auto frames = std::make_unique<OrphanedFrames>();
    frames->decoder = std::move(decoder);
    frames->apsFrameCallbacks.swap(apsFrameCallbacks.callbacks);
    releaseHeldCallbackLock({&apsFrameCallbacks.mutex});
    tlsOrphanedFrames = std::move(frames);
    handOverToThisThread();
}

void TandemCamera::leaveDroppedCamera() {
    tlsOrphanedFrames.reset();
    releaseDroppedFrames();
}

std::string TandemCamera::getManufacturer() { return "Vireo"; }
std::string TandemCamera::getProductName() { return "Tandem"; }

bool TandemCamera::isConnected() const { return interface && interface->isConnected(); }

bool TandemCamera::eventStreamRunning() const { return running.load() == 1 && eventThreadActive.load(); }

bool TandemCamera::onOwnThread() const { return tlsOwnThreadsCamera == this; }

unsigned TandemCamera::addApsFrameCallback(ApsFrameCallback cb) {
    return apsFrameCallbacks.add(std::move(cb));
}

bool TandemCamera::removeApsFrameCallback(unsigned id) {
    return apsFrameCallbacks.remove(id);
}

void TandemCamera::setStatisticInfoCallback(StatisticCallback cb) {
    std::lock_guard<std::mutex> lock(statisticMutex);
    statisticCallback = std::move(cb);
}

int TandemCamera::init() {
    if (inited) return 0;
    try {
        interface = UsbInterface::createUsbFusionInterface(desc);
        if (!interface) {
            VIREO_LOG_ERROR("Interface init error.");
            return -1;
        }
        interface->setCameraSlot(&interfaceSlot);

        std::size_t count = 0;
        const RegisterInfo* eventTable = getImx636RegisterTable(count);
        dvsRegisterController = std::make_shared<RegisterController>(interface, eventTable, count, kEventRegisterPrefix);
        const RegisterInfo* frameTable = getApsCtrlRegisterTable(count);
        apsRegisterController = std::make_shared<RegisterController>(interface, frameTable, count, kFrameRegisterPrefix);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

        decoder = DecoderFactory::createUniqueDecoder(RawEventStreamFormat(kStreamFormat));
        // A callback that destroyed the camera leaves the rest of the decoder's call running on
        // the event thread: its remaining ranges and edges are dropped.
        decoder->setEventsStreamHandleCallback([this](const Event2D* first, const Event2D* last) {
            if (!droppedOnThisThread()) eventStreamArrvied(first, last);
        });
        decoder->setTriggerInCallback([this](EventTriggerIn trigger) {
            if (!droppedOnThisThread()) triggerInArrvied(trigger);
        });

        auto eventController = dvsRegisterController;
        dvsSensor = std::make_unique<Imx6x6Sensor>();
        dvsSensor->setApplyRegisterOperationSequenceCallback(
            [eventController](const std::vector<RegisterOperation>& operations) {
                eventController->ApplyRegisterOperationSequence(operations);
            });
        dvsSensor->setWriteRegisterFieldCallback(
            [eventController](const std::string& register_name, const std::string& field_name, uint32_t value) {
                eventController->writeRegisterField(register_name, field_name, value);
            });
        dvsSensor->init(interface);

        auto frameController = apsRegisterController;
        apsSensor = std::make_unique<Imx415Sensor>(apsWidth, apsHeight);
        apsSensor->setWriteRegisterCallback([frameController](const std::string& register_name, uint32_t value) {
            frameController->writeRegister(register_name, value);
        });
        apsSensor->init(interface);

        // Biases, trigger input and anti-flicker only when absent; the others replace any
        // entry. This camera has no synchronisation tool.
        tools.emplace(TOOL_BIASES, std::make_shared<Imx636Biases>(dvsRegisterController));
        tools.emplace(TOOL_TRIGGER_IN, std::make_shared<Imx636TriggerIn>(dvsRegisterController));
        tools.emplace(TOOL_ANTI_FLICKER, std::make_shared<Imx636AntiFlicker>(dvsRegisterController));
        tools[TOOL_EVENT_RATE_CONTROL] = std::make_shared<Imx636EventRateControl>(dvsRegisterController);
        tools[TOOL_EVENT_TRAIL_FILTER] = std::make_shared<Imx636EventTrailFilter>(dvsRegisterController);
        tools[TOOL_ROI] = std::make_shared<Imx636ROI>(dvsRegisterController);
        tools[TOOL_APS_CTRL] = std::make_shared<Imx415ApsCtrl>(apsRegisterController);

        inited = true;
        return 0;
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Tandem Camera init error.");
        VIREO_LOG_DEBUG("Camera %s: %s", desc.serial.c_str(), error.what());
        return -1;
    }
}

int TandemCamera::start(STREAM_TYPE type) {
    if (!inited) throw std::runtime_error("Camera is not inited");
    if (onOwnThread()) {
        // stop() may be joining this very thread: a callback gets its answer at once.
        if (running.load() == 1) {
            VIREO_LOG_INFO("Camera is running.");
            return 0;
        }
        VIREO_LOG_ERROR("start() called from a camera callback while the camera stops: start it from another thread");
        return -1;
    }
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (running.load() == 1) {
        VIREO_LOG_INFO("Camera is running.");
        return 0;
    }
    try {
        CtrlFrame first(0x40010010);
        first.push_back32(0);
        first.push_back32(1);
        interface->transferFrame(first);
        CtrlFrame second(0x40010200);
        second.push_back32(0);
        second.push_back32(1);
        interface->transferFrame(second);
    } catch (const std::exception&) {
        VIREO_LOG_ERROR("Camera is running or no this command.");
    }
    running = 1;
    syncEdgesMissing = false;
    {
        std::lock_guard<std::mutex> frameLock(apsFrameMutex);
        pendingExposures.clear();
        lateEdgesOwed = 0;
        closingEdges = 0;
        nextEdgeIndex = 0;
    }
    const bool events = type != STREAM_APS;
    const bool frames = type != STREAM_DVS;
    if (events) {
        dvsSensor->start();
        eventThreadActive = true;
        eventThread = std::thread(&TandemCamera::eventLoop, this);
    }
    if (frames) {
        // The frame-only start brings the frame sensor up like the combined one.
        (void)getTool(TOOL_APS_CTRL);
        apsSensor->start();
        frameThread = std::thread(&TandemCamera::frameLoop, this);
    }
    statisticThread = std::thread(&TandemCamera::statisticLoop, this);
    VIREO_LOG_INFO("Camera event stream start.");
    return 0;
}

int TandemCamera::stop(STREAM_TYPE) {
    if (onOwnThread()) {
        VIREO_LOG_ERROR("stop() called from a camera callback: stop the camera from another thread");
        return -1;
    }
    std::lock_guard<std::mutex> lock(lifecycleMutex);
    if (running.load() == 0) return 0;
    running = 0;
    {
        std::lock_guard<std::mutex> frameLock(apsFrameMutex);
    }
    apsFrameSynced.notify_all();
    { std::lock_guard<std::mutex> statisticLock(statisticMutex); }
    statisticCond.notify_all();
    if (eventThread.joinable()) eventThread.join();
    if (frameThread.joinable()) frameThread.join();
    if (statisticThread.joinable()) statisticThread.join();
    wakeBatchWaiters();
    try {
        apsSensor->stop();
        dvsSensor->stop();
    } catch (const std::exception& error) {
        VIREO_LOG_ERROR("Camera %s: stopping the sensors failed: %s", desc.serial.c_str(), error.what());
    }
    return 0;
}

void TandemCamera::eventLoop() {
    OwnThreadMark mark(this);
    try {
        while (running.load() == 1) {
            auto buffer = dvsSensor->getNextBuffer();
            if (!buffer || !*buffer) {
                if (!isConnected()) {
                    VIREO_LOG_INFO("Tandem loss connection.");
                    break;
                }
                continue;
            }
            std::vector<uint8_t>& data = **buffer;
            // The device sends each 16-bit word with its bytes swapped.
            convertEndian(data);
            if (eventRecording.load()) saveEventData(data);
            decoder->decodeBuffer(data);
            if (droppedOnThisThread()) break;
        }
    } catch (const std::exception& error) {
        if (droppedOnThisThread()) {
            VIREO_LOG_ERROR("A callback of a dropped camera threw: %s", error.what());
        } else {
            VIREO_LOG_ERROR("Camera %s: event stream ended: %s", desc.serial.c_str(), error.what());
        }
    } catch (...) {
        if (!droppedOnThisThread()) {
            VIREO_LOG_ERROR("Camera %s: event stream ended: a callback threw a non-standard exception",
                            desc.serial.c_str());
        }
    }
    if (droppedOnThisThread()) {
        // A callback destroyed the camera on this thread: only what it handed over is left.
        leaveDroppedCamera();
        return;
    }
    eventThreadActive = false;
    wakeBatchWaiters();
    // A frame waiting for its edge need not wait any longer.
    { std::lock_guard<std::mutex> frameLock(apsFrameMutex); }
    apsFrameSynced.notify_all();
}

void TandemCamera::skipLostExposures(uint64_t lost) {
    if (lost == 0) return;
    // The frame in hand closes with edge `target`: the lost frames had the ones before it.
    // Those still pending go; those not decoded yet are passed over when they come. Edges
    // the pending queue already let go need nothing.
    const uint64_t target = nextEdgeIndex + lost;
    const uint64_t oldestPending = closingEdges - pendingExposures.size();
    if (target >= closingEdges) {
        pendingExposures.clear();
        lateEdgesOwed = static_cast<std::size_t>(target - closingEdges);
    } else {
        for (uint64_t i = oldestPending; i < target && !pendingExposures.empty(); ++i) pendingExposures.pop_front();
    }
    nextEdgeIndex = target;
}

uint64_t TandemCamera::awaitSync(std::unique_lock<std::mutex>& frameLock, bool& stamped) {
    // The device sends a frame only after the edge that closes its exposure, but the event
    // thread may not have decoded that edge yet. Without an event stream, or once edges have
    // stopped coming, frames are not held up.
    if (pendingExposures.empty() && eventStreamRunning() && !syncEdgesMissing) {
        const bool synced = apsFrameSynced.wait_for(frameLock, kSyncWait, [&] {
            return !pendingExposures.empty() || running.load() != 1 || !eventThreadActive.load();
        });
        if (!synced && running.load() == 1) {
            // Edges stopped coming (the trigger input was switched off) or come very late: this
            // frame goes without, and its edge, should it still come, is not given to the next.
            syncEdgesMissing = true;
            ++lateEdgesOwed;
            ++nextEdgeIndex;
        }
    }
    if (!pendingExposures.empty()) {
        nextEdgeIndex = closingEdges - pendingExposures.size() + 1;
        apsFrame.timestamp = pendingExposures.front().first;
        apsFrame.syncTimestamp = pendingExposures.front().second;
        pendingExposures.pop_front();
        syncEdgesMissing = false;
        stamped = true;
    } else {
        stamped = false;
    }
    return apsFrame.syncTimestamp;
}

void TandemCamera::frameLoop() {
    OwnThreadMark mark(this);
    if (!previewConverter) {
        previewConverter = std::make_shared<DataToVideoConverter>();
        previewConverter->setConverterFrameSize(static_cast<int32_t>(apsHeight), static_cast<int32_t>(apsWidth),
                                                static_cast<int32_t>(apsHeight), static_cast<int32_t>(apsWidth));
        previewConverter->setConverterFmt(VIDEO_PIX_FMT_NV12, VIDEO_PIX_FMT_BGR24);
    }
    const size_t frameBytes = apsSensor->frameBytes();
    // Frames lost on the host after their exposure was announced on the event stream: the
    // host's frame queue dropped them (it drops its oldest, so they came before the next
    // frame taken) or they were too short. Their exposures are passed over, so that the next
    // frame is stamped with its own exposure rather than the lost one's.
    uint64_t queueDropsSeen = apsSensor->droppedBuffers();
    uint64_t framesLost = 0;
    try {
        while (running.load() == 1) {
            uint64_t queueDrops = queueDropsSeen;
            auto buffer = apsSensor->getNextBuffer(queueDrops);
            framesLost += queueDrops - std::min(queueDropsSeen, queueDrops);
            queueDropsSeen = std::max(queueDropsSeen, queueDrops);
            if (!buffer || !*buffer) {
                if (!isConnected()) {
                    VIREO_LOG_INFO("Tandem loss connection.");
                    break;
                }
                continue;
            }
            std::vector<uint8_t>& nv12 = **buffer;
            if (nv12.size() < frameBytes) {
                ++shortFramesDropped;
                ++framesLost;
                VIREO_LOG_WARN("Camera %s: frame of %zu bytes dropped (a frame holds %zu)", desc.serial.c_str(),
                               nv12.size(), frameBytes);
                continue;
            }
            ApsFrame frame;
            uint64_t sync = 0;
            {
                std::unique_lock<std::mutex> frameLock(apsFrameMutex);
                skipLostExposures(framesLost);
                framesLost = 0;
                bool stamped = true;
                sync = awaitSync(frameLock, stamped);
                // A frame still in hand when the camera stops, whose edge was not decoded,
                // would carry another exposure's times: it is dropped.
                if (!stamped && running.load() != 1) break;
                frame = apsFrame;
            }
            // The image buffer belongs to this thread; the times were copied above, so the
            // conversion and the callbacks never hold up the event thread's trigger edges.
            previewConverter->nv12ToRGB(nv12.data(), frame.data);
            if (frameRecording.load()) saveFrameData(nv12, sync);
            ++framesReceived;
            CallbackLock callbackLock(apsFrameCallbacks.mutex);
            for (auto& entry : apsFrameCallbacks.callbacks) {
                entry.second(frame);
                if (droppedOnThisThread()) break;  // the callback destroyed the camera
            }
            if (droppedOnThisThread()) break;
        }
    } catch (const std::exception& error) {
        if (droppedOnThisThread()) {
            VIREO_LOG_ERROR("A callback of a dropped camera threw: %s", error.what());
        } else {
            VIREO_LOG_ERROR("Camera %s: frame stream ended: %s", desc.serial.c_str(), error.what());
        }
    } catch (...) {
        if (!droppedOnThisThread()) {
            VIREO_LOG_ERROR("Camera %s: frame stream ended: a callback threw a non-standard exception",
                            desc.serial.c_str());
        }
    }
    if (droppedOnThisThread()) leaveDroppedCamera();
}

void TandemCamera::statisticLoop() {
    OwnThreadMark mark(this);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += std::chrono::milliseconds(1000);
        StatisticCallback callback;
        {
            std::unique_lock<std::mutex> lock(statisticMutex);
            if (statisticCond.wait_until(lock, next, [&] { return running.load() != 1; })) break;
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
        if (droppedOnThisThread()) {
            // The callback dropped the last reference: the camera is gone.
            leaveDroppedCamera();
            return;
        }
    }
}

DsStatisticInfo TandemCamera::getStatisticInfo() const {
    DsStatisticInfo info;
    if (decoder) {
        info.first = decoder->getFirstStatistic();
        info.second = decoder->getSecondStatistic();
    }
    info.droppedBuffers = dvsSensor ? dvsSensor->droppedBuffers() : 0;
    info.recordingLostBuffers = recordingLostBuffers.load();
    info.recordingLostBytes = recordingLostBytes.load();
    info.unreadBatches = unreadBatches();
    info.unreadBatchEvents = unreadBatchEvents();
    info.frames = framesReceived.load();
    info.droppedFrames = (apsSensor ? apsSensor->droppedBuffers() : 0) + shortFramesDropped.load();
    info.recordingLostFrames = recordingLostFrames.load();
    return info;
}

uint64_t TandemCamera::eventLossSinceRecordStart() const {
    const uint64_t now = (dvsSensor ? dvsSensor->droppedBuffers() : 0) + recordingLostBuffers.load();
    const uint64_t base = eventRecordLossBase.load();
    return now > base ? now - base : 0;
}

TandemCamera::RecordingLoss TandemCamera::getRecordingLoss() const {
    const uint64_t lost = eventRecording.load() ? eventLossSinceRecordStart() : lastEventRecordLost.load();
    return RecordingLoss{rawBytesDropped.load(), framesDropped.load(), lost};
}

}  // namespace vireo
