// The Calibrator's bookkeeping and calibrations: world points, cameras and their frames,
// intrinsic calibration with the outlier rule, stereo and affine pairs, and the error
// measures. The result file is in CalibratorResultFile.cpp.
#include <vireo/Calibrator.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "detail/OutlierRule.h"

namespace vireo {

namespace {

std::string idText(int id) { return std::to_string(id); }

void report(const std::string& message) { std::cerr << message << '\n'; }

void reportNotFound(int id) { report("Camera " + idText(id) + " not found"); }

void reportPairNotFound(int a, int b) { report("Camera " + idText(a) + " or " + idText(b) + " not found"); }

bool isFinite(const cv::Point2f& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

const cv::TermCriteria kCalibrationCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, DBL_EPSILON);
const cv::TermCriteria kStereoCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 30, 1e-6);

}  // namespace

Calibrator::Calibrator(GridType grid_type_, int grid_cols_, int grid_rows_, float spacing_)
    : grid_cols(grid_cols_), grid_rows(grid_rows_), spacing(spacing_), grid_type(grid_type_) {
    getGridWorldPoints(grid_type, grid_cols, grid_rows, spacing, world_points);
}

void Calibrator::getGridWorldPoints(GridType grid_type, int grid_cols, int grid_rows, float spacing,
                                    std::vector<cv::Point3f>& world_points) {
    world_points.clear();
    if (grid_type != SYMMETRIC_GRID && grid_type != ASYMMETRIC_GRID) throw std::runtime_error("Invalid grid type");
    if (!(spacing > 0.0f) || !std::isfinite(spacing)) {
        throw std::invalid_argument("Calibrator: spacing must be a finite number larger than 0");
    }
    // Fewer than two rows or columns put every point on one line, which no view can calibrate.
    if (grid_cols < 2 || grid_rows < 2) {
        throw std::invalid_argument("Calibrator: grid_cols and grid_rows must be at least 2");
    }
    world_points.reserve(static_cast<size_t>(grid_cols) * static_cast<size_t>(grid_rows));
    // Row by row, as every locator delivers the centres.
    for (int r = 0; r < grid_rows; ++r) {
        for (int c = 0; c < grid_cols; ++c) {
            if (grid_type == SYMMETRIC_GRID) {
                world_points.emplace_back(static_cast<float>(c) * spacing, static_cast<float>(r) * spacing, 0.0f);
            } else {
                // Rows half a pitch apart, odd rows shifted by half a pitch along the row: the
                // target OpenCV's asymmetric detector finds.
                const float half = spacing * 0.5f;
                world_points.emplace_back(static_cast<float>(2 * c + r % 2) * half, static_cast<float>(r) * half, 0.0f);
            }
        }
    }
}

int Calibrator::addCamera(const cv::Size& frame_size, const std::string& serial) {
    // Ids only grow, and an id that a loaded file brought in is skipped.
    while (next_camera_id != INT_MAX && cameras.count(next_camera_id) != 0) ++next_camera_id;
    if (next_camera_id == INT_MAX && cameras.count(next_camera_id) != 0) {
        report("Calibrator: no camera id left");
        return -1;
    }
    const int id = next_camera_id;
    CalibData data;
    data.frame_size = frame_size;
    data.camera_serial = serial;
    cameras.emplace(id, std::move(data));
    if (next_camera_id != INT_MAX) ++next_camera_id;
    return id;
}

bool Calibrator::removeCamera(int id) { return cameras.erase(id) != 0; }

bool Calibrator::clear(int id) {
    const auto it = cameras.find(id);
    if (it == cameras.end()) {
        reportNotFound(id);
        return false;
    }
    CalibData& data = it->second;
    data.grid_points.clear();
    data.frame_ids.clear();
    data.translation_vectors.clear();
    data.rotation_vectors.clear();
    data.rotation.clear();
    data.translation.clear();
    data.affine_scale.clear();
    data.affine_rotation.clear();
    data.affine_translation.clear();
    data.camera_matrix = cv::Mat();
    data.dist_coeffs = cv::Mat();
    data.is_calibrated = false;
    return true;
}

bool Calibrator::insertGridPoints(int id, int frame_id, const std::vector<cv::Point2f>& grid_points) {
    const auto it = cameras.find(id);
    if (it == cameras.end()) {
        reportNotFound(id);
        return false;
    }
    // A frame that does not pair with the world points would make every later calibration
    // of this camera fail, so it is refused here.
    if (grid_points.size() != world_points.size()) {
        report("Camera " + idText(id) + " frame " + idText(frame_id) + ": " + std::to_string(grid_points.size()) +
               " grid points given, " + std::to_string(world_points.size()) + " expected");
        return false;
    }
    if (!std::all_of(grid_points.begin(), grid_points.end(), isFinite)) {
        report("Camera " + idText(id) + " frame " + idText(frame_id) + ": grid points must be finite");
        return false;
    }
    it->second.grid_points.push_back(grid_points);
    it->second.frame_ids.push_back(frame_id);
    return true;
}

