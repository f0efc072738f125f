// The DBSCAN- and KMeans-based event cluster generators: polarity filtering, capacity
// trimming, one run per batch of events, clipping to the sensor, scaling back to pixels and
// microseconds, the shapes of the member-point read-outs, constructor checks and messages,
// the state after reset or a failed run, and runs that race with a reset on another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <set>
#include <stdexcept>
#include <thread>

#include <opencv2/core.hpp>

#include <vireo/basics.h>

#include "ClusteringTestData.h"

using namespace vireo;

namespace {

template <typename F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

// A square of side x side events at (x0, y0), polarity p, timestamps from t0 by 1.
std::vector<Event2D> square(int x0, int y0, int side, uint8_t p, uint64_t t0 = 0) {
    std::vector<Event2D> events;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            events.emplace_back(static_cast<uint16_t>(x0 + x), static_cast<uint16_t>(y0 + y), p, t0++);
        }
    }
    return events;
}

template <typename Generator>
void add(Generator& g, const std::vector<Event2D>& events) {
    g.addEvents(events.data(), events.data() + events.size());
}

}  // namespace

TEST(EventFilterType, TablesAndUnknownValues) {
    EXPECT_EQ(droppedPolarityOf(POLARITY_FREE), 2);
    EXPECT_EQ(droppedPolarityOf(POSITIVE_FREE), 1);
    EXPECT_EQ(droppedPolarityOf(NEGATIVE_FREE), 0);
    EXPECT_EQ(droppedPolarityOf(POLARITY_SEPARATE), 2);
    EXPECT_EQ(eventFilterTypeName(NEGATIVE_FREE), "NEGATIVE_FREE");
    EXPECT_THROW(droppedPolarityOf(static_cast<EventFilterType>(7)), std::out_of_range);
}

TEST(DBSCANBasedClusterGenerator, ConstructorChecksAndMessages) {
    using G = DBSCANBasedClusterGenerator<2, float>;
    EXPECT_EQ(messageOf([] { G(640, 480, POLARITY_SEPARATE, 0.0, 0, 1); }),
              "DBSCANBasedClusterGenerator does not support POLARITY_SEPARATE event filter type");
    EXPECT_THROW(G(0, 480, static_cast<EventFilterType>(9), 1.0, 2, 1), std::out_of_range);
    EXPECT_EQ(messageOf([] { G(0, 480, POLARITY_FREE, 0.0, 0, 1); }),
              "DBSCANBasedClusterGenerator: sensor_width and sensor_height should be larger than 0");
    EXPECT_EQ(messageOf([] { G(640, 480, 1.0f, 0.0f, 1.0f, POLARITY_FREE, 0, 0.0, 0, 1); }),
              "DBSCANBasedClusterGenerator: scale_width, scale_height, and scale_time should be larger than 0");
    EXPECT_EQ(messageOf([] { G(640, 480, 1.0f, 1.0f, 1.0f, POLARITY_FREE, 0, 0.0, 0, 1); }),
              "DBSCANBasedClusterGenerator: max_capacity should be larger than 0");
    EXPECT_EQ(messageOf([] { G(640, 480, POLARITY_FREE, 0.0, 0, 1); }),
              "DBSCANBasedClusterGenerator: eps should be larger than 0");
    EXPECT_EQ(messageOf([] { G(640, 480, POLARITY_FREE, 1.0, 0, 1); }),
              "DBSCANBasedClusterGenerator: min_pts should be larger than 0");
    EXPECT_EQ(messageOf([] { G(640, 480, POLARITY_FREE, 1.0, 1, 1); }), "<no exception>");
}

