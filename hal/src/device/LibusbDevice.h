// Real cameras on the USB bus, through libusb-1.0: enumeration by vendor and product id and
// the transport of an opened device. Everything libusb stays inside this pair of files.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <vireo/CameraDescription.h>
#include <vireo/UsbInterface.h>

namespace vireo::usb {

// Connected devices with these ids. Empty, with the reason logged at debug level, when the
// bus cannot be used (no USB in this machine or container, no permission).
std::vector<CameraDescription> findDevices(uint16_t vendorId, uint16_t productId);

// Opens the device `desc` names by ids and serial; null when it cannot be opened.
std::shared_ptr<UsbInterface> openDevice(const CameraDescription& desc);

}  // namespace vireo::usb
