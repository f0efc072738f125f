// Simulated cameras at the transport boundary: discovery by ids, the register file and chip
// identity, the readout gated by the sensor's registers, the scenes' streams decoding to
// what the scene shows, trigger edges, unplugging while streaming, replay of a real
// recording, and buffer loss only where a real-time device cannot wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <vireo/SimulatedCamera.h>

#include <vireo/test/SimulatedCameraSupport.h>
#include <vireo/test/StdoutCapture.h>

namespace vireo {
namespace {

using test::OpenedCamera;

// Unplugs the cameras a test plugged in, whatever happens in the test.
struct Plugged {
    std::vector<std::string> serials;
    std::string plug(const sim::SimulatedCameraConfig& config) {
        serials.push_back(sim::plugCamera(config));
        return serials.back();
    }
    ~Plugged() {
        for (const auto& serial : serials) sim::unplugCamera(serial);
    }
};

sim::SimulatedCameraConfig fastConfig(sim::SceneType scene, uint64_t seed = 1) {
    sim::SimulatedCameraConfig config;
    config.scene = scene;
    config.real_time = false;
    config.seed = seed;
    return config;
}

std::string samplePath() { return std::string(VIREO_SHARED_DATA_DIR) + "/evt3_sample.raw"; }

TEST(SimulatedCamera, DiscoveredByItsIdsAndGoneWhenUnplugged) {
    Plugged plugged;
    auto heron = fastConfig(sim::SceneType::Random);
    const std::string a = plugged.plug(heron);
    const std::string b = plugged.plug(heron);
    auto evk4 = heron;
    evk4.vendor_id = 1204;
    evk4.product_id = 245;
    evk4.serial = "EVK4-TEST-1";
    const std::string c = plugged.plug(evk4);
    EXPECT_EQ(c, "EVK4-TEST-1");
    EXPECT_NE(a, b);

    std::vector<std::string> herons;
    for (const auto& desc : UsbInterface::findUsbDvsCamera(1205, 1)) {
        EXPECT_EQ(desc.interfaceType, INTERFACE_USB);
        EXPECT_TRUE(desc.simulated);
        EXPECT_EQ(desc.vendorId, 1205);
        herons.push_back(desc.serial);
    }
    EXPECT_NE(std::find(herons.begin(), herons.end(), a), herons.end());
    EXPECT_NE(std::find(herons.begin(), herons.end(), b), herons.end());
    EXPECT_EQ(std::find(herons.begin(), herons.end(), c), herons.end());
    EXPECT_EQ(test::describe(c, 1204, 245).serial, c);
    EXPECT_TRUE(UsbInterface::findUsbFusionCamera(8711, 6).empty());

    EXPECT_TRUE(sim::unplugCamera(a));
    EXPECT_FALSE(sim::unplugCamera(a));
    EXPECT_TRUE(test::describe(a).serial.empty());
    CameraDescription gone;
    gone.serial = a;
    gone.simulated = true;
    EXPECT_EQ(UsbInterface::createUsbInterface(gone), nullptr);
}

TEST(SimulatedCamera, RejectsConfigurationsThatCannotStream) {
    auto config = fastConfig(sim::SceneType::Replay);
    config.replay_path = "/nonexistent/file.raw";
    EXPECT_THROW(sim::plugCamera(config), std::invalid_argument);
    config.replay_path.clear();
    EXPECT_THROW(sim::plugCamera(config), std::invalid_argument);
    auto random = fastConfig(sim::SceneType::Random);
    random.event_rate = 0;
    EXPECT_THROW(sim::plugCamera(random), std::invalid_argument);

    Plugged plugged;
    auto named = fastConfig(sim::SceneType::Random);
    named.serial = "DUPLICATE";
    plugged.plug(named);
    EXPECT_THROW(sim::plugCamera(named), std::invalid_argument);
}

TEST(SimulatedCamera, RegisterFileAnswersChipIdentityAndAppliesMaskedWrites) {
    Plugged plugged;
    sim::setRegisterResetValues({{0x1000, 0xABCD0000}, {0xF128, 0x0}});
    const std::string serial = plugged.plug(fastConfig(sim::SceneType::Random));
    sim::setRegisterResetValues({});
    auto device = UsbInterface::createUsbInterface(test::describe(serial));
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(device->isConnected());
    EXPECT_TRUE(device->skipsPauses());
    uint64_t slot = 0;
    device->setCameraSlot(&slot);
    EXPECT_NE(slot, 0u);

    EXPECT_EQ(device->readRegisters(0x0014, 1), std::vector<uint32_t>{0xA0401806});
    EXPECT_EQ(device->readRegisters(0xF128, 1)[0] & 0x3u, 0u);
    EXPECT_EQ(device->readRegisters(0x1000, 2), (std::vector<uint32_t>{0xABCD0000, 0}));

    EXPECT_TRUE(device->writeRegister(0x1000, 0x12345678));
    EXPECT_TRUE(device->writeRegisterMasked(0x1000, 0xFFFF00FF, 0x0000FF00));
    EXPECT_EQ(device->readRegisters(0x1000, 1)[0], 0x12340078u);
    EXPECT_TRUE(device->writeRegister(0x0014, 0));  // read-only: ignored
    EXPECT_EQ(*sim::registerValue(serial, 0x0014), 0xA0401806u);

    const auto writes = sim::registerWrites(serial);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1], (sim::RegisterWrite{0x1000, 0xFFFF00FF, 0x0000FF00}));
}

