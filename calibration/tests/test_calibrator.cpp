// The Calibrator's bookkeeping and rules on projected target points: world points in the
// locators' order, camera ids, messages and sentinels for bad ids and missing data, the
// outlier rule, frame pairing, and the affine pair with its fallback and error measure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>

#include <vireo/lensfit.h>

#include "CalibrationTestData.h"
#include "CalibratorTestAccess.h"
#include "Lensfit/detail/OutlierRule.h"

namespace vireo {

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

const test::Target kTarget = test::symmetricCirclesTarget();  // 7 x 5, 40 mm

Calibrator targetCalibrator() {
    return Calibrator(SYMMETRIC_GRID, kTarget.cols, kTarget.rows, static_cast<float>(kTarget.spacing));
}

// The projected centres of `count` views, with Gaussian noise of `sigma` pixels.
std::vector<std::vector<cv::Point2f>> projectedViews(int count, double sigma, unsigned seed) {
    const test::PinholeCamera camera = test::groundTruthCamera();
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, static_cast<float>(sigma));
    std::vector<std::vector<cv::Point2f>> views;
    for (const test::Pose& pose : test::viewPoses(kTarget, camera, count, seed)) {
        auto points = test::project(test::targetCentres(kTarget), pose, camera);
        for (cv::Point2f& p : points) p += cv::Point2f(noise(rng), noise(rng));
        views.push_back(points);
    }
    return views;
}

TEST(CalibratorWorldPoints, FollowTheLocatorsRowByRowOrder) {
    std::vector<cv::Point3f> points{{1, 1, 1}};
    Calibrator::getGridWorldPoints(SYMMETRIC_GRID, 3, 2, 10.0f, points);
    EXPECT_EQ(points, (std::vector<cv::Point3f>{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {0, 10, 0}, {10, 10, 0}, {20, 10, 0}}));
    // Asymmetric: rows half a pitch apart, the odd row shifted by half a pitch.
    Calibrator::getGridWorldPoints(ASYMMETRIC_GRID, 3, 2, 10.0f, points);
    EXPECT_EQ(points, (std::vector<cv::Point3f>{{0, 0, 0}, {10, 0, 0}, {20, 0, 0}, {5, 5, 0}, {15, 5, 0}, {25, 5, 0}}));
    Calibrator calibrator(ASYMMETRIC_GRID, 3, 2, 10.0f);
    EXPECT_EQ(calibrator.getWorldPoints(), points);
}

TEST(CalibratorWorldPoints, BadGridTypeOrSpacingIsRefused) {
    std::vector<cv::Point3f> points{{1, 1, 1}};
    EXPECT_THROW(Calibrator::getGridWorldPoints(static_cast<GridType>(2), 3, 2, 10.0f, points), std::runtime_error);
    EXPECT_TRUE(points.empty());
    try {
        Calibrator(static_cast<GridType>(-1), 3, 2, 10.0f);
        ADD_FAILURE() << "nothing thrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid grid type");
    }
    for (float spacing : {0.0f, -1.0f, std::nanf(""), INFINITY}) {
        EXPECT_THROW(Calibrator(SYMMETRIC_GRID, 3, 2, spacing), std::invalid_argument) << spacing;
    }
    EXPECT_THROW(Calibrator(SYMMETRIC_GRID, 1, 5, 10.0f), std::invalid_argument);
    EXPECT_THROW(Calibrator(ASYMMETRIC_GRID, 4, 0, 10.0f), std::invalid_argument);
}

TEST(Calibrator, CameraIdsAreNeverHandedOutTwice) {
    Calibrator calibrator = targetCalibrator();
    EXPECT_EQ(calibrator.addCamera({1280, 720}, "a"), 0);
    EXPECT_EQ(calibrator.addCamera({1280, 720}, "b"), 1);
    EXPECT_TRUE(calibrator.removeCamera(0));
    EXPECT_EQ(calibrator.addCamera({640, 480}, "c"), 2);
    CaptureStderr();
    EXPECT_FALSE(calibrator.removeCamera(0));
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(calibrator.getCameras().at(2).camera_serial, "c");
    EXPECT_EQ(calibrator.getCameras().at(2).frame_size, cv::Size(640, 480));
}

