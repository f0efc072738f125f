// The locator framework: the factory's types and messages, the configuration records'
// defaults and checks (in their order), and the dispatch of the feeding calls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <vireo/lensfit.h>

namespace vireo {
namespace {

const cv::Size kSensor(1280, 720);

template <typename F>
std::string messageOf(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

TEST(GridLocatorFactory, EventFactoryRefusesFrameTypes) {
    for (int type : {0, 1, 2, 7, -1}) {
        EventDBSCANCircleGridLocatorConfig config;
        EXPECT_THROW(GridLocator::createEventBasedGridLocator(static_cast<GridLocatorAlgoType>(type), 7, 5, kSensor,
                                                              &config),
                     std::invalid_argument)
            << type;
        EXPECT_EQ(messageOf([&] {
                      GridLocator::createEventBasedGridLocator(static_cast<GridLocatorAlgoType>(type), 7, 5, kSensor,
                                                               &config);
                  }),
                  "Invalid grid locator algorithm type or not implemented");
    }
}

TEST(GridLocatorFactory, ActiveMarkerTypesCreateTheMarkerLocatorAndWriteTheKind) {
    EventActiveMarkerGridLocatorConfig marker(1.0f, 1.0f, 1.0f, 5, 100.0f, 500.0f, 200);
    marker.is_asymmetric = false;
    auto asymmetric = GridLocator::createEventBasedGridLocator(EVENT_ACTIVE_MARKER_ASYMMETRIC, 4, 11, kSensor, &marker);
    EXPECT_TRUE(marker.is_asymmetric);
    const auto* algo = dynamic_cast<EventActiveMarkerGridLocator*>(asymmetric.get());
    ASSERT_NE(algo, nullptr);
    EXPECT_TRUE(algo->getConfig().is_asymmetric);
    EXPECT_EQ(algo->getConfig().max_freq, 500.0f);
    EXPECT_EQ(algo->getGridCols(), 4);
    EXPECT_EQ(algo->getGridRows(), 11);
    // The locator keeps its own copy of the record.
    marker.max_freq = 900.0f;
    EXPECT_EQ(algo->getConfig().max_freq, 500.0f);
    auto symmetric = GridLocator::createEventBasedGridLocator(EVENT_ACTIVE_MARKER_SYMMETRIC, 7, 5, kSensor, &marker);
    EXPECT_FALSE(marker.is_asymmetric);
    ASSERT_NE(dynamic_cast<EventActiveMarkerGridLocator*>(symmetric.get()), nullptr);
    EXPECT_THROW(GridLocator::createEventBasedGridLocator(EVENT_ACTIVE_MARKER_SYMMETRIC, 7, 5, kSensor, nullptr),
                 std::invalid_argument);
    // The locator's own checks reach the caller: the orderer's grid size, the generator's k.
    EXPECT_EQ(messageOf([&] {
                  GridLocator::createEventBasedGridLocator(EVENT_ACTIVE_MARKER_SYMMETRIC, 1, 5, kSensor, &marker);
              }),
              "Grid dimensions must be at least 2x2");
    EXPECT_EQ(messageOf([&] {
                  GridLocator::createEventBasedGridLocator(EVENT_ACTIVE_MARKER_SYMMETRIC, 0, 5, kSensor, &marker);
              }),
              "KMeans: k must be greater than 0");
}

TEST(GridLocatorFactory, FrameFactoryRefusesEventTypes) {
    for (int type : {3, 4, 5, 6, 7, -1}) {
        EXPECT_EQ(messageOf([&] {
                      GridLocator::createFrameBasedGridLocator(static_cast<GridLocatorAlgoType>(type), 9, 6, kSensor,
                                                               nullptr);
                  }),
                  "Invalid grid locator algorithm type or not implemented")
            << type;
    }
}

TEST(GridLocatorFactory, FrameFactoryCreatesTheClassOfTheTable) {
    auto symmetric = GridLocator::createFrameBasedGridLocator(FRAME_CIRCLES_SYMMETRIC, 7, 5, kSensor, nullptr);
    auto asymmetric = GridLocator::createFrameBasedGridLocator(FRAME_CIRCLES_ASYMMETRIC, 4, 11, kSensor, nullptr);
    auto chessboard = GridLocator::createFrameBasedGridLocator(FRAME_CHESSBOARD, 9, 6, kSensor, nullptr);
    EXPECT_NE(dynamic_cast<FrameCirclesSymmetricGridLocatorAlgo*>(symmetric.get()), nullptr);
    EXPECT_NE(dynamic_cast<FrameCirclesAsymmetricGridLocatorAlgo*>(asymmetric.get()), nullptr);
    EXPECT_NE(dynamic_cast<FrameChessboardGridLocatorAlgo*>(chessboard.get()), nullptr);
    EXPECT_EQ(chessboard->getGridCols(), 9);
    EXPECT_EQ(chessboard->getGridRows(), 6);
}

TEST(GridLocatorFactory, EventFactoryWritesIsAsymmetricIntoTheCallersRecord) {
    EventDBSCANCircleGridLocatorConfig config;
    config.is_asymmetric = false;
    auto asymmetric = GridLocator::createEventBasedGridLocator(EVENT_DBSCAN_CIRCLES_ASYMMETRIC, 4, 11, kSensor, &config);
    EXPECT_TRUE(config.is_asymmetric);
    auto* algo = dynamic_cast<EventDBSCANCircleGridLocatorAlgo<2, float>*>(asymmetric.get());
    ASSERT_NE(algo, nullptr);
    EXPECT_TRUE(algo->getConfig().is_asymmetric);

    config.is_asymmetric = true;
    auto symmetric = GridLocator::createEventBasedGridLocator(EVENT_DBSCAN_CIRCLES_SYMMETRIC, 7, 5, kSensor, &config);
    EXPECT_FALSE(config.is_asymmetric);

    // The locator keeps its own copy of the record.
    config.eps = 3.0f;
    EXPECT_EQ(algo->getConfig().eps, 15.0f);
}

TEST(GridLocatorFactory, EventFactoryRefusesANullConfigAndPassesConstructorErrorsOn) {
    EXPECT_THROW(GridLocator::createEventBasedGridLocator(EVENT_DBSCAN_CIRCLES_SYMMETRIC, 7, 5, kSensor, nullptr),
                 std::invalid_argument);
    EventDBSCANCircleGridLocatorConfig config;
    EXPECT_EQ(messageOf([&] {
                  GridLocator::createEventBasedGridLocator(EVENT_DBSCAN_CIRCLES_SYMMETRIC, 1, 5, kSensor, &config);
              }),
              "EventDBSCANCircleGridLocatorAlgo: grid_cols and grid_rows must be at least 2");
    EXPECT_EQ(messageOf([&] {
                  GridLocator::createEventBasedGridLocator(EVENT_DBSCAN_CIRCLES_SYMMETRIC, 7, 5, cv::Size(0, 720),
                                                           &config);
              }),
              "DBSCANBasedClusterGenerator: sensor_width and sensor_height should be larger than 0");
    config.max_capacity = 0;  // not checked by the record, refused by the generator
    EXPECT_EQ(messageOf([&] {
                  GridLocator::createEventBasedGridLocator(EVENT_DBSCAN_CIRCLES_SYMMETRIC, 7, 5, kSensor, &config);
              }),
              "DBSCANBasedClusterGenerator: max_capacity should be larger than 0");
}

TEST(EventDBSCANCircleGridLocatorConfig, DefaultsAndChecksInOrder) {
    const EventDBSCANCircleGridLocatorConfig defaults;
    EXPECT_EQ(defaults.scale_width, 1.0f);
    EXPECT_EQ(defaults.scale_time, 1.0f);
    EXPECT_EQ(defaults.eps, 15.0f);
    EXPECT_EQ(defaults.min_pts, 10);
    EXPECT_EQ(defaults.max_capacity, std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(defaults.n_jobs, 0);
    EXPECT_EQ(defaults.fit_error_threshold, 1.0f);
    EXPECT_FALSE(defaults.is_asymmetric);

    using C = EventDBSCANCircleGridLocatorConfig;
    const std::string prefix = "EventDBSCANCircleGridLocatorConfig: ";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Several bad values at once: the first check in the order wins.
    EXPECT_EQ(messageOf([] { C(1, 1, 0, -1, 0, 1, -5, 0); }),
              prefix + "scale_width, scale_height, and scale_time must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 0, 0, 1, -5, 0); }), prefix + "eps must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 15, 0, 1, -5, 0); }), prefix + "min_pts must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 15, 10, 1, -5, 0); }), prefix + "fit_error_threshold must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 15, 10, 1, -2, 1); }),
              prefix + "n_jobs must be larger than -2, -1 means using all the cores, 0 means using the number of "
                       "cores according to the number of points");
    EXPECT_NO_THROW(C(1, 1, 1, 15, 10, 1, -1, 1));
    // NaN passes no check.
    EXPECT_THROW(C{nan}, std::invalid_argument);
    EXPECT_THROW(C(1, 1, 1, nan), std::invalid_argument);
    EXPECT_THROW(C(1, 1, 1, 15, 10, 1, 0, nan), std::invalid_argument);
}

