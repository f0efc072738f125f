// Discovery of cameras by USB vendor and product id, and creation of their transports.
// Simulated cameras (vireo::sim) are found alongside real devices; where USB cannot be used
// (no bus, no permission, a container) only the simulated ones are returned and the reason
// is logged at debug level.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <vireo/CameraDescription.h>
#include <vireo/CtrlFrame.h>
#include <vireo/Interface.h>
#include <vireo/hal_export.h>

namespace vireo {

class HAL_EXPORT UsbInterface : public Interface {
public:
    // Connected event cameras with these ids, simulated ones first, each with its serial.
    static std::vector<CameraDescription> findUsbDvsCamera(uint16_t vendorId, uint16_t productId);

    // Connected fusion cameras (event sensor plus frame sensor) with these ids.
    static std::vector<CameraDescription> findUsbFusionCamera(uint16_t vendorId, uint16_t productId);

    // Opens the event camera `desc` names (by serial). Empty pointer when it cannot be
    // opened (gone, busy, no permission; logged at debug level).
    static std::shared_ptr<UsbInterface> createUsbInterface(CameraDescription desc);

    // Opens the fusion camera `desc` names. Empty pointer on failure, as above.
    static std::shared_ptr<UsbInterface> createUsbFusionInterface(CameraDescription desc);

    // Sends `frame` and replaces its words with the device's answer. Throws
    // std::runtime_error when the device is gone or refuses the command.
    virtual void transferFrame(CtrlFrame& frame) = 0;
};

}  // namespace vireo
