// Unplug storms: many cycles of plug, open, start, record and an unplug at a random moment
// (while recording, racing stopRecording or stop on another thread), for the event camera
// and the fusion camera. No cycle may hang (a watchdog ends the process with the cycle's
// name instead of letting CI wait), crash or leave a thread behind once the manager has
// dropped the cameras, and every partial recording must be a valid RAW file.
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vireo/DvsCameraManager.h>
#include <vireo/DvsCameraPrivate.h>
#include <vireo/RawFileReader.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/TandemCamera.h>
#include <vireo/test/StdoutCapture.h>

#include "RecordingTestSupport.h"
#include "test_camera_support.h"

namespace vireo {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Threads of this process now.
size_t threadCount() {
    size_t n = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
        ::closedir(dir);
    }
    return n;
}

// Ends the process, naming the step, when a step is not over within its time: a hang fails
// the test at once instead of holding CI until its timeout.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds seconds) : limit(seconds), thread([this] { run(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            done = true;
        }
        cond.notify_all();
        thread.join();
    }
    void arm(const std::string& step) {
        std::lock_guard<std::mutex> lock(mutex);
        current = step;
        deadline = std::chrono::steady_clock::now() + limit;
        ++generation;
        cond.notify_all();
    }

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        while (!done) {
            if (current.empty()) {
                cond.wait(lock);
                continue;
            }
            const uint64_t watched = generation;
            if (cond.wait_until(lock, deadline, [&] { return done || generation != watched; })) continue;
            std::fprintf(stderr, "HANG: %s did not finish within %lld s\n", current.c_str(),
                         static_cast<long long>(limit.count()));
            std::fflush(stderr);
            std::_Exit(3);
        }
    }
    const std::chrono::seconds limit;
    std::mutex mutex;
    std::condition_variable cond;
    std::string current;
    std::chrono::steady_clock::time_point deadline;
    uint64_t generation = 0;
    bool done = false;
    std::thread thread;
};

// A partial recording must be a valid RAW file: a header, a body of whole words, and the
// reader's events those of a plain decode of the body.
void expectValidRecording(const std::string& path, const std::string& cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_TRUE(fs::exists(path));
    const std::vector<uint8_t> bytes = test::readFile(path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t end = text.find("% end\n");
    ASSERT_NE(end, std::string::npos) << path << " has no header";
    const std::vector<uint8_t> body(bytes.begin() + static_cast<std::ptrdiff_t>(end + 6), bytes.end());
    EXPECT_EQ(body.size() % 2, 0u);
    RawFileReader reader(path);
    ASSERT_TRUE(reader.loadFile()) << path;
    EXPECT_EQ(test::countOf(reader), test::referenceDecode(body).size());
}

enum class Unplug { WhileRecording, RacingStopRecording, RacingStop };

const char* name(Unplug when) {
    switch (when) {
        case Unplug::WhileRecording: return "while recording";
        case Unplug::RacingStopRecording: return "racing stopRecording";
        case Unplug::RacingStop: return "racing stop";
    }
    return "";
}

// One cycle on a camera of either kind: `start`, `stopRecording` and `stop` wrap the
// camera's own calls.
template <typename Camera, typename Calls>
void unplugCycle(const std::string& serial, Camera& camera, Calls calls, Unplug when, std::mt19937& rng) {
    const auto pause = std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(rng));
    std::this_thread::sleep_for(pause);
    switch (when) {
        case Unplug::WhileRecording:
            sim::unplugCamera(serial);
            calls.stopRecording(camera);
            calls.stop(camera);
            break;
        case Unplug::RacingStopRecording: {
            std::thread unplugger([&] { sim::unplugCamera(serial); });
            calls.stopRecording(camera);
            unplugger.join();
            calls.stop(camera);
            break;
        }
        case Unplug::RacingStop: {
            std::thread unplugger([&] { sim::unplugCamera(serial); });
            calls.stop(camera);
            unplugger.join();
            calls.stopRecording(camera);
            break;
        }
    }
    EXPECT_FALSE(camera.isConnected());
}

struct EventCalls {
    static void stopRecording(DvsCamera& c) { EXPECT_EQ(c.stopRecording(), 0); }
    static void stop(DvsCamera& c) { EXPECT_EQ(c.stop(), 0); }
};

struct FusionCalls {
    STREAM_TYPE type;
    void stopRecording(FusionCamera& c) const { EXPECT_EQ(c.stopRecording(type), 0); }
    void stop(FusionCamera& c) const { EXPECT_EQ(c.stop(type), 0); }
};

