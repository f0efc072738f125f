// The active-marker locator: the blinking-frequency detector in front of the KMeans cluster
// generator, the plausibility filter of the centroids and their ordering into grid order.
#include <vireo/EventActiveMarkerGridLocator.h>

#include <algorithm>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>

#include <vireo/VibrationDetection.h>

namespace vireo {

namespace {

// Nearest centroids closer than 15 units (squared 225) cannot be two markers of the target.
constexpr float kMinSquaredSpacing = 225.0f;
// Every cluster must hold within 30 % of the mean number of points.
constexpr double kSizeBalance = 0.3;

size_t clusterCount(int grid_cols, int grid_rows) {
    // A negative dimension would wrap into a huge k; it is refused like 0 by the generator.
    if (grid_cols <= 0 || grid_rows <= 0) return 0;
    return static_cast<size_t>(grid_cols) * static_cast<size_t>(grid_rows);
}

uint16_t sensorSide(int pixels, const char* name) {
    if (pixels > std::numeric_limits<uint16_t>::max()) {
        throw std::invalid_argument(std::string("EventActiveMarkerGridLocator: the sensor ") + name +
                                    " must be at most 65535 pixels, got " + std::to_string(pixels));
    }
    return static_cast<uint16_t>(pixels);
}

}  // namespace

EventActiveMarkerGridLocator::EventActiveMarkerGridLocator(int grid_cols_, int grid_rows_, const cv::Size& sensor_size_,
                                                           const EventActiveMarkerGridLocatorConfig& config_)
    : GridLocatorAlgoBase<EventBased>(grid_cols_, grid_rows_, sensor_size_),
      config(config_),
      generator(sensor_size_.width, sensor_size_.height, config_.scale_width, config_.scale_height,
                config_.scale_time, POLARITY_FREE, static_cast<size_t>(config_.max_capacity),
                clusterCount(grid_cols_, grid_rows_), static_cast<size_t>(config_.max_iter), config_.tol),
      orderer(grid_cols_, grid_rows_, 1.0f, config_.is_asymmetric) {
    detector = std::make_unique<VibrationDetection>(
        sensorSide(sensor_size.width, "width"), sensorSide(sensor_size.height, "height"),
        VibrationDetectionConfig(config.num_periods_threshold, config.min_freq, config.max_freq,
                                 config.time_diff_tolerance));
    centres.reserve(clusterCount(grid_cols, grid_rows));
}

EventActiveMarkerGridLocator::~EventActiveMarkerGridLocator() = default;

void EventActiveMarkerGridLocator::processEventsImpl(const Event2D* begin, const Event2D* end) {
    blinking_events.clear();
    if (begin == nullptr || end <= begin) return;
    current_time = (end - 1)->timestamp;
    detector->processEvents(begin, end, std::back_inserter(blinking_events));
    generator.addEvents(blinking_events.data(), blinking_events.data() + blinking_events.size());
}

bool EventActiveMarkerGridLocator::locateGrid(std::vector<cv::Point2f>& centers) {
    centres.clear();
    centers.clear();
    generator.generateClusters(static_cast<size_t>(current_time), clusters);
    generator.getClusterCentroids(centroids);
    if (!filterCenters(centroids, clusters)) return false;
    for (const auto& centroid : centroids) centres.emplace_back(centroid.coords[0], centroid.coords[1]);
    return orderer.sortGridCenters(centres, centers);
}

bool EventActiveMarkerGridLocator::filterCenters(const std::vector<KDPoint<2, float>>& points,
                                                 const std::vector<ClusterGeometry>& geometries) {
    const size_t n = clusterCount(grid_cols, grid_rows);
    if (points.size() < n || geometries.size() < n || points.size() < 2) return false;

    KDTree<2, float> tree;
    if (!tree.build(points, 1)) return false;
    std::vector<size_t> index;
    std::vector<float> squared;
    float nearest = std::numeric_limits<float>::max();
    for (size_t i = 0; i < points.size(); ++i) {
        if (tree.knnSearchIndex(1, index, squared, i) == 0) return false;
        nearest = std::min(nearest, squared[0]);
    }
    if (nearest < kMinSquaredSpacing) return false;

    generator.getClusterSizes(sizes);
    if (sizes.empty()) return false;
    size_t total = 0;
    for (const size_t size : sizes) total += size;
    const double mean = static_cast<double>(total) / static_cast<double>(sizes.size());
    if (!(mean > 0)) return false;
    const auto [smallest, largest] = std::minmax_element(sizes.begin(), sizes.end());
    if (static_cast<double>(*largest) / mean - 1.0 > kSizeBalance) return false;
    if (static_cast<double>(*smallest) / mean - 1.0 < -kSizeBalance) return false;
    return true;
}

}  // namespace vireo
