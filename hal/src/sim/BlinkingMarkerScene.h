// The BlinkingGrid scene as a calibration target: blinking point lights at the centres of a
// circle-grid target, seen through the pinhole lens at the circle grid's poses, with the
// distractors of a real scene (random flicker, a sweeping bar, a light blinking at another
// rate, noise). What it shows is described at BlinkingMarkerTarget in <vireo/SimulatedCamera.h>.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <vireo/SimulatedCamera.h>

#include "sim/PinholeCamera.h"
#include "sim/Scene.h"
#include "sim/UniformNoise.h"

namespace vireo::sim {

// Checks what the marker target uses (the circle grid's target, lens and poses, and the
// BlinkingMarkerTarget fields); throws std::invalid_argument naming the field.
void validateBlinkingMarkers(const SimulatedCameraConfig& config);

class BlinkingMarkerScene : public Scene {
public:
    // Throws std::invalid_argument for a configuration validateBlinkingMarkers refuses.
    explicit BlinkingMarkerScene(const SimulatedCameraConfig& config);

    void generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) override;

private:
    // One pixel of a light spot: its events at each switch and how late it fires.
    struct SpotPixel {
        uint16_t x, y;
        uint8_t burst;     // events per switch
        uint8_t delay_us;  // after the switch
    };

    // The pose's marker pixels, and the mask of them over the sensor.
    void buildSpots(size_t pose);
    // Everything in [begin_us, end_us), a span within one pose, in sensor order.
    void generateWithinPose(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out);
    // The switches of lights at `half_us` half periods whose events fall in [begin_us, end_us).
    static void emitBlinks(const std::vector<SpotPixel>& pixels, double half_us, uint64_t begin_us, uint64_t end_us,
                           std::vector<Event2D>& out);
    void emitFlicker(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out);
    void emitEdge(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out);

    uint16_t width_, height_;
    PinholeLens lens_;
    uint64_t period_us_;
    uint64_t seed_;
    double half_us_;
    BlinkingMarkerTarget markers_;
    double edge_speed_;
    std::vector<Point3d> world_;
    std::vector<detail::Transform> views_;

    size_t spotsPose_ = static_cast<size_t>(-1);
    std::vector<SpotPixel> spots_;
    std::vector<uint8_t> mask_;  // per sensor pixel: 1 where a marker shines
    std::vector<SpotPixel> otherLight_;
    double otherHalf_us_ = 0;

    // Flicker: the square's pixels toggle as one Poisson process over the square.
    BlinkingMarkerDistractors where_;
    std::vector<uint8_t> flickerState_;
    uint64_t flickerRandom_ = 0;
    double flickerNext_us_ = 0;
    double flickerGap_us_ = 0;

    std::optional<UniformNoise> noise_;
    std::vector<Event2D> scratch_;
};

}  // namespace vireo::sim
