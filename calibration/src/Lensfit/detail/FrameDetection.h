// The detector calls the frame locators share: the circle-grid search of both circle
// locators (they differ only in the flag) and the read-out common to all three.
#pragma once

#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

namespace vireo::detail {

// OpenCV's circle-grid detector with a default blob detector, pattern (grid_cols per row,
// grid_rows rows). An empty frame finds nothing.
bool findCircleGridInFrame(const cv::Mat& frame, int grid_cols, int grid_rows, int flags,
                           std::vector<cv::Point2f>& points);

// locateGrid of every frame locator: clears `out`, then copies the stored points when the
// last frame held a grid.
inline bool copyFoundPoints(bool found, const std::vector<cv::Point2f>& points, std::vector<cv::Point2f>& out) {
    out.clear();
    if (!found) return false;
    out = points;
    return true;
}

}  // namespace vireo::detail
