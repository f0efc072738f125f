// Tests of vireo calibrate and vireo pattern. Simulated circle-grid and blinking-marker cameras
// with known lenses are recorded to RAW files; the grid search and calibration behind the command must give the
// lenses back (and a stereo rig its pose), the command run as a user runs it must write a
// result file that says the same and a picture, and refuse bad input in one line. The
// printable target must put its centres where the calibrator's world points are.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <vireo/Calibrator.h>
#include <vireo/GridLocator.h>
#include <vireo/RawFileReader.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/VibrationDetection.h>

#include "CalibrationRun.h"
#include "CommandLine.h"
#include "Pattern.h"

namespace vireo::app {
namespace {

namespace fs = std::filesystem;

fs::path scratch(const std::string& name) {
    const fs::path folder = fs::path(VIREO_TEST_SCRATCH_DIR) / "calibrate-command" / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// A circle-grid camera with a distorted lens that holds each pose for 100 ms, the default
// window of the command.
sim::SimulatedCameraConfig circleGridCamera(bool asymmetric) {
    sim::SimulatedCameraConfig config;
    config.scene = sim::SceneType::CircleGrid;
    config.lens.fx = 905.0;
    config.lens.fy = 903.0;
    config.lens.cx = 641.3;
    config.lens.cy = 362.7;
    config.lens.k1 = -0.08;
    config.lens.k2 = 0.05;
    config.pose_period_us = 100000;
    config.pose_count = 22;
    if (!asymmetric) {
        config.target.asymmetric = false;
        config.target.grid_cols = 7;
        config.target.grid_rows = 5;
        config.target.spacing = 30.0;
        config.target.circle_diameter = 12.0;
    }
    return config;
}

TargetGrid targetOf(const sim::SimulatedCameraConfig& config) {
    TargetGrid target;
    target.asymmetric = config.target.asymmetric;
    target.cols = config.target.grid_cols;
    target.rows = config.target.grid_rows;
    target.spacing = config.target.spacing;
    return target;
}

std::string record(const sim::SimulatedCameraConfig& config, const fs::path& path) {
    const uint64_t until = static_cast<uint64_t>(config.pose_count) * config.pose_period_us;
    recordSimulatedCamera(config, path.string(), until);
    return path.string();
}

LocateOptions eventOptions() {
    LocateOptions options;
    options.eps = 4.0f;
    return options;
}

void expectLens(const sim::PinholeLens& lens, const cv::Mat& K) {
    EXPECT_NEAR(K.at<double>(0, 0), lens.fx, 0.005 * lens.fx);
    EXPECT_NEAR(K.at<double>(1, 1), lens.fy, 0.005 * lens.fy);
    EXPECT_NEAR(K.at<double>(0, 2), lens.cx, 0.005 * lens.cx);
    EXPECT_NEAR(K.at<double>(1, 2), lens.cy, 0.005 * lens.cy);
}

void recoversLens(bool asymmetric, const std::string& name) {
    const auto config = circleGridCamera(asymmetric);
    const fs::path folder = scratch(name);
    const std::string path = record(config, folder / "cam.raw");
    const TargetGrid target = targetOf(config);
    const RecordingViews views = locateGridInRecording(path, target, eventOptions());
    // Every pose is shown once, one per window.
    EXPECT_GE(views.views.size(), 20u);
    Calibrator calibrator(asymmetric ? ASYMMETRIC_GRID : SYMMETRIC_GRID, target.cols, target.rows,
                          static_cast<float>(target.spacing));
    const int id = calibrator.addCamera(views.sensor_size, views.serial);
    for (const auto& view : views.views) ASSERT_TRUE(calibrator.insertGridPoints(id, view.window, view.centres));
    const CameraCalibration result = calibrateCamera(calibrator, id, views);
    std::printf("%s: %zu views located, %zu used, RMS %.4f px, fx %.3f fy %.3f cx %.3f cy %.3f\n", name.c_str(),
                result.located, result.used, result.rms_px, result.camera_matrix.at<double>(0, 0),
                result.camera_matrix.at<double>(1, 1), result.camera_matrix.at<double>(0, 2),
                result.camera_matrix.at<double>(1, 2));
    EXPECT_GE(result.used, 20u);
    EXPECT_LT(result.rms_px, 0.3);
    expectLens(config.lens, result.camera_matrix);
    ASSERT_EQ(result.view_errors.size(), result.used);
    for (const auto& view : result.view_errors) EXPECT_LT(view.rms_px, 0.6) << "window " << view.window;
}

TEST(CalibrateRecording, RecoversTheLensOfAnAsymmetricTargetCamera) { recoversLens(true, "asymmetric"); }

TEST(CalibrateRecording, RecoversTheLensOfASymmetricTargetCamera) { recoversLens(false, "symmetric"); }

// A camera showing a grid of markers blinking at `hz`, with the scene's distractors (flicker,
// a sweeping bar, a light at 1500 Hz, noise), a distorted lens and one pose per 100 ms.
sim::SimulatedCameraConfig markerCamera(bool asymmetric, double hz) {
    sim::SimulatedCameraConfig config = circleGridCamera(asymmetric);
    config.scene = sim::SceneType::BlinkingGrid;
    config.markers.as_target = true;
    config.blink_frequency_hz = hz;
    config.edge_speed = 500.0;
    config.lens.k1 = -0.1;
    config.lens.k2 = 0.04;
    config.lens.p1 = 0.0004;
    return config;
}

LocateOptions markerOptions() {
    LocateOptions options;
    options.locator = LocatorKind::Markers;
    options.min_freq = 80.0f;
    options.max_freq = 600.0f;
    return options;
}

// Largest distance of the located centres from the true ones of the pose the window shows (a
// symmetric grid may come numbered from the opposite corner).
double offTruth(const sim::SimulatedCameraConfig& config, const LocatedView& view) {
    const auto truth = sim::circleGridProjectedCenters(config, static_cast<uint64_t>(view.window));
    const auto worst = [&](bool reversed) {
        double off = 0;
        for (size_t i = 0; i < truth.size(); ++i) {
            const auto& t = truth[reversed ? truth.size() - 1 - i : i];
            off = std::max(off, std::hypot(view.centres[i].x - t.x, view.centres[i].y - t.y));
        }
        return off;
    };
    if (view.centres.size() != truth.size()) return 1e9;
    return config.target.asymmetric ? worst(false) : std::min(worst(false), worst(true));
}

void recoversLensFromMarkers(bool asymmetric, double hz, const std::string& name) {
    const auto config = markerCamera(asymmetric, hz);
    const fs::path folder = scratch(name);
    const std::string path = record(config, folder / "cam.raw");
    const TargetGrid target = targetOf(config);
    const RecordingViews views = locateGridInRecording(path, target, markerOptions());
    EXPECT_GE(views.views.size(), 20u);
    double worst = 0;
    for (const auto& view : views.views) {
        const double off = offTruth(config, view);
        worst = std::max(worst, off);
        EXPECT_LT(off, 0.5) << "window " << view.window;
    }
    Calibrator calibrator(asymmetric ? ASYMMETRIC_GRID : SYMMETRIC_GRID, target.cols, target.rows,
                          static_cast<float>(target.spacing));
    const int id = calibrator.addCamera(views.sensor_size, views.serial);
    for (const auto& view : views.views) ASSERT_TRUE(calibrator.insertGridPoints(id, view.window, view.centres));
    const CameraCalibration result = calibrateCamera(calibrator, id, views);
    const cv::Mat& K = result.camera_matrix;
    const auto& lens = config.lens;
    std::printf("%s: %zu of %d windows located (worst centre %.3f px off), %zu used, RMS %.4f px, fx %.3f (%+.3f %%) "
                "fy %.3f (%+.3f %%) cx %.3f (%+.3f %%) cy %.3f (%+.3f %%)\n",
                name.c_str(), result.located, views.windows, worst, result.used, result.rms_px, K.at<double>(0, 0),
                100 * (K.at<double>(0, 0) / lens.fx - 1), K.at<double>(1, 1), 100 * (K.at<double>(1, 1) / lens.fy - 1),
                K.at<double>(0, 2), 100 * (K.at<double>(0, 2) / lens.cx - 1), K.at<double>(1, 2),
                100 * (K.at<double>(1, 2) / lens.cy - 1));
    EXPECT_GE(result.used, 20u);
    EXPECT_NEAR(K.at<double>(0, 0), lens.fx, 0.01 * lens.fx);
    EXPECT_NEAR(K.at<double>(1, 1), lens.fy, 0.01 * lens.fy);
    EXPECT_NEAR(K.at<double>(0, 2), lens.cx, 0.01 * lens.cx);
    EXPECT_NEAR(K.at<double>(1, 2), lens.cy, 0.01 * lens.cy);
}

TEST(CalibrateRecording, RecoversTheLensFromSymmetricBlinkingMarkers) { recoversLensFromMarkers(false, 100.0, "markers-symmetric"); }

TEST(CalibrateRecording, RecoversTheLensFromAsymmetricBlinkingMarkers) { recoversLensFromMarkers(true, 450.0, "markers-asymmetric"); }

// Only the markers' pixels blink in the band: the flicker, the bar, the light at 1500 Hz and
// the noise of the recording leave nothing, and a band that leaves the markers out keeps
// nothing at all.
TEST(CalibrateRecording, OnlyTheMarkersBlinkInTheBand) {
    auto config = markerCamera(false, 250.0);
    config.pose_count = 4;
    const fs::path folder = scratch("markers-distractors");
    const std::string path = record(config, folder / "cam.raw");
    RawFileReader reader(path);
    uint64_t first = 0;
    ASSERT_TRUE(reader.loadFile());
    ASSERT_TRUE(reader.getStartTimeStamp(first));
    const auto events = reader.getNTimeEventsGivenStartTimeStamp(first, 4 * config.pose_period_us - first);
    ASSERT_TRUE(events);
    ASSERT_FALSE(events->empty());
    const auto where = sim::blinkingMarkerDistractors(config);
    size_t flicker = 0, light = 0, bar = 0;
    for (const auto& e : *events) {
        bar += e.y == 710 && e.x >= 60 && e.x < 200;  // the bar sweeps 200 columns in 0.4 s
        flicker += e.x >= where.flicker_x && e.x < where.flicker_x + where.flicker_size && e.y >= where.flicker_y &&
                   e.y < where.flicker_y + where.flicker_size;
        light += std::hypot(e.x - where.other_light.x, e.y - where.other_light.y) < 3.0;
    }
    ASSERT_GT(flicker, 1000u);  // the distractors are in the recording
    ASSERT_GT(light, 1000u);
    ASSERT_GT(bar, 150u);

    const auto blinkingIn = [&](float lo, float hi) {
        VibrationDetection detector(1280, 720, VibrationDetectionConfig(5, lo, hi, 200));
        std::vector<Event2DFrequency> out;
        detector.processEvents(events->data(), events->data() + events->size(), std::back_inserter(out));
        return out;
    };
    const auto blinking = blinkingIn(80.0f, 600.0f);
    ASSERT_GT(blinking.size(), 10000u);
    std::vector<std::vector<sim::Point2d>> truth;
    for (uint64_t k = 0; k < 4; ++k) truth.push_back(sim::circleGridProjectedCenters(config, k));
    for (const auto& e : blinking) {
        double nearest = 1e9;
        for (const auto& c : truth[e.timestamp / config.pose_period_us]) nearest = std::min(nearest, std::hypot(e.x - c.x, e.y - c.y));
        ASSERT_LT(nearest, 3.0) << e.x << "," << e.y << " at " << e.timestamp;
        ASSERT_NEAR(e.frequency, 250.0f, 5.0f);
    }
    EXPECT_TRUE(blinkingIn(300.0f, 1000.0f).empty());
}

TEST(SimulatedMarkerTarget, RefusesSettingsItCannotShow) {
    const auto refused = [](const std::function<void(sim::SimulatedCameraConfig&)>& change) {
        auto config = markerCamera(false, 200.0);
        change(config);
        try {
            sim::blinkingMarkerDistractors(config);
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    EXPECT_NE(refused([](auto& c) { c.markers.spot_sigma_px = 0.0; }).find("spot_sigma_px"), std::string::npos);
    EXPECT_NE(refused([](auto& c) { c.markers.flicker_size_px = 400; }).find("flicker_size_px"), std::string::npos);
    EXPECT_NE(refused([](auto& c) { c.markers.edge_width_px = 0; }).find("edge_width_px"), std::string::npos);
    EXPECT_NE(refused([](auto& c) { c.markers.other_light_hz = -1; }).find("other_light_hz"), std::string::npos);
    EXPECT_NE(refused([](auto& c) { c.target.spacing = 0; }).find("target.spacing"), std::string::npos);
    EXPECT_EQ(refused([](auto&) {}), "");
    // plugCamera refuses the same.
    auto config = markerCamera(false, 200.0);
    config.markers.spot_sigma_px = 9.0;
    EXPECT_THROW(sim::plugCamera(config), std::invalid_argument);
}

// The command, run as a user runs it.
struct ToolRun {
    int status = -1;
    std::string output;
};

ToolRun runTool(const std::string& arguments) {
    ToolRun run;
    const std::string command = std::string(VIREO_TOOL) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    std::array<char, 4096> buffer{};
    size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) run.output.append(buffer.data(), got);
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// Angle of the rotation between two rotation matrices, degrees.
double angleBetween(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat rvec;
    cv::Rodrigues(a * b.t(), rvec);
    return cv::norm(rvec) * 180.0 / CV_PI;
}

TEST(CalibrateRecording, RecoversTheRigPoseOfAStereoPair) {
    auto left = circleGridCamera(true);
    auto right = left;
    right.seed = 2;
    right.lens.fx = 890.0;
    right.lens.fy = 889.0;
    right.lens.cx = 630.0;
    right.lens.cy = 355.0;
    right.rig_pose.rotation = {0.02, -0.12, 0.01};
    right.rig_pose.translation = {-120.0, 4.0, 6.0};
    const auto poses = sim::drawCircleGridPoses({left, right}, left.pose_count);
    left.target_poses = poses;
    right.target_poses = poses;
    const fs::path folder = scratch("stereo");
    const std::string leftPath = record(left, folder / "left.raw");
    const std::string rightPath = record(right, folder / "right.raw");

    const TargetGrid target = targetOf(left);
    Calibrator calibrator(ASYMMETRIC_GRID, target.cols, target.rows, static_cast<float>(target.spacing));
    std::vector<RecordingViews> recordings;
    for (const auto& path : {leftPath, rightPath}) {
        recordings.push_back(locateGridInRecording(path, target, eventOptions()));
        const int id = calibrator.addCamera(recordings.back().sensor_size, recordings.back().serial);
        for (const auto& view : recordings.back().views) calibrator.insertGridPoints(id, view.window, view.centres);
        const CameraCalibration result = calibrateCamera(calibrator, id, recordings.back());
        EXPECT_LT(result.rms_px, 0.3);
        expectLens(id == 0 ? left.lens : right.lens, result.camera_matrix);
    }
    ASSERT_GE(calibrator.getCommonFrameCount(0, 1), 15u);
    ASSERT_GE(calibrator.calibrateStereo(0, 1), 0.0);
    cv::Mat R, T;
    ASSERT_TRUE(calibrator.getExtrinsics(0, 1, R, T));
    cv::Mat trueR;
    cv::Rodrigues(cv::Mat(cv::Vec3d(right.rig_pose.rotation[0], right.rig_pose.rotation[1],
                                    right.rig_pose.rotation[2])),
                  trueR);
    const cv::Mat trueT(cv::Vec3d(right.rig_pose.translation[0], right.rig_pose.translation[1],
                                  right.rig_pose.translation[2]));
    const double angle = angleBetween(R, trueR);
    const double offset = cv::norm(T - trueT) / cv::norm(trueT);
    std::printf("stereo: rotation off by %.4f deg, translation off by %.3f %%\n", angle, 100.0 * offset);
    EXPECT_LT(angle, 0.2);
    EXPECT_LT(offset, 0.01);

    // The command on the same pair writes the same rig pose into its result file.
    const fs::path result = folder / "rig.json";
    const ToolRun run = runTool("calibrate --target asymmetric --size 4x11 --spacing 40 --eps 4 -o " +
                                result.string() + " " + leftPath + " " + rightPath);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("stereo \\(camera 1 from camera 0.* on [0-9]+ common views")))
        << run.output;
    Calibrator loaded(ASYMMETRIC_GRID, 4, 11, 40.0f);
    ASSERT_TRUE(loaded.loadCalibrationResultFromJson(result.string()));
    cv::Mat loadedR, loadedT;
    ASSERT_TRUE(loaded.getExtrinsics(0, 1, loadedR, loadedT));
    EXPECT_LT(angleBetween(loadedR, trueR), 0.2);
    EXPECT_LT(cv::norm(loadedT - trueT) / cv::norm(trueT), 0.01);
}

TEST(CalibrateCommand, WritesAResultFileWithTheTrueLensAndAPicture) {
    const auto config = circleGridCamera(true);
    const fs::path folder = scratch("command");
    const std::string path = record(config, folder / "cam.raw");
    const fs::path result = folder / "out" / "lens.json";
    fs::create_directories(result.parent_path());
    const ToolRun run = runTool("calibrate --target asymmetric --size 4x11 --spacing 40 --eps 4 -o " + result.string() +
                            " " + path);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("locating the grid in"), std::string::npos) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("camera 0 .*: [0-9]+ of [0-9]+ windows located, [0-9]+ views used")))
        << run.output;
    EXPECT_NE(run.output.find("per-view RMS error"), std::string::npos) << run.output;