TEST(Calibrator, UnknownCamerasGiveAMessageAndTheSentinel) {
    Calibrator calibrator = targetCalibrator();
    calibrator.addCamera({1280, 720}, "a");
    cv::Mat m1, m2;
    double scale = 0.0;
    const struct {
        std::function<bool()> call;
        std::string message;
    } cases[] = {
        {[&] { return !calibrator.clear(7); }, "Camera 7 not found\n"},
        {[&] { return !calibrator.insertGridPoints(7, 0, {}); }, "Camera 7 not found\n"},
        {[&] { return calibrator.getGridPatternCount(7) == 0; }, "Camera 7 not found\n"},
        {[&] { return calibrator.calibrate(7) == -1.0; }, "Camera 7 not found\n"},
        {[&] { return calibrator.refinedCalibrate(7) == 0.0; }, "Camera 7 not found\n"},
        {[&] { return calibrator.getReprojectionError(7) == 0.0; }, "Camera 7 not found\n"},
        {[&] { return !calibrator.getIntrinsics(7, m1, m2); }, "Camera 7 not found\n"},
        {[&] { return calibrator.calibrateStereo(0, 7) == -1.0; }, "Camera 0 or 7 not found\n"},
        {[&] { return calibrator.calibrateAffine(7, 0) == -1.0; }, "Camera 7 or 0 not found\n"},
        {[&] { return calibrator.getCommonFrameCount(0, 7) == 0; }, "Camera 0 or 7 not found\n"},
        {[&] { return !calibrator.getExtrinsics(0, 7, m1, m2); }, "Camera 0 or 7 not found\n"},
        {[&] { return !calibrator.getAffineMatrix(0, 7, m1, m2, scale); }, "Camera 0 or 7 not found\n"},
        {[&] { return !calibrator.getAffineMatrix(0, 7, m1); }, "Camera 0 or 7 not found\n"},
        {[&] { return calibrator.calibrate(0) == -1.0; }, "No grid points found for camera 0\n"},
        {[&] { return calibrator.getReprojectionError(0) == 0.0; }, "Camera 0 is not calibrated\n"},
        {[&] { return !calibrator.getIntrinsics(0, m1, m2); },
         "No grid points found for camera 0\nCamera 0 could not be calibrated\n"},
        {[&] { return calibrator.refinedCalibrate(0) == -1.0; },
         "No grid points found for camera 0\nCamera 0 could not be calibrated\n"},
    };
    for (const auto& c : cases) {
        CaptureStderr();
        EXPECT_TRUE(c.call()) << c.message;
        EXPECT_EQ(GetCapturedStderr(), c.message);
    }
}

TEST(Calibrator, FramesThatDoNotPairWithTheWorldPointsAreRefused) {
    Calibrator calibrator = targetCalibrator();
    const int id = calibrator.addCamera({1280, 720}, "a");
    auto view = projectedViews(1, 0.0, 1)[0];
    CaptureStderr();
    EXPECT_FALSE(calibrator.insertGridPoints(id, 3, std::vector<cv::Point2f>(view.begin(), view.end() - 1)));
    EXPECT_EQ(GetCapturedStderr(), "Camera 0 frame 3: 34 grid points given, 35 expected\n");
    view[4].y = std::nanf("");
    CaptureStderr();
    EXPECT_FALSE(calibrator.insertGridPoints(id, 3, view));
    EXPECT_EQ(GetCapturedStderr(), "Camera 0 frame 3: grid points must be finite\n");
    EXPECT_EQ(calibrator.getGridPatternCount(id), 0u);
}

TEST(CalibratorOutlierRule, AFrameIsDroppedOnlyAboveMeanPlusTwoSigma) {
    // Mean 2.8 and sigma 3.6: the threshold is exactly 10, and 10 is not above it.
    EXPECT_TRUE(detail::outlierFrames({1, 1, 1, 1, 10}).empty());
    std::vector<double> ten(9, 1.0);
    ten.push_back(10.0);
    EXPECT_EQ(detail::outlierFrames(ten), std::vector<size_t>{9});
    EXPECT_TRUE(detail::outlierFrames({}).empty());
}

