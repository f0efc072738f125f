// SimulatedInterface and the registry behind vireo::sim's plug/unplug calls.
#include "sim/SimulatedInterface.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

#include <vireo/Logger.h>

#include "sim/CircleGridScene.h"
#include "sim/FusionFrames.h"

namespace vireo::sim {
namespace {

constexpr uint8_t kEventEndpoint = 0x52;

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<SimulatedDevice>> devices;
    std::vector<std::pair<uint32_t, uint32_t>> resetValues;
    std::atomic<uint64_t> nextHandle{1};
    uint64_t nextSerial = 1;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

class SimulatedEventSource : public EndpointSource {
public:
    SimulatedEventSource(std::shared_ptr<SimulatedDevice> device, uint32_t transferSize)
        : device_(std::move(device)), transferSize_(transferSize) {}

    Status read(std::vector<uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        return device_->readEvents(buffer, transferSize_, timeout);
    }
    bool realTime() const override { return device_->config().real_time; }
    void bufferDropped() override { device_->bufferDropped(); }

private:
    std::shared_ptr<SimulatedDevice> device_;
    uint32_t transferSize_;
};

// The fusion camera's frame endpoint: one NV12 frame per transfer.
class SimulatedFrameSource : public EndpointSource {
public:
    explicit SimulatedFrameSource(std::shared_ptr<SimulatedDevice> device) : device_(std::move(device)) {}

    Status read(std::vector<uint8_t>& buffer, std::chrono::milliseconds timeout) override {
        return device_->readFrame(buffer, timeout);
    }
    bool realTime() const override { return device_->config().real_time; }
    void bufferDropped() override { device_->frameDropped(); }

private:
    std::shared_ptr<SimulatedDevice> device_;
};

}  // namespace

void validateConfig(const SimulatedCameraConfig& config) {
    const auto fail = [](const std::string& what) {
        throw std::invalid_argument("SimulatedCameraConfig: " + what);
    };
    if (config.width == 0 || config.height == 0 || config.width > 2048 || config.height > 2048) {
        fail("width and height must be within 1..2048");
    }
    switch (config.scene) {
        case SceneType::Random:
            if (!(config.event_rate > 0) || !std::isfinite(config.event_rate)) {
                fail("event_rate must be larger than 0");
            }
            break;
        case SceneType::MovingEdge:
            if (!(config.edge_speed > 0) || !std::isfinite(config.edge_speed)) {
                fail("edge_speed must be larger than 0");
            }
            break;
        case SceneType::BlinkingGrid:
            if (!(config.blink_frequency_hz > 0) || config.blink_frequency_hz > 250000) {
                fail("blink_frequency_hz must be within (0, 250000]");
            }
            if (config.grid_cols < 1 || config.grid_rows < 1 ||
                config.grid_cols * 4 > config.width || config.grid_rows * 4 > config.height) {
                fail("grid_cols and grid_rows must be at least 1 and fit the sensor");
            }
            break;
        case SceneType::Replay:
            if (config.replay_path.empty()) fail("replay_path must name a RAW file");
            break;
        case SceneType::CircleGrid: validateCircleGrid(config); break;
    }
    validateFusionConfig(config);
}

SimulatedInterface::SimulatedInterface(std::shared_ptr<SimulatedDevice> device)
    : device_(std::move(device)) {}

bool SimulatedInterface::isConnected() const { return device_->connected(); }

void SimulatedInterface::setCameraSlot(uint64_t* slot) {
    if (slot != nullptr) *slot = registry().nextHandle.fetch_add(1);
}

std::vector<uint32_t> SimulatedInterface::readRegisters(uint32_t address, uint32_t count) {
    return device_->readRegisters(address, count);
}

bool SimulatedInterface::writeRegister(uint32_t address, uint32_t value) {
    return device_->writeRegister(address, value, 0xFFFFFFFFu);
}

bool SimulatedInterface::writeRegisterMasked(uint32_t address, uint32_t value, uint32_t mask) {
    return device_->writeRegister(address, value, mask);
}

bool SimulatedInterface::skipsPauses() const { return device_->config().skip_pauses; }

std::unique_ptr<EndpointSource> SimulatedInterface::openEndpoint(uint8_t endpoint,
                                                                 uint32_t transferSize) {
    if (!device_->connected()) return nullptr;
    if (endpoint == kEventEndpoint) return std::make_unique<SimulatedEventSource>(device_, transferSize);
    if (endpoint != kFrameEndpoint || !device_->fusion()) return nullptr;
    const auto& config = device_->config();
    if (transferSize < fusionFrameBytes(config)) {
        VIREO_LOG_ERROR("Simulated fusion camera: frame endpoint 0x53 needs transfers of at least %zu bytes "
                        "(one %ux%u NV12 frame), %u asked",
                        fusionFrameBytes(config), static_cast<unsigned>(config.frame_width),
                        static_cast<unsigned>(config.frame_height), static_cast<unsigned>(transferSize));
        return nullptr;
    }
    return std::make_unique<SimulatedFrameSource>(device_);
}

void SimulatedInterface::transferFrame(CtrlFrame& frame) {
    // Recorded, and acknowledged with the words unchanged. Throws once unplugged.
    device_->controlFrame(frame.command(), frame.words());
}

std::vector<CameraDescription> findSimulatedCameras(uint16_t vendorId, uint16_t productId) {
    std::vector<CameraDescription> found;
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (const auto& [serial, device] : registry().devices) {
        if (device->config().vendor_id == vendorId && device->config().product_id == productId) {
            found.push_back(device->description());
        }
    }
    return found;
}

std::shared_ptr<SimulatedDevice> findSimulatedDevice(const std::string& serial) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    const auto it = registry().devices.find(serial);
    return it == registry().devices.end() ? nullptr : it->second;
}

