// KDPoint arithmetic and the KD-tree's searches: open radius neighbourhoods, squared
// distances, nearest-neighbour vector shapes, unbuilt trees, and agreement with brute force
// for all four point types.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include <vireo/basics.h>

#include "ClusteringTestData.h"

using namespace vireo;
using vireo::testing::pt;

TEST(KDPoint, ValueConstructorAndOutOfRangeCoordinates) {
    KDPoint<3, double> p(2.5);
    EXPECT_EQ(p.getPoint(0), 2.5);
    EXPECT_EQ(p.getPoint(1), 2.5);
    EXPECT_EQ(p.getPoint(2), 2.5);
    EXPECT_EQ(p.getPoint(3), 0.0);
    EXPECT_EQ(p.getPoint(-1), 0.0);
    KDPoint<2, float> zero;
    EXPECT_EQ(zero.getPoint(0), 0.0f);
    EXPECT_EQ(zero.getPoint(1), 0.0f);
}

TEST(KDPoint, DistanceDivisionAndAddition) {
    EXPECT_DOUBLE_EQ((pt<2, float>(0, 0).euclideanDistance(pt<2, float>(3, 4))), 5.0);
    EXPECT_DOUBLE_EQ((pt<3, double>(1, 1, 1).euclideanDistance(pt<3, double>(3, 4, 7))), 7.0);
    const auto half = pt<2, float>(6, 6) / 2.0f;
    EXPECT_EQ(half.coords[0], 3.0f);
    EXPECT_EQ(half.coords[1], 3.0f);
    auto sum = pt<2, float>(3, 4);
    sum += pt<2, float>(1, 2);
    EXPECT_EQ(sum.coords[0], 4.0f);
    EXPECT_EQ(sum.coords[1], 6.0f);
}

TEST(KDTree, RadiusNeighbourhoodIsOpen) {
    std::vector<KDPoint<2, double>> points = {pt<2, double>(0, 0), pt<2, double>(1, 0), pt<2, double>(0, 0.99),
                                              pt<2, double>(5, 5)};
    KDTree<2, double> tree;
    ASSERT_TRUE(tree.build(points, 1));
    std::vector<ResultItem<size_t, double>> results;
    EXPECT_EQ(tree.radiusSearchIndex(0.0, results, true, 0), 0u);
    EXPECT_TRUE(results.empty());

    ASSERT_EQ(tree.radiusSearchIndex(1.0, results, true, 0), 2u);
    std::set<size_t> found;
    for (const auto& r : results) found.insert(r.first);
    EXPECT_EQ(found, (std::set<size_t>{0, 2}));  // (1, 0) is exactly 1 away: out
    EXPECT_EQ(results[0].first, 0u);               // the query itself, at distance 0
    EXPECT_EQ(results[0].second, 0.0);
}

TEST(KDTree, RadiusSearchReportsSortedSquaredDistances) {
    std::vector<KDPoint<2, float>> points;
    for (int i = 0; i < 50; ++i) points.push_back(pt<2, float>(static_cast<float>(i % 7), static_cast<float>(i / 7)));
    points.push_back(pt<2, float>(20, 20));
    points.push_back(pt<2, float>(22, 20));  // 2 units from the previous point
    KDTree<2, float> tree;
    tree.build(points, 1);
    std::vector<ResultItem<size_t, float>> results;
    ASSERT_GT(tree.radiusSearchIndex(3.5f, results, true, 24), 5u);
    EXPECT_TRUE(std::is_sorted(results.begin(), results.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; }));
    ASSERT_EQ(tree.radiusSearchIndex(2.5f, results, false, 50), 2u);
    for (const auto& r : results) {
        if (r.first == 51) {
            EXPECT_FLOAT_EQ(r.second, 4.0f);  // squared, not 2
        }
    }
}

TEST(KDTree, KnnVectorsKeepRequestedSize) {
    std::vector<KDPoint<3, float>> points = {pt<3, float>(0, 0, 0), pt<3, float>(1, 0, 0), pt<3, float>(0, 3, 0)};
    KDTree<3, float> tree;
    tree.build(points, 0);
    std::vector<size_t> indices;
    std::vector<float> d2;
    EXPECT_EQ(tree.knnSearchPoint(5, indices, d2, pt<3, float>(0.1f, 0, 0)), 3u);
    ASSERT_EQ(indices.size(), 5u);
    ASSERT_EQ(d2.size(), 5u);
    EXPECT_EQ(indices[0], 0u);
    EXPECT_EQ(indices[1], 1u);
    EXPECT_EQ(indices[2], 2u);
    EXPECT_NEAR(d2[1], 0.81f, 1e-5f);

    // The point itself is left out of the index search.
    EXPECT_EQ(tree.knnSearchIndex(1, indices, d2, 0), 1u);
    ASSERT_EQ(indices.size(), 1u);
    EXPECT_EQ(indices[0], 1u);
    EXPECT_FLOAT_EQ(d2[0], 1.0f);
    EXPECT_EQ(tree.knnSearchIndex(4, indices, d2, 2), 2u);
    EXPECT_EQ(indices.size(), 4u);
}

