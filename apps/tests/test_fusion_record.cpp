// vireo record --fusion on a simulated fusion camera: both files written and readable, the
// refusals made before a camera is opened, the choice of a fusion camera; the listing of
// fusion cameras; the demo's fusion picture, whose edge must sit at the same column in the
// frame half and in the count half.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CameraChoice.h"
#include "CommandLine.h"
#include "Commands.h"
#include "FusionPicture.h"
#include "Interrupt.h"
#include "PluggedSimulatedCamera.h"

namespace vireo::app {
namespace {

namespace fs = std::filesystem;

std::string scratchFolder(const std::string& name) {
    const fs::path dir = fs::path(VIREO_TEST_SCRATCH_DIR) / "fusion-record" / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The first column of `row` from `from` on whose pixels differ from grey (the count half), or
// whose brightness passes the middle (the frame half); -1 when none does.
int firstColumn(const cv::Mat& picture, int row, int from, int to, bool counts) {
    for (int x = from; x < to; ++x) {
        const cv::Vec3b p = picture.at<cv::Vec3b>(row, x);
        if (counts ? p != cv::Vec3b(128, 128, 128) : (p[0] + p[1] + p[2]) / 3 > 128) return x - from;
    }
    return -1;
}

int lastColumn(const cv::Mat& picture, int row, int from, int to) {
    for (int x = to - 1; x >= from; --x) {
        if (picture.at<cv::Vec3b>(row, x) != cv::Vec3b(128, 128, 128)) return x - from;
    }
    return -1;
}

TEST(FusionRecord, SimulatedRecordingWritesARawFileAndAnMp4File) {
    const std::string folder = scratchFolder("simulated");
    FusionRecordRequest request;
    request.base = fusionRecordingBase(folder + "/pair.mp4");
    request.seconds = 1.2;
    request.simulate = true;
    request.progress = false;
    std::vector<RecordProgress> lines;
    request.on_progress = [&](const RecordProgress& p) { lines.push_back(p); };
    const FusionRecordOutcome outcome = recordFusionCamera(request);
    ASSERT_TRUE(outcome.started);
    EXPECT_TRUE(fusionRecordingProblem(outcome).empty()) << fusionRecordingProblem(outcome);
    EXPECT_EQ(outcome.raw_path, folder + "/pair.raw");
    EXPECT_EQ(outcome.mp4_path, folder + "/pair.mp4");
    ASSERT_FALSE(lines.empty());
    EXPECT_GT(lines.back().events_per_second, 0.0);
    EXPECT_GT(lines.back().megabytes, 0.0);
    EXPECT_GE(lines.back().frames, 1u);
    EXPECT_LE(lines.back().frames, outcome.frames);
    // The temporary pair took its names, the events' bookmark index and its companion with
    // them: nothing else is left in the folder, and the index is the recording's.
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"pair.dsmark.state", "pair.dsmark.tmp", "pair.mp4",
                                                         "pair.raw"}));

    RawFileReader raw(outcome.raw_path);
    ASSERT_TRUE(raw.loadFile());
    EXPECT_TRUE(raw.isIndexReloaded());
    uint64_t events = 0;
    ASSERT_TRUE(raw.getMaxEvents(events));
    EXPECT_GT(events, 100000u);  // a moving edge of 720 pixels crossing hundreds of columns
    EXPECT_EQ(raw.getWidth(), 1280);
    EXPECT_EQ(raw.getHeight(), 720);

    Mp4FileReader video(outcome.mp4_path);
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    ASSERT_TRUE(video.getTimeStamps(times));
    EXPECT_EQ(times.size(), outcome.frames);
    EXPECT_GE(times.size(), 3u);  // 5 frames a second for 1.2 s, give or take the first and last
    EXPECT_EQ(video.getWidth(), 3840);
    EXPECT_EQ(video.getHeight(), 2160);
    uint64_t offset = 0;
    EXPECT_TRUE(video.getEventTimeOffset(offset));
    ApsFrame frame;
    EXPECT_TRUE(video.getNextFrame(frame));
    EXPECT_EQ(frame.size, 3840u * 2160u * 3u);
    EXPECT_TRUE(sim::pluggedCameras().empty());
}

