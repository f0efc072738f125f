// DvsEventCamera: the concrete camera for the IMX636-based models. It fixes the geometry
// (1280 x 720) and the stream format, tells whether the transport is still there, and
// initialises the camera: transport, register controller, decoder, sensor and tools.
#pragma once

#include <vireo/DvsCameraPrivate.h>

namespace vireo {

class DvsCameraManager;

class PIPIT_EXPORT DvsEventCamera : public DvsCameraPrivate {
public:
    static constexpr unsigned short kWidth = 1280;
    static constexpr unsigned short kHeight = 720;
    static constexpr const char* kStreamFormat = "EVT3;height=720;width=1280";
    static constexpr const char* kRegisterPrefix = "PSEE/IMX636/";

    explicit DvsEventCamera(CameraDescription desc);

    // False before the camera is opened; afterwards the transport's connected state.
    bool isConnected() const override;
    // 1280 and 720, before init as well.
    unsigned short getWidth() override;
    unsigned short getHeight() override;

    // "EVT3;height=720;width=1280".
    RawEventStreamFormat getRawEventStreamFormat() override;

protected:
    // Opens the camera; 0 on success (and at once when already initialised), -1 when the
    // description is not a USB one (logged) or the transport cannot be created. Reached by
    // applications through DvsCameraManager::openCamera; protected (not private) so that
    // a model class may extend it.
    int init() override;

    // True when the chip answers with the IMX636 identity and its status bits 0 and 1 are
    // clear. Not used by init.
    bool checkSensor();
};

}  // namespace vireo
