// vireo record's recording logic on a scripted camera whose statistics reports come at chosen
// moments: progress figures that count only the recording, the first signal ending a
// recording that is still written, failures reported as such; and the checks made before any
// camera is opened (the output, the choice of camera).
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CameraChoice.h"
#include "Commands.h"
#include "Interrupt.h"

namespace vireo::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A camera that streams nothing but its statistics: a report `first_report` after start()
// and then every second, with counters growing at fixed rates from start(). Its recording
// writes a header and, unless told otherwise, one byte per raw byte recorded.
class ScriptedCamera : public DvsCamera {
public:
    std::chrono::milliseconds first_report{100};
    double bytes_per_second = 1e6;
    double events_per_second = 2e6;
    double lost_per_second = 0;  // transfers the host drops, reported as the statistics' loss
    int start_recording_result = 0;
    int stop_recording_result = 0;
    int stop_result = 0;
    bool delivers = true;
    std::atomic<bool> connected{true};
    std::atomic<int> stop_recording_calls{0};
    unsigned short cache_seconds = 0;

    ScriptedCamera() : DvsCamera(describe()) {}
    ~ScriptedCamera() override { halt(); }

    bool isConnected() const override { return connected.load(); }
    unsigned addEventsStreamHandleCallback(EventsCallback) override { return 0; }
    bool removeEventsStreamHandleCallback(unsigned) override { return false; }
    unsigned addTriggerInCallback(TriggerInCallback) override { return 0; }
    bool removeTriggerInCallback(unsigned) override { return false; }
    bool getNextBatch(std::vector<Event2D>& out) override {
        out.clear();
        return false;
    }
    void setBatchEventsNum(unsigned long long) override {}
    void setBatchEventsTime(unsigned long long) override {}
    unsigned short getWidth() override { return 1280; }
    unsigned short getHeight() override { return 720; }
    void setFileCacheTime(unsigned short seconds) override { cache_seconds = seconds; }

    void setStatisticInfoCallback(StatisticCallback cb) override {
        std::lock_guard<std::mutex> lock(mutex_);
        callback_ = std::move(cb);
    }

    int start() override {
        start_ = std::chrono::steady_clock::now();
        reporter_ = std::thread([this] {
            for (int k = 0;; ++k) {
                const auto at = start_ + first_report + std::chrono::seconds(k);
                std::unique_lock<std::mutex> lock(mutex_);
                if (wake_.wait_until(lock, at, [this] { return halted_; })) return;
                const double t = std::chrono::duration<double>(at - start_).count();
                const auto callback = callback_;
                lock.unlock();
                if (callback) {
                    DsStatisticInfo info(static_cast<uint64_t>(events_per_second * t),
                                         static_cast<uint64_t>(bytes_per_second * t));
                    info.droppedBuffers = static_cast<uint64_t>(lost_per_second * t);
                    callback(info);
                }
            }
        });
        return 0;
    }
    int stop() override {
        halt();
        return stop_result;
    }

    int startRecording(std::string path) override {
        if (start_recording_result == 0) {
            path_ = path;
            recordingSince_ = std::chrono::steady_clock::now();
        }
        return start_recording_result;
    }
    int stopRecording() override {
        ++stop_recording_calls;
        if (path_.empty() || stop_recording_result != 0) return stop_recording_result;
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << "% evt 3.0\n% end\n";
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - recordingSince_).count();
        if (delivers) out << std::string(static_cast<size_t>(bytes_per_second * seconds / 1000), 'x');
        path_.clear();
        return 0;
    }

private:
    static CameraDescription describe() {
        CameraDescription desc;
        desc.serial = "SCRIPTED1";
        return desc;
    }
    int init() override { return 0; }
    void halt() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            halted_ = true;
        }
        wake_.notify_all();
        if (reporter_.joinable()) reporter_.join();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool halted_ = false;
    StatisticCallback callback_;
    std::thread reporter_;
    std::chrono::steady_clock::time_point start_;
    std::string path_;
    std::chrono::steady_clock::time_point recordingSince_;
};

std::string scratch(const std::string& name) {
    const fs::path dir = fs::path(VIREO_TEST_SCRATCH_DIR) / "record-command";
    fs::create_directories(dir);
    return (dir / name).string();
}

RecordRequest quietRequest(const std::string& name, double seconds) {
    RecordRequest request;
    request.path = scratch(name);
    request.seconds = seconds;
    request.progress = false;
    return request;
}

// ---- progress ----

