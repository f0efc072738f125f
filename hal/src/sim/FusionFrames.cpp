// Frame-sensor timing and images of the simulated fusion camera. An image is built row by
// row with memset and memcpy only (a 3840 x 2160 frame is 12 MB, produced several times a
// second): the moving edge is vertical, so every scene row of a frame is the same.
#include "sim/FusionFrames.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "sim/Scene.h"
#include "sim/SimulatedInterface.h"

namespace vireo::sim {
namespace {

constexpr uint8_t kGrey = 128;
constexpr uint8_t kBright = 200;
constexpr uint8_t kDark = 56;
constexpr uint8_t kBitSet = 235;
constexpr uint8_t kBitClear = 16;
constexpr uint8_t kNeutralChroma = 128;
constexpr int kIndexBits = 32;
constexpr uint32_t kMaxFrameSide = 8192;
constexpr double kMaxFrameRate_hz = 100000.0;

}  // namespace

void validateFusionConfig(const SimulatedCameraConfig& config) {
    if (!isFusionConfig(config)) return;
    const auto fail = [](const std::string& what) {
        throw std::invalid_argument("SimulatedCameraConfig: " + what);
    };
    if (config.scene == SceneType::Replay) {
        fail("a fusion camera cannot replay a recording (its stream would lack the exposure edges)");
    }
    if (config.trigger_period_us != 0) {
        fail("trigger_period_us must be 0 on a fusion camera (its trigger edges frame the exposures), got " +
             std::to_string(config.trigger_period_us));
    }
    const auto side = [&](const char* name, uint32_t value) {
        if (value < 2 || value > kMaxFrameSide || value % 2 != 0) {
            fail(std::string(name) + " must be even and within 2..8192, got " + std::to_string(value));
        }
    };
    side("frame_width", config.frame_width);
    side("frame_height", config.frame_height);
    if (!(config.frame_rate_hz > 0) || !(config.frame_rate_hz <= kMaxFrameRate_hz)) {
        fail("frame_rate_hz must be larger than 0 and at most 100000, got " + std::to_string(config.frame_rate_hz));
    }
    const double period_us = 1e6 / config.frame_rate_hz;
    if (config.exposure_us < 1 || !(static_cast<double>(config.exposure_us) < period_us)) {
        fail("exposure_us must be at least 1 and shorter than the frame period of " + std::to_string(period_us) +
             " us, got " + std::to_string(config.exposure_us));
    }
}

FrameExposure frameExposureOf(const SimulatedCameraConfig& config, uint64_t frameIndex) {
    FrameExposure span;
    span.index = frameIndex;
    span.begin_us = static_cast<uint64_t>(std::llround(static_cast<double>(frameIndex) * 1e6 / config.frame_rate_hz));
    span.end_us = span.begin_us + config.exposure_us;
    return span;
}

void renderFusionFrame(const SimulatedCameraConfig& config, uint64_t frameIndex, std::vector<uint8_t>& out) {
    const size_t fw = config.frame_width;
    const size_t fh = config.frame_height;
    out.resize(fusionFrameBytes(config));
    uint8_t* luma = out.data();

    // One scene row: frame column X shows event column ew - 1 - floor(X * ew / fw). The edge
    // lit the event columns [0, c], so frame column X is bright exactly when
    // floor(X * ew / fw) >= ew - 1 - c, that is X >= ceil((ew - 1 - c) * fw / ew).
    std::vector<uint8_t> row(fw, kGrey);
    if (config.scene == SceneType::MovingEdge) {
        const FrameExposure span = frameExposureOf(config, frameIndex);
        const uint64_t middle = span.begin_us + config.exposure_us / 2;
        const size_t ew = config.width;
        const size_t lit = movingEdgeColumn(config, middle);
        const size_t boundary = ((ew - 1 - lit) * fw + ew - 1) / ew;
        std::memset(row.data(), kDark, boundary);
        std::memset(row.data() + boundary, kBright, fw - boundary);
    }
    for (size_t y = 0; y < fh; ++y) std::memcpy(luma + y * fw, row.data(), fw);

    // The frame index, bit 0 leftmost, over the top rows.
    const size_t cell = std::max<size_t>(1, fw / kIndexBits);
    const size_t stripRows = std::max<size_t>(1, std::min(fh / 8, fw / 64));
    for (int bit = 0; bit < kIndexBits && static_cast<size_t>(bit) * cell < fw; ++bit) {
        const uint8_t value = ((frameIndex >> bit) & 1u) != 0 ? kBitSet : kBitClear;
        const size_t width = std::min(cell, fw - static_cast<size_t>(bit) * cell);
        std::memset(row.data() + static_cast<size_t>(bit) * cell, value, width);
    }
    for (size_t y = 0; y < stripRows; ++y) {
        std::memcpy(luma + y * fw, row.data(), std::min(fw, static_cast<size_t>(kIndexBits) * cell));
    }

    std::memset(luma + fw * fh, kNeutralChroma, fw * fh / 2);
}

FrameExposure fusionFrameExposure(const SimulatedCameraConfig& config, uint64_t frameIndex) {
    validateConfig(config);
    if (!isFusionConfig(config)) {
        throw std::invalid_argument("SimulatedCameraConfig: not a fusion camera (vendor_id 8711, product_id 6)");
    }
    return frameExposureOf(config, frameIndex);
}

std::vector<uint8_t> fusionFrameImage(const SimulatedCameraConfig& config, uint64_t frameIndex) {
    fusionFrameExposure(config, frameIndex);
    std::vector<uint8_t> image;
    renderFusionFrame(config, frameIndex, image);
    return image;
}

}  // namespace vireo::sim
