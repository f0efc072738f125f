// One simulated camera: its register file, the sensor readout state that the registers
// control, and the production of its event stream (EVT3 words from a scene, or the bytes of
// a recording) for the host's reads. Scene events pass through the sensor's filters
// (region of interest, event-rate limit, trigger input enable) as the registers set them; a
// replayed recording streams unchanged.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
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

    const SimulatedCameraConfig config_;
    const std::string serial_;

    // Register file and readout state, guarded by mutex_.
    mutable std::mutex mutex_;
    std::condition_variable stateChanged_;
    std::map<uint32_t, uint32_t> registers_;
    std::vector<RegisterWrite> writes_;
    bool connected_ = true;
    uint64_t timeBaseAccumulated_us_ = 0;  // running time before timeBaseSince_
    Clock::time_point timeBaseSince_;
    uint64_t dropped_ = 0;

    // Stream production, used by the one reading thread under streamMutex_.
    std::mutex streamMutex_;
    std::unique_ptr<Scene> scene_;
    std::unique_ptr<ReplayReader> replay_;
    Evt3Encoder encoder_;
    std::vector<Event2D> sliceEvents_;
    std::vector<uint8_t> pending_;
    size_t pendingOffset_ = 0;
    uint64_t pendingSince_us_ = 0;  // sensor time of the oldest undelivered slice
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
