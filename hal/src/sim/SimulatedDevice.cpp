// SimulatedDevice: the register file, the readout state it controls, and the stream.
//
// Stream production. The scene is generated in slices of sensor time and encoded into a
// pending byte queue, from which the host's reads take transfers:
//   - real time: the sensor time follows the clock while the time base runs; a slice is
//     generated once at least 1 ms of new time has passed, and a transfer is handed out
//     when the pending bytes fill one or cover 5 ms, like a USB transfer that completes
//     on a full buffer or a time-out. Slices are at most 10 ms long, and when generation
//     lags more than 100 ms behind the clock (a loaded machine), the scene skips ahead;
//   - as fast as the host reads: slices of 1 ms are generated back to back until a
//     transfer is full (or 50 ms of sensor time are covered, so quiet scenes still deliver).
// When the readout stops, undelivered bytes are dropped, as the sensor's FIFO is reset.
//
// Fusion camera. The frame sensor's exposures are decided in order as sensor time passes:
// while the event readout runs, by the event slices, which encode each exposure's opening
// and closing trigger edges among the events and release the frame to the frame endpoint
// once the transfer holding its closing edge has been handed out; without the event
// readout, by the frame endpoint's reads themselves (by the clock, or one frame per read).
// A frame counts as exposed when the frame sensor was on over its whole exposure, judged by
// the sensor times of its last switch on and off. The event words go out byte-swapped, as
// this camera's USB bridge sends them.
#include "sim/SimulatedDevice.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "sim/FusionFrames.h"
#include "sim/ReplayReader.h"

namespace vireo::sim {
namespace {

constexpr uint64_t kSlice_us = 1000;
constexpr uint64_t kMaxPendingSpan_us = 5000;
constexpr uint64_t kMaxFastSpan_us = 50000;
constexpr uint64_t kMaxSlice_us = 10000;
constexpr uint64_t kMaxLag_us = 100000;
// Real time: finished frames the device holds for the host; an older one is then lost.
constexpr size_t kRealTimeFrameSlots = 2;

void swapWordBytes(std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
}

}  // namespace

SimulatedDevice::SimulatedDevice(SimulatedCameraConfig config, std::string serial,
                                 const std::vector<std::pair<uint32_t, uint32_t>>& resetValues)
    : config_(std::move(config)), serial_(std::move(serial)), fusion_(isFusionConfig(config_)) {
    // The trigger input is enabled at reset; the driver's reset values, when installed, say so
    // too, but a device plugged in without them must not lose its trigger edges.
    registers_[reg::kTriggerInAddress] = reg::kTriggerInEnableBit;
    for (const auto& [address, value] : resetValues) registers_[address] = value;
    registers_[reg::kChipIdAddress] = reg::kChipId;
    if (fusion_) registers_[kFrameControlAddress] = 0;  // the frame sensor starts off
    if (config_.scene == SceneType::Replay) {
        replay_ = std::make_unique<ReplayReader>(config_.replay_path);
    } else {
        scene_ = makeScene(config_);
    }
}

SimulatedDevice::~SimulatedDevice() = default;

CameraDescription SimulatedDevice::description() const {
    CameraDescription desc;
    desc.serial = serial_;
    desc.interfaceType = INTERFACE_USB;
    desc.vendorId = config_.vendor_id;
    desc.productId = config_.product_id;
    desc.manufacturer = "Vireo";
    desc.productName = fusion_ ? "Simulated fusion camera" : "Simulated camera";
    desc.simulated = true;
    return desc;
}

bool SimulatedDevice::connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

void SimulatedDevice::unplug() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
    }
    stateChanged_.notify_all();
}

std::vector<uint32_t> SimulatedDevice::readRegisters(uint32_t address, uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) throw std::runtime_error("simulated camera " + serial_ + " is unplugged");
    std::vector<uint32_t> words;
    words.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        const auto it = registers_.find(address + 4 * i);
        words.push_back(it == registers_.end() ? 0u : it->second);
    }
    return words;
}

