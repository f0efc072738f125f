// Camera tools: the catalogue an opened camera lists, every parameter written to and read back
// from the simulated device's registers, refused values that leave the registers untouched,
// the frame-sensor tool over its own table, and the tools' effect on the decoded stream
// (region of interest and its complement, event-rate limit, trigger input enable).
#include <vireo/DvsCameraManager.h>
#include <vireo/Imx415ApsCtrl.h>
#include <vireo/Imx636Tools.h>
#include <vireo/RegisterMap.h>
#include <vireo/RegisterTables.h>
#include <vireo/UsbInterface.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <tuple>

#include <gtest/gtest.h>

#include "../../hal/src/sim/SensorRegisters.h"
#include "test_camera_support.h"

namespace vireo {
namespace {

using test::PluggedCamera;
using test::waitFor;

// An opened, unstarted simulated camera.
struct OpenedCamera {
    PluggedCamera plugged;
    DvsCameraManager manager;
    std::shared_ptr<DvsCamera> camera;

    explicit OpenedCamera(const sim::SimulatedCameraConfig& config = test::fastCameraConfig()) : plugged(config) {
        manager.updateCameras();
        camera = manager.openCamera(plugged.serial);
    }
    ~OpenedCamera() {
        if (camera) camera->stop();
    }

    std::shared_ptr<CameraTool> tool(ToolType type) const { return camera->getTool(type); }
    uint32_t reg(uint32_t address) const { return sim::registerValue(plugged.serial, address).value_or(0xDEADBEEF); }
    size_t writeCount() const { return sim::registerWrites(plugged.serial).size(); }
};

// Tools built directly on a plugged camera's transport, without the sensor's start-up writes,
// so the registers hold their reset values.
struct BareTools {
    PluggedCamera plugged;
    std::shared_ptr<RegisterController> controller;

    explicit BareTools(const RegisterInfo* (*table)(std::size_t&) = &getImx636RegisterTable,
                       const char* prefix = "PSEE/IMX636/") {
        CameraDescription desc;
        for (const auto& d : UsbInterface::findUsbDvsCamera(1205, 1)) {
            if (d.serial == plugged.serial) desc = d;
        }
        std::size_t count = 0;
        const RegisterInfo* entries = table(count);
        controller = std::make_shared<RegisterController>(UsbInterface::createUsbInterface(desc), entries, count, prefix);
    }
    uint32_t reg(uint32_t address) const { return sim::registerValue(plugged.serial, address).value_or(0xDEADBEEF); }
    std::vector<sim::RegisterWrite> writes() const { return sim::registerWrites(plugged.serial); }
};

std::vector<std::shared_ptr<CameraTool>> allImx636Tools(const std::shared_ptr<RegisterController>& c) {
    return {std::make_shared<Imx636Biases>(c),           std::make_shared<Imx636TriggerIn>(c),
            std::make_shared<Imx636Sync>(c),             std::make_shared<Imx636AntiFlicker>(c),
            std::make_shared<Imx636EventTrailFilter>(c), std::make_shared<Imx636EventRateControl>(c),
            std::make_shared<Imx636ROI>(c)};
}

std::shared_ptr<RegisterController> controllerOf(const std::shared_ptr<CameraTool>& tool) {
    const auto withRegisters = std::dynamic_pointer_cast<CameraToolRegister>(tool);
    return withRegisters ? withRegisters->getRegisterController() : nullptr;
}

uint32_t bits(uint32_t value, int hi, int lo) { return (value >> lo) & ((hi - lo == 31) ? ~0u : ((1u << (hi - lo + 1)) - 1)); }

// ---- the catalogue ----

TEST(CameraTools, OpenedCameraListsTheSevenToolsInTypeOrder) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    const auto infos = opened.camera->getAllToolsInfo();
    ASSERT_EQ(infos.size(), 7u);
    const std::vector<std::pair<std::vector<std::string>, std::string>> expected{
        {{"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
         "Biases of DVS cameras with IMX636 sensor"},
        {{"enable"}, "Trigger in of DVS cameras with IMX636 sensors"},
        {{"mode"}, "Sync of DVS cameras with IMX636 sensors"},
        {{"duty_cycle", "enable", "high_frequency", "low_frequency", "mode", "start_threshold", "stop_threshold"},
         "Anti flicker of DVS cameras with IMX636 sensor."},
        {{"enable", "threshold", "type"}, "Event Trail Filter of DVS cameras with IMX636 sensor"},
        {{"enable", "max_event_rate"}, "ERC of DVS cameras with IMX636 sensor"},
        {{"enable", "mode", "x", "y", "x_width", "y_height"}, "ROI of DVS cameras with IMX636 sensor"},
    };
    for (size_t i = 0; i < infos.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(infos[i].type, static_cast<ToolType>(i));
        EXPECT_EQ(infos[i].parameters, expected[i].first);
        EXPECT_EQ(infos[i].description, expected[i].second);
        // Every listed name is described, and nothing else is.
        const auto described = opened.tool(static_cast<ToolType>(i))->getAllParamInfo();
        EXPECT_EQ(described.size(), infos[i].parameters.size());
        for (const auto& name : infos[i].parameters) EXPECT_EQ(described.count(name), 1u) << name;
    }
}

TEST(CameraTools, AbsentToolThrowsAndRecordsAreFreshCopies) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    try {
        opened.camera->getToolInfo(TOOL_APS_CTRL);
        FAIL() << "no exception for an absent tool";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Tool not found");
    }
    EXPECT_EQ(opened.camera->getTool(TOOL_APS_CTRL), nullptr);

