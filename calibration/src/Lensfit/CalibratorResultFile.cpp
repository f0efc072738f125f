// The calibration result file: one JSON object per calibrated camera (serial, image size,
// intrinsics and every pair result), matrices as {"cols", "data", "rows", "type"} objects,
// written with an indent of 4. Loading reads the whole file into a new camera map and only
// then replaces the caller's, so that a damaged file leaves the calibrator as it was.
#include <vireo/Calibrator.h>

#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace vireo {

namespace {

using Json = nlohmann::json;

void report(const std::string& message) { std::cerr << message << '\n'; }

// An integer member of `object` within [low, high]. A member that is not a number raises the
// JSON library's type error; a fraction or a value out of range is refused here.
int64_t readInteger(const Json& object, const char* key, int64_t low, int64_t high, const std::string& context) {
    const Json& value = object.at(key);
    if (value.is_number() && !value.is_number_integer()) {
        throw std::runtime_error(context + ": \"" + key + "\" must be an integer");
    }
    int64_t result = 0;
    if (value.is_number_unsigned()) {
        const auto u = value.get<uint64_t>();
        if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            throw std::runtime_error(context + ": \"" + key + "\" is out of range");
        }
        result = static_cast<int64_t>(u);
    } else {
        result = value.get<int64_t>();
    }
    if (result < low || result > high) throw std::runtime_error(context + ": \"" + key + "\" is out of range");
    return result;
}

// A camera id key: decimal text as std::to_string writes it. Other text raises std::stoi's
// errors, or std::invalid_argument when only a prefix is a number ("12abc", "05").
int parseId(const std::string& key) {
    const int id = std::stoi(key);
    if (std::to_string(id) != key) {
        throw std::invalid_argument("Calibrator: \"" + key + "\" is not a decimal camera id");
    }
    return id;
}

template <typename T>
void appendElements(const cv::Mat& mat, nlohmann::ordered_json& data) {
    const int values_per_row = mat.cols * mat.channels();
    for (int r = 0; r < mat.rows; ++r) {
        const T* row = mat.ptr<T>(r);
        for (int i = 0; i < values_per_row; ++i) {
            if constexpr (std::is_floating_point_v<T>) {
                // JSON has no NaN or infinity: such a value would come back as null.
                if (!std::isfinite(row[i])) throw std::runtime_error("mat2Json: a non-finite value cannot be saved");
                data.push_back(static_cast<double>(row[i]));
            } else if constexpr (std::is_unsigned_v<T>) {
                data.push_back(static_cast<uint64_t>(row[i]));
            } else {
                data.push_back(static_cast<int64_t>(row[i]));
            }
        }
    }
}

template <typename T>
void readElements(const Json::array_t& data, cv::Mat& mat) {
    const int values_per_row = mat.cols * mat.channels();
    size_t next = 0;
    for (int r = 0; r < mat.rows; ++r) {
        T* row = mat.ptr<T>(r);
        for (int i = 0; i < values_per_row; ++i, ++next) {
            const Json& value = data[next];
            if constexpr (std::is_floating_point_v<T>) {
                const double v = value.get<double>();
                if (!std::isfinite(v) || std::abs(v) > static_cast<double>(std::numeric_limits<T>::max())) {
                    throw std::runtime_error("json2Mat: a value of \"data\" is not a finite number of the matrix type");
                }
                row[i] = static_cast<T>(v);
            } else {
                if (!value.is_number_integer()) {
                    if (value.is_number()) throw std::runtime_error("json2Mat: a value of \"data\" is not an integer");
                    (void)value.get<int64_t>();  // raises the JSON library's type error
                }
                const bool fits = value.is_number_unsigned()
                                      ? value.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<T>::max())
                                      : (value.get<int64_t>() >= static_cast<int64_t>(std::numeric_limits<T>::min()) &&
                                         value.get<int64_t>() <= static_cast<int64_t>(std::numeric_limits<T>::max()));
                if (!fits) throw std::runtime_error("json2Mat: a value of \"data\" is out of the matrix type's range");
                row[i] = value.is_number_unsigned() ? static_cast<T>(value.get<uint64_t>())
                                                    : static_cast<T>(value.get<int64_t>());
            }
        }
    }
}

