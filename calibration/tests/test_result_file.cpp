// The calibration result file: its layout (key order, null pair maps, matrix objects,
// indent 4), round trips that keep every bit, the folder and file handling with its
// messages, and damaged files, which are refused without touching the calibrator.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include <vireo/lensfit.h>

#include "CalibratorTestAccess.h"

namespace vireo {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
namespace fs = std::filesystem;

// A scratch folder of its own for every test, emptied first.
fs::path scratch() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::path(VIREO_TEST_SCRATCH_DIR) / "lensfit" / info->name();
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeText(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

bool sameBits(const cv::Mat& a, const cv::Mat& b) {
    if (a.type() != b.type() || a.size() != b.size()) return false;
    if (a.total() == 0) return true;
    return a.isContinuous() && b.isContinuous() && std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

// A calibrator whose cameras 0 to 10 exist and 2 and 10 are calibrated.
Calibrator twoCalibrated() {
    Calibrator calibrator(SYMMETRIC_GRID, 7, 5, 40.0f);
    for (int i = 0; i <= 10; ++i) calibrator.addCamera({1280, 720}, "serial-" + std::to_string(i));
    CalibratorTestAccess::markCalibrated(calibrator, 2);
    CalibratorTestAccess::markCalibrated(calibrator, 10);
    return calibrator;
}

TEST(ResultFile, LayoutKeysSortAsTextAndEmptyPairMapsAreNull) {
    const fs::path file = scratch() / "result.json";
    ASSERT_TRUE(twoCalibrated().saveCalibrationResultToJson(file.string()));
    const std::string text = readText(file);
    EXPECT_LT(text.find("\"10\""), text.find("\"2\""));
    EXPECT_EQ(text.find("\"0\""), std::string::npos);  // not calibrated, not written
    EXPECT_EQ(text.substr(0, 11), "{\n    \"10\":");
    EXPECT_EQ(text.back(), '}');
    size_t previous = 0;
    for (const char* key : {"affine_rotation", "affine_scale", "affine_translation", "camera_matrix", "camera_serial",
                            "dist_coeffs", "frame_size", "rotation", "translation"}) {
        const size_t at = text.find(std::string("\"") + key + "\"");
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, previous) << key;
        previous = at;
    }
    const nlohmann::json document = nlohmann::json::parse(text);
    for (const char* key : {"rotation", "translation", "affine_rotation", "affine_scale", "affine_translation"}) {
        EXPECT_TRUE(document["2"][key].is_null()) << key;
    }
    EXPECT_EQ(document["2"]["frame_size"], (nlohmann::json{{"cols", 1280}, {"rows", 720}}));
    EXPECT_EQ(document["10"]["camera_serial"], "serial-10");
    const nlohmann::json& matrix = document["2"]["camera_matrix"];
    EXPECT_EQ(matrix["rows"], 3);
    EXPECT_EQ(matrix["cols"], 3);
    EXPECT_EQ(matrix["type"], CV_64F);
    ASSERT_EQ(matrix["data"].size(), 9u);
    EXPECT_TRUE(matrix["data"][0].is_number_float());
    EXPECT_LT(text.find("\"cols\""), text.find("\"data\""));
}

TEST(ResultFile, RoundTripKeepsEveryBit) {
    const fs::path file = scratch() / "result.json";
    Calibrator calibrator(SYMMETRIC_GRID, 7, 5, 40.0f);
    const int a = calibrator.addCamera({1280, 720}, "left");
    const int b = calibrator.addCamera({1920, 1080}, "right");
    CalibratorTestAccess::markCalibrated(calibrator, a);
    CalibratorTestAccess::markCalibrated(calibrator, b);
    CalibData& left = CalibratorTestAccess::camera(calibrator, a);
    left.camera_matrix = (cv::Mat_<double>(3, 3) << 905.123456789012345, 0.0, 1.0 / 3.0, 0.0, 903.0 + 1e-12,
                          362.7, 0.0, 0.0, 1.0);
    left.dist_coeffs = (cv::Mat_<double>(1, 5) << -0.12, 0.05, 1e-300, -3e-17, 0.1 + 0.2);
    left.rotation[b] = (cv::Mat_<double>(3, 3) << 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9);
    left.translation[b] = (cv::Mat_<double>(3, 1) << -120.0, 4.0, 6.0 / 7.0);
    left.affine_scale[b] = 1.0 / 3.0;
    left.affine_rotation[b] = (cv::Mat_<double>(2, 2) << 1.0, 2.0, 3.0, 4.0);
    left.affine_translation[b] = (cv::Mat_<double>(2, 1) << 5.0, 6.0);
    ASSERT_TRUE(calibrator.saveCalibrationResultToJson(file.string()));

    Calibrator loaded(SYMMETRIC_GRID, 7, 5, 40.0f);
    ASSERT_TRUE(loaded.loadCalibrationResultFromJson(file.string()));
    const CalibData& back = loaded.getCameras().at(a);
    EXPECT_TRUE(back.is_calibrated);
    EXPECT_EQ(back.camera_serial, "left");
    EXPECT_EQ(back.frame_size, cv::Size(1280, 720));
    EXPECT_TRUE(sameBits(back.camera_matrix, left.camera_matrix));
    EXPECT_TRUE(sameBits(back.dist_coeffs, left.dist_coeffs));
    EXPECT_TRUE(sameBits(back.rotation.at(b), left.rotation.at(b)));
    EXPECT_TRUE(sameBits(back.translation.at(b), left.translation.at(b)));
    EXPECT_EQ(back.affine_scale.at(b), 1.0 / 3.0);
    EXPECT_TRUE(sameBits(back.affine_rotation.at(b), left.affine_rotation.at(b)));
    EXPECT_TRUE(loaded.getCameras().at(b).rotation.empty());
    EXPECT_EQ(loaded.getCameras().at(b).frame_size, cv::Size(1920, 1080));
    cv::Mat r, t;
    EXPECT_TRUE(loaded.getExtrinsics(a, b, r, t));
}

TEST(ResultFile, MatricesOfEveryDepthRoundTrip) {
    const cv::Mat big = (cv::Mat_<float>(3, 4) << 1.5f, -2.25f, 3e-30f, 4, 5, 6, 7, 8, 9, 10, 11, 12);
    const cv::Mat matrices[] = {cv::Mat(2, 3, CV_8UC3, cv::Scalar(0, 128, 255)), cv::Mat(2, 2, CV_8S, cv::Scalar(-128)),
                                cv::Mat(1, 3, CV_16U, cv::Scalar(65535)), cv::Mat(3, 1, CV_16SC2, cv::Scalar(-5, 7)),
                                cv::Mat(2, 2, CV_32S, cv::Scalar(-2147483647 - 1)), cv::Mat(2, 2, CV_32FC2, cv::Scalar(0.1f, -0.2f)),
                                cv::Mat(0, 0, CV_64F)};
    for (const cv::Mat& m : matrices) {
        const nlohmann::json object(Calibrator::mat2Json(m));
        EXPECT_TRUE(sameBits(Calibrator::json2Mat(object), m)) << object.dump();
    }
    // A matrix that is not continuous is written row by row.
    const cv::Mat part = big(cv::Rect(1, 1, 2, 2));
    EXPECT_EQ(Calibrator::mat2Json(part)["data"], (nlohmann::ordered_json{6.0, 7.0, 10.0, 11.0}));
    EXPECT_TRUE(sameBits(Calibrator::json2Mat(nlohmann::json(Calibrator::mat2Json(part))), part.clone()));
}

TEST(ResultFile, DamagedMatrixObjectsAreRefused) {
    auto object = [](int type, int rows, int cols, nlohmann::json data) {
        return nlohmann::json{{"type", type}, {"rows", rows}, {"cols", cols}, {"data", std::move(data)}};
    };
    auto message = [](const nlohmann::json& value) -> std::string {
        try {
            Calibrator::json2Mat(value);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "(nothing thrown)";
    };
    // The data must hold exactly rows x cols x channels values.
    EXPECT_NE(message(object(CV_64F, 3, 3, {1, 2, 3})).find("\"data\" holds 3 values"), std::string::npos);
    EXPECT_NE(message(object(CV_64FC2, 1, 2, {1, 2, 3, 4, 5})).find("\"data\" holds 5 values"), std::string::npos);
    EXPECT_NE(message(object(CV_64F, 2147483647, 2147483647, {1})).find("\"data\""), std::string::npos);
    // Values the type cannot hold.
    EXPECT_NE(message(object(CV_64F, 1, 2, {1.0, std::numeric_limits<double>::infinity()})).find("finite"),
              std::string::npos);
    EXPECT_NE(message(object(CV_32F, 1, 1, {1e300})).find("finite"), std::string::npos);
    EXPECT_NE(message(object(CV_8U, 1, 1, {300})).find("range"), std::string::npos);
    EXPECT_NE(message(object(CV_8U, 1, 1, {-1})).find("range"), std::string::npos);
    EXPECT_NE(message(object(CV_32S, 1, 1, {1.5})).find("integer"), std::string::npos);
    EXPECT_THROW(Calibrator::json2Mat(object(CV_64F, 1, 1, {"text"})), nlohmann::json::type_error);
    EXPECT_THROW(Calibrator::json2Mat(nlohmann::json{{"type", 6}, {"rows", 1}}), nlohmann::json::out_of_range);
    EXPECT_NE(message(object(CV_64F, -1, 1, {})).find("out of range"), std::string::npos);
    // Types outside the supported ones.
    EXPECT_EQ(message(object(CV_16F, 1, 1, {1.0})), "Unsupported matrix type in json2Mat");
    EXPECT_EQ(message(object(-1, 1, 1, {1.0})), "Unsupported matrix type in json2Mat");
    try {
        Calibrator::mat2Json(cv::Mat(1, 1, CV_16F));
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unsupported matrix type in mat2Json");
    }
    // JSON has no NaN: such a matrix is refused instead of coming back as null.
    EXPECT_THROW(Calibrator::mat2Json(cv::Mat(1, 1, CV_64F, cv::Scalar(std::nan("")))), std::runtime_error);
}

TEST(ResultFile, SavingCreatesMissingFoldersAndReportsWhatFails) {
    const fs::path dir = scratch();
    const fs::path file = dir / "one" / "two" / "result.json";
    ASSERT_TRUE(twoCalibrated().saveCalibrationResultToJson(file.string()));
    EXPECT_TRUE(fs::is_regular_file(file));

    CaptureStderr();
    EXPECT_FALSE(Calibrator::saveCalibrationResultToJson(Calibrator::CameraMap{}, file.string()));
    EXPECT_EQ(GetCapturedStderr(),
              "Error: save_calibration_result_to_json() is called, but the calibration data is empty\n");

    writeText(dir / "plain", "x");  // a file where a folder would have to be
    CaptureStderr();
    EXPECT_FALSE(twoCalibrated().saveCalibrationResultToJson((dir / "plain" / "result.json").string()));
    EXPECT_EQ(GetCapturedStderr().rfind("Error saving JSON: ", 0), 0u);

    CaptureStderr();
    EXPECT_FALSE(twoCalibrated().saveCalibrationResultToJson(dir.string()));  // a folder
    EXPECT_EQ(GetCapturedStderr(),
              "Error: Could not open file " + dir.string() + " for writing (" + std::strerror(EISDIR) + ")\n");

    Calibrator bad_text = twoCalibrated();
    CalibratorTestAccess::camera(bad_text, 2).camera_serial = "\xff\xfe";  // not UTF-8
    CaptureStderr();
    EXPECT_FALSE(bad_text.saveCalibrationResultToJson((dir / "bad.json").string()));
    EXPECT_EQ(GetCapturedStderr().rfind("Error saving JSON: ", 0), 0u);
    EXPECT_FALSE(fs::exists(dir / "bad.json"));
}

TEST(ResultFile, NoCalibratedCameraWritesNullWhichLoadsAsEmpty) {
    const fs::path file = scratch() / "result.json";
    Calibrator calibrator(SYMMETRIC_GRID, 7, 5, 40.0f);
    calibrator.addCamera({1280, 720}, "a");
    ASSERT_TRUE(calibrator.saveCalibrationResultToJson(file.string()));
    EXPECT_EQ(readText(file), "null");
    for (const char* text : {"null", "{}", "[]"}) {
        writeText(file, text);
        CaptureStderr();
        EXPECT_FALSE(calibrator.loadCalibrationResultFromJson(file.string()));
        EXPECT_EQ(GetCapturedStderr(), "Error: The calibration result json file is empty\n");
    }
    EXPECT_EQ(calibrator.getCameras().size(), 1u);
}

TEST(ResultFile, LoadingReportsMissingAndUnreadableFiles) {
    const fs::path dir = scratch();
    Calibrator calibrator(SYMMETRIC_GRID, 7, 5, 40.0f);
    const std::string missing = (dir / "missing.json").string();
    CaptureStderr();
    EXPECT_FALSE(calibrator.loadCalibrationResultFromJson(missing));
    EXPECT_EQ(GetCapturedStderr(), "Error: File " + missing + " does not exist\n" +
                                       "Error: Failed to load calibration result from json file " + missing + "\n");
    writeText(dir / "broken.json", "{\"2\": ");
    CaptureStderr();
    EXPECT_FALSE(calibrator.loadCalibrationResultFromJson((dir / "broken.json").string()));
    EXPECT_EQ(GetCapturedStderr().rfind("JSON parse error: ", 0), 0u);
}

TEST(ResultFile, LoadingReplacesEveryCameraAndAcceptsTrailingText) {
    const fs::path file = scratch() / "result.json";
    ASSERT_TRUE(twoCalibrated().saveCalibrationResultToJson(file.string()));
    writeText(file, readText(file) + "\ntrailing text that is not JSON {");

    Calibrator calibrator(SYMMETRIC_GRID, 7, 5, 40.0f);
    const int own = calibrator.addCamera({640, 480}, "own");
    ASSERT_TRUE(calibrator.insertGridPoints(own, 0, std::vector<cv::Point2f>(35, cv::Point2f(1, 1))));
    ASSERT_TRUE(calibrator.loadCalibrationResultFromJson(file.string()));
    EXPECT_EQ(calibrator.getCameras().size(), 2u);
    EXPECT_EQ(calibrator.getCameras().count(own), 0u);
    EXPECT_EQ(calibrator.getGridPatternCount(2), 0u);
    // The next camera gets an id past every loaded one.
    EXPECT_EQ(calibrator.addCamera({640, 480}, "new"), 11);
}

TEST(ResultFile, ADamagedFileLeavesTheCalibratorAsItWas) {
    const fs::path file = scratch() / "result.json";
    ASSERT_TRUE(twoCalibrated().saveCalibrationResultToJson(file.string()));
    const nlohmann::json good = nlohmann::json::parse(readText(file));

    Calibrator calibrator(SYMMETRIC_GRID, 7, 5, 40.0f);
    const int own = calibrator.addCamera({640, 480}, "own");
    auto expectUnchanged = [&] {
        ASSERT_EQ(calibrator.getCameras().size(), 1u);
        EXPECT_EQ(calibrator.getCameras().at(own).camera_serial, "own");
    };

    nlohmann::json missing_member = good;
    missing_member["2"].erase("camera_matrix");
    writeText(file, missing_member.dump());
    EXPECT_THROW(calibrator.loadCalibrationResultFromJson(file.string()), nlohmann::json::out_of_range);
    expectUnchanged();

    nlohmann::json wrong_type = good;
    wrong_type["10"]["camera_serial"] = 17;
    writeText(file, wrong_type.dump());
    EXPECT_THROW(calibrator.loadCalibrationResultFromJson(file.string()), nlohmann::json::type_error);
    expectUnchanged();

    for (const char* key : {"two", "05", "12abc", "99999999999"}) {
        nlohmann::json bad_key = good;
        bad_key[key] = good["2"];
        writeText(file, bad_key.dump());
        EXPECT_ANY_THROW(calibrator.loadCalibrationResultFromJson(file.string())) << key;
        expectUnchanged();
    }

    nlohmann::json short_data = good;
    short_data["2"]["dist_coeffs"]["data"].erase(0);
    writeText(file, short_data.dump());
    EXPECT_THROW(calibrator.loadCalibrationResultFromJson(file.string()), std::runtime_error);
    expectUnchanged();

    nlohmann::json wrong_shape = good;
    wrong_shape["2"]["camera_matrix"] = nlohmann::json(Calibrator::mat2Json(cv::Mat::eye(2, 2, CV_64F)));
    writeText(file, wrong_shape.dump());
    EXPECT_THROW(calibrator.loadCalibrationResultFromJson(file.string()), std::runtime_error);
    expectUnchanged();
}

// ---- results that cannot be written ---------------------------------------------------------

// The serial of camera 2 as `path` holds it ("" when it cannot be loaded).
std::string savedSerial(const fs::path& path) {
    Calibrator loaded(SYMMETRIC_GRID, 7, 5, 40.0f);
    CaptureStderr();
    const bool ok = loaded.loadCalibrationResultFromJson(path.string());
    GetCapturedStderr();
    return ok ? CalibratorTestAccess::camera(loaded, 2).camera_serial : std::string();
}

TEST(ResultFileFaults, AResultReplacesTheOldOneWholeAndALinkIsWrittenThrough) {
    const fs::path dir = scratch();
    const fs::path file = dir / "result.json";
    ASSERT_TRUE(twoCalibrated().saveCalibrationResultToJson(file.string()));
    Calibrator second = twoCalibrated();
    CalibratorTestAccess::camera(second, 2).camera_serial = "second";
    ASSERT_TRUE(second.saveCalibrationResultToJson(file.string()));
    EXPECT_EQ(savedSerial(file), "second");
    EXPECT_FALSE(fs::exists(dir / "result.json.saving"));

    // A link to a full device: written through (the link stays), and the failure says why.
    fs::create_symlink("/dev/full", dir / "full.json");
    CaptureStderr();
    EXPECT_FALSE(second.saveCalibrationResultToJson((dir / "full.json").string()));
    EXPECT_EQ(GetCapturedStderr(), "Error: Could not write file " + (dir / "full.json").string() + " (" +
                                       std::strerror(ENOSPC) + ")\n");
    EXPECT_TRUE(fs::is_symlink(dir / "full.json"));
}

TEST(ResultFileFaults, AFullDiskKeepsThePreviousResult) {
    const char* small = std::getenv("VIREO_SMALL_DISK");
    if (!small) GTEST_SKIP() << "no small file system was mounted for this test (run through with_fault_mounts.sh)";
    const fs::path dir = fs::path(small) / "calibration";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path file = dir / "result.json";
    ASSERT_TRUE(twoCalibrated().saveCalibrationResultToJson(file.string()));
    {
        // Fill the disk up to its last byte.
        std::ofstream filler(dir / "filler", std::ios::binary);
        const std::string block(1 << 16, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size()))) {}
    }
    Calibrator second = twoCalibrated();
    CalibratorTestAccess::camera(second, 2).camera_serial = "second";
    CaptureStderr();
    EXPECT_FALSE(second.saveCalibrationResultToJson(file.string()));
    EXPECT_EQ(GetCapturedStderr(),
              "Error: Could not write file " + file.string() + " (" + std::strerror(ENOSPC) + ")\n");
    EXPECT_EQ(savedSerial(file), "serial-2");
    EXPECT_FALSE(fs::exists(dir / "result.json.saving"));
    fs::remove(dir / "filler");
}

TEST(ResultFileFaults, AReadOnlyFolderIsRefusedWithItsReason) {
    const char* readOnly = std::getenv("VIREO_READONLY_DIR");
    if (!readOnly) GTEST_SKIP() << "no read-only folder was mounted for this test (run through with_fault_mounts.sh)";
    const fs::path file = fs::path(readOnly) / "result.json";
    CaptureStderr();
    EXPECT_FALSE(twoCalibrated().saveCalibrationResultToJson(file.string()));
    EXPECT_EQ(GetCapturedStderr(), "Error: Could not open file " + file.string() + " for writing (" +
                                       std::strerror(EROFS) + ")\n");
    EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace vireo
