// The register controller over a simulated device: field read-modify-writes at the right
// bits, the prefix, unknown names refused without any write, and register sequences.
#include <vireo/RegisterController.h>
#include <vireo/RegisterTables.h>

#include <gtest/gtest.h>

#include <chrono>

#include <vireo/SimulatedCamera.h>
#include <vireo/test/SimulatedCameraSupport.h>

namespace vireo {
namespace {

class RegisterControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::SimulatedCameraConfig config;
        config.real_time = false;
        serial_ = sim::plugCamera(config);
        device_ = UsbInterface::createUsbInterface(test::describe(serial_));
        ASSERT_NE(device_, nullptr);
        std::size_t count = 0;
        const RegisterInfo* table = getImx636RegisterTable(count);
        controller_ = std::make_unique<RegisterController>(device_, table, count, "PSEE/IMX636/");
    }
    void TearDown() override { sim::unplugCamera(serial_); }

    uint32_t deviceValue(uint32_t address) { return *sim::registerValue(serial_, address); }
    size_t writeCount() { return sim::registerWrites(serial_).size(); }

    std::string serial_;
    std::shared_ptr<UsbInterface> device_;
    std::unique_ptr<RegisterController> controller_;
};

TEST_F(RegisterControllerTest, FieldWritesChangeOnlyTheFieldsBits) {
    ASSERT_TRUE(controller_->writeRegister(0x9008, 0xFFFF000F));
    // Reserved_10_4 of ro/time_base_ctrl covers bits 4..10.
    ASSERT_TRUE(controller_->writeRegisterField("ro/time_base_ctrl", "Reserved_10_4", 100));
    EXPECT_EQ(deviceValue(0x9008), 0xFFFF000Fu | (100u << 4));
    // The value is cut to the field's length: 3 bits of dig_crop_enable.
    ASSERT_TRUE(controller_->writeRegisterField("ro/dig_ctrl", "dig_crop_enable", 0xFF));
    EXPECT_EQ(deviceValue(0x900C) & 0xFFu, 0x7u);
    ASSERT_TRUE(controller_->writeRegisterField("ro/time_base_ctrl", "time_base_enable", 0));
    EXPECT_EQ(deviceValue(0x9008), 0xFFFF000Eu | (100u << 4));
    EXPECT_EQ(controller_->readRegisterField("ro/time_base_ctrl", "Reserved_10_4"), 100u);
}

TEST_F(RegisterControllerTest, NamesWorkBareAndWithThePrefix) {
    ASSERT_TRUE(controller_->writeRegister("PSEE/IMX636/bias/bias_diff", 0x1234));
    EXPECT_EQ(controller_->readRegister("bias/bias_diff"), 0x1234u);
    EXPECT_EQ(controller_->readRegister(0x1014), 0x1234u);
    ASSERT_TRUE(controller_->writeRegisterField("PSEE/IMX636/bias/bias_fo", "idac_ctl", 0x2A));
    EXPECT_EQ(deviceValue(0x1004) & 0xFFu, 0x2Au);
    EXPECT_EQ(controller_->getRegisterMap().size(), 742u);
    EXPECT_EQ(controller_->getPrefix(), "PSEE/IMX636/");
}

TEST_F(RegisterControllerTest, UnknownNamesAreRefusedAndNothingIsWritten) {
    const size_t before = writeCount();
    EXPECT_FALSE(controller_->writeRegisterField("no_such_register", "x", 1));
    EXPECT_FALSE(controller_->writeRegisterField("ro/time_base_ctrl", "no_such_field", 1));
    EXPECT_FALSE(controller_->writeRegister("PSEE/IMX636/", 1));
    EXPECT_FALSE(controller_->writeRegister("psee/imx636/ro/ro_ctrl", 1));  // names are exact
    EXPECT_FALSE(controller_->readRegister("no_such_register").has_value());
    EXPECT_EQ(writeCount(), before);
}

