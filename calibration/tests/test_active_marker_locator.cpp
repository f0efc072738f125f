// Tests of the active-marker locator: blinking markers of symmetric and asymmetric targets
// seen at oblique poses are found at their true image positions and ordered row by row, with
// random flicker, an out-of-band light and noise in the scene; and the plausibility filter's
// rules (the number of clusters, the 15-unit spacing, the 30 % size balance), the intake of a
// range with nothing blinking and a run with too few points.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include <vireo/EventActiveMarkerGridLocator.h>

#include "CalibrationTestData.h"

namespace vireo {

struct EventActiveMarkerGridLocatorTestAccess {
    static KMeansBasedClusterGenerator<2, float>& generator(EventActiveMarkerGridLocator& locator) {
        return locator.generator;
    }
};

namespace {

using Access = EventActiveMarkerGridLocatorTestAccess;

const cv::Size kSensor(1280, 720);

EventActiveMarkerGridLocatorConfig bandConfig(bool asymmetric) {
    return EventActiveMarkerGridLocatorConfig(1.0f, 1.0f, 1.0f, 5, 80.0f, 600.0f, 100, UINT64_MAX, 100, 1e-4,
                                              asymmetric);
}

void sortByTime(std::vector<Event2D>& events) {
    std::stable_sort(events.begin(), events.end(),
                     [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; });
}

// A light spot centred at `centre` (pixels): every pixel within 2.2 px fires at each of its
// transitions, one event plus up to two more the closer it is to the centre (a Gaussian
// spot of 1 px), each pixel a few microseconds late of its own.
void blinkSpot(const cv::Point2f& centre, double hz, uint64_t begin_us, uint64_t end_us, std::mt19937& random,
               std::vector<Event2D>& out) {
    std::uniform_int_distribution<uint32_t> late(0, 20);
    const double half = 1e6 / hz / 2;
    for (int y = static_cast<int>(std::floor(centre.y - 3)); y <= static_cast<int>(std::ceil(centre.y + 3)); ++y) {
        for (int x = static_cast<int>(std::floor(centre.x - 3)); x <= static_cast<int>(std::ceil(centre.x + 3)); ++x) {
            const double r2 = (x - centre.x) * (x - centre.x) + (y - centre.y) * (y - centre.y);
            if (r2 > 2.2 * 2.2 || x < 0 || y < 0 || x >= kSensor.width || y >= kSensor.height) continue;
            const int burst = 1 + static_cast<int>(std::lround(2.0 * std::exp(-r2 / 2.0)));
            const uint32_t delay = late(random);
            for (int k = 0;; ++k) {
                const auto t = begin_us + static_cast<uint64_t>(k * half) + delay;
                if (t >= end_us) break;
                for (int b = 0; b < burst; ++b) {
                    out.emplace_back(static_cast<uint16_t>(x), static_cast<uint16_t>(y), static_cast<uint8_t>(k % 2 == 0),
                                     t + static_cast<uint64_t>(b));
                }
            }
        }
    }
}

// The distractors: a 30 x 30 patch whose pixels toggle at random (about 170 times a second
// each), a light blinking at `other_hz`, and uniform noise at 200 000 events per second.
void addDistractors(double other_hz, uint64_t begin_us, uint64_t end_us, std::mt19937& random,
                    std::vector<Event2D>& out) {
    std::exponential_distribution<double> gap(1.0 / 3000.0);
    for (uint16_t y = 650; y < 680; ++y) {
        for (uint16_t x = 20; x < 50; ++x) {
            uint8_t polarity = 1;
            for (double t = static_cast<double>(begin_us) + gap(random); t < static_cast<double>(end_us); t += gap(random)) {
                out.emplace_back(x, y, polarity, static_cast<uint64_t>(t));
                polarity ^= 1;
            }
        }
    }
    blinkSpot(cv::Point2f(1240.3f, 40.6f), other_hz, begin_us, end_us, random, out);
    std::uniform_int_distribution<int> px(0, kSensor.width - 1), py(0, kSensor.height - 1), bit(0, 1);
    std::uniform_int_distribution<uint64_t> when(begin_us, end_us - 1);
    const auto noise = static_cast<size_t>((end_us - begin_us) / 5);
    for (size_t i = 0; i < noise; ++i) {
        out.emplace_back(static_cast<uint16_t>(px(random)), static_cast<uint16_t>(py(random)),
                         static_cast<uint8_t>(bit(random)), when(random));
    }
}

// Events of `target`'s markers at `pose`, blinking at `hz` for [begin_us, end_us), with the
// distractors.
std::vector<Event2D> markerWindow(const test::Target& target, const test::Pose& pose, double hz, double other_hz,
                                  uint64_t begin_us, uint64_t end_us, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<Event2D> events;
    for (const auto& centre : test::project(test::targetCentres(target), pose, test::groundTruthCamera())) {
        blinkSpot(centre, hz, begin_us, end_us, random, events);
    }
    addDistractors(other_hz, begin_us, end_us, random, events);
    sortByTime(events);
    return events;
}

void expectGridFound(const test::Target& target, double hz, double other_hz) {
    const auto camera = test::groundTruthCamera();
    const auto poses = test::viewPoses(target, camera, 3, 41, 35.0);
    const bool asymmetric = target.kind == test::TargetKind::AsymmetricCircles;
    EventActiveMarkerGridLocator locator(target.cols, target.rows, kSensor, bandConfig(asymmetric));
    uint64_t begin = 0;
    for (const auto& pose : poses) {
        const auto events = markerWindow(target, pose, hz, other_hz, begin, begin + 100000, 5);
        locator.processEvents(events.data(), events.data() + events.size());
        // Only marker pixels blink: nothing from the flicker patch, the other light or the noise.
        for (const auto& e : locator.getBlinkingEvents()) {
            ASSERT_FALSE(e.x >= 20 && e.x < 50 && e.y >= 650 && e.y < 680) << e.x << "," << e.y;
            ASSERT_FALSE(e.x > 1230 && e.y < 50) << e.x << "," << e.y;
            ASSERT_NEAR(e.frequency, hz, 0.02 * hz);
        }
        std::vector<cv::Point2f> centres;
        ASSERT_TRUE(locator.locateGrid(centres)) << hz << " Hz";
        const auto truth = test::project(test::targetCentres(target), pose, camera);
        const double off = asymmetric ? test::maxDistance(centres, truth) : test::maxDistanceUpToHalfTurn(centres, truth);
        EXPECT_LT(off, 0.35) << hz << " Hz";
        begin += 100000;
    }
}

TEST(ActiveMarkerLocator, FindsSymmetricMarkersRowByRowWithDistractors) {
    expectGridFound(test::symmetricCirclesTarget(), 100.0, 1500.0);
    expectGridFound(test::symmetricCirclesTarget(), 500.0, 40.0);
}

TEST(ActiveMarkerLocator, FindsAsymmetricMarkersRowByRowWithDistractors) {
    expectGridFound(test::asymmetricCirclesTarget(), 250.0, 1500.0);
    expectGridFound(test::asymmetricCirclesTarget(), 500.0, 40.0);
}

TEST(ActiveMarkerLocator, MarkersOutsideTheBandAreNotFound) {
    const auto target = test::symmetricCirclesTarget();
    const auto pose = test::viewPoses(target, test::groundTruthCamera(), 1, 41, 35.0)[0];
    EventActiveMarkerGridLocator locator(target.cols, target.rows, kSensor, bandConfig(false));
    const auto events = markerWindow(target, pose, 1000.0, 1500.0, 0, 100000, 9);
    locator.processEvents(events.data(), events.data() + events.size());
    EXPECT_TRUE(locator.getBlinkingEvents().empty());
    std::vector<cv::Point2f> centres{{1, 1}};
    EXPECT_FALSE(locator.locateGrid(centres));
    EXPECT_TRUE(centres.empty());
}

// Points for the generator directly: `count` events at each position.
void addPoints(EventActiveMarkerGridLocator& locator, const std::vector<cv::Point>& positions,
               const std::vector<size_t>& counts) {
    std::vector<Event2D> events;
    for (size_t i = 0; i < positions.size(); ++i) {
        for (size_t n = 0; n < counts[i]; ++n) {
            events.emplace_back(static_cast<uint16_t>(positions[i].x), static_cast<uint16_t>(positions[i].y), 1, n);
        }
    }
    Access::generator(locator).addEvents(events.data(), events.data() + events.size());
}

EventActiveMarkerGridLocatorConfig defaultConfig() { return EventActiveMarkerGridLocatorConfig(); }

TEST(ActiveMarkerLocator, AFourByThreeGridAsksForTwelveClusters) {
    EventActiveMarkerGridLocator locator(4, 3, kSensor, defaultConfig());
    std::vector<cv::Point> positions;
    for (int i = 0; i < 16; ++i) positions.emplace_back(100 + 60 * (i % 8), 100 + 60 * (i / 8));
    addPoints(locator, positions, std::vector<size_t>(positions.size(), 10));
    std::vector<cv::Point2f> centres;
    locator.locateGrid(centres);
    std::vector<KDPoint<2, float>> centroids;
    Access::generator(locator).getClusterCentroids(centroids);
    EXPECT_EQ(centroids.size(), 12u);
}

TEST(ActiveMarkerLocator, NearestCentroidsMustBeFifteenUnitsApart) {
    for (const int side : {14, 15}) {
        EventActiveMarkerGridLocator locator(2, 2, kSensor, defaultConfig());
        addPoints(locator, {{200, 200}, {200 + side, 200}, {200, 200 + side}, {200 + side, 200 + side}}, {50, 50, 50, 50});
        std::vector<cv::Point2f> centres{{1, 1}};
        const bool found = locator.locateGrid(centres);
        EXPECT_EQ(found, side == 15) << side;
        EXPECT_EQ(centres.size(), side == 15 ? 4u : 0u) << side;
    }
}

TEST(ActiveMarkerLocator, ClusterSizesMustStayWithinThirtyPercentOfTheMean) {
    const std::vector<cv::Point> square{{300, 300}, {360, 300}, {300, 360}, {360, 360}};
    for (const auto& [fourth, pass] : std::vector<std::pair<size_t, bool>>{{140, true}, {160, false}, {40, false}}) {
        EventActiveMarkerGridLocator locator(2, 2, kSensor, defaultConfig());
        addPoints(locator, square, {100, 100, 100, fourth});
        std::vector<cv::Point2f> centres;
        EXPECT_EQ(locator.locateGrid(centres), pass) << fourth;
        if (!pass) continue;
        // The four centroids, from the corner nearest the image origin.
        ASSERT_EQ(centres.size(), 4u);
        EXPECT_EQ(centres[0], cv::Point2f(300, 300));
        EXPECT_EQ(centres[3], cv::Point2f(360, 360));
    }
}

TEST(ActiveMarkerLocator, ARangeWithNothingBlinkingOnlyAdvancesTheTime) {
    const auto target = test::symmetricCirclesTarget();
    const auto pose = test::viewPoses(target, test::groundTruthCamera(), 1, 41, 35.0)[0];
    EventActiveMarkerGridLocator locator(target.cols, target.rows, kSensor, bandConfig(false));
    const auto markers = markerWindow(target, pose, 200.0, 1500.0, 0, 100000, 3);
    locator.processEvents(markers.data(), markers.data() + markers.size());
    const size_t blinking = locator.getBlinkingEvents().size();
    ASSERT_GT(blinking, 0u);

    // Flicker and noise elsewhere, after the markers went dark.
    std::mt19937 random(4);
    std::vector<Event2D> quiet;
    addDistractors(1500.0, 200000, 230000, random, quiet);
    sortByTime(quiet);
    locator.processEvents(quiet.data(), quiet.data() + quiet.size());
    EXPECT_TRUE(locator.getBlinkingEvents().empty());
    EXPECT_EQ(locator.getCurrentTime(), quiet.back().timestamp);
    // The markers' points are still there and make the grid.
    std::vector<cv::Point2f> centres;
    EXPECT_TRUE(locator.locateGrid(centres));
    EXPECT_EQ(centres.size(), 35u);
    // The run consumed them.
    EXPECT_FALSE(locator.locateGrid(centres));
}

TEST(ActiveMarkerLocator, FewerCentroidsThanCellsFailWithAnEmptyOutput) {
    EventActiveMarkerGridLocator locator(4, 3, kSensor, defaultConfig());
    addPoints(locator, {{100, 100}, {200, 100}, {300, 100}, {400, 100}, {500, 100}}, {1, 1, 1, 1, 1});
    std::vector<cv::Point2f> centres{{5, 5}, {6, 6}};
    EXPECT_FALSE(locator.locateGrid(centres));
    EXPECT_TRUE(centres.empty());
    // An empty range leaves the time where it was.
    locator.processEvents(nullptr, nullptr);
    EXPECT_EQ(locator.getCurrentTime(), 0u);
}

}  // namespace
}  // namespace vireo
