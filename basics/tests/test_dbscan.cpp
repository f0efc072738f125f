// DBSCAN on both paths: core and border points, open neighbourhoods, boxes, the different
// treatment of a border point between two groups, bad arguments, and agreement with a
// brute-force reference on random data for many seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include <vireo/basics.h>

#include "ClusteringTestData.h"

using namespace vireo;
using vireo::testing::asSets;
using vireo::testing::pt;

namespace {

using Clusters = std::vector<std::vector<size_t>>;

template <int D, typename T>
void run(DBSCAN<D, T>& dbscan, const std::vector<KDPoint<D, T>>& points, unsigned char jobs, Clusters& clusters,
         std::vector<std::vector<T>>& boxes) {
    dbscan.generateClustersMultiThread(points, clusters, boxes, jobs);
}

}  // namespace

TEST(DBSCAN, MinPtsOneMakesEveryPointItsOwnCluster) {
    const std::vector<KDPoint<2, float>> points = {pt<2, float>(0, 0), pt<2, float>(10, 10), pt<2, float>(20, 0)};
    for (unsigned char jobs : {1, 2}) {
        DBSCAN<2, float> dbscan(1.0, 1);
        Clusters clusters;
        std::vector<std::vector<float>> boxes;
        run(dbscan, points, jobs, clusters, boxes);
        ASSERT_EQ(clusters.size(), 3u) << "jobs " << int(jobs);
        EXPECT_EQ(asSets(clusters), (std::set<std::set<size_t>>{{0}, {1}, {2}}));
        for (size_t c = 0; c < 3; ++c) {
            ASSERT_EQ(boxes[c].size(), 4u);
            EXPECT_EQ(boxes[c][2], 0.0f);
            EXPECT_EQ(boxes[c][3], 0.0f);
            EXPECT_EQ(boxes[c][0], points[clusters[c][0]].coords[0]);
        }
    }
}

TEST(DBSCAN, BorderPointsJoinThroughACorePoint) {
    const std::vector<KDPoint<2, double>> points = {pt<2, double>(0, 0), pt<2, double>(1, 0), pt<2, double>(2, 0)};
    for (unsigned char jobs : {1, 2, 3}) {
        DBSCAN<2, double> dbscan(1.5, 3);
        Clusters clusters;
        std::vector<std::vector<double>> boxes;
        run(dbscan, points, jobs, clusters, boxes);
        ASSERT_EQ(clusters.size(), 1u) << "jobs " << int(jobs);
        EXPECT_EQ(std::set<size_t>(clusters[0].begin(), clusters[0].end()), (std::set<size_t>{0, 1, 2}));
        EXPECT_EQ(boxes[0], (std::vector<double>{0, 0, 2, 0}));
        if (jobs == 1) {
            EXPECT_EQ(clusters[0].front(), 1u);  // the first core point starts the cluster
        }

        // With eps 1.0 the neighbours are exactly eps away, which is outside: all noise.
        DBSCAN<2, double> tight(1.0, 3);
        run(tight, points, jobs, clusters, boxes);
        EXPECT_TRUE(clusters.empty());
        EXPECT_TRUE(boxes.empty());
    }
}

TEST(DBSCAN, PointExactlyEpsAwayIsNotANeighbour) {
    // Pairs 0.5 apart form clusters with min_pts 2; a point exactly 0.5 from another is not
    // a neighbour, one 0.49 away is.
    const std::vector<KDPoint<2, float>> points = {pt<2, float>(0, 0), pt<2, float>(0.5f, 0), pt<2, float>(10, 0),
                                                   pt<2, float>(10.49f, 0)};
    for (unsigned char jobs : {1, 2}) {
        DBSCAN<2, float> dbscan(0.5, 2);
        Clusters clusters;
        std::vector<std::vector<float>> boxes;
        run(dbscan, points, jobs, clusters, boxes);
        EXPECT_EQ(asSets(clusters), (std::set<std::set<size_t>>{{2, 3}})) << "jobs " << int(jobs);
    }
}

