// CalibData: what the Calibrator keeps per camera: its serial and image size, the located
// grid points of every stored frame with the caller's frame numbers, the intrinsic
// calibration with the per-frame poses of the last one, and the stereo and affine results
// towards every other camera, keyed by that camera's id.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vireo/lensfit_export.h>

namespace vireo {

struct LENSFIT_EXPORT CalibData {
    std::string camera_serial;                         // the serial given to addCamera
    cv::Size frame_size;                               // image size, pixels
    std::vector<std::vector<cv::Point2f>> grid_points; // per frame, in world-point order
    cv::Mat camera_matrix;                             // 3 x 3 double once calibrated
    cv::Mat dist_coeffs;                               // as cv::calibrateCamera gives them
    bool is_calibrated = false;
    std::vector<cv::Mat> translation_vectors;          // per frame, from the last calibration
    std::vector<cv::Mat> rotation_vectors;             // per frame (Rodrigues vectors)
    std::unordered_map<int, cv::Mat> rotation;         // stereo rotation towards camera id, 3 x 3
    std::unordered_map<int, cv::Mat> translation;      // stereo translation towards camera id, 3 x 1
    std::unordered_map<int, double> affine_scale;      // x_other = s * R * x + T
    std::unordered_map<int, cv::Mat> affine_rotation;  // R, 2 x 2
    std::unordered_map<int, cv::Mat> affine_translation;  // T, 2 x 1
    std::vector<int> frame_ids;                        // the caller's number of each stored frame

    CalibData();
    CalibData(const CalibData& other);
    CalibData(CalibData&& other) noexcept;
    CalibData& operator=(const CalibData& other);
    CalibData& operator=(CalibData&& other) noexcept;
    ~CalibData();
};

}  // namespace vireo
