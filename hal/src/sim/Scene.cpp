// Event scenes of the simulated camera: random activity, a moving edge and a grid of
// blinking markers; the circle grid and the blinking markers as a calibration target have
// their own files (sim/CircleGridScene.cpp, sim/BlinkingMarkerScene.cpp).
#include "sim/Scene.h"

#include <algorithm>
#include <cmath>

#include "sim/BlinkingMarkerScene.h"
#include "sim/CircleGridScene.h"
#include "sim/UniformNoise.h"

namespace vireo::sim {
namespace {

// Calls `tick(k, t)` for every tick k of a periodic scene whose time t = round(k * period_us)
// lies in [begin_us, end_us), in order.
template <typename Tick>
void forEachTick(double period_us, uint64_t begin_us, uint64_t end_us, Tick tick) {
    auto k = static_cast<uint64_t>(std::ceil(static_cast<double>(begin_us) / period_us));
    for (;; ++k) {
        const auto t = static_cast<uint64_t>(std::llround(static_cast<double>(k) * period_us));
        if (t < begin_us) continue;
        if (t >= end_us) break;
        tick(k, t);
    }
}

// Pixels firing independently, uniformly over the sensor, at the configured rate.
class RandomScene : public Scene {
public:
    explicit RandomScene(const SimulatedCameraConfig& config)
        : noise_(config.width, config.height, config.event_rate, config.seed) {}

    void generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) override {
        noise_.generate(begin_us, end_us, out);
    }

private:
    UniformNoise noise_;
};

// A vertical bright edge sweeping left to right and wrapping: every pixel of the column the
// edge enters fires a positive event at the moment it enters.
class MovingEdgeScene : public Scene {
public:
    explicit MovingEdgeScene(const SimulatedCameraConfig& config)
        : width_(config.width), height_(config.height), speed_(config.edge_speed) {}

    void generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) override {
        // Column crossing k happens at k / speed seconds.
        forEachTick(1e6 / speed_, begin_us, end_us, [&](uint64_t k, uint64_t t) {
            const auto column = static_cast<uint16_t>(k % width_);
            for (uint16_t row = 0; row < height_; ++row) out.emplace_back(column, row, 1, t);
        });
    }

private:
    uint16_t width_, height_;
    double speed_;
};

// Square 3x3 markers on a regular grid, all switching on and off together at the blink
// frequency: positive events when they light up, negative when they go dark.
class BlinkingGridScene : public Scene {
public:
    explicit BlinkingGridScene(const SimulatedCameraConfig& config)
        : half_period_us_(1e6 / (2.0 * config.blink_frequency_hz)) {
        for (int row = 0; row < config.grid_rows; ++row) {
            for (int col = 0; col < config.grid_cols; ++col) {
                const int cx = (col + 1) * config.width / (config.grid_cols + 1);
                const int cy = (row + 1) * config.height / (config.grid_rows + 1);
                for (int dy = -1; dy <= 1; ++dy) {
                    for (int dx = -1; dx <= 1; ++dx) {
                        pixels_.push_back({static_cast<uint16_t>(cx + dx), static_cast<uint16_t>(cy + dy)});
                    }
                }
            }
        }
        std::sort(pixels_.begin(), pixels_.end(), [](const Pixel& a, const Pixel& b) {
            return a.y != b.y ? a.y < b.y : a.x < b.x;
        });
    }

    void generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) override {
        forEachTick(half_period_us_, begin_us, end_us, [&](uint64_t k, uint64_t t) {
            const uint8_t polarity = (k % 2 == 0) ? 1 : 0;
            for (const auto& pixel : pixels_) out.emplace_back(pixel.x, pixel.y, polarity, t);
        });
    }

private:
    struct Pixel {
        uint16_t x, y;
    };
    double half_period_us_;
    std::vector<Pixel> pixels_;
};

}  // namespace

uint16_t movingEdgeColumn(const SimulatedCameraConfig& config, uint64_t t_us) {
    // Crossing k happens at round(k * period), as MovingEdgeScene's ticks.
    const double period_us = 1e6 / config.edge_speed;
    const auto at = [&](uint64_t k) { return static_cast<uint64_t>(std::llround(static_cast<double>(k) * period_us)); };
    auto k = static_cast<uint64_t>(std::floor(static_cast<double>(t_us) / period_us));
    while (at(k + 1) <= t_us) ++k;
    while (k > 0 && at(k) > t_us) --k;
    return static_cast<uint16_t>(k % config.width);
}

std::unique_ptr<Scene> makeScene(const SimulatedCameraConfig& config) {
    switch (config.scene) {
        case SceneType::Random: return std::make_unique<RandomScene>(config);
        case SceneType::MovingEdge: return std::make_unique<MovingEdgeScene>(config);
        case SceneType::BlinkingGrid:
            if (config.markers.as_target) return std::make_unique<BlinkingMarkerScene>(config);
            return std::make_unique<BlinkingGridScene>(config);
        case SceneType::CircleGrid: return std::make_unique<CircleGridScene>(config);
        case SceneType::Replay: return nullptr;
    }
    return nullptr;
}

}  // namespace vireo::sim