TEST(DBSCAN, BorderPointBetweenTwoGroupsDiffersByPath) {
    // Two lines of core points with one border point (index 0) within eps of an end of each.
    std::vector<KDPoint<2, double>> points = {pt<2, double>(0, 0)};
    for (int i = 0; i < 5; ++i) points.push_back(pt<2, double>(-1.0 - 0.5 * i, 0));  // group A: 1..5
    for (int i = 0; i < 5; ++i) points.push_back(pt<2, double>(1.0 + 0.5 * i, 0));   // group B: 6..10
    // With eps 1.1 the middle point sees only itself, (-1, 0) and (1, 0): 3 points, so with
    // min_pts 4 it is a border point of both groups, whose inner points are core.
    DBSCAN<2, double> single(1.1, 4);
    Clusters clusters;
    std::vector<std::vector<double>> boxes;
    run(single, points, 1, clusters, boxes);
    ASSERT_EQ(clusters.size(), 2u);
    // The group whose first core point has the lower index (A) is found first and takes it.
    EXPECT_EQ(std::set<size_t>(clusters[0].begin(), clusters[0].end()), (std::set<size_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(std::set<size_t>(clusters[1].begin(), clusters[1].end()), (std::set<size_t>{6, 7, 8, 9, 10}));
    EXPECT_EQ(boxes[0], (std::vector<double>{-3.0, 0.0, 3.0, 0.0}));

    DBSCAN<2, double> parallel(1.1, 4);
    run(parallel, points, 2, clusters, boxes);
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].size(), 11u);
    EXPECT_TRUE(std::is_sorted(clusters[0].begin(), clusters[0].end()));
    EXPECT_EQ(boxes[0], (std::vector<double>{-3.0, 0.0, 6.0, 0.0}));
}

TEST(DBSCAN, ZeroJobsIsRefusedBeforeAnyWork) {
    DBSCAN<3, float> dbscan(1.0, 2);
    const std::vector<KDPoint<3, float>> points = {pt<3, float>(0, 0, 0), pt<3, float>(0.1f, 0, 0)};
    Clusters clusters = {{42}};
    std::vector<std::vector<float>> boxes = {{1, 2, 3, 4, 5, 6}};
    try {
        dbscan.generateClustersMultiThread(points, clusters, boxes, 0);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "n_jobs must be greater than 0");
    }
    EXPECT_EQ(clusters, (Clusters{{42}}));
    EXPECT_EQ(boxes.size(), 1u);
}

TEST(DBSCAN, MinPtsBelowOneBehavesAsOne) {
    // Fixed fault: min_pts 0 used to divide by zero when reserving clusters, and a negative
    // value compared as a huge unsigned count made every point noise.
    const std::vector<KDPoint<2, float>> points = {pt<2, float>(0, 0), pt<2, float>(0.2f, 0), pt<2, float>(9, 9)};
    for (int min_pts : {0, -3}) {
        for (unsigned char jobs : {1, 2}) {
            DBSCAN<2, float> dbscan(0.5, min_pts);
            EXPECT_EQ(dbscan.getMinPts(), 1);
            Clusters clusters;
            std::vector<std::vector<float>> boxes;
            run(dbscan, points, jobs, clusters, boxes);
            EXPECT_EQ(asSets(clusters), (std::set<std::set<size_t>>{{0, 1}, {2}}));
        }
    }
}

TEST(DBSCAN, NonPositiveEpsMakesEverythingNoise) {
    // A negative radius must not act as its absolute value once squared.
    const std::vector<KDPoint<2, double>> points = {pt<2, double>(0, 0), pt<2, double>(0.1, 0)};
    for (double eps : {0.0, -1.0}) {
        for (unsigned char jobs : {1, 2}) {
            DBSCAN<2, double> dbscan(eps, 1);
            Clusters clusters;
            std::vector<std::vector<double>> boxes;
            run(dbscan, points, jobs, clusters, boxes);
            EXPECT_TRUE(clusters.empty()) << "eps " << eps;
        }
    }
}

TEST(DBSCAN, EmptyInputAndReuse) {
    DBSCAN<2, double> dbscan(1.0, 2);
    Clusters clusters = {{1}};
    std::vector<std::vector<double>> boxes = {{1}};
    const std::vector<KDPoint<2, double>> none;
    for (unsigned char jobs : {1, 4}) {
        run(dbscan, none, jobs, clusters, boxes);
        EXPECT_TRUE(clusters.empty());
        EXPECT_TRUE(boxes.empty());
    }
    // A second run on the same object sees only its own points.
    const auto points = vireo::testing::blobsWithNoise<2, double>(3, 2, 30, 0.3, 0, 30.0);
    run(dbscan, points, 1, clusters, boxes);
    const auto first = asSets(clusters);
    run(dbscan, points, 2, clusters, boxes);
    EXPECT_EQ(asSets(clusters), first);
}