// Ctrl-C during a fusion recording ends it early and completes both files under their names.
TEST(FusionRecord, FirstSignalEndsTheRecordingAndKeepsBothFiles) {
    const std::string folder = scratchFolder("interrupted");
    FusionRecordRequest request;
    request.base = folder + "/stopped";
    request.seconds = 60;
    request.simulate = true;
    request.progress = false;
    request.on_progress = [](const RecordProgress&) { std::raise(SIGINT); };
    FusionRecordOutcome outcome;
    {
        const InterruptScope scope("ending the test's recording");
        outcome = recordFusionCamera(request);
    }
    EXPECT_EQ(outcome.interrupt_signal, SIGINT);
    EXPECT_LT(outcome.seconds, 5.0);
    EXPECT_TRUE(fusionRecordingProblem(outcome).empty()) << fusionRecordingProblem(outcome);
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"stopped.dsmark.state", "stopped.dsmark.tmp", "stopped.mp4",
                                                         "stopped.raw"}));
    Mp4FileReader video(outcome.mp4_path);
    std::vector<uint64_t> times;
    ASSERT_TRUE(video.loadFile());
    ASSERT_TRUE(video.getTimeStamps(times));
    EXPECT_EQ(times.size(), outcome.frames);
    EXPECT_GE(times.size(), 1u);
    RawFileReader raw(outcome.raw_path);
    uint64_t events = 0;
    ASSERT_TRUE(raw.loadFile());
    ASSERT_TRUE(raw.getMaxEvents(events));
    EXPECT_GT(events, 0u);
}

// A fusion camera that hands out three frames at start and whose recordings write small
// files and then report what the test asks for, so that each file can fail on its own.
class ScriptedFusionCamera : public FusionCamera {
public:
    int raw_result = 0;
    int mp4_result = 0;

    ScriptedFusionCamera() : FusionCamera(describe()) {}

    bool isConnected() const override { return true; }
    unsigned addEventsStreamHandleCallback(EventsCallback) override { return 0; }
    bool removeEventsStreamHandleCallback(unsigned) override { return false; }
    unsigned addApsFrameCallback(ApsFrameCallback cb) override {
        frame_callback_ = std::move(cb);
        return 7;
    }
    bool removeApsFrameCallback(unsigned id) override {
        const bool known = id == 7 && frame_callback_ != nullptr;
        frame_callback_ = nullptr;
        return known;
    }
    unsigned addTriggerInCallback(TriggerInCallback) override { return 0; }
    bool removeTriggerInCallback(unsigned) override { return false; }
    bool getNextBatch(std::vector<Event2D>&) override { return false; }
    void setBatchEventsNum(unsigned long long) override {}
    void setBatchEventsTime(unsigned long long) override {}
    int start(STREAM_TYPE) override {
        std::vector<unsigned char> pixels(4 * 2 * 3, 100);
        for (uint64_t k = 1; k <= 3; ++k) {
            ApsFrame frame;
            frame.data = pixels.data();
            frame.size = static_cast<uint32_t>(pixels.size());
            frame.syncTimestamp = k * 200000;
            if (frame_callback_) frame_callback_(frame);
        }
        return 0;
    }
    int stop(STREAM_TYPE) override { return 0; }
    int startRecording(std::string path, STREAM_TYPE) override {
        const std::string base = path.substr(0, path.rfind('.'));
        raw_path_ = base + ".raw";
        mp4_path_ = base + ".mp4";
        std::ofstream(raw_path_) << "% evt 3.0\n% end\nEVENTS";
        std::ofstream(mp4_path_) << "FRAMES";
        return 0;
    }
    int stopRecording(STREAM_TYPE type) override { return type == STREAM_DVS ? raw_result : mp4_result; }
    unsigned short getWidth(STREAM_TYPE) override { return 4; }
    unsigned short getHeight(STREAM_TYPE) override { return 2; }
    bool getFusionEvents(std::shared_ptr<std::vector<uint16_t>>&, uint64_t) override { return false; }

private:
    static CameraDescription describe() {
        CameraDescription desc;
        desc.serial = "FUSION1";
        return desc;
    }
    int init() override { return 0; }
    ApsFrameCallback frame_callback_;
    std::string raw_path_, mp4_path_;
};

