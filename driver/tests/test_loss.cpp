// Loss counting: every buffer the host drops is counted per camera and reported in the
// statistics, a recording that lost data says so in its header, and a consumer that stops
// reading (a blocking callback, a getNextBatch that is never called) keeps memory bounded
// while the loss is counted against the simulator's own ground truth.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <vireo/DvsCameraManager.h>
#include <vireo/DvsCameraPrivate.h>
#include <vireo/TandemCamera.h>
#include <vireo/RawFileReader.h>
#include <vireo/SimulatedCamera.h>

#include "CameraTestAccess.h"
#include "RecordingTestSupport.h"
#include "test_camera_support.h"

namespace vireo {
namespace {

using Access = DvsCameraPrivateTestAccess;
using test::PluggedCamera;
using test::waitFor;

struct OpenedCamera {
    PluggedCamera plugged;
    DvsCameraManager manager;
    std::shared_ptr<DvsCamera> camera;
    DvsCameraPrivate* recorder = nullptr;

    explicit OpenedCamera(const sim::SimulatedCameraConfig& config) : plugged(config) {
        manager.updateCameras();
        camera = manager.openCamera(plugged.serial);
        recorder = dynamic_cast<DvsCameraPrivate*>(camera.get());
    }
    ~OpenedCamera() {
        if (camera) camera->stop();
    }
};

// The count of the header's loss line of the RAW file `path`, which must be the line before
// "% end" with exactly ten digits; nothing when the file has no such line.
std::optional<uint64_t> headerLostBuffers(const std::string& path) {
    const std::string prefix = "% vireo_lost_buffers ";
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::optional<uint64_t> lost;
    while (in.peek() == '%' && std::getline(in, line)) {
        if (line == "% end") return lost;
        lost.reset();
        if (line.rfind(prefix, 0) != 0) continue;
        const std::string digits = line.substr(prefix.size());
        if (digits.size() != 10 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        lost = std::stoull(digits);
    }
    return std::nullopt;
}

std::string headerWithLossLine(const std::string& lost) { return test::recorderHeaderWithLoss("VH0042", lost); }

uint64_t bodyBytes(const std::string& path) {
    RawFileReader reader(path);
    EXPECT_TRUE(reader.loadFile()) << path;
    return reader.getFileSize() - reader.getHeaderSize();
}

// A one-shot gate a callback waits at, opened by the test; the wait is bounded (stretched as
// the tests' waits are in slower builds), so a failed test cannot block the camera for good.
class Gate {
public:
    void waitAtMost(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(mutex_);
        cond_.wait_for(lock, test::waitBound(limit), [&] { return open_; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            open_ = true;
        }
        cond_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool open_ = false;
};

TEST(LossHeader, ReadersIgnoreTheLineAndOlderFilesWithoutItStillRead) {
    const std::vector<uint8_t> body = test::encodedBody(11, 400, 1000);
    const std::string plain = test::scratchPath("plain.raw");
    const std::string marked = test::scratchPath("marked.raw");
    test::writeFile(plain, test::recorderHeader(), body);
    test::writeFile(marked, headerWithLossLine("0000000005"), body);
    RawFileReader a(plain);
    RawFileReader b(marked);
    ASSERT_TRUE(a.loadFile());
    ASSERT_TRUE(b.loadFile());
    EXPECT_EQ(test::countOf(a), test::countOf(b));
    EXPECT_GT(test::countOf(a), 0u);
    EXPECT_EQ(b.getHeaderSize(), headerWithLossLine("0000000005").size());
    EXPECT_EQ(headerLostBuffers(marked), 5u);
    EXPECT_EQ(headerLostBuffers(plain), std::nullopt);
}

// A consumer that stops reading: the event callback blocks for 2 s while a real-time camera
// streams. The host's queue is bounded, so the device's transfers are dropped; each one is
// counted, the count matches the simulator's, the statistics carry it, and a recording
// running meanwhile says in its header how many of its transfers it lost.
TEST(BlockedConsumer, ABlockingEventCallbackLosesCountedBuffersAndTheRecordingSaysSo) {
    auto config = test::fastCameraConfig();
    config.real_time = true;
    config.event_rate = 200000;
    OpenedCamera opened(config);
    ASSERT_NE(opened.recorder, nullptr);
    DvsCamera& camera = *opened.camera;
    const std::string path = test::scratchPath("blocked.raw");
    ASSERT_TRUE(opened.recorder->setSegmentDirectory(test::scratchPath("segments")));

    Gate gate;
    std::atomic<int> calls{0};
    camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (calls++ == 0) gate.waitAtMost(std::chrono::seconds(2));
    });
    std::mutex reportsMutex;
    std::vector<DsStatisticInfo> reports;
    camera.setStatisticInfoCallback([&](DsStatisticInfo info) {
        std::lock_guard<std::mutex> lock(reportsMutex);
        reports.push_back(info);
    });
    const test::OnScopeExit stopOnExit([&] {
        gate.open();
        camera.stop();
    });
    ASSERT_EQ(camera.startRecording(path), 0);
    ASSERT_EQ(camera.start(), 0);
    // The callback blocks for up to 2 s; a statistics report arrives meanwhile.
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(reportsMutex);
        return reports.size() >= 2;
    }));
    gate.open();
    ASSERT_TRUE(waitFor([&] { return calls.load() > 50; }));
    ASSERT_EQ(camera.stop(), 0);  // joins the threads and writes the recording

