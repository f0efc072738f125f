// The fusion camera end to end on a simulated fusion device: control frames, streams,
// count frames against the decoded events, recordings of both streams against what the
// device delivered, and unplugs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

#include <vireo/DvsCameraManager.h>
#include <vireo/Mp4FileReader.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/TandemCamera.h>
#include <vireo/UsbInterface.h>

#include "FusionCameraTestAccess.h"
#include "RecordingTestSupport.h"
#include "test_camera_support.h"

namespace vireo {
namespace {

using test::PluggedCamera;
using test::waitFor;
using CountFrame = FusionCameraPrivate::CountFrame;

sim::SimulatedCameraConfig fusionConfig(const std::string& serial) {
    sim::SimulatedCameraConfig config;
    config.serial = serial;
    config.vendor_id = sim::kFusionVendorId;
    config.product_id = sim::kFusionProductId;
    config.scene = sim::SceneType::MovingEdge;
    config.edge_speed = 2000;
    config.real_time = false;
    config.frame_rate_hz = 10;
    config.exposure_us = 20000;
    config.seed = 3;
    return config;
}

std::shared_ptr<FusionCamera> openFusion(DvsCameraManager& manager, const std::string& serial) {
    manager.updateCameras();
    return manager.openFusionCamera(serial);
}

// Whether a pixel of an NV12 image is on the bright side (luma above mid-grey).
bool brightLuma(const std::vector<uint8_t>& nv12, uint32_t width, uint32_t x, uint32_t y) {
    return nv12[static_cast<size_t>(y) * width + x] > 128;
}
bool brightBgr(const unsigned char* bgr, uint32_t width, uint32_t x, uint32_t y) {
    const unsigned char* p = bgr + (static_cast<size_t>(y) * width + x) * 3;
    return (p[0] + p[1] + p[2]) / 3 > 128;
}

// Share of sampled pixels whose bright/dark side agrees between a BGR frame and the NV12 image.
double agreement(const unsigned char* bgr, const std::vector<uint8_t>& nv12, uint32_t width, uint32_t height) {
    size_t same = 0;
    size_t total = 0;
    for (uint32_t y = 3; y < height; y += 37) {
        for (uint32_t x = 5; x < width; x += 41) {
            same += brightBgr(bgr, width, x, y) == brightLuma(nv12, width, x, y);
            ++total;
        }
    }
    return static_cast<double>(same) / static_cast<double>(total);
}

TEST(FusionStream, StartSendsTheControlFramesAndFramesComeWithTheirCountFrames) {
    const auto config = fusionConfig("F-stream");
    PluggedCamera plugged(config);
    DvsCameraManager manager;
    auto camera = openFusion(manager, plugged.serial);
    ASSERT_NE(camera, nullptr);
    ASSERT_TRUE(camera->isConnected());
    EXPECT_EQ(camera->getAllToolsInfo().size(), 7u);  // types 0, 1, 3, 4, 5, 6 and 7: no sync tool
    EXPECT_EQ(camera->getTool(TOOL_SYNC), nullptr);
    ASSERT_NE(camera->getTool(TOOL_APS_CTRL), nullptr);

    std::mutex mutex;
    std::vector<Event2D> events;
    struct Closed {
        uint64_t t = 0;
        bool found = false;
        std::shared_ptr<CountFrame> counts;
    };
    std::vector<Closed> closingEdges;
    struct Seen {
        uint64_t sync = 0;
        bool imageMatches = false;
    };
    std::vector<Seen> frames;
    // The callbacks below write the state above: should an assertion end the test early, the
    // camera stops before that state goes (the manager, which keeps the camera, goes last).
    const test::OnScopeExit stopOnExit([&] { camera->stop(STREAM_BOTH); });
    camera->addEventsStreamHandleCallback([&](const Event2D* first, const Event2D* last) {
        std::lock_guard<std::mutex> lock(mutex);
        events.insert(events.end(), first, last);
    });
    // The count frame an edge closes is queued before the trigger callbacks run.
    camera->addTriggerInCallback([&](EventTriggerIn trigger) {
        if (trigger.polarity == 0) return;
        Closed closed;
        closed.t = trigger.timestamp;
        closed.found = camera->getFusionEvents(closed.counts, trigger.timestamp);
        std::lock_guard<std::mutex> lock(mutex);
        closingEdges.push_back(std::move(closed));
    });
    ASSERT_TRUE(sim::captureDelivered(plugged.serial, true));
    camera->addApsFrameCallback([&](const ApsFrame& frame) {
        Seen seen;
        seen.sync = frame.syncTimestamp;
        EXPECT_EQ(frame.size, 3840u * 2160u * 3u);
        // The frame shows the image the device sent for the exposure its edge closed.
        for (const auto& delivered : sim::deliveredFrames(plugged.serial)) {
            if (delivered.end_us == frame.syncTimestamp) {
                const auto nv12 = sim::fusionFrameImage(config, delivered.index);
                seen.imageMatches = agreement(frame.data, nv12, 3840, 2160) > 0.99;
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        frames.push_back(std::move(seen));
    });

    testing::internal::CaptureStdout();
    ASSERT_EQ(camera->start(STREAM_BOTH), 0);
    EXPECT_EQ(camera->start(STREAM_BOTH), 0);  // running: only logged
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return frames.size() >= 5;
    }));
    EXPECT_EQ(camera->stop(STREAM_BOTH), 0);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("Camera is running."), std::string::npos);
    EXPECT_NE(log.find("Camera event stream start."), std::string::npos);