// The shapes the calibrator reads by index; a file with others is refused on loading.
void checkShape(const cv::Mat& mat, int rows, int cols, const std::string& what) {
    if (mat.rows * mat.cols != rows * cols || mat.channels() != 1 || (mat.rows != rows && mat.cols != rows)) {
        throw std::runtime_error("Calibrator: " + what + " must be a " + std::to_string(rows) + " x " +
                                 std::to_string(cols) + " matrix");
    }
}

Json pairMap(const std::unordered_map<int, cv::Mat>& map) {
    if (map.empty()) return nullptr;
    Json object = Json::object();
    for (const auto& [other, mat] : map) object[std::to_string(other)] = Json(Calibrator::mat2Json(mat));
    return object;
}

Json pairMap(const std::unordered_map<int, double>& map) {
    if (map.empty()) return nullptr;
    Json object = Json::object();
    for (const auto& [other, value] : map) {
        if (!std::isfinite(value)) throw std::runtime_error("mat2Json: a non-finite value cannot be saved");
        object[std::to_string(other)] = value;
    }
    return object;
}

void readPairMap(const Json& camera, const char* key, int rows, int cols, const std::string& context,
                 std::unordered_map<int, cv::Mat>& map) {
    const Json& value = camera.at(key);
    if (value.is_null()) return;
    for (const auto& [other, mat] : value.get_ref<const Json::object_t&>()) {
        cv::Mat m = Calibrator::json2Mat(mat);
        checkShape(m, rows, cols, std::string(key) + " of " + context);
        map[parseId(other)] = m;
    }
}

CalibData readCamera(const Json& camera, const std::string& context) {
    CalibData data;
    data.is_calibrated = true;
    data.camera_matrix = Calibrator::json2Mat(camera.at("camera_matrix"));
    checkShape(data.camera_matrix, 3, 3, "camera_matrix of " + context);
    data.dist_coeffs = Calibrator::json2Mat(camera.at("dist_coeffs"));
    if (!data.dist_coeffs.empty() && (data.dist_coeffs.channels() != 1 ||
                                      (data.dist_coeffs.rows != 1 && data.dist_coeffs.cols != 1) ||
                                      data.dist_coeffs.total() > 14)) {
        throw std::runtime_error("Calibrator: dist_coeffs of " + context + " must be a vector of at most 14 values");
    }
    const Json& size = camera.at("frame_size");
    data.frame_size.width = static_cast<int>(readInteger(size, "cols", 0, INT_MAX, "frame_size of " + context));
    data.frame_size.height = static_cast<int>(readInteger(size, "rows", 0, INT_MAX, "frame_size of " + context));
    data.camera_serial = camera.at("camera_serial").get<std::string>();
    readPairMap(camera, "rotation", 3, 3, context, data.rotation);
    readPairMap(camera, "translation", 3, 1, context, data.translation);
    const Json& scales = camera.at("affine_scale");
    if (!scales.is_null()) {
        for (const auto& [other, value] : scales.get_ref<const Json::object_t&>()) {
            const double scale = value.get<double>();
            if (!std::isfinite(scale)) throw std::runtime_error("Calibrator: affine_scale of " + context + " is not finite");
            data.affine_scale[parseId(other)] = scale;
        }
    }
    readPairMap(camera, "affine_rotation", 2, 2, context, data.affine_rotation);
    readPairMap(camera, "affine_translation", 2, 1, context, data.affine_translation);
    return data;
}

}  // namespace

