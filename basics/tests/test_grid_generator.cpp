// The grid-based generator: grid shape, constructor check, activation of 2 x 2 blocks (clipped
// at the grid's edge), polarity-separate thresholds, saturating counters, 4-connectivity,
// size limits, the state after a run, the distinct-pixel intake, the activity map view,
// copies that count on their own, cells as large as an int allows and moved-from objects.
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <stdexcept>

#include <opencv2/core.hpp>

#include <vireo/basics.h>

namespace vireo {
// Reaches the private activation step.
struct GridBasedClusterGeneratorTestAccess {
    static void activate(GridBasedClusterGenerator& g, int row, int col) { g.updateActiveCells(row, col); }
};
}  // namespace vireo

using namespace vireo;
using Access = GridBasedClusterGeneratorTestAccess;

namespace {

void feed(GridBasedClusterGenerator& g, int x, int y, uint8_t polarity, int count) {
    std::vector<Event2D> events(static_cast<size_t>(count),
                                Event2D(static_cast<uint16_t>(x), static_cast<uint16_t>(y), polarity, 0));
    g.addEvents(events.data(), events.data() + events.size());
}

std::set<std::vector<float>> rects(const std::vector<ClusterGeometry>& clusters) {
    std::set<std::vector<float>> result;
    for (const auto& c : clusters) result.insert({c.x, c.y, c.width, c.height});
    return result;
}

}  // namespace

TEST(GridBasedClusterGenerator, GridShapeAndBadSizes) {
    GridBasedClusterGenerator a(640, 480, 32, 32, 1000, 0, POLARITY_FREE, false, 1);
    EXPECT_EQ(a.getCellRows(), 15);
    EXPECT_EQ(a.getCellCols(), 20);
    GridBasedClusterGenerator b(640, 480, 100, 100, 1000, 0, POLARITY_FREE, false, 1);
    EXPECT_EQ(b.getCellRows(), 5);
    EXPECT_EQ(b.getCellCols(), 7);
    for (auto make : {+[] { GridBasedClusterGenerator(640, 480, 0, 32, 10, 0, POLARITY_FREE, false, 1); },
                      +[] { GridBasedClusterGenerator(640, 480, 32, -1, 10, 0, POLARITY_FREE, false, 1); },
                      +[] { GridBasedClusterGenerator(0, 480, 32, 32, 10, 0, POLARITY_FREE, false, 1); }}) {
        try {
            make();
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Invalid cell size or sensor size");
        }
    }
}

TEST(GridBasedClusterGenerator, SeparatePolaritiesNeedBothCounts) {
    GridBasedClusterGenerator g(320, 240, 10, 10, 1000, 0, POLARITY_SEPARATE, false, 3);
    feed(g, 5, 5, 1, 5);
    feed(g, 6, 5, 0, 2);
    EXPECT_FALSE(g.isCellActive(0, 0));
    feed(g, 25, 5, 1, 3);
    feed(g, 26, 6, 0, 3);
    EXPECT_TRUE(g.isCellActive(0, 2));
    EXPECT_TRUE(g.isCellActive(1, 3));  // the 2 x 2 block grows right and down
    EXPECT_FALSE(g.isCellActive(0, 1));
    feed(g, 5, 5, 0, 1);  // the first cell now has 5 and 3
    EXPECT_TRUE(g.isCellActive(0, 0));
}

TEST(GridBasedClusterGenerator, CountersSaturateInsteadOfWrapping) {
    // Fixed fault: a 16-bit counter used to wrap from 65535 to 0, so a cell flooded with one
    // polarity lost its count and failed the two-polarity test.
    GridBasedClusterGenerator g(64, 64, 8, 8, 1000, 0, POLARITY_SEPARATE, false, 10);
    feed(g, 1, 1, 0, 65536 + 5);
    EXPECT_EQ(g.getCellCount(0, 0, 0), 65535);
    feed(g, 2, 2, 1, 10);
    EXPECT_TRUE(g.isCellActive(0, 0));

    GridBasedClusterGenerator single(64, 64, 8, 8, 1000, 0, POLARITY_FREE, false, 65535);
    feed(single, 1, 1, 1, 70000);
    EXPECT_EQ(single.getCellCount(0, 0, 1), 65535);
    EXPECT_TRUE(single.isCellActive(0, 0));
}

TEST(GridBasedClusterGenerator, ActivationStopsAtTheGridEdge) {
    GridBasedClusterGenerator g(100, 100, 10, 10, 1000, 0, POLARITY_FREE, false, 1);
    feed(g, 95, 95, 0, 1);  // last row and column: only that cell
    int active = 0;
    for (int r = 0; r < 10; ++r) {
        for (int c = 0; c < 10; ++c) active += g.isCellActive(r, c) ? 1 : 0;
    }
    EXPECT_EQ(active, 1);
    EXPECT_TRUE(g.isCellActive(9, 9));
    // A cell below the threshold activates nothing.
    GridBasedClusterGenerator strict(100, 100, 10, 10, 1000, 0, POLARITY_FREE, false, 2);
    Access::activate(strict, 3, 3);
    EXPECT_FALSE(strict.isCellActive(3, 3));
}