    const DsStatisticInfo info = camera.getStatisticInfo();
    const auto truth = sim::droppedBuffers(opened.plugged.serial);
    ASSERT_TRUE(truth.has_value());
    EXPECT_GT(info.droppedBuffers, 0u);
    EXPECT_EQ(info.droppedBuffers, *truth);  // every drop of the bounded queue, no more
    EXPECT_EQ(info.recordingLostBuffers, 0u);
    EXPECT_EQ(info.unreadBatches, 0u);  // no batch mode: nothing batched, nothing unread
    {
        std::lock_guard<std::mutex> lock(reportsMutex);
        ASSERT_FALSE(reports.empty());
        // The reports count up to the final figure and never back.
        for (size_t i = 1; i < reports.size(); ++i) EXPECT_GE(reports[i].droppedBuffers, reports[i - 1].droppedBuffers);
        EXPECT_LE(reports.back().droppedBuffers, info.droppedBuffers);
        EXPECT_GT(reports.back().droppedBuffers, 0u);
    }
    // The recording began before the stream: every drop is one of its transfers.
    EXPECT_EQ(opened.recorder->getRecordingLostBuffers(), info.droppedBuffers);
    EXPECT_EQ(headerLostBuffers(path), info.droppedBuffers);
    // Patched in place: the file is still read whole, with its index beside it.
    EXPECT_EQ(bodyBytes(path), info.second);
    EXPECT_TRUE(std::filesystem::exists(test::indexPathOf(path)));
}

// Holds a mutex on a thread of its own from construction to destruction.
class LockHeldElsewhere {
public:
    explicit LockHeldElsewhere(std::mutex& mutex) : holder_([this, &mutex] {
        std::unique_lock<std::mutex> held(mutex);
        held_.set_value();
        release_.get_future().wait();
    }) {
        held_.get_future().wait();
    }
    ~LockHeldElsewhere() {
        release_.set_value();
        holder_.join();
    }

private:
    std::promise<void> held_;
    std::promise<void> release_;
    std::thread holder_;
};