bool SimulatedDevice::writeRegister(uint32_t address, uint32_t value, uint32_t mask) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) return false;
        writes_.push_back({address, value, mask});
        if (address == reg::kChipIdAddress) return true;  // the chip identity is read-only
        if (reg::affectsStreamFilter(address)) filterVersion_.fetch_add(1, std::memory_order_release);
        const bool wasRunning = timeBaseRunningLocked();
        const bool frameWasOn = frameSensorOnLocked();
        uint32_t& reg = registers_[address];
        reg = (reg & ~mask) | (value & mask);
        updateTimeBaseLocked(wasRunning);
        const bool frameOn = frameSensorOnLocked();
        if (frameOn != frameWasOn) {
            const uint64_t t = config_.real_time ? sensorTimeLocked() : fastClock_us_;
            (frameOn ? frameOnSince_us_ : frameOffAt_us_) = t;
        }
    }
    stateChanged_.notify_all();
    return true;
}

std::vector<RegisterWrite> SimulatedDevice::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::optional<uint32_t> SimulatedDevice::registerValue(uint32_t address) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = registers_.find(address);
    return it == registers_.end() ? 0u : it->second;
}

bool SimulatedDevice::readoutRunning() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return readoutRunningLocked();
}

uint64_t SimulatedDevice::droppedBuffers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

void SimulatedDevice::bufferDropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++dropped_;
}

bool SimulatedDevice::readoutRunningLocked() const {
    const auto value = [&](uint32_t address) {
        const auto it = registers_.find(address);
        return it == registers_.end() ? 0u : it->second;
    };
    return connected_ && (value(reg::kOutputControlAddress) & reg::kOutputDisableBit) == 0 &&
           (value(reg::kRoiCtrlAddress) & reg::kReadoutEnableBit) != 0;
}

bool SimulatedDevice::timeBaseRunningLocked() const {
    // The clock is shared by both sensors of a fusion camera: the frame sensor keeps it
    // running while the event sensor's time base is off.
    const auto it = registers_.find(reg::kTimeBaseAddress);
    return (it != registers_.end() && (it->second & reg::kTimeBaseEnableBit) != 0) || frameSensorOnLocked();
}

void SimulatedDevice::updateTimeBaseLocked(bool wasRunning) {
    const bool running = timeBaseRunningLocked();
    if (running == wasRunning) return;
    const auto now = Clock::now();
    if (running) {
        timeBaseSince_ = now;
    } else {
        timeBaseAccumulated_us_ += static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(now - timeBaseSince_).count());
    }
}

uint64_t SimulatedDevice::sensorTimeLocked() const {
    uint64_t t = timeBaseAccumulated_us_;
    if (timeBaseRunningLocked()) {
        t += static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                       Clock::now() - timeBaseSince_).count());
    }
    return t;
}