    ToolInfo first = opened.camera->getToolInfo(TOOL_EVENT_RATE_CONTROL);
    const ToolInfo second = opened.camera->getToolInfo(TOOL_EVENT_RATE_CONTROL);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.parameters, (std::vector<std::string>{"enable", "max_event_rate"}));
    first.parameters.push_back("changed");
    first.description.clear();
    EXPECT_EQ(opened.camera->getToolInfo(TOOL_EVENT_RATE_CONTROL), second);
}

TEST(CameraTools, DescribedDefaultsAreTheResetState) {
    BareTools bare;
    for (const auto& tool : allImx636Tools(bare.controller)) {
        for (const auto& [name, basic] : tool->getAllParamInfo()) {
            SCOPED_TRACE(tool->getToolInfo().description + " / " + name);
            EXPECT_EQ(basic.name, name);
            EXPECT_FALSE(basic.description.empty());
            switch (basic.type) {
                case ParameterType::Bool: {
                    BoolParameterInfo info;
                    bool value = !info.default_value;
                    ASSERT_TRUE(tool->getParamInfo(name, info));
                    ASSERT_TRUE(tool->getParam(name, value));
                    EXPECT_EQ(value, info.default_value);
                    break;
                }
                case ParameterType::Int: {
                    IntParameterInfo info;
                    int value = -1;
                    ASSERT_TRUE(tool->getParamInfo(name, info));
                    ASSERT_TRUE(tool->getParam(name, value));
                    EXPECT_EQ(value, info.default_value);
                    EXPECT_LE(info.min, info.default_value);
                    EXPECT_GE(info.max, info.default_value);
                    break;
                }
                case ParameterType::Float: {
                    FloatParameterInfo info;
                    float value = -1;
                    ASSERT_TRUE(tool->getParamInfo(name, info));
                    ASSERT_TRUE(tool->getParam(name, value));
                    EXPECT_FLOAT_EQ(value, info.default_value);
                    EXPECT_LE(info.min, info.default_value);
                    EXPECT_GE(info.max, info.default_value);
                    break;
                }
                case ParameterType::Enum: {
                    EnumParameterInfo info;
                    std::string value;
                    ASSERT_TRUE(tool->getParamInfo(name, info));
                    ASSERT_TRUE(tool->getParam(name, value));
                    EXPECT_EQ(value, info.default_value);
                    EXPECT_NE(std::find(info.values.begin(), info.values.end(), value), info.values.end());
                    break;
                }
            }
            // The other description forms refuse the name.
            IntParameterInfo asInt;
            EnumParameterInfo asEnum;
            if (basic.type != ParameterType::Int) {
                EXPECT_FALSE(tool->getParamInfo(name, asInt));
            }
            if (basic.type != ParameterType::Enum) {
                EXPECT_FALSE(tool->getParamInfo(name, asEnum));
            }
        }
    }
    // The figures users see first.
    IntParameterInfo diff;
    ASSERT_TRUE(Imx636Biases(bare.controller).getParamInfo("bias_diff", diff));
    EXPECT_EQ(diff.default_value, 0x4D);
    EXPECT_EQ(diff.max, 255);
    IntParameterInfo rate;
    ASSERT_TRUE(Imx636EventRateControl(bare.controller).getParamInfo("max_event_rate", rate));
    EXPECT_EQ(rate.default_value, 1000000);
}

// ---- parameters through the registers ----

TEST(CameraTools, BiasesWriteIdacCtlWithSingleTransferAndReadTheDevice) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto biases = opened.tool(TOOL_BIASES);
    const std::pair<const char*, uint32_t> registers[] = {
        {"bias_fo", 0x1004},   {"bias_hpf", 0x100C},      {"bias_diff_on", 0x1010},
        {"bias_diff", 0x1014}, {"bias_diff_off", 0x1018}, {"bias_refr", 0x1020},
    };
    int value = 0;
    for (const auto& [name, address] : registers) {
        SCOPED_TRACE(name);
        const uint32_t before = opened.reg(address);
        ASSERT_TRUE(biases->setParam(name, 200 - static_cast<int>(address & 0xFF)));
        const uint32_t after = opened.reg(address);
        EXPECT_EQ(bits(after, 7, 0), 200 - (address & 0xFF));
        EXPECT_EQ(bits(after, 28, 28), 1u);
        EXPECT_EQ(bits(after, 27, 8), bits(before, 27, 8));  // reserved bits kept
        ASSERT_TRUE(biases->getParam(name, value));
        EXPECT_EQ(value, static_cast<int>(200 - (address & 0xFF)));
    }
    // Read from the device every time: a write that bypasses the tool shows at once.
    const auto controller = controllerOf(biases);
    ASSERT_NE(controller, nullptr);
    ASSERT_TRUE(controller->writeRegister("bias/bias_fo", 0x10000007));
    ASSERT_TRUE(biases->getParam("bias_fo", value));
    EXPECT_EQ(value, 7);
    // Limits are accepted.
    EXPECT_TRUE(biases->setParam("bias_refr", 0));
    EXPECT_TRUE(biases->setParam("bias_refr", 255));
    EXPECT_EQ(bits(opened.reg(0x1020), 7, 0), 255u);
}