std::string contentOf(const std::string& path) {
    std::ifstream in(path);
    std::string content;
    std::getline(in, content, '\0');
    return content;
}

// A file that could not be written whole is never a success: the message names it, an older
// pair stays as it was and the new data stays in the temporary files it names.
TEST(FusionRecord, AFileNotWrittenWholeIsReportedAndTheOlderPairKept) {
    struct Case {
        int raw_result, mp4_result;
        const char* named;
    };
    for (const Case& c : {Case{0, -1, "the frames (\""}, Case{-1, 0, "the events (\""}, Case{-1, -1, "neither file"}}) {
        SCOPED_TRACE(c.named);
        const std::string folder = scratchFolder("failing");
        std::ofstream(folder + "/out.raw") << "older raw";
        std::ofstream(folder + "/out.mp4") << "older mp4";
        ScriptedFusionCamera camera;
        camera.raw_result = c.raw_result;
        camera.mp4_result = c.mp4_result;
        FusionRecordRequest request;
        request.base = folder + "/out";
        request.seconds = 0.2;
        request.progress = false;
        const FusionRecordOutcome outcome = recordOpenedFusionCamera(camera, request);
        EXPECT_TRUE(outcome.started);
        EXPECT_FALSE(outcome.raw_ok || outcome.mp4_ok);
        const std::string problem = fusionRecordingProblem(outcome);
        EXPECT_NE(problem.find(c.named), std::string::npos) << problem;
        EXPECT_NE(problem.find("stays in"), std::string::npos) << problem;
        EXPECT_EQ(contentOf(folder + "/out.raw"), "older raw");
        EXPECT_EQ(contentOf(folder + "/out.mp4"), "older mp4");
        ASSERT_EQ(outcome.kept.size(), 2u);
        for (const auto& kept : outcome.kept) {
            EXPECT_TRUE(fs::exists(kept)) << kept;
            EXPECT_NE(problem.find(kept), std::string::npos) << problem;
        }
    }
    // Both whole: the new pair replaces the older one, and the frames are counted. The older
    // one's index goes with it (this camera writes none for the new one).
    const std::string folder = scratchFolder("whole");
    std::ofstream(folder + "/out.raw") << "older raw";
    std::ofstream(folder + "/out.dsmark.tmp") << "older index";
    ScriptedFusionCamera camera;
    FusionRecordRequest request;
    request.base = folder + "/out";
    request.seconds = 0.2;
    request.progress = false;
    const FusionRecordOutcome outcome = recordOpenedFusionCamera(camera, request);
    EXPECT_TRUE(outcome.raw_ok && outcome.mp4_ok);
    EXPECT_EQ(outcome.frames, 3u);
    EXPECT_EQ(outcome.body_bytes, 6u);
    EXPECT_TRUE(fusionRecordingProblem(outcome).empty()) << fusionRecordingProblem(outcome);
    EXPECT_EQ(contentOf(folder + "/out.mp4"), "FRAMES");
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"out.mp4", "out.raw"}));
}

