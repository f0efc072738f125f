// Calibration timings, in milliseconds per call (CPU time is the one-core figure):
//   - locating the 7 x 5 circle grid in one 100 ms window of a 1280 x 720 stream: about
//     250 000 events on the circle outlines plus 50 000 noise events, DBSCAN on one thread;
//     real time is kept when a window is located in less than its 100 ms;
//   - for reference, the same window clustered without the locator's one-point-per-pixel
//     intake (every event a point), which is what the intake saves;
//   - the frame locators on one rendered 1280 x 720 frame;
//   - the intrinsic calibration of 25 views (symmetric 7 x 5 circles and a 9 x 6 chessboard).
//
//   bench_calibration [google-benchmark flags]
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include <vireo/lensfit.h>

#include "CalibrationTestData.h"

namespace {

using namespace vireo;

constexpr uint64_t kWindowUs = 100000;

const test::PinholeCamera& camera() {
    static const test::PinholeCamera value = test::groundTruthCamera();
    return value;
}

const test::Pose& windowPose() {
    static const test::Pose pose = test::viewPoses(test::symmetricCirclesTarget(), camera(), 1, 17)[0];
    return pose;
}

// About 0.3 M events: 7100 on each of the 35 outlines and 50 000 anywhere.
const std::vector<Event2D>& windowEvents() {
    static const std::vector<Event2D> events = test::circleOutlineEvents(
        test::symmetricCirclesTarget(), windowPose(), camera(), 7100, 50000, 0.35, 5, 0, kWindowUs);
    return events;
}

// eps 3 keeps the noise (one event per 18 pixels) from joining up; with some 200 events per
// pixel of outline, the outline's distinct pixels form a band 2 to 3 pixels wide, whose mean
// distance from the fitted ellipse comes close to 1 pixel: the fit threshold is 1.5. One
// DBSCAN thread.
EventDBSCANCircleGridLocatorConfig windowConfig() {
    return EventDBSCANCircleGridLocatorConfig(1.0f, 1.0f, 1.0f, 3.0f, 10, UINT64_MAX, 1, 1.5f, false);
}

void setWindowCounters(benchmark::State& state, size_t events) {
    state.counters["events"] = static_cast<double>(events);
    state.counters["events_per_s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_LocateEventWindow(benchmark::State& state) {
    const std::vector<Event2D>& events = windowEvents();
    EventDBSCANCircleGridLocatorAlgo<2, float> locator(7, 5, camera().size, windowConfig());
    std::vector<cv::Point2f> centres;
    bool found = true;
    for (auto _ : state) {
        locator.processEvents(events.data(), events.data() + events.size());
        found = locator.locateGrid(centres) && found;
        benchmark::DoNotOptimize(centres.data());
    }
    if (!found) state.SkipWithError("the grid was not found in the window");
    setWindowCounters(state, events.size());
}
BENCHMARK(BM_LocateEventWindow)->Unit(benchmark::kMillisecond)->UseRealTime()->MeasureProcessCPUTime();

void BM_ClusterEveryEventOfTheWindow(benchmark::State& state) {
    const std::vector<Event2D>& events = windowEvents();
    DBSCANBasedClusterGenerator<2, float> generator(1280, 720, 1.0f, 1.0f, 1.0f, POLARITY_FREE, 3.0, 10, 1);
    std::vector<ClusterGeometry> clusters;
    for (auto _ : state) {
        generator.addEvents(events.data(), events.data() + events.size());
        generator.generateClusters(events.back().timestamp, clusters);
        benchmark::DoNotOptimize(clusters.data());
    }
    setWindowCounters(state, events.size());
}
BENCHMARK(BM_ClusterEveryEventOfTheWindow)->Unit(benchmark::kMillisecond)->Iterations(3)->MeasureProcessCPUTime();

template <typename Locator>
void BM_FrameLocator(benchmark::State& state, test::Target target) {
    const cv::Mat frame = test::renderTarget(target, test::viewPoses(target, camera(), 1, 3)[0], camera());
    Locator locator(target.cols, target.rows, camera().size);
    std::vector<cv::Point2f> points;
    for (auto _ : state) {
        locator.processFrame(frame);
        benchmark::DoNotOptimize(locator.locateGrid(points));
    }
    if (points.empty()) state.SkipWithError("the target was not found in the frame");
}
void BM_FrameChessboard(benchmark::State& state) {
    BM_FrameLocator<FrameChessboardGridLocatorAlgo>(state, test::chessboardTarget());
}
void BM_FrameCirclesSymmetric(benchmark::State& state) {
    BM_FrameLocator<FrameCirclesSymmetricGridLocatorAlgo>(state, test::symmetricCirclesTarget());
}
void BM_FrameCirclesAsymmetric(benchmark::State& state) {
    BM_FrameLocator<FrameCirclesAsymmetricGridLocatorAlgo>(state, test::asymmetricCirclesTarget());
}
BENCHMARK(BM_FrameChessboard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameCirclesSymmetric)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FrameCirclesAsymmetric)->Unit(benchmark::kMillisecond);

void BM_Calibrate25Views(benchmark::State& state, test::Target target) {
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.1f);
    std::vector<std::vector<cv::Point2f>> views;
    for (const test::Pose& pose : test::viewPoses(target, camera(), 25, 29)) {
        auto points = test::project(test::targetCentres(target), pose, camera());
        for (cv::Point2f& p : points) p += cv::Point2f(noise(rng), noise(rng));
        views.push_back(points);
    }
    Calibrator calibrator(SYMMETRIC_GRID, target.cols, target.rows, static_cast<float>(target.spacing));
    const int id = calibrator.addCamera(camera().size, "bench");
    for (size_t v = 0; v < views.size(); ++v) calibrator.insertGridPoints(id, static_cast<int>(v), views[v]);
    double rms = 0.0;
    for (auto _ : state) {
        calibrator.clear(id);
        for (size_t v = 0; v < views.size(); ++v) calibrator.insertGridPoints(id, static_cast<int>(v), views[v]);
        rms = calibrator.calibrate(id);
    }
    state.counters["rms_px"] = rms;
}
BENCHMARK_CAPTURE(BM_Calibrate25Views, circles_7x5, test::symmetricCirclesTarget())->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Calibrate25Views, chessboard_9x6, test::chessboardTarget())->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
