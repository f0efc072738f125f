// The event circle-grid locator: intake of events into the DBSCAN cluster generator, the
// size filter and ellipse fit of every cluster, and the grid search on a synthetic image of
// the fitted ellipses, with the explicit instantiations the library exports.
#include <vireo/EventDBSCANCircleGridLocatorAlgo.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

namespace vireo {

namespace {

int checkedGridSize(int grid_cols, int grid_rows) {
    if (grid_cols < 2 || grid_rows < 2) {
        throw std::invalid_argument("EventDBSCANCircleGridLocatorAlgo: grid_cols and grid_rows must be at least 2");
    }
    return grid_cols;
}

size_t sensorPixels(const cv::Size& size) {
    if (size.width <= 0 || size.height <= 0) return 0;  // the generator refuses such a sensor
    return static_cast<size_t>(size.width) * static_cast<size_t>(size.height);
}

}  // namespace

template <int D, typename T>
EventDBSCANCircleGridLocatorAlgo<D, T>::EventDBSCANCircleGridLocatorAlgo(
    int grid_cols_, int grid_rows_, const cv::Size& sensor_size_, const EventDBSCANCircleGridLocatorConfig& config_)
    : GridLocatorAlgoBase<EventBased>(checkedGridSize(grid_cols_, grid_rows_), grid_rows_, sensor_size_),
      config(config_),
      generator(sensor_size_.width, sensor_size_.height, config_.scale_width, config_.scale_height,
                config_.scale_time, POLARITY_FREE, static_cast<size_t>(config_.max_capacity),
                static_cast<double>(config_.eps), config_.min_pts, config_.n_jobs) {
    if constexpr (D == 2) pixel_taken.assign((sensorPixels(sensor_size) + 63) / 64, 0);
}

template <int D, typename T>
EventDBSCANCircleGridLocatorAlgo<D, T>::~EventDBSCANCircleGridLocatorAlgo() = default;

template <int D, typename T>
void EventDBSCANCircleGridLocatorAlgo<D, T>::processEventsImpl(const Event2D* begin, const Event2D* end) {
    if (begin == nullptr || end <= begin) return;
    if constexpr (D == 2) {
        // A pixel counts once per window: repeated events of one pixel add no information on
        // where the circle outlines are, only clustering work.
        intake.clear();
        const auto width = static_cast<uint32_t>(sensor_size.width);
        const auto height = static_cast<uint32_t>(sensor_size.height);
        for (const Event2D* e = begin; e != end; ++e) {
            if (e->x < width && e->y < height) {
                const size_t pixel = static_cast<size_t>(e->y) * width + e->x;
                uint64_t& word = pixel_taken[pixel >> 6];
                const uint64_t bit = uint64_t{1} << (pixel & 63);
                if (word & bit) continue;
                word |= bit;
                taken_pixels.push_back(pixel);
            }
            // Events outside the sensor go to the generator unchanged; their clusters are
            // clipped to the sensor there.
            intake.push_back(*e);
        }
        generator.addEvents(intake.data(), intake.data() + intake.size());
    } else {
        generator.addEvents(begin, end);
    }
    current_time = (end - 1)->timestamp;
}

template <int D, typename T>
bool EventDBSCANCircleGridLocatorAlgo<D, T>::locateGrid(std::vector<cv::Point2f>& centers) {
    std::vector<cv::RotatedRect> ellipses;
    collectEllipses(ellipses);
    // Clusters in (x, y, t) are not circle outlines in the image: nothing is searched.
    if constexpr (D == 3) return false;
    if (static_cast<int64_t>(ellipses.size()) < static_cast<int64_t>(grid_cols) * grid_rows) return false;
    return organizeGrids(ellipses, centers);
}

template <int D, typename T>
void EventDBSCANCircleGridLocatorAlgo<D, T>::collectEllipses(std::vector<cv::RotatedRect>& ellipses) {
    ellipses.clear();
    generator.generateClusters(current_time, clusters);
    cluster_points.clear();
    generator.getClusterPoints(cluster_points, true);
    for (size_t pixel : taken_pixels) pixel_taken[pixel >> 6] = 0;
    taken_pixels.clear();
    if constexpr (D == 3) return;
    // A circle of the grid cannot be larger than the sensor divided by the grid size; the
    // width is bounded by the row count and the height by the column count, which leaves
    // room for a target seen turned by a quarter.
    const auto max_width = static_cast<float>(sensor_size.width / grid_rows);
    const auto max_height = static_cast<float>(sensor_size.height / grid_cols);
    const size_t count = std::min(clusters.size(), cluster_points.size());
    for (size_t i = 0; i < count; ++i) {
        if (clusters[i].width > max_width || clusters[i].height > max_height) continue;
        cv::RotatedRect ellipse;
        const double error = fitEllipse(cluster_points[i], ellipse);
        if (error > 0.0 && error < static_cast<double>(config.fit_error_threshold)) ellipses.push_back(ellipse);
    }
}

template <int D, typename T>
double EventDBSCANCircleGridLocatorAlgo<D, T>::fitEllipse(cv::Mat& points, cv::RotatedRect& ellipse) {
    try {
        points.convertTo(points, CV_32F);
        ellipse = cv::fitEllipseAMS(points);
        const float a = ellipse.size.width * 0.5f;
        const float b = ellipse.size.height * 0.5f;
        const double theta0 = static_cast<double>(ellipse.angle) * CV_PI / 180.0;
        double sum = 0.0;
        for (int r = 0; r < points.rows; ++r) {
            const float* p = points.ptr<float>(r);
            const float dx = p[0] - ellipse.center.x;
            const float dy = p[1] - ellipse.center.y;
            const double phi = std::atan2(static_cast<double>(dy), static_cast<double>(dx)) - theta0;
            const double d = std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy);
            const double bc = b * std::cos(phi);
            const double as = a * std::sin(phi);
            const double radius = static_cast<double>(a) * b / std::sqrt(bc * bc + as * as);
            sum += std::abs(d - radius);
        }
        return sum / points.rows;
    } catch (const std::exception&) {
        // OpenCV refuses fewer than five points.
        return -1.0;
    }
}