    Calibrator loaded(ASYMMETRIC_GRID, 4, 11, 40.0f);
    ASSERT_TRUE(loaded.loadCalibrationResultFromJson(result.string()));
    cv::Mat K, D;
    ASSERT_TRUE(loaded.getIntrinsics(0, K, D));
    expectLens(config.lens, K);

    const cv::Mat picture = cv::imread((folder / "out" / "lens.png").string());
    ASSERT_FALSE(picture.empty());
    EXPECT_EQ(picture.cols, 2 * 1280);  // the best and the worst view side by side
    EXPECT_EQ(picture.rows, 720);
}

TEST(CalibrateCommand, CalibratesFromBlinkingMarkers) {
    const auto config = markerCamera(true, 300.0);
    const fs::path folder = scratch("command-markers");
    const std::string path = record(config, folder / "cam.raw");
    const fs::path result = folder / "markers.json";
    const ToolRun run = runTool("calibrate --target asymmetric --size 4x11 --spacing 40 --locator markers --min-freq 100 "
                                "--max-freq 500 -o " + result.string() + " " + path);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(std::regex_search(run.output, std::regex("camera 0 .*: [0-9]+ of [0-9]+ windows located, [0-9]+ views used")))
        << run.output;
    Calibrator loaded(ASYMMETRIC_GRID, 4, 11, 40.0f);
    ASSERT_TRUE(loaded.loadCalibrationResultFromJson(result.string()));
    cv::Mat K, D;
    ASSERT_TRUE(loaded.getIntrinsics(0, K, D));
    EXPECT_NEAR(K.at<double>(0, 0), config.lens.fx, 0.01 * config.lens.fx);
    EXPECT_NEAR(K.at<double>(1, 1), config.lens.fy, 0.01 * config.lens.fy);
    EXPECT_TRUE(fs::exists(folder / "markers.png"));

    // Markers outside the band are not found, and the command says what to check.
    const ToolRun outside = runTool("calibrate --target asymmetric --size 4x11 --spacing 40 --locator markers "
                                    "--min-freq 400 --max-freq 1000 -o " + (folder / "none.json").string() + " " + path);
    EXPECT_EQ(outside.status, 1);
    EXPECT_NE(outside.output.find("that the markers blink between --min-freq and --max-freq"), std::string::npos)
        << outside.output;
    EXPECT_FALSE(fs::exists(folder / "none.json"));
}

