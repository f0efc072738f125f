// What discovery knows about one connected camera. The serial number comes first: it is the
// key under which the driver keeps its cameras, and the record is copied whole.
#pragma once

#include <cstdint>
#include <string>

namespace vireo {

// The transport a camera is reached through.
enum INTERFACE_TYPE : int32_t {
    INTERFACE_USB = 0,
};

struct CameraDescription {
    std::string serial;                            // serial number (USB string descriptor)
    INTERFACE_TYPE interfaceType = INTERFACE_USB;  // transport
    uint16_t vendorId = 0;                         // USB vendor id
    uint16_t productId = 0;                        // USB product id
    std::string manufacturer;                      // manufacturer string, when the device gave one
    std::string productName;                       // product string, when the device gave one
    bool simulated = false;                        // true for a simulated camera (vireo::sim)

    friend bool operator==(const CameraDescription&, const CameraDescription&) = default;
};

}  // namespace vireo
