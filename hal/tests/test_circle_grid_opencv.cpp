// The CircleGrid scene against OpenCV, an independent implementation of the same camera
// model: the true centres are cv::projectPoints of the world centres, a calibration of them
// gives back the lens, a calibration of the stream's event centroids comes close to it, and
// a stereo calibration of a rig gives back its rig pose. Built only where OpenCV is found.
#include <gtest/gtest.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <vireo/SimulatedCamera.h>

#include "CircleGridTestSupport.h"

namespace vireo {
namespace {

using test::circleGridConfig;

cv::Mat cameraMatrix(const sim::PinholeLens& lens) {
    return (cv::Mat_<double>(3, 3) << lens.fx, 0, lens.cx, 0, lens.fy, lens.cy, 0, 0, 1);
}

cv::Mat distortion(const sim::PinholeLens& lens) {
    return (cv::Mat_<double>(1, 5) << lens.k1, lens.k2, lens.p1, lens.p2, lens.k3);
}

std::vector<cv::Point3f> worldPoints(const sim::CircleGridTarget& target) {
    std::vector<cv::Point3f> points;
    for (const auto& p : sim::circleGridWorldCenters(target)) {
        points.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    }
    return points;
}

std::vector<cv::Point2f> truth(const sim::SimulatedCameraConfig& config, uint64_t showing) {
    std::vector<cv::Point2f> points;
    for (const auto& p : sim::circleGridProjectedCenters(config, showing)) {
        points.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
    return points;
}

sim::PinholeLens distortedLens() { return {1050, 1040, 652.5, 351.25, -0.24, 0.11, 0.0012, -0.0009, -0.03}; }

TEST(CircleGridOpenCv, TrueCentresAreOpenCvsProjectionOfTheWorldCentres) {
    auto reference = circleGridConfig(31);
    reference.lens = distortedLens();
    auto second = reference;
    second.lens = {980, 985, 640, 362, 0.05, -0.02, -0.001, 0.0005, 0};
    second.rig_pose = {{0.02, -0.15, 0.01}, {-180, 4, 12}};
    reference.target_poses = second.target_poses = sim::drawCircleGridPoses({reference, second}, 25);

    std::vector<cv::Point3d> world;
    for (const auto& p : sim::circleGridWorldCenters(reference.target)) world.emplace_back(p.x, p.y, p.z);
    const cv::Vec3d rigRotation(second.rig_pose.rotation.data()), rigTranslation(second.rig_pose.translation.data());
    double worst = 0;
    for (uint64_t k = 0; k < reference.target_poses.size(); ++k) {
        const auto& pose = reference.target_poses[k];
        const cv::Vec3d rvec(pose.rotation.data()), tvec(pose.translation.data());
        std::vector<cv::Point2d> expected;
        cv::projectPoints(world, rvec, tvec, cameraMatrix(reference.lens), distortion(reference.lens), expected);
        const auto got = sim::circleGridProjectedCenters(reference, k);
        // The second camera sees the pose followed by the rig pose.
        cv::Vec3d rvec2, tvec2;
        cv::composeRT(rvec, tvec, rigRotation, rigTranslation, rvec2, tvec2);
        std::vector<cv::Point2d> expected2;
        cv::projectPoints(world, rvec2, tvec2, cameraMatrix(second.lens), distortion(second.lens), expected2);
        const auto got2 = sim::circleGridProjectedCenters(second, k);
        for (size_t c = 0; c < world.size(); ++c) {
            worst = std::max({worst, std::hypot(got[c].x - expected[c].x, got[c].y - expected[c].y),
                              std::hypot(got2[c].x - expected2[c].x, got2[c].y - expected2[c].y)});
        }
    }
    EXPECT_LT(worst, 1e-6);
}

// Calibrating from image points with OpenCV gives back the lens that made them: exactly from
// the true centres, closely from the centroids of the circles' events in the stream.
TEST(CircleGridOpenCv, CalibrationGivesBackTheLens) {
    auto config = circleGridConfig(32);
    config.lens = distortedLens();
    config.pose_count = 15;
    config.pose_period_us = 10000;
    config.noise_rate = 1e5;
    const size_t poses = static_cast<size_t>(config.pose_count);
    const auto object = worldPoints(config.target);
    const cv::Size size(config.width, config.height);

    std::vector<std::vector<cv::Point3f>> objects(poses, object);
    std::vector<std::vector<cv::Point2f>> exact, measured;
    const auto events = test::streamUntil(config, poses * config.pose_period_us);
    ASSERT_FALSE(events.empty());
    for (uint64_t k = 0; k < poses; ++k) {
        exact.push_back(truth(config, k));
        const auto span = sim::circleGridPoseSpan(config, k);
        const test::CircleEvents circles(config, k, test::eventsIn(events, span.begin_us, span.end_us));
        std::vector<cv::Point2f> centroids;
        for (size_t c = 0; c < object.size(); ++c) {
            ASSERT_GT(circles.count[c], 0u);
            const auto n = static_cast<double>(circles.count[c]);
            centroids.emplace_back(static_cast<float>(circles.sumX[c] / n), static_cast<float>(circles.sumY[c] / n));
        }
        measured.push_back(centroids);
    }

    const auto calibrate = [&](const std::vector<std::vector<cv::Point2f>>& points, cv::Mat& k, cv::Mat& d) {
        std::vector<cv::Mat> rvecs, tvecs;
        return cv::calibrateCamera(objects, points, size, k, d, rvecs, tvecs, 0,
                                   cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
    };
    const auto& lens = config.lens;
    cv::Mat k, d;
    EXPECT_LT(calibrate(exact, k, d), 1e-3);  // the centres were rounded to float
    EXPECT_NEAR(k.at<double>(0, 0), lens.fx, 0.05);
    EXPECT_NEAR(k.at<double>(1, 1), lens.fy, 0.05);
    EXPECT_NEAR(k.at<double>(0, 2), lens.cx, 0.05);
    EXPECT_NEAR(k.at<double>(1, 2), lens.cy, 0.05);
    const double coefficients[5] = {lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(d.at<double>(0, i), coefficients[i], 1e-3) << i;

    // The centroids carry the perspective and lattice biases of a few tenths of a pixel.
    const double rms = calibrate(measured, k, d);
    EXPECT_LT(rms, 0.15);
    EXPECT_NEAR(k.at<double>(0, 0), lens.fx, 0.002 * lens.fx);
    EXPECT_NEAR(k.at<double>(1, 1), lens.fy, 0.002 * lens.fy);
    EXPECT_NEAR(k.at<double>(0, 2), lens.cx, 1.5);
    EXPECT_NEAR(k.at<double>(1, 2), lens.cy, 1.5);
    EXPECT_NEAR(d.at<double>(0, 0), lens.k1, 0.01);
}

TEST(CircleGridOpenCv, StereoCalibrationGivesBackTheRigPose) {
    auto reference = circleGridConfig(33);
    reference.lens = distortedLens();
    auto second = reference;
    second.lens = {990, 995, 633, 366, -0.1, 0.02, 0.0004, -0.0007, 0};
    second.rig_pose = {{0.01, -0.12, 0.02}, {-160, 3, -8}};
    reference.target_poses = second.target_poses = sim::drawCircleGridPoses({reference, second}, 15);

    const auto object = worldPoints(reference.target);
    std::vector<std::vector<cv::Point3f>> objects;
    std::vector<std::vector<cv::Point2f>> a, b;
    for (uint64_t k = 0; k < reference.target_poses.size(); ++k) {
        objects.push_back(object);
        a.push_back(truth(reference, k));
        b.push_back(truth(second, k));
    }
    cv::Mat ka = cameraMatrix(reference.lens), da = distortion(reference.lens);
    cv::Mat kb = cameraMatrix(second.lens), db = distortion(second.lens);
    cv::Mat r, t, e, f;
    const double rms = cv::stereoCalibrate(objects, a, b, ka, da, kb, db, cv::Size(reference.width, reference.height),
                                           r, t, e, f, cv::CALIB_FIX_INTRINSIC,
                                           cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-12));
    EXPECT_LT(rms, 1e-3);
    cv::Mat rvec;
    cv::Rodrigues(r, rvec);
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(rvec.at<double>(i), second.rig_pose.rotation[static_cast<size_t>(i)], 1e-5) << i;
        EXPECT_NEAR(t.at<double>(i), second.rig_pose.translation[static_cast<size_t>(i)], 0.01) << i;
    }
}

}  // namespace
}  // namespace vireo
