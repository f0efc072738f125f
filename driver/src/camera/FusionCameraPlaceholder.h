// Stand-in for the fusion camera until it is built: discovery keeps one object per serial
// so that descriptions can be listed, but the camera has no transport and cannot be opened.
// Private to the library.
#pragma once

#include <utility>

#include <vireo/CameraDescription.h>

namespace vireo {

class FusionCamera {
public:
    explicit FusionCamera(CameraDescription description) : desc(std::move(description)) {}

    CameraDescription getDesc() const { return desc; }
    // Never opened, so never connected: discovery replaces it on every pass.
    bool isConnected() const { return false; }

private:
    CameraDescription desc;
};

}  // namespace vireo