TEST(CameraTools, TriggerSyncAndRateControlFieldsFollowTheirParameters) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto trigger = opened.tool(TOOL_TRIGGER_IN);
    bool enabled = true;
    ASSERT_TRUE(trigger->setParam("enable", false));
    EXPECT_EQ(bits(opened.reg(0x7004), 10, 10), 0u);
    ASSERT_TRUE(trigger->getParam("enable", enabled));
    EXPECT_FALSE(enabled);
    ASSERT_TRUE(trigger->setParam("enable", true));
    EXPECT_EQ(bits(opened.reg(0x7004), 10, 10), 1u);

    auto sync = opened.tool(TOOL_SYNC);
    const uint32_t timeBaseEnable = bits(opened.reg(0x9008), 0, 0);
    std::string mode;
    // (time_base_mode, external_mode, external_mode_enable) per mode.
    const std::tuple<const char*, uint32_t, uint32_t, uint32_t> modes[] = {
        {"master", 0, 1, 1}, {"slave", 1, 0, 1}, {"standalone", 0, 0, 0}};
    for (const auto& [name, tbMode, external, enable] : modes) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(sync->setParam("mode", name));
        const uint32_t r = opened.reg(0x9008);
        EXPECT_EQ(bits(r, 1, 1), tbMode);
        EXPECT_EQ(bits(r, 2, 2), external);
        EXPECT_EQ(bits(r, 3, 3), enable);
        EXPECT_EQ(bits(r, 0, 0), timeBaseEnable);  // the running time base is left alone
        ASSERT_TRUE(sync->getParam("mode", mode));
        EXPECT_EQ(mode, name);
    }

    auto erc = opened.tool(TOOL_EVENT_RATE_CONTROL);
    ASSERT_TRUE(erc->setParam("enable", true));
    EXPECT_EQ(bits(opened.reg(0x6028), 0, 0), 1u);
    ASSERT_TRUE(erc->setParam("max_event_rate", 2500000));
    EXPECT_EQ(bits(opened.reg(0x6008), 9, 0), 1000u);
    EXPECT_EQ(bits(opened.reg(0x600C), 21, 0), 2500u);
    int rate = 0;
    ASSERT_TRUE(erc->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 2500000);
    // Held in steps of 1000 events per second: the nearest step is what reads back.
    ASSERT_TRUE(erc->setParam("max_event_rate", 12345));
    ASSERT_TRUE(erc->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 12000);
    // A period written by someone else is read with the target.
    const auto controller = controllerOf(erc);
    ASSERT_NE(controller, nullptr);
    ASSERT_TRUE(controller->writeRegisterField("erc/reference_period", "erc_reference_period", 500));
    ASSERT_TRUE(erc->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 24000);
    // A zero period describes no limit at all; it reads as 0 instead of dividing by zero.
    ASSERT_TRUE(controller->writeRegisterField("erc/reference_period", "erc_reference_period", 0));
    ASSERT_TRUE(erc->getParam("max_event_rate", rate));
    EXPECT_EQ(rate, 0);
}

TEST(CameraTools, AntiFlickerBandDutyCycleThresholdsAndMode) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto afk = opened.tool(TOOL_ANTI_FLICKER);
    bool enabled = true;
    ASSERT_TRUE(afk->setParam("enable", false));
    EXPECT_EQ(bits(opened.reg(0xC000), 2, 2), 1u);
    ASSERT_TRUE(afk->getParam("enable", enabled));
    EXPECT_FALSE(enabled);
    ASSERT_TRUE(afk->setParam("enable", true));
    EXPECT_EQ(bits(opened.reg(0xC000), 2, 2), 0u);

    std::string mode;
    ASSERT_TRUE(afk->setParam("mode", "band_pass"));
    EXPECT_EQ(bits(opened.reg(0xC004), 6, 6), 1u);
    ASSERT_TRUE(afk->getParam("mode", mode));
    EXPECT_EQ(mode, "band_pass");

    // 100 Hz is 78.125 steps of 128 us: held as 78, read back as 1e6 / (128 * 78).
    float frequency = 0;
    ASSERT_TRUE(afk->setParam("low_frequency", 100.0f));
    EXPECT_EQ(bits(opened.reg(0xC008), 15, 8), 78u);
    ASSERT_TRUE(afk->getParam("low_frequency", frequency));
    EXPECT_NEAR(frequency, 1e6 / (128.0 * 78), 1e-3);
    // A double literal reaches the float parameter.
    ASSERT_TRUE(afk->setParam("high_frequency", 1000.0));
    EXPECT_EQ(bits(opened.reg(0xC008), 7, 0), 8u);
    ASSERT_TRUE(afk->getParam("high_frequency", frequency));
    EXPECT_NEAR(frequency, 976.5625, 1e-3);

    int value = 0;
    ASSERT_TRUE(afk->setParam("duty_cycle", 25));
    EXPECT_EQ(bits(opened.reg(0xC008), 19, 16), 12u);
    ASSERT_TRUE(afk->getParam("duty_cycle", value));
    EXPECT_EQ(value, 25);
    ASSERT_TRUE(afk->setParam("start_threshold", 7));
    ASSERT_TRUE(afk->setParam("stop_threshold", 2));
    EXPECT_EQ(bits(opened.reg(0xC004), 5, 3), 7u);
    EXPECT_EQ(bits(opened.reg(0xC004), 2, 0), 2u);
    ASSERT_TRUE(afk->getParam("stop_threshold", value));
    EXPECT_EQ(value, 2);
}

