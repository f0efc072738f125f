// The detector's per-pixel state machine (see VibrationDetection.h for the rules) and its
// two output forms. The event loop is one template so that both forms share it without a
// virtual call or a branch on the form per event.
#include <vireo/VibrationDetection.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace vireo {

namespace {

constexpr uint8_t kNoEvent = 2;  // last_polarity of a pixel that has not fired yet
constexpr uint8_t kRiseKnown = 1;
constexpr uint8_t kFallKnown = 2;
constexpr uint64_t kMaxTolerance_us = uint64_t{1} << 31;

[[noreturn]] void fail(const std::string& what) { throw std::invalid_argument("VibrationDetection: " + what); }

}  // namespace

VibrationDetection::VibrationDetection(uint16_t width_, uint16_t height_, const VibrationDetectionConfig& config_)
    : width(width_), height(height_), config(config_) {
    if (width == 0 || height == 0) fail("width and height must be larger than 0");
    if (config.num_periods_threshold == 0) fail("num_periods_threshold must be larger than 0");
    if (!(config.min_freq >= 0.0f) || !(config.max_freq > config.min_freq) || !std::isfinite(config.max_freq)) {
        fail("min_freq and max_freq must be finite with 0 <= min_freq < max_freq, got " +
             std::to_string(config.min_freq) + " and " + std::to_string(config.max_freq));
    }
    if (config.time_diff_tolerance == 0 || config.time_diff_tolerance > kMaxTolerance_us) {
        fail("time_diff_tolerance must be within 1..2147483648 us, got " + std::to_string(config.time_diff_tolerance));
    }
    // The band in whole microseconds: a period counts when 1e6 / max_freq <= period <=
    // 1e6 / min_freq, rounded outwards so that a light at exactly a bound is inside.
    min_period_us = std::max<uint32_t>(1, static_cast<uint32_t>(std::floor(1e6 / static_cast<double>(config.max_freq))));
    const double longest = config.min_freq > 0.0f ? std::ceil(1e6 / static_cast<double>(config.min_freq)) : 0.0;
    max_period_us = (config.min_freq > 0.0f && longest < static_cast<double>(std::numeric_limits<uint32_t>::max()))
                        ? static_cast<uint32_t>(longest)
                        : std::numeric_limits<uint32_t>::max();
    tolerance_us = static_cast<uint32_t>(config.time_diff_tolerance);
    // N rise-to-rise periods and the N - 1 fall-to-fall periods between them.
    accept_count = static_cast<uint16_t>(std::min<uint32_t>(2u * config.num_periods_threshold - 1u, 65535u));
    pixels.resize(static_cast<size_t>(width) * height);
    reset();
}

VibrationDetection::~VibrationDetection() = default;
VibrationDetection::VibrationDetection(VibrationDetection&&) noexcept = default;
VibrationDetection& VibrationDetection::operator=(VibrationDetection&&) noexcept = default;

void VibrationDetection::reset() {
    std::fill(pixels.begin(), pixels.end(), PixelState{0, 0, 0, 0, kNoEvent, 0});
}

template <typename Emit>
void VibrationDetection::run(const Event2D* first, const Event2D* last, Emit emit) {
    if (first == nullptr || last <= first) return;
    const uint32_t w = width, h = height;
    const uint32_t lo = min_period_us, hi = max_period_us, tol = tolerance_us;
    const uint16_t accept = accept_count;
    PixelState* const state = pixels.data();
    // The state of a pixel a few events ahead is fetched early: noise and scattered activity
    // touch the 16-byte states all over the sensor, which a cache does not hold.
    constexpr std::ptrdiff_t kAhead = 16;
    for (const Event2D* e = first; e != last; ++e) {
        if (last - e > kAhead) {
            const Event2D* next = e + kAhead;
            if (next->x < w && next->y < h) __builtin_prefetch(state + static_cast<size_t>(next->y) * w + next->x, 1);
        }
        if (e->x >= w || e->y >= h) continue;
        PixelState& s = state[static_cast<size_t>(e->y) * w + e->x];
        const auto t = static_cast<uint32_t>(e->timestamp);
        const uint8_t p = e->polarity != 0 ? 1 : 0;
        if (p != s.last_polarity) {
            // A transition: one period measurement against the last transition of this kind.
            s.last_polarity = p;
            const uint8_t bit = p ? kRiseKnown : kFallKnown;
            uint32_t& previous = p ? s.last_rise_us : s.last_fall_us;
            if (s.known & bit) {
                const uint32_t d = t - previous;
                if (d >= lo && d <= hi) {
                    const uint32_t diff = d > s.period_us ? d - s.period_us : s.period_us - d;
                    if (s.agreeing != 0 && diff <= tol) {
                        // The period follows the measurements smoothly (a quarter of each
                        // difference), so that one late or early transition moves it little.
                        s.agreeing = static_cast<uint16_t>(s.agreeing + (s.agreeing != 65535));
                        s.period_us = d > s.period_us ? s.period_us + (diff + 2) / 4 : s.period_us - (diff + 2) / 4;
                    } else {
                        s.agreeing = 1;
                        s.period_us = d;
                    }
                } else {
                    s.agreeing = 0;
                }
            }
            previous = t;
            s.known = static_cast<uint8_t>(s.known | bit);
        } else if (s.agreeing != 0) {
            // A repeated event. A blinking pixel fires its repeats in a burst right after the
            // transition; a lone event later on is something else (noise, or a light that
            // has moved away) and is not reported. A pixel quiet for more than a period has
            // stopped blinking.
            const uint32_t since = t - (p ? s.last_rise_us : s.last_fall_us);
            if (uint64_t{since} > uint64_t{s.period_us} + tol) {
                s.agreeing = 0;
                continue;
            }
            if (since > s.period_us / 4) continue;
        }
        if (s.agreeing >= accept) emit(*e, s.period_us);
    }
}

void VibrationDetection::processEvents(const Event2D* first, const Event2D* last,
                                       std::back_insert_iterator<std::vector<Event2DFrequency>> out) {
    run(first, last, [&out](const Event2D& e, uint32_t period_us) {
        *out++ = Event2DFrequency(e.x, e.y, e.polarity != 0, e.timestamp, 1e6f / static_cast<float>(period_us));
    });
}

void VibrationDetection::processEvents(const Event2D* first, const Event2D* last,
                                       std::back_insert_iterator<std::vector<Event2DPeriod<float>>> out) {
    run(first, last, [&out](const Event2D& e, uint32_t period_us) {
        *out++ = Event2DPeriod<float>(e.x, e.y, e.polarity != 0, e.timestamp, static_cast<float>(period_us));
    });
}

bool VibrationDetection::getPeriodEstimation(uint16_t x, uint16_t y, PeriodEstimation<float>& estimation) const {
    if (x >= width || y >= height) return false;
    const PixelState& s = pixels[static_cast<size_t>(y) * width + x];
    estimation.period_us = s.agreeing != 0 ? static_cast<float>(s.period_us) : 0.0f;
    estimation.frequency_hz = s.agreeing != 0 && s.period_us != 0 ? 1e6f / static_cast<float>(s.period_us) : 0.0f;
    estimation.agreeing_measurements = s.agreeing;
    estimation.blinking = s.agreeing >= accept_count;
    return true;
}

}  // namespace vireo
