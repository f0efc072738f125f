// The BlinkingGrid calibration target: the checks of its settings, where its distractors
// are, the light spots of every pose and the generation of the markers', the other light's,
// the flicker's, the bar's and the noise's events.
//
// Slicing: the scene is cut at pose changes, and every source gives the same events however
// the rest of the time is sliced (the flicker and the noise are Poisson processes run forward
// in time, the lights and the bar depend on the time alone).
#include "sim/BlinkingMarkerScene.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "sim/CircleGridScene.h"

namespace vireo::sim {
namespace {

constexpr double kSpotReach = 2.2;      // sigmas: the pixels of a spot
constexpr double kExtraEvents = 2.0;    // at the centre of a spot, on top of one per pixel
constexpr uint64_t kMaxDelay_us = 15;   // a pixel's own lateness, 0..15 µs
constexpr int kCornerMargin_px = 16;    // of the flicker square and the other light
constexpr uint64_t kNoiseStream = 0xB11AC5EEDull;
constexpr uint64_t kFlickerStream = 0xF11C4E5ull;
constexpr uint64_t kDelayStream = 0xDE1A75ull;

[[noreturn]] void fail(const std::string& what) { throw std::invalid_argument("SimulatedCameraConfig: " + what); }

bool finite(double v) { return std::isfinite(v); }

uint64_t hashOf(uint64_t a, uint64_t b, uint64_t c) {
    uint64_t state = a;
    state ^= splitmix64(state) + b;
    state ^= splitmix64(state) + c;
    return splitmix64(state);
}

}  // namespace

void validateBlinkingMarkers(const SimulatedCameraConfig& config) {
    validateCircleGrid(config);
    const BlinkingMarkerTarget& m = config.markers;
    if (config.width < 64 || config.height < 64) fail("a blinking-marker target needs a sensor of at least 64 x 64");
    if (!(config.blink_frequency_hz > 0) || !(config.blink_frequency_hz <= 250000)) {
        fail("blink_frequency_hz must be within (0, 250000]");
    }
    if (!(m.spot_sigma_px >= 0.3 && m.spot_sigma_px <= 5.0)) fail("markers.spot_sigma_px must be within 0.3..5");
    if (m.flicker_size_px < 0 || m.flicker_size_px > 256 ||
        m.flicker_size_px > std::min<int>(config.width, config.height) / 4) {
        fail("markers.flicker_size_px must be within 0..256 and at most a quarter of the sensor's width and height");
    }
    if (m.flicker_size_px > 0 && !(m.flicker_rate_hz > 0 && m.flicker_rate_hz <= 100000)) {
        fail("markers.flicker_rate_hz must be within (0, 100000]");
    }
    if (m.moving_edge) {
        if (m.edge_width_px < 1 || m.edge_width_px >= config.width) {
            fail("markers.edge_width_px must be at least 1 and narrower than the sensor");
        }
        if (!(config.edge_speed > 0) || !finite(config.edge_speed) || config.edge_speed > 1e7) {
            fail("edge_speed must be within (0, 1e7] pixels per second");
        }
    }
    if (!(m.other_light_hz >= 0 && m.other_light_hz <= 250000)) fail("markers.other_light_hz must be within 0..250000");
}

BlinkingMarkerDistractors blinkingMarkerDistractors(const SimulatedCameraConfig& config) {
    validateBlinkingMarkers(config);
    BlinkingMarkerDistractors where;
    where.flicker_size = config.markers.flicker_size_px;
    where.flicker_x = kCornerMargin_px;
    where.flicker_y = config.height - kCornerMargin_px - where.flicker_size;
    if (config.markers.other_light_hz > 0) {
        where.other_light = {config.width - kCornerMargin_px - 8.3, kCornerMargin_px + 8.6};
    } else {
        where.other_light = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    }
    return where;
}

BlinkingMarkerScene::BlinkingMarkerScene(const SimulatedCameraConfig& config)
    : width_(config.width), height_(config.height), lens_(config.lens), period_us_(config.pose_period_us),
      seed_(config.seed), half_us_(1e6 / (2.0 * config.blink_frequency_hz)), markers_(config.markers),
      edge_speed_(config.edge_speed) {
    where_ = blinkingMarkerDistractors(config);  // validates the configuration
    const auto poses = circleGridPoses(config);
    world_ = circleGridWorldCenters(config.target);
    const detail::Transform rig = detail::toTransform(config.rig_pose);
    for (const auto& pose : poses) views_.push_back(detail::compose(rig, detail::toTransform(pose)));
    mask_.assign(static_cast<size_t>(width_) * height_, 0);

    if (markers_.other_light_hz > 0) {
        otherHalf_us_ = 1e6 / (2.0 * markers_.other_light_hz);
        const Point2d c = where_.other_light;
        const double reach = kSpotReach * markers_.spot_sigma_px;
        for (int y = static_cast<int>(std::ceil(c.y - reach)); y <= static_cast<int>(std::floor(c.y + reach)); ++y) {
            for (int x = static_cast<int>(std::ceil(c.x - reach)); x <= static_cast<int>(std::floor(c.x + reach)); ++x) {
                const double r2 = (x - c.x) * (x - c.x) + (y - c.y) * (y - c.y);
                if (r2 > reach * reach) continue;
                const double w = std::exp(-r2 / (2 * markers_.spot_sigma_px * markers_.spot_sigma_px));
                otherLight_.push_back({static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                                       static_cast<uint8_t>(1 + std::lround(kExtraEvents * w)),
                                       static_cast<uint8_t>(hashOf(seed_ ^ kDelayStream, 1u << 20, y * 65536u + x) %
                                                            (kMaxDelay_us + 1))});
            }
        }
    }
    if (where_.flicker_size > 0) {
        const auto pixels = static_cast<size_t>(where_.flicker_size) * static_cast<size_t>(where_.flicker_size);
        flickerState_.assign(pixels, 0);
        flickerGap_us_ = 1e6 / (markers_.flicker_rate_hz * static_cast<double>(pixels));
        flickerRandom_ = seed_ ^ kFlickerStream;
        flickerNext_us_ = -std::log(unitInterval(flickerRandom_)) * flickerGap_us_;
    }
    if (config.noise_rate > 0) noise_.emplace(width_, height_, config.noise_rate, config.seed ^ kNoiseStream);
}

void BlinkingMarkerScene::buildSpots(size_t pose) {
    for (const auto& p : spots_) mask_[static_cast<size_t>(p.y) * width_ + p.x] = 0;
    spots_.clear();
    const double sigma = markers_.spot_sigma_px;
    const double reach = kSpotReach * sigma;
    for (const auto& centre : world_) {
        Point2d c;
        if (!detail::project(lens_, views_[pose].apply(centre), c)) continue;
        const int y0 = std::max(0, static_cast<int>(std::ceil(c.y - reach)));
        const int y1 = std::min(height_ - 1, static_cast<int>(std::floor(c.y + reach)));
        const int x0 = std::max(0, static_cast<int>(std::ceil(c.x - reach)));
        const int x1 = std::min(width_ - 1, static_cast<int>(std::floor(c.x + reach)));
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) {
                const double r2 = (x - c.x) * (x - c.x) + (y - c.y) * (y - c.y);
                uint8_t& shines = mask_[static_cast<size_t>(y) * width_ + static_cast<size_t>(x)];
                if (r2 > reach * reach || shines) continue;
                shines = 1;
                const double w = std::exp(-r2 / (2 * sigma * sigma));
                spots_.push_back({static_cast<uint16_t>(x), static_cast<uint16_t>(y),
                                  static_cast<uint8_t>(1 + std::lround(kExtraEvents * w)),
                                  static_cast<uint8_t>(hashOf(seed_ ^ kDelayStream, pose, y * 65536u + x) %
                                                       (kMaxDelay_us + 1))});
            }
        }
    }
    spotsPose_ = pose;
}