TEST(CameraTools, TrailFilterTypeThresholdAndEnableKeepEachOther) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto stc = opened.tool(TOOL_EVENT_TRAIL_FILTER);
    bool enabled = true;
    std::string type;
    int threshold = 0;
    ASSERT_TRUE(stc->getParam("enable", enabled));
    EXPECT_FALSE(enabled);

    // Choosing a type while off keeps the filter off.
    ASSERT_TRUE(stc->setParam("type", "trail"));
    ASSERT_TRUE(stc->getParam("enable", enabled));
    EXPECT_FALSE(enabled);
    EXPECT_EQ(bits(opened.reg(0xD008), 0, 0), 1u);
    EXPECT_EQ(bits(opened.reg(0xD004), 0, 0), 0u);
    ASSERT_TRUE(stc->setParam("threshold", 5000));
    EXPECT_EQ(bits(opened.reg(0xD008), 19, 1), 5000u);
    ASSERT_TRUE(stc->setParam("enable", true));
    EXPECT_EQ(bits(opened.reg(0xD000), 2, 2), 0u);
    ASSERT_TRUE(stc->getParam("enable", enabled));
    EXPECT_TRUE(enabled);

    ASSERT_TRUE(stc->setParam("type", "stc_keep_trail"));
    EXPECT_EQ(bits(opened.reg(0xD004), 0, 0), 1u);
    EXPECT_EQ(bits(opened.reg(0xD004), 24, 24), 1u);
    EXPECT_EQ(bits(opened.reg(0xD008), 0, 0), 0u);
    ASSERT_TRUE(stc->setParam("threshold", 20000));
    EXPECT_EQ(bits(opened.reg(0xD004), 19, 1), 20000u);
    EXPECT_EQ(bits(opened.reg(0xD008), 19, 1), 5000u);  // the trail threshold is kept
    ASSERT_TRUE(stc->getParam("threshold", threshold));
    EXPECT_EQ(threshold, 20000);

    // Off and on again: the type survives.
    ASSERT_TRUE(stc->setParam("enable", false));
    EXPECT_EQ(bits(opened.reg(0xD000), 2, 2), 1u);
    ASSERT_TRUE(stc->getParam("type", type));
    EXPECT_EQ(type, "stc_keep_trail");
    ASSERT_TRUE(stc->setParam("type", "stc_cut_trail"));
    EXPECT_EQ(bits(opened.reg(0xD004), 24, 24), 0u);
    ASSERT_TRUE(stc->getParam("enable", enabled));
    EXPECT_FALSE(enabled);
}

TEST(CameraTools, RoiWindowBecomesColumnAndRowMasks) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto roi = opened.tool(TOOL_ROI);
    ASSERT_TRUE(roi->setParam("x_width", 40));
    ASSERT_TRUE(roi->setParam("x", 30));   // columns 30..69
    ASSERT_TRUE(roi->setParam("y_height", 1));
    ASSERT_TRUE(roi->setParam("y", 719));  // the last row
    ASSERT_TRUE(roi->setParam("mode", "roni"));
    ASSERT_TRUE(roi->setParam("enable", true));

    EXPECT_EQ(opened.reg(0x2000), 0x3FFFFFFFu);  // columns 0..29 off, 30 and 31 on
    EXPECT_EQ(opened.reg(0x2004), 0x00000000u);  // 32..63 on
    EXPECT_EQ(opened.reg(0x2008), 0xFFFFFFC0u);  // 64..69 on
    for (uint32_t r = 3; r < 40; ++r) EXPECT_EQ(opened.reg(0x2000 + 4 * r), 0xFFFFFFFFu) << r;
    for (uint32_t r = 0; r < 22; ++r) EXPECT_EQ(opened.reg(0x4000 + 4 * r), 0xFFFFFFFFu) << r;
    EXPECT_EQ(opened.reg(0x4058), 0xFFFF7FFFu);  // row 719 is bit 15 of the last register
    EXPECT_EQ(bits(opened.reg(0x0004), 1, 1), 1u);
    EXPECT_EQ(bits(opened.reg(0x0004), 6, 6), 0u);
    EXPECT_EQ(bits(opened.reg(0x0004), 5, 5), 1u);  // masks loaded

    int value = 0;
    std::string mode;
    const std::pair<const char*, int> expected[] = {{"x", 30}, {"x_width", 40}, {"y", 719}, {"y_height", 1}};
    for (const auto& [name, v] : expected) {
        ASSERT_TRUE(roi->getParam(name, value)) << name;
        EXPECT_EQ(value, v) << name;
    }
    ASSERT_TRUE(roi->getParam("mode", mode));
    EXPECT_EQ(mode, "roni");
}