TEST(KDTree, UnbuiltTreeSearchesReturnZero) {
    KDTree<2, double> tree;
    std::vector<ResultItem<size_t, double>> results{{1, 1.0}};
    std::vector<size_t> indices{7};
    std::vector<double> d2{7.0};
    EXPECT_FALSE(tree.isBuilt());
    EXPECT_EQ(tree.getPointsCount(), 0u);
    EXPECT_EQ(tree.radiusSearchIndex(1.0, results, true, 0), 0u);
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(tree.knnSearchPoint(2, indices, d2, pt<2, double>(0, 0)), 0u);
    EXPECT_EQ(indices, (std::vector<size_t>{0, 0}));
    EXPECT_EQ(d2, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(tree.knnSearchIndex(2, indices, d2, 0), 0u);
    EXPECT_EQ(indices.size(), 3u);

    std::vector<KDPoint<2, double>> none;
    EXPECT_TRUE(tree.build(none, 1));
    EXPECT_TRUE(tree.isBuilt());
    EXPECT_EQ(tree.knnSearchPoint(2, indices, d2, pt<2, double>(0, 0)), 0u);
}

TEST(KDTree, OwnPointsSurviveMove) {
    KDTree<2, float> tree;
    tree.points = {pt<2, float>(0, 0), pt<2, float>(10, 0), pt<2, float>(10.5f, 0)};
    tree.build(1);
    KDTree<2, float> moved(std::move(tree));
    std::vector<ResultItem<size_t, float>> results;
    EXPECT_EQ(moved.getPointsCount(), 3u);
    EXPECT_EQ(moved.radiusSearchIndex(1.0f, results, true, 1), 2u);
    KDTree<2, float> assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.radiusSearchIndex(1.0f, results, true, 2), 2u);
    EXPECT_EQ(assigned.getPoint(0).coords[0], 0.0f);
}

template <typename P>
class KDTreeTyped : public ::testing::Test {};
template <int D, typename T>
struct Dims {
    static constexpr int kD = D;
    using Type = T;
};
using PointTypes = ::testing::Types<Dims<2, float>, Dims<2, double>, Dims<3, float>, Dims<3, double>>;
TYPED_TEST_SUITE(KDTreeTyped, PointTypes);

TYPED_TEST(KDTreeTyped, SearchesAgreeWithBruteForce) {
    constexpr int D = TypeParam::kD;
    using T = typename TypeParam::Type;
    for (uint32_t seed = 1; seed <= 5; ++seed) {
        const auto points = vireo::testing::blobsWithNoise<D, T>(seed, 4, 60, 2.0, 80, 50.0);
        KDTree<D, T> tree;
        tree.build(points, 2);
        const double eps = 1.5 + seed * 0.3;
        const auto brute = vireo::testing::bruteNeighbourhoods(points, eps);
        std::vector<ResultItem<size_t, T>> results;
        std::vector<size_t> indices;
        std::vector<T> d2;
        for (size_t i = 0; i < points.size(); i += 3) {
            tree.radiusSearchIndex(static_cast<T>(eps), results, false, i);
            std::vector<size_t> found;
            for (const auto& r : results) {
                found.push_back(r.first);
                EXPECT_EQ(r.second, vireo::testing::squaredDistance(points[i], points[r.first]));
            }
            std::sort(found.begin(), found.end());
            ASSERT_EQ(found, brute[i]) << "seed " << seed << " point " << i;

            // Nearest neighbours: distances match the brute-force order.
            const size_t k = 6;
            ASSERT_EQ(tree.knnSearchPoint(k, indices, d2, points[i]), k);
            std::vector<T> all;
            for (const auto& p : points) all.push_back(vireo::testing::squaredDistance(points[i], p));
            std::sort(all.begin(), all.end());
            for (size_t j = 0; j < k; ++j) EXPECT_EQ(d2[j], all[j]);
        }
    }
}
