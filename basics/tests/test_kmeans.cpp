// KMeans: constructor checks, too few points, convergence, empty clusters, the cluster count
// setter, and recovery of well-separated groups whatever the random first pick.
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <stdexcept>

#include <vireo/basics.h>

#include "ClusteringTestData.h"

using namespace vireo;
using vireo::testing::pt;

namespace {

template <typename F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no exception>";
}

}  // namespace

TEST(KMeans, ConstructorChecksInOrder) {
    EXPECT_EQ(messageOf([] { KMeans<2, float>(0, 0, 0.0); }), "KMeans: k must be greater than 0");
    EXPECT_EQ(messageOf([] { KMeans<2, float>(2, 0, 0.0); }), "KMeans: max_iter must be greater than 0");
    EXPECT_EQ(messageOf([] { KMeans<2, float>(2, 5, 0.0); }), "KMeans: tol must be greater than 0");
    EXPECT_EQ(messageOf([] { KMeans<2, float>(2, 5, -1.0); }), "KMeans: tol must be greater than 0");
    EXPECT_EQ(messageOf([] { KMeans<2, float>(2, 5, std::numeric_limits<double>::quiet_NaN()); }),
              "KMeans: tol must be greater than 0");
    KMeans<3, double> ok(2, 5, 1e-3);
    std::vector<size_t> sizes;
    ok.getNumPointsPerCluster(sizes);
    EXPECT_EQ(sizes, (std::vector<size_t>{0, 0}));
}

TEST(KMeans, FewerPointsThanClustersGivesNothing) {
    KMeans<2, float> kmeans(3, 10, 1e-4);
    std::vector<KDPoint<2, float>> points = {pt<2, float>(0, 0), pt<2, float>(1, 1)};
    std::vector<std::vector<size_t>> clusters = {{9}};
    std::vector<std::vector<float>> boxes = {{9}};
    kmeans.generateClusters(points, clusters, boxes);
    EXPECT_TRUE(clusters.empty());
    EXPECT_TRUE(boxes.empty());
    std::vector<KDPoint<2, float>> centroids = {pt<2, float>(5, 5)};
    kmeans.getCentroids(centroids);
    EXPECT_TRUE(centroids.empty());
}

TEST(KMeans, SingleClusterConvergesToTheMean) {
    const auto points = vireo::testing::blobsWithNoise<2, double>(7, 3, 20, 1.0, 10, 40.0);
    double mean[2] = {0, 0};
    for (const auto& p : points) {
        mean[0] += p.coords[0];
        mean[1] += p.coords[1];
    }
    mean[0] /= points.size();
    mean[1] /= points.size();
    // max_iter 3 is enough: the second total against the mean equals the first one.
    KMeans<2, double> kmeans(1, 3, 1e-9);
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<double>> boxes;
    kmeans.generateClusters(points, clusters, boxes);
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].size(), points.size());
    std::vector<KDPoint<2, double>> centroids;
    kmeans.getCentroids(centroids);
    ASSERT_EQ(centroids.size(), 1u);
    EXPECT_NEAR(centroids[0].coords[0], mean[0], 1e-9);
    EXPECT_NEAR(centroids[0].coords[1], mean[1], 1e-9);
    double lo = 1e9, hi = -1e9;
    for (const auto& p : points) {
        lo = std::min(lo, p.coords[0]);
        hi = std::max(hi, p.coords[0]);
    }
    EXPECT_EQ(boxes[0][0], lo);
    EXPECT_EQ(boxes[0][2], hi - lo);
}

TEST(KMeans, RecoversSeparatedGroupsWhateverTheFirstPick) {
    // Three tight groups far apart; the random first pick differs on every run.
    std::vector<KDPoint<3, float>> points;
    const float centres[3][3] = {{0, 0, 0}, {100, 0, 50}, {0, 100, 100}};
    for (int i = 0; i < 90; ++i) {
        const float* c = centres[i % 3];
        points.push_back(pt<3, float>(c[0] + (i % 5) * 0.3f, c[1] + (i % 7) * 0.2f, c[2] + (i % 4) * 0.1f));
    }
    for (int run = 0; run < 30; ++run) {
        KMeans<3, float> kmeans(3, 50, 1e-6);
        std::vector<std::vector<size_t>> clusters;
        std::vector<std::vector<float>> boxes;
        kmeans.generateClusters(points, clusters, boxes);
        ASSERT_EQ(clusters.size(), 3u);
        std::set<std::set<size_t>> found;
        for (const auto& members : clusters) found.insert(std::set<size_t>(members.begin(), members.end()));
        std::set<std::set<size_t>> expected;
        for (int g = 0; g < 3; ++g) {
            std::set<size_t> group;
            for (size_t i = static_cast<size_t>(g); i < points.size(); i += 3) group.insert(i);
            expected.insert(group);
        }
        EXPECT_EQ(found, expected) << "run " << run;
        std::vector<size_t> sizes;
        kmeans.getNumPointsPerCluster(sizes);
        ASSERT_EQ(sizes.size(), 3u);
        for (size_t c = 0; c < 3; ++c) {
            EXPECT_EQ(sizes[c], clusters[c].size());
            EXPECT_TRUE(std::is_sorted(clusters[c].begin(), clusters[c].end()));
        }
    }
}