// The mask words that open exactly [start, start + length) of `lines` lines, 32 lines a word.
std::vector<uint32_t> expectedMasks(int start, int length, int lines, int words) {
    std::vector<uint32_t> masks(static_cast<size_t>(words), 0);
    for (int line = 0; line < words * 32; ++line) {
        const bool open = line >= start && line < start + length && line < lines;
        if (!open) masks[static_cast<size_t>(line / 32)] |= 1u << (line % 32);
    }
    return masks;
}

// Checks the column masks (0x2000, 40 words) and row masks (0x4000, 23 words) against a window
// and the four coordinates read back.
void expectWindow(const OpenedCamera& opened, CameraTool& roi, int x, int y, int width, int height) {
    const auto columns = expectedMasks(x, width, 1280, 40);
    const auto rows = expectedMasks(y, height, 720, 23);
    for (uint32_t r = 0; r < 40; ++r) EXPECT_EQ(opened.reg(0x2000 + 4 * r), columns[r]) << "column word " << r;
    for (uint32_t r = 0; r < 23; ++r) EXPECT_EQ(opened.reg(0x4000 + 4 * r), rows[r]) << "row word " << r;
    const std::pair<const char*, int> expected[] = {{"x", x}, {"y", y}, {"x_width", width}, {"y_height", height}};
    for (const auto& [name, v] : expected) {
        int value = -1;
        ASSERT_TRUE(roi.getParam(name, value)) << name;
        EXPECT_EQ(value, v) << name;
    }
}

// The fault: with the default width of 1280, x = 100 was refused ("the window would leave the
// sensor"), so a window could only be set size first.
TEST(CameraTools, RoiCoordinatesReachTheWindowInEitherOrder) {
    const std::vector<std::vector<std::pair<const char*, int>>> orders{
        {{"x", 100}, {"y", 50}, {"x_width", 640}, {"y_height", 360}},
        {{"x_width", 640}, {"y_height", 360}, {"x", 100}, {"y", 50}},
        {{"y", 50}, {"x_width", 640}, {"x", 100}, {"y_height", 360}},
    };
    for (const auto& order : orders) {
        SCOPED_TRACE(order.front().first);
        OpenedCamera opened;
        ASSERT_NE(opened.camera, nullptr);
        auto roi = opened.tool(TOOL_ROI);
        for (const auto& [name, value] : order) ASSERT_TRUE(roi->setParam(name, value)) << name;
        expectWindow(opened, *roi, 100, 50, 640, 360);
    }
}

TEST(CameraTools, RoiWindowPastTheEdgeIsClippedAndTheAskedSizeKept) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto roi = opened.tool(TOOL_ROI);
    // Moved first: the masks open up to the far edge and read back the part that fits.
    ASSERT_TRUE(roi->setParam("x", 1000));
    ASSERT_TRUE(roi->setParam("y", 719));
    expectWindow(opened, *roi, 1000, 719, 280, 1);
    ASSERT_TRUE(roi->setParam("x_width", 200));
    expectWindow(opened, *roi, 1000, 719, 200, 1);
    // Widened in place past the edge, then moved back: the asked width of 640 is what moves,
    // not the 280 columns that fitted meanwhile.
    ASSERT_TRUE(roi->setParam("x_width", 640));
    expectWindow(opened, *roi, 1000, 719, 280, 1);
    ASSERT_TRUE(roi->setParam("x", 100));
    ASSERT_TRUE(roi->setParam("y", 0));
    expectWindow(opened, *roi, 100, 0, 640, 720);
    // The last column and row alone.
    ASSERT_TRUE(roi->setParam("x", 1279));
    ASSERT_TRUE(roi->setParam("y_height", 1));
    ASSERT_TRUE(roi->setParam("y", 719));
    expectWindow(opened, *roi, 1279, 719, 1, 1);
}

TEST(CameraTools, RoiWindowChangedElsewhereIsTheOneMoved) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto roi = opened.tool(TOOL_ROI);
    ASSERT_TRUE(roi->setParam("y", 0));  // writes the row masks (the start-up leaves them 0)
    ASSERT_TRUE(roi->setParam("x_width", 640));
    ASSERT_TRUE(roi->setParam("x", 1000));  // asked 1000 + 640, holds 1000..1279
    // A second tool object on the same registers sets another window.
    Imx636ROI other(controllerOf(roi));
    ASSERT_TRUE(other.setParam("x_width", 100));
    ASSERT_TRUE(other.setParam("x", 0));
    // The first tool's asked width no longer matches the masks: they win.
    ASSERT_TRUE(roi->setParam("x", 500));
    expectWindow(opened, *roi, 500, 0, 100, 720);
}