TEST(SimulatedCamera, StreamsOnlyWhileTheReadoutIsStarted) {
    Plugged plugged;
    const std::string serial = plugged.plug(fastConfig(sim::SceneType::Random));
    OpenedCamera camera(serial);
    ASSERT_NE(camera.device, nullptr);
    camera.stream->start();
    EXPECT_FALSE(*sim::readoutRunning(serial));
    EXPECT_EQ(camera.stream->waitNextBuffer(), 0);  // nothing while the sensor is idle

    test::startReadout(*camera.device);
    EXPECT_TRUE(*sim::readoutRunning(serial));
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.events.size() > 100000; }));
    for (const auto& e : camera.events) {
        ASSERT_LT(e.x, 1280);
        ASSERT_LT(e.y, 720);
    }
    EXPECT_TRUE(std::is_sorted(camera.events.begin(), camera.events.end(),
                               [](const Event2D& l, const Event2D& r) { return l.timestamp < r.timestamp; }));

    test::stopReadout(*camera.device);
    EXPECT_FALSE(*sim::readoutRunning(serial));
    camera.stream->stop();
}

// The edge enters column k at k / speed seconds and every pixel of that column fires once.
TEST(SimulatedCamera, MovingEdgeDecodesToWholeColumnsAtTheEdgeSpeed) {
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::MovingEdge);
    config.edge_speed = 2000;  // a column every 500 µs
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    camera.stream->start();
    test::startReadout(*camera.device);
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.events.size() >= 720u * 300; }));

    std::map<uint64_t, std::vector<Event2D>> columns;
    for (const auto& e : camera.events) columns[e.timestamp].push_back(e);
    size_t checked = 0;
    for (const auto& [t, events] : columns) {
        if (events.size() != 720) continue;  // the last column may still be arriving
        ASSERT_EQ(t % 500, 0u);
        for (size_t row = 0; row < 720; ++row) {
            ASSERT_EQ(events[row].y, row);
            ASSERT_EQ(events[row].x, (t / 500) % 1280);
            ASSERT_EQ(events[row].polarity, 1);
        }
        ++checked;
    }
    EXPECT_GE(checked, 299u);
    // Columns follow each other without a gap.
    auto it = columns.begin();
    for (auto next = std::next(it); next != columns.end(); ++it, ++next) {
        ASSERT_EQ(next->first - it->first, 500u);
    }
}

TEST(SimulatedCamera, TriggerEdgesAlternateAtThePeriodInStreamOrder) {
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::BlinkingGrid);
    config.trigger_period_us = 1500;
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    std::vector<std::pair<uint64_t, bool>> order;  // (time, is trigger) in delivery order
    camera.decoder->setEventsStreamHandleCallback([&](const Event2D* first, const Event2D* last) {
        for (auto e = first; e != last; ++e) order.emplace_back(e->timestamp, false);
        camera.events.insert(camera.events.end(), first, last);
    });
    camera.decoder->setTriggerInCallback([&](EventTriggerIn t) {
        order.emplace_back(t.timestamp, true);
        camera.triggers.push_back(t);
    });
    camera.stream->start();
    test::startReadout(*camera.device);
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.triggers.size() >= 40; }));
    for (size_t i = 0; i < camera.triggers.size(); ++i) {
        EXPECT_EQ(camera.triggers[i].id, 0);
        EXPECT_EQ(camera.triggers[i].timestamp, (i + 1) * 1500);
        EXPECT_EQ(camera.triggers[i].polarity, static_cast<int16_t>((i + 1) % 2));
    }
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end(),
                               [](const auto& l, const auto& r) { return l.first < r.first; }));
}