TEST(KMeans, SizesMatchMembershipsOnRandomData) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        const auto points = vireo::testing::blobsWithNoise<2, float>(seed, 4, 50, 3.0, 40, 60.0);
        KMeans<2, float> kmeans(2 + seed % 6, 1 + seed % 7, 1e-3);
        std::vector<std::vector<size_t>> clusters;
        std::vector<std::vector<float>> boxes;
        kmeans.generateClusters(points, clusters, boxes);
        std::vector<size_t> sizes;
        kmeans.getNumPointsPerCluster(sizes);
        ASSERT_EQ(sizes.size(), clusters.size());
        size_t total = 0;
        for (size_t c = 0; c < clusters.size(); ++c) {
            EXPECT_EQ(sizes[c], clusters[c].size()) << "seed " << seed;
            total += clusters[c].size();
        }
        EXPECT_EQ(total, points.size());
    }
}

TEST(KMeans, ManyClustersUseTheCentroidTree) {
    // Above 32 clusters the nearest centroid comes from a KD-tree over the centroids: 40
    // separated groups on a grid must still come out as 40 clusters of their own points.
    std::vector<KDPoint<2, double>> points;
    for (int g = 0; g < 40; ++g) {
        for (int i = 0; i < 6; ++i) {
            points.push_back(pt<2, double>((g % 8) * 100.0 + (i % 3), (g / 8) * 100.0 + (i / 3)));
        }
    }
    KMeans<2, double> kmeans(40, 30, 1e-6);
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<double>> boxes;
    kmeans.generateClusters(points, clusters, boxes);
    ASSERT_EQ(clusters.size(), 40u);
    for (const auto& members : clusters) {
        ASSERT_EQ(members.size(), 6u);
        for (size_t i : members) EXPECT_EQ(i / 6, members.front() / 6);
    }
    for (const auto& box : boxes) EXPECT_EQ(box, (std::vector<double>{box[0], box[1], 2.0, 1.0}));
}

TEST(KMeans, EmptyClusterKeepsNoMembersAndAnInvertedBox) {
    // Identical points: every centroid is the same point, so all but one cluster stay empty.
    std::vector<KDPoint<2, float>> points(6, pt<2, float>(4, 4));
    KMeans<2, float> kmeans(3, 4, 1e-3);
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<float>> boxes;
    kmeans.generateClusters(points, clusters, boxes);
    ASSERT_EQ(clusters.size(), 3u);
    size_t empty = 0;
    for (size_t c = 0; c < 3; ++c) {
        if (!clusters[c].empty()) {
            EXPECT_EQ(clusters[c].size(), 6u);
            EXPECT_EQ(boxes[c], (std::vector<float>{4, 4, 0, 0}));
            continue;
        }
        ++empty;
        EXPECT_EQ(boxes[c][0], std::numeric_limits<float>::max());
        EXPECT_EQ(boxes[c][2], -std::numeric_limits<float>::infinity());
    }
    EXPECT_EQ(empty, 2u);
}

TEST(KMeans, SetClusterNumber) {
    KMeans<2, double> kmeans(2, 10, 1e-4);
    EXPECT_FALSE(kmeans.setClusterNumber(0));
    EXPECT_EQ(kmeans.getClusterNumber(), 2u);
    EXPECT_TRUE(kmeans.setClusterNumber(5));
    const auto points = vireo::testing::blobsWithNoise<2, double>(11, 5, 10, 0.5, 0, 100.0);
    std::vector<std::vector<size_t>> clusters;
    std::vector<std::vector<double>> boxes;
    kmeans.generateClusters(points, clusters, boxes);
    EXPECT_EQ(clusters.size(), 5u);
    EXPECT_EQ(boxes.size(), 5u);
    std::vector<size_t> sizes;
    kmeans.getNumPointsPerCluster(sizes);
    EXPECT_EQ(sizes.size(), 5u);
}

TEST(KMeans, OneIterationAssignsToTheSeeds) {
    // With max_iter 1 the memberships are those of the farthest-point seeds: for two points
    // far apart plus one near each, each pair forms a cluster whichever point is picked first.
    std::vector<KDPoint<2, float>> points = {pt<2, float>(0, 0), pt<2, float>(1, 0), pt<2, float>(50, 0),
                                             pt<2, float>(51, 0)};
    for (int run = 0; run < 10; ++run) {
        KMeans<2, float> kmeans(2, 1, 1e-3);
        std::vector<std::vector<size_t>> clusters;
        std::vector<std::vector<float>> boxes;
        kmeans.generateClusters(points, clusters, boxes);
        std::set<std::set<size_t>> found;
        for (const auto& m : clusters) found.insert(std::set<size_t>(m.begin(), m.end()));
        EXPECT_EQ(found, (std::set<std::set<size_t>>{{0, 1}, {2, 3}}));
        // Centroids are the means after that single assignment.
        std::vector<KDPoint<2, float>> centroids;
        kmeans.getCentroids(centroids);
        std::set<float> xs = {centroids[0].coords[0], centroids[1].coords[0]};
        EXPECT_EQ(xs, (std::set<float>{0.5f, 50.5f}));
    }
}