nlohmann::ordered_json Calibrator::mat2Json(const cv::Mat& mat) {
    if (mat.dims > 2) throw std::runtime_error("mat2Json: only two-dimensional matrices are supported");
    nlohmann::ordered_json object;
    object["rows"] = mat.rows;
    object["cols"] = mat.cols;
    object["type"] = mat.type();
    nlohmann::ordered_json data = nlohmann::ordered_json::array();
    switch (mat.depth()) {
        case CV_8U: appendElements<uint8_t>(mat, data); break;
        case CV_8S: appendElements<int8_t>(mat, data); break;
        case CV_16U: appendElements<uint16_t>(mat, data); break;
        case CV_16S: appendElements<int16_t>(mat, data); break;
        case CV_32S: appendElements<int32_t>(mat, data); break;
        case CV_32F: appendElements<float>(mat, data); break;
        case CV_64F: appendElements<double>(mat, data); break;
        default: throw std::runtime_error("Unsupported matrix type in mat2Json");
    }
    object["data"] = std::move(data);
    return object;
}

cv::Mat Calibrator::json2Mat(const nlohmann::json& value) {
    const int64_t type = readInteger(value, "type", INT_MIN, INT_MAX, "json2Mat");
    const int64_t rows = readInteger(value, "rows", 0, INT_MAX, "json2Mat");
    const int64_t cols = readInteger(value, "cols", 0, INT_MAX, "json2Mat");
    const int depth = static_cast<int>(type) & CV_MAT_DEPTH_MASK;
    if (type < 0 || type > CV_MAKETYPE(CV_64F, CV_CN_MAX) || depth > CV_64F) {
        throw std::runtime_error("Unsupported matrix type in json2Mat");
    }
    const int channels = CV_MAT_CN(static_cast<int>(type));
    const Json::array_t& data = value.at("data").get_ref<const Json::array_t&>();
    // rows x cols x channels, compared without overflow (each factor is below 2^31).
    const auto r = static_cast<uint64_t>(rows), c = static_cast<uint64_t>(cols), n = static_cast<uint64_t>(channels);
    const bool matches = (r == 0 || c == 0) ? data.empty()
                                            : (data.size() % (r * n) == 0 && data.size() / (r * n) == c);
    if (!matches) {
        throw std::runtime_error("json2Mat: \"data\" holds " + std::to_string(data.size()) + " values, rows x cols x " +
                                 "channels is " + std::to_string(rows) + " x " + std::to_string(cols) + " x " +
                                 std::to_string(channels));
    }
    cv::Mat mat(static_cast<int>(rows), static_cast<int>(cols), static_cast<int>(type));
    switch (depth) {
        case CV_8U: readElements<uint8_t>(data, mat); break;
        case CV_8S: readElements<int8_t>(data, mat); break;
        case CV_16U: readElements<uint16_t>(data, mat); break;
        case CV_16S: readElements<int16_t>(data, mat); break;
        case CV_32S: readElements<int32_t>(data, mat); break;
        case CV_32F: readElements<float>(data, mat); break;
        default: readElements<double>(data, mat); break;
    }
    return mat;
}

