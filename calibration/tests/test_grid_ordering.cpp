// Grid-centre ordering: unordered centres come back row by row, in an order that pairs with
// the Calibrator's world points; the failure cases fail cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

#include <opencv2/calib3d.hpp>

#include <vireo/lensfit.h>

#include "CalibrationTestData.h"

namespace vireo {
namespace {

// A lattice of `cols` x `rows` centres, row by row: centre (c, r) at origin + c * along +
// r * across.
std::vector<cv::Point2f> lattice(int cols, int rows, cv::Point2f origin, cv::Point2f along, cv::Point2f across) {
    std::vector<cv::Point2f> points;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) points.push_back(origin + static_cast<float>(c) * along + static_cast<float>(r) * across);
    }
    return points;
}

std::vector<cv::Point2f> shuffled(std::vector<cv::Point2f> points, unsigned seed) {
    std::mt19937 rng(seed);
    std::shuffle(points.begin(), points.end(), rng);
    return points;
}

TEST(GridLocatorUtils, ShuffledLatticeComesBackRowByRowFromTheOriginCorner) {
    const auto grid = lattice(5, 4, {100, 80}, {20, 0}, {0, 20});
    GridLocatorUtils utils(5, 4, 1.0f, false);
    for (unsigned seed = 1; seed <= 5; ++seed) {
        std::vector<cv::Point2f> out;
        ASSERT_TRUE(utils.sortGridCenters(shuffled(grid, seed), out));
        EXPECT_EQ(out, grid);
    }
}

TEST(GridLocatorUtils, TheFirstRowRunsAlongTheSideWithGridColsCentres) {
    // Rows of 5 run downwards here: the side with 5 centres is vertical.
    const auto grid = lattice(5, 4, {200, 80}, {0, 20}, {-20, 0});
    GridLocatorUtils utils(5, 4, 1.0f, false);
    std::vector<cv::Point2f> out;
    ASSERT_TRUE(utils.sortGridCenters(shuffled(grid, 3), out));
    EXPECT_EQ(out, grid);
}

TEST(GridLocatorUtils, ProjectedGridWithAStrayCentreIsOrdered) {
    const test::Target target = test::symmetricCirclesTarget();
    const test::PinholeCamera camera = test::groundTruthCamera();
    GridLocatorUtils utils(target.cols, target.rows, 1.0f, false);
    for (const test::Pose& pose : test::viewPoses(target, camera, 4, 9)) {
        const auto truth = test::project(test::targetCentres(target), pose, camera);
        auto centres = truth;
        // A stray detection inside the outline, between four cells.
        centres.push_back((truth[8] + truth[9] + truth[15] + truth[16]) * 0.25f);
        std::vector<cv::Point2f> out;
        ASSERT_TRUE(utils.sortGridCenters(shuffled(centres, 4), out));
        EXPECT_LT(test::maxDistanceUpToHalfTurn(out, truth), 1e-4);
    }
}

TEST(GridLocatorUtils, AsymmetricGridPairsWithTheCalibratorsWorldPoints) {
    const test::Target target = test::asymmetricCirclesTarget();  // 4 per row, 11 rows
    test::PinholeCamera camera = test::groundTruthCamera();
    camera.dist_coeffs = cv::Mat::zeros(1, 5, CV_64F);  // a pure homography from target to image
    std::vector<cv::Point3f> world;
    Calibrator::getGridWorldPoints(ASYMMETRIC_GRID, target.cols, target.rows, static_cast<float>(target.spacing), world);
    std::vector<cv::Point2f> world_plane;
    for (const cv::Point3f& p : world) world_plane.emplace_back(p.x, p.y);

    GridLocatorUtils utils(target.cols, target.rows, 1.0f, true);
    for (const test::Pose& pose : test::viewPoses(target, camera, 4, 12)) {
        const auto truth = test::project(test::targetCentres(target), pose, camera);
        std::vector<cv::Point2f> out;
        ASSERT_TRUE(utils.sortGridCenters(shuffled(truth, 5), out));
        ASSERT_EQ(out.size(), world_plane.size());
        // The order is a numbering of the target: one homography maps the world points onto it.
        const cv::Mat h = cv::findHomography(world_plane, out, 0);
        ASSERT_FALSE(h.empty());
        std::vector<cv::Point2f> mapped;
        cv::perspectiveTransform(world_plane, mapped, h);
        EXPECT_LT(test::maxDistance(mapped, out), 1e-2);
    }
}