    const auto controls = sim::controlFrames(plugged.serial);
    ASSERT_EQ(controls.size(), 2u);
    EXPECT_EQ(controls[0].command, 0x40010010u);
    EXPECT_EQ(controls[0].words, (std::vector<uint32_t>{0, 1}));
    EXPECT_EQ(controls[1].command, 0x40010200u);
    EXPECT_EQ(controls[1].words, (std::vector<uint32_t>{0, 1}));

    std::lock_guard<std::mutex> lock(mutex);
    // Each frame is stamped with its own exposure's closing edge and shows its image.
    ASSERT_GE(frames.size(), 5u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(frames[i].imageMatches) << "frame " << i << " at " << frames[i].sync;
        if (i > 0) {
            EXPECT_GT(frames[i].sync, frames[i - 1].sync);
        }
    }
    // Each closing edge's count frame holds exactly the events since the edge before (at most
    // 10 per cell, mirrored).
    ASSERT_GE(closingEdges.size(), 5u);
    for (size_t i = 1; i < closingEdges.size(); ++i) {
        const Closed& closed = closingEdges[i];
        ASSERT_TRUE(closed.found) << "edge " << i;
        std::vector<uint16_t> expected(1280 * 720 * 2, 0);
        size_t inPeriod = 0;
        for (const Event2D& e : events) {
            if (e.timestamp < closingEdges[i - 1].t || e.timestamp >= closed.t) continue;
            ++inPeriod;
            uint16_t& c = expected[2 * (static_cast<size_t>(e.y) * 1280 + (1279 - e.x)) + e.polarity];
            if (c < 10) ++c;
        }
        EXPECT_GT(inPeriod, 0u);
        EXPECT_TRUE(*closed.counts == expected) << "edge " << i;
    }
    EXPECT_TRUE(sim::captureDelivered(plugged.serial, false));
}

TEST(FusionStream, FrameOnlyStartSwitchesTheFrameSensorOnAndStopOff) {
    PluggedCamera plugged(fusionConfig("F-aps"));
    DvsCameraManager manager;
    auto camera = openFusion(manager, plugged.serial);
    ASSERT_NE(camera, nullptr);
    std::atomic<int> frames{0};
    camera->addApsFrameCallback([&](const ApsFrame&) { ++frames; });
    ASSERT_EQ(camera->start(STREAM_APS), 0);
    EXPECT_EQ(sim::registerValue(plugged.serial, 0x5000).value_or(0) & 1u, 1u);
    EXPECT_FALSE(sim::readoutRunning(plugged.serial).value_or(true));  // the event sensor stays off
    EXPECT_TRUE(waitFor([&] { return frames.load() >= 2; }));
    std::vector<Event2D> batch;
    camera->setBatchEventsNum(100);
    EXPECT_FALSE(camera->getNextBatch(batch));  // no event stream to wait for
    EXPECT_EQ(camera->stop(STREAM_APS), 0);
    EXPECT_EQ(sim::registerValue(plugged.serial, 0x5000).value_or(1) & 1u, 0u);
}