std::string plugCamera(const SimulatedCameraConfig& config) {
    validateConfig(config);
    Registry& reg = registry();
    std::unique_lock<std::mutex> lock(reg.mutex);
    std::string serial = config.serial;
    if (serial.empty()) {
        do {
            char text[16];
            std::snprintf(text, sizeof(text), "SIM%05llu", static_cast<unsigned long long>(reg.nextSerial++));
            serial = text;
        } while (reg.devices.count(serial));
    } else if (reg.devices.count(serial)) {
        throw std::invalid_argument("SimulatedCameraConfig: serial '" + serial + "' is already plugged in");
    }
    const auto resetValues = reg.resetValues;
    lock.unlock();
    // Built outside the lock: a Replay device reads its file here.
    auto device = std::make_shared<SimulatedDevice>(config, serial, resetValues);
    lock.lock();
    if (!reg.devices.emplace(serial, device).second) {
        throw std::invalid_argument("SimulatedCameraConfig: serial '" + serial + "' is already plugged in");
    }
    return serial;
}

bool unplugCamera(const std::string& serial) {
    std::shared_ptr<SimulatedDevice> device;
    {
        std::lock_guard<std::mutex> lock(registry().mutex);
        const auto it = registry().devices.find(serial);
        if (it == registry().devices.end()) return false;
        device = it->second;
        registry().devices.erase(it);
    }
    device->unplug();
    return true;
}

std::vector<std::string> pluggedCameras() {
    std::vector<std::string> serials;
    std::lock_guard<std::mutex> lock(registry().mutex);
    for (const auto& entry : registry().devices) serials.push_back(entry.first);
    return serials;
}

std::vector<RegisterWrite> registerWrites(const std::string& serial) {
    const auto device = findSimulatedDevice(serial);
    return device ? device->writes() : std::vector<RegisterWrite>{};
}

std::optional<uint32_t> registerValue(const std::string& serial, uint32_t address) {
    const auto device = findSimulatedDevice(serial);
    if (!device) return std::nullopt;
    return device->registerValue(address);
}

std::optional<bool> readoutRunning(const std::string& serial) {
    const auto device = findSimulatedDevice(serial);
    if (!device) return std::nullopt;
    return device->readoutRunning();
}

std::optional<uint64_t> droppedBuffers(const std::string& serial) {
    const auto device = findSimulatedDevice(serial);
    if (!device) return std::nullopt;
    return device->droppedBuffers();
}

void setRegisterResetValues(std::vector<std::pair<uint32_t, uint32_t>> values) {
    std::lock_guard<std::mutex> lock(registry().mutex);
    registry().resetValues = std::move(values);
}

bool captureDelivered(const std::string& serial, bool on) {
    const auto device = findSimulatedDevice(serial);
    if (!device) return false;
    device->capture(on);
    return true;
}

std::vector<uint8_t> capturedEventBytes(const std::string& serial) {
    const auto device = findSimulatedDevice(serial);
    return device ? device->capturedEventBytes() : std::vector<uint8_t>{};
}

std::vector<FrameExposure> deliveredFrames(const std::string& serial) {
    const auto device = findSimulatedDevice(serial);
    return device ? device->deliveredFrames() : std::vector<FrameExposure>{};
}

std::optional<uint64_t> droppedFrames(const std::string& serial) {
    const auto device = findSimulatedDevice(serial);
    if (!device) return std::nullopt;
    return device->droppedFrames();
}

std::vector<ControlFrameRecord> controlFrames(const std::string& serial) {
    const auto device = findSimulatedDevice(serial);
    return device ? device->controlFrames() : std::vector<ControlFrameRecord>{};
}

}  // namespace vireo::sim
