// The simulated fusion camera at the transport boundary: discovery by its ids, the event
// words byte-swapped, NV12 frames on endpoint 0x53 while the frame sensor is on, the trigger
// edges framing each exposure and released before their frame, the frame image against the
// event stream, the ground-truth functions against what was delivered, control frames,
// real-time pacing and loss, unplugging, and the configurations refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <vireo/SimulatedCamera.h>
#include <vireo/hal.h>

#include <vireo/test/SimulatedCameraSupport.h>

namespace vireo {
namespace {

using Status = EndpointSource::Status;
using namespace std::chrono_literals;

constexpr uint32_t kFrameControl = 0x5000;

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

sim::SimulatedCameraConfig fusionConfig(sim::SceneType scene = sim::SceneType::MovingEdge) {
    sim::SimulatedCameraConfig config;
    config.vendor_id = sim::kFusionVendorId;
    config.product_id = sim::kFusionProductId;
    config.scene = scene;
    config.real_time = false;
    config.frame_width = 384;
    config.frame_height = 216;
    config.frame_rate_hz = 50;   // an exposure every 20 ms
    config.exposure_us = 4000;
    config.edge_speed = 20000;   // the edge moves 400 columns from one frame to the next
    return config;
}

size_t frameBytes(const sim::SimulatedCameraConfig& config) {
    return size_t{config.frame_width} * config.frame_height * 3 / 2;
}

std::shared_ptr<UsbInterface> openFusion(const std::string& serial) {
    for (const auto& desc : UsbInterface::findUsbFusionCamera(sim::kFusionVendorId, sim::kFusionProductId)) {
        if (desc.serial == serial) return UsbInterface::createUsbFusionInterface(desc);
    }
    return nullptr;
}

std::vector<uint8_t> swapped(std::vector<uint8_t> bytes) {
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
    return bytes;
}

// Everything decoded from the event endpoint, with triggers and events in stream order.
struct EventLog {
    std::unique_ptr<Decoder> decoder = DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;
    std::vector<uint8_t> bytes;  // swapped back
    bool ordered = true;         // every event and edge no earlier than the one before
    uint64_t last_us = 0;

    EventLog() {
        decoder->setEventsStreamHandleCallback([this](const Event2D* first, const Event2D* last) {
            for (auto e = first; e != last; ++e) see(e->timestamp);
            events.insert(events.end(), first, last);
        });
        decoder->setTriggerInCallback([this](EventTriggerIn t) {
            see(t.timestamp);
            triggers.push_back(t);
        });
    }
    void see(uint64_t t) {
        ordered = ordered && t >= last_us;
        last_us = t;
    }
    void take(const std::vector<uint8_t>& wire) {
        const auto words = swapped(wire);
        bytes.insert(bytes.end(), words.begin(), words.end());
        decoder->decodeBuffer(words);
    }
    bool hasEdge(int16_t polarity, uint64_t t) const {
        return std::any_of(triggers.begin(), triggers.end(), [&](const EventTriggerIn& e) {
            return e.id == 0 && e.polarity == polarity && e.timestamp == t;
        });
    }
};

// An opened fusion camera read directly through its endpoint sources on the test's thread.
struct Fusion {
    sim::SimulatedCameraConfig config;
    std::string serial;
    std::shared_ptr<UsbInterface> device;
    std::unique_ptr<EndpointSource> eventSource;
    std::unique_ptr<EndpointSource> frameSource;