TEST(CalibrateCommand, RefusesLocatorOptionsThatDoNotFit) {
    const std::string base = "calibrate --target symmetric --size 7x5 --spacing 30 -o r.json cam.raw ";
    const ToolRun kind = runTool(base + "--locator squares");
    EXPECT_EQ(kind.status, 2);
    EXPECT_NE(kind.output.find("--locator expects circles or markers"), std::string::npos) << kind.output;
    const ToolRun eps = runTool(base + "--locator markers --eps 4");
    EXPECT_EQ(eps.status, 2);
    EXPECT_NE(eps.output.find("--eps and --min-pts apply to --locator circles only"), std::string::npos) << eps.output;
    const ToolRun band = runTool(base + "--min-freq 100");
    EXPECT_EQ(band.status, 2);
    EXPECT_NE(band.output.find("apply to --locator markers only"), std::string::npos) << band.output;
    const ToolRun order = runTool(base + "--locator markers --min-freq 500 --max-freq 200");
    EXPECT_EQ(order.status, 2);
    EXPECT_NE(order.output.find("--min-freq must be below --max-freq"), std::string::npos) << order.output;
    const ToolRun negative = runTool(base + "--locator markers --min-freq -5");
    EXPECT_EQ(negative.status, 2);
}

TEST(CalibrateCommand, RefusesAMissingRecordingInOneLine) {
    const fs::path folder = scratch("missing");
    const ToolRun run = runTool("calibrate --target symmetric --size 7x5 --spacing 30 -o " + (folder / "r.json").string() +
                            " " + (folder / "nothing.raw").string());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("nothing.raw\" does not exist"), std::string::npos) << run.output;
    EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
    EXPECT_FALSE(fs::exists(folder / "r.json"));
}