void SimulatedDevice::refreshFilter() {
    const uint64_t version = filterVersion_.load(std::memory_order_acquire);
    if (version == appliedFilterVersion_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    appliedFilterVersion_ = filterVersion_.load(std::memory_order_relaxed);
    filter_.configure(
        [this](uint32_t address) {
            const auto it = registers_.find(address);
            return it == registers_.end() ? 0u : it->second;
        },
        config_.width, config_.height);
}

void SimulatedDevice::generateSlice(uint64_t begin_us, uint64_t end_us) {
    sliceEvents_.clear();
    scene_->generate(begin_us, end_us, sliceEvents_);
    // The filters act on events before they are encoded, so dropping never cuts a word.
    refreshFilter();
    if (!filter_.passesAllEvents()) filter_.apply(sliceEvents_, begin_us, end_us);
    if (pending_.size() == pendingOffset_) pendingSince_us_ = begin_us;

    // Trigger edges alternate rising and falling on channel 0, the k-th at k periods.
    const uint64_t period = config_.trigger_period_us;
    auto first = sliceEvents_.data();
    const auto last = sliceEvents_.data() + sliceEvents_.size();
    if (fusion_) {
        // The exposures' edges, between the events before and from their times. A closing
        // edge's frame is released once the bytes up to its word are handed out, whether the
        // trigger input lets the edge itself into the stream or not.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            scheduleExposuresLocked(begin_us, end_us, exposureEdges_);
        }
        bool closing = false;
        for (auto& edge : exposureEdges_) {
            const auto split = std::lower_bound(first, last, edge.time_us, [](const Event2D& e, uint64_t time) {
                return e.timestamp < time;
            });
            encoder_.encodeEvents(first, split, pending_);
            if (filter_.triggersEnabled()) {
                encoder_.encodeTrigger(EventTriggerIn(0, edge.polarity, edge.time_us), pending_);
            }
            first = split;
            if (edge.polarity == 1) {
                edge.offset = streamOffset_ + pending_.size();
                closing = true;
            }
        }
        if (closing) {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& edge : exposureEdges_) {
                if (edge.polarity == 1) awaiting_.push_back({edge.frame, edge.offset});
            }
        }
    } else if (period > 0) {
        for (uint64_t k = triggersEmitted_ + 1; k * period < end_us; ++k) {
            const uint64_t t = k * period;
            if (t < begin_us) {
                triggersEmitted_ = k;
                continue;
            }
            const auto split = std::lower_bound(first, last, t, [](const Event2D& e, uint64_t time) {
                return e.timestamp < time;
            });
            encoder_.encodeEvents(first, split, pending_);
            if (filter_.triggersEnabled()) {
                encoder_.encodeTrigger(EventTriggerIn(0, static_cast<int16_t>(k % 2), t), pending_);
            }
            first = split;
            triggersEmitted_ = k;
        }
    }
    encoder_.encodeEvents(first, last, pending_);
    encoder_.encodeTime(end_us - 1, pending_);
}

void SimulatedDevice::takePending(std::vector<uint8_t>& out, size_t transferSize) {
    const size_t available = pending_.size() - pendingOffset_;
    const size_t n = std::min(available, transferSize & ~size_t{1});
    out.assign(pending_.begin() + static_cast<std::ptrdiff_t>(pendingOffset_),
               pending_.begin() + static_cast<std::ptrdiff_t>(pendingOffset_ + n));
    pendingOffset_ += n;
    deliveredOffset_ = streamOffset_ + pendingOffset_;
    if (pendingOffset_ == pending_.size()) {
        streamOffset_ += pending_.size();
        pending_.clear();
        pendingOffset_ = 0;
    } else if (pendingOffset_ > (1u << 20)) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingOffset_));
        streamOffset_ += pendingOffset_;
        pendingOffset_ = 0;
    }
}

void SimulatedDevice::dropPendingLocked() {
    streamOffset_ += pending_.size();
    pending_.clear();
    pendingOffset_ = 0;
    // Their closing edges will never reach the host.
    droppedFrames_ += awaiting_.size();
    awaiting_.clear();
}

void SimulatedDevice::delivered(std::vector<uint8_t>& out) {
    {
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (capturing_) capturedEvents_.insert(capturedEvents_.end(), out.begin(), out.end());
    }
    if (!fusion_) return;
    bool released = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!awaiting_.empty() && awaiting_.front().releaseOffset <= deliveredOffset_) {
            frameReadyLocked(awaiting_.front().frame);
            awaiting_.pop_front();
            released = true;
        }
    }
    if (released) stateChanged_.notify_all();
    swapWordBytes(out);
}

EndpointSource::Status SimulatedDevice::readEvents(std::vector<uint8_t>& out, size_t transferSize,
                                                   std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> streamLock(streamMutex_);
    const auto deadline = Clock::now() + timeout;
    if (transferSize < 2) return EndpointSource::Status::Timeout;
    const auto status = replay_ ? readReplay(out, transferSize, deadline) : readScene(out, transferSize, deadline);
    if (status == EndpointSource::Status::Data) delivered(out);
    return status;
}

