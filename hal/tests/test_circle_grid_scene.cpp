// The CircleGrid scene against its ground truth: the target's numbering, the lens at the
// principal point, the poses drawn from the seed, the stream's events on the true projected
// outlines (with and without distortion), the noise rate, the pose timing and looping, the
// views of a two-camera rig, and the configurations that are refused. The lens model and the
// rig transform are checked against OpenCV in test_circle_grid_opencv.cpp.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <tuple>

#include <vireo/SimulatedCamera.h>

#include "CircleGridTestSupport.h"

namespace vireo {
namespace {

using test::circleGridConfig;
using test::CircleEvents;
using test::OpenedCamera;
using test::PluggedCameras;

constexpr double kDegree = std::numbers::pi / 180;

// Every circle's outline (and its 1-pixel neighbourhood) lies on the image in camera `config`.
bool outlinesInside(const sim::SimulatedCameraConfig& config, const sim::RigidPose& pose) {
    const size_t n = sim::circleGridWorldCenters(config.target).size();
    for (size_t c = 0; c < n; ++c) {
        const auto outline = test::projectedOutline(config, pose, c);
        if (outline.size() != 180) return false;
        for (const auto& p : outline) {
            if (p.x < 1 || p.y < 1 || p.x > config.width - 2 || p.y > config.height - 2) return false;
        }
    }
    return true;
}

// ---- The target and the lens ---------------------------------------------------------------

TEST(CircleGridTarget, NumbersCentresRowByRowInBothLayouts) {
    sim::CircleGridTarget target;
    target.grid_cols = 3;
    target.grid_rows = 2;
    target.asymmetric = false;
    target.spacing = 10;
    target.circle_diameter = 4;
    const std::vector<std::pair<double, double>> symmetric = {{0, 0}, {10, 0}, {20, 0}, {0, 10}, {10, 10}, {20, 10}};
    auto centres = sim::circleGridWorldCenters(target);
    ASSERT_EQ(centres.size(), symmetric.size());
    for (size_t k = 0; k < centres.size(); ++k) {
        EXPECT_EQ(std::make_tuple(centres[k].x, centres[k].y, centres[k].z),
                  std::make_tuple(symmetric[k].first, symmetric[k].second, 0.0)) << k;
    }

    // Asymmetric: `spacing` along a row, rows spacing/2 apart, odd rows shifted by spacing/2.
    target.asymmetric = true;
    target.grid_rows = 3;
    const std::vector<std::pair<double, double>> asymmetric = {{0, 0}, {10, 0}, {20, 0}, {5, 5}, {15, 5},
                                                               {25, 5}, {0, 10}, {10, 10}, {20, 10}};
    centres = sim::circleGridWorldCenters(target);
    ASSERT_EQ(centres.size(), asymmetric.size());
    for (size_t k = 0; k < centres.size(); ++k) {
        EXPECT_EQ(std::make_pair(centres[k].x, centres[k].y), asymmetric[k]) << k;
    }
}

// A circle whose centre sits on the optical axis images at the principal point whatever the
// distortion and the tilt; its row neighbour, for an untilted target and an undistorted lens,
// at fx·spacing/z to the right of it.
TEST(CircleGridProjection, CentreOnTheOpticalAxisImagesAtThePrincipalPoint) {
    auto config = circleGridConfig();
    config.lens = {1210.0, 1190.0, 651.25, 347.75, -0.3, 0.12, 0.002, -0.0015, -0.02};
    const auto world = sim::circleGridWorldCenters(config.target);
    for (size_t c : {size_t{0}, size_t{5}, size_t{22}, world.size() - 1}) {
        sim::RigidPose pose;
        pose.rotation = {0.3, -0.2, 0.1};
        const auto turned = test::Motion(pose)(world[c]);
        pose.translation = {-turned.x, -turned.y, 700 - turned.z};
        config.target_poses = {pose};
        const auto centres = sim::circleGridProjectedCenters(config, 0);
        EXPECT_NEAR(centres[c].x, config.lens.cx, 1e-9) << c;
        EXPECT_NEAR(centres[c].y, config.lens.cy, 1e-9) << c;
    }

    config.lens.k1 = config.lens.k2 = config.lens.p1 = config.lens.p2 = config.lens.k3 = 0;
    sim::RigidPose straight;
    straight.translation = {-world[4].x, -world[4].y, 800};
    config.target_poses = {straight};
    const auto centres = sim::circleGridProjectedCenters(config, 0);
    EXPECT_NEAR(centres[5].x, config.lens.cx + config.lens.fx * config.target.spacing / 800, 1e-9);
    EXPECT_NEAR(centres[5].y, config.lens.cy, 1e-9);
}

// ---- Poses ---------------------------------------------------------------------------------

TEST(CircleGridPoses, DrawnPosesKeepTheTargetInsideAndVaryEnoughForCalibration) {
    auto config = circleGridConfig(21);
    config.lens.k1 = -0.2;
    config.lens.k2 = 0.05;
    const auto poses = sim::circleGridPoses(config);
    ASSERT_EQ(poses.size(), 25u);

    const auto world = sim::circleGridWorldCenters(config.target);
    const sim::Point3d middle{(world.front().x + world.back().x) / 2, (world.front().y + world.back().y) / 2, 0};
    double minDepth = 1e300, maxDepth = 0, minU = 1e300, maxU = 0, minV = 1e300, maxV = 0, maxTilt = 0;
    std::set<std::pair<bool, bool>> tiltSides;  // signs of the normal's x and y
    for (const auto& pose : poses) {
        EXPECT_TRUE(outlinesInside(config, pose));
        const test::Motion motion(pose);
        const auto centre = motion(middle);
        minDepth = std::min(minDepth, centre.z), maxDepth = std::max(maxDepth, centre.z);
        const auto uv = *sim::projectPoint(config.lens, centre);
        minU = std::min(minU, uv.x), maxU = std::max(maxU, uv.x);
        minV = std::min(minV, uv.y), maxV = std::max(maxV, uv.y);
        const double nx = motion.r[0][2], ny = motion.r[1][2], nz = motion.r[2][2];
        const double tilt = std::acos(std::abs(nz));
        maxTilt = std::max(maxTilt, tilt);
        EXPECT_LT(tilt, 45 * kDegree);
        if (tilt > 10 * kDegree) tiltSides.insert({nx > 0, ny > 0});
        // The target fills a good part of the view: its rows span at least a fifth of the height.
        const auto centres = sim::circleGridProjectedCenters(config, static_cast<uint64_t>(&pose - poses.data()));
        double top = 1e300, bottom = 0;
        for (const auto& p : centres) top = std::min(top, p.y), bottom = std::max(bottom, p.y);
        EXPECT_GT(bottom - top, 0.2 * config.height);
    }
    EXPECT_GT(maxTilt, 25 * kDegree);
    EXPECT_EQ(tiltSides.size(), 4u);          // tilted towards every quadrant
    EXPECT_GT(maxDepth / minDepth, 1.4);      // near and far
    EXPECT_GT(maxU - minU, 0.4 * config.width);  // across the view
    EXPECT_GT(maxV - minV, 0.15 * config.height);

    // The seed decides the sequence.
    const auto again = sim::circleGridPoses(config);
    EXPECT_EQ(again[7].rotation, poses[7].rotation);
    EXPECT_EQ(again[7].translation, poses[7].translation);
    config.seed = 22;
    EXPECT_NE(sim::circleGridPoses(config)[0].translation, poses[0].translation);
}

// ---- Rig -----------------------------------------------------------------------------------

// Camera 1 sits `baseline` to the right of the reference: every centre moves left by the
// disparity fx·baseline/z of its depth z in the reference camera.
TEST(CircleGridRig, TranslatedCameraSeesTheDisparityOfItsBaseline) {
    auto reference = circleGridConfig(8);
    auto second = reference;
    const double baseline = 120;
    second.rig_pose.translation = {-baseline, 0, 0};
    const auto poses = sim::drawCircleGridPoses({reference, second}, 10);
    reference.target_poses = second.target_poses = poses;
    const auto world = sim::circleGridWorldCenters(reference.target);
    for (uint64_t k = 0; k < poses.size(); ++k) {
        const auto a = sim::circleGridProjectedCenters(reference, k);
        const auto b = sim::circleGridProjectedCenters(second, k);
        for (size_t c = 0; c < world.size(); ++c) {
            const double z = test::Motion(poses[k])(world[c]).z;
            ASSERT_NEAR(b[c].x, a[c].x - reference.lens.fx * baseline / z, 1e-6) << k << " " << c;
            ASSERT_NEAR(b[c].y, a[c].y, 1e-6);
        }
    }
}

// Poses drawn for a rig keep the target inside both views, and both cameras stream the
// shared pose, each its own view of it.
TEST(CircleGridRig, EachCameraStreamsItsOwnView) {
    auto reference = circleGridConfig(10);
    auto second = reference;
    second.rig_pose.rotation = {0, -0.2, 0};
    second.rig_pose.translation = {-250, 5, 10};
    second.lens = {900, 905, 630, 370, -0.1, 0.01, 0, 0, 0};
    reference.target_poses = second.target_poses = sim::drawCircleGridPoses({reference, second}, 8);
    for (const auto& pose : reference.target_poses) {
        EXPECT_TRUE(outlinesInside(reference, pose));
        EXPECT_TRUE(outlinesInside(second, pose));
    }

    PluggedCameras plugged;
    OpenedCamera a(plugged.plug(reference)), b(plugged.plug(second));
    const auto eventsA = test::streamUntil(a, reference.pose_period_us);
    const auto eventsB = test::streamUntil(b, reference.pose_period_us);
    ASSERT_FALSE(eventsA.empty());
    ASSERT_FALSE(eventsB.empty());
    const CircleEvents onA(reference, 0, eventsA), onB(second, 0, eventsB);
    EXPECT_EQ(onA.outside + onA.offOutline, 0u);
    EXPECT_EQ(onB.outside + onB.offOutline, 0u);
    for (size_t c = 0; c < onA.centres.size(); ++c) {
        EXPECT_LT(onA.centroidError(c), 0.45) << c;
        EXPECT_LT(onB.centroidError(c), 0.45) << c;
        EXPECT_GT(std::hypot(onA.centres[c].x - onB.centres[c].x, onA.centres[c].y - onB.centres[c].y), 20);
    }
}

// ---- The stream ----------------------------------------------------------------------------

// The events of every burst lie on the projected outlines (within the pixel the jitter
// sweeps, plus the quarter-pixel shifts), all circles fire with both polarities, and each
// circle's events centre on its true projected centre. The centroid of a tilted circle's
// image is not quite the image of its centre (up to about 0.35 pixel for the nearest, most
// tilted poses), and the pixel lattice adds up to about 0.2: hence a bound for every circle
// and a tighter one for their mean, which a systematic offset would exceed.
void expectEventsOnTheOutlines(const sim::SimulatedCameraConfig& config, double worst_px, double mean_px) {
    const uint64_t showings = 3;
    const auto events = test::streamUntil(config, showings * config.pose_period_us);
    ASSERT_FALSE(events.empty());
    for (uint64_t k = 0; k < showings; ++k) {
        const auto span = sim::circleGridPoseSpan(config, k);
        const CircleEvents circles(config, k, test::eventsIn(events, span.begin_us, span.end_us));
        EXPECT_EQ(circles.outside, 0u) << "pose " << k;
        EXPECT_EQ(circles.offOutline, 0u) << "pose " << k;
        EXPECT_GT(circles.farthest_px, 1.0) << "pose " << k;  // the band is as wide as the jitter
        double worst = 0, sum = 0;
        for (size_t c = 0; c < circles.centres.size(); ++c) {
            ASSERT_GT(circles.count[c], 100u) << "pose " << k << " circle " << c;
            const double share = static_cast<double>(circles.positive[c]) / static_cast<double>(circles.count[c]);
            EXPECT_GT(share, 0.35) << "pose " << k << " circle " << c;
            EXPECT_LT(share, 0.65) << "pose " << k << " circle " << c;
            worst = std::max(worst, circles.centroidError(c));
            sum += circles.centroidError(c);
        }
        EXPECT_LT(worst, worst_px) << "pose " << k;
        EXPECT_LT(sum / static_cast<double>(circles.centres.size()), mean_px) << "pose " << k;
    }
}

TEST(CircleGridScene, EventsLieOnTheProjectedOutlinesOfAnUndistortedLens) {
    expectEventsOnTheOutlines(circleGridConfig(12), 0.45, 0.2);
}

TEST(CircleGridScene, EventsLieOnTheProjectedOutlinesThroughDistortion) {
    auto config = circleGridConfig(13);
    config.lens = {1000, 1000, 642, 355, -0.28, 0.09, 0.0015, -0.001, -0.01};
    config.target.asymmetric = false;
    config.target.grid_cols = 7;
    config.target.grid_rows = 5;
    config.target.spacing = 30;
    config.target.circle_diameter = 12;
    expectEventsOnTheOutlines(config, 0.5, 0.25);
}

TEST(CircleGridScene, NoiseFiresAtItsRateInTheGapsAndDuringBursts) {
    auto config = circleGridConfig(14);
    config.noise_rate = 2e5;
    config.pose_period_us = 20000;
    config.burst_us = 6000;
    const uint64_t showings = 10;
    const auto events = test::streamUntil(config, showings * config.pose_period_us);

    double gapEvents = 0, burstNoise = 0, burstNoiseExpected = 0;
    for (uint64_t k = 0; k < showings; ++k) {
        const auto span = sim::circleGridPoseSpan(config, k);
        gapEvents += static_cast<double>(test::eventsIn(events, span.burst_end_us, span.end_us).size());
        // During the burst, the pixels outside the target's outline box only see noise.
        const auto pose = sim::circleGridPoses(config)[span.pose_index];
        double left = 1e300, right = 0, top = 1e300, bottom = 0;
        for (size_t c = 0; c < sim::circleGridWorldCenters(config.target).size(); ++c) {
            for (const auto& p : test::projectedOutline(config, pose, c)) {
                left = std::min(left, p.x - 3), right = std::max(right, p.x + 3);
                top = std::min(top, p.y - 3), bottom = std::max(bottom, p.y + 3);
            }
        }
        for (const auto& e : test::eventsIn(events, span.begin_us, span.burst_end_us)) {
            if (e.x < left || e.x > right || e.y < top || e.y > bottom) burstNoise += 1;
        }
        const double outsideShare = 1 - (right - left) * (bottom - top) / (config.width * config.height);
        burstNoiseExpected += config.noise_rate * outsideShare * static_cast<double>(config.burst_us) * 1e-6;
    }
    const double gapExpected = config.noise_rate * showings * static_cast<double>(config.pose_period_us - config.burst_us) * 1e-6;
    EXPECT_NEAR(gapEvents / gapExpected, 1.0, 0.03);  // 28000 expected: 3 % is about 5 sigma
    EXPECT_NEAR(burstNoise / burstNoiseExpected, 1.0, 0.06);
}

// Pose k is shown in [k·period, (k+1)·period), fires only during its burst, covers the burst,
// and the sequence starts over after the last pose.
TEST(CircleGridScene, PosesChangeAtTheDocumentedTimesAndLoop) {
    auto config = circleGridConfig(15);
    config.pose_count = 3;
    config.pose_period_us = 15000;
    config.burst_us = 4000;
    config.jitter_period_us = 1000;
    const uint64_t showings = 5;
    const auto events = test::streamUntil(config, showings * config.pose_period_us);
    ASSERT_FALSE(events.empty());

    std::vector<std::vector<std::tuple<uint16_t, uint16_t, uint64_t>>> firings(showings);
    for (uint64_t k = 0; k < showings; ++k) {
        const auto span = sim::circleGridPoseSpan(config, k);
        EXPECT_EQ(span.pose_index, k % 3);
        EXPECT_EQ(span.begin_us, k * 15000);
        EXPECT_EQ(span.burst_end_us, k * 15000 + 4000);
        EXPECT_EQ(span.end_us, (k + 1) * 15000);
        EXPECT_TRUE(test::eventsIn(events, span.burst_end_us, span.end_us).empty()) << "still after burst " << k;
        const auto burst = test::eventsIn(events, span.begin_us, span.burst_end_us);
        ASSERT_FALSE(burst.empty());
        EXPECT_LT(burst.front().timestamp, span.begin_us + 20);
        EXPECT_GT(burst.back().timestamp, span.burst_end_us - 20);
        // On this pose's outlines, not on the next pose's.
        EXPECT_EQ(CircleEvents(config, k, burst, 2.0).outside, 0u) << k;
        EXPECT_GT(CircleEvents(config, k + 1, burst, 2.0).outside, burst.size() / 2) << k;
        for (const auto& e : burst) firings[k].emplace_back(e.x, e.y, e.timestamp - span.begin_us);
    }
    // A pose shown again fires the same pixels at the same times within its burst.
    EXPECT_EQ(firings[3], firings[0]);
    EXPECT_EQ(firings[4], firings[1]);
    EXPECT_NE(firings[1], firings[0]);
}

TEST(CircleGridScene, StreamIsDeterminedByItsSeed) {
    auto config = circleGridConfig(16);
    config.noise_rate = 1e5;
    config.pose_count = 2;
    const uint64_t until = 2 * config.pose_period_us;
    const auto first = test::streamUntil(config, until);
    const auto second = test::streamUntil(config, until);
    ASSERT_GT(first.size(), 10000u);
    EXPECT_EQ(first, second);
    config.seed = 17;
    EXPECT_NE(test::streamUntil(config, until), first);
}

// Paced by the clock, the camera delivers the same scene: ordered events on the outlines.
TEST(CircleGridScene, StreamsInRealTime) {
    auto config = circleGridConfig(18);
    config.real_time = true;
    config.pose_period_us = 20000;
    config.burst_us = 5000;
    const uint64_t showings = 3;
    const auto events = test::streamUntil(config, showings * config.pose_period_us);
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; }));
    // A loaded machine may skip slices; every burst that came through is on its outlines.
    size_t bursts = 0;
    for (uint64_t k = 0; k < showings; ++k) {
        const auto span = sim::circleGridPoseSpan(config, k);
        const auto burst = test::eventsIn(events, span.begin_us, span.end_us);
        if (burst.size() < 1000) continue;
        const CircleEvents circles(config, k, burst);
        EXPECT_EQ(circles.outside + circles.offOutline, 0u) << k;
        ++bursts;
    }
    EXPECT_GE(bursts, 1u);
}