TEST(SimulatedCamera, TwoCamerasStreamConcurrently) {
    Plugged plugged;
    const std::string a = plugged.plug(fastConfig(sim::SceneType::MovingEdge));
    auto blinking = fastConfig(sim::SceneType::BlinkingGrid);
    blinking.grid_cols = 5;
    blinking.grid_rows = 4;
    const std::string b = plugged.plug(blinking);
    OpenedCamera first(a), second(b);
    first.stream->start();
    second.stream->start();
    test::startReadout(*first.device);
    test::startReadout(*second.device);
    bool firstDone = false, secondDone = false;
    std::thread other([&] { secondDone = second.pumpUntil([&] { return second.events.size() >= 20 * 9 * 200; }); });
    firstDone = first.pumpUntil([&] { return first.events.size() >= 720 * 200; });
    other.join();
    ASSERT_TRUE(firstDone);
    ASSERT_TRUE(secondDone);
    for (const auto& e : first.events) ASSERT_EQ(e.polarity, 1);
    // 20 markers of 3x3 pixels: only 180 distinct pixels ever fire on the second camera.
    std::set<std::pair<int, int>> pixels;
    for (const auto& e : second.events) pixels.insert({e.x, e.y});
    EXPECT_EQ(pixels.size(), 180u);
}

TEST(SimulatedCamera, UnplugWhileStreamingEndsTheStreamWithoutHanging) {
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::Random);
    config.real_time = true;
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    camera.stream->start();
    test::startReadout(*camera.device);
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.buffers >= 3; }));

    ASSERT_TRUE(sim::unplugCamera(serial));
    EXPECT_FALSE(camera.device->isConnected());
    const auto deadline = std::chrono::steady_clock::now() + vireo::test::waitBound(std::chrono::seconds(5));
    while (camera.stream->deviceConnected() && std::chrono::steady_clock::now() < deadline) {
        if (camera.stream->waitNextBuffer() > 0) camera.stream->getLatestBuffer();
    }
    EXPECT_FALSE(camera.stream->deviceConnected());
    while (camera.stream->getLatestBuffer()) {
    }
    EXPECT_EQ(camera.stream->waitNextBuffer(), 0);
    EXPECT_THROW(camera.device->readRegisters(0x14, 1), std::runtime_error);
    EXPECT_FALSE(camera.device->writeRegister(0x9028, 2));
    camera.stream->stop();
}

TEST(SimulatedCamera, ReplayStreamsTheRecordingBodyByteForByteAndLoops) {
    if (!std::filesystem::exists(samplePath())) GTEST_SKIP() << "sample recording not present";
    std::ifstream file(samplePath(), std::ios::binary);
    std::vector<uint8_t> raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(raw.size(), 166u);
    const std::vector<uint8_t> body(raw.begin() + 166, raw.end());

    Plugged plugged;
    auto config = fastConfig(sim::SceneType::Replay);
    config.replay_path = samplePath();
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    camera.keepBytes = true;
    camera.stream->start();
    test::startReadout(*camera.device);
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.bytes.size() >= 2 * body.size(); }));
    EXPECT_TRUE(std::equal(body.begin(), body.end(), camera.bytes.begin()));
    EXPECT_TRUE(std::equal(body.begin(), body.end(), camera.bytes.begin() + static_cast<long>(body.size())));
    EXPECT_EQ(*sim::droppedBuffers(serial), 0u);
}

// Paced by the recording's own timestamps: data is never handed out before its time.
TEST(SimulatedCamera, RealTimeReplayIsPacedByTheRecordingTime) {
    if (!std::filesystem::exists(samplePath())) GTEST_SKIP() << "sample recording not present";
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::Replay);
    config.replay_path = samplePath();
    config.real_time = true;
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    camera.keepBytes = true;
    camera.stream->start();
    const auto start = std::chrono::steady_clock::now();
    test::startReadout(*camera.device);
    // The recording body spans 8.8 ms; ten loops take at least about 88 ms.
    const size_t body = 617886;
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.bytes.size() >= 10 * body; }));
    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed_ms, 9 * 8.8 * 0.95);
}

