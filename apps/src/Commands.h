// The subcommands of the vireo tool. Each takes the arguments after its name and returns
// the process exit status; bad usage throws UsageError.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vireo {
class DvsCamera;
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

// The demo's recording step: records a few seconds of a simulated camera and reads the
// file back.
void demoRecordStep();

// The demo's camera-tool step: a region of interest and its effect on the event rate.
void demoToolStep();

// The demo's calibration step: a simulated circle-grid camera recorded, located and
// calibrated, the recovered intrinsics beside the true ones.
void demoCalibrationStep();

}  // namespace vireo::app