// ---- Configurations that cannot stream -----------------------------------------------------

TEST(CircleGridConfig, RejectsWhatCannotStream) {
    const auto base = circleGridConfig();
    using Change = void (*)(sim::SimulatedCameraConfig&);
    const std::vector<std::pair<const char*, Change>> broken = {
        {"one row", [](sim::SimulatedCameraConfig& c) { c.target.grid_rows = 1; }},
        {"touching circles", [](sim::SimulatedCameraConfig& c) { c.target.circle_diameter = 0.75 * c.target.spacing; }},
        {"no focal length", [](sim::SimulatedCameraConfig& c) { c.lens.fy = 0; }},
        {"NaN distortion", [](sim::SimulatedCameraConfig& c) { c.lens.k2 = std::nan(""); }},
        {"no poses", [](sim::SimulatedCameraConfig& c) { c.pose_count = 0; }},
        {"infinite pose", [](sim::SimulatedCameraConfig& c) { c.target_poses = {{{0, 0, 0}, {0, 0, INFINITY}}}; }},
        {"burst longer than the pose", [](sim::SimulatedCameraConfig& c) { c.burst_us = c.pose_period_us + 1; }},
        {"jitter of 1 us", [](sim::SimulatedCameraConfig& c) { c.jitter_period_us = 1; }},
        {"negative noise", [](sim::SimulatedCameraConfig& c) { c.noise_rate = -1; }},
        {"lens folding before the target fits", [](sim::SimulatedCameraConfig& c) { c.lens.k1 = -50; }},
    };
    for (const auto& [what, change] : broken) {
        auto config = base;
        change(config);
        EXPECT_THROW(sim::plugCamera(config), std::invalid_argument) << what;
        EXPECT_THROW(sim::circleGridProjectedCenters(config, 0), std::invalid_argument) << what;
    }
    // A wide symmetric grid may use a diameter that an asymmetric one of the same spacing may not.
    auto symmetric = base.target;
    symmetric.asymmetric = false;
    symmetric.circle_diameter = 0.75 * symmetric.spacing;
    EXPECT_EQ(sim::circleGridWorldCenters(symmetric).size(), 44u);

    EXPECT_THROW(sim::drawCircleGridPoses({}, 5), std::invalid_argument);
    EXPECT_THROW(sim::drawCircleGridPoses({base}, 0), std::invalid_argument);
    auto far = base;
    far.rig_pose.translation = {-5000, 0, 0};  // looks right past the target
    EXPECT_THROW(sim::drawCircleGridPoses({base, far}, 3), std::invalid_argument);
}

}  // namespace
}  // namespace vireo
