// The subcommands of the vireo tool. Each takes the arguments after its name and returns
// the process exit status; bad usage throws UsageError.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vireo {
class DvsCamera;
class FusionCamera;
struct ApsFrame;
struct CameraDescription;
}

namespace vireo::app {

using Arguments = std::vector<std::string>;

int runCalibrate(const Arguments& args);
int runCut(const Arguments& args);
int runDemo(const Arguments& args);
int runInfo(const Arguments& args);
int runList(const Arguments& args);
int runTools(const Arguments& args);
int runPattern(const Arguments& args);
int runRecord(const Arguments& args);
int runVideo(const Arguments& args);

// One progress line of a recording: the moment of a statistics report, counted from the
// recording's start, the raw stream since that start and the event rate since the last report.
struct RecordProgress {
    double seconds = 0;
    double megabytes = 0;          // 10^6 bytes
    double events_per_second = 0;
    uint64_t frames = 0;           // a fusion camera's frames recorded so far (0 for event cameras)
    uint64_t lost_buffers = 0;     // the camera's transfers lost to the recording so far
    uint64_t frames_dropped = 0;   // a fusion camera's frames dropped so far (host or recording)
};

// What `vireo record` and the demo's recording step ask for, and what they got.
struct RecordRequest {
    std::string path;            // the RAW file to write
    double seconds = 5.0;        // recording time
    unsigned cache_seconds = 0;  // pre-trigger cache, streamed before the recording starts
    std::string serial;          // empty: the first connected camera (not a simulated one)
    bool simulate = false;       // record a simulated camera plugged in for the recording
    bool progress = true;        // a progress line each second on standard output
    std::function<void(const RecordProgress&)> on_progress;  // also told each line, if set
};
struct RecordOutcome {
    std::string serial;          // the camera recorded
    bool started = false;        // the recording started (false: a signal came first)
    bool ok = false;             // stopRecording succeeded
    bool stopped = false;        // the camera's stop succeeded
    bool disconnected = false;   // the camera went away during the recording
    int interrupt_signal = 0;    // the signal that ended the command early, 0 when none
    double seconds = 0;          // how long the recording ran
    uint64_t file_bytes = 0;     // size of the written file
    uint64_t body_bytes = 0;     // of which after the header (0: the camera delivered nothing)
    std::vector<std::string> kept_segments;  // where the data stays when the file failed
    uint64_t lost_buffers = 0;   // the camera's transfers the file misses (its header's loss line)
    // Why the recording stopped on its own before the end (its file could not be written:
    // a full disk); the file keeps what was written until then. Empty when it did not.
    std::string write_error;
};
// Checks that the output can be written, opens the camera, records it as asked and stops it.
// The recording ends early, and is written, when a signal arrives inside an InterruptScope
// (Interrupt.h). Throws std::runtime_error when the output cannot be written or the camera
// cannot be found, opened or started; the outcome tells what else went wrong.
RecordOutcome recordCamera(const RecordRequest& request);
// The recording part of recordCamera, on a camera opened by the caller (request.serial and
// request.simulate are not used, and the output is not checked first).
RecordOutcome recordOpenedCamera(DvsCamera& camera, const RecordRequest& request);
// The one line that says what went wrong with a recording; empty when it succeeded: the file
// was written, the camera delivered data, stayed connected and stopped cleanly.
std::string recordingProblem(const RecordOutcome& outcome, const std::string& path);
// The warning for a recording written with gaps (the camera's transfers it lost); empty
// when nothing was lost. The recording still succeeded: its file is valid and says so too.
std::string recordingLossWarning(const RecordOutcome& outcome, const std::string& path);

// What `vireo record --fusion` and the demo's fusion step ask for, and what they got. A fusion
// camera records its events to BASE.raw and its frames to BASE.mp4 at once.
struct FusionRecordRequest {
    std::string base;            // the files' path without extension: BASE.raw and BASE.mp4
    double seconds = 5.0;        // recording time
    std::string serial;          // empty: the first connected fusion camera (not a simulated one)
    bool simulate = false;       // record a simulated fusion camera plugged in for the recording
    bool progress = true;        // a progress line each second on standard output
    std::function<void(const RecordProgress&)> on_progress;  // also told each line, if set
    // Each frame while recording, on the camera's frame thread (the frame's data is the
    // camera's and is overwritten by the next frame; the camera's frame lock is held, so the
    // call should be short). Optional.
    std::function<void(FusionCamera& camera, const ApsFrame& frame)> on_frame;
};
struct FusionRecordOutcome {
    std::string serial;          // the camera recorded
    std::string raw_path;        // BASE.raw
    std::string mp4_path;        // BASE.mp4
    bool started = false;        // the recording started (false: a signal came first)
    bool raw_ok = false;         // BASE.raw was written whole and is in place
    bool mp4_ok = false;         // BASE.mp4 was written whole and is in place
    bool stopped = false;        // the camera's stop succeeded
    bool disconnected = false;   // the camera went away during the recording
    int interrupt_signal = 0;    // the signal that ended the command early, 0 when none
    double seconds = 0;          // how long the recording ran
    uint64_t raw_file_bytes = 0;  // size of BASE.raw
    uint64_t body_bytes = 0;      // of which after the header (0: the camera delivered no events)
    uint64_t mp4_file_bytes = 0;  // size of BASE.mp4
    uint64_t frames = 0;          // frames recorded into BASE.mp4
    uint64_t frames_lost = 0;     // frames the encoder could not take in time (not recorded)
    uint64_t raw_bytes_lost = 0;  // raw bytes the disk could not take in time (not recorded)
    uint64_t lost_buffers = 0;    // the camera's transfers BASE.raw misses (its header's loss line)
    uint64_t frames_dropped = 0;  // frames the host dropped before the recording saw them
    std::string write_failure;    // why the files are not in place ("" when they are)
    std::vector<std::string> kept;  // then: the files that hold what was recorded
};
// BASE for the OUT a user gives `vireo record --fusion`: OUT without its ".raw" or ".mp4"
// extension, OUT itself otherwise. UsageError when OUT names no file.
std::string fusionRecordingBase(const std::string& out);
// Checks that BASE.raw and BASE.mp4 can be written, opens the fusion camera, records both its
// streams as asked and stops it. The recording ends early, and both files are written, when a
// signal arrives inside an InterruptScope. Throws std::runtime_error when an output cannot be
// written or the camera cannot be found, opened or started; the outcome tells what else
// went wrong.
FusionRecordOutcome recordFusionCamera(const FusionRecordRequest& request);
// The recording part of recordFusionCamera, on a camera opened (not started) by the caller:
// the files are written under temporary names beside BASE and renamed into place once both
// are whole (request.serial and request.simulate are not used, the outputs are not checked
// first). The camera is stopped at the end.
FusionRecordOutcome recordOpenedFusionCamera(FusionCamera& camera, const FusionRecordRequest& request);
// The one line that says what went wrong with a fusion recording; empty when it succeeded:
// both files were written, the camera delivered events and frames, stayed connected and
// stopped cleanly.
std::string fusionRecordingProblem(const FusionRecordOutcome& outcome);

// What the demo's fusion step wrote: the pair of recordings and the picture of one frame
// beside its count frame.
struct DemoFusionOutcome {
    FusionRecordOutcome recording;
    std::string picture_path;    // PNG: the frame on the left, its count frame on the right
    uint64_t picture_sync_us = 0;  // the sensor time of the pictured frame's closing edge
};
// The demo's fusion step: a simulated fusion camera watching a moving edge, both streams
// recorded for a moment into `folder`, and one frame pictured beside the events counted
// during it. Throws std::runtime_error when a step fails.
DemoFusionOutcome demoFusionStep(const std::string& folder = ".");

// What `vireo list` prints for these cameras: a header, one line per camera (model, serial,
// USB id, transport; a fusion camera's line ends with a note saying so) and the count.
std::string cameraListing(const std::vector<CameraDescription>& descs);

// The demo's recording step: records a few seconds of a simulated camera and reads the
// file back.
void demoRecordStep();

// The demo's camera-tool step: a region of interest and its effect on the event rate.
void demoToolStep();

// The demo's calibration step: a simulated circle-grid camera recorded, located and
// calibrated, the recovered intrinsics beside the true ones.
void demoCalibrationStep();

}  // namespace vireo::app