// The fault: the recording's baseline was the last report before startRecording, none yet
// when the cache had just filled, so the first line counted the cached second as recorded.
// Reports here come 50 ms after the cache's second, the moment the baseline went stale.
TEST(RecordCommand, ProgressFiguresCountOnlyTheRecording) {
    struct Case {
        unsigned cache_seconds;
        std::chrono::milliseconds first_report;
        double seconds;
    };
    for (const Case& c : {Case{0, 300ms, 1.5}, Case{1, 1050ms, 2.0}}) {
        SCOPED_TRACE(c.cache_seconds);
        ScriptedCamera camera;
        camera.first_report = c.first_report;
        RecordRequest request = quietRequest("progress.raw", c.seconds);
        request.cache_seconds = c.cache_seconds;
        std::vector<RecordProgress> lines;
        request.on_progress = [&](const RecordProgress& p) { lines.push_back(p); };
        const RecordOutcome outcome = recordOpenedCamera(camera, request);
        ASSERT_TRUE(outcome.started);
        EXPECT_EQ(camera.cache_seconds, c.cache_seconds);
        ASSERT_GE(lines.size(), 2u);
        for (const auto& line : lines) {
            SCOPED_TRACE(line.seconds);
            // 1 MB/s and 2 Mev/s from the recording's start, give or take the scheduling of
            // the reports (the fault counted a whole second more).
            EXPECT_NEAR(line.megabytes, line.seconds * 1.0, 0.1);
            EXPECT_NEAR(line.events_per_second, 2e6, 0.15e6);
            EXPECT_LE(line.seconds, c.seconds + 0.15);
        }
        EXPECT_TRUE(recordingProblem(outcome, request.path).empty()) << recordingProblem(outcome, request.path);
    }
}

// The recording's loss counts from its own start (the cache's second is not its loss), shows
// on each progress line, and ends in the outcome and a warning; the recording still succeeds.
TEST(RecordCommand, LossIsCountedFromTheRecordingsStartAndNeverSilent) {
    for (unsigned cache : {0u, 1u}) {
        SCOPED_TRACE(cache);
        ScriptedCamera camera;
        camera.first_report = cache == 0 ? 300ms : 1050ms;
        camera.lost_per_second = 100;
        RecordRequest request = quietRequest("lossy.raw", 2.0);
        request.cache_seconds = cache;
        std::vector<RecordProgress> lines;
        request.on_progress = [&](const RecordProgress& p) { lines.push_back(p); };
        const RecordOutcome outcome = recordOpenedCamera(camera, request);
        ASSERT_TRUE(outcome.started);
        ASSERT_GE(lines.size(), 2u);
        for (const auto& line : lines) {
            SCOPED_TRACE(line.seconds);
            EXPECT_NEAR(static_cast<double>(line.lost_buffers), line.seconds * 100, 15);
        }
        EXPECT_GE(outcome.lost_buffers, lines.back().lost_buffers);
        EXPECT_GT(outcome.lost_buffers, 50u);
        EXPECT_TRUE(recordingProblem(outcome, request.path).empty()) << recordingProblem(outcome, request.path);
        const std::string warning = recordingLossWarning(outcome, request.path);
        EXPECT_NE(warning.find("lost " + std::to_string(outcome.lost_buffers) + " of the camera's buffers"),
                  std::string::npos)
            << warning;
        EXPECT_NE(warning.find("has gaps"), std::string::npos) << warning;
    }
    ScriptedCamera clean;
    const RecordRequest request = quietRequest("clean.raw", 1.2);
    const RecordOutcome outcome = recordOpenedCamera(clean, request);
    EXPECT_EQ(outcome.lost_buffers, 0u);
    EXPECT_TRUE(recordingLossWarning(outcome, request.path).empty());
}

// ---- signals ----

TEST(RecordCommand, FirstSignalEndsTheRecordingAndWritesIt) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        ScriptedCamera camera;
        RecordRequest request = quietRequest("interrupted.raw", 60);
        request.on_progress = [signal](const RecordProgress&) { std::raise(signal); };
        const InterruptScope scope("ending the test's recording");
        const RecordOutcome outcome = recordOpenedCamera(camera, request);
        EXPECT_TRUE(outcome.started);
        EXPECT_EQ(outcome.interrupt_signal, signal);
        EXPECT_LT(outcome.seconds, 5.0);
        EXPECT_EQ(camera.stop_recording_calls.load(), 1);
        EXPECT_TRUE(outcome.ok);
        EXPECT_GT(outcome.body_bytes, 0u);
        EXPECT_TRUE(recordingProblem(outcome, request.path).empty()) << recordingProblem(outcome, request.path);
    }
}

