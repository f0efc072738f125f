// vireo record OUT --fusion: records a fusion camera's two streams at once, its events to
// OUT.raw (the RAW format of event recordings) and its frames to OUT.mp4 (H.264, each frame at
// its exposure's time; the offset to the event clock is kept in the MP4's metadata). OUT may
// be given as OUT, OUT.raw or OUT.mp4. The camera is the one named by --camera, else the first
// connected fusion camera; --simulate records a simulated fusion camera watching a moving
// edge. No fusion camera is an error, never a silent simulated recording.
//
// As for an event camera: both outputs are checked before the camera is opened; the progress
// line follows the camera's statistics once a second (seconds, megabytes of raw event stream,
// event rate) and adds the frames recorded so far, and what was lost when anything was ("lost
// 12 buffers, 3 frames dropped"); the first Ctrl-C ends the recording early and both files are
// completed (status 0); a second one aborts. Losses leave the files valid, with gaps: the
// command still succeeds, the final line gives the counts and a warning says so plainly.
//
// The camera writes both files under temporary names beside the outputs; they take their
// names only when both were written whole, so an existing pair is replaced by a complete one
// or not at all. When a file could not be written whole, both temporary files stay, named in
// the error, with what was recorded.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <vireo/Logger.h>
#include <vireo/SimulatedCamera.h>
#include <vireo/pipit.h>

#include "CameraChoice.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Interrupt.h"
#include "RecordSupport.h"

