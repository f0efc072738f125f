// One simulated camera: its register file, the sensor readout state that the registers
// control, and the production of its event stream (EVT3 words from a scene, or the bytes of
// a recording) for the host's reads. Scene events pass through the sensor's filters
// (region of interest, event-rate limit, trigger input enable) as the registers set them; a
// replayed recording streams unchanged. A fusion camera also has a frame sensor, whose
// exposures are scheduled here with the event stream's trigger edges that frame them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <vireo/CameraDescription.h>
#include <vireo/EndpointSource.h>
#include <vireo/Evt3Encoder.h>
#include <vireo/SimulatedCamera.h>

#include "sim/Scene.h"
#include "sim/StreamFilter.h"

namespace vireo::sim {

class ReplayReader;

class SimulatedDevice {
public:
    SimulatedDevice(SimulatedCameraConfig config, std::string serial,
                    const std::vector<std::pair<uint32_t, uint32_t>>& resetValues);
    ~SimulatedDevice();

    const SimulatedCameraConfig& config() const { return config_; }
    CameraDescription description() const;

    bool connected() const;
    void unplug();

    // Register file. Reads of an unplugged device throw std::runtime_error.
    std::vector<uint32_t> readRegisters(uint32_t address, uint32_t count);
    bool writeRegister(uint32_t address, uint32_t value, uint32_t mask);
    std::vector<RegisterWrite> writes() const;
    std::optional<uint32_t> registerValue(uint32_t address) const;
    bool readoutRunning() const;

    uint64_t droppedBuffers() const;
    void bufferDropped();

    // The event endpoint: the next transfer of at most `transferSize` bytes.
    EndpointSource::Status readEvents(std::vector<uint8_t>& out, size_t transferSize,
                                      std::chrono::milliseconds timeout);

    // Fusion camera only: whether this device has the frame sensor, and its endpoint, which
    // hands out one NV12 frame per read.
    bool fusion() const { return fusion_; }
    EndpointSource::Status readFrame(std::vector<uint8_t>& out, std::chrono::milliseconds timeout);
    uint64_t droppedFrames() const;
    void frameDropped();

    // Control frames, recorded and answered unchanged. Throws std::runtime_error when unplugged.
    void controlFrame(uint32_t command, const std::vector<uint32_t>& words);
    std::vector<ControlFrameRecord> controlFrames() const;

    // Capture of the delivered bytes and frames (see captureDelivered).
    void capture(bool on);
    std::vector<uint8_t> capturedEventBytes() const;
    std::vector<FrameExposure> deliveredFrames() const;

private:
    using Clock = std::chrono::steady_clock;

    bool readoutRunningLocked() const;
    bool timeBaseRunningLocked() const;
    void updateTimeBaseLocked(bool wasRunning);
    uint64_t sensorTimeLocked() const;  // real-time mode: microseconds of running time base

    void generateSlice(uint64_t begin_us, uint64_t end_us);
    void refreshFilter();
    EndpointSource::Status readScene(std::vector<uint8_t>& out, size_t transferSize,
                                     Clock::time_point deadline);
    EndpointSource::Status readReplay(std::vector<uint8_t>& out, size_t transferSize,
                                      Clock::time_point deadline);
    void takePending(std::vector<uint8_t>& out, size_t transferSize);
    void dropPendingLocked();  // with mutex_ held
    void delivered(std::vector<uint8_t>& out);

    // Frame sensor, all under mutex_.
    bool frameSensorOnLocked() const;
    bool frameSensorOnThroughoutLocked(uint64_t begin_us, uint64_t end_us) const;
    void frameReadyLocked(const FrameExposure& frame);
    // Frames-only operation (no event readout): frames follow the sensor clock, or come
    // one per read as fast as the host reads.
    void advanceFramesByClockLocked(uint64_t now_us);
    void advanceFramesFastLocked();
    // Decides the exposures of the event slice [begin_us, end_us) and returns the trigger
    // edges that frame them, in stream order.
    struct ExposureEdge {
        uint64_t time_us;
        int16_t polarity;  // 0 opens the exposure, 1 closes it
        FrameExposure frame;
        uint64_t offset = 0;  // closing edge: stream bytes up to and including its word
    };
    void scheduleExposuresLocked(uint64_t begin_us, uint64_t end_us, std::vector<ExposureEdge>& edges);
    bool framesBackloggedLocked() const;

    const SimulatedCameraConfig config_;
    const std::string serial_;
    const bool fusion_;

    // Register file and readout state, guarded by mutex_.
    mutable std::mutex mutex_;
    std::condition_variable stateChanged_;
    std::map<uint32_t, uint32_t> registers_;
    std::vector<RegisterWrite> writes_;
    bool connected_ = true;
    uint64_t timeBaseAccumulated_us_ = 0;  // running time before timeBaseSince_
    Clock::time_point timeBaseSince_;
    uint64_t dropped_ = 0;
    std::vector<ControlFrameRecord> controlFrames_;

    // Frame sensor (fusion camera), guarded by mutex_. Exposures are decided in order:
    // frames before nextFrame_ are decided; exposing_ holds those whose opening edge is out
    // and whose end is still ahead, awaiting_ those whose closing edge is encoded but not yet
    // handed out (with the stream offset just after it), ready_ those the frame endpoint
    // may hand out.
    struct AwaitingFrame {
        FrameExposure frame;
        uint64_t releaseOffset;
    };
    uint64_t frameOnSince_us_ = UINT64_MAX;  // sensor time of the last switch on
    uint64_t frameOffAt_us_ = 0;             // sensor time of the last switch off
    uint64_t fastClock_us_ = 0;              // as fast as read: the sensor time reached
    uint64_t nextFrame_ = 0;
    std::deque<FrameExposure> exposing_;
    std::deque<AwaitingFrame> awaiting_;
    std::deque<FrameExposure> ready_;
    uint64_t droppedFrames_ = 0;

    // Capture of what was handed out, guarded by captureMutex_.
    mutable std::mutex captureMutex_;
    bool capturing_ = false;
    std::vector<uint8_t> capturedEvents_;
    std::vector<FrameExposure> capturedFrames_;

    // Stream production, used by the one reading thread under streamMutex_.
    std::mutex streamMutex_;
    std::unique_ptr<Scene> scene_;
    std::unique_ptr<ReplayReader> replay_;
    Evt3Encoder encoder_;
    std::vector<Event2D> sliceEvents_;
    std::vector<uint8_t> pending_;
    size_t pendingOffset_ = 0;
    uint64_t pendingSince_us_ = 0;  // sensor time of the oldest undelivered slice
    uint64_t streamOffset_ = 0;     // stream bytes before pending_[0]
    uint64_t deliveredOffset_ = 0;  // stream bytes handed out
    std::vector<ExposureEdge> exposureEdges_;
    uint64_t generatedUntil_us_ = 0;
    uint64_t triggersEmitted_ = 0;
    bool streaming_ = false;  // the readout was running at the previous read
    StreamFilter filter_;              // the sensor's filters as of filterVersion_
    uint64_t appliedFilterVersion_ = 0;
    // Bumped (under mutex_) by every write that may change the filters.
    std::atomic<uint64_t> filterVersion_{1};
    Clock::time_point replayStart_;  // clock time of replay time 0
    uint64_t replayElapsed_us_ = 0;   // replay time delivered so far
};

}  // namespace vireo::sim