// ---- failures are reported ----

TEST(RecordCommand, FailuresAreReportedNotCountedAsSuccess) {
    const auto run = [](const std::function<void(ScriptedCamera&)>& script, const std::string& expected) {
        SCOPED_TRACE(expected);
        ScriptedCamera camera;
        script(camera);
        const RecordRequest request = quietRequest("failing.raw", 0.5);
        const RecordOutcome outcome = recordOpenedCamera(camera, request);
        const std::string problem = recordingProblem(outcome, request.path);
        EXPECT_NE(problem.find(expected), std::string::npos) << problem;
    };
    run([](ScriptedCamera& c) { c.stop_recording_result = -1; }, "could not be written");
    run([](ScriptedCamera& c) { c.delivers = false; }, "delivered no data");
    run([](ScriptedCamera& c) { c.stop_result = -1; }, "did not stop cleanly");
    // Unplugged before the first report: the recording ends and says so.
    run([](ScriptedCamera& c) { c.connected = false; }, "was disconnected");

    ScriptedCamera refusing;
    refusing.start_recording_result = -1;
    EXPECT_THROW(recordOpenedCamera(refusing, quietRequest("refused.raw", 0.5)), std::runtime_error);
}

// ---- before any camera is opened ----

TEST(RecordCommand, UnwritableOutputFailsBeforeACameraIsOpened) {
    const std::string folder = scratch("outputs");
    fs::create_directories(folder + "/a-folder.raw");
    for (const std::string& path : {folder + "/no-such-folder/out.raw", folder + "/a-folder.raw"}) {
        SCOPED_TRACE(path);
        RecordRequest request = quietRequest("unused.raw", 60);
        request.path = path;
        request.simulate = true;
        EXPECT_THROW(recordCamera(request), std::runtime_error);
        EXPECT_TRUE(sim::pluggedCameras().empty());  // refused before the simulated camera came
    }
    if (::geteuid() != 0) {  // root writes through any permission bits
        const std::string locked = folder + "/locked.raw";
        std::ofstream(locked) << "kept";
        fs::permissions(locked, fs::perms::owner_read);
        RecordRequest request = quietRequest("unused.raw", 60);
        request.path = locked;
        request.simulate = true;
        EXPECT_THROW(recordCamera(request), std::runtime_error);
        fs::permissions(locked, fs::perms::owner_all);
    }
    // No probe file or segment folder is left in the output's folder.
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_TRUE(entry.path().filename() == "a-folder.raw" || entry.path().filename() == "locked.raw")
            << entry.path();
    }
}

TEST(RecordCommand, ExistingOutputIsReplacedByTheRecording) {
    RecordRequest request = quietRequest("replaced.raw", 0.3);
    request.simulate = true;
    std::ofstream(request.path) << "an older file";
    const RecordOutcome outcome = recordCamera(request);
    ASSERT_TRUE(outcome.ok);
    std::ifstream in(request.path);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first.rfind("% ", 0), 0u) << first;
    EXPECT_GT(outcome.body_bytes, 0u);
    EXPECT_FALSE(fs::exists(fs::path(request.path).parent_path() /
                            ("vireo-segments-" + outcome.serial + "-" + std::to_string(::getpid()))));
}

TEST(RecordCommand, CameraChoiceNeverFallsBackToASimulatedCamera) {
    DvsCameraManager manager;
    const auto message = [&](const std::string& serial) {
        try {
            ChosenCamera chosen(manager, serial, false);
        } catch (const std::runtime_error& error) {
            return std::string(error.what());
        }
        return std::string("(chosen)");
    };
    EXPECT_NE(message("").find("no camera found"), std::string::npos) << message("");
    EXPECT_NE(message("").find("permission"), std::string::npos);
    EXPECT_NE(message("SIM00001").find("exist only inside the command"), std::string::npos) << message("SIM00001");
    EXPECT_NE(message("CAM-7").find("is connected"), std::string::npos) << message("CAM-7");
    EXPECT_TRUE(sim::pluggedCameras().empty());
    {
        ChosenCamera simulated(manager, "", true);
        EXPECT_TRUE(simulated.simulated());
        EXPECT_TRUE(isSimulatedSerial(simulated.serial()));
        EXPECT_EQ(sim::pluggedCameras(), std::vector<std::string>{simulated.serial()});
    }
    EXPECT_TRUE(sim::pluggedCameras().empty());
    EXPECT_FALSE(isSimulatedSerial("SIM"));
    EXPECT_FALSE(isSimulatedSerial("SIMX1"));
}

}  // namespace
}  // namespace vireo::app