namespace vireo::app {
namespace {

using namespace recording;
namespace fs = std::filesystem;

// The frame rate of the simulated fusion camera. Each frame of 3840 x 2160 is drawn by the
// simulator, converted to BGR by the camera and encoded; on a two-core machine 10 a second
// already make the simulated device drop frames the host has not taken in time.
constexpr double kSimulatedFusionFrameRate = 5.0;

constexpr const char* kFusionUsage =
    "vireo record OUT --fusion [--duration SECONDS] [--camera SERIAL | --simulate]  (writes OUT.raw and OUT.mp4)";

// The simulated fusion camera of --simulate: a moving edge seen by both sensors.
sim::SimulatedCameraConfig simulatedFusionCamera() {
    sim::SimulatedCameraConfig config;
    config.vendor_id = sim::kFusionVendorId;
    config.product_id = sim::kFusionProductId;
    config.scene = sim::SceneType::MovingEdge;
    config.edge_speed = 500.0;
    config.frame_rate_hz = kSimulatedFusionFrameRate;
    return config;
}

// "<folder>/.<name>.<pid>.part": the base of the temporary pair beside BASE, on the same file
// system so that the final renames are atomic.
std::string stagedBase(const std::string& base) {
    const fs::path path(base);
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    // Appended piece by piece: GCC 12's optimiser warns (falsely) about "." + a string.
    std::string name(1, '.');
    name.append(path.filename().string());
    name.append(".");
    name.append(std::to_string(static_cast<long long>(::getpid())));
    name.append(".part");
    return (folder / name).string();
}

// The bookmark index and its companion the camera writes beside the RAW file "<name>.raw":
// "<name>.dsmark.tmp" and "<name>.dsmark.state".
std::vector<std::string> indexFilesOf(const std::string& rawPath) {
    const std::string name = rawPath.substr(0, rawPath.size() - 4);
    return {name + ".dsmark.tmp", name + ".dsmark.state"};
}

// The index files of `fromRaw` take the names of `toRaw`'s. When they cannot (or the camera
// wrote none), neither is left on either side: the index files of a recording that `toRaw`
// replaced must not stay beside the new one, and the reader indexes it when it opens it.
void moveIndexFiles(const std::string& fromRaw, const std::string& toRaw) {
    const std::vector<std::string> from = indexFilesOf(fromRaw);
    const std::vector<std::string> to = indexFilesOf(toRaw);
    bool moved = true;
    for (size_t i = 0; i < from.size() && moved; ++i) {
        std::error_code error;
        fs::rename(from[i], to[i], error);
        moved = !error;
    }
    if (moved) return;
    for (size_t i = 0; i < from.size(); ++i) {
        std::error_code ignored;
        fs::remove(from[i], ignored);
        if (fs::is_regular_file(to[i], ignored)) fs::remove(to[i], ignored);
    }
}

uint64_t sizeOf(const std::string& path) {
    std::error_code error;
    const uint64_t bytes = fs::file_size(path, error);
    return error ? 0 : bytes;
}

}  // namespace

std::string fusionRecordingBase(const std::string& out) {
    const fs::path path(out);
    if (out.empty() || !path.has_filename() || path.filename() == "." || path.filename() == "..") {
        throw UsageError("OUT must name a file, not \"" + out + "\"");
    }
    const fs::path extension = path.extension();
    if (extension == ".raw" || extension == ".mp4") return fs::path(path).replace_extension().string();
    return out;
}

FusionRecordOutcome recordFusionCamera(const FusionRecordRequest& request) {
    checkOutput(request.base + ".raw");
    checkOutput(request.base + ".mp4");

    DvsCameraManager manager;
    const ChosenCamera chosen(manager, request.serial, request.simulate, simulatedFusionCamera(), CameraKind::Fusion);
    auto camera = manager.openFusionCamera(chosen.serial());
    if (!camera) {
        throw std::runtime_error("fusion camera \"" + chosen.serial() +
                                 "\" was found but could not be opened (is another program using it? see vireo list)");
    }
    return recordOpenedFusionCamera(*camera, request);
}

FusionRecordOutcome recordOpenedFusionCamera(FusionCamera& camera, const FusionRecordRequest& request) {
    FusionRecordOutcome outcome;
    outcome.serial = camera.getDvsDesc().serial;
    outcome.raw_path = request.base + ".raw";
    outcome.mp4_path = request.base + ".mp4";
    const std::string& serial = outcome.serial;
    if (interrupted()) {
        outcome.interrupt_signal = interruptSignal();
        return outcome;
    }

    const std::string staged = stagedBase(request.base);
    const std::string stagedRaw = staged + ".raw";
    const std::string stagedMp4 = staged + ".mp4";
    // The temporary pair goes unless it holds the data of a failure.
    struct RemoveUnlessKept {
        std::string raw, mp4;
        bool keep = false;
        ~RemoveUnlessKept() {
            if (keep) return;
            std::error_code ignored;
            fs::remove(raw, ignored);
            fs::remove(mp4, ignored);
            for (const std::string& path : indexFilesOf(raw)) fs::remove(path, ignored);
        }
    } temporary{stagedRaw, stagedMp4};

    const auto reports = std::make_shared<Reports>();
    camera.setStatisticInfoCallback([reports](DsStatisticInfo info) { reports->add(info); });
    // Counted on the frame thread; every frame delivered while recording is handed to the
    // recording (the recording starts before the stream).
    const auto frames = std::make_shared<std::atomic<uint64_t>>(0);
    const auto onFrame = request.on_frame;
    const unsigned frameCallback = camera.addApsFrameCallback([frames, onFrame, &camera](const ApsFrame& frame) {
        frames->fetch_add(1, std::memory_order_relaxed);
        if (onFrame) onFrame(camera, frame);
    });
    struct DropCallbacks {
        FusionCamera& camera;
        unsigned frameCallback;
        ~DropCallbacks() {
            camera.stop(STREAM_BOTH);  // the frame thread may be inside the callback until then
            camera.removeApsFrameCallback(frameCallback);
            camera.setStatisticInfoCallback(nullptr);
        }
    } dropCallbacks{camera, frameCallback};
    auto* tandem = dynamic_cast<TandemFusionCamera*>(&camera);
    const auto framesRecorded = [&] {
        const uint64_t delivered = frames->load(std::memory_order_relaxed);
        const uint64_t lost = tandem != nullptr ? tandem->getRecordingLoss().frames : 0;
        return delivered - std::min(delivered, lost);
    };
    const auto streaming = [&camera] { return camera.isConnected(); };

    // Recording from the stream's first byte and first frame: the counters start with it.
    if (camera.startRecording(stagedRaw, STREAM_BOTH) != 0) {
        throw std::runtime_error("the recording could not start: \"" + stagedRaw + "\" or \"" + stagedMp4 +
                                 "\" could not be created");
    }
    if (camera.start(STREAM_BOTH) != 0) {
        camera.stopRecording(STREAM_BOTH);
        throw std::runtime_error("camera " + serial + " did not start");
    }
    outcome.started = true;
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const auto begin = Clock::now();
    const auto deadline =
        begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(request.seconds));
    Report shown;
    shown.time = begin;
    // The loss counters count from the camera's opening: the recording's figures from here.
    Report base;
    {
        const DsStatisticInfo info = camera.getStatisticInfo();
        base.lost = lostBuffers(info);
        base.framesDropped = info.droppedFrames + info.recordingLostFrames;
    }
    for (;;) {
        if (interrupted()) break;
        if (!camera.isConnected()) {
            outcome.disconnected = true;
            break;
        }
        if (tandem != nullptr && !tandem->isRecording(STREAM_BOTH)) break;  // a file could not be written
        const auto due = shown.time + kReportPeriod;
        const bool dueAtEnd = due > deadline - kLastReportSlack && due < deadline + kLastReportSlack;
        const auto end = dueAtEnd ? due + kLastReportSlack : deadline;
        if (Clock::now() >= end) break;
        const auto report = reports->waitAfter(shown.number, end, streaming);
        if (!report) continue;
        RecordProgress progress;
        progress.seconds = std::chrono::duration<double>(report->time - begin).count();
        progress.megabytes = static_cast<double>(report->bytes) / 1e6;
        const double span = std::chrono::duration<double>(report->time - shown.time).count();
        progress.events_per_second =
            span > 0 ? static_cast<double>(report->events - std::min(shown.events, report->events)) / span : 0.0;
        progress.frames = framesRecorded();
        progress.lost_buffers = report->lost - std::min(base.lost, report->lost);
        progress.frames_dropped = report->framesDropped - std::min(base.framesDropped, report->framesDropped);
        if (request.progress) {
            const std::string loss = lossFigures(progress.lost_buffers, progress.frames_dropped);
            std::printf(terminal ? "\r  recording %s: %6.1f s, %9.1f MB, %8.3f Mev/s, %6llu frames%s   "
                                 : "  recording %s: %6.1f s, %9.1f MB, %8.3f Mev/s, %6llu frames%s\n",
                        serial.c_str(), progress.seconds, progress.megabytes, progress.events_per_second / 1e6,
                        static_cast<unsigned long long>(progress.frames), loss.c_str());
            std::fflush(stdout);
        }
        if (request.on_progress) request.on_progress(progress);
        shown = *report;
        if (report->time >= deadline - kLastReportSlack) break;
    }
    if (request.progress && terminal) std::printf("\n");
    outcome.seconds = std::min(std::chrono::duration<double>(Clock::now() - begin).count(), request.seconds);
    if (interrupted()) {
        outcome.interrupt_signal = interruptSignal();
        std::fprintf(stderr, "vireo record: stopped by %s after %.1f s; writing %s and %s\n",
                     signalName(outcome.interrupt_signal), outcome.seconds, outcome.raw_path.c_str(),
                     outcome.mp4_path.c_str());
    }
    // Both streams end together; the recordings then take in everything the camera handed
    // them. Each file is completed on its own, so that a failure names its file.
    outcome.stopped = camera.stop(STREAM_BOTH) == 0;
    const bool rawWritten = camera.stopRecording(STREAM_DVS) == 0;
    const bool mp4Written = camera.stopRecording(STREAM_APS) == 0;
    outcome.frames = framesRecorded();
    if (tandem != nullptr) {
        const auto loss = tandem->getRecordingLoss();
        outcome.frames_lost = loss.frames;
        outcome.raw_bytes_lost = loss.rawBytes;
        outcome.lost_buffers = loss.lostBuffers;
    }
    {
        const DsStatisticInfo info = camera.getStatisticInfo();
        if (tandem == nullptr) outcome.lost_buffers = lostBuffers(info) - std::min(base.lost, lostBuffers(info));
        outcome.frames_dropped = info.droppedFrames - std::min(base.framesDropped, info.droppedFrames);
    }