    // Small event transfers leave a slice's later words queued on the device, so a frame
    // released too early would show.
    Fusion(Plugged& plugged, const sim::SimulatedCameraConfig& c, uint32_t eventTransfer = 0x20000) : config(c) {
        serial = plugged.plug(config);
        device = openFusion(serial);
        if (!device) return;
        eventSource = device->openEndpoint(0x52, eventTransfer);
        frameSource = device->openEndpoint(0x53, static_cast<uint32_t>(frameBytes(config)));
    }
    void frameSensor(bool on) { device->writeRegister(kFrameControl, on ? 1 : 0); }
};

TEST(SimulatedFusion, DiscoveredByTheFusionIdsOnly) {
    Plugged plugged;
    const std::string serial = plugged.plug(fusionConfig());
    const auto fusion = UsbInterface::findUsbFusionCamera(8711, 6);
    ASSERT_EQ(std::count_if(fusion.begin(), fusion.end(), [&](const auto& d) { return d.serial == serial; }), 1);
    for (const auto& desc : fusion) {
        if (desc.serial != serial) continue;
        EXPECT_TRUE(desc.simulated);
        EXPECT_NE(desc.productName.find("fusion"), std::string::npos) << desc.productName;
    }
    for (const auto& desc : UsbInterface::findUsbDvsCamera(1205, 1)) EXPECT_NE(desc.serial, serial);
    EXPECT_NE(openFusion(serial), nullptr);
}

TEST(SimulatedFusion, RefusesConfigurationsItCannotStream) {
    const auto refused = [](auto change) {
        auto config = fusionConfig();
        change(config);
        EXPECT_THROW(sim::plugCamera(config), std::invalid_argument);
        EXPECT_THROW(sim::fusionFrameImage(config, 0), std::invalid_argument);
    };
    refused([](auto& c) { c.frame_width = 385; });
    refused([](auto& c) { c.frame_height = 0; });
    refused([](auto& c) { c.frame_rate_hz = 0; });
    refused([](auto& c) { c.frame_rate_hz = -5; });
    refused([](auto& c) { c.frame_rate_hz = std::numeric_limits<double>::quiet_NaN(); });
    refused([](auto& c) { c.exposure_us = 20000; });  // the whole period
    refused([](auto& c) { c.exposure_us = 0; });
    refused([](auto& c) { c.trigger_period_us = 1000; });
    refused([](auto& c) {
        c.scene = sim::SceneType::Replay;
        c.replay_path = "x.raw";
    });
    // Frame fields mean nothing to an event camera; the ground truth refuses one.
    auto heron = fusionConfig();
    heron.vendor_id = 1205;
    heron.product_id = 1;
    heron.frame_width = 3;
    Plugged plugged;
    EXPECT_NO_THROW(plugged.plug(heron));
    heron.frame_width = 384;
    EXPECT_THROW(sim::fusionFrameExposure(heron, 0), std::invalid_argument);
}

TEST(SimulatedFusion, FrameEndpointOnlyOnTheFusionCameraWithRoomForAFrame) {
    Plugged plugged;
    const auto config = fusionConfig();
    auto device = openFusion(plugged.plug(config));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->openEndpoint(0x53, static_cast<uint32_t>(frameBytes(config)) - 2), nullptr);
    EXPECT_EQ(device->openEndpoint(0x54, 0x20000), nullptr);
    EXPECT_NE(device->openEndpoint(0x53, static_cast<uint32_t>(frameBytes(config))), nullptr);
    EXPECT_NE(createDataTransferUniquePtr(device, 2, static_cast<uint32_t>(frameBytes(config)), 0x53), nullptr);

