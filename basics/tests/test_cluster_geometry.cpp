// ClusterGeometry's constructors and accessors, and the matcher: the acceptance test of one
// pair (size tolerance, already-matched clusters, callback) and the pairing of two runs by
// increasing centre distance.
#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>
#include <utility>

#include <vireo/basics.h>

namespace vireo {
// Reaches the matcher's private acceptance test.
struct DistanceBasedClusterMatcherTestAccess {
    static bool tryPair(DistanceBasedClusterMatcher& matcher, std::unordered_set<ClusterGeometry*>& matched,
                        ClusterGeometry& a, ClusterGeometry& b, int tag) {
        return matcher.tryClusterAssociation(matched, a, b, tag);
    }
};
}  // namespace vireo

using namespace vireo;
using Access = DistanceBasedClusterMatcherTestAccess;

TEST(ClusterGeometry, ConstructorsFillTheDocumentedFields) {
    const ClusterGeometry none;
    EXPECT_EQ(none.id, -1);
    EXPECT_EQ(none.count, 0);
    EXPECT_EQ(none.timestamp, 0u);

    const ClusterGeometry counted(cv::Rect_<float>(1, 2, 3, 4), 5, 7, 99);
    EXPECT_EQ(counted.id, 5);
    EXPECT_EQ(counted.count, 7);
    EXPECT_EQ(counted.timestamp, 99u);
    EXPECT_EQ(counted.start_time, 0u);
    EXPECT_EQ(counted.duration, 0u);
    EXPECT_EQ(counted.get2DBoundingBox(), cv::Rect_<float>(1, 2, 3, 4));

    const ClusterGeometry plain(cv::Rect_<float>(1, 2, 3, 4), 12);
    EXPECT_EQ(plain.id, -1);
    EXPECT_EQ(plain.timestamp, 12u);

    const ClusterGeometry full(1, 2, 100, 3, 4, 50, 8, 9, 77);
    EXPECT_EQ(full.start_time, 100u);
    EXPECT_EQ(full.duration, 50u);
    EXPECT_EQ(full.id, 8);
    EXPECT_EQ(full.count, 9);
    EXPECT_EQ(full.width, 3.0f);

    const ClusterGeometry ids(1, 2, 3, 4, 6, 2, 5);
    EXPECT_EQ(ids.id, 6);
    EXPECT_EQ(ids.count, 2);
    EXPECT_EQ(ids.start_time, 0u);
}

TEST(ClusterGeometry, CentreAreaAndAspectRatio) {
    const ClusterGeometry g(10, 20, 4, 6, 0);
    EXPECT_EQ(g.getCenter(), cv::Point_<float>(12, 23));
    EXPECT_FLOAT_EQ(g.getArea(), 24.0f);
    EXPECT_NEAR(g.getAspectRatio(), 0.6667f, 1e-4f);
    EXPECT_TRUE(std::isinf(ClusterGeometry(0, 0, 4, 0, 0).getAspectRatio()));
    EXPECT_TRUE(std::isnan(ClusterGeometry(0, 0, 0, 0, 0).getAspectRatio()));
}

TEST(DistanceBasedClusterMatcher, SizeToleranceDecidesAcceptance) {
    DistanceBasedClusterMatcher matcher(5, 2);
    EXPECT_FLOAT_EQ(matcher.getMaxDistanceSquared(), 25.0f);
    std::unordered_set<ClusterGeometry*> matched;
    ClusterGeometry a(0, 0, 10, 5, 0), b(0, 0, 12, 5, 0), c(0, 0, 12.5f, 5, 0), d(0, 0, 10, 7.5f, 0);
    EXPECT_FALSE(Access::tryPair(matcher, matched, a, c, 0));  // widths differ by 2.5
    EXPECT_FALSE(Access::tryPair(matcher, matched, a, d, 0));  // heights differ by 2.5
    EXPECT_TRUE(matched.empty());
    ClusterGeometry n(0, 0, std::nanf(""), 5, 0);
    EXPECT_FALSE(Access::tryPair(matcher, matched, a, n, 0));  // NaN difference
    // No callback set: the pair is still accepted and recorded.
    EXPECT_TRUE(Access::tryPair(matcher, matched, a, b, 0));   // exactly 2 apart
    EXPECT_EQ(matched.count(&a), 1u);
    EXPECT_EQ(matched.count(&b), 1u);
}

