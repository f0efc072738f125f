// Checks of the active-marker locator's configuration. Every comparison is written so that
// a NaN fails it, like a value out of range.
#include <vireo/EventActiveMarkerGridLocatorConfig.h>

#include <stdexcept>

namespace vireo {

EventActiveMarkerGridLocatorConfig::EventActiveMarkerGridLocatorConfig(
    float scale_width_, float scale_height_, float scale_time_, uint16_t num_periods_threshold_, float min_freq_,
    float max_freq_, uint64_t time_diff_tolerance_, uint64_t max_capacity_, uint64_t max_iter_, double tol_,
    bool is_asymmetric_)
    : scale_width(scale_width_),
      scale_height(scale_height_),
      scale_time(scale_time_),
      num_periods_threshold(num_periods_threshold_),
      min_freq(min_freq_),
      max_freq(max_freq_),
      time_diff_tolerance(time_diff_tolerance_),
      max_capacity(max_capacity_),
      max_iter(max_iter_),
      tol(tol_),
      is_asymmetric(is_asymmetric_) {
    if (!(scale_width > 0.0f) || !(scale_height > 0.0f) || !(scale_time > 0.0f)) {
        throw std::invalid_argument(
            "EventActiveMarkerGridLocatorConfig: scale_width, scale_height, and scale_time must be larger than 0");
    }
    if (num_periods_threshold == 0) {
        throw std::invalid_argument("EventActiveMarkerGridLocatorConfig: num_periods_threshold must be larger than 0");
    }
    // A lower bound of exactly 0 is the default and accepted.
    if (!(min_freq >= 0.0f) || !(max_freq >= 0.0f) || !(min_freq < max_freq)) {
        throw std::invalid_argument(
            "EventActiveMarkerGridLocatorConfig: min_freq and max_freq must be larger than 0, and min_freq must be "
            "smaller than max_freq");
    }
    if (time_diff_tolerance == 0) {
        throw std::invalid_argument("EventActiveMarkerGridLocatorConfig: time_diff_tolerance must be larger than 0");
    }
    if (max_iter == 0) throw std::invalid_argument("EventActiveMarkerGridLocatorConfig: max_iter must be larger than 0");
    if (!(tol > 0.0)) throw std::invalid_argument("EventActiveMarkerGridLocatorConfig: tol must be larger than 0");
}

}  // namespace vireo