TEST(SimulatedCamera, RealTimeDeviceDropsOldestBuffersOnlyWhenTheHostFallsBehind) {
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::Random);
    config.real_time = true;
    config.event_rate = 2e6;
    const std::string serial = plugged.plug(config);
    // 16 MiB transfers: the host queue holds only two of them, so it fills within a few
    // transfers of 5 ms each, even on a slow machine.
    OpenedCamera camera(serial, 16u << 20);
    camera.stream->start();
    test::startReadout(*camera.device);
    // Nobody takes buffers: the queue fills and the device starts losing buffers.
    const auto deadline = std::chrono::steady_clock::now() + vireo::test::waitBound(std::chrono::seconds(20));
    while (*sim::droppedBuffers(serial) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    camera.stream->stop();  // no more drops from here, so the two counts can be compared
    EXPECT_GT(*sim::droppedBuffers(serial), 0u);
    EXPECT_EQ(camera.stream->droppedBuffers(), *sim::droppedBuffers(serial));
}

TEST(SimulatedCamera, FastDeviceWaitsForASlowHostAndLosesNothing) {
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::MovingEdge);
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    camera.stream->start();
    test::startReadout(*camera.device);
    // Let the queue fill up completely before reading anything.
    const auto deadline = std::chrono::steady_clock::now() + vireo::test::waitBound(std::chrono::seconds(10));
    while (camera.stream->waitNextBuffer() < 16 && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.events.size() >= 720u * 2000; }));
    EXPECT_EQ(*sim::droppedBuffers(serial), 0u);
    // Every column arrived whole and in sequence.
    for (size_t i = 0; i + 720 <= camera.events.size(); i += 720) {
        ASSERT_EQ(camera.events[i].x, (i / 720) % 1280);
        ASSERT_EQ(camera.events[i + 719].x, camera.events[i].x);
    }
}

}  // namespace
}  // namespace vireo

namespace vireo {
namespace {

// This machine (and CI's) has no camera on its bus and may have no USB at all: discovery
// must still answer, with the simulated cameras only and nothing printed at the default
// log level.
TEST(SimulatedCamera, DiscoveryWithoutUsbCamerasReturnsSimulatedOnesQuietly) {
    const std::string serial = sim::plugCamera({});
    test::StdoutCapture capture;
    const auto herons = UsbInterface::findUsbDvsCamera(1205, 1);
    const auto evk4 = UsbInterface::findUsbDvsCamera(1204, 245);
    const auto tandem = UsbInterface::findUsbFusionCamera(8711, 6);
    const std::string printed = capture.finish();
    sim::unplugCamera(serial);
    ASSERT_EQ(herons.size(), 1u);
    EXPECT_EQ(herons[0].serial, serial);
    EXPECT_TRUE(evk4.empty());
    EXPECT_TRUE(tandem.empty());
    EXPECT_EQ(printed, "");
}

}  // namespace
}  // namespace vireo