TEST(KMeansBasedClusterGenerator, ConstructorChecksAndMessages) {
    using G = KMeansBasedClusterGenerator<2, float>;
    // KMeans' own checks come first.
    EXPECT_EQ(messageOf([] { G(0, 0, POLARITY_SEPARATE, 0, 1, 1.0); }), "KMeans: k must be greater than 0");
    EXPECT_EQ(messageOf([] { G(0, 0, POLARITY_SEPARATE, 2, 1, 0.0); }), "KMeans: tol must be greater than 0");
    EXPECT_EQ(messageOf([] { G(0, 0, POLARITY_SEPARATE, 2, 1, 1.0); }),
              "KMeansBasedClusterGenerator does not support POLARITY_SEPARATE event filter type");
    EXPECT_EQ(messageOf([] { G(0, 480, POLARITY_FREE, 2, 1, 1.0); }),
              "KMeansBasedClusterGenerator: sensor_width and sensor_height should be larger than 0");
    EXPECT_EQ(messageOf([] { G(640, 480, 1.0f, 1.0f, -1.0f, POLARITY_FREE, 2, 1, 1.0); }),
              "KMeansBasedClusterGenerator: scale_width, scale_height, and scale_time should be larger than 0");
    EXPECT_EQ(messageOf([] { G(640, 480, 1.0f, 1.0f, 1.0f, POLARITY_FREE, 0, 2, 1, 1.0); }),
              "KMeansBasedClusterGenerator: max_capacity should be larger than 0");
}

TEST(DBSCANBasedClusterGenerator, PolarityFilterDropsTheNamedPolarity) {
    const auto positive = square(10, 10, 4, 1);
    const auto negative = square(100, 100, 4, 0);
    for (auto [filter, expected] : {std::pair{POSITIVE_FREE, 1u}, std::pair{NEGATIVE_FREE, 1u},
                                    std::pair{POLARITY_FREE, 2u}}) {
        DBSCANBasedClusterGenerator<2, double> g(640, 480, filter, 1.5, 3, 1);
        add(g, positive);
        add(g, negative);
        std::vector<ClusterGeometry> clusters;
        g.generateClusters(5, clusters);
        ASSERT_EQ(clusters.size(), expected) << eventFilterTypeName(filter);
        if (filter == POSITIVE_FREE) {
            EXPECT_EQ(clusters[0].x, 100.0f);  // the negative square is kept
        }
        if (filter == NEGATIVE_FREE) {
            EXPECT_EQ(clusters[0].x, 10.0f);
        }
        EXPECT_EQ(clusters[0].width, 3.0f);
        EXPECT_EQ(clusters[0].timestamp, 5u);
        EXPECT_EQ(clusters[0].id, -1);
    }
}

TEST(DBSCANBasedClusterGenerator, CapacityKeepsTheNewestPoints) {
    DBSCANBasedClusterGenerator<2, float> g(640, 480, 1.0f, 1.0f, 1.0f, POLARITY_FREE, 3, 5.0, 1, 1);
    std::vector<Event2D> events;
    for (int i = 0; i < 5; ++i) events.emplace_back(static_cast<uint16_t>(10 * i), 0, 0, i);
    add(g, events);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    EXPECT_EQ(clusters.size(), 3u);  // min_pts 1, points 10 apart: one cluster each
    std::vector<std::vector<KDPoint<2, float>>> points;
    g.getClusterPoints(points, false);
    std::set<float> xs;
    for (const auto& c : points) {
        for (const auto& p : c) xs.insert(p.coords[0]);
    }
    EXPECT_EQ(xs, (std::set<float>{20, 30, 40}));

    // setMaxCapacity(0) is accepted and makes the next run cluster nothing.
    g.setMaxCapacity(0);
    add(g, events);
    g.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());
}

TEST(DBSCANBasedClusterGenerator, EachRunConsumesOnlyNewEvents) {
    DBSCANBasedClusterGenerator<3, float> g(640, 480, 1.0f, 1.0f, 0.5f, POLARITY_FREE, 3.0, 3, 0);
    add(g, square(50, 60, 5, 1, 1000));
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(1024, clusters);
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].get2DBoundingBox(), cv::Rect_<float>(50, 60, 4, 4));
    EXPECT_EQ(clusters[0].start_time, 1000u);
    EXPECT_EQ(clusters[0].duration, 24u);
    g.generateClusters(2000, clusters);
    EXPECT_TRUE(clusters.empty());
}

