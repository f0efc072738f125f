// The sensor modules: the exact register traffic of the IMX636 sequences on a simulated
// device, streaming between start and stop, and the missing-callback paths.
#include <vireo/Imx415Sensor.h>
#include <vireo/Imx6x6Sensor.h>
#include <vireo/RegisterController.h>
#include <vireo/RegisterTables.h>

#include <gtest/gtest.h>

#include <vireo/SimulatedCamera.h>
#include <vireo/test/SimulatedCameraSupport.h>
#include <vireo/test/StdoutCapture.h>

namespace vireo {
namespace {

std::vector<sim::RegisterWrite> asWrites(const std::vector<RegisterOperation>& sequence) {
    std::vector<sim::RegisterWrite> writes;
    for (const auto& op : sequence) {
        if (op.kind == RegisterOperation::kWrite) writes.push_back({op.address, op.value, 0xFFFFFFFF});
        if (op.kind == RegisterOperation::kMaskedWrite) writes.push_back({op.address, op.value, op.mask});
    }
    return writes;
}

// A simulated camera with a controller and an event sensor wired as a camera wires them.
struct WiredSensor {
    std::string serial;
    std::shared_ptr<UsbInterface> device;
    std::shared_ptr<RegisterController> controller;
    Imx6x6Sensor sensor;

