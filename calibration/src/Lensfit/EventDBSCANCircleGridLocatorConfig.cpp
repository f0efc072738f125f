// Checks of the event circle-grid locator's configuration. Every comparison is written so
// that a NaN fails it, like a value out of range.
#include <vireo/EventDBSCANCircleGridLocatorConfig.h>

#include <stdexcept>

namespace vireo {

EventDBSCANCircleGridLocatorConfig::EventDBSCANCircleGridLocatorConfig(
    float scale_width_, float scale_height_, float scale_time_, float eps_, int min_pts_, uint64_t max_capacity_,
    int n_jobs_, float fit_error_threshold_, bool is_asymmetric_)
    : scale_width(scale_width_),
      scale_height(scale_height_),
      scale_time(scale_time_),
      eps(eps_),
      min_pts(min_pts_),
      max_capacity(max_capacity_),
      n_jobs(n_jobs_),
      fit_error_threshold(fit_error_threshold_),
      is_asymmetric(is_asymmetric_) {
    if (!(scale_width > 0.0f) || !(scale_height > 0.0f) || !(scale_time > 0.0f)) {
        throw std::invalid_argument(
            "EventDBSCANCircleGridLocatorConfig: scale_width, scale_height, and scale_time must be larger than 0");
    }
    if (!(eps > 0.0f)) throw std::invalid_argument("EventDBSCANCircleGridLocatorConfig: eps must be larger than 0");
    if (min_pts <= 0) throw std::invalid_argument("EventDBSCANCircleGridLocatorConfig: min_pts must be larger than 0");
    if (!(fit_error_threshold > 0.0f)) {
        throw std::invalid_argument("EventDBSCANCircleGridLocatorConfig: fit_error_threshold must be larger than 0");
    }
    if (n_jobs < -1) {
        throw std::invalid_argument(
            "EventDBSCANCircleGridLocatorConfig: n_jobs must be larger than -2, -1 means using all the cores, 0 means "
            "using the number of cores according to the number of points");
    }
}

}  // namespace vireo
