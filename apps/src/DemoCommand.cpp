// vireo demo: a guided walk through the kit. Each step uses the public classes the way an
// application would; steps whose libraries are not part of this build say so.
#include <cstdio>
#include <string>
#include <vector>

#include <vireo/groundwork.h>

#include "CommandLine.h"
#include "Commands.h"

namespace vireo::app {

int runDemo(const Arguments& args) {
    CommandLine(args, {}).expectPositionals(0, 0, "vireo demo");
    VIREO_LOG_INFO("Vireo %s demo, %s", VIREO_VERSION_STRING, getSysTime().c_str());

    const std::vector<std::string> pending{
        "plug in a simulated camera and stream its events",
        "record the stream to a RAW file",
        "read the recording back by time and by event count",
        "cut a piece of the recording",
        "render the recording to an MP4 video",
        "locate the calibration grid and calibrate",
    };
    for (const auto& step : pending) {
        VIREO_LOG_WARN("not built yet: %s", step.c_str());
    }
    VIREO_LOG_INFO("demo finished");
    return 0;
}

}  // namespace vireo::app
