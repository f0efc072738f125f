// The subcommands of the vireo tool. Each takes the arguments after its name and returns
// the process exit status; bad usage throws UsageError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vireo::app {

using Arguments = std::vector<std::string>;

int runCut(const Arguments& args);
int runDemo(const Arguments& args);
int runInfo(const Arguments& args);
int runList(const Arguments& args);
int runTools(const Arguments& args);
int runRecord(const Arguments& args);
int runVideo(const Arguments& args);

// What `vireo record` and the demo's recording step ask for, and what they got.
struct RecordRequest {
    std::string path;            // the RAW file to write
    double seconds = 5.0;        // recording time
    unsigned cache_seconds = 0;  // pre-trigger cache, streamed before the recording starts
    std::string serial;          // empty: the first connected camera, else a simulated one
    bool simulate = false;       // record a simulated camera even when a real one is there
    bool progress = true;        // a progress line each second on standard output
};
struct RecordOutcome {
    std::string serial;       // the camera recorded
    bool ok = false;          // stopRecording succeeded
    uint64_t file_bytes = 0;  // size of the written file
    std::vector<std::string> kept_segments;  // where the data stays when the file failed
};
// Opens the camera, records it as asked and stops it. Throws std::runtime_error when the
// camera cannot be found or started.
RecordOutcome recordCamera(const RecordRequest& request);

// The demo's recording step: records a few seconds of a simulated camera and reads the
// file back.
void demoRecordStep();

// The demo's camera-tool step: a region of interest and its effect on the event rate.
void demoToolStep();

}  // namespace vireo::app
