// The active-marker locator: it finds a target of blinking point lights (LEDs flashing at a
// fixed rate) in the event stream. Every event goes through the blinking-frequency detector
// (library Vibration), which keeps only the events of pixels that blink inside the
// configured band; the positions of those events are clustered by KMeans into exactly
// grid_cols x grid_rows clusters, the centroids are checked for plausibility (no two closer
// than 15 units, every cluster within 30 % of the mean size) and ordered row by row by
// GridLocatorUtils.
//
// Only the blinking events reach the clustering: a busy scene, a moving edge or a light
// blinking outside the band leave no points. The detector keeps each pixel's history across
// feeds; the clustering takes the blinking events fed since the previous locateGrid.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <opencv2/core/types.hpp>

#include <vireo/ClusterGenerators.h>
#include <vireo/EventActiveMarkerGridLocatorConfig.h>
#include <vireo/GridLocatorAlgoBase.h>
#include <vireo/GridLocatorUtils.h>
#include <vireo/KDTree.h>
#include <vireo/SharedTypes.h>
#include <vireo/lensfit_export.h>

namespace vireo {

class VibrationDetection;

class LENSFIT_EXPORT EventActiveMarkerGridLocator : public GridLocatorAlgoBase<EventBased> {
public:
    // A locator for `grid_cols` markers per row and `grid_rows` rows (the grid convention of
    // GridLocatorAlgoBase.h) on a sensor of `sensor_size` pixels; the configuration is
    // copied. Throws what its parts throw, in this order: the KMeans cluster generator
    // (std::runtime_error, for example "KMeans: k must be greater than 0" for a grid
    // dimension of 0 or below, or its checks of the sensor size and max_capacity), the orderer (std::invalid_argument "Grid dimensions must be at least 2x2") and the
    // detector (std::invalid_argument for a sensor wider or taller than 65535 pixels).
    EventActiveMarkerGridLocator(int grid_cols, int grid_rows, const cv::Size& sensor_size,
                                 const EventActiveMarkerGridLocatorConfig& config);
    ~EventActiveMarkerGridLocator() override;
    EventActiveMarkerGridLocator(const EventActiveMarkerGridLocator&) = delete;
    EventActiveMarkerGridLocator& operator=(const EventActiveMarkerGridLocator&) = delete;

    // Clusters the blinking events fed since the previous call and orders the centres. On
    // success the grid_cols x grid_rows centres (pixels times the scales) are written row by
    // row into `centers`; on false `centers` is empty.
    bool locateGrid(std::vector<cv::Point2f>& centers) override;

    // Timestamp (microseconds) of the last event fed; 0 before any.
    uint64_t getCurrentTime() const { return current_time; }
    const EventActiveMarkerGridLocatorConfig& getConfig() const { return config; }
    // The blinking events the detector kept from the last feed.
    const std::vector<Event2DFrequency>& getBlinkingEvents() const { return blinking_events; }

private:
    friend struct EventActiveMarkerGridLocatorTestAccess;

    void processEventsImpl(const Event2D* begin, const Event2D* end) override;
    // Whether the centroids can be the grid's markers: at least one per cell, none two closer
    // than 15 units to each other, every cluster holding 70 to 130 % of the mean size.
    bool filterCenters(const std::vector<KDPoint<2, float>>& centroids, const std::vector<ClusterGeometry>& clusters);

    EventActiveMarkerGridLocatorConfig config;
    KMeansBasedClusterGenerator<2, float> generator;
    std::unique_ptr<VibrationDetection> detector;  // created after the orderer
    GridLocatorUtils orderer;
    uint64_t current_time = 0;
    std::vector<Event2DFrequency> blinking_events;
    std::vector<KDPoint<2, float>> centroids;
    std::vector<cv::Point2f> centres;
    // Scratch of locateGrid, kept between calls.
    std::vector<ClusterGeometry> clusters;
    std::vector<size_t> sizes;
};

}  // namespace vireo