    auto heron = UsbInterface::createUsbInterface(test::describe(plugged.plug(sim::SimulatedCameraConfig{})));
    ASSERT_NE(heron, nullptr);
    EXPECT_EQ(heron->openEndpoint(0x53, 1u << 24), nullptr);
}

// The same scene on an event camera and on a fusion camera (frame sensor off, so no edges):
// the fusion camera's words are the event camera's with their two bytes swapped.
TEST(SimulatedFusion, EventWordsArriveByteSwapped) {
    Plugged plugged;
    auto config = fusionConfig(sim::SceneType::Random);
    config.seed = 5;
    Fusion fusion(plugged, config);
    auto heronConfig = config;
    heronConfig.vendor_id = 1205;
    heronConfig.product_id = 1;
    auto heron = UsbInterface::createUsbInterface(test::describe(plugged.plug(heronConfig)));
    ASSERT_TRUE(fusion.device && heron);
    auto heronSource = heron->openEndpoint(0x52, 0x20000);
    ASSERT_TRUE(sim::captureDelivered(fusion.serial, true));
    test::startReadout(*fusion.device);
    test::startReadout(*heron);

    std::vector<uint8_t> wire, plain, buffer;
    while (wire.size() < 1u << 20) {
        ASSERT_EQ(fusion.eventSource->read(buffer, 1s), Status::Data);
        ASSERT_EQ(buffer.size() % 2, 0u);
        wire.insert(wire.end(), buffer.begin(), buffer.end());
    }
    while (plain.size() < wire.size()) {
        ASSERT_EQ(heronSource->read(buffer, 1s), Status::Data);
        plain.insert(plain.end(), buffer.begin(), buffer.end());
    }
    plain.resize(wire.size());
    EXPECT_NE(wire, plain);
    EXPECT_EQ(swapped(wire), plain);
    EXPECT_EQ(sim::capturedEventBytes(fusion.serial), plain);

    EventLog log;
    log.take(wire);
    EXPECT_GT(log.events.size(), 100000u);
    EXPECT_TRUE(log.triggers.empty());
}

// Frames only, as fast as the host reads: nothing before the frame sensor is switched on,
// then whole frames back to back, one per transfer, exactly fusionFrameImage, none after.
TEST(SimulatedFusion, FramesComeOnlyWhileTheFrameSensorIsOn) {
    Plugged plugged;
    Fusion fusion(plugged, fusionConfig());
    ASSERT_TRUE(fusion.frameSource);
    std::vector<uint8_t> frame;
    EXPECT_EQ(fusion.frameSource->read(frame, 30ms), Status::Timeout);
    ASSERT_TRUE(sim::captureDelivered(fusion.serial, true));

    fusion.frameSensor(true);
    for (uint64_t k = 0; k < 6; ++k) {
        ASSERT_EQ(fusion.frameSource->read(frame, 1s), Status::Data);
        ASSERT_EQ(frame.size(), frameBytes(fusion.config));
        ASSERT_EQ(frame, sim::fusionFrameImage(fusion.config, k)) << "frame " << k;
    }
    fusion.frameSensor(false);
    EXPECT_EQ(fusion.frameSource->read(frame, 30ms), Status::Timeout);

    const auto delivered = sim::deliveredFrames(fusion.serial);
    ASSERT_EQ(delivered.size(), 6u);
    for (uint64_t k = 0; k < delivered.size(); ++k) {
        EXPECT_EQ(delivered[k], sim::fusionFrameExposure(fusion.config, k));
        EXPECT_EQ(delivered[k].begin_us, k * 20000);
        EXPECT_EQ(delivered[k].end_us, k * 20000 + 4000);
    }
    // Consecutive frames differ (the edge moved, and the index strip changed).
    EXPECT_NE(sim::fusionFrameImage(fusion.config, 1), sim::fusionFrameImage(fusion.config, 2));
    auto grey = fusionConfig(sim::SceneType::Random);
    EXPECT_NE(sim::fusionFrameImage(grey, 4), sim::fusionFrameImage(grey, 5));
}

// Both streams read alternately on one thread: each frame comes only once the event bytes
// carrying its closing edge have been handed out, the edges are 0 at the exposure's start and
// 1 at its end, in time order with the events, and the frame shows the edge where the events
// put it, mirrored.
TEST(SimulatedFusion, ExposureEdgesFrameEachFrameAndComeFirst) {
    Plugged plugged;
    auto config = fusionConfig();
    config.exposure_us = 4500;  // closing edges in the middle of an event slice
    config.frame_width = 2560;  // two frame columns per event column
    Fusion fusion(plugged, config, 2048);
    ASSERT_TRUE(fusion.eventSource && fusion.frameSource);
    test::startReadout(*fusion.device);

    // Events over several frame periods, but the frame sensor is off: no edge, no frame.
    EventLog log;
    std::vector<uint8_t> idle;
    while (log.last_us < 50000) {
        ASSERT_EQ(fusion.eventSource->read(idle, 1s), Status::Data);
        log.take(idle);
        ASSERT_EQ(fusion.frameSource->read(idle, 0ms), Status::Timeout);
    }
    EXPECT_TRUE(log.triggers.empty());
    fusion.frameSensor(true);

    std::vector<sim::FrameExposure> frames;
    std::vector<uint8_t> buffer;
    const auto deadline = std::chrono::steady_clock::now() + vireo::test::waitBound(20s);
    while (frames.size() < 8 && std::chrono::steady_clock::now() < deadline) {
        if (fusion.eventSource->read(buffer, 1ms) == Status::Data) log.take(buffer);
        if (fusion.frameSource->read(buffer, 0ms) != Status::Data) continue;
        const auto delivered = sim::deliveredFrames(fusion.serial);  // capture is off
        EXPECT_TRUE(delivered.empty());
        // Which frame: its exposure is the newest closing edge decoded so far.
        ASSERT_FALSE(log.triggers.empty());
        const auto closing = log.triggers.back();
        ASSERT_EQ(closing.polarity, 1);
        const auto index = static_cast<uint64_t>(closing.timestamp / 20000);
        const auto span = sim::fusionFrameExposure(fusion.config, index);
        ASSERT_EQ(span.end_us, closing.timestamp);
        ASSERT_TRUE(log.hasEdge(0, span.begin_us));
        ASSERT_EQ(buffer, sim::fusionFrameImage(fusion.config, index));
        frames.push_back(span);

        // The image against the events: frame column X shows event column
        // 1279 - floor(X * 1280 / 2560), bright once the edge crossed it by mid-exposure.
        const uint64_t middle = span.begin_us + 2250;
        uint16_t crossed = 0;
        for (const auto& e : log.events) {
            if (e.timestamp <= middle) crossed = e.x;
        }
        const uint8_t* row = buffer.data() + 100 * 2560;  // below the index strip
        for (int x = 0; x < 2560; ++x) {
            const int shown = 1279 - x * 1280 / 2560;
            ASSERT_EQ(row[x] > 128, shown <= crossed) << "frame " << index << " column " << x;
        }
    }
    ASSERT_EQ(frames.size(), 8u);
    EXPECT_TRUE(log.ordered);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_EQ(frames[i].index, frames[i - 1].index + 1);
    // Edges alternate 0, 1 exposure after exposure, on channel 0.
    for (size_t i = 0; i < log.triggers.size(); ++i) {
        EXPECT_EQ(log.triggers[i].id, 0);
        EXPECT_EQ(log.triggers[i].polarity, static_cast<int16_t>(i % 2));
        EXPECT_EQ(log.triggers[i].timestamp % 20000, i % 2 == 0 ? 0u : 4500u);
    }
    EXPECT_EQ(*sim::droppedFrames(fusion.serial), 0u);
}

// With the trigger input disabled no edge reaches the stream, yet frames still follow the
// event stream past their exposure's end.
TEST(SimulatedFusion, FramesWithoutEdgesWhenTheTriggerInputIsOff) {
    Plugged plugged;
    Fusion fusion(plugged, fusionConfig(), 2048);
    fusion.device->writeRegisterMasked(0x7004, 0, 0x400);
    test::startReadout(*fusion.device);
    fusion.frameSensor(true);
    EventLog log;
    std::vector<uint8_t> buffer;
    int frames = 0;
    const auto deadline = std::chrono::steady_clock::now() + vireo::test::waitBound(20s);
    while (frames < 3 && std::chrono::steady_clock::now() < deadline) {
        if (fusion.eventSource->read(buffer, 1ms) == Status::Data) log.take(buffer);
        if (fusion.frameSource->read(buffer, 0ms) != Status::Data) continue;
        ++frames;
        ASSERT_GE(log.last_us, sim::fusionFrameExposure(fusion.config, 0).end_us);
    }
    EXPECT_EQ(frames, 3);
    EXPECT_TRUE(log.triggers.empty());
}

// Both endpoints read on their own threads through the host's queues, as a camera does
// (this is the case to run under ThreadSanitizer): the capture holds exactly the bytes the
// host received, and every delivered frame's closing edge is in it.
void readBothOnTheirOwnThreads(bool realTime) {
    Plugged plugged;
    // In real time a light scene, so that a slow (instrumented) build keeps up with the clock.
    auto config = fusionConfig(realTime ? sim::SceneType::Random : sim::SceneType::MovingEdge);
    config.event_rate = 2e5;
    config.edge_speed = 2000;
    config.real_time = realTime;
    const std::string serial = plugged.plug(config);
    auto device = openFusion(serial);
    ASSERT_NE(device, nullptr);
    EventStream events(createDataTransferUniquePtr(device, 2, 0x20000, 0x52));
    EventStream frames(createDataTransferUniquePtr(device, 2, static_cast<uint32_t>(frameBytes(config)), 0x53));
    ASSERT_TRUE(sim::captureDelivered(serial, true));
    events.start();
    frames.start();
    test::startReadout(*device);
    device->writeRegister(kFrameControl, 1);

    std::vector<std::vector<uint8_t>> images;
    std::atomic<bool> done{false};
    std::thread frameThread([&] {
        const auto deadline = std::chrono::steady_clock::now() + vireo::test::waitBound(20s);
        while (images.size() < 10 && std::chrono::steady_clock::now() < deadline) {
            if (frames.waitNextBuffer() == 0) continue;
            if (auto buffer = frames.getLatestBuffer()) images.push_back(**buffer);
        }
        done = true;
    });
    EventLog log;
    while (!done) {
        if (events.waitNextBuffer() == 0) continue;
        if (auto buffer = events.getLatestBuffer()) log.take(**buffer);
    }
    frameThread.join();
    ASSERT_TRUE(sim::captureDelivered(serial, false));
    device->writeRegister(kFrameControl, 0);
    test::stopReadout(*device);
    frames.stop();
    events.stop();

    ASSERT_EQ(images.size(), 10u);
    const auto delivered = sim::deliveredFrames(serial);
    ASSERT_GE(delivered.size(), images.size());
    const auto captured = sim::capturedEventBytes(serial);
    ASSERT_GE(captured.size(), log.bytes.size());
    EXPECT_TRUE(std::equal(log.bytes.begin(), log.bytes.end(), captured.begin()));
    EventLog all;
    all.take(swapped(captured));
    for (size_t i = 0; i < delivered.size(); ++i) {
        EXPECT_TRUE(all.hasEdge(0, delivered[i].begin_us)) << "frame " << delivered[i].index;
        EXPECT_TRUE(all.hasEdge(1, delivered[i].end_us)) << "frame " << delivered[i].index;
        if (i < images.size()) {
            EXPECT_EQ(images[i], sim::fusionFrameImage(config, delivered[i].index));
        }
    }
}

TEST(SimulatedFusion, TwoHostThreadsAndTheCaptureAgree) { readBothOnTheirOwnThreads(false); }

TEST(SimulatedFusion, TwoHostThreadsAndTheCaptureAgreeInRealTime) { readBothOnTheirOwnThreads(true); }

TEST(SimulatedFusion, FullSizeFramesMatchTheGroundTruth) {
    Plugged plugged;
    auto config = fusionConfig();
    config.frame_width = 3840;
    config.frame_height = 2160;
    Fusion fusion(plugged, config);
    ASSERT_TRUE(fusion.frameSource);
    EXPECT_EQ(fusion.device->openEndpoint(0x53, 3840 * 2160), nullptr);
    fusion.frameSensor(true);
    std::vector<uint8_t> frame;
    for (uint64_t k = 0; k < 3; ++k) {
        ASSERT_EQ(fusion.frameSource->read(frame, 2s), Status::Data);
        ASSERT_EQ(frame.size(), 12441600u);
        ASSERT_TRUE(frame == sim::fusionFrameImage(config, k)) << "frame " << k;
    }
    // Luma: the index strip on top (frame 2: bit 1 set), the scene below; chroma neutral.
    EXPECT_EQ(frame[0], 16);
    EXPECT_EQ(frame[120], 235);
    EXPECT_EQ(frame[240], 16);
    EXPECT_TRUE(std::all_of(frame.begin() + 3840 * 2160, frame.end(), [](uint8_t v) { return v == 128; }));
}

// Frames alone in real time: paced by the sensor clock; a frame the host leaves too long is
// dropped and counted, and the host gets the latest ones.
TEST(SimulatedFusion, RealTimeFramesFollowTheClockAndAreLostWhenLeft) {
    Plugged plugged;
    auto config = fusionConfig();
    config.real_time = true;
    config.frame_rate_hz = 100;  // every 10 ms
    config.exposure_us = 2000;
    Fusion fusion(plugged, config);
    ASSERT_TRUE(fusion.frameSource);
    const auto start = std::chrono::steady_clock::now();
    fusion.frameSensor(true);
    std::vector<uint8_t> frame;
    ASSERT_TRUE(sim::captureDelivered(fusion.serial, true));
    for (int i = 0; i < 5; ++i) {
        while (fusion.frameSource->read(frame, 100ms) == Status::Timeout) {
        }
    }
    const double elapsed_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    auto delivered = sim::deliveredFrames(fusion.serial);
    ASSERT_EQ(delivered.size(), 5u);
    // Frame k is handed out once its exposure ended on a clock that started at the switch-on.
    EXPECT_GE(elapsed_ms, static_cast<double>(delivered.back().end_us) / 1000.0 * 0.95);
    const uint64_t droppedBefore = *sim::droppedFrames(fusion.serial);  // 0 unless the machine stalled

    // Leave the frames for ten periods: only the two newest are kept.
    std::this_thread::sleep_for(100ms);
    ASSERT_EQ(fusion.frameSource->read(frame, 100ms), Status::Data);
    delivered = sim::deliveredFrames(fusion.serial);
    ASSERT_EQ(delivered.size(), 6u);
    const uint64_t skipped = delivered[5].index - delivered[4].index - 1;
    EXPECT_GE(skipped, 5u);
    EXPECT_EQ(*sim::droppedFrames(fusion.serial) - droppedBefore, skipped);
    EXPECT_EQ(frame, sim::fusionFrameImage(config, delivered[5].index));
}

TEST(SimulatedFusion, ControlFramesAreRecordedAndAnsweredUnchanged) {
    Plugged plugged;
    const std::string serial = plugged.plug(fusionConfig());
    auto device = openFusion(serial);
    ASSERT_NE(device, nullptr);
    CtrlFrame first(0x40010010);
    first.push_back32(0);
    first.push_back32(1);
    device->transferFrame(first);
    EXPECT_EQ(first.words(), (std::vector<uint32_t>{0, 1}));
    CtrlFrame second(0x40010200);
    second.push_back32(7);
    device->transferFrame(second);
    const auto frames = sim::controlFrames(serial);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (sim::ControlFrameRecord{0x40010010, {0, 1}}));
    EXPECT_EQ(frames[1], (sim::ControlFrameRecord{0x40010200, {7}}));
    EXPECT_TRUE(sim::controlFrames("NO-SUCH-CAMERA").empty());

