// vireo record OUT.raw: records a camera's raw stream to a RAW file for a given time, with
// an optional pre-trigger cache (seconds of stream kept from before the recording starts).
// The camera is the one named by --camera, else the first connected camera; --simulate
// records a simulated VireoHeron watching a moving edge. No camera is an error, never a
// silent simulated recording. With --fusion, a fusion camera is recorded instead, to a RAW
// file and an MP4 file (FusionRecordCommand.cpp).
//
// Before any camera is opened the output's folder is checked (it exists and a file can be
// created in it), so a bad path fails at once rather than after the whole duration. The
// recording's segment files live in a folder of their own beside the output, on the same
// file system, so the stop renames the file into place; an existing OUT.raw is replaced only
// then, and stays as it was when the recording fails.
//
// Progress lines follow the camera's statistics, which report cumulative counters once per
// second: each line shows the moment of a report, the megabytes of raw stream since the
// recording started and the event rate since the previous report. The figures count from a
// report taken when the recording started (or from zero when it starts with the stream), so
// nothing from before the recording is counted. When the camera's transfers were lost (the
// host's queue or the recording fell behind), the line adds how many ("lost 12 buffers").
//
// A recording that lost transfers is still a valid recording of everything else, written
// whole: the command succeeds (status 0), so that scripts keep the file, but the final line
// gives the count and a warning on standard error says plainly that the file has gaps (the
// file's own "% vireo_lost_buffers" header line holds the count too).
//
// The first Ctrl-C (or SIGTERM) ends the recording early and writes the file with everything
// recorded so far; the command then succeeds. During the cache wait, before anything records,
// it ends the command without a file (status 128 + the signal). A second signal aborts.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <vireo/DvsCameraPrivate.h>
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

constexpr const char* kUsage =
    "vireo record OUT.raw [--duration SECONDS] [--camera SERIAL | --simulate] [--cache SECONDS]";

// "<folder of OUT>/vireo-segments-<serial>-<pid>", the characters of the serial that do not
// belong in a file name replaced by '_'.
std::string segmentFolderBeside(const std::string& path, const std::string& serial) {
    std::string name = "vireo-segments-";
    for (char c : serial) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
                           c == '_' || c == '.';
        name += plain ? c : '_';
    }
    name += '-';
    name += std::to_string(static_cast<long long>(::getpid()));
    return (std::filesystem::path(folderOf(path)) / name).string();
}

}  // namespace

RecordOutcome recordCamera(const RecordRequest& request) {
    checkOutput(request.path);

    sim::SimulatedCameraConfig scene;
    scene.scene = sim::SceneType::MovingEdge;
    scene.edge_speed = 2000.0;
    DvsCameraManager manager;
    const ChosenCamera chosen(manager, request.serial, request.simulate, scene);
    auto camera = manager.openCamera(chosen.serial());
    if (!camera) {
        const auto descs = manager.getCameraDescs();
        const auto desc = std::find_if(descs.begin(), descs.end(), [&](const auto& d) { return d.serial == chosen.serial(); });
        if (desc != descs.end() && isFusionCamera(*desc)) {
            throw std::runtime_error("camera \"" + chosen.serial() + "\" is a fusion camera: record it with --fusion");
        }
        throw std::runtime_error("camera \"" + chosen.serial() + "\" was found but could not be opened (is another "
                                 "program using it? see vireo list)");
    }
    return recordOpenedCamera(*camera, request);
}

