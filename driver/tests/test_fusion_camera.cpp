// The fusion camera's own logic, without a device: geometry, count frames and the fusion
// queue, trigger edges, frame callbacks, frame times, the recording's file names and the
// event recording's bookmark index.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <vireo/RawFileReader.h>

#include "FusionCameraTestAccess.h"
#include "RecordingTestSupport.h"

namespace vireo {
namespace {

using Access = FusionCameraTestAccess;
using CountFrame = FusionCameraPrivate::CountFrame;

CameraDescription tandemDescription(const std::string& serial = "T-unit") {
    CameraDescription desc;
    desc.serial = serial;
    desc.interfaceType = INTERFACE_USB;
    desc.vendorId = 8711;
    desc.productId = 6;
    return desc;
}

size_t cell(uint32_t x, uint32_t y, uint32_t p) { return 2 * (static_cast<size_t>(y) * 1280 + (1279 - x)) + p; }

TEST(FusionCamera, GeometryPerStreamAndNoneForBoth) {
    TandemFusionCamera camera(tandemDescription());
    EXPECT_EQ(camera.getWidth(STREAM_APS), 3840);
    EXPECT_EQ(camera.getHeight(STREAM_APS), 2160);
    EXPECT_EQ(camera.getWidth(STREAM_DVS), 1280);
    EXPECT_EQ(camera.getHeight(STREAM_DVS), 720);
    EXPECT_EQ(camera.getWidth(STREAM_BOTH), 0);
    EXPECT_EQ(camera.getHeight(STREAM_BOTH), 0);
    EXPECT_FALSE(camera.isConnected());
    EXPECT_EQ(TandemFusionCamera::getManufacturer(), "Vireo");
    EXPECT_EQ(TandemFusionCamera::getProductName(), "Tandem");
    EXPECT_THROW(camera.start(STREAM_BOTH), std::runtime_error);  // not opened
}

TEST(FusionEvents, CountFrameCountsEventsBetweenClosingEdgesMirroredAndCapped) {
    TandemFusionCamera camera(tandemDescription());
    Access::trigger(camera, 1, 1000);
    std::vector<Event2D> events;
    for (int i = 0; i < 25; ++i) events.emplace_back(5, 7, 1, 1100 + i);  // capped at 10
    events.emplace_back(0, 3, 0, 1200);      // first column: last cell of its own row
    events.emplace_back(1279, 3, 1, 1300);   // last column: first cell of the row
    events.emplace_back(0, 719, 1, 1400);    // last row, first column: still inside the frame
    events.emplace_back(1280, 0, 1, 1500);   // off the sensor: not counted anywhere
    Access::inject(camera, events);
    Access::trigger(camera, 1, 2000);

    std::shared_ptr<CountFrame> frame;
    ASSERT_TRUE(camera.getFusionEvents(frame, 2000));
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->size(), 1280u * 720u * 2u);
    EXPECT_EQ((*frame)[cell(5, 7, 1)], 10);
    EXPECT_EQ((*frame)[cell(5, 7, 0)], 0);
    EXPECT_EQ((*frame)[cell(0, 3, 0)], 1);
    EXPECT_EQ(cell(0, 3, 0), 2 * (3 * 1280 + 1279));
    EXPECT_EQ((*frame)[cell(1279, 3, 1)], 1);
    EXPECT_EQ((*frame)[cell(0, 719, 1)], 1);
    uint64_t total = 0;
    for (uint16_t v : *frame) total += v;
    EXPECT_EQ(total, 13u);  // 10 + 1 + 1 + 1: nothing spilled into another cell

