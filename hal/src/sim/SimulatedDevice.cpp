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
#include "sim/SimulatedDevice.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "sim/ReplayReader.h"

namespace vireo::sim {
namespace {

constexpr uint64_t kSlice_us = 1000;
constexpr uint64_t kMaxPendingSpan_us = 5000;
constexpr uint64_t kMaxFastSpan_us = 50000;
constexpr uint64_t kMaxSlice_us = 10000;
constexpr uint64_t kMaxLag_us = 100000;

}  // namespace

SimulatedDevice::SimulatedDevice(SimulatedCameraConfig config, std::string serial,
                                 const std::vector<std::pair<uint32_t, uint32_t>>& resetValues)
    : config_(std::move(config)), serial_(std::move(serial)) {
    // The trigger input is enabled at reset; the driver's reset values, when installed, say so
    // too, but a device plugged in without them must not lose its trigger edges.
    registers_[reg::kTriggerInAddress] = reg::kTriggerInEnableBit;
    for (const auto& [address, value] : resetValues) registers_[address] = value;
    registers_[reg::kChipIdAddress] = reg::kChipId;
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
    desc.productName = "Simulated camera";
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
        uint32_t& reg = registers_[address];
        reg = (reg & ~mask) | (value & mask);
        updateTimeBaseLocked(wasRunning);
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
    const auto it = registers_.find(reg::kTimeBaseAddress);
    return it != registers_.end() && (it->second & reg::kTimeBaseEnableBit) != 0;
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
    if (period > 0) {
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
    if (pendingOffset_ == pending_.size()) {
        pending_.clear();
        pendingOffset_ = 0;
    } else if (pendingOffset_ > (1u << 20)) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingOffset_));
        pendingOffset_ = 0;
    }
}

EndpointSource::Status SimulatedDevice::readEvents(std::vector<uint8_t>& out, size_t transferSize,
                                                   std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> streamLock(streamMutex_);
    const auto deadline = Clock::now() + timeout;
    if (transferSize < 2) return EndpointSource::Status::Timeout;
    return replay_ ? readReplay(out, transferSize, deadline) : readScene(out, transferSize, deadline);
}

EndpointSource::Status SimulatedDevice::readScene(std::vector<uint8_t>& out, size_t transferSize,
                                                  Clock::time_point deadline) {
    for (;;) {
        uint64_t now_us = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (!connected_) return EndpointSource::Status::Disconnected;
            if (!readoutRunningLocked()) {
                if (streaming_) {
                    streaming_ = false;
                    pending_.clear();
                    pendingOffset_ = 0;
                }
                if (!stateChanged_.wait_until(lock, deadline, [&] {
                        return !connected_ || readoutRunningLocked();
                    })) {
                    return EndpointSource::Status::Timeout;
                }
                continue;
            }
            if (config_.real_time) now_us = sensorTimeLocked();
        }
        if (!streaming_) {
            streaming_ = true;
            // Bytes of the previous run may never have reached the host: start the stream
            // state afresh so the first words carry the time and the row again.
            encoder_.reset();
            if (config_.real_time) generatedUntil_us_ = std::max(generatedUntil_us_, now_us);
        }

        if (!config_.real_time) {
            const uint64_t start = generatedUntil_us_;
            while (pending_.size() - pendingOffset_ < transferSize &&
                   generatedUntil_us_ - start < kMaxFastSpan_us) {
                generateSlice(generatedUntil_us_, generatedUntil_us_ + kSlice_us);
                generatedUntil_us_ += kSlice_us;
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
            pending_.clear();
            pendingOffset_ = 0;
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

}  // namespace vireo::sim