TEST(CalibrateCommand, SaysSoWhenNoWindowHoldsTheTarget) {
    // A camera showing the asymmetric target, searched for a symmetric one of another size.
    auto config = circleGridCamera(true);
    config.pose_count = 4;
    const fs::path folder = scratch("no-target");
    const std::string path = record(config, folder / "cam.raw");
    const ToolRun run = runTool("calibrate --target symmetric --size 9x6 --spacing 30 --eps 4 -o " +
                            (folder / "r.json").string() + " " + path);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(std::regex_search(run.output, std::regex("vireo calibrate: no target found in any of the [0-9]+ windows")))
        << run.output;
    EXPECT_FALSE(fs::exists(folder / "r.json"));
}

TEST(CalibrateCommand, CtrlCCalibratesFromTheWindowsSearchedSoFar) {
    const auto config = circleGridCamera(true);
    const fs::path folder = scratch("interrupt");
    const std::string path = record(config, folder / "cam.raw");
    const std::string result = (folder / "part.json").string();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execl(VIREO_TOOL, "vireo", "calibrate", "--target", "asymmetric", "--size", "4x11", "--spacing", "40", "--eps",
              "4", "-o", result.c_str(), path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // The first progress line comes a fifth of the way through: the signal goes then.
    std::string output;
    std::array<char, 4096> buffer{};
    bool signalled = false;
    ssize_t got = 0;
    while ((got = read(out[0], buffer.data(), buffer.size())) > 0) {
        output.append(buffer.data(), static_cast<size_t>(got));
        if (!signalled && output.find("locating the grid in") != std::string::npos) {
            kill(pid, SIGINT);
            signalled = true;
        }
    }
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(signalled) << output;
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("vireo calibrate: stopped after"), std::string::npos) << output;
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(output, counts, std::regex("camera 0 .*: ([0-9]+) of ([0-9]+) windows located")))
        << output;
    EXPECT_LT(std::stoi(counts[2]), config.pose_count) << output;  // not every window was searched
    EXPECT_NE(output.find("(from the windows searched before the stop)"), std::string::npos) << output;
    Calibrator loaded(ASYMMETRIC_GRID, 4, 11, 40.0f);
    EXPECT_TRUE(loaded.loadCalibrationResultFromJson(result));
}