    if (!rawWritten || !mp4Written) {
        outcome.write_failure = !rawWritten && !mp4Written ? "neither file could be written whole"
                                : !rawWritten ? "the events (\"" + outcome.raw_path + "\") could not be written whole"
                                              : "the frames (\"" + outcome.mp4_path + "\") could not be written whole";
        const std::string cause = tandem != nullptr ? tandem->recordingError() : std::string();
        if (!cause.empty()) outcome.write_failure += " (" + cause + ")";
        temporary.keep = true;
        for (const std::string& path : {stagedRaw, stagedMp4}) {
            if (fs::exists(path)) outcome.kept.push_back(path);
        }
        return outcome;
    }
    const uint64_t rawBytes = sizeOf(stagedRaw);
    const auto header = rawHeaderBytes(stagedRaw);
    outcome.body_bytes = header && *header <= rawBytes ? rawBytes - *header : 0;
    // The pair takes its names one after the other, the video first: a failure to rename it
    // leaves an older pair as it was.
    std::error_code error;
    fs::rename(stagedMp4, outcome.mp4_path, error);
    if (!error) {
        fs::rename(stagedRaw, outcome.raw_path, error);
        if (error) {
            outcome.mp4_ok = true;
            outcome.write_failure = "\"" + stagedRaw + "\" could not be renamed to \"" + outcome.raw_path +
                                    "\" (" + error.message() + ")";
            temporary.keep = true;
            outcome.kept.push_back(stagedRaw);
            outcome.mp4_file_bytes = sizeOf(outcome.mp4_path);
            return outcome;
        }
        moveIndexFiles(stagedRaw, outcome.raw_path);
    } else {
        outcome.write_failure = "\"" + stagedMp4 + "\" could not be renamed to \"" + outcome.mp4_path + "\" (" +
                                error.message() + ")";
        temporary.keep = true;
        outcome.kept = {stagedRaw, stagedMp4};
        return outcome;
    }
    outcome.raw_ok = true;
    outcome.mp4_ok = true;
    outcome.raw_file_bytes = rawBytes;
    outcome.mp4_file_bytes = sizeOf(outcome.mp4_path);
    return outcome;
}

