// Discovery and opening of cameras: simulated cameras first, then the USB bus.
#include <vireo/UsbInterface.h>

#include <vireo/Logger.h>

#include "device/LibusbDevice.h"
#include "sim/SimulatedInterface.h"

namespace vireo {
namespace {

std::vector<CameraDescription> findCameras(uint16_t vendorId, uint16_t productId) {
    std::vector<CameraDescription> found = sim::findSimulatedCameras(vendorId, productId);
    for (auto& desc : usb::findDevices(vendorId, productId)) {
        bool duplicate = false;
        for (const auto& known : found) duplicate = duplicate || known.serial == desc.serial;
        if (duplicate) {
            VIREO_LOG_DEBUG("USB camera %s shadowed by a simulated camera of the same serial",
                            desc.serial.c_str());
        } else {
            found.push_back(std::move(desc));
        }
    }
    return found;
}

std::shared_ptr<UsbInterface> openCamera(const CameraDescription& desc) {
    if (auto device = sim::findSimulatedDevice(desc.serial)) {
        if (!device->connected()) return nullptr;
        return std::make_shared<sim::SimulatedInterface>(std::move(device));
    }
    if (desc.simulated) return nullptr;  // unplugged since discovery
    return usb::openDevice(desc);
}

}  // namespace

Interface::~Interface() = default;

bool Interface::writeRegisterMasked(uint32_t address, uint32_t value, uint32_t mask) {
    uint32_t current = 0;
    try {
        current = readRegisters(address, 1).at(0);
    } catch (const std::exception& error) {
        VIREO_LOG_DEBUG("Masked write at 0x%08X failed: %s", address, error.what());
        return false;
    }
    return writeRegister(address, (current & ~mask) | (value & mask));
}

bool Interface::skipsPauses() const { return false; }

std::vector<CameraDescription> UsbInterface::findUsbDvsCamera(uint16_t vendorId, uint16_t productId) {
    return findCameras(vendorId, productId);
}

std::vector<CameraDescription> UsbInterface::findUsbFusionCamera(uint16_t vendorId, uint16_t productId) {
    return findCameras(vendorId, productId);
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbInterface(CameraDescription desc) {
    return openCamera(desc);
}

std::shared_ptr<UsbInterface> UsbInterface::createUsbFusionInterface(CameraDescription desc) {
    return openCamera(desc);
}

}  // namespace vireo