TEST(CalibrateCommand, RefusesBadOptions) {
    const ToolRun size = runTool("calibrate --target symmetric --size 7by5 --spacing 30 -o r.json cam.raw");
    EXPECT_EQ(size.status, 2);
    EXPECT_NE(size.output.find("--size expects CxR"), std::string::npos) << size.output;
    const ToolRun kind = runTool("calibrate --target round --size 7x5 --spacing 30 -o r.json cam.raw");
    EXPECT_EQ(kind.status, 2);
    EXPECT_NE(kind.output.find("--target expects symmetric or asymmetric"), std::string::npos) << kind.output;
    const ToolRun spacing = runTool("calibrate --target symmetric --size 7x5 --spacing -3 -o r.json cam.raw");
    EXPECT_EQ(spacing.status, 2);
    const ToolRun noOutput = runTool("calibrate --target symmetric --size 7x5 --spacing 30 cam.raw");
    EXPECT_EQ(noOutput.status, 2);
    EXPECT_NE(noOutput.output.find("-o is required"), std::string::npos) << noOutput.output;
}

TEST(GridSize, ReadsColumnsThenRowsAndRefusesOtherText) {
    int cols = 0, rows = 0;
    parseGridSize("4x11", cols, rows);
    EXPECT_EQ(cols, 4);
    EXPECT_EQ(rows, 11);
    for (const char* bad : {"", "4", "x11", "4x", "4x1", "1x4", "4x-2", "4.5x11", "4x11x2", "ax4"}) {
        EXPECT_THROW(parseGridSize(bad, cols, rows), UsageError) << bad;
    }
}

