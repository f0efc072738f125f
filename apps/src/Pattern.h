// A printable circle-grid target in the grid convention of docs/calibration.md: centre (c, r)
// of a symmetric grid at (c, r) * spacing, of an asymmetric grid at (c + (r mod 2) / 2, r / 2)
// * spacing, numbered row by row from the top left, with a white margin of one spacing
// around the outermost circles.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include "CalibrationRun.h"

namespace vireo::app {

struct PatternLayout {
    double width_mm = 0;
    double height_mm = 0;
    double diameter_mm = 0;              // of every circle
    std::vector<cv::Point2d> centres_mm; // from the sheet's top-left corner, in numbering order
};

// The layout of `target` (spacing in millimetres): circles half a spacing across on a
// symmetric grid, 0.35 spacing on an asymmetric one (whose nearest centres are 0.71 spacing
// apart), and a margin of one spacing.
PatternLayout patternLayout(const TargetGrid& target);

// The sheet as an SVG document in millimetre units, with a one-line caption in the bottom
// margin that names the target and where centre 0 is.
std::string patternSvg(const TargetGrid& target);

// The sheet as an 8-bit grey image at `dpi` pixels per inch (black circles on white).
cv::Mat patternImage(const TargetGrid& target, double dpi);

}  // namespace vireo::app