TEST(FusionStream, RecordingBothStreamsKeepsExactlyWhatWasStreamed) {
    const auto config = fusionConfig("F-record");
    PluggedCamera plugged(config);
    const std::filesystem::path dir = test::scratchPath("files");
    std::filesystem::create_directories(dir);
    DvsCameraManager manager;
    auto camera = openFusion(manager, plugged.serial);
    ASSERT_NE(camera, nullptr);
    std::mutex mutex;
    std::vector<uint64_t> syncs;
    camera->addApsFrameCallback([&](const ApsFrame& frame) {
        std::lock_guard<std::mutex> lock(mutex);
        syncs.push_back(frame.syncTimestamp);
    });
    ASSERT_TRUE(sim::captureDelivered(plugged.serial, true));
    const auto base = dir / "take";
    ASSERT_EQ(camera->startRecording((base.string() + ".dat"), STREAM_BOTH), 0);
    ASSERT_EQ(camera->start(STREAM_BOTH), 0);
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return syncs.size() >= 6;
    }));
    ASSERT_EQ(camera->stop(STREAM_BOTH), 0);
    ASSERT_EQ(camera->stopRecording(STREAM_BOTH), 0);
    ASSERT_TRUE(sim::captureDelivered(plugged.serial, false));

    // RAW: the header, then the device's bytes as it sent them, from the first on (what the
    // device sent after the stop stays in the transport, never taken).
    const auto bytes = test::readFile(base.string() + ".raw");
    const std::string raw(bytes.begin(), bytes.end());
    const size_t end = raw.find("% end\n");
    ASSERT_NE(end, std::string::npos);
    const std::vector<uint8_t> body(raw.begin() + static_cast<std::ptrdiff_t>(end + 6), raw.end());
    const auto delivered = sim::capturedEventBytes(plugged.serial);
    ASSERT_GT(body.size(), 131072u);
    ASSERT_LE(body.size(), delivered.size());
    const auto mismatch = std::mismatch(body.begin(), body.end(), delivered.begin());
    EXPECT_TRUE(mismatch.first == body.end()) << "first difference at byte " << (mismatch.first - body.begin())
                                              << " of " << body.size();

    // MP4: exactly the frames the camera handed out, at their sync times less the first's,
    // which the file keeps as its offset to the event clock.
    Mp4FileReader video(base.string() + ".mp4");
    ASSERT_TRUE(video.loadFile());
    uint64_t offset = 0;
    ASSERT_TRUE(video.getEventTimeOffset(offset));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(offset, syncs.front());
    std::vector<uint64_t> times;
    ApsFrame frame;
    std::map<uint64_t, uint64_t> indexOfEnd;
    for (const auto& exposure : sim::deliveredFrames(plugged.serial)) indexOfEnd[exposure.end_us] = exposure.index;
    size_t compared = 0;
    while (video.getNextFrame(frame)) {
        if (!times.empty() && frame.timestamp == times.back()) continue;  // a packet that completed no frame
        times.push_back(frame.timestamp);
        const auto found = indexOfEnd.find(frame.timestamp + offset);
        ASSERT_NE(found, indexOfEnd.end()) << "frame at " << frame.timestamp;
        const auto nv12 = sim::fusionFrameImage(config, found->second);
        EXPECT_GT(agreement(frame.data, nv12, 3840, 2160), 0.98) << "frame at " << frame.timestamp;
        ++compared;
    }
    ASSERT_EQ(times.size(), syncs.size());
    for (size_t i = 0; i < syncs.size(); ++i) EXPECT_EQ(times[i], syncs[i] - syncs.front()) << "frame " << i;
    EXPECT_EQ(compared, syncs.size());
}