// The sensor's filters as the camera tools set them, written here by address.
namespace vireo {
namespace {

// Opens the window of columns [32, 64) and rows [0, 32): every other mask line is disabled.
void writeWindowMasks(Interface& device) {
    for (uint32_t r = 0; r < 40; ++r) device.writeRegister(0x2000 + 4 * r, r == 1 ? 0u : 0xFFFFFFFFu);
    for (uint32_t r = 0; r < 23; ++r) device.writeRegister(0x4000 + 4 * r, r == 0 ? 0u : 0xFFFFFFFFu);
}

TEST(SimulatedCamera, RegionOfInterestDropsEventsBeforeEncoding) {
    Plugged plugged;
    const auto config = fastConfig(sim::SceneType::Random, 11);
    const std::string open = plugged.plug(config);
    const std::string window = plugged.plug(config);
    OpenedCamera all(open), filtered(window);
    ASSERT_TRUE(all.device && filtered.device);
    writeWindowMasks(*filtered.device);
    filtered.device->writeRegisterMasked(0x0004, 0x42, 0x42);  // roi_td_en, keep inside
    for (auto* camera : {&all, &filtered}) {
        camera->stream->start();
        test::startReadout(*camera->device);
    }
    const uint64_t horizon_us = 40000;
    const auto reached = [](OpenedCamera& c, uint64_t t) { return !c.events.empty() && c.events.back().timestamp >= t; };
    ASSERT_TRUE(all.pumpUntil([&] { return reached(all, horizon_us); }));
    ASSERT_TRUE(filtered.pumpUntil([&] { return reached(filtered, horizon_us); }));

    // The same scene: the filtered stream decodes to exactly the unfiltered events inside the
    // window, so no word was cut or lost around the dropped events.
    std::vector<Event2D> expected;
    for (const auto& e : all.events) {
        if (e.timestamp < horizon_us && e.x >= 32 && e.x < 64 && e.y < 32) expected.push_back(e);
    }
    std::vector<Event2D> got;
    for (const auto& e : filtered.events) {
        if (e.timestamp < horizon_us) got.push_back(e);
    }
    ASSERT_FALSE(expected.empty());
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_TRUE(got[i].x == expected[i].x && got[i].y == expected[i].y && got[i].polarity == expected[i].polarity &&
                    got[i].timestamp == expected[i].timestamp)
            << "event " << i;
    }
}

TEST(SimulatedCamera, ComplementOfTheWindowKeepsOnlyEventsOutsideIt) {
    Plugged plugged;
    const std::string serial = plugged.plug(fastConfig(sim::SceneType::Random, 12));
    OpenedCamera camera(serial);
    ASSERT_TRUE(camera.device);
    writeWindowMasks(*camera.device);
    camera.device->writeRegisterMasked(0x0004, 0x02, 0x42);  // roi_td_en, keep outside
    camera.stream->start();
    test::startReadout(*camera.device);
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.events.size() >= 20000; }));
    for (const auto& e : camera.events) ASSERT_FALSE(e.x >= 32 && e.x < 64 && e.y < 32) << e.x << "," << e.y;
}

TEST(SimulatedCamera, EventRateControllerLimitsTheRate) {
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::Random, 13);
    config.event_rate = 1e6;
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    ASSERT_TRUE(camera.device);
    camera.device->writeRegister(0x6008, 100);  // reference period 100 us
    camera.device->writeRegister(0x600C, 15);   // 15 events per period: 150000 events/s
    camera.device->writeRegister(0x6028, 1);
    camera.stream->start();
    test::startReadout(*camera.device);
    ASSERT_TRUE(camera.pumpUntil([&] { return !camera.events.empty() && camera.events.back().timestamp >= 200000; }));
    const double span_s = static_cast<double>(camera.events.back().timestamp - camera.events.front().timestamp) / 1e6;
    EXPECT_NEAR(static_cast<double>(camera.events.size()) / span_s, 150000.0, 150000.0 * 0.05);

    // Disabled, the scene's own rate comes back once the transfers generated before are read:
    // wait for a 20 ms stretch after the switch holding well over the limit.
    camera.device->writeRegister(0x6028, 0);
    const uint64_t from = camera.events.back().timestamp;
    ASSERT_TRUE(camera.pumpUntil([&] {
        const uint64_t last = camera.events.back().timestamp;
        if (last < from + 20000) return false;
        const auto first = std::lower_bound(camera.events.begin(), camera.events.end(), last - 20000,
                                            [](const Event2D& e, uint64_t t) { return e.timestamp < t; });
        return camera.events.end() - first > 10000;  // above 500000 events/s
    }));
}

TEST(SimulatedCamera, TriggerInputEnableGatesTheEdges) {
    Plugged plugged;
    auto config = fastConfig(sim::SceneType::Random, 14);
    config.event_rate = 1e5;
    config.trigger_period_us = 1000;
    const std::string serial = plugged.plug(config);
    OpenedCamera camera(serial);
    ASSERT_TRUE(camera.device);
    EXPECT_EQ(*sim::registerValue(serial, 0x7004) & 0x400u, 0x400u);  // enabled at reset
    camera.device->writeRegisterMasked(0x7004, 0, 0x400);
    camera.stream->start();
    test::startReadout(*camera.device);
    ASSERT_TRUE(camera.pumpUntil([&] { return !camera.events.empty() && camera.events.back().timestamp >= 50000; }));
    EXPECT_TRUE(camera.triggers.empty());
    camera.device->writeRegisterMasked(0x7004, 0x400, 0x400);
    ASSERT_TRUE(camera.pumpUntil([&] { return camera.triggers.size() >= 5; }));
    // Edges keep their schedule: the first one seen is on a period boundary after the re-enable.
    EXPECT_EQ(camera.triggers[0].timestamp % 1000, 0u);
    EXPECT_GE(camera.triggers[0].timestamp, 50000u);
}

}  // namespace
}  // namespace vireo
