// Per-pixel blinking-frequency detection: VibrationDetection watches every pixel of a
// sensor for a light that switches on and off at a steady rate (an LED marker, a strobe) and
// reports the events of such pixels, each with the frequency it blinks at.
//
// How it works. A blinking light makes its pixels alternate between bursts of brighter
// (polarity 1) and darker (polarity 0) events; the first event of a burst is a transition.
// Each pixel keeps the time of its last rising and of its last falling transition. At every
// transition the time since the previous transition of the same kind is one period
// measurement (rise to rise, then fall to fall, and so on, two per period). A measurement
// agrees when it lies in the band [1 / max_freq, 1 / min_freq] and within
// `time_diff_tolerance` microseconds of the pixel's period (below); the pixel counts
// its consecutive agreeing measurements and blinks once `num_periods_threshold` rise-to-rise
// periods and the fall-to-fall periods between them have agreed (2 N - 1 measurements).
// Checking the falls as well as the rises asks a steady duty cycle of the light, which
// random flicker almost never keeps up. A measurement that disagrees starts the count again
// from it; one out of the band clears it. From then on the transitions of a blinking pixel
// are reported, and the repeated events of each burst that follow a transition within a
// quarter period, all with the frequency of the pixel's period (a lone event later in the
// period is noise or a light that moved away, and is not reported). The period is
// the first measurement of a run of agreeing ones, moved by a quarter of the difference to
// each later one, so that a stray event close to a transition shifts it little. A pixel
// that stays quiet for longer than a period plus the tolerance stops counting as blinking
// at its next event, so a light that moved away or stopped leaves nothing behind.
//
// Memory: 16 bytes per pixel (PixelState below), allocated once at construction: 14.7 MB
// for a 1280 x 720 sensor. Times are kept as the low 32 bits of the microsecond timestamps
// (differences are taken modulo 2^32, so a pixel may stay quiet for up to 71 minutes).
// Processing allocates nothing but the output's growth and takes no lock.
#pragma once

#include <cstdint>
#include <iterator>
#include <vector>

#include <vireo/SharedTypes.h>
#include <vireo/vibration_export.h>

namespace vireo {

// Settings of the detector, in this order: how many consecutive periods must agree, the
// frequency band in Hz, and how far (µs) consecutive period measurements may differ.
struct VibrationDetectionConfig {
    uint16_t num_periods_threshold = 5;
    float min_freq = 0.0f;    // Hz; 0 puts no lower bound
    float max_freq = 100.0f;  // Hz
    uint64_t time_diff_tolerance = 1000;  // microseconds

    VibrationDetectionConfig() = default;
    VibrationDetectionConfig(uint16_t num_periods_threshold_, float min_freq_, float max_freq_,
                             uint64_t time_diff_tolerance_)
        : num_periods_threshold(num_periods_threshold_), min_freq(min_freq_), max_freq(max_freq_),
          time_diff_tolerance(time_diff_tolerance_) {}
};

// What the detector knows of one pixel's blinking: its period and the frequency that
// gives (0 while nothing agreed), and how many consecutive period measurements agreed so far.
template <typename T>
struct PeriodEstimation {
    T period_us = 0;
    T frequency_hz = 0;
    uint32_t agreeing_measurements = 0;
    bool blinking = false;  // the pixel's events are reported

    PeriodEstimation() = default;
    PeriodEstimation(const PeriodEstimation&) = default;
    PeriodEstimation& operator=(const PeriodEstimation&) = default;
    ~PeriodEstimation() = default;
};

// An event with the blinking period (µs) of its pixel.
template <typename T>
struct Event2DPeriod {
    uint16_t x = 0;
    uint16_t y = 0;
    bool polarity = false;
    uint64_t timestamp = 0;  // microseconds
    T period_us = 0;

    Event2DPeriod() = default;
    Event2DPeriod(uint16_t x_, uint16_t y_, bool polarity_, uint64_t timestamp_, T period_us_)
        : x(x_), y(y_), polarity(polarity_), timestamp(timestamp_), period_us(period_us_) {}
    Event2DPeriod(const Event2DPeriod&) = default;
    Event2DPeriod& operator=(const Event2DPeriod&) = default;
    ~Event2DPeriod() = default;
};

class VIBRATION_EXPORT VibrationDetection {
public:
    // A detector for a sensor of `width` x `height` pixels. Throws std::invalid_argument,
    // naming the parameter, for a zero width or height, a num_periods_threshold of 0, a band
    // that is not 0 <= min_freq < max_freq (finite), or a time_diff_tolerance of 0 or above
    // 2^31 µs.
    VibrationDetection(uint16_t width, uint16_t height, const VibrationDetectionConfig& config);
    ~VibrationDetection();
    VibrationDetection(const VibrationDetection&) = delete;
    VibrationDetection& operator=(const VibrationDetection&) = delete;
    VibrationDetection(VibrationDetection&&) noexcept;
    VibrationDetection& operator=(VibrationDetection&&) noexcept;

    // Consumes the events of [first, last) in order (time order, as a sensor gives them) and
    // appends one record for every event of a pixel that blinks inside the band, with that
    // pixel's frequency. Events outside the sensor are skipped. An empty range does nothing.
    void processEvents(const Event2D* first, const Event2D* last,
                       std::back_insert_iterator<std::vector<Event2DFrequency>> out);
    // The same, with each pixel's period instead of its frequency.
    void processEvents(const Event2D* first, const Event2D* last,
                       std::back_insert_iterator<std::vector<Event2DPeriod<float>>> out);

    // What is known of pixel (x, y); false (and `estimation` untouched) outside the sensor.
    bool getPeriodEstimation(uint16_t x, uint16_t y, PeriodEstimation<float>& estimation) const;
    // Forgets every pixel's history.
    void reset();

    const VibrationDetectionConfig& getConfig() const { return config; }
    uint16_t getWidth() const { return width; }
    uint16_t getHeight() const { return height; }

private:
    // One pixel: the low 32 bits of its last rising and last falling transition times, its
    // last period measurement, the count of consecutive agreeing measurements, and the
    // polarity of its last event with whether each transition time is known.
    struct PixelState {
        uint32_t last_rise_us;
        uint32_t last_fall_us;
        uint32_t period_us;
        uint16_t agreeing;
        uint8_t last_polarity;  // 0, 1, or kNoEvent before the first event
        uint8_t known;          // bit 0: last_rise_us set, bit 1: last_fall_us set
    };
    static_assert(sizeof(PixelState) == 16, "a pixel's state is 16 bytes");

    template <typename Emit>
    void run(const Event2D* first, const Event2D* last, Emit emit);

    uint16_t width;
    uint16_t height;
    VibrationDetectionConfig config;
    uint32_t min_period_us;   // shortest period in the band
    uint32_t max_period_us;   // longest period in the band
    uint32_t tolerance_us;
    uint16_t accept_count;    // agreeing measurements from which a pixel blinks
    std::vector<PixelState> pixels;
};

}  // namespace vireo