void BlinkingMarkerScene::emitBlinks(const std::vector<SpotPixel>& pixels, double half_us, uint64_t begin_us,
                                     uint64_t end_us, std::vector<Event2D>& out) {
    if (pixels.empty()) return;
    // Switches from a little before the span: their late events may fall inside it.
    const uint64_t from = begin_us > kMaxDelay_us + 3 ? begin_us - kMaxDelay_us - 3 : 0;
    for (auto k = static_cast<uint64_t>(std::ceil(static_cast<double>(from) / half_us));; ++k) {
        const auto t = static_cast<uint64_t>(std::llround(static_cast<double>(k) * half_us));
        if (t >= end_us) break;
        const auto polarity = static_cast<uint8_t>(k % 2 == 0);  // lit in the first half of a period
        for (const auto& p : pixels) {
            for (uint64_t b = 0; b < p.burst; ++b) {
                const uint64_t at = t + p.delay_us + b;
                if (at >= begin_us && at < end_us) out.emplace_back(p.x, p.y, polarity, at);
            }
        }
    }
}

void BlinkingMarkerScene::emitFlicker(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) {
    if (flickerState_.empty()) return;
    flickerNext_us_ = std::max(flickerNext_us_, static_cast<double>(begin_us));
    const auto size = static_cast<uint64_t>(where_.flicker_size);
    while (flickerNext_us_ < static_cast<double>(end_us)) {
        const uint64_t r = splitmix64(flickerRandom_);
        const uint64_t pixel = ((r >> 32) * flickerState_.size()) >> 32;
        uint8_t& state = flickerState_[pixel];
        state ^= 1;
        out.emplace_back(static_cast<uint16_t>(where_.flicker_x + static_cast<int>(pixel % size)),
                         static_cast<uint16_t>(where_.flicker_y + static_cast<int>(pixel / size)), state,
                         static_cast<uint64_t>(flickerNext_us_));
        flickerNext_us_ += -std::log(unitInterval(flickerRandom_)) * flickerGap_us_;
    }
}