TEST(DBSCANBasedClusterGenerator, ClustersAreClippedToTheSensor) {
    DBSCANBasedClusterGenerator<2, double> g(640, 480, POLARITY_FREE, 1.5, 2, 2);
    std::vector<Event2D> line;
    for (int x = 630; x <= 650; ++x) {
        line.emplace_back(static_cast<uint16_t>(x), 10, 0, 0);
        line.emplace_back(static_cast<uint16_t>(x), 11, 0, 0);
    }
    add(g, line);
    std::vector<Event2D> flat;  // one row only: an empty rectangle
    for (int x = 100; x < 110; ++x) flat.emplace_back(static_cast<uint16_t>(x), 300, 0, 0);
    add(g, flat);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    ASSERT_EQ(clusters.size(), 2u);
    std::set<std::vector<float>> rects;
    for (const auto& c : clusters) rects.insert({c.x, c.y, c.width, c.height});
    EXPECT_EQ(rects, (std::set<std::vector<float>>{{630, 10, 10, 1}, {0, 0, 0, 0}}));
}

TEST(DBSCANBasedClusterGenerator, UnscaledPointsComeBackAsPixels) {
    DBSCANBasedClusterGenerator<2, float> g(640, 480, 0.5f, 0.5f, 1.0f, POLARITY_FREE, 1.0, 2, 1);
    const auto events = square(20, 30, 2, 0);
    add(g, events);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].get2DBoundingBox(), cv::Rect_<float>(20, 30, 1, 1));
    std::vector<std::vector<KDPoint<2, float>>> pixels, scaled;
    g.getClusterPoints(pixels, true);
    g.getClusterPoints(scaled, false);
    ASSERT_EQ(pixels.size(), 1u);
    std::set<std::pair<float, float>> got, expected;
    for (const auto& p : pixels[0]) got.insert({p.coords[0], p.coords[1]});
    for (const auto& e : events) expected.insert({static_cast<float>(e.x), static_cast<float>(e.y)});
    EXPECT_EQ(got, expected);
    EXPECT_EQ(scaled[0][0].coords[0] * 2.0f, pixels[0][0].coords[0]);
}

TEST(DBSCANBasedClusterGenerator, ClusterPointMatrixShapes) {
    DBSCANBasedClusterGenerator<3, double> g(640, 480, 1.0f, 1.0f, 1.0f, POLARITY_FREE, 1.5, 1, 1);
    std::vector<Event2D> events = {{0, 0, 0, 0}, {1, 0, 0, 0}, {2, 0, 0, 0},
                                   {100, 0, 0, 0}, {101, 0, 0, 0}, {102, 0, 0, 0}, {103, 0, 0, 0}};
    add(g, events);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    ASSERT_EQ(clusters.size(), 2u);

    cv::Mat all;
    g.getClusterPoints(all, true);
    EXPECT_EQ(all.rows, 7);
    EXPECT_EQ(all.cols, 1);
    EXPECT_EQ(all.type(), CV_64FC3);

    std::vector<cv::Mat> per_cluster(1);  // appended to, not cleared
    g.getClusterPoints(per_cluster, true);
    ASSERT_EQ(per_cluster.size(), 3u);
    EXPECT_EQ(per_cluster[1].rows, 3);
    EXPECT_EQ(per_cluster[2].rows, 4);
    EXPECT_EQ(per_cluster[1].cols, 3);
    EXPECT_EQ(per_cluster[1].type(), CV_64F);
    EXPECT_EQ(cv::sum(per_cluster[2].col(0))[0], 406.0);

    DBSCANBasedClusterGenerator<2, float> flat(640, 480, POLARITY_FREE, 1.5, 1, 1);
    add(flat, events);
    flat.generateClusters(0, clusters);
    flat.getClusterPoints(all, false);
    EXPECT_EQ(all.type(), CV_32FC2);
    per_cluster.clear();
    flat.getClusterPoints(per_cluster, false);
    EXPECT_EQ(per_cluster[0].cols, 2);
    EXPECT_EQ(per_cluster[0].type(), CV_32F);
}