TEST(CameraTools, ApsControlReadsAndWritesTheFrameSensorTable) {
    BareTools bare(&getApsCtrlRegisterTable, " ");
    Imx415ApsCtrl aps(bare.controller);
    const ToolInfo info = aps.getToolInfo();
    EXPECT_EQ(info.type, TOOL_APS_CTRL);
    EXPECT_EQ(info.description, "Ctrl of APS cameras with IMX415 sonsors");
    EXPECT_EQ(info.parameters, (std::vector<std::string>{"auto_exposure", "auto_white_balance", "black_level",
                                                         "enable", "shutter_sweep_time"}));
    EXPECT_TRUE(std::is_sorted(info.parameters.begin(), info.parameters.end()));

    IntParameterInfo black;
    ASSERT_TRUE(aps.getParamInfo("black_level", black));
    EXPECT_EQ(black.default_value, 50);
    EXPECT_EQ(black.max, 1023);
    BoolParameterInfo autoExposure;
    ASSERT_TRUE(aps.getParamInfo("auto_exposure", autoExposure));
    EXPECT_TRUE(autoExposure.default_value);

    ASSERT_TRUE(aps.setParam("enable", true));
    ASSERT_TRUE(aps.setParam("auto_exposure", true));
    ASSERT_TRUE(aps.setParam("shutter_sweep_time", 0xABCDE));
    ASSERT_TRUE(aps.setParam("black_level", 1023));
    EXPECT_EQ(bare.reg(0x5000), 1u);
    EXPECT_EQ(bare.reg(0x5001), 1u);
    EXPECT_EQ(bare.reg(0x5002), 0xABCDEu);
    EXPECT_EQ(bare.reg(0x5004), 1023u);
    int value = 0;
    ASSERT_TRUE(aps.getParam("shutter_sweep_time", value));
    EXPECT_EQ(value, 0xABCDE);
    ASSERT_TRUE(aps.setParam("auto_exposure", false));
    bool on = true;
    ASSERT_TRUE(aps.getParam("auto_exposure", on));
    EXPECT_FALSE(on);

    const size_t before = bare.writes().size();
    EXPECT_FALSE(aps.setParam("black_level", 1024));
    EXPECT_FALSE(aps.setParam("shutter_sweep_time", 0));
    EXPECT_FALSE(aps.setParam("enable", 1));
    EXPECT_EQ(bare.writes().size(), before);
}

// ---- refused values ----

TEST(CameraTools, RefusedValuesWriteNothing) {
    OpenedCamera opened;
    ASSERT_NE(opened.camera, nullptr);
    auto biases = opened.tool(TOOL_BIASES);
    auto trigger = opened.tool(TOOL_TRIGGER_IN);
    auto sync = opened.tool(TOOL_SYNC);
    auto afk = opened.tool(TOOL_ANTI_FLICKER);
    auto stc = opened.tool(TOOL_EVENT_TRAIL_FILTER);
    auto erc = opened.tool(TOOL_EVENT_RATE_CONTROL);
    auto roi = opened.tool(TOOL_ROI);
    ASSERT_TRUE(roi->setParam("x_width", 1000));
    ASSERT_TRUE(roi->setParam("x", 200));
    ASSERT_TRUE(afk->setParam("start_threshold", 5));
    ASSERT_TRUE(afk->setParam("stop_threshold", 3));

    const size_t before = opened.writeCount();
    // Wrong value types.
    EXPECT_FALSE(biases->setParam("bias_fo", true));
    EXPECT_FALSE(biases->setParam("bias_fo", 1.5));  // no truncation to an int
    EXPECT_FALSE(biases->setParam("bias_fo", "10"));
    EXPECT_FALSE(trigger->setParam("enable", 1));
    EXPECT_FALSE(trigger->setParam("enable", "true"));
    EXPECT_FALSE(sync->setParam("mode", 1));
    EXPECT_FALSE(afk->setParam("low_frequency", 100));  // an int does not reach a float parameter
    EXPECT_FALSE(erc->setParam("max_event_rate", 1e6));
    EXPECT_FALSE(erc->setParam("enable", 1.0f));
    // Unknown names and a null string.
    EXPECT_FALSE(biases->setParam("bias_unknown", 10));
    EXPECT_FALSE(biases->setParam("", 10));
    EXPECT_FALSE(roi->setParam("width", 10));
    EXPECT_FALSE(sync->setParam("mode", static_cast<const char*>(nullptr)));
    // Out of range, not among the values, or against the other parameters.
    EXPECT_FALSE(biases->setParam("bias_diff", 256));
    EXPECT_FALSE(biases->setParam("bias_diff", -1));
    EXPECT_FALSE(sync->setParam("mode", "Master"));
    EXPECT_FALSE(sync->setParam("mode", ""));
    EXPECT_FALSE(afk->setParam("mode", "notch"));
    EXPECT_FALSE(afk->setParam("low_frequency", 20.0));
    EXPECT_FALSE(afk->setParam("low_frequency", std::nan("")));
    EXPECT_FALSE(afk->setParam("high_frequency", 1e40));
    EXPECT_FALSE(afk->setParam("low_frequency", 600.0));  // above high_frequency (520 Hz)
    EXPECT_FALSE(afk->setParam("high_frequency", 40.0));  // below low_frequency (50 Hz)
    EXPECT_FALSE(afk->setParam("duty_cycle", 0));
    EXPECT_FALSE(afk->setParam("duty_cycle", 101));
    EXPECT_FALSE(afk->setParam("start_threshold", 2));  // below stop_threshold
    EXPECT_FALSE(afk->setParam("stop_threshold", 6));   // above start_threshold
    EXPECT_FALSE(afk->setParam("stop_threshold", 8));
    EXPECT_FALSE(stc->setParam("threshold", 0));
    EXPECT_FALSE(stc->setParam("threshold", 1 << 19));
    EXPECT_FALSE(stc->setParam("type", "stc"));
    EXPECT_FALSE(erc->setParam("max_event_rate", 999));
    EXPECT_FALSE(erc->setParam("max_event_rate", 1000000001));
    EXPECT_FALSE(roi->setParam("x", 1280));
    EXPECT_FALSE(roi->setParam("x", -1));
    EXPECT_FALSE(roi->setParam("x_width", 1281));
    EXPECT_FALSE(roi->setParam("x_width", 0));
    EXPECT_FALSE(roi->setParam("y", -1));
    EXPECT_FALSE(roi->setParam("y", 720));
    EXPECT_FALSE(roi->setParam("y_height", 721));
    EXPECT_FALSE(roi->setParam("mode", "window"));
    EXPECT_EQ(opened.writeCount(), before);

    // Reads of the wrong type are refused and leave the output alone.
    int asInt = 42;
    float asFloat = 4.2f;
    std::string asString = "kept";
    bool asBool = true;
    EXPECT_FALSE(trigger->getParam("enable", asInt));
    EXPECT_FALSE(biases->getParam("bias_fo", asFloat));
    EXPECT_FALSE(biases->getParam("bias_fo", asString));
    EXPECT_FALSE(sync->getParam("mode", asBool));
    EXPECT_FALSE(roi->getParam("nothing", asInt));
    EXPECT_EQ(asInt, 42);
    EXPECT_EQ(asFloat, 4.2f);
    EXPECT_EQ(asString, "kept");
    EXPECT_TRUE(asBool);
    // The window is still the one set.
    ASSERT_TRUE(roi->getParam("x", asInt));
    EXPECT_EQ(asInt, 200);
}

