// Camera discovery, opening and initialisation against simulated cameras: counts and order,
// one object per serial, unplugged cameras, init's refusals and retries, and the tool
// catalogue of an opened camera.
#include <vireo/DvsCameraManager.h>
#include <vireo/DvsEventCamera.h>
#include <vireo/Imx636Tools.h>
#include <vireo/PropheseeEVK4.h>
#include <vireo/UsbInterface.h>
#include <vireo/VireoHeron.h>

#include <gtest/gtest.h>

#include <vireo/test/StdoutCapture.h>

#include "test_camera_support.h"

namespace vireo {
namespace {

using test::PluggedCamera;

sim::SimulatedCameraConfig evk4Config(const std::string& serial) {
    auto config = test::fastCameraConfig(serial);
    config.vendor_id = PropheseeEVK4Camera::vendorId;
    config.product_id = PropheseeEVK4Camera::productId;
    return config;
}

CameraDescription findDescription(const std::string& serial) {
    for (const auto& desc : UsbInterface::findUsbDvsCamera(1205, 1)) {
        if (desc.serial == serial) return desc;
    }
    return {};
}

TEST(CameraDiscovery, ModelIdentities) {
    EXPECT_EQ(PropheseeEVK4Camera::vendorId, 1204);
    EXPECT_EQ(PropheseeEVK4Camera::productId, 245);
    EXPECT_EQ(VireoHeronCamera::vendorId, 1205);
    EXPECT_EQ(VireoHeronCamera::productId, 1);
    EXPECT_EQ(PropheseeEVK4Camera::getManufacturer(), "Prophesee");
    EXPECT_EQ(PropheseeEVK4Camera::getProductName(), "EVK4");
    EXPECT_EQ(VireoHeronCamera::getManufacturer(), "Vireo");
    EXPECT_EQ(VireoHeronCamera::getProductName(), "Heron");
}

TEST(CameraDiscovery, OpenBeforeDiscoveryGivesNothing) {
    PluggedCamera plugged;
    DvsCameraManager manager;
    EXPECT_EQ(manager.openCamera(plugged.serial), nullptr);
    EXPECT_EQ(manager.openCamera("no-such-serial"), nullptr);
}

TEST(CameraDiscovery, CountsEveryModelAndListsEventCamerasBySerialThenFusionCameras) {
    PluggedCamera heron(test::fastCameraConfig("B-heron"));
    PluggedCamera evk4(evk4Config("C-evk4"));
    auto fusionConfig = test::fastCameraConfig("A-tandem");
    fusionConfig.vendor_id = 8711;
    fusionConfig.product_id = 6;
    PluggedCamera tandem(fusionConfig);

    DvsCameraManager manager;
    EXPECT_EQ(manager.updateCameras(), 3);
    const auto descs = manager.getCameraDescs();
    ASSERT_EQ(descs.size(), 3u);
    EXPECT_EQ(descs[0].serial, "B-heron");
    EXPECT_EQ(descs[1].serial, "C-evk4");
    EXPECT_EQ(descs[2].serial, "A-tandem");  // fusion cameras come after every event camera
    EXPECT_EQ(descs[1].vendorId, 1204);

    // Known cameras are counted again by the next pass.
    EXPECT_EQ(manager.updateCameras(), 3);
    // The fusion camera opens as a fusion camera only, and the event cameras as event cameras.
    EXPECT_EQ(manager.openCamera("A-tandem"), nullptr);
    EXPECT_EQ(manager.openFusionCamera("B-heron"), nullptr);
    auto fusion = manager.openFusionCamera("A-tandem");
    ASSERT_NE(fusion, nullptr);
    EXPECT_EQ(fusion->getDvsDesc().vendorId, 8711);
    EXPECT_EQ(manager.openFusionCamera("A-tandem"), fusion);  // opened once, the same object after
    // An EVK4 opens like a Heron.
    auto camera = manager.openCamera("C-evk4");
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->getDvsDesc().productId, 245);
}

TEST(CameraDiscovery, OpeningTwiceGivesTheSameCameraWithoutTouchingTheDevice) {
    PluggedCamera plugged;
    DvsCameraManager manager;
    const auto before = manager.getCameraDescs();
    auto first = manager.openCamera(plugged.serial);
    ASSERT_NE(first, nullptr);
    const size_t writes = sim::registerWrites(plugged.serial).size();
    EXPECT_GT(writes, 100u);  // the sensor's start-up sequences went to the device

    // Discovery in between keeps the opened camera.
    EXPECT_EQ(manager.getCameraDescs(), before);
    auto second = manager.openCamera(plugged.serial);
    EXPECT_EQ(second, first);
    EXPECT_EQ(sim::registerWrites(plugged.serial).size(), writes);
    EXPECT_TRUE(first->isConnected());
}

TEST(CameraDiscovery, UnpluggedCameraLeavesTheManagerButLivesOnForItsHolder) {
    auto serial = sim::plugCamera(test::fastCameraConfig());
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(serial);
    ASSERT_NE(camera, nullptr);
    ASSERT_TRUE(sim::unplugCamera(serial));

    EXPECT_FALSE(camera->isConnected());
    EXPECT_TRUE(manager.getCameraDescs().empty());
    EXPECT_EQ(manager.openCamera(serial), nullptr);
    EXPECT_EQ(camera->getDvsDesc().serial, serial);  // the application's object is still whole
    EXPECT_EQ(camera->stop(), 0);
}

TEST(CameraDiscovery, ReplugGivesAFreshCameraThatOpens) {
    auto serial = sim::plugCamera(test::fastCameraConfig("replugged"));
    DvsCameraManager manager;
    manager.updateCameras();
    auto first = manager.openCamera(serial);
    ASSERT_NE(first, nullptr);
    sim::unplugCamera(serial);
    sim::plugCamera(test::fastCameraConfig("replugged"));
    manager.updateCameras();
    auto second = manager.openCamera(serial);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_TRUE(second->isConnected());
    EXPECT_FALSE(first->isConnected());
    sim::unplugCamera(serial);
}

TEST(CameraDiscovery, FailedOpenKeepsTheCameraAndALaterOpenRetries) {
    auto serial = sim::plugCamera(test::fastCameraConfig("comes-and-goes"));
    DvsCameraManager manager;
    manager.updateCameras();
    sim::unplugCamera(serial);
    EXPECT_EQ(manager.openCamera(serial), nullptr);  // the transport cannot be created

    // Without a new discovery the camera object is still there, and it opens now.
    sim::plugCamera(test::fastCameraConfig("comes-and-goes"));
    auto camera = manager.openCamera(serial);
    ASSERT_NE(camera, nullptr);
    EXPECT_TRUE(camera->isConnected());
    sim::unplugCamera(serial);
}

TEST(CameraDiscovery, CopiedManagerSharesTheCameras) {
    PluggedCamera plugged;
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(plugged.serial);
    DvsCameraManager copy(manager);
    EXPECT_EQ(copy.openCamera(plugged.serial), camera);
}

TEST(EventCameraInit, UnopenedCameraHasGeometryButNoTransportOrTools) {
    PluggedCamera plugged;
    test::TestHeron camera(findDescription(plugged.serial));
    EXPECT_FALSE(camera.isConnected());
    EXPECT_EQ(camera.getWidth(), 1280);
    EXPECT_EQ(camera.getHeight(), 720);
    EXPECT_TRUE(camera.getAllToolsInfo().empty());
    EXPECT_FALSE(camera.checkSensor());
    EXPECT_EQ(camera.getRawEventStreamFormat().toString(), "EVT3;height=720;width=1280");
    EXPECT_EQ(camera.stop(), 0);
    try {
        camera.start();
        FAIL() << "start before init must throw";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Camera is not inited");
    }
    EXPECT_THROW(camera.startRecording("never.raw"), std::runtime_error);
}

TEST(EventCameraInit, RefusesADescriptionThatIsNotUsb) {
    PluggedCamera plugged;
    auto desc = findDescription(plugged.serial);
    desc.interfaceType = static_cast<INTERFACE_TYPE>(1);
    test::TestHeron camera(desc);
    test::StdoutCapture capture;
    EXPECT_EQ(camera.init(), -1);
    const auto out = capture.finish();
    EXPECT_NE(out.find("[error]"), std::string::npos) << out;
    EXPECT_FALSE(camera.isConnected());
    EXPECT_TRUE(camera.getAllToolsInfo().empty());
    EXPECT_TRUE(sim::registerWrites(plugged.serial).empty());
    EXPECT_THROW(camera.start(), std::runtime_error);
}

TEST(EventCameraInit, InitWiresTheSensorAndReportsTheChip) {
    PluggedCamera plugged;
    test::TestHeron camera(findDescription(plugged.serial));
    ASSERT_EQ(camera.init(), 0);
    EXPECT_TRUE(camera.isConnected());
    EXPECT_TRUE(camera.checkSensor());
    // The sensor's last field set-up (time base) reached the device through the controller.
    EXPECT_FALSE(sim::registerWrites(plugged.serial).empty());
    EXPECT_EQ(sim::readoutRunning(plugged.serial), std::optional<bool>(false));
    EXPECT_EQ(camera.init(), 0);
    sim::unplugCamera(plugged.serial);
    EXPECT_FALSE(camera.isConnected());
}

TEST(CameraTools, OpenedCameraListsTheSevenToolsInTypeOrder) {
    PluggedCamera plugged;
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(plugged.serial);
    ASSERT_NE(camera, nullptr);

    const std::vector<ToolInfo> expected{
        {TOOL_BIASES,
         {"bias_fo", "bias_hpf", "bias_diff_on", "bias_diff", "bias_diff_off", "bias_refr"},
         "Biases of DVS cameras with IMX636 sensor"},
        {TOOL_TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors"},
        {TOOL_SYNC, {"mode"}, "Sync of DVS cameras with IMX636 sensors"},
        {TOOL_ANTI_FLICKER,
         {"duty_cycle", "enable", "high_frequency", "low_frequency", "mode", "start_threshold",
          "stop_threshold"},
         "Anti flicker of DVS cameras with IMX636 sensor."},
        {TOOL_EVENT_TRAIL_FILTER, {"enable", "threshold", "type"},
         "Event Trail Filter of DVS cameras with IMX636 sensor"},
        {TOOL_EVENT_RATE_CONTROL, {"enable", "max_event_rate"}, "ERC of DVS cameras with IMX636 sensor"},
        {TOOL_ROI, {"enable", "mode", "x", "y", "x_width", "y_height"}, "ROI of DVS cameras with IMX636 sensor"},
    };
    EXPECT_EQ(camera->getAllToolsInfo(), expected);
    for (const auto& info : expected) {
        EXPECT_EQ(camera->getToolInfo(info.type), info);
        ASSERT_NE(camera->getTool(info.type), nullptr);
    }
    EXPECT_NE(std::dynamic_pointer_cast<Imx636ROI>(camera->getTool(TOOL_ROI)), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<Imx636Sync>(camera->getTool(TOOL_SYNC)), nullptr);
}

TEST(CameraTools, MissingToolIsLoggedAndThrowsFromGetToolInfo) {
    PluggedCamera plugged;
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(plugged.serial);
    ASSERT_NE(camera, nullptr);
    test::StdoutCapture capture;
    EXPECT_EQ(camera->getTool(TOOL_APS_CTRL), nullptr);
    try {
        camera->getToolInfo(TOOL_APS_CTRL);
        ADD_FAILURE() << "getToolInfo of a missing tool must throw";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Tool not found");
    }
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) EXPECT_NE(line.find("[error] Tool not found"), std::string::npos) << line;
}

TEST(CameraTools, ToolInfoIsFreshOnEveryCallAndToolsShareTheController) {
    PluggedCamera plugged;
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(plugged.serial);
    ASSERT_NE(camera, nullptr);
    auto tool = camera->getTool(TOOL_EVENT_RATE_CONTROL);
    ToolInfo a = tool->getToolInfo();
    const ToolInfo b = tool->getToolInfo();
    a.parameters.push_back("changed");
    EXPECT_EQ(b.parameters, (std::vector<std::string>{"enable", "max_event_rate"}));

    auto biases = std::dynamic_pointer_cast<CameraToolRegister>(camera->getTool(TOOL_BIASES));
    auto roi = std::dynamic_pointer_cast<CameraToolRegister>(camera->getTool(TOOL_ROI));
    ASSERT_NE(biases, nullptr);
    ASSERT_NE(roi, nullptr);
    EXPECT_EQ(biases->getRegisterController(), roi->getRegisterController());
    EXPECT_EQ(biases->getRegisterController()->getPrefix(), "PSEE/IMX636/");
}

TEST(CameraTools, RefusedParameterAccessLogsTheToolAndTheName) {
    PluggedCamera plugged;
    DvsCameraManager manager;
    manager.updateCameras();
    auto camera = manager.openCamera(plugged.serial);
    ASSERT_NE(camera, nullptr);
    auto biases = camera->getTool(TOOL_BIASES);
    auto erc = camera->getTool(TOOL_EVENT_RATE_CONTROL);
    int value = 0;
    test::StdoutCapture capture;
    EXPECT_FALSE(biases->getParam("bias_unknown", value));
    EXPECT_FALSE(erc->setParam("max_event_rate", 2.5));  // a double never reaches an int parameter
    EXPECT_EQ(erc->getAllParamInfo().size(), 2u);
    const auto out = capture.finish();
    EXPECT_NE(out.find("Imx636Biases: no int parameter of that name (parameter \"bias_unknown\")"),
              std::string::npos) << out;
    EXPECT_NE(out.find("Imx636EventRateControl: no float parameter of that name (parameter \"max_event_rate\")"),
              std::string::npos) << out;
}

}  // namespace
}  // namespace vireo