TEST(Calibrator, RefinedCalibrationDropsTheOutlierFrame) {
    Calibrator calibrator = targetCalibrator();
    const int id = calibrator.addCamera({1280, 720}, "a");
    const auto views = projectedViews(13, 0.05, 2);
    for (size_t v = 0; v < 12; ++v) ASSERT_TRUE(calibrator.insertGridPoints(id, static_cast<int>(v), views[v]));
    // One frame with errors forty times larger.
    const auto noisy = projectedViews(13, 2.0, 3);
    ASSERT_TRUE(calibrator.insertGridPoints(id, 99, noisy[12]));
    const double first = calibrator.calibrate(id);
    const double refined = calibrator.refinedCalibrate(id);
    EXPECT_GT(refined, 0.0);
    EXPECT_LT(refined, first);
    EXPECT_LT(refined, 0.1);
    EXPECT_EQ(calibrator.getGridPatternCount(id), 12u);
    const auto& ids = calibrator.getCameras().at(id).frame_ids;
    EXPECT_EQ(std::count(ids.begin(), ids.end(), 99), 0);
    EXPECT_EQ(calibrator.getCameras().at(id).rotation_vectors.size(), 12u);
}

TEST(Calibrator, RefinementNeedsThreeFrames) {
    Calibrator calibrator = targetCalibrator();
    const int id = calibrator.addCamera({1280, 720}, "a");
    const auto views = projectedViews(2, 0.05, 4);
    calibrator.insertGridPoints(id, 0, views[0]);
    calibrator.insertGridPoints(id, 1, views[1]);
    CaptureStderr();
    EXPECT_EQ(calibrator.refinedCalibrate(id), -1.0);
    EXPECT_EQ(GetCapturedStderr(), "Not enough valid frames left for camera 0\n");
    EXPECT_EQ(calibrator.getGridPatternCount(id), 2u);
}

TEST(Calibrator, FramesAddedAfterACalibrationDoNotBreakItsErrorMeasures) {
    Calibrator calibrator = targetCalibrator();
    const int id = calibrator.addCamera({1280, 720}, "a");
    const auto views = projectedViews(12, 0.05, 5);
    for (size_t v = 0; v < 10; ++v) calibrator.insertGridPoints(id, static_cast<int>(v), views[v]);
    const double rms = calibrator.calibrate(id);
    calibrator.insertGridPoints(id, 10, views[10]);
    calibrator.insertGridPoints(id, 11, views[11]);
    // The error is over the frames of the last calibration, which have poses.
    EXPECT_NEAR(calibrator.getReprojectionError(id), rms, 1e-5);
    // Refinement calibrates again on all twelve frames first.
    EXPECT_GT(calibrator.refinedCalibrate(id), 0.0);
    EXPECT_EQ(calibrator.getCameras().at(id).rotation_vectors.size(), calibrator.getGridPatternCount(id));
}

TEST(Calibrator, ClearKeepsSerialAndFrameSize) {
    Calibrator calibrator = targetCalibrator();
    const int id = calibrator.addCamera({1280, 720}, "serial-1");
    for (const auto& view : projectedViews(4, 0.05, 6)) calibrator.insertGridPoints(id, 1, view);
    ASSERT_GT(calibrator.calibrate(id), 0.0);
    EXPECT_TRUE(calibrator.clear(id));
    const CalibData& data = calibrator.getCameras().at(id);
    EXPECT_EQ(data.camera_serial, "serial-1");
    EXPECT_EQ(data.frame_size, cv::Size(1280, 720));
    EXPECT_FALSE(data.is_calibrated);
    EXPECT_TRUE(data.camera_matrix.empty());
    EXPECT_TRUE(data.grid_points.empty());
    EXPECT_TRUE(data.frame_ids.empty());
}

// Frames 5 and 7 in a, 7, 5 and 7 in b; b's points are a's moved by a known similarity.
class AffinePair : public ::testing::Test {
protected:
    void SetUp() override {
        a = calibrator.addCamera({1280, 720}, "a");
        b = calibrator.addCamera({1280, 720}, "b");
        CalibratorTestAccess::markCalibrated(calibrator, a);
        CalibratorTestAccess::markCalibrated(calibrator, b);
        const auto views = projectedViews(2, 0.0, 7);
        frame5 = views[0];
        frame7 = views[1];
    }
    std::vector<cv::Point2f> moved(const std::vector<cv::Point2f>& points, double offset_x = 0.0) const {
        std::vector<cv::Point2f> out;
        for (size_t i = 0; i < points.size(); ++i) {
            const double x = points[i].x, y = points[i].y;
            const double sign = (i % 2 == 0) ? 1.0 : -1.0;
            out.emplace_back(static_cast<float>(scale * (std::cos(angle) * x - std::sin(angle) * y) + tx + sign * offset_x),
                             static_cast<float>(scale * (std::sin(angle) * x + std::cos(angle) * y) + ty));
        }
        return out;
    }
    Calibrator calibrator = targetCalibrator();
    int a = -1, b = -1;
    std::vector<cv::Point2f> frame5, frame7;
    const double scale = 1.1, angle = 0.05, tx = 12.0, ty = -7.5;
};

