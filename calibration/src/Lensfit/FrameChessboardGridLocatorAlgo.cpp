// Chessboard locator: OpenCV's chessboard detector with adaptive thresholding and the fast
// check, the corners used as the detector gives them.
#include <vireo/FrameChessboardGridLocatorAlgo.h>

#include <opencv2/calib3d.hpp>

#include "detail/FrameDetection.h"

namespace vireo {

FrameChessboardGridLocatorAlgo::FrameChessboardGridLocatorAlgo(int grid_cols_, int grid_rows_,
                                                               const cv::Size& sensor_size_)
    : GridLocatorAlgoBase<FrameBased>(grid_cols_, grid_rows_, sensor_size_) {}
FrameChessboardGridLocatorAlgo::FrameChessboardGridLocatorAlgo(const FrameChessboardGridLocatorAlgo& other) = default;
FrameChessboardGridLocatorAlgo& FrameChessboardGridLocatorAlgo::operator=(const FrameChessboardGridLocatorAlgo& other) =
    default;
FrameChessboardGridLocatorAlgo::~FrameChessboardGridLocatorAlgo() = default;

bool FrameChessboardGridLocatorAlgo::locateGrid(std::vector<cv::Point2f>& centers) {
    return detail::copyFoundPoints(found, points, centers);
}

void FrameChessboardGridLocatorAlgo::processFrameImpl(const cv::Mat& frame) {
    points.clear();
    if (frame.empty()) {
        found = false;
        return;
    }
    found = cv::findChessboardCorners(frame, cv::Size(grid_cols, grid_rows), points,
                                      cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_FAST_CHECK);
    if (!found) points.clear();
}

}  // namespace vireo