TEST(GridLocatorUtils, TooFewOrDegenerateCentresFailWithoutTouchingTheOutput) {
    GridLocatorUtils utils(3, 3, 1.0f, false);
    const std::vector<cv::Point2f> sentinel{{9.0f, 9.0f}};
    std::vector<cv::Point2f> out = sentinel;
    EXPECT_FALSE(utils.sortGridCenters({{0, 0}, {10, 0}, {0, 10}}, out));
    EXPECT_EQ(out, sentinel);
    std::vector<cv::Point2f> line;
    for (int i = 0; i < 9; ++i) line.emplace_back(10.0f * static_cast<float>(i), 5.0f);
    EXPECT_FALSE(utils.sortGridCenters(line, out));
    EXPECT_EQ(out, sentinel);
    auto with_nan = lattice(3, 3, {10, 10}, {10, 0}, {0, 10});
    with_nan[4].x = std::nanf("");
    EXPECT_FALSE(utils.sortGridCenters(with_nan, out));
    // An asymmetric grid with an even number of rows looks the same turned by half a turn: it
    // has no origin corner to read.
    std::vector<cv::Point2f> even_rows;
    for (int r = 0; r < 10; ++r) {
        for (int c = 0; c < 4; ++c) even_rows.emplace_back(static_cast<float>(20 * c + 10 * (r % 2)), 10.0f * r);
    }
    GridLocatorUtils even(4, 10, 1.0f, true);
    EXPECT_FALSE(even.sortGridCenters(even_rows, out));
    EXPECT_EQ(out, sentinel);
}

TEST(GridLocatorUtils, ACentreNearestToTwoCellsFails) {
    auto grid = lattice(5, 4, {100, 80}, {20, 0}, {0, 20});
    // Cells (2, 1) and (3, 1) lose their centres to one between them.
    const cv::Point2f between = (grid[7] + grid[8]) * 0.5f;
    grid.erase(grid.begin() + 7, grid.begin() + 9);
    grid.push_back(between);
    GridLocatorUtils utils(5, 4, 1.0f, false);
    std::vector<cv::Point2f> out{{1.0f, 1.0f}};
    EXPECT_FALSE(utils.sortGridCenters(grid, out));
    EXPECT_TRUE(out.empty());
}

TEST(GridLocatorUtils, ACentreMustLieWithinHalfADiagonalOfItsCell) {
    // In ideal-grid units: 0.7 away (0.49 squared) passes, 0.8 away (0.64) fails, whatever
    // the spacing of the ideal grid.
    for (float spacing : {1.0f, 10.0f}) {
        GridLocatorUtils utils(5, 4, spacing, false);
        for (const auto& [shift, expected] : {std::pair{0.7f, true}, std::pair{0.8f, false}}) {
            auto grid = lattice(5, 4, {100, 80}, {20, 0}, {0, 20});
            grid[7].x += shift * 20.0f;  // an inner centre, moved towards its neighbour
            std::vector<cv::Point2f> out;
            EXPECT_EQ(utils.sortGridCenters(grid, out), expected) << "spacing " << spacing << " shift " << shift;
            EXPECT_EQ(out.empty(), !expected);
        }
    }
}

TEST(GridLocatorUtils, ConstructionChecks) {
    auto message = [](auto make) -> std::string {
        try {
            make();
        } catch (const std::invalid_argument& e) {
            return e.what();
        }
        return "(nothing thrown)";
    };
    EXPECT_EQ(message([] { GridLocatorUtils(1, 5, 1.0f, false); }), "Grid dimensions must be at least 2x2");
    EXPECT_EQ(message([] { GridLocatorUtils(3, 1, 1.0f, true); }), "Grid dimensions must be at least 2x2");
    EXPECT_EQ(message([] { GridLocatorUtils(3, 3, 0.0f, false); }), "Grid spacing must be greater than 0");
    EXPECT_EQ(message([] { GridLocatorUtils(3, 3, std::nanf(""), false); }), "Grid spacing must be greater than 0");
    EXPECT_EQ(message([] { GridLocatorUtils(3, 3, INFINITY, false); }), "Grid spacing must be a finite number");
}

}  // namespace
}  // namespace vireo