size_t Calibrator::getGridPatternCount(int id) {
    const auto it = cameras.find(id);
    if (it == cameras.end()) {
        reportNotFound(id);
        return 0;
    }
    return it->second.grid_points.size();
}

double Calibrator::runCalibration(CalibData& data, int flags) {
    const std::vector<std::vector<cv::Point3f>> object_points(data.grid_points.size(), world_points);
    const double rms = cv::calibrateCamera(object_points, data.grid_points, data.frame_size, data.camera_matrix,
                                           data.dist_coeffs, data.rotation_vectors, data.translation_vectors, flags,
                                           kCalibrationCriteria);
    data.is_calibrated = true;
    return rms;
}

double Calibrator::calibrate(int id) {
    const auto it = cameras.find(id);
    if (it == cameras.end()) {
        reportNotFound(id);
        return -1.0;
    }
    if (it->second.grid_points.empty()) {
        report("No grid points found for camera " + idText(id));
        return -1.0;
    }
    return runCalibration(it->second, 0);
}

bool Calibrator::ensureCalibrated(int id, CalibData& data) {
    if (data.is_calibrated) return true;
    if (calibrate(id) < 0.0) {
        report("Camera " + idText(id) + " could not be calibrated");
        return false;
    }
    return data.is_calibrated;
}

double Calibrator::getReprojectionError(const std::vector<cv::Point3f>& world, const cv::Mat& rvec,
                                        const cv::Mat& tvec, const cv::Mat& camera_matrix, const cv::Mat& dist_coeffs,
                                        const std::vector<cv::Point2f>& image_points) {
    std::vector<cv::Point2f> projected;
    cv::projectPoints(world, rvec, tvec, camera_matrix, dist_coeffs, projected, cv::noArray(), 0.0);
    return cv::norm(image_points, projected, cv::NORM_L2);
}

double Calibrator::getReprojectionError(int id) {
    const auto it = cameras.find(id);
    if (it == cameras.end()) {
        reportNotFound(id);
        return 0.0;
    }
    const CalibData& data = it->second;
    if (!data.is_calibrated) {
        report("Camera " + idText(id) + " is not calibrated");
        return 0.0;
    }
    // Only the frames of the last calibration have poses: frames inserted since, or a camera
    // loaded from a result file, have none.
    const size_t frames = std::min({data.grid_points.size(), data.rotation_vectors.size(),
                                    data.translation_vectors.size()});
    double total = 0.0;
    size_t count = 0;
    for (size_t f = 0; f < frames; ++f) {
        const double error = getReprojectionError(world_points, data.rotation_vectors[f], data.translation_vectors[f],
                                                  data.camera_matrix, data.dist_coeffs, data.grid_points[f]);
        total += error * error;
        count += data.grid_points[f].size();
    }
    if (count == 0) {
        report("No grid points found for camera " + idText(id));
        return 0.0;
    }
    return std::sqrt(total / static_cast<double>(count));
}

double Calibrator::refinedCalibrate(int id) {
    const auto it = cameras.find(id);
    if (it == cameras.end()) {
        reportNotFound(id);
        return 0.0;
    }
    CalibData& data = it->second;
    // The rule needs the pose of every stored frame: calibrate again when frames were added
    // after the last calibration or the intrinsics came from a result file.
    const bool poses_current = data.is_calibrated && data.rotation_vectors.size() == data.grid_points.size() &&
                               data.translation_vectors.size() == data.grid_points.size();
    if (!poses_current && calibrate(id) < 0.0) {
        report("Camera " + idText(id) + " could not be calibrated");
        return -1.0;
    }

    std::vector<double> errors;
    errors.reserve(data.grid_points.size());
    for (size_t f = 0; f < data.grid_points.size(); ++f) {
        const double error = getReprojectionError(world_points, data.rotation_vectors[f], data.translation_vectors[f],
                                                  data.camera_matrix, data.dist_coeffs, data.grid_points[f]);
        errors.push_back(error / std::sqrt(static_cast<double>(data.grid_points[f].size())));
    }
    for (size_t f : detail::outlierFrames(errors)) {
        const auto at = static_cast<std::ptrdiff_t>(f);
        data.grid_points.erase(data.grid_points.begin() + at);
        data.frame_ids.erase(data.frame_ids.begin() + at);
        data.rotation_vectors.erase(data.rotation_vectors.begin() + at);
        data.translation_vectors.erase(data.translation_vectors.begin() + at);
    }
    if (data.grid_points.size() < 3) {
        report("Not enough valid frames left for camera " + idText(id));
        return -1.0;
    }
    return runCalibration(data, cv::CALIB_USE_INTRINSIC_GUESS);
}

