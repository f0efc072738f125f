// Configuration of the event circle-grid locator (EventDBSCANCircleGridLocatorAlgo): the
// event scaling, the DBSCAN parameters handed to its cluster generator, the ellipse-fit
// acceptance threshold and the target kind. Constructing the record checks its values.
#pragma once

#include <cstdint>
#include <limits>

#include <vireo/lensfit_export.h>

namespace vireo {

struct LENSFIT_EXPORT EventDBSCANCircleGridLocatorConfig {
    float scale_width;          // factor on event x before clustering
    float scale_height;         // factor on event y before clustering
    float scale_time;           // factor on the timestamp (3-D variants only)
    float eps;                  // DBSCAN radius, scaled units
    int min_pts;                // DBSCAN minimum points of a dense neighbourhood
    uint64_t max_capacity;      // most points clustered per locateGrid (the newest kept)
    int n_jobs;                 // DBSCAN threads: -1 all cores, 0 chosen from the point count
    float fit_error_threshold;  // largest accepted mean ellipse-fit error, pixels
    bool is_asymmetric;         // the target is an asymmetric circle grid

    // Every field in declaration order, each defaulted. Throws std::invalid_argument with the
    // first failing check, in this order (a NaN fails like a value out of range):
    //   "EventDBSCANCircleGridLocatorConfig: scale_width, scale_height, and scale_time must be larger than 0"
    //   "EventDBSCANCircleGridLocatorConfig: eps must be larger than 0"
    //   "EventDBSCANCircleGridLocatorConfig: min_pts must be larger than 0"
    //   "EventDBSCANCircleGridLocatorConfig: fit_error_threshold must be larger than 0"
    //   "EventDBSCANCircleGridLocatorConfig: n_jobs must be larger than -2, -1 means using all the
    //    cores, 0 means using the number of cores according to the number of points"
    // `max_capacity` is checked by the cluster generator when a locator is built.
    EventDBSCANCircleGridLocatorConfig(float scale_width = 1.0f, float scale_height = 1.0f,
                                       float scale_time = 1.0f, float eps = 15.0f, int min_pts = 10,
                                       uint64_t max_capacity = std::numeric_limits<uint64_t>::max(),
                                       int n_jobs = 0, float fit_error_threshold = 1.0f,
                                       bool is_asymmetric = false);
};

}  // namespace vireo