TEST(UnplugStorm, EventCameraSurvivesAHundredUnplugsWithoutHangsOrLeftoverThreads) {
    const fs::path dir = test::scratchPath("storm");
    fs::create_directories(dir);
    std::mt19937 rng(2024);
    Watchdog watchdog(30s);
    test::StdoutCapture quiet;  // a hundred cycles log a lot
    size_t threadsBefore = 0;
    constexpr int kCycles = 100;
    for (int cycle = -1; cycle < kCycles; ++cycle) {
        // Cycle -1 warms up what the process starts once (the simulator's own threads).
        if (cycle == 0) threadsBefore = threadCount();
        const Unplug when = static_cast<Unplug>((cycle + 3) % 3);
        const std::string label = "event camera cycle " + std::to_string(cycle) + " (unplug " + name(when) + ")";
        watchdog.arm(label);
        test::PluggedCamera plugged(test::fastCameraConfig("STORM-DVS"));
        const std::string out = (dir / ("cycle" + std::to_string(cycle) + ".raw")).string();
        {
            DvsCameraManager manager;
            manager.updateCameras();
            std::shared_ptr<DvsCamera> camera = manager.openCamera(plugged.serial);
            ASSERT_NE(camera, nullptr) << label;
            if (auto* recorder = dynamic_cast<DvsCameraPrivate*>(camera.get())) {
                ASSERT_TRUE(recorder->setSegmentDirectory((dir / "segments").string()));
            }
            ASSERT_EQ(camera->startRecording(out), 0) << label;
            ASSERT_EQ(camera->start(), 0) << label;
            unplugCycle(plugged.serial, *camera, EventCalls{}, when, rng);
            manager.updateCameras();
        }
        expectValidRecording(out, label);
        fs::remove(out);
        fs::remove(test::indexPathOf(out));
        fs::remove(test::companionPathOf(out));
    }
    watchdog.arm("the threads' ending");
    EXPECT_TRUE(test::waitFor([&] { return threadCount() <= threadsBefore; }, 5s))
        << threadCount() << " threads after the storm, " << threadsBefore << " before";
    quiet.finish();
}

TEST(UnplugStorm, FusionCameraSurvivesRepeatedUnplugsWithoutHangsOrLeftoverThreads) {
    const fs::path dir = test::scratchPath("storm");
    fs::create_directories(dir);
    std::mt19937 rng(2025);
    Watchdog watchdog(30s);
    test::StdoutCapture quiet;
    size_t threadsBefore = 0;
    // A video recording opens an H.264 encoder of 4K frames: fewer cycles record both streams.
    constexpr int kCycles = 40;
    for (int cycle = -1; cycle < kCycles; ++cycle) {
        if (cycle == 0) threadsBefore = threadCount();
        const Unplug when = static_cast<Unplug>((cycle + 3) % 3);
        const STREAM_TYPE type = cycle % 6 == 5 ? STREAM_BOTH : STREAM_DVS;
        const std::string label = "fusion camera cycle " + std::to_string(cycle) + " (unplug " + name(when) +
                                  (type == STREAM_BOTH ? ", both streams)" : ", events)");
        watchdog.arm(label);
        sim::SimulatedCameraConfig config = test::fastCameraConfig("STORM-FUSION");
        config.vendor_id = sim::kFusionVendorId;
        config.product_id = sim::kFusionProductId;
        config.scene = sim::SceneType::MovingEdge;
        config.frame_rate_hz = 30;
        test::PluggedCamera plugged(config);
        const std::string base = (dir / ("fusion" + std::to_string(cycle))).string();
        {
            DvsCameraManager manager;
            manager.updateCameras();
            std::shared_ptr<FusionCamera> camera = manager.openFusionCamera(plugged.serial);
            ASSERT_NE(camera, nullptr) << label;
            ASSERT_EQ(camera->startRecording(base, type), 0) << label;
            ASSERT_EQ(camera->start(type), 0) << label;
            unplugCycle(plugged.serial, *camera, FusionCalls{type}, when, rng);
            manager.updateCameras();
        }
        expectValidRecording(base + ".raw", label);
        for (const char* suffix : {".raw", ".mp4", ".dsmark.tmp", ".dsmark.state"}) fs::remove(base + suffix);
    }
    watchdog.arm("the threads' ending");
    EXPECT_TRUE(test::waitFor([&] { return threadCount() <= threadsBefore; }, 5s))
        << threadCount() << " threads after the storm, " << threadsBefore << " before";
    quiet.finish();
}

}  // namespace
}  // namespace vireo