TEST(FusionStream, UnplugWhileStreamingAndRecordingEndsCleanlyWithCompleteFiles) {
    PluggedCamera plugged(fusionConfig("F-unplug"));
    const std::filesystem::path dir = test::scratchPath("files");
    std::filesystem::create_directories(dir);
    DvsCameraManager manager;
    auto camera = openFusion(manager, plugged.serial);
    ASSERT_NE(camera, nullptr);
    std::atomic<int> frames{0};
    camera->addApsFrameCallback([&](const ApsFrame&) { ++frames; });
    ASSERT_EQ(camera->startRecording((dir / "cut").string(), STREAM_BOTH), 0);
    ASSERT_EQ(camera->start(STREAM_BOTH), 0);
    ASSERT_TRUE(waitFor([&] { return frames.load() >= 2; }));
    std::vector<Event2D> batch;
    camera->setBatchEventsTime(1000000000);  // a batch that never completes: the unplug ends the wait
    std::thread waiter([&] { EXPECT_FALSE(camera->getNextBatch(batch)); });
    testing::internal::CaptureStdout();
    ASSERT_TRUE(sim::unplugCamera(plugged.serial));
    waiter.join();
    EXPECT_FALSE(camera->isConnected());
    EXPECT_EQ(camera->stop(STREAM_BOTH), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Tandem loss connection."), std::string::npos);
    EXPECT_EQ(camera->stopRecording(STREAM_BOTH), 0);

    // Both files are complete and readable up to the unplug.
    Mp4FileReader video((dir / "cut.mp4").string());
    ASSERT_TRUE(video.loadFile());
    std::vector<uint64_t> times;
    video.getTimeStamps(times);
    EXPECT_GE(times.size(), 2u);
    const auto bytes = test::readFile((dir / "cut.raw").string());
    const std::string raw(bytes.begin(), bytes.end());
    EXPECT_GT(raw.size(), raw.find("% end\n") + 6);
    // The manager forgets the unplugged camera.
    manager.updateCameras();
    EXPECT_EQ(manager.openFusionCamera(plugged.serial), nullptr);
}

}  // namespace
}  // namespace vireo

