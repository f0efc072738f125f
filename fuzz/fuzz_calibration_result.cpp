// The calibration result file and the matrix objects in it, from arbitrary bytes.
//
// The bytes are written to a file and loaded as a result file, and parsed as JSON and handed
// to json2Mat (when they parse). Both must either succeed or fail in the ways they document:
// false, std::runtime_error (and std::invalid_argument or std::out_of_range for a camera id),
// or the JSON library's errors; never crash. What they accept must survive a round trip:
// a loaded file saves and loads again to the same cameras, a matrix read by json2Mat writes
// with mat2Json and reads back equal.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include <vireo/Calibrator.h>

#include "FuzzSupport.h"

namespace {

using namespace vireo;
using fuzz::check;

bool sameMat(const cv::Mat& a, const cv::Mat& b) {
    if (a.rows != b.rows || a.cols != b.cols || a.type() != b.type()) return false;
    if (a.empty()) return true;
    for (int r = 0; r < a.rows; ++r) {
        const size_t rowBytes = static_cast<size_t>(a.cols) * a.elemSize();
        if (std::memcmp(a.ptr(r), b.ptr(r), rowBytes) != 0) return false;
    }
    return true;
}

bool sameCameras(const Calibrator::CameraMap& a, const Calibrator::CameraMap& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [id, data] : a) {
        const auto other = b.find(id);
        if (other == b.end()) return false;
        const CalibData& o = other->second;
        if (!sameMat(data.camera_matrix, o.camera_matrix) || !sameMat(data.dist_coeffs, o.dist_coeffs)) return false;
        if (data.camera_serial != o.camera_serial || data.frame_size != o.frame_size) return false;
        if (data.rotation.size() != o.rotation.size() || data.affine_scale != o.affine_scale) return false;
    }
    return true;
}

// Runs `load`, telling whether it succeeded; documented failures are a refusal.
template <typename Load>
bool refusedOrLoaded(Load&& load) {
    try {
        return load();
    } catch (const nlohmann::json::exception&) {
    } catch (const std::runtime_error&) {
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The loader reports on standard error; the fuzzer's own output stays readable without it.
    std::cerr.setstate(std::ios::failbit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::scratchFile("result.json");
    static const std::string again = fuzz::scratchFile("result-again.json");
    fuzz::writeBytes(path, data, size);

    Calibrator::CameraMap cameras;
    if (refusedOrLoaded([&] { return Calibrator::loadCalibrationResultFromJson(cameras, path); })) {
        check(Calibrator::saveCalibrationResultToJson(cameras, again), "a loaded result cannot be saved");
        Calibrator::CameraMap reloaded;
        check(Calibrator::loadCalibrationResultFromJson(reloaded, again), "a saved result does not load");
        check(sameCameras(cameras, reloaded), "a saved result loads other cameras");
    }

    const nlohmann::json document = nlohmann::json::parse(data, data + size, nullptr, false);
    if (document.is_discarded()) return 0;
    cv::Mat mat;
    if (refusedOrLoaded([&] {
            mat = Calibrator::json2Mat(document);
            return true;
        })) {
        const nlohmann::json written(Calibrator::mat2Json(mat));
        check(sameMat(Calibrator::json2Mat(written), mat), "a matrix does not survive a round trip");
    }
    return 0;
}