TEST(DBSCANBasedClusterGenerator, NothingToReadAfterResetOrAFailedRun) {
    // Fixed fault: member indices of the last run used to outlive the points they refer to.
    DBSCANBasedClusterGenerator<2, float> g(640, 480, POLARITY_FREE, 1.5, 2, 1);
    add(g, square(5, 5, 3, 0));
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    ASSERT_EQ(clusters.size(), 1u);
    g.reset();
    std::vector<std::vector<KDPoint<2, float>>> points;
    g.getClusterPoints(points, true);
    EXPECT_TRUE(points.empty());
    cv::Mat all(3, 3, CV_8U);
    g.getClusterPoints(all, true);
    EXPECT_EQ(all.rows, 0);

    // A job count that wraps to 0 fails after the working set was replaced; the results of
    // the previous run must not be read against the new points.
    DBSCANBasedClusterGenerator<2, float> wrapping(640, 480, POLARITY_FREE, 1.5, 2, 256);
    add(wrapping, square(5, 5, 3, 0));
    EXPECT_EQ(messageOf([&] { wrapping.generateClusters(0, clusters); }), "n_jobs must be greater than 0");
    std::vector<cv::Mat> mats;
    wrapping.getClusterPoints(mats, false);
    EXPECT_TRUE(mats.empty());
}

TEST(DBSCANBasedClusterGenerator, AutomaticJobsMatchSingleThread) {
    const auto events = vireo::testing::eventBlobs(5, 6, 800, 12, 600, 640, 480);
    DBSCANBasedClusterGenerator<2, float> automatic(640, 480, POLARITY_FREE, 2.0, 4, 0);
    DBSCANBasedClusterGenerator<2, float> one(640, 480, POLARITY_FREE, 2.0, 4, 1);
    add(automatic, events);
    add(one, events);
    std::vector<ClusterGeometry> a, b;
    automatic.generateClusters(0, a);
    one.generateClusters(0, b);
    EXPECT_GE(a.size(), 6u);
    // This seed leaves no border point between two blobs, so the parallel run chosen
    // automatically (5400 points: two jobs) must give the single-threaded clusters; their
    // order differs, so compare the rectangles as a multiset.
    std::multiset<std::vector<float>> ra, rb;
    for (const auto& c : a) ra.insert({c.x, c.y, c.width, c.height});
    for (const auto& c : b) rb.insert({c.x, c.y, c.width, c.height});
    EXPECT_EQ(ra, rb);
}

TEST(DBSCANBasedClusterGenerator, AcceptsFrequencyEvents) {
    DBSCANBasedClusterGenerator<2, double> g(640, 480, NEGATIVE_FREE, 1.5, 2, 1);
    std::vector<Event2DFrequency> events = {{10, 10, true, 0, 50.0f}, {11, 10, true, 0, 50.0f},
                                            {11, 11, true, 0, 50.0f}, {40, 40, false, 0, 50.0f},
                                            {41, 40, false, 0, 50.0f}};
    g.addEvents(events.data(), events.data() + events.size());
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].get2DBoundingBox(), cv::Rect_<float>(10, 10, 1, 1));
}