namespace vireo {
namespace {

TEST(FusionStream, LastReferenceDroppedInsideACallbackEndsTheCameraCleanly) {
    // A callback that locks a weak pointer while the application lets its own reference go
    // ends up holding the last one; the camera must end without a join of its own thread.
    for (const bool inFrameCallback : {false, true}) {
        PluggedCamera plugged(fusionConfig(inFrameCallback ? "F-drop-frame" : "F-drop-event"));
        std::shared_ptr<FusionCamera> holder;
        {
            DvsCameraManager manager;
            holder = openFusion(manager, plugged.serial);
        }
        ASSERT_NE(holder, nullptr);
        std::weak_ptr<FusionCamera> weak = holder;
        std::atomic<int> phase{0};
        auto lockAndWait = [&weak, &phase] {
            if (phase.load() != 1) return;
            auto self = weak.lock();
            if (!self) return;
            phase = 2;
            while (phase.load() != 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        };  // `self`, the last reference, goes here, on the camera's thread
        if (inFrameCallback) {
            holder->addApsFrameCallback([lockAndWait](const ApsFrame&) { lockAndWait(); });
        } else {
            holder->addEventsStreamHandleCallback([lockAndWait](const Event2D*, const Event2D*) { lockAndWait(); });
        }
        ASSERT_EQ(holder->startRecording(test::scratchPath(plugged.serial), STREAM_DVS), 0);
        ASSERT_EQ(holder->start(STREAM_BOTH), 0);
        phase = 1;
        ASSERT_TRUE(waitFor([&] { return phase.load() == 2; }));
        holder.reset();
        phase = 3;
        EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
        // Destroyed: its recording was completed and its threads joined.
        EXPECT_TRUE(waitFor([&] { return !sim::readoutRunning(plugged.serial).value_or(true); }));
    }
}

// ---- a camera built directly whose last reference goes on one of its own threads ----------

enum class OwnThread { EventCallback, TriggerCallback, FrameCallback, StatisticsCallback };

// A fusion camera built with make_shared, as an application may do without the manager, so
// that its destructor itself runs on the thread that dropped the last reference.
std::shared_ptr<TandemFusionCamera> buildDirectly(const std::string& serial) {
    for (const auto& desc :
         UsbInterface::findUsbFusionCamera(TandemFusionCamera::vendorId, TandemFusionCamera::productId)) {
        if (desc.serial != serial) continue;
        auto camera = std::make_shared<TandemFusionCamera>(desc);
        if (FusionCameraTestAccess::init(*camera) != 0) return nullptr;
        return camera;
    }
    return nullptr;
}

// The camera records its events while it streams; one of its callbacks takes a reference
// from a weak pointer and holds it until the test has dropped its own. The camera must then
// end on that thread: no std::terminate for a thread that cannot join itself, its recording
// written, its sensors stopped, and the thread gone from the camera's code (the sentinel the
// callback holds is released with the callback, once the thread has left the camera).
void expectCleanEndWhenDroppedIn(OwnThread where) {
    auto config = fusionConfig("F-direct-" + std::to_string(static_cast<int>(where)));
    PluggedCamera plugged(config);
    std::shared_ptr<TandemFusionCamera> camera = buildDirectly(plugged.serial);
    ASSERT_NE(camera, nullptr);
    const std::string base = test::scratchPath(plugged.serial);

    std::weak_ptr<TandemFusionCamera> weak = camera;
    auto held = std::make_shared<std::atomic<bool>>(false);
    auto dropped = std::make_shared<std::atomic<bool>>(false);
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> sentinelWatch = sentinel;
    auto holdLast = [weak, held, dropped, sentinel] {
        if (held->exchange(true)) return;
        std::shared_ptr<TandemFusionCamera> self = weak.lock();
        waitFor([&] { return dropped->load(); }, std::chrono::seconds(10));
    };  // `self` is the last reference: the camera is destroyed here, on its own thread
    switch (where) {
        case OwnThread::EventCallback:
            camera->addEventsStreamHandleCallback(
                [hold = std::move(holdLast)](const Event2D*, const Event2D*) { hold(); });
            break;
        case OwnThread::TriggerCallback:
            camera->addTriggerInCallback([hold = std::move(holdLast)](EventTriggerIn) { hold(); });
            break;
        case OwnThread::FrameCallback:
            camera->addApsFrameCallback([hold = std::move(holdLast)](const ApsFrame&) { hold(); });
            break;
        case OwnThread::StatisticsCallback:
            camera->setStatisticInfoCallback([hold = std::move(holdLast)](DsStatisticInfo) { hold(); });
            break;
    }
    sentinel.reset();  // the callback holds the only one now
    ASSERT_EQ(camera->startRecording(base, STREAM_DVS), 0);
    ASSERT_EQ(camera->start(STREAM_BOTH), 0);
    ASSERT_TRUE(waitFor([&] { return held->load(); }));
    camera.reset();
    dropped->store(true);

    EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
    EXPECT_TRUE(waitFor([&] { return sentinelWatch.expired(); })) << "the camera's thread did not end";
    EXPECT_EQ(sim::readoutRunning(plugged.serial), std::optional<bool>(false));
    std::ifstream in(base + ".raw", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    const std::string bytes = content.str();
    EXPECT_EQ(bytes.rfind("% ", 0), 0u) << "no recording at " << base << ".raw";
    const auto end = bytes.find("% end\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_GT(bytes.size(), end + 6) << "the recording holds no data";
}

// Fault mended: a camera built directly and destroyed inside one of its own callbacks could
// not join the thread it ran on; a joinable std::thread was destroyed and std::terminate
// ended the process.
TEST(FusionStream, DirectCameraDroppedInAnEventCallbackEndsCleanly) {
    expectCleanEndWhenDroppedIn(OwnThread::EventCallback);
}
TEST(FusionStream, DirectCameraDroppedInATriggerCallbackEndsCleanly) {
    expectCleanEndWhenDroppedIn(OwnThread::TriggerCallback);
}
TEST(FusionStream, DirectCameraDroppedInAFrameCallbackEndsCleanly) {
    expectCleanEndWhenDroppedIn(OwnThread::FrameCallback);
}
TEST(FusionStream, DirectCameraDroppedInTheStatisticsCallbackEndsCleanly) {
    expectCleanEndWhenDroppedIn(OwnThread::StatisticsCallback);
}

}  // namespace
}  // namespace vireo
