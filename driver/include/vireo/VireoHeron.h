// VireoHeron: the maker's own IMX636 event camera (USB 04B5:0001). It behaves exactly as
// DvsEventCamera; only its identity differs.
//
// The model enumerator vireo::VireoHeron (CAMERA_TYPE) shares this class's name and hides
// it: name the class as `class vireo::VireoHeron` or through the alias
// vireo::VireoHeronCamera.
#pragma once

#include <cstdint>
#include <string>

#include <vireo/DvsEventCamera.h>

namespace vireo {

class PIPIT_EXPORT VireoHeron : public DvsEventCamera {
public:
    static constexpr uint16_t vendorId = 1205;
    static constexpr uint16_t productId = 1;
    static constexpr INTERFACE_TYPE interfaceType = INTERFACE_USB;

    explicit VireoHeron(CameraDescription desc);
    virtual ~VireoHeron();

    // "Vireo" and "Heron", as new strings.
    static std::string getManufacturer();
    static std::string getProductName();
};

using VireoHeronCamera = class VireoHeron;

}  // namespace vireo
