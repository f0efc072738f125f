// Chessboard locator for ordinary frames: OpenCV's chessboard detector on each frame, the
// inner corners handed out row by row.
#pragma once

#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vireo/GridLocatorAlgoBase.h>
#include <vireo/lensfit_export.h>

namespace vireo {

class LENSFIT_EXPORT FrameChessboardGridLocatorAlgo : public GridLocatorAlgoBase<FrameBased> {
public:
    // A board of `grid_cols` inner corners per row and `grid_rows` rows of inner corners
    // (a 9 x 6 board has 10 x 7 squares). `sensor_size` is stored, not used.
    FrameChessboardGridLocatorAlgo(int grid_cols, int grid_rows, const cv::Size& sensor_size);
    FrameChessboardGridLocatorAlgo(const FrameChessboardGridLocatorAlgo& other);
    FrameChessboardGridLocatorAlgo& operator=(const FrameChessboardGridLocatorAlgo& other);
    ~FrameChessboardGridLocatorAlgo() override;

    // The corners found in the last frame (pixels, row by row) and true; false with `centers`
    // emptied when the last frame held no complete board or no frame was fed. Repeatable:
    // nothing is consumed.
    bool locateGrid(std::vector<cv::Point2f>& centers) override;

private:
    void processFrameImpl(const cv::Mat& frame) override;

    bool found = false;
    std::vector<cv::Point2f> points;
};

}  // namespace vireo