TEST_F(RegisterControllerTest, WritesFailOnceTheDeviceIsGone) {
    sim::unplugCamera(serial_);
    EXPECT_FALSE(controller_->writeRegisterField("ro/ro_ctrl", "output_disable", 1));
    EXPECT_FALSE(controller_->writeRegister(0x9028, 2));
    EXPECT_FALSE(controller_->readRegister(0x9028).has_value());
    EXPECT_FALSE(controller_->ApplyRegisterOperationSequence({{2, 0x9028, 2, 0, 0}}));
}

TEST_F(RegisterControllerTest, SequencesApplyWritesMaskedWritesAndPausesInOrder) {
    ASSERT_TRUE(controller_->writeRegister(0x4, 0x0000FFFF));
    const size_t before = writeCount();
    const std::vector<RegisterOperation> sequence{
        {RegisterOperation::kWrite, 0x2C, 0x0022C324, 0, 0},
        {RegisterOperation::kPause, 0, 0, 0, 1000},
        {RegisterOperation::kMaskedWrite, 0x4, 0xF0005442, 0x400, 0},
    };
    EXPECT_TRUE(controller_->ApplyRegisterOperationSequence(sequence));
    const auto writes = sim::registerWrites(serial_);
    ASSERT_EQ(writes.size(), before + 2);
    EXPECT_EQ(writes[before], (sim::RegisterWrite{0x2C, 0x0022C324, 0xFFFFFFFF}));
    EXPECT_EQ(writes[before + 1], (sim::RegisterWrite{0x4, 0xF0005442, 0x400}));
    EXPECT_EQ(deviceValue(0x4), 0x0000FFFFu);  // bit 10 was already set

    // An unknown kind is skipped and reported, and the rest still runs.
    EXPECT_FALSE(controller_->ApplyRegisterOperationSequence({{7, 0x2C, 1, 0, 0}, {2, 0x2C, 5, 0, 0}}));
    EXPECT_EQ(deviceValue(0x2C), 5u);
}

TEST_F(RegisterControllerTest, PausesAreKeptUnlessTheDeviceSkipsThem) {
    // The simulated device lets the controller skip an hour-long pause.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(controller_->ApplyRegisterOperationSequence({{4, 0, 0, 0, 3600u * 1000000u}}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));

    sim::SimulatedCameraConfig config;
    config.skip_pauses = false;
    const std::string serial = sim::plugCamera(config);
    auto device = UsbInterface::createUsbInterface(test::describe(serial));
    std::size_t count = 0;
    RegisterController slow(device, getImx636RegisterTable(count), count, "PSEE/IMX636/");
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(slow.ApplyRegisterOperationSequence({{4, 0, 0, 0, 20000}}));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::microseconds(20000));
    sim::unplugCamera(serial);
}

TEST(RegisterController, WithoutADeviceItOnlyAnswersLookups) {
    std::size_t count = 0;
    const RegisterInfo* table = getApsCtrlRegisterTable(count);
    RegisterController controller(nullptr, table, count, " ");
    EXPECT_NE(controller.getRegisterMap().find("aps_ctrl"), nullptr);
    EXPECT_FALSE(controller.writeRegisterWithControlTransfer("aps_ctrl", 1));
    EXPECT_FALSE(controller.readRegister("aps_ctrl").has_value());
}

}  // namespace
}  // namespace vireo

namespace vireo {
namespace {

TEST(SimulatedSensor, StartsFromTheRegisterTablesResetValues) {
    const std::string serial = sim::plugCamera({});
    // bias/bias_diff: idac_ctl 0x4D in bits 7..0, Reserved_27_8 0x1A150 in bits 27..8.
    EXPECT_EQ(*sim::registerValue(serial, 0x1014), 0x4Du | (0x1A150u << 8));
    // roi_win_end_addr: end x 0x4FF, end y 0x2CF.
    EXPECT_EQ(*sim::registerValue(serial, 0x003C), 0x4FFu | (0x2CFu << 16));
    // The chip identity stays, and the readout is off until the start sequence.
    EXPECT_EQ(*sim::registerValue(serial, 0x0014), 0xA0401806u);
    EXPECT_FALSE(*sim::readoutRunning(serial));
    sim::unplugCamera(serial);
}

}  // namespace
}  // namespace vireo
