// The event circle-grid locator: it finds a printed or displayed grid of circles in the
// events of a moving (or flickering) target. The events fed since the previous locateGrid
// are clustered with DBSCAN, every cluster that looks like one circle outline is fitted with
// an ellipse, the ellipses are painted black on white into an image of the sensor, and
// OpenCV's circle-grid detector finds and orders the grid in that image.
//
// Only the two-dimensional instantiations locate grids; the three-dimensional ones cluster
// (x, y, t) points and always report that no grid was found. Instantiated and exported for
// <2, float>, <2, double>, <3, float> and <3, double>; the factory creates <2, float>.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vireo/ClusterGenerators.h>
#include <vireo/EventDBSCANCircleGridLocatorConfig.h>
#include <vireo/GridLocatorAlgoBase.h>
#include <vireo/lensfit_export.h>

namespace vireo {

template <int D, typename T>
class LENSFIT_EXPORT EventDBSCANCircleGridLocatorAlgo : public GridLocatorAlgoBase<EventBased> {
public:
    // A locator for `grid_cols` circles per row and `grid_rows` rows (see the grid
    // convention in GridLocatorAlgoBase.h) on a sensor of `sensor_size` pixels; the
    // configuration is copied. Throws std::invalid_argument
    // "EventDBSCANCircleGridLocatorAlgo: grid_cols and grid_rows must be at least 2" and the
    // cluster generator's std::runtime_error checks (for example a sensor size below 1 or a
    // max_capacity of 0).
    EventDBSCANCircleGridLocatorAlgo(int grid_cols, int grid_rows, const cv::Size& sensor_size,
                                     const EventDBSCANCircleGridLocatorConfig& config);
    ~EventDBSCANCircleGridLocatorAlgo() override;
    EventDBSCANCircleGridLocatorAlgo(const EventDBSCANCircleGridLocatorAlgo&) = delete;
    EventDBSCANCircleGridLocatorAlgo& operator=(const EventDBSCANCircleGridLocatorAlgo&) = delete;

    // Clusters the events fed since the previous call and searches the grid. On success the
    // grid_cols x grid_rows centres (pixels) are written row by row into `centers`; on false
    // `centers` is left as it was. The 3-D variants consume the events and return false.
    bool locateGrid(std::vector<cv::Point2f>& centers) override;

    // Timestamp (microseconds) of the last event fed; 0 before any.
    uint64_t getCurrentTime() const { return current_time; }
    const EventDBSCANCircleGridLocatorConfig& getConfig() const { return config; }

private:
    friend struct EventDBSCANCircleGridLocatorTestAccess;

    void processEventsImpl(const Event2D* begin, const Event2D* end) override;
    // Clusters the events fed since the last call and keeps the ellipse of every cluster that
    // passes the size filter and fits well (2-D; the 3-D variants only consume the events).
    void collectEllipses(std::vector<cv::RotatedRect>& ellipses);
    // Fits an ellipse to an N x 2 point matrix (converted in place to float) and returns the
    // mean radial distance of the points from it, pixels; -1 when the fit fails (fewer than
    // five points).
    double fitEllipse(cv::Mat& points, cv::RotatedRect& ellipse);
    // Paints the ellipses and lets OpenCV's circle-grid detector find and order the grid.
    bool organizeGrids(const std::vector<cv::RotatedRect>& ellipses, std::vector<cv::Point2f>& centers);

    EventDBSCANCircleGridLocatorConfig config;
    DBSCANBasedClusterGenerator<D, T> generator;
    uint64_t current_time = 0;

    // One point per pixel and window (2-D): a pixel that fires again before the next
    // locateGrid adds nothing, so the clustering cost follows the number of active pixels
    // rather than the event rate. One bit per sensor pixel, and the pixels set since the
    // last locateGrid so that clearing costs what was set.
    std::vector<uint64_t> pixel_taken;
    std::vector<size_t> taken_pixels;
    std::vector<Event2D> intake;
    // Scratch of locateGrid, kept between calls.
    std::vector<ClusterGeometry> clusters;
    std::vector<cv::Mat> cluster_points;
};

extern template class EventDBSCANCircleGridLocatorAlgo<2, float>;
extern template class EventDBSCANCircleGridLocatorAlgo<2, double>;
extern template class EventDBSCANCircleGridLocatorAlgo<3, float>;
extern template class EventDBSCANCircleGridLocatorAlgo<3, double>;

}  // namespace vireo