TEST(FusionRecord, OutputNamesAndRefusalsBeforeACameraIsOpened) {
    EXPECT_EQ(fusionRecordingBase("runs/a"), "runs/a");
    EXPECT_EQ(fusionRecordingBase("runs/a.raw"), "runs/a");
    EXPECT_EQ(fusionRecordingBase("runs/a.mp4"), "runs/a");
    EXPECT_EQ(fusionRecordingBase("runs/a.take2"), "runs/a.take2");  // only .raw and .mp4 are taken off
    EXPECT_THROW(fusionRecordingBase("runs/"), UsageError);
    EXPECT_THROW(fusionRecordingBase(""), UsageError);

    const std::string folder = scratchFolder("refusals");
    fs::create_directories(folder + "/taken.mp4");
    for (const std::string& base : {folder + "/no-such-folder/out", folder + "/taken"}) {
        SCOPED_TRACE(base);
        FusionRecordRequest request;
        request.base = base;
        request.seconds = 60;
        request.simulate = true;
        request.progress = false;
        EXPECT_THROW(recordFusionCamera(request), std::runtime_error);
        EXPECT_TRUE(sim::pluggedCameras().empty());  // refused before the simulated camera came
    }
    EXPECT_EQ(filesIn(folder), std::vector<std::string>{"taken.mp4"});
}

