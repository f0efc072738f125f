// Asymmetric circle-grid locator: OpenCV's circle-grid detector with a default blob detector
// and the asymmetric grid flag.
#include <vireo/FrameCirclesAsymmetricGridLocatorAlgo.h>

#include <opencv2/calib3d.hpp>

#include "detail/FrameDetection.h"

namespace vireo {

FrameCirclesAsymmetricGridLocatorAlgo::FrameCirclesAsymmetricGridLocatorAlgo(int grid_cols_, int grid_rows_,
                                                                     const cv::Size& sensor_size_)
    : GridLocatorAlgoBase<FrameBased>(grid_cols_, grid_rows_, sensor_size_) {}
FrameCirclesAsymmetricGridLocatorAlgo::FrameCirclesAsymmetricGridLocatorAlgo(
    const FrameCirclesAsymmetricGridLocatorAlgo& other) = default;
FrameCirclesAsymmetricGridLocatorAlgo& FrameCirclesAsymmetricGridLocatorAlgo::operator=(
    const FrameCirclesAsymmetricGridLocatorAlgo& other) = default;
FrameCirclesAsymmetricGridLocatorAlgo::~FrameCirclesAsymmetricGridLocatorAlgo() = default;

bool FrameCirclesAsymmetricGridLocatorAlgo::locateGrid(std::vector<cv::Point2f>& centers) {
    return detail::copyFoundPoints(found, points, centers);
}

void FrameCirclesAsymmetricGridLocatorAlgo::processFrameImpl(const cv::Mat& frame) {
    found = detail::findCircleGridInFrame(frame, grid_cols, grid_rows, cv::CALIB_CB_ASYMMETRIC_GRID, points);
}

}  // namespace vireo