EndpointSource::Status SimulatedDevice::readScene(std::vector<uint8_t>& out, size_t transferSize,
                                                  Clock::time_point deadline) {
    for (;;) {
        uint64_t now_us = 0;
        uint64_t fastClock_us = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!connected_) return EndpointSource::Status::Disconnected;
            if (!readoutRunningLocked()) {
                if (streaming_) {
                    streaming_ = false;
                    dropPendingLocked();
                }
                if (!stateChanged_.wait_until(lock, deadline, [&] {
                        return !connected_ || readoutRunningLocked();
                    })) {
                    return EndpointSource::Status::Timeout;
                }
                continue;
            }
            if (config_.real_time) now_us = sensorTimeLocked();
            fastClock_us = fastClock_us_;
        }
        if (!streaming_) {
            streaming_ = true;
            // Bytes of the previous run may never have reached the host: start the stream
            // state afresh so the first words carry the time and the row again.
            encoder_.reset();
            // Frames streamed alone meanwhile moved the shared clock on.
            generatedUntil_us_ = std::max(generatedUntil_us_, config_.real_time ? now_us : fastClock_us);
        }

        if (!config_.real_time) {
            const uint64_t start = generatedUntil_us_;
            bool backlogged = false;
            while (pending_.size() - pendingOffset_ < transferSize &&
                   generatedUntil_us_ - start < kMaxFastSpan_us) {
                if (fusion_) {
                    // A device that waits for the host waits on both endpoints: the events
                    // do not run ahead of a finished frame nobody has taken.
                    std::lock_guard<std::mutex> lock(mutex_);
                    backlogged = framesBackloggedLocked();
                    if (backlogged) break;
                }
                generateSlice(generatedUntil_us_, generatedUntil_us_ + kSlice_us);
                generatedUntil_us_ += kSlice_us;
            }
            if (backlogged && pending_.size() == pendingOffset_) {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!stateChanged_.wait_until(lock, deadline, [&] {
                        return !connected_ || !readoutRunningLocked() || !framesBackloggedLocked();
                    })) {
                    return EndpointSource::Status::Timeout;
                }
                continue;
            }
            takePending(out, transferSize);
            return EndpointSource::Status::Data;
        }

        // A machine too slow to generate the scene in real time skips ahead rather than fall
        // further and further behind (each slice also stays short, so stopping is prompt).
        if (now_us > generatedUntil_us_ + kMaxLag_us) generatedUntil_us_ = now_us - kMaxLag_us;
        if (now_us >= generatedUntil_us_ + kSlice_us) {
            const uint64_t end = std::min(now_us, generatedUntil_us_ + kMaxSlice_us);
            generateSlice(generatedUntil_us_, end);
            generatedUntil_us_ = end;
        }
        const size_t available = pending_.size() - pendingOffset_;
        if (available >= transferSize ||
            (available > 0 && generatedUntil_us_ >= pendingSince_us_ + kMaxPendingSpan_us)) {
            takePending(out, transferSize);
            return EndpointSource::Status::Data;
        }
        const auto wake = std::min(deadline, Clock::now() + std::chrono::microseconds(kSlice_us));
        if (Clock::now() >= deadline) return EndpointSource::Status::Timeout;
        std::unique_lock<std::mutex> lock(mutex_);
        stateChanged_.wait_until(lock, wake, [&] { return !connected_ || !readoutRunningLocked(); });
    }
}