RecordOutcome recordOpenedCamera(DvsCamera& camera, const RecordRequest& request) {
    RecordOutcome outcome;
    outcome.serial = camera.getDvsDesc().serial;
    const std::string& serial = outcome.serial;
    // Opening a real camera takes seconds: a signal meanwhile ends the command here.
    if (interrupted()) {
        outcome.interrupt_signal = interruptSignal();
        return outcome;
    }
    // The segment folder goes at the end when it is empty; it stays when it holds the data of
    // a failure.
    struct RemoveWhenEmpty {
        std::string folder;
        ~RemoveWhenEmpty() {
            std::error_code ignored;
            if (!folder.empty()) std::filesystem::remove(folder, ignored);
        }
    } segmentFolder;
    auto* recorder = dynamic_cast<DvsCameraPrivate*>(&camera);
    if (recorder != nullptr && recorder->setSegmentDirectory(segmentFolderBeside(request.path, serial))) {
        segmentFolder.folder = recorder->getSegmentDirectory();
    }

    // Shared with the callback: the statistics thread may still be inside a call of it when
    // the callback is replaced.
    const auto reports = std::make_shared<Reports>();
    camera.setStatisticInfoCallback([reports](DsStatisticInfo info) { reports->add(info); });
    struct DropCallback {
        DvsCamera& camera;
        ~DropCallback() { camera.setStatisticInfoCallback(nullptr); }
    } dropCallback{camera};
    const auto streaming = [&camera] { return camera.isConnected(); };

    const bool terminal = isatty(STDOUT_FILENO) != 0;
    Report base;  // the counters the recording's figures start from
    if (request.cache_seconds == 0) {
        // Recording from the stream's first byte: the counters start at zero with it.
        if (camera.startRecording(request.path) != 0) throw std::runtime_error("the recording could not start");
        if (camera.start() != 0) {
            camera.stopRecording();
            throw std::runtime_error("camera " + serial + " did not start");
        }
        base.time = Clock::now();
    } else {
        camera.setFileCacheTime(static_cast<unsigned short>(request.cache_seconds));
        if (camera.start() != 0) throw std::runtime_error("camera " + serial + " did not start");
        // The cache fills while nothing records yet: the recording then begins with it.
        if (request.progress) {
            std::printf("%s: caching %u s before the recording starts\n", serial.c_str(), request.cache_seconds);
            std::fflush(stdout);
        }
        const bool waited = waitUninterrupted(Clock::now() + std::chrono::seconds(request.cache_seconds));
        // The recording starts right after a statistics report, which is then its baseline: a
        // report taken earlier would count the stream from before the recording as part of it.
        const auto report = waited ? reports->waitAfter(reports->latest().number, Clock::now() + 2 * kReportPeriod,
                                                        streaming)
                                   : std::nullopt;
        if (!report) {
            camera.setFileCacheTime(0);  // deletes the cache's segments
            outcome.stopped = camera.stop() == 0;
            if (interrupted()) {
                outcome.interrupt_signal = interruptSignal();
                return outcome;
            }
            throw std::runtime_error("camera " + serial + (camera.isConnected() ? " reported nothing while caching"
                                                                                 : " was disconnected while caching"));
        }
        if (camera.startRecording(request.path) != 0) {
            camera.setFileCacheTime(0);
            camera.stop();
            throw std::runtime_error("the recording could not start");
        }
        base = *report;
    }
    outcome.started = true;

    const auto begin = base.time;
    const auto deadline =
        begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(request.seconds));
    Report shown = base;
    for (;;) {
        if (interrupted()) break;
        if (!camera.isConnected()) {
            outcome.disconnected = true;
            break;
        }
        if (recorder != nullptr && !recorder->isRecording()) {  // its file could not be written
            outcome.write_error = recorder->recordingError();
            break;
        }
        const auto due = shown.time + kReportPeriod;
        const bool dueAtEnd = due > deadline - kLastReportSlack && due < deadline + kLastReportSlack;
        const auto end = dueAtEnd ? due + kLastReportSlack : deadline;
        if (Clock::now() >= end) break;
        const auto report = reports->waitAfter(shown.number, end, streaming);
        if (!report) continue;
        RecordProgress progress;
        progress.seconds = std::chrono::duration<double>(report->time - begin).count();
        progress.megabytes = static_cast<double>(report->bytes - std::min(base.bytes, report->bytes)) / 1e6;
        const double span = std::chrono::duration<double>(report->time - shown.time).count();
        progress.events_per_second =
            span > 0 ? static_cast<double>(report->events - std::min(shown.events, report->events)) / span : 0.0;
        progress.lost_buffers = report->lost - std::min(base.lost, report->lost);
        if (request.progress) {
            const std::string loss = lossFigures(progress.lost_buffers);
            std::printf(terminal ? "\r  recording %s: %6.1f s, %9.1f MB, %8.3f Mev/s%s   "
                                 : "  recording %s: %6.1f s, %9.1f MB, %8.3f Mev/s%s\n",
                        serial.c_str(), progress.seconds, progress.megabytes, progress.events_per_second / 1e6,
                        loss.c_str());
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
        std::fprintf(stderr, "vireo record: stopped by %s after %.1f s; writing %s\n",
                     signalName(outcome.interrupt_signal), outcome.seconds, request.path.c_str());
    }
    outcome.ok = camera.stopRecording() == 0;
    outcome.stopped = camera.stop() == 0;
    // The recorder knows the count its file's header holds; another camera gives only its
    // statistics, counted from the recording's baseline.
    if (recorder != nullptr) {
        outcome.lost_buffers = recorder->getRecordingLostBuffers();
    } else {
        const uint64_t lost = std::max(lostBuffers(camera.getStatisticInfo()), reports->latest().lost);
        outcome.lost_buffers = lost - std::min(base.lost, lost);
    }
    // A recording whose file could not be written stays in its segment files.
    if (recorder != nullptr) {
        for (const auto& name : recorder->getSegmentFiles()) outcome.kept_segments.push_back(name);
    }
    std::error_code error;
    outcome.file_bytes = std::filesystem::file_size(request.path, error);
    if (error) outcome.file_bytes = 0;
    if (outcome.ok) {
        const auto header = rawHeaderBytes(request.path);
        outcome.body_bytes = header && *header <= outcome.file_bytes ? outcome.file_bytes - *header : 0;
    }
    return outcome;
}