    WiredSensor() {
        sim::SimulatedCameraConfig config;
        config.scene = sim::SceneType::MovingEdge;
        config.real_time = false;
        serial = sim::plugCamera(config);
        device = UsbInterface::createUsbInterface(test::describe(serial));
        std::size_t count = 0;
        controller = std::make_shared<RegisterController>(device, getImx636RegisterTable(count), count,
                                                          "PSEE/IMX636/");
        auto shared = controller;
        sensor.setApplyRegisterOperationSequenceCallback(
            [shared](const std::vector<RegisterOperation>& ops) { shared->ApplyRegisterOperationSequence(ops); });
        sensor.setWriteRegisterFieldCallback([shared](const std::string& r, const std::string& f, uint32_t v) {
            shared->writeRegisterField(r, f, v);
        });
    }
    ~WiredSensor() { sim::unplugCamera(serial); }
};

TEST(Imx6x6Sensor, SequencesHaveTheirFixedLengths) {
    EXPECT_EQ(Imx6x6Sensor::resetSequence().size(), 7u);
    EXPECT_EQ(Imx6x6Sensor::startSequence().size(), 5u);
    EXPECT_EQ(Imx6x6Sensor::powerUpSequence().size(), 27u);
    EXPECT_EQ(Imx6x6Sensor::configurationSequence().size(), 81u);
    uint64_t pauses = 0;
    for (const auto& op : Imx6x6Sensor::configurationSequence()) {
        if (op.kind == RegisterOperation::kPause) pauses += op.delay;
    }
    EXPECT_EQ(pauses, 2'503'610u);  // about 2.5 s on a real sensor
    EXPECT_EQ(Imx6x6Sensor::powerUpSequence().front(), (RegisterOperation{2, 0x70, 0x400008, 0, 0}));
    EXPECT_EQ(Imx6x6Sensor::configurationSequence().back(), (RegisterOperation{2, 0x9000, 0x200, 0, 0}));
}

TEST(Imx6x6Sensor, InitSendsTheSequencesThenTheFieldSetUpsInOrder) {
    WiredSensor wired;
    ASSERT_EQ(wired.sensor.init(wired.device), 0);
    EXPECT_TRUE(wired.sensor.isInitialized());

    std::vector<sim::RegisterWrite> expected = asWrites(Imx6x6Sensor::resetSequence());
    for (const auto* seq : {&Imx6x6Sensor::powerUpSequence(), &Imx6x6Sensor::configurationSequence()}) {
        const auto more = asWrites(*seq);
        expected.insert(expected.end(), more.begin(), more.end());
    }
    const auto writes = sim::registerWrites(wired.serial);
    ASSERT_GE(writes.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(writes[i], expected[i]) << "write " << i;

    // Then one read-modify-write per field: temperature, mirror, LIFO, time base.
    const std::vector<uint32_t> fieldAddresses{0x4C, 0x4C, 0x54, 0x5C, 0x5C, 0x4C, 0x74, 0x74,
                                               0x0C, 0x0C, 0x0C, 0x9008, 0x9008, 0x9008, 0x9008};
    ASSERT_EQ(writes.size(), expected.size() + fieldAddresses.size());
    for (size_t i = 0; i < fieldAddresses.size(); ++i) {
        EXPECT_EQ(writes[expected.size() + i].address, fieldAddresses[i]) << "field write " << i;
    }
    EXPECT_EQ(*sim::registerValue(wired.serial, 0x0C) & 0x7u, 0x7u);  // lifo_en, out_en, cnt_en
    EXPECT_EQ(*sim::registerValue(wired.serial, 0x74) & 0x3u, 0x3u);  // mirror and amplifier on
    EXPECT_EQ(*sim::registerValue(wired.serial, 0x5C) & 0x3u, 0x3u);  // temperature buffer on
    EXPECT_EQ(*sim::registerValue(wired.serial, 0x4C) & 0x3u, 0x1u);  // ADC on, its clock off
    EXPECT_EQ((*sim::registerValue(wired.serial, 0x9008) >> 4) & 0x7Fu, 100u);
}

TEST(Imx6x6Sensor, StreamsBetweenStartAndStop) {
    WiredSensor wired;
    ASSERT_EQ(wired.sensor.init(wired.device), 0);
    EXPECT_FALSE(*sim::readoutRunning(wired.serial));
    const size_t beforeStart = sim::registerWrites(wired.serial).size();
    ASSERT_EQ(wired.sensor.start(), 0);
    const auto afterStart = sim::registerWrites(wired.serial);
    EXPECT_EQ(std::vector<sim::RegisterWrite>(afterStart.begin() + static_cast<long>(beforeStart), afterStart.end()),
              asWrites(Imx6x6Sensor::startSequence()));
    EXPECT_TRUE(*sim::readoutRunning(wired.serial));

    auto decoder = DecoderFactory::createUniqueDecoder("EVT3;height=720;width=1280");
    size_t events = 0;
    decoder->setEventsStreamHandleCallback([&](const Event2D* f, const Event2D* l) { events += static_cast<size_t>(l - f); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (events < 720 * 50 && std::chrono::steady_clock::now() < deadline) {
        if (auto buffer = wired.sensor.getNextBuffer()) decoder->decodeBuffer(**buffer);
    }
    EXPECT_GE(events, 720u * 50);

    const size_t beforeStop = sim::registerWrites(wired.serial).size();
    ASSERT_EQ(wired.sensor.stop(), 0);
    EXPECT_FALSE(*sim::readoutRunning(wired.serial));
    EXPECT_FALSE(wired.sensor.getNextBuffer().has_value());
    const auto afterStop = sim::registerWrites(wired.serial);
    EXPECT_EQ(std::vector<sim::RegisterWrite>(afterStop.begin() + static_cast<long>(beforeStop), afterStop.end()),
              asWrites(Imx6x6Sensor::resetSequence()));
    // start and stop alternate freely.
    ASSERT_EQ(wired.sensor.start(), 0);
    EXPECT_TRUE(*sim::readoutRunning(wired.serial));
    ASSERT_EQ(wired.sensor.stop(), 0);
}

TEST(Imx6x6Sensor, MissingCallbacksAreReportedAndNothingIsWritten) {
    WiredSensor wired;
    {
        test::StdoutCapture capture;
        EXPECT_EQ(wired.sensor.start(), -1);
        EXPECT_NE(capture.finish().find("[error] Please initialize the Imx6x6Sensor first!"), std::string::npos);
    }

    Imx6x6Sensor bare;
    {
        test::StdoutCapture capture;
        EXPECT_EQ(bare.init(wired.device), -1);
        EXPECT_FALSE(bare.isInitialized());
        EXPECT_NE(capture.finish().find("[error] Imx6x6Sensor init failed! No sequence callback provided!"),
                  std::string::npos);
    }
    {
        test::StdoutCapture capture;
        bare.controlLifo(true, true, true);
        bare.timeBaseConfig(true, true);
        EXPECT_NE(capture.finish().find("No write register callback provided!"), std::string::npos);
    }
    EXPECT_TRUE(sim::registerWrites(wired.serial).empty());
    EXPECT_EQ(bare.stop(), -1);  // no way to reach the chip, and no exception either
}

TEST(Imx6x6Sensor, ExternalTimeBaseAloneTouchesThePadSync) {
    WiredSensor wired;
    wired.sensor.timeBaseConfig(false, true);
    for (const auto& write : sim::registerWrites(wired.serial)) EXPECT_NE(write.address, 0x44u);
    wired.sensor.timeBaseConfig(true, true);
    EXPECT_EQ((*sim::registerValue(wired.serial, 0x44) >> 16) & 0xFu, 0xCu);
    wired.sensor.timeBaseConfig(true, false);
    EXPECT_EQ((*sim::registerValue(wired.serial, 0x44) >> 16) & 0xFu, 0xFu);
    EXPECT_EQ(*sim::registerValue(wired.serial, 0x9008) & 0xEu, 0xAu);  // external mode, slave, enabled
}

TEST(Imx6x6Sensor, LifoControlFollowsItsTruthTable) {
    struct Case {
        bool en, out, cnt;
        uint32_t before, after;
    };
    for (const Case c : {Case{true, false, false, 0x6, 0x3}, Case{false, true, true, 0x1, 0x7},
                         Case{false, false, true, 0x3, 0x4}, Case{true, true, false, 0x4, 0x3}}) {
        WiredSensor wired;
        wired.controller->writeRegister(0x0C, c.before);
        wired.sensor.controlLifo(c.en, c.out, c.cnt);
        EXPECT_EQ(*sim::registerValue(wired.serial, 0x0C) & 0x7u, c.after)
            << c.en << c.out << c.cnt;
    }
}

TEST(Imx415Sensor, SizesTransfersToOneNv12FrameAndNeedsItsWriteCallback) {
    Imx415Sensor sensor(1920, 1080);
    EXPECT_EQ(sensor.frameBytes(), 3110400u);
    EXPECT_EQ(sensor.start(), -1);
    EXPECT_EQ(sensor.stop(), 0);  // not initialised: nothing to switch off

    std::vector<std::pair<std::string, uint32_t>> writes;
    sensor.setWriteRegisterCallback([&](const std::string& r, uint32_t v) { writes.emplace_back(r, v); });
    ASSERT_EQ(sensor.init(nullptr), 0);
    EXPECT_EQ(sensor.start(), 0);
    EXPECT_EQ(sensor.stop(), 0);
    EXPECT_EQ(writes, (std::vector<std::pair<std::string, uint32_t>>{{"aps_ctrl", 1}, {"aps_ctrl", 0}}));

    Imx415Sensor unwired(640, 480);
    ASSERT_EQ(unwired.init(nullptr), 0);
    EXPECT_THROW(unwired.start(), std::bad_function_call);
}

}  // namespace
}  // namespace vireo