bool Calibrator::saveJsonToFile(const nlohmann::json& document, const std::string& path) {
    try {
        const std::filesystem::path file(path);
        if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
        // Serialised first, so that a document that cannot be written leaves the file alone.
        const std::string text = document.dump(4);
        // A plain file (or a new one) is replaced only once its successor is written whole, so
        // that a full disk keeps the previous result rather than half of the new one; anything
        // else (a device, a link) is written through, as opening it would.
        std::error_code ignored;
        const auto status = std::filesystem::symlink_status(file, ignored);
        const bool replace = !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
        const std::string written = replace ? path + ".saving" : path;
        const auto because = [](int code) { return code != 0 ? std::string(" (") + std::strerror(code) + ")" : ""; };
        errno = 0;
        std::ofstream out(written, std::ios::out | std::ios::trunc);
        if (!out.is_open()) {
            report("Error: Could not open file " + path + " for writing" + because(errno));
            return false;
        }
        out << text;
        out.close();
        int failure = out.fail() ? (errno != 0 ? errno : EIO) : 0;
        if (failure == 0 && replace && std::rename(written.c_str(), path.c_str()) != 0) failure = errno;
        if (failure != 0) {
            if (replace) std::filesystem::remove(written, ignored);
            report("Error: Could not write file " + path + because(failure));
            return false;
        }
        if (!std::filesystem::exists(file)) {
            report("Error: File " + path + " was not created");
            return false;
        }
        if (std::filesystem::file_size(file) == 0) {
            report("Error: File " + path + " is empty");
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        report(std::string("Error saving JSON: ") + e.what());
        return false;
    }
}

bool Calibrator::loadJsonFromFile(nlohmann::json& document, const std::string& path) {
    try {
        if (!std::filesystem::exists(path)) {
            report("Error: File " + path + " does not exist");
            return false;
        }
        std::ifstream in(path);
        if (!in.is_open()) {
            report("Error: Could not open file " + path + " for reading");
            return false;
        }
        in >> document;
        in.close();
        return true;
    } catch (const nlohmann::json::parse_error& e) {
        report(std::string("JSON parse error: ") + e.what());
        return false;
    } catch (const std::exception& e) {
        report(std::string("Error loading JSON: ") + e.what());
        return false;
    }
}

bool Calibrator::saveCalibrationResultToJson(const CameraMap& cameras, const std::string& path) {
    if (cameras.empty()) {
        report("Error: save_calibration_result_to_json() is called, but the calibration data is empty");
        return false;
    }
    Json document;  // null until a calibrated camera is written
    for (const auto& [id, data] : cameras) {
        if (!data.is_calibrated) continue;
        Json camera;
        camera["affine_rotation"] = pairMap(data.affine_rotation);
        camera["affine_scale"] = pairMap(data.affine_scale);
        camera["affine_translation"] = pairMap(data.affine_translation);
        camera["camera_matrix"] = Json(mat2Json(data.camera_matrix));
        camera["camera_serial"] = data.camera_serial;
        camera["dist_coeffs"] = Json(mat2Json(data.dist_coeffs));
        camera["frame_size"] = {{"cols", data.frame_size.width}, {"rows", data.frame_size.height}};
        camera["rotation"] = pairMap(data.rotation);
        camera["translation"] = pairMap(data.translation);
        document[std::to_string(id)] = std::move(camera);
    }
    return saveJsonToFile(document, path);
}

bool Calibrator::saveCalibrationResultToJson(const std::string& path) const {
    return saveCalibrationResultToJson(cameras, path);
}

bool Calibrator::loadCalibrationResultFromJson(CameraMap& cameras, const std::string& path) {
    Json document;
    if (!loadJsonFromFile(document, path)) {
        report("Error: Failed to load calibration result from json file " + path);
        return false;
    }
    if (document.is_null() || ((document.is_object() || document.is_array()) && document.empty())) {
        report("Error: The calibration result json file is empty");
        return false;
    }
    if (!document.is_object()) {
        throw std::runtime_error("Calibrator: the calibration result json file " + path +
                                 " does not hold an object of cameras");
    }
    CameraMap loaded;
    for (const auto& [key, camera] : document.items()) {
        const int id = parseId(key);
        loaded[id] = readCamera(camera, "camera " + key);
    }
    cameras = std::move(loaded);
    return true;
}

bool Calibrator::loadCalibrationResultFromJson(const std::string& path) {
    if (!loadCalibrationResultFromJson(cameras, path)) return false;
    // addCamera must not hand out an id that the file brought in.
    for (const auto& entry : cameras) {
        if (entry.first >= next_camera_id) next_camera_id = entry.first == INT_MAX ? INT_MAX : entry.first + 1;
    }
    return true;
}

}  // namespace vireo