// The printable target's centres, less the margin, are the calibrator's world points.
void expectLayoutMatchesWorldPoints(bool asymmetric, int cols, int rows, double spacing) {
    const TargetGrid target{asymmetric, cols, rows, spacing};
    const PatternLayout layout = patternLayout(target);
    std::vector<cv::Point3f> world;
    Calibrator::getGridWorldPoints(asymmetric ? ASYMMETRIC_GRID : SYMMETRIC_GRID, cols, rows,
                                   static_cast<float>(spacing), world);
    ASSERT_EQ(layout.centres_mm.size(), world.size());
    for (size_t i = 0; i < world.size(); ++i) {
        EXPECT_NEAR(layout.centres_mm[i].x - spacing, world[i].x, 1e-4) << i;
        EXPECT_NEAR(layout.centres_mm[i].y - spacing, world[i].y, 1e-4) << i;
    }
}

TEST(Pattern, CentresAreTheCalibratorsWorldPoints) {
    expectLayoutMatchesWorldPoints(false, 7, 5, 30.0);
    expectLayoutMatchesWorldPoints(true, 4, 11, 40.0);
}

TEST(Pattern, SvgIsInMillimetresWithOneCirclePerCentre) {
    const TargetGrid target{true, 4, 11, 20.0};
    const std::string svg = patternSvg(target);
    const PatternLayout layout = patternLayout(target);
    // 4 x 11 asymmetric, 20 mm: 3.5 spacings wide and 5 tall between centres, plus a spacing each side.
    EXPECT_NEAR(layout.width_mm, 110.0, 1e-9);
    EXPECT_NEAR(layout.height_mm, 140.0, 1e-9);
    EXPECT_NE(svg.find("width=\"110mm\" height=\"140mm\" viewBox=\"0 0 110 140\""), std::string::npos) << svg;
    const std::regex circle("<circle cx=\"([0-9.]+)\" cy=\"([0-9.]+)\" r=\"([0-9.]+)\"");
    std::vector<cv::Point2d> found;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), circle); it != std::sregex_iterator(); ++it) {
        found.emplace_back(std::stod((*it)[1]), std::stod((*it)[2]));
        EXPECT_NEAR(std::stod((*it)[3]), 3.5, 1e-9);
    }
    ASSERT_EQ(found.size(), 44u);
    for (size_t i = 0; i < found.size(); ++i) {
        EXPECT_NEAR(found[i].x, layout.centres_mm[i].x, 1e-6);
        EXPECT_NEAR(found[i].y, layout.centres_mm[i].y, 1e-6);
    }
}