TEST(DistanceBasedClusterMatcher, MatchedClustersAreRefused) {
    DistanceBasedClusterMatcher matcher(5, 2);
    int calls = 0;
    int last_tag = 0;
    matcher.setDetectedMatchCallback([&](ClusterGeometry&, ClusterGeometry&, int tag) {
        ++calls;
        last_tag = tag;
    });
    std::unordered_set<ClusterGeometry*> matched;
    ClusterGeometry a(0, 0, 10, 10, 0), b(1, 1, 10, 10, 0), c(2, 2, 10, 10, 0);
    matched.insert(&a);
    EXPECT_FALSE(Access::tryPair(matcher, matched, a, c, 3));
    EXPECT_FALSE(Access::tryPair(matcher, matched, c, a, 3));
    EXPECT_EQ(matched.size(), 1u);  // nothing inserted for a refused pair
    EXPECT_TRUE(Access::tryPair(matcher, matched, b, c, 42));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(last_tag, 42);
    EXPECT_FALSE(Access::tryPair(matcher, matched, c, b, 1));
    EXPECT_EQ(calls, 1);

    // A copy keeps the limits and the callback.
    DistanceBasedClusterMatcher copy(matcher);
    std::unordered_set<ClusterGeometry*> fresh;
    EXPECT_TRUE(Access::tryPair(copy, fresh, a, c, 7));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(last_tag, 7);
}

TEST(DistanceBasedClusterMatcher, MatchClustersPairsNearestFirst) {
    DistanceBasedClusterMatcher matcher(10, 3);
    std::vector<std::pair<int, int>> pairs;
    std::vector<ClusterGeometry> previous = {ClusterGeometry(0, 0, 10, 10, 1), ClusterGeometry(100, 0, 10, 10, 1),
                                             ClusterGeometry(200, 0, 10, 10, 1)};
    std::vector<ClusterGeometry> current = {
        ClusterGeometry(6, 0, 10, 10, 2),     // 6 from previous[0]
        ClusterGeometry(2, 0, 10, 10, 2),     // 2 from previous[0]: wins
        ClusterGeometry(100, 9.9f, 11, 11, 2),  // centre 10.4 away from previous[1]: too far
        ClusterGeometry(200, 1, 20, 10, 2),   // close to previous[2] but too wide
    };
    for (size_t i = 0; i < previous.size(); ++i) previous[i].id = static_cast<int>(i);
    for (size_t i = 0; i < current.size(); ++i) current[i].id = 10 + static_cast<int>(i);
    int seen_tag = -1;
    matcher.setDetectedMatchCallback([&](ClusterGeometry& a, ClusterGeometry& b, int tag) {
        pairs.emplace_back(a.id, b.id);
        seen_tag = tag;
    });
    EXPECT_EQ(matcher.matchClusters(previous, current, 5), 1u);
    EXPECT_EQ(pairs, (std::vector<std::pair<int, int>>{{0, 11}}));
    EXPECT_EQ(seen_tag, 5);

    // Each cluster pairs at most once; a run matched against itself pairs no cluster with itself.
    pairs.clear();
    std::vector<ClusterGeometry> close = {ClusterGeometry(0, 0, 4, 4, 0), ClusterGeometry(1, 0, 4, 4, 0),
                                          ClusterGeometry(50, 0, 4, 4, 0)};
    for (size_t i = 0; i < close.size(); ++i) close[i].id = static_cast<int>(i);
    EXPECT_EQ(matcher.matchClusters(close, close, 0), 1u);
    EXPECT_EQ(pairs, (std::vector<std::pair<int, int>>{{0, 1}}));
    std::vector<ClusterGeometry> none;
    EXPECT_EQ(matcher.matchClusters(none, close, 0), 0u);
}