// A recording whose record thread stalls (a disk that does not answer): the raw buffers are
// bounded, the transfers that find none are dropped and counted, and the file holds exactly
// what was not counted as lost.
TEST(BlockedConsumer, AStalledRecordThreadDropsCountedTransfersWithBoundedBuffers) {
    OpenedCamera opened(test::fastCameraConfig());
    ASSERT_NE(opened.recorder, nullptr);
    DvsCameraPrivate& camera = *opened.recorder;
    const std::string path = test::scratchPath("stalled.raw");
    ASSERT_TRUE(camera.setSegmentDirectory(test::scratchPath("segments")));
    ASSERT_EQ(camera.startRecording(path), 0);
    {
        // The record thread waits for this lock before it opens the recording's file. Another
        // thread holds it, so that this one never calls into the camera while holding a lock
        // the camera takes after its own (which would be a lock-order inversion).
        LockHeldElsewhere stall(Access::segmentListLock(camera));
        ASSERT_EQ(camera.start(), 0);
        ASSERT_TRUE(waitFor([&] { return camera.getStatisticInfo().recordingLostBuffers >= 20; }));
        EXPECT_LE(Access::createdRawBuffers(camera), DvsCameraPrivate::kMaxRawBuffers);
        EXPECT_GT(camera.getRecordingLostBuffers(), 0u);
    }
    const uint64_t lostWhileStalled = camera.getStatisticInfo().recordingLostBuffers;
    // Once the thread writes again, buffers come back and the stream reaches the file again.
    const uint64_t decodedAtRelease = camera.getStatisticInfo().second;
    ASSERT_TRUE(waitFor([&] { return camera.getStatisticInfo().second > decodedAtRelease + (8u << 20); }));
    ASSERT_EQ(camera.stop(), 0);

    const DsStatisticInfo info = camera.getStatisticInfo();
    EXPECT_EQ(info.droppedBuffers, 0u);  // a camera that waits for the host loses nothing in transport
    EXPECT_GE(info.recordingLostBuffers, lostWhileStalled);
    EXPECT_LE(Access::createdRawBuffers(camera), DvsCameraPrivate::kMaxRawBuffers);
    // Every decoded byte is either in the file or counted as lost.
    EXPECT_EQ(bodyBytes(path) + info.recordingLostBytes, info.second);
    EXPECT_EQ(headerLostBuffers(path), info.recordingLostBuffers);
    EXPECT_EQ(camera.getRecordingLostBuffers(), info.recordingLostBuffers);
}

TEST(LossHeader, ARecordingWithoutLossSaysZeroAndTheNextRecordingCountsAfresh) {
    OpenedCamera opened(test::fastCameraConfig());
    ASSERT_NE(opened.recorder, nullptr);
    DvsCameraPrivate& camera = *opened.recorder;
    ASSERT_TRUE(camera.setSegmentDirectory(test::scratchPath("segments")));
    const std::string path = test::scratchPath("whole.raw");
    ASSERT_EQ(camera.startRecording(path), 0);
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] { return camera.getStatisticInfo().second > (4u << 20); }));
    ASSERT_EQ(camera.stopRecording(), 0);
    EXPECT_EQ(headerLostBuffers(path), 0u);
    EXPECT_EQ(camera.getRecordingLostBuffers(), 0u);
    ASSERT_EQ(camera.stop(), 0);
}

// getNextBatch never called while batches are configured: only the latest batch is kept,
// every one replaced unread is counted with its events, and the batch buffers stay bounded.
TEST(BlockedConsumer, BatchesNobodyTakesAreCountedAsUnreadWithBoundedMemory) {
    OpenedCamera opened(test::fastCameraConfig());
    ASSERT_NE(opened.recorder, nullptr);
    DvsCameraPrivate& camera = *opened.recorder;
    constexpr uint64_t kBatch = 5000;
    camera.setBatchEventsNum(kBatch);
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] { return camera.getStatisticInfo().unreadBatches >= 50; }));
    // A reader that comes back gets the next batch whole, and it is not counted as unread.
    std::vector<Event2D> batch;
    ASSERT_TRUE(camera.getNextBatch(batch));
    EXPECT_EQ(batch.size(), kBatch);
    EXPECT_LE(Access::countReady(camera).capacity(), 2 * kBatch);
    ASSERT_EQ(camera.stop(), 0);

    const DsStatisticInfo info = camera.getStatisticInfo();
    const uint64_t completed = Access::countBatches(camera);
    // Every batch completed was replaced unread, except the one taken and perhaps the last,
    // which nobody replaced.
    EXPECT_GE(info.unreadBatches + 2, completed);
    EXPECT_LE(info.unreadBatches + 1, completed);
    EXPECT_EQ(info.unreadBatchEvents, info.unreadBatches * kBatch);
    EXPECT_GE(info.first, completed * kBatch);  // the events decoded cover every batch
    EXPECT_EQ(info.droppedBuffers, 0u);         // the camera itself lost nothing
}