// OpenCV's circle-grid detector, through the frame locator, finds the PNG's circles at the
// pixels the true size and the dpi give, in the calibrator's numbering.
void expectPngLocated(bool asymmetric, int cols, int rows) {
    const TargetGrid target{asymmetric, cols, rows, 20.0};
    const double dpi = 100;
    const cv::Mat image = patternImage(target, dpi);
    const PatternLayout layout = patternLayout(target);
    EXPECT_NEAR(image.cols, layout.width_mm / 25.4 * dpi, 0.5);
    EXPECT_NEAR(image.rows, layout.height_mm / 25.4 * dpi, 0.5);
    auto locator = GridLocator::createFrameBasedGridLocator(
        asymmetric ? FRAME_CIRCLES_ASYMMETRIC : FRAME_CIRCLES_SYMMETRIC, cols, rows, image.size(), nullptr);
    locator->processFrame(image);
    std::vector<cv::Point2f> centres;
    ASSERT_TRUE(locator->locateGrid(centres));
    ASSERT_EQ(centres.size(), layout.centres_mm.size());
    // A symmetric grid may be numbered from either end (half a turn looks the same).
    const auto distance = [&](bool reversed) {
        double worst = 0;
        for (size_t i = 0; i < centres.size(); ++i) {
            const auto& mm = layout.centres_mm[reversed ? centres.size() - 1 - i : i];
            // Pixel centres at whole numbers: the sheet's corner is at (-0.5, -0.5).
            worst = std::max(worst, cv::norm(cv::Point2d(centres[i]) - (mm * (dpi / 25.4) - cv::Point2d(0.5, 0.5))));
        }
        return worst;
    };
    const double worst = asymmetric ? distance(false) : std::min(distance(false), distance(true));
    EXPECT_LT(worst, 0.5);
}