std::vector<std::pair<size_t, size_t>> Calibrator::findCommonFrames(int id_a, int id_b) {
    std::vector<std::pair<size_t, size_t>> pairs;
    const auto a = cameras.find(id_a);
    const auto b = cameras.find(id_b);
    if (a == cameras.end() || b == cameras.end()) return pairs;
    const std::vector<int>& ids_a = a->second.frame_ids;
    const std::vector<int>& ids_b = b->second.frame_ids;
    for (size_t i = 0; i < ids_a.size(); ++i) {
        for (size_t k = 0; k < ids_b.size(); ++k) {
            if (ids_a[i] == ids_b[k]) pairs.emplace_back(i, k);
        }
    }
    return pairs;
}

size_t Calibrator::getCommonFrameCount(int id_a, int id_b) {
    if (cameras.count(id_a) == 0 || cameras.count(id_b) == 0) {
        reportPairNotFound(id_a, id_b);
        return 0;
    }
    return findCommonFrames(id_a, id_b).size();
}

double Calibrator::calibrateStereo(int id_a, int id_b) {
    const auto a_it = cameras.find(id_a);
    const auto b_it = cameras.find(id_b);
    if (a_it == cameras.end() || b_it == cameras.end()) {
        reportPairNotFound(id_a, id_b);
        return -1.0;
    }
    CalibData& a = a_it->second;
    CalibData& b = b_it->second;
    if (a.frame_size.width != b.frame_size.width || a.frame_size.height != b.frame_size.height) {
        report("Camera " + idText(id_a) + " and " + idText(id_b) +
               " have different frame sizes, so could not be calibrated as a stereo pair");
        return -1.0;
    }
    if (!ensureCalibrated(id_a, a) || !ensureCalibrated(id_b, b)) return -1.0;
    const auto pairs = findCommonFrames(id_a, id_b);
    if (pairs.empty()) {
        report("No common frames found between camera " + idText(id_a) + " and " + idText(id_b));
        return -1.0;
    }
    std::vector<std::vector<cv::Point3f>> object_points;
    std::vector<std::vector<cv::Point2f>> points_a, points_b;
    for (const auto& [i, k] : pairs) {
        object_points.push_back(world_points);
        points_a.push_back(a.grid_points[i]);
        points_b.push_back(b.grid_points[k]);
    }
    cv::Mat rotation, translation, essential, fundamental;
    const double rms = cv::stereoCalibrate(object_points, points_a, points_b, a.camera_matrix, a.dist_coeffs,
                                           b.camera_matrix, b.dist_coeffs, a.frame_size, rotation, translation,
                                           essential, fundamental, cv::CALIB_FIX_INTRINSIC, kStereoCriteria);
    const cv::Mat rotation_back = rotation.t();
    a.rotation[id_b] = rotation;
    a.translation[id_b] = translation;
    b.rotation[id_a] = rotation_back;
    b.translation[id_a] = -rotation_back * translation;
    return rms;
}

double Calibrator::calibrateAffine(int id_a, int id_b) {
    const auto a_it = cameras.find(id_a);
    const auto b_it = cameras.find(id_b);
    if (a_it == cameras.end() || b_it == cameras.end()) {
        reportPairNotFound(id_a, id_b);
        return -1.0;
    }
    CalibData& a = a_it->second;
    CalibData& b = b_it->second;
    if (!ensureCalibrated(id_a, a) || !ensureCalibrated(id_b, b)) return -1.0;
    const auto pairs = findCommonFrames(id_a, id_b);
    if (pairs.empty()) {
        report("No common frames found between camera " + idText(id_a) + " and " + idText(id_b));
        return -1.0;
    }
    std::vector<cv::Point2f> from, to;
    for (const auto& [i, k] : pairs) {
        from.insert(from.end(), a.grid_points[i].begin(), a.grid_points[i].end());
        to.insert(to.end(), b.grid_points[k].begin(), b.grid_points[k].end());
    }
    const cv::Mat model = cv::estimateAffinePartial2D(from, to, cv::noArray(), cv::RANSAC, 3.0, 2000, 0.99, 10);
    double scale = 1.0;
    cv::Mat rotation = cv::Mat::eye(2, 2, CV_64F);
    cv::Mat translation = cv::Mat::zeros(2, 1, CV_64F);
    if (!model.empty()) {
        cv::Mat m;
        model.convertTo(m, CV_64F);
        scale = std::sqrt(m.at<double>(0, 0) * m.at<double>(0, 0) + m.at<double>(0, 1) * m.at<double>(0, 1));
        rotation = m(cv::Rect(0, 0, 2, 2)) / scale;
        translation = m(cv::Rect(2, 0, 1, 2)).clone();
    }
    const double scale_back = 1.0 / (scale + 1e-7);
    const cv::Mat rotation_back = rotation.t();
    a.affine_rotation[id_b] = rotation;
    a.affine_translation[id_b] = translation;
    a.affine_scale[id_b] = scale;
    b.affine_rotation[id_a] = rotation_back;
    b.affine_translation[id_a] = -scale_back * rotation_back * translation;
    b.affine_scale[id_a] = scale_back;

    // RMS distance of the mapped points from their partners, pixels.
    const double r00 = rotation.at<double>(0, 0), r01 = rotation.at<double>(0, 1);
    const double r10 = rotation.at<double>(1, 0), r11 = rotation.at<double>(1, 1);
    const double tx = translation.at<double>(0), ty = translation.at<double>(1);
    double sum = 0.0;
    for (size_t i = 0; i < from.size(); ++i) {
        const double x = from[i].x, y = from[i].y;
        const auto qx = static_cast<float>(scale * (r00 * x + r01 * y) + tx);
        const auto qy = static_cast<float>(scale * (r10 * x + r11 * y) + ty);
        const float dx = qx - to[i].x, dy = qy - to[i].y;
        sum += static_cast<double>(dx) * dx + static_cast<double>(dy) * dy;
    }
    return from.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(from.size()));
}

