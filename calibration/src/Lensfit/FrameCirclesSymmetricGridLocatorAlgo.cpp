// Symmetric circle-grid locator: OpenCV's circle-grid detector with a default blob detector
// and the symmetric grid flag.
#include <vireo/FrameCirclesSymmetricGridLocatorAlgo.h>

#include <opencv2/calib3d.hpp>

#include "detail/FrameDetection.h"

namespace vireo {

FrameCirclesSymmetricGridLocatorAlgo::FrameCirclesSymmetricGridLocatorAlgo(int grid_cols_, int grid_rows_,
                                                                     const cv::Size& sensor_size_)
    : GridLocatorAlgoBase<FrameBased>(grid_cols_, grid_rows_, sensor_size_) {}
FrameCirclesSymmetricGridLocatorAlgo::FrameCirclesSymmetricGridLocatorAlgo(
    const FrameCirclesSymmetricGridLocatorAlgo& other) = default;
FrameCirclesSymmetricGridLocatorAlgo& FrameCirclesSymmetricGridLocatorAlgo::operator=(
    const FrameCirclesSymmetricGridLocatorAlgo& other) = default;
FrameCirclesSymmetricGridLocatorAlgo::~FrameCirclesSymmetricGridLocatorAlgo() = default;

bool FrameCirclesSymmetricGridLocatorAlgo::locateGrid(std::vector<cv::Point2f>& centers) {
    return detail::copyFoundPoints(found, points, centers);
}

void FrameCirclesSymmetricGridLocatorAlgo::processFrameImpl(const cv::Mat& frame) {
    found = detail::findCircleGridInFrame(frame, grid_cols, grid_rows, cv::CALIB_CB_SYMMETRIC_GRID, points);
}

}  // namespace vireo