template <int D, typename T>
bool EventDBSCANCircleGridLocatorAlgo<D, T>::organizeGrids(const std::vector<cv::RotatedRect>& ellipses,
                                                           std::vector<cv::Point2f>& centers) {
    cv::Mat image(sensor_size.height, sensor_size.width, CV_8UC1, cv::Scalar(255));
    for (const cv::RotatedRect& ellipse : ellipses) cv::ellipse(image, ellipse, cv::Scalar(0), -1, cv::LINE_8);

    // The image is black on white only, so every threshold level of the blob detector sees
    // the same blobs: one level gives the default detector's result at a fraction of its
    // cost. The area limit admits every ellipse that the size filter above lets through.
    cv::SimpleBlobDetector::Params params;
    params.minThreshold = 127.0f;
    params.maxThreshold = 128.0f;
    params.thresholdStep = 10.0f;
    params.minRepeatability = 1;
    const float largest = static_cast<float>(sensor_size.width / grid_rows) *
                          static_cast<float>(sensor_size.height / grid_cols);
    params.maxArea = std::max(params.maxArea, largest);
    cv::Ptr<cv::FeatureDetector> detector = cv::SimpleBlobDetector::create(params);

    // Pattern (circles per row, rows) for both kinds: OpenCV orders the centres row by row.
    std::vector<cv::Point2f> found;
    const int flags = config.is_asymmetric ? cv::CALIB_CB_ASYMMETRIC_GRID : cv::CALIB_CB_SYMMETRIC_GRID;
    if (!cv::findCirclesGrid(image, cv::Size(grid_cols, grid_rows), found, flags, detector)) return false;
    centers = std::move(found);
    return true;
}

template class EventDBSCANCircleGridLocatorAlgo<2, float>;
template class EventDBSCANCircleGridLocatorAlgo<2, double>;
template class EventDBSCANCircleGridLocatorAlgo<3, float>;
template class EventDBSCANCircleGridLocatorAlgo<3, double>;

}  // namespace vireo
