// The demo's recording step: a simulated camera watching a moving edge is recorded to a RAW
// file for a few seconds, with the progress line of `vireo record`, and the file is read
// back to show what it holds.
#include <cstdio>
#include <stdexcept>
#include <string>

#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

#include "Commands.h"

namespace vireo::app {

void demoRecordStep() {
    RecordRequest request;
    request.path = "vireo_demo_recording.raw";
    request.seconds = 3.0;
    request.simulate = true;
    Logger& logger = Logger::Instance();
    const LogLevelType level = logger.getLogLevel();
    logger.setLogLevel(LOG_WARN);  // one progress line a second rather than one per segment
    RecordOutcome outcome;
    try {
        outcome = recordCamera(request);
    } catch (...) {
        logger.setLogLevel(level);
        throw;
    }
    logger.setLogLevel(level);
    if (!outcome.ok) throw std::runtime_error("recording to " + request.path + " failed");
    if (outcome.body_bytes == 0) {
        throw std::runtime_error("the simulated camera " + outcome.serial + " delivered nothing to " + request.path);
    }
    VIREO_LOG_INFO("recorded %s for %.0f s into %s: %llu bytes", outcome.serial.c_str(), request.seconds,
                   request.path.c_str(), static_cast<unsigned long long>(outcome.file_bytes));

    RawFileReader reader(request.path);
    if (!reader.loadFile()) throw std::runtime_error("cannot read back " + request.path);
    uint64_t first = 0, last = 0, events = 0;
    reader.getStartTimeStamp(first);
    reader.getEndTimeStamp(last);
    reader.getMaxEvents(events);
    const double span = static_cast<double>(last - first) / 1e6;
    VIREO_LOG_INFO("read back %s: %llu events over %.2f s of sensor time (%.3f Mev/s), %u x %u pixels",
                   request.path.c_str(), static_cast<unsigned long long>(events), span,
                   span > 0 ? static_cast<double>(events) / span / 1e6 : 0.0,
                   static_cast<unsigned>(reader.getWidth()), static_cast<unsigned>(reader.getHeight()));
}

}  // namespace vireo::app