TEST(CameraTools, ToolOfAnUnpluggedCameraFailsWithoutThrowing) {
    auto opened = std::make_unique<OpenedCamera>();
    ASSERT_NE(opened->camera, nullptr);
    auto biases = opened->tool(TOOL_BIASES);
    auto roi = opened->tool(TOOL_ROI);
    sim::unplugCamera(opened->plugged.serial);
    int value = -7;
    EXPECT_FALSE(biases->getParam("bias_fo", value));
    EXPECT_EQ(value, -7);
    EXPECT_FALSE(biases->setParam("bias_fo", 3));
    EXPECT_FALSE(roi->setParam("x_width", 3));
    EXPECT_FALSE(roi->getParam("x", value));
}

// ---- effects on the stream ----

// The simulator decodes the registers by address: they must be the driver table's.
TEST(CameraTools, SimulatorRegisterAddressesMatchTheSensorTable) {
    std::size_t count = 0;
    const RegisterInfo* table = getImx636RegisterTable(count);
    const RegisterMap map(table, count);
    const auto field = [&](const char* reg, const char* name) { return map[reg][name]; };
    EXPECT_EQ(map["roi_ctrl"].get_address(), sim::reg::kRoiCtrlAddress);
    EXPECT_EQ(field("roi_ctrl", "roi_td_en").get_mask(), sim::reg::kRoiEnableBit);
    EXPECT_EQ(field("roi_ctrl", "td_roi_roni_n_en").get_mask(), sim::reg::kRoiKeepInsideBit);
    EXPECT_EQ(field("roi_ctrl", "px_td_rstn").get_mask(), sim::reg::kReadoutEnableBit);
    EXPECT_EQ(map["roi/td_roi_x00"].get_address(), sim::reg::kRoiColumnMaskAddress);
    EXPECT_EQ(map["roi/td_roi_x39"].get_address(),
              sim::reg::kRoiColumnMaskAddress + 4 * (sim::reg::kRoiColumnMaskCount - 1));
    EXPECT_FALSE(map.contains("roi/td_roi_x40"));
    EXPECT_EQ(map["roi/td_roi_y00"].get_address(), sim::reg::kRoiRowMaskAddress);
    EXPECT_EQ(map["roi/td_roi_y22"].get_address(), sim::reg::kRoiRowMaskAddress + 4 * (sim::reg::kRoiRowMaskCount - 1));
    EXPECT_FALSE(map.contains("roi/td_roi_y23"));
    EXPECT_EQ(map["erc/reference_period"].get_address(), sim::reg::kErcReferencePeriodAddress);
    EXPECT_EQ(field("erc/reference_period", "erc_reference_period").get_mask(), sim::reg::kErcReferencePeriodMask);
    EXPECT_EQ(map["erc/td_target_event_rate"].get_address(), sim::reg::kErcTargetRateAddress);
    EXPECT_EQ(field("erc/td_target_event_rate", "target_event_rate").get_mask(), sim::reg::kErcTargetRateMask);
    EXPECT_EQ(map["erc/erc_enable"].get_address(), sim::reg::kErcEnableAddress);
    EXPECT_EQ(field("erc/erc_enable", "erc_en").get_mask(), sim::reg::kErcEnableBit);
    EXPECT_EQ(map["edf/trigger_in"].get_address(), sim::reg::kTriggerInAddress);
    EXPECT_EQ(field("edf/trigger_in", "enable").get_mask(), sim::reg::kTriggerInEnableBit);
    EXPECT_EQ(field("edf/trigger_in", "enable").get_default_value(), 1u);
    EXPECT_EQ(map["ro/ro_ctrl"].get_address(), sim::reg::kOutputControlAddress);
    EXPECT_EQ(field("ro/ro_ctrl", "output_disable").get_mask(), sim::reg::kOutputDisableBit);
    EXPECT_EQ(map["ro/time_base_ctrl"].get_address(), sim::reg::kTimeBaseAddress);
    EXPECT_EQ(field("ro/time_base_ctrl", "time_base_enable").get_mask(), sim::reg::kTimeBaseEnableBit);
    EXPECT_EQ(map["Reserved_0014"].get_address(), sim::reg::kChipIdAddress);
}