TEST(BlockedConsumer, TimeBatchesReplacedUnreadAreCountedWithTheirEvents) {
    OpenedCamera opened(test::fastCameraConfig());
    ASSERT_NE(opened.recorder, nullptr);
    DvsCameraPrivate& camera = *opened.recorder;
    camera.setBatchEventsTime(1000);
    ASSERT_EQ(camera.start(), 0);
    ASSERT_TRUE(waitFor([&] { return camera.getStatisticInfo().unreadBatches >= 20; }));
    ASSERT_EQ(camera.stop(), 0);
    const DsStatisticInfo info = camera.getStatisticInfo();
    const uint64_t completed = Access::timeBatches(camera);
    EXPECT_EQ(info.unreadBatches + 1, completed);  // all but the last, which nothing replaced
    EXPECT_GT(info.unreadBatchEvents, 0u);
    EXPECT_EQ(info.unreadBatchEvents + Access::timeReady(camera).size() + Access::timeFilling(camera).size(),
              info.first);
}

// ---- fusion camera ----

sim::SimulatedCameraConfig realTimeFusion() {
    sim::SimulatedCameraConfig config;
    config.vendor_id = sim::kFusionVendorId;
    config.product_id = sim::kFusionProductId;
    config.scene = sim::SceneType::MovingEdge;
    config.edge_speed = 2000;
    config.real_time = true;
    config.frame_rate_hz = 4;  // slow enough for the device to hand every frame to the host
    config.exposure_us = 20000;
    config.seed = 5;
    return config;
}

// The fusion camera's event callback blocks: its event transfers are dropped by the bounded
// queue and counted as the simulator counts them, its statistics say so, and its event
// recording's header holds the count (patched in place, the index still beside it).
TEST(BlockedConsumer, FusionEventCallbackThatBlocksLosesCountedBuffersAndTheRecordingSaysSo) {
    PluggedCamera plugged(realTimeFusion());
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openFusionCamera(plugged.serial);
    ASSERT_NE(camera, nullptr);
    auto* tandem = dynamic_cast<TandemFusionCamera*>(camera.get());
    ASSERT_NE(tandem, nullptr);
    Gate gate;
    std::atomic<int> calls{0};
    camera->addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) {
        if (calls++ == 0) gate.waitAtMost(std::chrono::seconds(2));
    });
    std::atomic<uint64_t> reportedDrops{0};
    camera->setStatisticInfoCallback([&](DsStatisticInfo info) { reportedDrops = info.droppedBuffers; });
    const test::OnScopeExit stopOnExit([&] {
        gate.open();
        camera->stop(STREAM_BOTH);
    });
    const std::string base = test::scratchPath("fusion");
    ASSERT_EQ(camera->startRecording(base, STREAM_DVS), 0);
    ASSERT_EQ(camera->start(STREAM_DVS), 0);
    ASSERT_TRUE(waitFor([&] { return reportedDrops.load() > 0; }));
    gate.open();
    ASSERT_TRUE(waitFor([&] { return calls.load() > 50; }));
    ASSERT_EQ(camera->stop(STREAM_BOTH), 0);
    ASSERT_EQ(camera->stopRecording(STREAM_DVS), 0);

    const DsStatisticInfo info = camera->getStatisticInfo();
    const auto truth = sim::droppedBuffers(plugged.serial);
    ASSERT_TRUE(truth.has_value());
    EXPECT_GT(info.droppedBuffers, 0u);
    EXPECT_EQ(info.droppedBuffers, *truth);
    EXPECT_LE(reportedDrops.load(), info.droppedBuffers);
    EXPECT_EQ(tandem->getRecordingLoss().lostBuffers, info.droppedBuffers);
    const std::string raw = base + ".raw";
    EXPECT_EQ(headerLostBuffers(raw), info.droppedBuffers);
    EXPECT_EQ(bodyBytes(raw), info.second);  // patched in place: every decoded byte still there
    EXPECT_TRUE(std::filesystem::exists(test::indexPathOf(raw)));
}