TEST(EventActiveMarkerGridLocatorConfig, DefaultsAndChecksInOrder) {
    const EventActiveMarkerGridLocatorConfig defaults;
    EXPECT_EQ(defaults.num_periods_threshold, 5);
    EXPECT_EQ(defaults.min_freq, 0.0f);
    EXPECT_EQ(defaults.max_freq, 100.0f);
    EXPECT_EQ(defaults.time_diff_tolerance, 1000u);
    EXPECT_EQ(defaults.max_iter, 100u);
    EXPECT_EQ(defaults.tol, 0.0001);

    using C = EventActiveMarkerGridLocatorConfig;
    const std::string prefix = "EventActiveMarkerGridLocatorConfig: ";
    EXPECT_EQ(messageOf([] { C(0, 1, 1, 0); }), prefix + "scale_width, scale_height, and scale_time must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 0, 5, 5); }), prefix + "num_periods_threshold must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 5, 50, 50, 0); }),
              prefix + "min_freq and max_freq must be larger than 0, and min_freq must be smaller than max_freq");
    EXPECT_THROW(C(1, 1, 1, 5, -1, 50), std::invalid_argument);
    EXPECT_THROW(C(1, 1, 1, 5, std::nanf(""), 50), std::invalid_argument);
    EXPECT_NO_THROW(C(1, 1, 1, 5, 0, 100));
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 5, 0, 100, 0, 1, 0); }), prefix + "time_diff_tolerance must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 5, 0, 100, 1, 1, 0, 0); }), prefix + "max_iter must be larger than 0");
    EXPECT_EQ(messageOf([] { C(1, 1, 1, 5, 0, 100, 1, 1, 1, 0); }), prefix + "tol must be larger than 0");
}