EndpointSource::Status SimulatedDevice::readReplay(std::vector<uint8_t>& out, size_t transferSize,
                                                   Clock::time_point deadline) {
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!connected_) return EndpointSource::Status::Disconnected;
        if (!readoutRunningLocked()) {
            streaming_ = false;
            dropPendingLocked();
            if (!stateChanged_.wait_until(lock, deadline, [&] { return !connected_ || readoutRunningLocked(); })) {
                return EndpointSource::Status::Timeout;
            }
            if (!connected_) return EndpointSource::Status::Disconnected;
        }
    }
    // The next chunk is read ahead and held in pending_ until the clock reaches its time.
    if (pending_.empty()) {
        pendingSince_us_ = replay_->next(pending_, transferSize);
        pendingOffset_ = 0;
    }
    if (!streaming_) {
        streaming_ = true;
        replayStart_ = Clock::now() - std::chrono::microseconds(replayElapsed_us_);
    }
    if (config_.real_time) {
        const auto due = replayStart_ + std::chrono::microseconds(pendingSince_us_);
        std::unique_lock<std::mutex> lock(mutex_);
        if (stateChanged_.wait_until(lock, std::min(due, deadline), [&] {
                return !connected_ || !readoutRunningLocked();
            })) {
            return connected_ ? EndpointSource::Status::Timeout : EndpointSource::Status::Disconnected;
        }
        if (Clock::now() < due) return EndpointSource::Status::Timeout;
    }
    replayElapsed_us_ = pendingSince_us_;
    out.swap(pending_);
    pending_.clear();
    pendingOffset_ = 0;
    return EndpointSource::Status::Data;
}

// ---- Frame sensor ----------------------------------------------------------------------

bool SimulatedDevice::frameSensorOnLocked() const {
    if (!fusion_) return false;
    const auto it = registers_.find(kFrameControlAddress);
    return it != registers_.end() && (it->second & kFrameSensorEnableBit) != 0;
}

bool SimulatedDevice::frameSensorOnThroughoutLocked(uint64_t begin_us, uint64_t end_us) const {
    if (frameSensorOnLocked()) return frameOnSince_us_ <= begin_us;
    // Off now: the last time it was on is [frameOnSince_us_, frameOffAt_us_).
    return frameOnSince_us_ <= begin_us && frameOffAt_us_ > end_us;
}

void SimulatedDevice::frameReadyLocked(const FrameExposure& frame) {
    ready_.push_back(frame);
    if (config_.real_time && ready_.size() > kRealTimeFrameSlots) {
        ready_.pop_front();
        ++droppedFrames_;
    }
}

bool SimulatedDevice::framesBackloggedLocked() const { return frameSensorOnLocked() && !ready_.empty(); }

void SimulatedDevice::scheduleExposuresLocked(uint64_t begin_us, uint64_t end_us, std::vector<ExposureEdge>& edges) {
    // Edges come out in time order: an exposure ends no later than the next one begins, and
    // at a shared time the closing edge goes first.
    edges.clear();
    while (!exposing_.empty() && exposing_.front().end_us < end_us) {
        const FrameExposure frame = exposing_.front();
        exposing_.pop_front();
        if (frame.end_us < begin_us) {
            ++droppedFrames_;  // the stream skipped the time of its closing edge
            continue;
        }
        if (frameSensorOnThroughoutLocked(frame.begin_us, frame.end_us)) edges.push_back({frame.end_us, 1, frame});
    }
    for (;;) {
        const FrameExposure frame = frameExposureOf(config_, nextFrame_);
        if (frame.begin_us >= end_us) break;
        ++nextFrame_;
        if (frame.begin_us < begin_us) continue;  // time the stream skipped
        if (!frameSensorOnThroughoutLocked(frame.begin_us, frame.begin_us)) continue;
        edges.push_back({frame.begin_us, 0, frame});
        if (frame.end_us >= end_us) {
            exposing_.push_back(frame);
        } else if (frameSensorOnThroughoutLocked(frame.begin_us, frame.end_us)) {
            edges.push_back({frame.end_us, 1, frame});
        }
    }
    fastClock_us_ = std::max(fastClock_us_, end_us);
}