// The index the simulated device draws into the top rows of every frame: 32 blocks of 120
// pixels, bit 0 leftmost, bright for a set bit.
uint64_t drawnFrameIndex(const ApsFrame& frame) {
    uint64_t index = 0;
    for (int bit = 0; bit < 32; ++bit) {
        const unsigned char* p = frame.data + (static_cast<size_t>(30) * 3840 + bit * 120 + 60) * 3;
        if ((p[0] + p[1] + p[2]) / 3 > 128) index |= uint64_t{1} << bit;
    }
    return index;
}

// Frames: every frame handed to the callbacks is counted, and a frame callback that blocks
// makes the host's frame queue (two 4K frames) drop frames, counted, never more than the
// simulator lost in all. The frames after the loss keep their own exposure's times: the
// lost frames' exposures are passed over instead of being given to the next frames.
TEST(BlockedConsumer, FusionFrameCallbackThatBlocksDropsCountedFramesAndLaterFramesKeepTheirTimes) {
    const auto config = realTimeFusion();
    PluggedCamera plugged(config);
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openFusionCamera(plugged.serial);
    ASSERT_NE(camera, nullptr);
    Gate gate;
    std::atomic<uint64_t> seen{0};
    struct Stamp {
        uint64_t index, timestamp, sync;
    };
    std::mutex mutex;
    std::vector<Stamp> stamps;
    camera->addApsFrameCallback([&](const ApsFrame& frame) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stamps.push_back({drawnFrameIndex(frame), frame.timestamp, frame.syncTimestamp});
        }
        // Blocks until the host has dropped frames (the test opens the gate then).
        if (seen++ == 0) gate.waitAtMost(std::chrono::seconds(10));
    });
    const test::OnScopeExit stopOnExit([&] {
        gate.open();
        camera->stop(STREAM_BOTH);
    });
    ASSERT_EQ(camera->start(STREAM_BOTH), 0);
    ASSERT_TRUE(waitFor([&] { return camera->getStatisticInfo().droppedFrames > 0; }));
    gate.open();
    ASSERT_TRUE(waitFor([&] { return seen.load() >= 4; }));
    ASSERT_EQ(camera->stop(STREAM_BOTH), 0);

    const DsStatisticInfo info = camera->getStatisticInfo();
    EXPECT_EQ(info.frames, seen.load());  // every frame received reached the callback
    EXPECT_GT(info.droppedFrames, 0u);
    const auto truth = sim::droppedFrames(plugged.serial);
    ASSERT_TRUE(truth.has_value());
    EXPECT_LE(info.droppedFrames, *truth);
    EXPECT_EQ(info.recordingLostFrames, 0u);

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GE(stamps.size(), 4u);
    EXPECT_GT(stamps[1].index, stamps[0].index + 1);  // frames were lost in between
    for (const Stamp& stamp : stamps) {
        const sim::FrameExposure exposure = sim::fusionFrameExposure(config, stamp.index);
        EXPECT_EQ(stamp.timestamp, exposure.begin_us) << "frame " << stamp.index;
        EXPECT_EQ(stamp.sync, exposure.end_us) << "frame " << stamp.index;
    }
}

}  // namespace
}  // namespace vireo