TEST(GridBasedClusterGenerator, FourConnectivityAndSizeLimits) {
    GridBasedClusterGenerator g(200, 200, 10, 10, 1000, 10, POLARITY_FREE, false, 1);
    // Two blocks touching only at a corner: (0,0)-(1,1) and (2,2)-(3,3).
    feed(g, 5, 5, 0, 1);
    feed(g, 25, 25, 0, 1);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(9, clusters);
    EXPECT_EQ(rects(clusters), (std::set<std::vector<float>>{{0, 0, 20, 20}, {20, 20, 20, 20}}));
    EXPECT_EQ(clusters[0].timestamp, 9u);
    EXPECT_EQ(clusters[0].id, -1);

    // Sharing an edge: one group.
    feed(g, 5, 5, 0, 1);
    feed(g, 25, 5, 0, 1);
    g.generateClusters(10, clusters);
    EXPECT_EQ(rects(clusters), (std::set<std::vector<float>>{{0, 0, 40, 20}}));
}

TEST(GridBasedClusterGenerator, SmallGroupIsDroppedButCleared) {
    GridBasedClusterGenerator g(640, 480, 32, 32, 1000, 40, POLARITY_FREE, false, 1);
    feed(g, 639, 479, 0, 1);  // a single 32 x 32 cell at the corner
    EXPECT_TRUE(g.isCellActive(14, 19));
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());
    EXPECT_FALSE(g.isCellActive(14, 19));

    // Too large: a block of 2 x 2 cells (64 pixels) with max_size 50.
    GridBasedClusterGenerator small(640, 480, 32, 32, 50, 0, POLARITY_FREE, false, 1);
    feed(small, 10, 10, 0, 1);
    small.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());
}

TEST(GridBasedClusterGenerator, PartialCellsAreClippedToTheSensor) {
    GridBasedClusterGenerator g(100, 50, 32, 32, 1000, 0, POLARITY_FREE, false, 1);
    feed(g, 70, 40, 0, 1);  // cell (1, 2): the last row and column, both partial
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    EXPECT_EQ(rects(clusters), (std::set<std::vector<float>>{{64, 32, 36, 18}}));
}

TEST(GridBasedClusterGenerator, RunLeavesEverythingZero) {
    GridBasedClusterGenerator g(64, 64, 8, 8, 1000, 0, POLARITY_FREE, false, 2);
    feed(g, 3, 3, 1, 5);
    feed(g, 40, 40, 0, 1);
    cv::Mat map;
    g.getActiveMap(map);
    EXPECT_EQ(map.rows, 64);
    EXPECT_EQ(map.cols, 64);
    EXPECT_EQ(map.type(), CV_8UC1);
    EXPECT_NE(map.at<uint8_t>(3, 3), 0);
    EXPECT_NE(map.at<uint8_t>(40, 40), 0);
    EXPECT_EQ(cv::countNonZero(map), 2);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    EXPECT_EQ(clusters.size(), 1u);
    // The map is a view: it shows the cleared state without being fetched again.
    EXPECT_EQ(cv::countNonZero(map), 0);
    EXPECT_EQ(g.getCellCount(0, 0, 0), 0);
    EXPECT_EQ(g.getCellCount(5, 5, 0), 0);
    for (int r = 0; r < 8; ++r) {
        for (int c = 0; c < 8; ++c) EXPECT_FALSE(g.isCellActive(r, c));
    }
    // reset() clears counts but keeps active cells.
    feed(g, 3, 3, 1, 2);
    g.reset();
    EXPECT_EQ(g.getCellCount(0, 0, 1), 0);
    EXPECT_TRUE(g.isCellActive(0, 0));
}