    sim::unplugCamera(serial);
    CtrlFrame late(0x40010010);
    EXPECT_THROW(device->transferFrame(late), std::runtime_error);
}

TEST(SimulatedFusion, UnplugWhileStreamingEndsBothEndpoints) {
    Plugged plugged;
    auto config = fusionConfig();
    config.real_time = true;
    const std::string serial = plugged.plug(config);
    auto device = openFusion(serial);
    ASSERT_NE(device, nullptr);
    EventStream events(createDataTransferUniquePtr(device, 2, 0x20000, 0x52));
    EventStream frames(createDataTransferUniquePtr(device, 2, static_cast<uint32_t>(frameBytes(config)), 0x53));
    events.start();
    frames.start();
    test::startReadout(*device);
    device->writeRegister(kFrameControl, 1);
    const auto deadline = std::chrono::steady_clock::now() + vireo::test::waitBound(10s);
    while (frames.waitNextBuffer() == 0 && std::chrono::steady_clock::now() < deadline) {
        while (events.getLatestBuffer()) {
        }
    }
    ASSERT_TRUE(frames.getLatestBuffer().has_value());

    ASSERT_TRUE(sim::unplugCamera(serial));
    while ((events.deviceConnected() || frames.deviceConnected()) && std::chrono::steady_clock::now() < deadline + 5s) {
        events.waitNextBuffer();
        while (events.getLatestBuffer() || frames.getLatestBuffer()) {
        }
    }
    EXPECT_FALSE(events.deviceConnected());
    EXPECT_FALSE(frames.deviceConnected());
    EXPECT_EQ(device->openEndpoint(0x53, static_cast<uint32_t>(frameBytes(config))), nullptr);
    events.stop();
    frames.stop();
}

}  // namespace
}  // namespace vireo
