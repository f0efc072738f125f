// The event circle-grid locator on synthetic event windows: the grid is found in the
// convention's order (grid_cols centres per row), and the steps on the way (feeding, the
// size filter, the ellipse fit, the grid-size check, the 3-D variants) behave as documented.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <vireo/lensfit.h>

#include "CalibrationTestData.h"

namespace vireo {

struct EventDBSCANCircleGridLocatorTestAccess {
    template <int D, typename T>
    static size_t keptEllipses(EventDBSCANCircleGridLocatorAlgo<D, T>& locator) {
        std::vector<cv::RotatedRect> ellipses;
        locator.collectEllipses(ellipses);
        return ellipses.size();
    }
    template <int D, typename T>
    static size_t clusterCount(const EventDBSCANCircleGridLocatorAlgo<D, T>& locator) {
        return locator.clusters.size();
    }
    template <int D, typename T>
    static double fitEllipse(EventDBSCANCircleGridLocatorAlgo<D, T>& locator, cv::Mat points) {
        cv::RotatedRect ellipse;
        return locator.fitEllipse(points, ellipse);
    }
};

namespace {

using Access = EventDBSCANCircleGridLocatorTestAccess;

const cv::Size kSensor(1280, 720);

// eps below the gap between neighbouring outlines of the test targets.
EventDBSCANCircleGridLocatorConfig testConfig(bool asymmetric) {
    return EventDBSCANCircleGridLocatorConfig(1.0f, 1.0f, 1.0f, 6.0f, 10, UINT64_MAX, 1, 1.0f, asymmetric);
}

template <int D, typename T>
void feed(EventDBSCANCircleGridLocatorAlgo<D, T>& locator, const std::vector<Event2D>& events) {
    locator.processEvents(events.data(), events.data() + events.size());
}

// Events on the outline of one axis-aligned ellipse with semi-axes a and b, one per half
// pixel of its length.
std::vector<Event2D> ellipseOutline(double cx, double cy, double a, double b) {
    std::vector<Event2D> events;
    const int samples = static_cast<int>(4.0 * CV_PI * std::max(a, b));
    for (int k = 0; k < samples; ++k) {
        const double t = 2.0 * CV_PI * k / samples;
        events.emplace_back(static_cast<uint16_t>(std::lround(cx + a * std::cos(t))),
                            static_cast<uint16_t>(std::lround(cy + b * std::sin(t))), 1, static_cast<uint64_t>(k));
    }
    return events;
}

TEST(EventCircleLocator, FindsAnAsymmetricGridWithGridColsCirclesPerRow) {
    // 4 circles per row, 11 rows, numbered exactly as the Calibrator's world points (the
    // symmetric grid is checked view by view in the ground-truth tests).
    const test::Target target = test::asymmetricCirclesTarget();
    const test::PinholeCamera camera = test::groundTruthCamera();
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(target.cols, target.rows, kSensor, testConfig(true));
    for (const test::Pose& pose : test::viewPoses(target, camera, 3, 6)) {
        feed(locator, test::circleOutlineEvents(target, pose, camera, 400, 1500, 0.35, 10));
        std::vector<cv::Point2f> found;
        ASSERT_TRUE(locator.locateGrid(found));
        EXPECT_LT(test::maxDistance(found, test::project(test::targetCentres(target), pose, camera)), 0.8);
    }
}

TEST(EventCircleLocator, FloatAndDoubleLocateTheSameCentres) {
    const test::Target target = test::symmetricCirclesTarget();
    const test::PinholeCamera camera = test::groundTruthCamera();
    const auto events = test::circleOutlineEvents(target, test::viewPoses(target, camera, 1, 8)[0], camera, 400, 1000,
                                                  0.35, 11);
    EventDBSCANCircleGridLocatorAlgo<2, float> single(7, 5, kSensor, testConfig(false));
    EventDBSCANCircleGridLocatorAlgo<2, double> twice(7, 5, kSensor, testConfig(false));
    feed(single, events);
    feed(twice, events);
    std::vector<cv::Point2f> a, b;
    ASSERT_TRUE(single.locateGrid(a));
    ASSERT_TRUE(twice.locateGrid(b));
    EXPECT_LT(test::maxDistance(a, b), 1e-3);
}

TEST(EventCircleLocator, TheGridFlagMustMatchTheTarget) {
    const test::Target target = test::asymmetricCirclesTarget();
    const test::PinholeCamera camera = test::groundTruthCamera();
    EventDBSCANCircleGridLocatorAlgo<2, float> symmetric(target.cols, target.rows, kSensor, testConfig(false));
    feed(symmetric, test::circleOutlineEvents(target, test::viewPoses(target, camera, 1, 3)[0], camera, 400, 0, 0.35, 1));
    std::vector<cv::Point2f> found;
    EXPECT_FALSE(symmetric.locateGrid(found));
}

TEST(EventCircleLocator, FeedingUpdatesTheCurrentTimeOnlyWithEvents) {
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(7, 5, kSensor, testConfig(false));
    EXPECT_EQ(locator.getCurrentTime(), 0u);
    const std::vector<Event2D> events{{1, 2, 0, 500}, {3, 4, 1, 900}, {5, 6, 1, 700}};
    locator.processEvents(events.data(), events.data());
    EXPECT_EQ(locator.getCurrentTime(), 0u);
    feed(locator, events);
    EXPECT_EQ(locator.getCurrentTime(), 700u);  // the last event of the range
    locator.processEvents(events.data(), events.data());
    EXPECT_EQ(locator.getCurrentTime(), 700u);
}

TEST(EventCircleLocator, SizeFilterBoundsWidthByRowsAndHeightByColumns) {
    // 1280 x 720 and a 7 x 5 grid: wider than 1280 / 5 = 256 or taller than 720 / 7 = 102
    // pixels is too large for one circle of the grid.
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(7, 5, kSensor, EventDBSCANCircleGridLocatorConfig());
    const struct {
        double a, b;
        size_t kept;
    } cases[] = {{125.0, 30.0, 1}, {129.5, 30.0, 0}, {30.0, 50.0, 1}, {30.0, 52.0, 0}};
    for (const auto& c : cases) {
        feed(locator, ellipseOutline(640, 360, c.a, c.b));
        EXPECT_EQ(Access::keptEllipses(locator), c.kept) << c.a << " x " << c.b;
    }
}

TEST(EventCircleLocator, AClusterOfFourPointsIsNeverKept) {
    EventDBSCANCircleGridLocatorConfig config(1, 1, 1, 15, 1);
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(7, 5, kSensor, config);
    EXPECT_EQ(Access::fitEllipse(locator, (cv::Mat_<float>(4, 2) << 10, 10, 14, 10, 10, 14, 14, 14)), -1.0);
    EXPECT_GE(Access::fitEllipse(locator, (cv::Mat_<float>(6, 2) << 10, 12, 14, 10, 18, 12, 18, 16, 14, 18, 10, 16)),
              0.0);
    const std::vector<Event2D> four{{100, 100, 0, 1}, {104, 100, 0, 2}, {100, 103, 0, 3}, {104, 103, 0, 4}};
    feed(locator, four);
    EXPECT_EQ(Access::keptEllipses(locator), 0u);
    EXPECT_EQ(Access::clusterCount(locator), 1u);
}

TEST(EventCircleLocator, TooFewEllipsesLeaveTheOutputAsItWas) {
    // A 6 x 5 grid of circles before a locator that looks for 7 x 5.
    const test::Target target{test::TargetKind::SymmetricCircles, 6, 5, 40.0, 10.0};
    const test::PinholeCamera camera = test::groundTruthCamera();
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(7, 5, kSensor, testConfig(false));
    feed(locator, test::circleOutlineEvents(target, test::viewPoses(target, camera, 1, 4)[0], camera, 400, 0, 0.35, 2));
    std::vector<cv::Point2f> out{{1.0f, 2.0f}};
    EXPECT_FALSE(locator.locateGrid(out));
    EXPECT_EQ(out, std::vector<cv::Point2f>{cv::Point2f(1.0f, 2.0f)});
}

TEST(EventCircleLocator, LocatingConsumesTheEventsFedSinceTheLastCall) {
    const test::Target target = test::symmetricCirclesTarget();
    const test::PinholeCamera camera = test::groundTruthCamera();
    const auto events = test::circleOutlineEvents(target, test::viewPoses(target, camera, 1, 4)[0], camera, 400, 0,
                                                  0.35, 3);
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(7, 5, kSensor, testConfig(false));
    feed(locator, events);
    std::vector<cv::Point2f> first;
    ASSERT_TRUE(locator.locateGrid(first));
    std::vector<cv::Point2f> second = first;
    EXPECT_FALSE(locator.locateGrid(second));
    EXPECT_EQ(second, first);
    // The window again, fed three times over: a pixel counts once per window, the same grid.
    for (int i = 0; i < 3; ++i) feed(locator, events);
    std::vector<cv::Point2f> third;
    ASSERT_TRUE(locator.locateGrid(third));
    EXPECT_EQ(third, first);
}

TEST(EventCircleLocator, RepeatedEventsOfOnePixelDoNotMakeItDense) {
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(7, 5, kSensor, EventDBSCANCircleGridLocatorConfig(1, 1, 1, 3, 10));
    std::vector<Event2D> hot;
    for (int pixel = 0; pixel < 30; ++pixel) {
        for (int k = 0; k < 50; ++k) hot.emplace_back(static_cast<uint16_t>(40 * pixel + 5), 300, k & 1, k);
    }
    hot.emplace_back(4000, 9000, 0, 99);  // outside the sensor: taken, not indexed
    feed(locator, hot);
    EXPECT_EQ(Access::keptEllipses(locator), 0u);
    EXPECT_EQ(Access::clusterCount(locator), 0u);
}

TEST(EventCircleLocator, ThreeDimensionalVariantsNeverLocate) {
    const test::Target target = test::symmetricCirclesTarget();
    const test::PinholeCamera camera = test::groundTruthCamera();
    const auto events = test::circleOutlineEvents(target, test::viewPoses(target, camera, 1, 4)[0], camera, 400, 0,
                                                  0.35, 3);
    EventDBSCANCircleGridLocatorAlgo<3, float> single(7, 5, kSensor, testConfig(false));
    EventDBSCANCircleGridLocatorAlgo<3, double> twice(7, 5, kSensor, testConfig(false));
    feed(single, events);
    feed(twice, events);
    std::vector<cv::Point2f> out{{7.0f, 8.0f}};
    EXPECT_FALSE(single.locateGrid(out));
    EXPECT_FALSE(twice.locateGrid(out));
    EXPECT_EQ(out, std::vector<cv::Point2f>{cv::Point2f(7.0f, 8.0f)});
    EXPECT_EQ(single.getCurrentTime(), events.back().timestamp);
}

}  // namespace
}  // namespace vireo
