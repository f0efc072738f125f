// Configuration of the event active-marker locator (blinking point lights): the event
// scaling, the blinking-frequency band handed to the vibration detection, the KMeans
// parameters and the target kind. Constructing the record checks its values; the
// EventActiveMarkerGridLocator keeps a copy.
#pragma once

#include <cstdint>
#include <limits>

#include <vireo/lensfit_export.h>

namespace vireo {

struct LENSFIT_EXPORT EventActiveMarkerGridLocatorConfig {
    float scale_width;               // factor on event x before clustering
    float scale_height;              // factor on event y
    float scale_time;                // factor on the timestamp
    uint16_t num_periods_threshold;  // periods a pixel must blink before it counts
    float min_freq;                  // lower blinking-frequency bound, Hz
    float max_freq;                  // upper blinking-frequency bound, Hz
    uint64_t time_diff_tolerance;    // period tolerance, microseconds
    uint64_t max_capacity;           // most points clustered per run
    uint64_t max_iter;               // KMeans iteration limit
    double tol;                      // KMeans convergence tolerance
    bool is_asymmetric;              // the target is an asymmetric grid

    // Every field in declaration order, each defaulted. Throws std::invalid_argument with the
    // first failing check, in this order (a NaN fails like a value out of range):
    //   "EventActiveMarkerGridLocatorConfig: scale_width, scale_height, and scale_time must be larger than 0"
    //   "EventActiveMarkerGridLocatorConfig: num_periods_threshold must be larger than 0"
    //   "EventActiveMarkerGridLocatorConfig: min_freq and max_freq must be larger than 0, and
    //    min_freq must be smaller than max_freq"   (a min_freq of exactly 0 is accepted)
    //   "EventActiveMarkerGridLocatorConfig: time_diff_tolerance must be larger than 0"
    //   "EventActiveMarkerGridLocatorConfig: max_iter must be larger than 0"
    //   "EventActiveMarkerGridLocatorConfig: tol must be larger than 0"
    EventActiveMarkerGridLocatorConfig(float scale_width = 1.0f, float scale_height = 1.0f,
                                       float scale_time = 1.0f, uint16_t num_periods_threshold = 5,
                                       float min_freq = 0.0f, float max_freq = 100.0f,
                                       uint64_t time_diff_tolerance = 1000,
                                       uint64_t max_capacity = std::numeric_limits<uint64_t>::max(),
                                       uint64_t max_iter = 100, double tol = 0.0001,
                                       bool is_asymmetric = false);
};

}  // namespace vireo
