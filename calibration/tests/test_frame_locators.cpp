// The frame locators on frames rendered at known poses: each finds its target with the
// expected points in the convention's order, reports nothing before a frame or after a
// frame without the target, and hands the same points out as often as asked.
#include <gtest/gtest.h>

#include <vireo/lensfit.h>

#include "CalibrationTestData.h"

namespace vireo {
namespace {

const test::PinholeCamera kCamera = test::groundTruthCamera();

std::vector<cv::Point2f> expectedPoints(const test::Target& target, const test::Pose& pose) {
    return test::project(test::targetCentres(target), pose, kCamera);
}

TEST(FrameLocators, NothingBeforeTheFirstFrame) {
    FrameChessboardGridLocatorAlgo chessboard(9, 6, kCamera.size);
    FrameCirclesSymmetricGridLocatorAlgo symmetric(7, 5, kCamera.size);
    FrameCirclesAsymmetricGridLocatorAlgo asymmetric(4, 11, kCamera.size);
    for (GridLocatorAlgoBase<FrameBased>* locator :
         std::initializer_list<GridLocatorAlgoBase<FrameBased>*>{&chessboard, &symmetric, &asymmetric}) {
        std::vector<cv::Point2f> out{{1.0f, 1.0f}};
        EXPECT_FALSE(locator->locateGrid(out));
        EXPECT_TRUE(out.empty());
        locator->processFrame(cv::Mat());  // an empty frame holds no grid
        EXPECT_FALSE(locator->locateGrid(out));
    }
}

TEST(FrameLocators, ChessboardLocatorTakesGreyAndColourFrames) {
    // 9 x 6 inner corners: 54 points, the same from a grey and a colour frame. (Every located
    // frame is checked against its projection in the ground-truth tests.)
    const test::Target target = test::chessboardTarget();
    const cv::Mat grey = test::renderTarget(target, test::viewPoses(target, kCamera, 1, 2)[0], kCamera);
    cv::Mat colour;
    cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
    FrameChessboardGridLocatorAlgo locator(9, 6, kCamera.size);
    std::vector<cv::Point2f> from_grey, from_colour;
    locator.processFrame(grey);
    ASSERT_TRUE(locator.locateGrid(from_grey));
    EXPECT_EQ(from_grey.size(), 54u);
    locator.processFrame(colour);
    ASSERT_TRUE(locator.locateGrid(from_colour));
    EXPECT_LT(test::maxDistance(from_colour, from_grey), 1e-3);
}

TEST(FrameLocators, AsymmetricCircleLocatorFindsAnAsymmetricGrid) {
    // The asymmetric target's rows lie half a pitch apart with every odd row shifted: only the
    // asymmetric detector reads it, and it reads 4 circles per row in 11 rows.
    const test::Target target = test::asymmetricCirclesTarget();
    for (const test::Pose& pose : test::viewPoses(target, kCamera, 3, 4)) {
        const cv::Mat frame = test::renderTarget(target, pose, kCamera);
        FrameCirclesAsymmetricGridLocatorAlgo locator(target.cols, target.rows, kCamera.size);
        locator.processFrame(frame);
        std::vector<cv::Point2f> found;
        ASSERT_TRUE(locator.locateGrid(found));
        EXPECT_LT(test::maxDistance(found, expectedPoints(target, pose)), 0.3);

        FrameCirclesSymmetricGridLocatorAlgo symmetric(target.cols, target.rows, kCamera.size);
        symmetric.processFrame(frame);
        EXPECT_FALSE(symmetric.locateGrid(found));
    }
}

TEST(FrameLocators, AFrameWithoutTheTargetClearsTheLastResult) {
    const test::Target target = test::symmetricCirclesTarget();
    const test::Pose pose = test::viewPoses(target, kCamera, 1, 3)[0];
    FrameCirclesSymmetricGridLocatorAlgo locator(target.cols, target.rows, kCamera.size);
    locator.processFrame(test::renderTarget(target, pose, kCamera));
    std::vector<cv::Point2f> first, second;
    ASSERT_TRUE(locator.locateGrid(first));
    ASSERT_TRUE(locator.locateGrid(second));  // nothing is consumed
    EXPECT_EQ(first, second);

    FrameCirclesSymmetricGridLocatorAlgo copy(locator);
    std::vector<cv::Point2f> copied;
    ASSERT_TRUE(copy.locateGrid(copied));
    EXPECT_EQ(copied, first);

    locator.processFrame(cv::Mat(kCamera.size, CV_8UC1, cv::Scalar(255)));
    std::vector<cv::Point2f> after{{3.0f, 3.0f}};
    EXPECT_FALSE(locator.locateGrid(after));
    EXPECT_TRUE(after.empty());
    ASSERT_TRUE(copy.locateGrid(copied));  // the copy kept its own result
}

}  // namespace
}  // namespace vireo
