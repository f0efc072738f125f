// End to end against a known camera: targets rendered (or their outlines turned into event
// windows) at known poses, located by the kit's locators with one (grid_cols, grid_rows,
// spacing), and calibrated by the Calibrator with the same three values. The result must be
// the camera the data came from.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include <opencv2/calib3d.hpp>

#include <vireo/lensfit.h>

#include "CalibrationTestData.h"

namespace vireo {
namespace {

using test::PinholeCamera;
using test::Pose;
using test::Target;
using test::TargetKind;

GridLocatorAlgoType frameType(TargetKind kind) {
    switch (kind) {
        case TargetKind::Chessboard: return FRAME_CHESSBOARD;
        case TargetKind::SymmetricCircles: return FRAME_CIRCLES_SYMMETRIC;
        default: return FRAME_CIRCLES_ASYMMETRIC;
    }
}

std::string targetName(TargetKind kind) {
    return kind == TargetKind::Chessboard         ? "Chessboard"
           : kind == TargetKind::SymmetricCircles ? "SymmetricCircles"
                                                  : "AsymmetricCircles";
}

GridType gridType(TargetKind kind) { return kind == TargetKind::AsymmetricCircles ? ASYMMETRIC_GRID : SYMMETRIC_GRID; }

void expectIntrinsics(Calibrator& calibrator, int id, const PinholeCamera& truth, double tolerance) {
    cv::Mat k, d;
    ASSERT_TRUE(calibrator.getIntrinsics(id, k, d));
    const double fx = k.at<double>(0, 0), fy = k.at<double>(1, 1), cx = k.at<double>(0, 2), cy = k.at<double>(1, 2);
    EXPECT_NEAR(fx, truth.camera_matrix(0, 0), tolerance * truth.camera_matrix(0, 0));
    EXPECT_NEAR(fy, truth.camera_matrix(1, 1), tolerance * truth.camera_matrix(1, 1));
    EXPECT_NEAR(cx, truth.camera_matrix(0, 2), tolerance * truth.camera_matrix(0, 2));
    EXPECT_NEAR(cy, truth.camera_matrix(1, 2), tolerance * truth.camera_matrix(1, 2));
}

// Renders `views` frames, locates the target in each and stores every located frame.
int locateFrames(Calibrator& calibrator, const Target& target, const PinholeCamera& camera,
                 const std::vector<Pose>& poses, const std::string& serial) {
    const int id = calibrator.addCamera(camera.size, serial);
    auto locator = GridLocator::createFrameBasedGridLocator(frameType(target.kind), target.cols, target.rows,
                                                            camera.size, nullptr);
    const std::vector<cv::Point3f> centres = test::targetCentres(target);
    for (size_t v = 0; v < poses.size(); ++v) {
        locator->processFrame(test::renderTarget(target, poses[v], camera));
        std::vector<cv::Point2f> found;
        if (!locator->locateGrid(found)) continue;
        EXPECT_LT(test::maxDistanceUpToHalfTurn(found, test::project(centres, poses[v], camera)), 0.5)
            << "view " << v;
        EXPECT_TRUE(calibrator.insertGridPoints(id, static_cast<int>(v), found));
    }
    return id;
}

class FrameCalibration : public ::testing::TestWithParam<TargetKind> {};

TEST_P(FrameCalibration, RenderedViewsCalibrateToTheKnownCamera) {
    const Target target = GetParam() == TargetKind::Chessboard         ? test::chessboardTarget()
                          : GetParam() == TargetKind::SymmetricCircles ? test::symmetricCirclesTarget()
                                                                       : test::asymmetricCirclesTarget();
    const PinholeCamera camera = test::groundTruthCamera();
    const std::vector<Pose> poses = test::viewPoses(target, camera, 14, 7);
    Calibrator calibrator(gridType(target.kind), target.cols, target.rows, static_cast<float>(target.spacing));
    const int id = locateFrames(calibrator, target, camera, poses, "gt");
    ASSERT_GE(calibrator.getGridPatternCount(id), 12u) << "the locator missed too many rendered views";

    const double rms = calibrator.calibrate(id);
    EXPECT_GT(rms, 0.0);
    EXPECT_LT(rms, 0.3);
    expectIntrinsics(calibrator, id, camera, 0.005);
    EXPECT_NEAR(calibrator.getReprojectionError(id), rms, 1e-5);
}

INSTANTIATE_TEST_SUITE_P(Targets, FrameCalibration,
                         ::testing::Values(TargetKind::Chessboard, TargetKind::SymmetricCircles,
                                           TargetKind::AsymmetricCircles),
                         [](const ::testing::TestParamInfo<TargetKind>& param_info) {
                             return targetName(param_info.param);
                         });

TEST(StereoCalibration, RenderedPairRecoversTheRelativePose) {
    const Target target = test::chessboardTarget();
    const PinholeCamera camera = test::groundTruthCamera();
    const cv::Vec3d rig_rvec(0.01, -0.09, 0.02);  // about 5.3 degrees
    cv::Matx33d rig_rotation;
    cv::Rodrigues(rig_rvec, rig_rotation);
    const cv::Vec3d rig_translation(-120.0, 4.0, 6.0);

    // Poses that keep the target in view of both cameras.
    std::vector<Pose> left, right;
    for (const Pose& pose : test::viewPoses(target, camera, 40, 11, 30.0)) {
        const Pose other = test::poseInSecondCamera(pose, rig_rotation, rig_translation);
        bool inside = true;
        for (const cv::Point2f& p : test::project(test::targetExtent(target), other, camera)) {
            inside = inside && p.x > 10 && p.y > 10 && p.x < camera.size.width - 10 && p.y < camera.size.height - 10;
        }
        if (!inside) continue;
        left.push_back(pose);
        right.push_back(other);
        if (left.size() == 14) break;
    }
    ASSERT_GE(left.size(), 12u);

    Calibrator calibrator(SYMMETRIC_GRID, target.cols, target.rows, static_cast<float>(target.spacing));
    const int a = locateFrames(calibrator, target, camera, left, "left");
    const int b = locateFrames(calibrator, target, camera, right, "right");
    ASSERT_GE(calibrator.getCommonFrameCount(a, b), 10u);

    const double rms = calibrator.calibrateStereo(a, b);
    EXPECT_GT(rms, 0.0);
    EXPECT_LT(rms, 0.5);
    cv::Mat r, t;
    ASSERT_TRUE(calibrator.getExtrinsics(a, b, r, t));
    cv::Mat error_rotation = r * cv::Mat(rig_rotation).t();
    cv::Mat error_rvec;
    cv::Rodrigues(error_rotation, error_rvec);
    EXPECT_LT(cv::norm(error_rvec) * 180.0 / CV_PI, 0.2);
    EXPECT_LT(cv::norm(t - cv::Mat(rig_translation)), 0.01 * cv::norm(rig_translation));

    // The reverse direction is the inverse transform.
    cv::Mat r_back, t_back;
    ASSERT_TRUE(calibrator.getExtrinsics(b, a, r_back, t_back));
    EXPECT_LT(cv::norm(r_back - r.t()), 1e-12);
    EXPECT_LT(cv::norm(t_back + r.t() * t), 1e-9);
}

// Event windows of a moving circle grid: the event locator's centres calibrate the camera.
class EventCalibration : public ::testing::TestWithParam<TargetKind> {};

TEST_P(EventCalibration, EventWindowsCalibrateToTheKnownCamera) {
    const Target target = GetParam() == TargetKind::SymmetricCircles ? test::symmetricCirclesTarget()
                                                                     : test::asymmetricCirclesTarget();
    const PinholeCamera camera = test::groundTruthCamera();
    const std::vector<Pose> poses = test::viewPoses(target, camera, 14, 21);
    // eps below the gap between neighbouring outlines (about 17 pixels at the steepest views).
    EventDBSCANCircleGridLocatorConfig config(1.0f, 1.0f, 1.0f, 6.0f, 10);
    auto locator = GridLocator::createEventBasedGridLocator(
        GetParam() == TargetKind::SymmetricCircles ? EVENT_DBSCAN_CIRCLES_SYMMETRIC : EVENT_DBSCAN_CIRCLES_ASYMMETRIC,
        target.cols, target.rows, camera.size, &config);
    Calibrator calibrator(gridType(target.kind), target.cols, target.rows, static_cast<float>(target.spacing));
    const int id = calibrator.addCamera(camera.size, "events");
    const std::vector<cv::Point3f> centres = test::targetCentres(target);
    for (size_t v = 0; v < poses.size(); ++v) {
        const std::vector<Event2D> events =
            test::circleOutlineEvents(target, poses[v], camera, 400, 1500, 0.35, 100 + static_cast<unsigned>(v),
                                      v * 100000);
        locator->processEvents(events.data(), events.data() + events.size());
        std::vector<cv::Point2f> found;
        if (!locator->locateGrid(found)) continue;
        EXPECT_LT(test::maxDistanceUpToHalfTurn(found, test::project(centres, poses[v], camera)), 0.8)
            << "view " << v;
        calibrator.insertGridPoints(id, static_cast<int>(v), found);
    }
    ASSERT_GE(calibrator.getGridPatternCount(id), 12u);
    const double rms = calibrator.calibrate(id);
    EXPECT_LT(rms, 0.3);
    // Centres from painted ellipses carry about 0.15 px of noise: the principal point of 14
    // views lands within about 0.5 %, checked with room to 1 %.
    expectIntrinsics(calibrator, id, camera, 0.01);
}

INSTANTIATE_TEST_SUITE_P(Targets, EventCalibration,
                         ::testing::Values(TargetKind::SymmetricCircles, TargetKind::AsymmetricCircles),
                         [](const ::testing::TestParamInfo<TargetKind>& param_info) {
                             return targetName(param_info.param);
                         });

}  // namespace
}  // namespace vireo