namespace {

// Checks one run against the reference: core groups match exactly; each border point sits in
// a cluster it touches; boxes are the members' extents.
template <int D, typename T>
void expectMatchesReference(const std::vector<KDPoint<D, T>>& points, const Clusters& clusters,
                            const std::vector<std::vector<T>>& boxes, const vireo::testing::ReferenceClustering& ref,
                            bool parallel) {
    ASSERT_EQ(clusters.size(), boxes.size());
    std::set<std::set<size_t>> core_parts;
    std::set<size_t> seen;
    for (size_t c = 0; c < clusters.size(); ++c) {
        std::set<size_t> core;
        std::vector<T> lo(D, std::numeric_limits<T>::max()), hi(D, -std::numeric_limits<T>::max());
        for (size_t i : clusters[c]) {
            EXPECT_TRUE(seen.insert(i).second) << "point " << i << " in two clusters";
            if (ref.component_of[i] >= 0) {
                core.insert(i);
            } else {
                EXPECT_EQ(ref.border_groups.count(i), 1u) << "noise point " << i << " clustered";
            }
            for (int d = 0; d < D; ++d) {
                lo[d] = std::min(lo[d], points[i].coords[d]);
                hi[d] = std::max(hi[d], points[i].coords[d]);
            }
        }
        ASSERT_FALSE(core.empty());
        for (int d = 0; d < D; ++d) {
            EXPECT_EQ(boxes[c][d], lo[d]);
            EXPECT_EQ(boxes[c][D + d], hi[d] - lo[d]);
        }
        // The border members must touch this cluster's core group.
        const long id = ref.component_of[*core.begin()];
        for (size_t i : clusters[c]) {
            if (ref.component_of[i] < 0 && !parallel) {
                EXPECT_EQ(ref.border_groups.at(i).count(static_cast<size_t>(id)), 1u);
            }
        }
        core_parts.insert(core);
    }
    // Every border point is taken.
    for (const auto& entry : ref.border_groups) {
        EXPECT_EQ(seen.count(entry.first), 1u);
    }
    if (!ref.ambiguous || !parallel) {
        EXPECT_EQ(core_parts, ref.core_groups);
    }
}

template <int D, typename T>
void checkSeeds(uint32_t first_seed, uint32_t last_seed) {
    int compared = 0;
    for (uint32_t seed = first_seed; seed <= last_seed; ++seed) {
        const double eps = 0.8 + 0.1 * (seed % 5);
        const int min_pts = 3 + static_cast<int>(seed % 4);
        const auto points = vireo::testing::blobsWithNoise<D, T>(seed, 5, 40, 0.7, 60, 25.0);
        const auto ref = vireo::testing::referenceDbscan(points, eps, min_pts);
        DBSCAN<D, T> single(eps, min_pts);
        DBSCAN<D, T> parallel(eps, min_pts);
        Clusters one, two;
        std::vector<std::vector<T>> boxes_one, boxes_two;
        single.generateClustersMultiThread(points, one, boxes_one, 1);
        parallel.generateClustersMultiThread(points, two, boxes_two, static_cast<unsigned char>(2 + seed % 3));
        SCOPED_TRACE("seed " + std::to_string(seed));
        expectMatchesReference(points, one, boxes_one, ref, false);
        expectMatchesReference(points, two, boxes_two, ref, true);
        // Clusters come out in ascending order of their first (core) point on one thread.
        for (size_t c = 1; c < one.size(); ++c) {
            EXPECT_LT(one[c - 1].front(), one[c].front());
        }
        for (const auto& members : two) {
            EXPECT_TRUE(std::is_sorted(members.begin(), members.end()));
        }
        if (!ref.ambiguous) {
            EXPECT_EQ(asSets(one), asSets(two));
            ++compared;
        }
    }
    // The data must give plenty of unambiguous cases, or the comparison proves nothing.
    EXPECT_GT(compared, static_cast<int>(last_seed - first_seed) / 2);
}

}  // namespace

TEST(DBSCAN, PathsAgreeWithBruteForceOnRandomData2D) {
    checkSeeds<2, float>(1, 30);
    checkSeeds<2, double>(31, 45);
}

TEST(DBSCAN, PathsAgreeWithBruteForceOnRandomData3D) {
    checkSeeds<3, float>(101, 115);
    checkSeeds<3, double>(116, 130);
}