std::string fusionRecordingProblem(const FusionRecordOutcome& outcome) {
    if (!outcome.started) return "nothing was recorded";
    if (!outcome.raw_ok || !outcome.mp4_ok) {
        std::string kept;
        for (const auto& name : outcome.kept) kept += " " + name;
        return "the recording of " + outcome.serial + " could not be written to \"" + outcome.raw_path + "\" and \"" +
               outcome.mp4_path + "\": " + outcome.write_failure +
               (kept.empty() ? std::string() : "; the recorded data stays in" + kept);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", outcome.seconds);
    const std::string files = "\"" + outcome.raw_path + "\" and \"" + outcome.mp4_path + "\"";
    if (outcome.disconnected) {
        return "camera " + outcome.serial + " was disconnected after " + seconds + " s; " + files +
               " hold what it delivered until then";
    }
    if (outcome.body_bytes == 0) {
        return "camera " + outcome.serial + " delivered no events in " + seconds + " s; \"" + outcome.raw_path +
               "\" holds only the header";
    }
    if (outcome.frames == 0) {
        return "camera " + outcome.serial + " delivered no frames in " + seconds + " s; \"" + outcome.mp4_path +
               "\" holds no frame";
    }
    if (!outcome.stopped) return "camera " + outcome.serial + " did not stop cleanly (" + files + " were written)";
    return {};
}

int runFusionRecord(const CommandLine& line) {
    line.expectPositionals(1, 1, kFusionUsage);
    if (line.option("cache")) throw UsageError("--cache works on event cameras only, not with --fusion");
    FusionRecordRequest request;
    request.base = fusionRecordingBase(line.positionals()[0]);
    const double seconds = line.numberOption("duration").value_or(5.0);
    if (!(seconds > 0) || seconds > 86400) throw UsageError("--duration must be above 0 and at most 86400 seconds");
    request.seconds = seconds;
    request.serial = line.option("camera").value_or("");
    request.simulate = line.hasFlag("simulate");
    if (request.simulate && !request.serial.empty()) throw UsageError("--camera and --simulate exclude each other");

    Logger::Instance().setLogLevel(LOG_WARN);  // the camera's per-frame lines stay quiet; its errors show
    const InterruptScope scope("stopping the recording");
    const FusionRecordOutcome outcome = recordFusionCamera(request);
    if (!outcome.started) {
        std::fprintf(stderr, "vireo record: stopped by %s before the recording started: nothing recorded\n",
                     signalName(outcome.interrupt_signal));
        return 128 + outcome.interrupt_signal;
    }
    if (outcome.raw_ok && outcome.mp4_ok) {
        std::printf("%s: %llu bytes (%.1f MB) and %s: %llu frames (%.1f MB) recorded from %s in %.1f s%s\n",
                    outcome.raw_path.c_str(), static_cast<unsigned long long>(outcome.raw_file_bytes),
                    static_cast<double>(outcome.raw_file_bytes) / 1e6, outcome.mp4_path.c_str(),
                    static_cast<unsigned long long>(outcome.frames),
                    static_cast<double>(outcome.mp4_file_bytes) / 1e6, outcome.serial.c_str(), outcome.seconds,
                    lossFigures(outcome.lost_buffers, outcome.frames_dropped + outcome.frames_lost).c_str());
        std::fflush(stdout);
    }
    if (outcome.frames_lost > 0 || outcome.raw_bytes_lost > 0) {
        std::fprintf(stderr,
                     "vireo record: warning: the recording could not keep up with the camera: %llu frames and %llu "
                     "bytes of events were dropped (a faster disk, or fewer frames per second, avoids it)\n",
                     static_cast<unsigned long long>(outcome.frames_lost),
                     static_cast<unsigned long long>(outcome.raw_bytes_lost));
    }
    if (outcome.lost_buffers > 0 || outcome.frames_dropped > 0) {
        std::fprintf(stderr,
                     "vireo record: warning: %llu of the camera's event buffers are missing from %s and %llu frames "
                     "were dropped before they could be recorded (the computer fell behind): the files have gaps\n",
                     static_cast<unsigned long long>(outcome.lost_buffers), outcome.raw_path.c_str(),
                     static_cast<unsigned long long>(outcome.frames_dropped));
    }
    const std::string problem = fusionRecordingProblem(outcome);
    if (!problem.empty()) throw std::runtime_error(problem);
    return 0;
}

}  // namespace vireo::app