    // Handed out once; the frame closed at 1000 (no events) was dropped on the way.
    std::shared_ptr<CountFrame> again;
    EXPECT_FALSE(camera.getFusionEvents(again, 2000));
    EXPECT_FALSE(camera.getFusionEvents(again, 1000));
    EXPECT_TRUE(Access::queuedTimes(camera).empty());
}

TEST(FusionEvents, QueueKeepsTheLatestThreeAndLookupsDropOnlyOlderFrames) {
    TandemFusionCamera camera(tandemDescription());
    for (uint64_t t : {1000, 2000, 3000, 4000}) {
        Access::inject(camera, {Event2D(1, 1, 0, t - 10)});
        Access::trigger(camera, 1, t);
    }
    EXPECT_EQ(Access::queuedTimes(camera), (std::vector<uint64_t>{2000, 3000, 4000}));
    std::shared_ptr<CountFrame> frame;
    EXPECT_FALSE(camera.getFusionEvents(frame, 1000));  // dropped by the fourth edge
    EXPECT_EQ(Access::queuedTimes(camera).size(), 3u);  // and nothing else went

    // A time between two frames drops the older one and leaves the newer.
    EXPECT_FALSE(camera.getFusionEvents(frame, 2500));
    EXPECT_EQ(Access::queuedTimes(camera), (std::vector<uint64_t>{3000, 4000}));
    EXPECT_EQ(frame, nullptr);
    ASSERT_TRUE(camera.getFusionEvents(frame, 4000));
    EXPECT_EQ((*frame)[cell(1, 1, 0)], 1);  // only the events of its own period
    EXPECT_TRUE(Access::queuedTimes(camera).empty());
}

TEST(FusionEvents, PolarityZeroEdgeOnlyStampsTheFrame) {
    TandemFusionCamera camera(tandemDescription());
    std::vector<EventTriggerIn> seen;
    camera.addTriggerInCallback([&](EventTriggerIn trigger) { seen.push_back(trigger); });
    Access::trigger(camera, 1, 500);
    Access::inject(camera, {Event2D(2, 2, 1, 600)});
    Access::trigger(camera, 0, 700);
    EXPECT_EQ(Access::apsFrame(camera).timestamp, 700u);
    EXPECT_EQ(Access::apsFrame(camera).syncTimestamp, 500u);
    EXPECT_EQ(Access::queuedTimes(camera), (std::vector<uint64_t>{500}));  // no frame closed
    Access::trigger(camera, 1, 900);
    EXPECT_EQ(Access::apsFrame(camera).syncTimestamp, 900u);
    std::shared_ptr<CountFrame> frame;
    ASSERT_TRUE(camera.getFusionEvents(frame, 900));
    EXPECT_EQ((*frame)[cell(2, 2, 1)], 1);  // the event before the polarity-0 edge is in it
    ASSERT_EQ(seen.size(), 3u);             // every edge reaches the trigger callbacks
    EXPECT_EQ(seen[1].polarity, 0);
}

TEST(FusionEvents, FramesHeldByTheApplicationNeverStopTheEventThread) {
    TandemFusionCamera camera(tandemDescription());
    std::vector<std::shared_ptr<CountFrame>> held;
    // Far more frames than the pool holds: each edge still closes a fresh frame.
    for (uint64_t t = 1; t <= 20; ++t) {
        Access::inject(camera, {Event2D(0, 0, 0, t * 100 - 1)});
        Access::trigger(camera, 1, t * 100);
        std::shared_ptr<CountFrame> frame;
        ASSERT_TRUE(camera.getFusionEvents(frame, t * 100));
        EXPECT_EQ((*frame)[cell(0, 0, 0)], 1);
        held.push_back(frame);
    }
}

TEST(FusionCamera, CallbacksAreAddedAndRemovedByIdAndRemovalSaysWhetherItExisted) {
    TandemFusionCamera camera(tandemDescription());
    const unsigned a = camera.addApsFrameCallback([](const ApsFrame&) {});
    const unsigned b = camera.addApsFrameCallback([](const ApsFrame&) {});
    EXPECT_EQ(a, 0u);
    EXPECT_EQ(b, 1u);
    EXPECT_TRUE(camera.removeApsFrameCallback(a));
    EXPECT_FALSE(camera.removeApsFrameCallback(a));
    EXPECT_FALSE(camera.removeApsFrameCallback(7));

    int ranges = 0;
    const unsigned e = camera.addEventsStreamHandleCallback([&](const Event2D*, const Event2D*) { ++ranges; });
    Access::inject(camera, {Event2D(1, 1, 1, 10)});
    EXPECT_TRUE(camera.removeEventsStreamHandleCallback(e));
    Access::inject(camera, {Event2D(1, 1, 1, 20)});
    EXPECT_EQ(ranges, 1);
    std::vector<Event2D> batch;
    EXPECT_FALSE(camera.getNextBatch(batch));  // no batch mode, not streaming
}

TEST(FusionRecording, FrameTimesFollowTheSyncEdgesAndStepWhenTheyDoNotAdvance) {
    // At a steady 30 frames per second the times are the edges' distances from the first.
    int64_t previous = TandemFusionCamera::frameVideoTime(5'000'000, 5'000'000, true, 0);
    EXPECT_EQ(previous, 0);
    previous = TandemFusionCamera::frameVideoTime(5'033'333, 5'000'000, false, previous);
    EXPECT_EQ(previous, 33'333);
    previous = TandemFusionCamera::frameVideoTime(5'066'667, 5'000'000, false, previous);
    EXPECT_EQ(previous, 66'667);
    // A frame whose edge did not come (the same sync time), or one before the offset, steps on.
    previous = TandemFusionCamera::frameVideoTime(5'066'667, 5'000'000, false, previous);
    EXPECT_EQ(previous, 100'000);
    EXPECT_EQ(TandemFusionCamera::frameVideoTime(10, 5'000'000, false, previous), 133'333);
    // A long gap (frames lost upstream) keeps the real time.
    EXPECT_EQ(TandemFusionCamera::frameVideoTime(6'000'000, 5'000'000, false, previous), 1'000'000);
}

TEST(FusionRecording, BaseNameDropsTheExtensionOfTheFileOnly) {
    const std::filesystem::path dir = test::scratchPath("files");
    std::filesystem::create_directories(dir);
    TandemFusionCamera camera(tandemDescription("T-names"));
    const auto sub = dir / "a";
    std::filesystem::create_directories(sub);
    ASSERT_EQ(camera.startRecording((sub / "b.dat").string(), STREAM_BOTH), 0);
    EXPECT_TRUE(std::filesystem::exists(sub / "b.mp4"));
    EXPECT_TRUE(std::filesystem::exists(sub / "b.raw"));
    // Running already: refused for either stream.
    EXPECT_EQ(camera.startRecording((sub / "c.raw").string(), STREAM_DVS), -1);
    EXPECT_EQ(camera.startRecording((sub / "c.mp4").string(), STREAM_APS), -1);
    EXPECT_EQ(camera.stopRecording(STREAM_DVS), 0);
    EXPECT_EQ(camera.stopRecording(STREAM_APS), 0);

    // A dot in a folder's name is not an extension.
    const auto dotted = dir / "take.2";
    std::filesystem::create_directories(dotted);
    ASSERT_EQ(camera.startRecording((dotted / "out").string(), STREAM_DVS), 0);
    EXPECT_EQ(camera.stopRecording(STREAM_BOTH), 0);
    EXPECT_TRUE(std::filesystem::exists(dotted / "out.raw"));
    EXPECT_FALSE(std::filesystem::exists(dir / "take.raw"));
}

TEST(FusionRecording, FailedStartsAreReportedAndLeaveNothingRunning) {
    const std::filesystem::path dir = test::scratchPath("files");
    std::filesystem::create_directories(dir);
    TandemFusionCamera camera(tandemDescription("T-fail"));
    const auto missing = dir / "no-such-folder" / "rec";
    EXPECT_EQ(camera.startRecording(missing.string(), STREAM_DVS), -1);
    EXPECT_EQ(camera.startRecording(missing.string(), STREAM_APS), -1);
    EXPECT_EQ(camera.startRecording(missing.string(), STREAM_BOTH), -1);

    // The video can be made but not the RAW file: neither recording runs afterwards.
    std::filesystem::create_directories(dir / "x.raw");  // a folder where the file should go
    EXPECT_EQ(camera.startRecording((dir / "x").string(), STREAM_BOTH), -1);
    EXPECT_FALSE(std::filesystem::exists(dir / "x.mp4"));
    EXPECT_EQ(camera.startRecording((dir / "y").string(), STREAM_BOTH), 0);
    EXPECT_EQ(camera.stopRecording(STREAM_BOTH), 0);
}

TEST(FusionRecording, StoppingWritesTheHeaderAndEveryByteHandedOverIncludingThePartialBuffer) {
    const std::filesystem::path dir = test::scratchPath("files");
    std::filesystem::create_directories(dir);
    TandemFusionCamera camera(tandemDescription("T-raw"));
    const auto path = dir / "events.raw";
    ASSERT_EQ(camera.startRecording(path.string(), STREAM_DVS), 0);
    std::string expected;
    // More than one hand-over buffer (9,216,000 bytes), then a partly filled one.
    std::vector<uint8_t> chunk(131072);
    for (int i = 0; i < 80; ++i) {
        for (size_t j = 0; j < chunk.size(); ++j) chunk[j] = static_cast<uint8_t>(i * 31 + j);
        Access::recordRaw(camera, chunk);
        expected.append(chunk.begin(), chunk.end());
    }
    ASSERT_EQ(camera.stopRecording(STREAM_DVS), 0);
    Access::recordRaw(camera, chunk);  // after the stop: not recorded

    const auto bytes = test::readFile(path.string());
    const std::string content(bytes.begin(), bytes.end());
    const size_t end = content.find("% end\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(content.rfind("% camera_integrator_name Vireo\n", 0), 0u);
    EXPECT_NE(content.find("% serial_number T-raw\n"), std::string::npos);
    const std::string body = content.substr(end + 6);
    EXPECT_EQ(body.size(), expected.size());
    EXPECT_TRUE(body == expected);
    EXPECT_EQ(camera.getRecordingLoss().rawBytes, 0u);
}

TEST(FusionRecording, EventFileGetsTheIndexTheReaderWouldBuild) {
    const std::filesystem::path dir = test::scratchPath("files");
    std::filesystem::create_directories(dir);
    TandemFusionCamera camera(tandemDescription("T-index"));
    const std::string path = (dir / "indexed.raw").string();
    const std::string indexPath = (dir / "indexed.dsmark.tmp").string();
    const std::string companionPath = test::companionPathOf(path);
    ASSERT_EQ(camera.startRecording(path, STREAM_DVS), 0);
    // Across the 24-bit clock's rollover, in transfers whose cuts split words.
    const std::vector<uint8_t> body = test::encodedBody(71, 60000, (uint64_t{1} << 24) - 200000);
    for (size_t at = 0, step = 1; at < body.size(); at += step, step = step * 7 % 262139 + 1) {
        const size_t end = std::min(body.size(), at + step);
        Access::recordRaw(camera, std::vector<uint8_t>(body.begin() + static_cast<std::ptrdiff_t>(at),
                                                       body.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    ASSERT_EQ(camera.stopRecording(STREAM_DVS), 0);

    const std::vector<uint8_t> index = test::readFile(indexPath);
    const std::vector<uint8_t> companion = test::readFile(companionPath);
    ASSERT_FALSE(index.empty());
    ASSERT_FALSE(companion.empty());
    // Scanned by the reader, the same two files.
    std::filesystem::remove(indexPath);
    std::filesystem::remove(companionPath);
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile());
    EXPECT_FALSE(reader.isIndexReloaded());
    EXPECT_GT(RawFileReaderTestPeer::bookmarks(reader).size(), 1000u);
    EXPECT_TRUE(test::readFile(indexPath) == index);
    EXPECT_TRUE(test::readFile(companionPath) == companion);
}

}  // namespace
}  // namespace vireo
