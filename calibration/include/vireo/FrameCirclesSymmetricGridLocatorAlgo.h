// Symmetric circle-grid locator for ordinary frames: OpenCV's circle-grid detector with its
// default blob detector on each frame, the circle centres handed out row by row.
#pragma once

#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vireo/GridLocatorAlgoBase.h>
#include <vireo/lensfit_export.h>

namespace vireo {

class LENSFIT_EXPORT FrameCirclesSymmetricGridLocatorAlgo : public GridLocatorAlgoBase<FrameBased> {
public:
    // A rectangular grid of `grid_cols` circles per row and `grid_rows` rows. `sensor_size`
    // is stored, not used.
    FrameCirclesSymmetricGridLocatorAlgo(int grid_cols, int grid_rows, const cv::Size& sensor_size);
    FrameCirclesSymmetricGridLocatorAlgo(const FrameCirclesSymmetricGridLocatorAlgo& other);
    FrameCirclesSymmetricGridLocatorAlgo& operator=(const FrameCirclesSymmetricGridLocatorAlgo& other);
    ~FrameCirclesSymmetricGridLocatorAlgo() override;

    // The centres found in the last frame (pixels, row by row) and true; false with `centers`
    // emptied when the last frame held no complete grid or no frame was fed. Repeatable:
    // nothing is consumed.
    bool locateGrid(std::vector<cv::Point2f>& centers) override;

private:
    void processFrameImpl(const cv::Mat& frame) override;

    bool found = false;
    std::vector<cv::Point2f> points;
};

}  // namespace vireo