TEST_F(AffinePair, RepeatedFrameIdsPairEveryMatchingCombination) {
    calibrator.insertGridPoints(a, 5, frame5);
    calibrator.insertGridPoints(a, 7, frame7);
    calibrator.insertGridPoints(b, 7, moved(frame7));
    calibrator.insertGridPoints(b, 5, moved(frame5));
    calibrator.insertGridPoints(b, 7, moved(frame7));
    EXPECT_EQ(calibrator.getCommonFrameCount(a, b), 3u);
    // Only the right pairs agree on one similarity: a wrong pairing would leave large errors.
    EXPECT_LT(calibrator.calibrateAffine(a, b), 1e-3);
    cv::Mat r, t;
    double s = 0.0;
    ASSERT_TRUE(calibrator.getAffineMatrix(a, b, r, t, s));
    EXPECT_NEAR(s, scale, 1e-5);
    EXPECT_NEAR(r.at<double>(1, 0), std::sin(angle), 1e-5);
    EXPECT_NEAR(t.at<double>(0), tx, 1e-2);
    EXPECT_NEAR(t.at<double>(1), ty, 1e-2);
    // The reverse direction maps b's points back onto a's.
    cv::Mat back;
    ASSERT_TRUE(calibrator.getAffineMatrix(b, a, back));
    ASSERT_EQ(back.type(), CV_32F);
    const cv::Point2f q = moved(frame5)[3];
    const cv::Point2f p(back.at<float>(0, 0) * q.x + back.at<float>(0, 1) * q.y + back.at<float>(0, 2),
                        back.at<float>(1, 0) * q.x + back.at<float>(1, 1) * q.y + back.at<float>(1, 2));
    EXPECT_LT(cv::norm(p - frame5[3]), 1e-2);
}

TEST_F(AffinePair, TheErrorIsTheRmsDistanceInPixels) {
    calibrator.insertGridPoints(a, 5, frame5);
    calibrator.insertGridPoints(b, 5, moved(frame5, 0.05));  // every point 0.05 px off
    EXPECT_NEAR(calibrator.calibrateAffine(a, b), 0.05, 0.01);
}

TEST_F(AffinePair, NoModelFallsBackToTheIdentity) {
    const std::vector<cv::Point2f> same(frame5.size(), cv::Point2f(100.0f, 100.0f));
    calibrator.insertGridPoints(a, 5, same);
    calibrator.insertGridPoints(b, 5, same);
    calibrator.calibrateAffine(a, b);
    cv::Mat r, t;
    double s = 0.0;
    ASSERT_TRUE(calibrator.getAffineMatrix(a, b, r, t, s));
    EXPECT_EQ(s, 1.0);
    EXPECT_EQ(cv::norm(r - cv::Mat::eye(2, 2, CV_64F)), 0.0);
    EXPECT_EQ(cv::norm(t), 0.0);
    ASSERT_TRUE(calibrator.getAffineMatrix(b, a, r, t, s));
    EXPECT_EQ(s, 1.0 / (1.0 + 1e-7));
}

TEST_F(AffinePair, PairResultsNeedTheirCalibration) {
    cv::Mat r, t;
    CaptureStderr();
    EXPECT_FALSE(calibrator.getExtrinsics(a, b, r, t));
    EXPECT_EQ(GetCapturedStderr(), "Camera pair (0, 1) is not calibrated as a stereo pair\n");
    CaptureStderr();
    EXPECT_EQ(calibrator.calibrateAffine(a, b), -1.0);
    EXPECT_EQ(GetCapturedStderr(), "No common frames found between camera 0 and 1\n");
    const int c = calibrator.addCamera({640, 480}, "c");
    CaptureStderr();
    EXPECT_FALSE(calibrator.getExtrinsics(a, c, r, t));
    EXPECT_EQ(GetCapturedStderr(), "Camera 0 or 2 is not calibrated\n");
    CaptureStderr();
    EXPECT_EQ(calibrator.calibrateStereo(a, c), -1.0);
    EXPECT_EQ(GetCapturedStderr(),
              "Camera 0 and 2 have different frame sizes, so could not be calibrated as a stereo pair\n");
}

}  // namespace
}  // namespace vireo