std::string recordingProblem(const RecordOutcome& outcome, const std::string& path) {
    if (!outcome.started) return "nothing was recorded";
    if (!outcome.write_error.empty()) {
        return "the " + outcome.write_error + "; \"" + path + "\" holds what was recorded until then";
    }
    if (!outcome.ok) {
        std::string kept;
        for (const auto& name : outcome.kept_segments) kept += " " + name;
        return "the recording of " + outcome.serial + " could not be written to \"" + path + "\"" +
               (kept.empty() ? std::string() : "; the recorded data stays in" + kept);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", outcome.seconds);
    if (outcome.disconnected) {
        return "camera " + outcome.serial + " was disconnected after " + seconds + " s; \"" + path +
               "\" holds what it delivered until then";
    }
    if (outcome.body_bytes == 0) {
        return "camera " + outcome.serial + " delivered no data in " + seconds + " s; \"" + path +
               "\" holds only the header";
    }
    if (!outcome.stopped) return "camera " + outcome.serial + " did not stop cleanly (\"" + path + "\" was written)";
    return {};
}

std::string recordingLossWarning(const RecordOutcome& outcome, const std::string& path) {
    if (!outcome.started || outcome.lost_buffers == 0) return {};
    return "the recording lost " + std::to_string(outcome.lost_buffers) + " of the camera's buffers (the computer or " +
           "its disk fell behind): \"" + path + "\" has gaps where they were";
}

int runRecord(const Arguments& args) {
    const CommandLine line(args, {"duration", "camera", "cache"}, {"simulate", "fusion"});
    if (line.hasFlag("fusion")) return runFusionRecord(line);
    line.expectPositionals(1, 1, kUsage);
    RecordRequest request;
    request.path = line.positionals()[0];
    if (std::filesystem::path(request.path).extension() != ".raw") {
        throw UsageError("OUT.raw must end in .raw, not \"" + request.path +
                         "\" (a fusion camera records OUT.raw and OUT.mp4 with --fusion)");
    }
    const double seconds = line.numberOption("duration").value_or(5.0);
    if (!(seconds > 0) || seconds > 86400) throw UsageError("--duration must be above 0 and at most 86400 seconds");
    request.seconds = seconds;
    const double cache = line.numberOption("cache").value_or(0.0);
    if (cache < 0 || cache > 3600 || cache != std::floor(cache)) {
        throw UsageError("--cache must be a whole number of seconds from 0 to 3600");
    }
    request.cache_seconds = static_cast<unsigned>(cache);
    request.serial = line.option("camera").value_or("");
    request.simulate = line.hasFlag("simulate");
    if (request.simulate && !request.serial.empty()) throw UsageError("--camera and --simulate exclude each other");

    Logger& logger = Logger::Instance();
    logger.setLogLevel(LOG_WARN);  // the recorder's per-segment lines stay quiet; its errors show
    const InterruptScope scope("stopping the recording");
    const RecordOutcome outcome = recordCamera(request);
    if (!outcome.started) {
        std::fprintf(stderr, "vireo record: stopped by %s before the recording started: nothing recorded\n",
                     signalName(outcome.interrupt_signal));
        return 128 + outcome.interrupt_signal;
    }
    if (outcome.ok) {
        std::printf("%s: %llu bytes (%.1f MB) recorded from %s in %.1f s%s\n", request.path.c_str(),
                    static_cast<unsigned long long>(outcome.file_bytes), static_cast<double>(outcome.file_bytes) / 1e6,
                    outcome.serial.c_str(), outcome.seconds, lossFigures(outcome.lost_buffers).c_str());
        std::fflush(stdout);
    }
    // The file stands (status 0 below) but the loss is never silent.
    const std::string loss = recordingLossWarning(outcome, request.path);
    if (!loss.empty()) std::fprintf(stderr, "vireo record: warning: %s\n", loss.c_str());
    const std::string problem = recordingProblem(outcome, request.path);
    if (!problem.empty()) throw std::runtime_error(problem);
    return 0;
}

}  // namespace vireo::app
