// The frame sensor of the simulated fusion camera: its register, its endpoint, the timing of
// its exposures and the NV12 images it delivers. The images are pure functions of the
// configuration and the frame index, so tests can compare what was delivered with what
// fusionFrameImage gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <vireo/SimulatedCamera.h>

namespace vireo::sim {

// aps_ctrl of the frame-sensor control table: bit 0 switches the frame sensor on.
inline constexpr uint32_t kFrameControlAddress = 0x5000;
inline constexpr uint32_t kFrameSensorEnableBit = 1u;
inline constexpr uint8_t kFrameEndpoint = 0x53;

inline bool isFusionConfig(const SimulatedCameraConfig& config) {
    return config.vendor_id == kFusionVendorId && config.product_id == kFusionProductId;
}

// Checks the frame-sensor fields of a fusion configuration; throws std::invalid_argument
// naming the field. Does nothing for other cameras.
void validateFusionConfig(const SimulatedCameraConfig& config);

// Bytes of one NV12 frame: a full-size luma plane and a half-size interleaved chroma plane.
inline size_t fusionFrameBytes(const SimulatedCameraConfig& config) {
    return size_t{config.frame_width} * config.frame_height * 3 / 2;
}

// Frame k is exposed over [round(k * 1e6 / frame_rate_hz), that + exposure_us).
FrameExposure frameExposureOf(const SimulatedCameraConfig& config, uint64_t frameIndex);

// Writes the NV12 image of frame `frameIndex` into `out` (resized to fusionFrameBytes).
void renderFusionFrame(const SimulatedCameraConfig& config, uint64_t frameIndex, std::vector<uint8_t>& out);

}  // namespace vireo::sim
