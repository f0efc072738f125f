// PropheseeEVK4: the Prophesee evaluation kit 4, an IMX636 event camera (USB 04B4:00F5).
// It behaves exactly as DvsEventCamera; only its identity differs.
//
// The model enumerator vireo::PropheseeEVK4 (CAMERA_TYPE) shares this class's name and hides
// it: name the class as `class vireo::PropheseeEVK4` or through the alias
// vireo::PropheseeEVK4Camera.
#pragma once

#include <cstdint>
#include <string>

#include <vireo/DvsEventCamera.h>

namespace vireo {

class PIPIT_EXPORT PropheseeEVK4 : public DvsEventCamera {
public:
    static constexpr uint16_t vendorId = 1204;
    static constexpr uint16_t productId = 245;
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;

    explicit PropheseeEVK4(CameraDescription desc);
    virtual ~PropheseeEVK4();

    // "Prophesee" and "EVK4", as new strings.
    static std::string getManufacturer();
    static std::string getProductName();
};

using PropheseeEVK4Camera = class PropheseeEVK4;

}  // namespace vireo
