// vireo record on a disk that fills up, on a simulated camera whose recorder's files have
// room for a few MiB only (the recorder's write seam): the recording ends long before its
// duration, the outcome and the message give the cause, and the file keeps a valid
// recording of what was written.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include <vireo/DvsCameraManager.h>
#include <vireo/RawFileReader.h>
#include <vireo/SimulatedCamera.h>

#include "../../driver/tests/CameraTestAccess.h"
#include "Commands.h"

namespace vireo::app {
namespace {

namespace fs = std::filesystem;

TEST(RecordCommandFaults, AFullDiskEndsTheRecordingEarlyWithItsCauseAndKeepsTheFile) {
    sim::SimulatedCameraConfig config;
    config.serial = "FULL-RECORD";
    config.real_time = false;
    config.scene = sim::SceneType::Random;
    const std::string serial = sim::plugCamera(config);
    struct Unplug {
        std::string serial;
        ~Unplug() { sim::unplugCamera(serial); }
    } unplug{serial};
    DvsCameraManager manager;
    manager.updateCameras();
    const auto camera = manager.openCamera(serial);
    ASSERT_NE(camera, nullptr);
    auto* recorder = dynamic_cast<DvsCameraPrivate*>(camera.get());
    ASSERT_NE(recorder, nullptr);
    DvsCameraPrivateTestAccess::limitDisk(*recorder, std::make_shared<WriteFault>(4u << 20));

    const fs::path dir = fs::path(VIREO_TEST_SCRATCH_DIR) / "record-faults";
    fs::remove_all(dir);
    fs::create_directories(dir);
    RecordRequest request;
    request.path = (dir / "full.raw").string();
    request.seconds = 60;
    request.progress = false;
    const RecordOutcome outcome = recordOpenedCamera(*camera, request);
    ASSERT_TRUE(outcome.started);
    EXPECT_FALSE(outcome.ok);
    EXPECT_LT(outcome.seconds, 30.0) << "the recording went on after the disk was full";
    EXPECT_NE(outcome.write_error.find("No space left on device"), std::string::npos) << outcome.write_error;
    const std::string problem = recordingProblem(outcome, request.path);
    EXPECT_NE(problem.find("No space left on device"), std::string::npos) << problem;
    EXPECT_NE(problem.find("\"" + request.path + "\" holds what was recorded until then"), std::string::npos)
        << problem;

    // The file is the recording up to the full disk: the 4 MiB with its header, less a torn
    // last byte.
    ASSERT_TRUE(fs::exists(request.path));
    EXPECT_LE(fs::file_size(request.path), uint64_t{4} << 20);
    EXPECT_GE(fs::file_size(request.path), (uint64_t{4} << 20) - 1);
    RawFileReader reader(request.path);
    ASSERT_TRUE(reader.loadFile());
    uint64_t events = 0;
    ASSERT_TRUE(reader.getMaxEvents(events));
    EXPECT_GT(events, 0u);
    EXPECT_TRUE(outcome.kept_segments.empty());
}

}  // namespace
}  // namespace vireo::app
