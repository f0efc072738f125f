// Reaches into a Calibrator's camera map for tests that need a calibrated camera without
// running a calibration, the way a loaded result file provides one.
#pragma once

#include <opencv2/core.hpp>

#include <vireo/Calibrator.h>

namespace vireo {

struct CalibratorTestAccess {
    static CalibData& camera(Calibrator& calibrator, int id) { return calibrator.cameras.at(id); }

    // Marks a camera calibrated with a plain camera matrix and no distortion.
    static void markCalibrated(Calibrator& calibrator, int id) {
        CalibData& data = camera(calibrator, id);
        data.is_calibrated = true;
        data.camera_matrix = cv::Mat::eye(3, 3, CV_64F);
        data.dist_coeffs = cv::Mat::zeros(1, 5, CV_64F);
    }
};

}  // namespace vireo