TEST(Pattern, PngIsFoundByTheCircleDetectorAtTrueSize) {
    expectPngLocated(false, 7, 5);
    expectPngLocated(true, 4, 11);
}

TEST(PatternCommand, WritesAnSvgAndAPngAndRefusesOtherNames) {
    const fs::path folder = scratch("pattern");
    const ToolRun svg = runTool("pattern --target asymmetric --size 4x11 --spacing 20 -o " + (folder / "t.svg").string());
    ASSERT_EQ(svg.status, 0) << svg.output;
    EXPECT_NE(svg.output.find("110.0 x 140.0 mm"), std::string::npos) << svg.output;
    std::ifstream in(folder / "t.svg");
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), patternSvg(TargetGrid{true, 4, 11, 20.0}));
    const ToolRun png = runTool("pattern --target symmetric --size 7x5 --spacing 25 --dpi 150 -o " +
                            (folder / "t.png").string());
    ASSERT_EQ(png.status, 0) << png.output;
    const cv::Mat image = cv::imread((folder / "t.png").string(), cv::IMREAD_GRAYSCALE);
    const cv::Mat expected = patternImage(TargetGrid{false, 7, 5, 25.0}, 150);
    ASSERT_EQ(image.size(), expected.size());
    EXPECT_EQ(cv::norm(image, expected, cv::NORM_INF), 0.0);
    const ToolRun other = runTool("pattern --target symmetric --size 7x5 --spacing 25 -o " + (folder / "t.pdf").string());
    EXPECT_EQ(other.status, 2);
    EXPECT_NE(other.output.find("must end in .svg or .png"), std::string::npos) << other.output;
    EXPECT_FALSE(fs::exists(folder / "t.pdf"));
}

}  // namespace
}  // namespace vireo::app
