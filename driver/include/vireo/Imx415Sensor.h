// The IMX415 frame sensor of the fusion camera: NV12 frames on endpoint 0x53, one frame per
// transfer, switched on and off through its `aps_ctrl` register.
#pragma once

#include <vireo/Sensor.h>

namespace vireo {

class PIPIT_EXPORT Imx415Sensor : public Sensor {
public:
    static constexpr uint32_t kBufferCount = 2;
    static constexpr uint8_t kEndpoint = 0x53;

    // A sensor delivering frames of `width` x `height` pixels.
    Imx415Sensor(uint32_t width, uint32_t height) : width_(width), height_(height) {}

    int init(std::shared_ptr<Interface> interface) override;
    // Writes aps_ctrl = 1 through the write-register callback, then starts the stream.
    // Throws std::bad_function_call without that callback.
    int start() override;
    // Writes aps_ctrl = 0 when initialised. Throws std::bad_function_call without the
    // write-register callback.
    int stop() override;

    // Bytes of one NV12 frame: width x height x 1.5.
    uint32_t frameBytes() const { return width_ * height_ * 3 / 2; }
    uint32_t width() const { return width_; }
    uint32_t height() const { return height_; }

private:
    uint32_t width_;
    uint32_t height_;
};

}  // namespace vireo
