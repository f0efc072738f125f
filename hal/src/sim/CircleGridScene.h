// The CircleGrid scene of the simulated camera: a planar grid of dark circles on a bright
// ground, seen through a pinhole camera with distortion at a looping sequence of poses, whose
// outlines fire in bursts as a small jitter of the target would make them (see the
// configuration fields in <vireo/SimulatedCamera.h> for the timing).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include <vireo/SimulatedCamera.h>

#include "sim/PinholeCamera.h"
#include "sim/Scene.h"
#include "sim/UniformNoise.h"

namespace vireo::sim {

// Checks the fields the CircleGrid scene uses; throws std::invalid_argument naming the field
// and the values expected.
void validateCircleGrid(const SimulatedCameraConfig& config);

class CircleGridScene : public Scene {
public:
    // Throws std::invalid_argument for a configuration validateCircleGrid rejects, or when
    // the poses cannot be drawn.
    explicit CircleGridScene(const SimulatedCameraConfig& config);

    void generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) override;

private:
    // A pixel on or next to a projected outline, with the time it fires after the start of
    // each half jitter period and its outward direction from the circle's centre.
    struct OutlinePixel {
        uint32_t offset_us;
        uint16_t x, y;
        float nx, ny;
    };

    void buildOutline(size_t pose);
    void emitOutline(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out);

    uint16_t width_, height_;
    PinholeLens lens_;
    uint64_t period_us_, burst_us_, half_jitter_us_;
    uint64_t seed_;
    double radius_;
    std::vector<Point3d> world_;            // circle centres on the target
    std::vector<detail::Transform> views_;  // target to this camera, per pose

    // The four shifted bands of one pose (see the .cpp), rebuilt when the pose changes, once
    // per pose and not per event.
    static constexpr uint64_t kShifts = 4;
    static constexpr double kShift_px[kShifts][2] = {{-0.25, -0.25}, {0.25, 0.25}, {0.25, -0.25}, {-0.25, 0.25}};
    std::array<std::vector<OutlinePixel>, kShifts> outlines_;
    size_t outlinePose_ = static_cast<size_t>(-1);
    std::vector<uint64_t> keys_;    // (shift, y, x, circle) of each band pixel found
    std::vector<uint8_t> marks_;    // per sensor pixel, a bit per shift: already found

    std::optional<UniformNoise> noise_;
    std::vector<Event2D> outlineEvents_, noiseEvents_;  // per slice, reused
};

}  // namespace vireo::sim
