// The transport of an opened simulated camera, and the registry of plugged-in simulated
// cameras that discovery consults next to the USB bus.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <vireo/UsbInterface.h>

#include "sim/SimulatedDevice.h"

namespace vireo::sim {

class SimulatedInterface : public UsbInterface {
public:
    explicit SimulatedInterface(std::shared_ptr<SimulatedDevice> device);

    bool isConnected() const override;
    void setCameraSlot(uint64_t* slot) override;
    std::vector<uint32_t> readRegisters(uint32_t address, uint32_t count) override;
    bool writeRegister(uint32_t address, uint32_t value) override;
    bool writeRegisterMasked(uint32_t address, uint32_t value, uint32_t mask) override;
    bool skipsPauses() const override;
    std::unique_ptr<EndpointSource> openEndpoint(uint8_t endpoint, uint32_t transferSize) override;
    void transferFrame(CtrlFrame& frame) override;

private:
    std::shared_ptr<SimulatedDevice> device_;
};

// Throws std::invalid_argument for a configuration that cannot stream (plugCamera's check).
void validateConfig(const SimulatedCameraConfig& config);

// Descriptions of the plugged-in simulated cameras with these ids, by serial.
std::vector<CameraDescription> findSimulatedCameras(uint16_t vendorId, uint16_t productId);

// The plugged-in simulated camera with this serial, or null.
std::shared_ptr<SimulatedDevice> findSimulatedDevice(const std::string& serial);

}  // namespace vireo::sim