TEST(KMeansBasedClusterGenerator, ReportsSizesCentroidsAndPoints) {
    KMeansBasedClusterGenerator<2, float> g(640, 480, 0.5f, 0.5f, 1.0f, POLARITY_FREE, 2, 20, 1e-4);
    add(g, square(10, 10, 3, 0));
    add(g, square(300, 200, 4, 1));
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(77, clusters);
    ASSERT_EQ(clusters.size(), 2u);
    std::vector<size_t> sizes;
    g.getClusterSizes(sizes);
    std::multiset<size_t> got(sizes.begin(), sizes.end());
    EXPECT_EQ(got, (std::multiset<size_t>{9, 16}));
    std::vector<KDPoint<2, float>> centroids;
    g.getClusterCentroids(centroids);
    ASSERT_EQ(centroids.size(), 2u);
    std::set<std::pair<float, float>> centres;
    for (const auto& c : centroids) centres.insert({c.coords[0], c.coords[1]});
    // Centroids stay in point units (scale 0.5).
    EXPECT_EQ(centres, (std::set<std::pair<float, float>>{{5.5f, 5.5f}, {150.75f, 100.75f}}));
    std::set<std::vector<float>> rects;
    for (const auto& c : clusters) rects.insert({c.x, c.y, c.width, c.height});
    EXPECT_EQ(rects, (std::set<std::vector<float>>{{10, 10, 2, 2}, {300, 200, 3, 3}}));
    cv::Mat all;
    g.getClusterPoints(all, true);
    EXPECT_EQ(all.rows, 25);

    g.setClusterNumber(0);  // ignored
    add(g, square(10, 10, 3, 0));
    add(g, square(300, 200, 4, 1));
    g.generateClusters(78, clusters);
    EXPECT_EQ(clusters.size(), 2u);
    g.reset();
    std::vector<cv::Mat> mats;
    g.getClusterPoints(mats, true);
    EXPECT_TRUE(mats.empty());
}

TEST(KMeansBasedClusterGenerator, EmptyClusterHasNoRectangleAndNoTimeSpan) {
    // Fixed fault: an empty cluster's box (largest value as minimum, negative infinite extent)
    // used to be converted to microseconds out of range.
    KMeansBasedClusterGenerator<3, float> g(640, 480, POLARITY_FREE, 3, 3, 1e-3);
    std::vector<Event2D> same(5, Event2D(7, 7, 0, 100));
    add(g, same);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(1, clusters);
    ASSERT_EQ(clusters.size(), 3u);
    std::vector<size_t> sizes;
    g.getClusterSizes(sizes);
    ASSERT_EQ(sizes.size(), 3u);
    int empty = 0;
    for (size_t c = 0; c < 3; ++c) {
        // One row and column only: every rectangle is (0, 0, 0, 0).
        EXPECT_EQ(clusters[c].get2DBoundingBox(), cv::Rect_<float>(0, 0, 0, 0));
        EXPECT_EQ(clusters[c].duration, 0u);
        if (sizes[c] == 0) {
            ++empty;
            EXPECT_EQ(clusters[c].start_time, 0u);
        } else {
            EXPECT_EQ(clusters[c].start_time, 100u);
        }
    }
    EXPECT_EQ(empty, 2);
}

TEST(KMeansBasedClusterGenerator, CapacityAndTooFewPoints) {
    KMeansBasedClusterGenerator<2, double> g(640, 480, 1.0f, 1.0f, 1.0f, POLARITY_FREE, 3, 2, 10, 1e-3);
    std::vector<Event2D> events = {{0, 0, 0, 0}, {1, 0, 0, 0}, {200, 0, 0, 0}, {201, 0, 0, 0}, {400, 0, 0, 0}};
    add(g, events);
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    ASSERT_EQ(clusters.size(), 2u);
    std::vector<std::vector<KDPoint<2, double>>> points;
    g.getClusterPoints(points, false);
    std::set<double> xs;
    for (const auto& c : points) {
        for (const auto& p : c) xs.insert(p.coords[0]);
    }
    EXPECT_EQ(xs, (std::set<double>{200, 201, 400}));
    g.setMaxCapacity(1);
    add(g, events);
    g.generateClusters(0, clusters);
    EXPECT_TRUE(clusters.empty());  // one point for two clusters
}