void SimulatedDevice::advanceFramesByClockLocked(uint64_t now_us) {
    while (!exposing_.empty() && exposing_.front().end_us <= now_us) {
        const FrameExposure frame = exposing_.front();
        exposing_.pop_front();
        if (frameSensorOnThroughoutLocked(frame.begin_us, frame.end_us)) frameReadyLocked(frame);
    }
    for (;;) {
        const FrameExposure frame = frameExposureOf(config_, nextFrame_);
        if (frame.end_us > now_us) break;
        ++nextFrame_;
        if (frameSensorOnThroughoutLocked(frame.begin_us, frame.end_us)) frameReadyLocked(frame);
    }
}

void SimulatedDevice::advanceFramesFastLocked() {
    if (!frameSensorOnLocked() || !ready_.empty()) return;
    while (!exposing_.empty()) {
        const FrameExposure frame = exposing_.front();
        exposing_.pop_front();
        if (frameOnSince_us_ <= frame.begin_us) {
            fastClock_us_ = std::max(fastClock_us_, frame.end_us);
            frameReadyLocked(frame);
            return;
        }
    }
    const uint64_t from = std::max(fastClock_us_, frameOnSince_us_);
    for (;;) {
        const FrameExposure frame = frameExposureOf(config_, nextFrame_);
        ++nextFrame_;
        if (frame.begin_us < from) continue;
        fastClock_us_ = frame.end_us;
        frameReadyLocked(frame);
        return;
    }
}

EndpointSource::Status SimulatedDevice::readFrame(std::vector<uint8_t>& out, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    FrameExposure frame;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (!connected_) return EndpointSource::Status::Disconnected;
            const bool eventsRun = readoutRunningLocked();
            if (ready_.empty() && !eventsRun) {
                if (config_.real_time) {
                    advanceFramesByClockLocked(sensorTimeLocked());
                } else {
                    advanceFramesFastLocked();
                }
            }
            if (!ready_.empty()) break;
            const auto now = Clock::now();
            if (now >= deadline) return EndpointSource::Status::Timeout;
            auto wake = deadline;
            if (config_.real_time && !eventsRun && frameSensorOnLocked()) {
                // Sleep until the next exposure ends on the sensor clock.
                const uint64_t sensorNow = sensorTimeLocked();
                const uint64_t next = exposing_.empty() ? frameExposureOf(config_, nextFrame_).end_us
                                                        : exposing_.front().end_us;
                if (next > sensorNow) {
                    wake = std::min(wake, now + std::chrono::microseconds(next - sensorNow));
                }
            }
            stateChanged_.wait_until(lock, wake);
        }
        frame = ready_.front();
        ready_.pop_front();
    }
    stateChanged_.notify_all();  // an event read may wait for the frame to be taken
    renderFusionFrame(config_, frame.index, out);
    std::lock_guard<std::mutex> lock(captureMutex_);
    if (capturing_) capturedFrames_.push_back(frame);
    return EndpointSource::Status::Data;
}

uint64_t SimulatedDevice::droppedFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return droppedFrames_;
}

void SimulatedDevice::frameDropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++droppedFrames_;
}

void SimulatedDevice::controlFrame(uint32_t command, const std::vector<uint32_t>& words) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connected_) throw std::runtime_error("simulated camera " + serial_ + " is unplugged");
    controlFrames_.push_back({command, words});
}

std::vector<ControlFrameRecord> SimulatedDevice::controlFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controlFrames_;
}

void SimulatedDevice::capture(bool on) {
    std::lock_guard<std::mutex> lock(captureMutex_);
    if (on) {
        capturedEvents_.clear();
        capturedFrames_.clear();
    }
    capturing_ = on;
}

std::vector<uint8_t> SimulatedDevice::capturedEventBytes() const {
    std::lock_guard<std::mutex> lock(captureMutex_);
    return capturedEvents_;
}

std::vector<FrameExposure> SimulatedDevice::deliveredFrames() const {
    std::lock_guard<std::mutex> lock(captureMutex_);
    return capturedFrames_;
}

}  // namespace vireo::sim