// Collects a started camera's events and trigger edges.
struct Collector {
    std::mutex mutex;
    std::vector<Event2D> events;
    std::vector<EventTriggerIn> triggers;

    void attach(DvsCamera& camera) {
        camera.addEventsStreamHandleCallback([this](const Event2D* first, const Event2D* last) {
            std::lock_guard<std::mutex> lock(mutex);
            events.insert(events.end(), first, last);
        });
        camera.addTriggerInCallback([this](EventTriggerIn t) {
            std::lock_guard<std::mutex> lock(mutex);
            triggers.push_back(t);
        });
    }
    uint64_t lastTime() {
        std::lock_guard<std::mutex> lock(mutex);
        return events.empty() ? 0 : events.back().timestamp;
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(mutex);
        return events.size();
    }
};

TEST(CameraTools, RegionOfInterestKeepsOnlyTheWindowOrItsComplement) {
    for (const char* mode : {"roi", "roni"}) {
        SCOPED_TRACE(mode);
        OpenedCamera opened;
        ASSERT_NE(opened.camera, nullptr);
        auto roi = opened.tool(TOOL_ROI);
        // Size first for one mode, position first (clipped at the edge meanwhile) for the other.
        const bool sizeFirst = std::string(mode) == "roni";
        const std::vector<std::pair<const char*, int>> size{{"x_width", 200}, {"y_height", 100}};
        const std::vector<std::pair<const char*, int>> position{{"x", 100}, {"y", 50}};
        for (const auto& [name, value] : sizeFirst ? size : position) ASSERT_TRUE(roi->setParam(name, value));
        for (const auto& [name, value] : sizeFirst ? position : size) ASSERT_TRUE(roi->setParam(name, value));
        ASSERT_TRUE(roi->setParam("mode", mode));
        ASSERT_TRUE(roi->setParam("enable", true));
        Collector collector;
        collector.attach(*opened.camera);
        ASSERT_EQ(opened.camera->start(), 0);
        ASSERT_TRUE(waitFor([&] { return collector.size() >= 20000; }));
        opened.camera->stop();
        const bool keepInside = std::string(mode) == "roi";
        size_t wrong = 0;
        for (const auto& e : collector.events) {
            const bool inside = e.x >= 100 && e.x < 300 && e.y >= 50 && e.y < 150;
            if (inside != keepInside) ++wrong;
        }
        EXPECT_EQ(wrong, 0u);
    }
}

TEST(CameraTools, EventRateLimitBringsTheRateDownToTheLimit) {
    auto config = test::fastCameraConfig();
    config.event_rate = 2e6;
    OpenedCamera opened(config);
    ASSERT_NE(opened.camera, nullptr);
    auto erc = opened.tool(TOOL_EVENT_RATE_CONTROL);
    ASSERT_TRUE(erc->setParam("max_event_rate", 250000));
    ASSERT_TRUE(erc->setParam("enable", true));
    Collector collector;
    collector.attach(*opened.camera);
    ASSERT_EQ(opened.camera->start(), 0);
    ASSERT_TRUE(waitFor([&] { return collector.lastTime() >= 200000; }));
    opened.camera->stop();
    std::lock_guard<std::mutex> lock(collector.mutex);
    const auto& events = collector.events;
    ASSERT_GT(events.size(), 1000u);
    const double span_s = static_cast<double>(events.back().timestamp - events.front().timestamp) / 1e6;
    const double rate = static_cast<double>(events.size()) / span_s;
    EXPECT_NEAR(rate, 250000.0, 250000.0 * 0.05);
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; }));
}

TEST(CameraTools, DisabledTriggerInputReportsNoEdges) {
    auto config = test::fastCameraConfig();
    config.trigger_period_us = 1000;
    config.event_rate = 1e5;
    OpenedCamera opened(config);
    ASSERT_NE(opened.camera, nullptr);
    auto trigger = opened.tool(TOOL_TRIGGER_IN);
    ASSERT_TRUE(trigger->setParam("enable", false));
    Collector collector;
    collector.attach(*opened.camera);
    ASSERT_EQ(opened.camera->start(), 0);
    // 100 ms of stream would hold 100 edges.
    ASSERT_TRUE(waitFor([&] { return collector.lastTime() >= 100000; }));
    {
        std::lock_guard<std::mutex> lock(collector.mutex);
        EXPECT_TRUE(collector.triggers.empty());
    }
    // Enabled again, the edges come back.
    ASSERT_TRUE(trigger->setParam("enable", true));
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard<std::mutex> lock(collector.mutex);
        return collector.triggers.size() >= 10;
    }));
    opened.camera->stop();
}

}  // namespace
}  // namespace vireo