bool Calibrator::getIntrinsics(int id, cv::Mat& camera_matrix, cv::Mat& dist_coeffs) {
    const auto it = cameras.find(id);
    if (it == cameras.end()) {
        reportNotFound(id);
        return false;
    }
    if (!ensureCalibrated(id, it->second)) return false;
    camera_matrix = it->second.camera_matrix;
    dist_coeffs = it->second.dist_coeffs;
    return true;
}

namespace {

// The checks getExtrinsics and both getAffineMatrix share; the pair map decides which pair
// result is looked for.
template <typename Lookup>
const CalibData* pairResult(const Calibrator::CameraMap& cameras, int id_a, int id_b, Lookup has_entry) {
    const auto a = cameras.find(id_a);
    const auto b = cameras.find(id_b);
    if (a == cameras.end() || b == cameras.end()) {
        reportPairNotFound(id_a, id_b);
        return nullptr;
    }
    if (!a->second.is_calibrated || !b->second.is_calibrated) {
        report("Camera " + idText(id_a) + " or " + idText(id_b) + " is not calibrated");
        return nullptr;
    }
    if (!has_entry(a->second)) {
        report("Camera pair (" + idText(id_a) + ", " + idText(id_b) + ") is not calibrated as a stereo pair");
        return nullptr;
    }
    return &a->second;
}

}  // namespace

bool Calibrator::getExtrinsics(int id_a, int id_b, cv::Mat& rotation, cv::Mat& translation) {
    const CalibData* a = pairResult(cameras, id_a, id_b, [id_b](const CalibData& data) {
        const auto it = data.rotation.find(id_b);
        return it != data.rotation.end() && !it->second.empty();
    });
    if (a == nullptr) return false;
    rotation = a->rotation.at(id_b);
    translation = a->translation.count(id_b) != 0 ? a->translation.at(id_b) : cv::Mat();
    return true;
}

bool Calibrator::getAffineMatrix(int id_a, int id_b, cv::Mat& rotation, cv::Mat& translation, double& scale) {
    const CalibData* a = pairResult(cameras, id_a, id_b, [id_b](const CalibData& data) {
        const auto it = data.affine_rotation.find(id_b);
        return it != data.affine_rotation.end() && !it->second.empty() && data.affine_translation.count(id_b) != 0 &&
               data.affine_scale.count(id_b) != 0;
    });
    if (a == nullptr) return false;
    rotation = a->affine_rotation.at(id_b);
    translation = a->affine_translation.at(id_b);
    scale = a->affine_scale.at(id_b);
    return true;
}

bool Calibrator::getAffineMatrix(int id_a, int id_b, cv::Mat& matrix) {
    cv::Mat stored_rotation, stored_translation, rotation, translation;
    double scale = 1.0;
    if (!getAffineMatrix(id_a, id_b, stored_rotation, stored_translation, scale)) return false;
    // Loaded results may carry another element type; their shapes are checked on loading.
    stored_rotation.convertTo(rotation, CV_64F);
    stored_translation.convertTo(translation, CV_64F);
    cv::Mat m(2, 3, CV_32F);
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 2; ++c) m.at<float>(r, c) = static_cast<float>(scale * rotation.at<double>(r, c));
        m.at<float>(r, 2) = static_cast<float>(translation.at<double>(r));
    }
    matrix = m;
    return true;
}

}  // namespace vireo