TEST(FusionRecord, ChoosesOnlyAFusionCameraAndNeverFallsBackToASimulatedOne) {
    DvsCameraManager manager;
    const auto message = [&](const std::string& serial) {
        try {
            ChosenCamera chosen(manager, serial, false, {}, CameraKind::Fusion);
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string("(chosen)");
    };
    EXPECT_NE(message("").find("no fusion camera found"), std::string::npos) << message("");
    EXPECT_NE(message("").find("--simulate"), std::string::npos) << message("");
    {
        // A simulated event camera is never picked, and naming it to a fusion command says why.
        const PluggedSimulatedCamera heron(sim::SimulatedCameraConfig{});
        EXPECT_NE(message("").find("no fusion camera found"), std::string::npos) << message("");
        EXPECT_NE(message(heron.serial()).find("is not a fusion camera"), std::string::npos)
            << message(heron.serial());
    }
    sim::SimulatedCameraConfig fusion;
    fusion.vendor_id = sim::kFusionVendorId;
    fusion.product_id = sim::kFusionProductId;
    const PluggedSimulatedCamera tandem(fusion);
    EXPECT_EQ(message(tandem.serial()), "(chosen)");
}

TEST(FusionRecord, ListingMarksFusionCamerasAndKeepsEventCameraLines) {
    const PluggedSimulatedCamera heron(sim::SimulatedCameraConfig{});
    sim::SimulatedCameraConfig fusion;
    fusion.vendor_id = sim::kFusionVendorId;
    fusion.product_id = sim::kFusionProductId;
    const PluggedSimulatedCamera tandem(fusion);
    DvsCameraManager manager;
    const std::string listing = cameraListing(manager.getCameraDescs());
    const auto lineOf = [&](const std::string& serial) {
        const size_t at = listing.find(serial);
        if (at == std::string::npos) return std::string();
        const size_t begin = listing.rfind('\n', at) + 1;
        return listing.substr(begin, listing.find('\n', at) - begin);
    };
    const std::string heronLine = lineOf(heron.serial());
    const std::string tandemLine = lineOf(tandem.serial());
    // The event camera's line is the four columns it always had.
    char expected[128];
    std::snprintf(expected, sizeof expected, "%-16s %-24s %-11s %s", "Vireo Heron", heron.serial().c_str(), "04b5:0001",
                  "simulated");
    EXPECT_EQ(heronLine, expected);
    EXPECT_EQ(tandemLine.rfind("Vireo Tandem", 0), 0u) << tandemLine;
    EXPECT_NE(tandemLine.find("2207:0006"), std::string::npos) << tandemLine;
    EXPECT_NE(tandemLine.find("fusion camera"), std::string::npos) << tandemLine;
    EXPECT_NE(listing.find("2 cameras"), std::string::npos) << listing;
}

TEST(FusionPicture, FrameAndCountsShareColumnsAndPolaritiesHaveTheirColours) {
    // A frame of 600 x 300, dark left of column 240 and bright from there, beside a count
    // frame of 200 x 100 with positive events in column 80 and negative ones in column 150.
    constexpr int kFrameW = 600, kFrameH = 300, kCountW = 200, kCountH = 100;
    std::vector<unsigned char> frame(static_cast<size_t>(kFrameW) * kFrameH * 3, 56);
    for (int y = 0; y < kFrameH; ++y) {
        for (int x = 240; x < kFrameW; ++x) {
            for (int c = 0; c < 3; ++c) frame[(static_cast<size_t>(y) * kFrameW + x) * 3 + c] = 200;
        }
    }
    std::vector<uint16_t> counts(2 * kCountW * kCountH, 0);
    for (int y = 0; y < kCountH; ++y) {
        counts[2 * (y * kCountW + 80) + 1] = 1;
        counts[2 * (y * kCountW + 150)] = 10;
    }
    const cv::Mat picture = fusionPicture(frame.data(), kFrameW, kFrameH, counts, kCountW, kCountH);
    ASSERT_EQ(picture.rows, kCountH);
    ASSERT_EQ(picture.cols, 2 * kCountW);
    EXPECT_EQ(firstColumn(picture, 50, 0, kCountW, false), 80);
    EXPECT_EQ(firstColumn(picture, 50, kCountW, 2 * kCountW, true), 80);
    const cv::Vec3b positive = picture.at<cv::Vec3b>(50, kCountW + 80);
    const cv::Vec3b negative = picture.at<cv::Vec3b>(50, kCountW + 150);
    EXPECT_EQ(positive, countColour(0, 1));
    EXPECT_EQ(negative, countColour(10, 0));
    EXPECT_GT(positive[2], positive[0]);  // orange: more red than blue
    EXPECT_GT(negative[0], negative[2]);  // blue
    EXPECT_NE(countColour(0, 10), countColour(0, 1));  // more events, stronger colour

    EXPECT_THROW(fusionPicture(frame.data(), kFrameW, kFrameH, std::vector<uint16_t>(10), kCountW, kCountH),
                 std::invalid_argument);
    EXPECT_THROW(fusionPicture(frame.data(), 0, kFrameH, counts, kCountW, kCountH), std::invalid_argument);
}

// The demo's picture from a real (simulated) recording: the frame's edge, where its dark side
// meets its bright side, lies where the count frame's band of events ends, the latest events
// of the frame's period, since the frame shows the scene during its exposure at the period's end.
TEST(FusionPicture, DemoStepWritesAPictureWhoseEdgeLinesUpInBothHalves) {
    const std::string folder = scratchFolder("demo");
    const DemoFusionOutcome outcome = demoFusionStep(folder);
    EXPECT_TRUE(fs::exists(outcome.recording.raw_path));
    EXPECT_TRUE(fs::exists(outcome.recording.mp4_path));
    const cv::Mat picture = cv::imread(outcome.picture_path, cv::IMREAD_COLOR);
    ASSERT_FALSE(picture.empty()) << outcome.picture_path;
    ASSERT_EQ(picture.rows, 720);
    ASSERT_EQ(picture.cols, 2 * 1280);
    for (int row : {200, 400, 700}) {  // below the frame index drawn along the frame's top
        SCOPED_TRACE(row);
        const int frameEdge = firstColumn(picture, row, 0, 1280, false);
        const int bandStart = firstColumn(picture, row, 1280, 2560, true);
        const int bandEnd = lastColumn(picture, row, 1280, 2560);
        ASSERT_GE(frameEdge, 0);
        ASSERT_GE(bandStart, 0);
        EXPECT_GT(bandEnd, bandStart);  // the edge crossed several columns during the period
        EXPECT_NEAR(frameEdge, bandStart, 3);
    }
    EXPECT_TRUE(sim::pluggedCameras().empty());
}

}  // namespace
}  // namespace vireo::app