void BlinkingMarkerScene::emitEdge(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) {
    if (!markers_.moving_edge) return;
    // The bar's leading edge enters column k mod width at k / speed seconds; its trailing
    // edge leaves the column edge_width_px behind at the same moment.
    const double step_us = 1e6 / edge_speed_;
    const auto widthPx = static_cast<uint64_t>(width_);
    const auto bar = static_cast<uint64_t>(markers_.edge_width_px);
    for (auto k = static_cast<uint64_t>(std::ceil(static_cast<double>(begin_us) / step_us));; ++k) {
        const auto t = static_cast<uint64_t>(std::llround(static_cast<double>(k) * step_us));
        if (t < begin_us) continue;
        if (t >= end_us) break;
        const auto entering = static_cast<uint16_t>(k % widthPx);
        for (uint16_t y = 0; y < height_; ++y) out.emplace_back(entering, y, 1, t);
        if (k >= bar) {
            const auto leaving = static_cast<uint16_t>((k - bar) % widthPx);
            for (uint16_t y = 0; y < height_; ++y) out.emplace_back(leaving, y, 0, t);
        }
    }
}

void BlinkingMarkerScene::generateWithinPose(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) {
    scratch_.clear();
    emitBlinks(otherLight_, otherHalf_us_, begin_us, end_us, scratch_);
    emitFlicker(begin_us, end_us, scratch_);
    emitEdge(begin_us, end_us, scratch_);
    if (noise_) noise_->generate(begin_us, end_us, scratch_);
    // The markers outshine whatever else happens on their pixels.
    scratch_.erase(std::remove_if(scratch_.begin(), scratch_.end(),
                                  [&](const Event2D& e) {
                                      return e.x >= width_ || e.y >= height_ ||
                                             mask_[static_cast<size_t>(e.y) * width_ + e.x] != 0;
                                  }),
                   scratch_.end());
    emitBlinks(spots_, half_us_, begin_us, end_us, scratch_);
    std::sort(scratch_.begin(), scratch_.end(), sensorOrder);
    out.insert(out.end(), scratch_.begin(), scratch_.end());
}

void BlinkingMarkerScene::generate(uint64_t begin_us, uint64_t end_us, std::vector<Event2D>& out) {
    while (begin_us < end_us) {
        const uint64_t showing = begin_us / period_us_;
        const uint64_t stop = std::min(end_us, (showing + 1) * period_us_);
        const auto pose = static_cast<size_t>(showing % views_.size());
        if (pose != spotsPose_) buildSpots(pose);
        generateWithinPose(begin_us, stop, out);
        begin_us = stop;
    }
}

}  // namespace vireo::sim