namespace {

// A grid of `count` separate 2 x 2 squares, 10 pixels apart, all on the sensor.
std::vector<Event2D> squareGrid(int count) {
    std::vector<Event2D> events;
    for (int i = 0; i < count; ++i) {
        const auto more = square(10 * (i % 60), 10 * (i / 60), 2, 0);
        events.insert(events.end(), more.begin(), more.end());
    }
    return events;
}

// Runs `generator` over the same events `runs` times while another thread resets it over and
// over, and returns the runs whose geometries were not `expected` clusters of 1 x 1 pixels
// (or, when `anyRect`, just `expected` clusters).
template <typename Generator>
int runsLosingGeometries(Generator& generator, const std::vector<Event2D>& events, size_t expected, bool anyRect,
                         int runs) {
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> resets{0};
    std::thread resetter([&] {
        while (!stop.load()) {
            generator.reset();
            resets.fetch_add(1);
        }
    });
    // Start only once the other thread is resetting (bounded wait).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (resets.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    int bad = 0;
    std::vector<ClusterGeometry> clusters;
    for (int run = 0; run < runs; ++run) {
        add(generator, events);
        generator.generateClusters(static_cast<size_t>(run), clusters);
        bool good = clusters.size() == expected;
        for (const ClusterGeometry& c : clusters) {
            good = good && c.timestamp == static_cast<size_t>(run) && (anyRect || (c.width == 1 && c.height == 1));
        }
        bad += good ? 0 : 1;
    }
    stop.store(true);
    resetter.join();
    EXPECT_GT(resets.load(), 0u);
    return bad;
}

}  // namespace

// Fixed fault: the geometries of a run were built from the cluster boxes after the mutex was
// released, so a reset on another thread could clear (free) them under the loop: runs lost
// geometries or read freed memory. Every run must now give all its clusters.
TEST(ClusterGeneratorThreads, ResetOnAnotherThreadNeverCutsARunShort) {
    const auto events = squareGrid(600);
    DBSCANBasedClusterGenerator<2, float> dbscan(640, 480, POLARITY_FREE, 1.5, 2, 1);
    EXPECT_EQ(runsLosingGeometries(dbscan, events, 600, false, 60), 0);
    DBSCANBasedClusterGenerator<3, double> parallel(640, 480, 1.0f, 1.0f, 1e-6f, POLARITY_FREE, 1.5, 2, 2);
    EXPECT_EQ(runsLosingGeometries(parallel, events, 600, false, 30), 0);
    // KMeans reports exactly k clusters (empty ones too) whatever it finds.
    KMeansBasedClusterGenerator<2, float> kmeans(640, 480, POLARITY_FREE, 600, 1, 1e-3);
    EXPECT_EQ(runsLosingGeometries(kmeans, events, 600, true, 30), 0);
}

TEST(ClusterGeneratorThreads, ResetKeepsQueuedEventsAndDropsOnlyTheMemberLists) {
    DBSCANBasedClusterGenerator<2, float> g(640, 480, POLARITY_FREE, 1.5, 2, 1);
    add(g, square(5, 5, 3, 0));
    std::vector<ClusterGeometry> clusters;
    g.generateClusters(0, clusters);
    ASSERT_EQ(clusters.size(), 1u);
    add(g, square(50, 50, 3, 0));  // queued for the next run
    g.reset();
    std::vector<std::vector<KDPoint<2, float>>> points;
    g.getClusterPoints(points, true);
    EXPECT_TRUE(points.empty());
    g.generateClusters(1, clusters);
    ASSERT_EQ(clusters.size(), 1u);
    EXPECT_EQ(clusters[0].get2DBoundingBox(), cv::Rect_<float>(50, 50, 2, 2));

    KMeansBasedClusterGenerator<2, float> k(640, 480, POLARITY_FREE, 1, 5, 1e-3);
    add(k, square(5, 5, 3, 0));
    k.generateClusters(0, clusters);
    k.reset();
    std::vector<size_t> sizes;
    k.getClusterSizes(sizes);
    EXPECT_EQ(sizes, (std::vector<size_t>{9})) << "the last run's sizes stay readable";
}
