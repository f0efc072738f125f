// The Calibrator collects, for any number of cameras, the image positions of a planar grid
// target seen in many frames and computes each camera's intrinsics (camera matrix and
// distortion), an outlier-pruned re-calibration, the rigid transform between two cameras
// (stereo) and a 2-D similarity between the image planes of two cameras (affine). Results
// are kept per camera in a CalibData record and saved to or loaded from a JSON result file.
//
// World points follow the locators' convention: `grid_cols` centres per row, `grid_rows`
// rows, point index r * grid_cols + c, `spacing` the distance between neighbouring centres
// along a row (the chessboard square size) in the unit of the resulting translations.
//
// Bad camera ids and missing data never throw: a one-line message goes to standard error and
// the call returns a sentinel (-1.0 from the calibrations, 0.0 from reprojection errors, 0
// from counters, false from the boolean calls). Used from one thread at a time.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>
#include <opencv2/core/mat.hpp>
#include <opencv2/core/types.hpp>

#include <vireo/CalibData.h>
#include <vireo/GridType.h>
#include <vireo/lensfit_export.h>

namespace vireo {

class LENSFIT_EXPORT Calibrator {
public:
    using CameraMap = std::unordered_map<int, CalibData>;

    // A calibrator for targets of `grid_cols` x `grid_rows` centres with `spacing` between
    // neighbours along a row. Throws std::runtime_error "Invalid grid type" for an unknown
    // type, std::invalid_argument "Calibrator: spacing must be a finite number larger than 0"
    // for a spacing that is not, and "Calibrator: grid_cols and grid_rows must be at least 2".
    Calibrator(GridType grid_type, int grid_cols, int grid_rows, float spacing);
    Calibrator(const Calibrator&) = default;
    Calibrator& operator=(const Calibrator&) = default;

    // Clears `world_points` and fills it with the target's centres, row by row (index
    // r * grid_cols + c, z = 0): SYMMETRIC_GRID (c, r) * spacing; ASYMMETRIC_GRID
    // (c + (r mod 2) / 2, r / 2) * spacing. Throws like the constructor.
    static void getGridWorldPoints(GridType grid_type, int grid_cols, int grid_rows, float spacing,
                                   std::vector<cv::Point3f>& world_points);

    // Adds a camera with the given image size and serial; returns its id. Ids are never
    // handed out twice, nor one that is already in use (loaded cameras included); -1 with a
    // message when no id is left.
    int addCamera(const cv::Size& frame_size, const std::string& serial);
    // Removes a camera; false (no message) when there is none.
    bool removeCamera(int id);
    // Drops a camera's frames, calibration and pair results; keeps its serial and size.
    bool clear(int id);
    // Stores one frame's located centres (in world-point order) under the caller's frame
    // number. Refused with a message (false) when the number of points differs from the
    // target's or a point is not finite.
    bool insertGridPoints(int id, int frame_id, const std::vector<cv::Point2f>& grid_points);
    // Number of stored frames.
    size_t getGridPatternCount(int id);

    // Intrinsic calibration on every stored frame; returns OpenCV's RMS reprojection error
    // (pixels).
    double calibrate(int id);
    // Drops frames whose RMS point error exceeds the mean by more than two standard deviations
    // and re-calibrates from the current intrinsics; returns the new RMS (pixels). Calibrates
    // first when the camera is not calibrated on its current frames.
    double refinedCalibrate(int id);
    // Rigid transform from camera a to camera b over their frames with equal frame numbers
    // (intrinsics fixed); returns the RMS (pixels). Stored in both cameras (b gets the inverse).
    double calibrateStereo(int id_a, int id_b);
    // Similarity x_b = s * R * x_a + T between the image planes over the common frames;
    // returns the RMS distance (pixels) of the mapped points. Stored in both cameras.
    double calibrateAffine(int id_a, int id_b);
    // Number of frame pairs with equal frame numbers (repeated numbers give every combination).
    size_t getCommonFrameCount(int id_a, int id_b);

    // Camera matrix and distortion (shared headers, not copies); calibrates on demand.
    bool getIntrinsics(int id, cv::Mat& camera_matrix, cv::Mat& dist_coeffs);
    // Stereo rotation (3 x 3) and translation (3 x 1) from camera a to camera b.
    bool getExtrinsics(int id_a, int id_b, cv::Mat& rotation, cv::Mat& translation);
    // Affine pair result: rotation (2 x 2), translation (2 x 1), scale.
    bool getAffineMatrix(int id_a, int id_b, cv::Mat& rotation, cv::Mat& translation, double& scale);
    // The same as one 2 x 3 float matrix [s * R | T].
    bool getAffineMatrix(int id_a, int id_b, cv::Mat& matrix);

    // RMS point error (pixels) over the frames of the last calibration.
    double getReprojectionError(int id);
    // L2 norm of the differences between `image_points` and the projection of
    // `world_points` with the given pose and intrinsics (sqrt of the sum of squared point
    // distances, pixels).
    static double getReprojectionError(const std::vector<cv::Point3f>& world_points, const cv::Mat& rvec,
                                       const cv::Mat& tvec, const cv::Mat& camera_matrix,
                                       const cv::Mat& dist_coeffs, const std::vector<cv::Point2f>& image_points);

    // Result file. Saving writes every calibrated camera; loading replaces the camera map
    // (only when the whole file could be read). Messages on standard error; see the .cpp.
    static bool saveCalibrationResultToJson(const CameraMap& cameras, const std::string& path);
    bool saveCalibrationResultToJson(const std::string& path) const;
    static bool loadCalibrationResultFromJson(CameraMap& cameras, const std::string& path);
    bool loadCalibrationResultFromJson(const std::string& path);
    // A matrix as {"rows", "cols", "type", "data"}. Throws std::runtime_error for half floats
    // ("Unsupported matrix type in mat2Json"), more than two dimensions or non-finite values.
    static nlohmann::ordered_json mat2Json(const cv::Mat& mat);
    // The matrix of such an object. Throws std::runtime_error for a type outside the
    // supported ones ("Unsupported matrix type in json2Mat"), a "data" array whose length is
    // not rows x cols x channels, a value that the type cannot hold or a non-finite value, and
    // the JSON library's errors for missing or mistyped members.
    static cv::Mat json2Mat(const nlohmann::json& value);
    // Writes the document (indent 4) to `path`, creating missing folders; never throws.
    static bool saveJsonToFile(const nlohmann::json& document, const std::string& path);
    // Reads one JSON value from `path` (text after it is not examined); never throws.
    static bool loadJsonFromFile(nlohmann::json& document, const std::string& path);

    int getGridCols() const { return grid_cols; }
    int getGridRows() const { return grid_rows; }
    float getSpacing() const { return spacing; }
    GridType getGridType() const { return grid_type; }
    const std::vector<cv::Point3f>& getWorldPoints() const { return world_points; }
    // Every camera by id, for listing what was added or loaded.
    const CameraMap& getCameras() const { return cameras; }

private:
    friend struct CalibratorTestAccess;

    // Pairs (index in a, index in b) of the frames with equal frame numbers.
    std::vector<std::pair<size_t, size_t>> findCommonFrames(int id_a, int id_b);
    // Calibrates the camera if it is not; false (with the message) when that fails.
    bool ensureCalibrated(int id, CalibData& data);
    double runCalibration(CalibData& data, int flags);

    int grid_cols;
    int grid_rows;
    float spacing;
    GridType grid_type;
    std::vector<cv::Point3f> world_points;
    CameraMap cameras;
    int next_camera_id = 0;
};

}  // namespace vireo