// A locator that only counts what reaches its private hooks.
class CountingFrameLocator : public GridLocatorAlgoBase<FrameBased> {
public:
    CountingFrameLocator() : GridLocatorAlgoBase<FrameBased>(3, 2, cv::Size(4, 4)) {}
    bool locateGrid(std::vector<cv::Point2f>&) override { return false; }
    int frames = 0;

private:
    void processFrameImpl(const cv::Mat&) override { ++frames; }
};

class CountingEventLocator : public GridLocatorAlgoBase<EventBased> {
public:
    CountingEventLocator() : GridLocatorAlgoBase<EventBased>(3, 2, cv::Size(4, 4)) {}
    bool locateGrid(std::vector<cv::Point2f>&) override { return false; }
    std::ptrdiff_t events = 0;

private:
    void processEventsImpl(const Event2D* begin, const Event2D* end) override { events += end - begin; }
};

TEST(GridLocatorAlgoBase, FeedingDispatchesToTheConcreteImplementation) {
    CountingFrameLocator frame_locator;
    GridLocatorAlgoBase<FrameBased>& frame_base = frame_locator;
    frame_base.processFrame(cv::Mat());
    frame_base.processFrame(cv::Mat());
    EXPECT_EQ(frame_locator.frames, 2);

    CountingEventLocator event_locator;
    GridLocatorAlgoBase<EventBased>& event_base = event_locator;
    const std::vector<Event2D> events(5);
    event_base.processEvents(events.data(), events.data() + events.size());
    event_base.processEvents(events.data(), events.data());
    EXPECT_EQ(event_locator.events, 5);
}

}  // namespace
}  // namespace vireo
