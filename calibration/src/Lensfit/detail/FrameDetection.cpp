// The circle-grid search shared by the symmetric and asymmetric frame locators.
#include "FrameDetection.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>

namespace vireo::detail {

bool findCircleGridInFrame(const cv::Mat& frame, int grid_cols, int grid_rows, int flags,
                           std::vector<cv::Point2f>& points) {
    points.clear();
    // OpenCV asserts on an empty image; a missing frame simply holds no grid.
    if (frame.empty()) return false;
    cv::Ptr<cv::FeatureDetector> detector = cv::SimpleBlobDetector::create(cv::SimpleBlobDetector::Params());
    const bool found = cv::findCirclesGrid(frame, cv::Size(grid_cols, grid_rows), points, flags, detector);
    if (!found) points.clear();
    return found;
}

}  // namespace vireo::detail