TEST(GridBasedClusterGenerator, FilterAndDistinctPixelIntake) {
    GridBasedClusterGenerator positive_only(64, 64, 8, 8, 1000, 0, NEGATIVE_FREE, false, 1);
    feed(positive_only, 3, 3, 0, 10);
    EXPECT_FALSE(positive_only.isCellActive(0, 0));
    feed(positive_only, 3, 3, 1, 1);
    EXPECT_TRUE(positive_only.isCellActive(0, 0));

    // flag true: a hot pixel firing many events counts once.
    GridBasedClusterGenerator distinct(64, 64, 8, 8, 1000, 0, POLARITY_FREE, true, 3);
    feed(distinct, 3, 3, 1, 50);
    feed(distinct, 3, 3, 0, 50);
    EXPECT_EQ(distinct.getCellCount(0, 0, 0), 1);
    EXPECT_FALSE(distinct.isCellActive(0, 0));
    feed(distinct, 4, 3, 0, 1);
    feed(distinct, 5, 3, 0, 1);
    EXPECT_TRUE(distinct.isCellActive(0, 0));

    // With separate polarities each pixel counts once per polarity.
    GridBasedClusterGenerator separate(64, 64, 8, 8, 1000, 0, POLARITY_SEPARATE, true, 1);
    feed(separate, 3, 3, 1, 5);
    feed(separate, 3, 3, 0, 5);
    EXPECT_EQ(separate.getCellCount(0, 0, 0), 1);
    EXPECT_EQ(separate.getCellCount(0, 0, 1), 1);
    EXPECT_TRUE(separate.isCellActive(0, 0));

    // Events outside the sensor are ignored rather than written out of bounds.
    GridBasedClusterGenerator bounded(64, 64, 8, 8, 1000, 0, POLARITY_FREE, false, 1);
    feed(bounded, 64, 3, 0, 1);
    feed(bounded, 3, 900, 0, 1);
    std::vector<ClusterGeometry> clusters;
    bounded.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());
}

TEST(GridBasedClusterGenerator, CopyCountsOnItsOwnCounters) {
    GridBasedClusterGenerator original(64, 64, 8, 8, 1000, 0, POLARITY_SEPARATE, false, 2);
    feed(original, 3, 3, 1, 1);
    GridBasedClusterGenerator copy(original);
    feed(copy, 3, 3, 1, 1);
    feed(copy, 3, 3, 0, 2);
    EXPECT_EQ(copy.getCellCount(0, 0, 1), 2);
    EXPECT_EQ(original.getCellCount(0, 0, 1), 1);
    EXPECT_TRUE(copy.isCellActive(0, 0));
    EXPECT_FALSE(original.isCellActive(0, 0));
    GridBasedClusterGenerator moved(std::move(copy));
    feed(moved, 3, 3, 0, 1);
    EXPECT_EQ(moved.getCellCount(0, 0, 0), 3);
    // Through the common interface.
    ClusterGeneratorBase& base = moved;
    std::vector<ClusterGeometry> clusters;
    base.generateClusters(4, clusters);
    EXPECT_EQ(clusters.size(), 1u);
}

TEST(GridBasedClusterGenerator, CellsAsLargeAsIntAllowAreOneCell) {
    // Fixed fault: (size + cell - 1) / cell was computed in int and overflowed for cells near
    // INT_MAX, so a valid cell larger than the sensor was refused.
    const int huge = std::numeric_limits<int>::max();
    GridBasedClusterGenerator g(640, 480, huge, huge - 1, huge, 0, POLARITY_FREE, false, 1);
    EXPECT_EQ(g.getCellRows(), 1);
    EXPECT_EQ(g.getCellCols(), 1);
    feed(g, 639, 479, 0, 1);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(3, clusters);
    EXPECT_EQ(rects(clusters), (std::set<std::vector<float>>{{0, 0, 640, 480}}));
    // A group wider than max_size is still refused by its unclipped width.
    GridBasedClusterGenerator limited(640, 480, huge, 480, 1000, 0, POLARITY_FREE, false, 1);
    feed(limited, 3, 3, 0, 1);
    limited.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());
}

TEST(GridBasedClusterGenerator, MovedFromGeneratorIsEmptyAndUsable) {
    // Fixed fault: the moved-from object kept its grid size with its tables moved away, so
    // any later call indexed empty vectors.
    GridBasedClusterGenerator original(64, 64, 8, 8, 1000, 0, POLARITY_FREE, false, 1);
    feed(original, 3, 3, 0, 1);
    GridBasedClusterGenerator moved(std::move(original));
    EXPECT_TRUE(moved.isCellActive(0, 0));

    feed(original, 3, 3, 0, 5);  // NOLINT(bugprone-use-after-move): the point of the test
    std::vector<ClusterGeometry> clusters(2);
    original.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());
    EXPECT_EQ(original.getCellRows(), 0);
    EXPECT_EQ(original.getCellCols(), 0);
    EXPECT_EQ(original.getSensorWidth(), 0);
    EXPECT_FALSE(original.isCellActive(0, 0));
    EXPECT_EQ(original.getCellCount(0, 0, 0), 0);
    cv::Mat map(3, 3, CV_8UC1);
    original.getActiveMap(map);
    EXPECT_TRUE(map.empty());
    original.reset();
    GridBasedClusterGenerator copyOfEmpty(original);
    copyOfEmpty.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());
    // The new owner is unaffected.
    moved.generateClusters(1, clusters);
    EXPECT_EQ(rects(clusters), (std::set<std::vector<float>>{{0, 0, 16, 16}}));
}
