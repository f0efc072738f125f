// vireo: the kit's command-line tool. Dispatches to one subcommand per task; errors are one
// line on standard error and a non-zero exit status.
#include <cstdio>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include <vireo/version.h>

extern "C" {
#include <libavutil/log.h>
}

#include "CommandLine.h"
#include "Commands.h"

namespace {

using vireo::app::Arguments;

struct Command {
    const char* name;
    const char* arguments;
    const char* summary;
    std::function<int(const Arguments&)> run;
};

int printVersion(const Arguments&) {
    std::printf("vireo %s\n", VIREO_VERSION_STRING);
    return 0;
}

const std::vector<Command>& commands() {
    static const std::vector<Command> table{
        {"calibrate", "--target symmetric|asymmetric --size CxR --spacing MM -o RESULT.json CAM0.raw [CAM1.raw] [--window US] [--locator circles|markers] [--eps PX] [--min-pts N] [--min-freq HZ --max-freq HZ]",
         "calibrate a camera (or a stereo pair) from recordings of a circle grid or of blinking markers",
         vireo::app::runCalibrate},
        {"cut", "IN.raw OUT.raw START END", "copy [START, END) us of a recording into a new RAW file",
         vireo::app::runCut},
        {"demo", "", "walk through the kit with a simulated camera", vireo::app::runDemo},
        {"info", "FILE.raw", "describe a RAW recording (header, times, events, rate)", vireo::app::runInfo},
        {"list", "[--simulate]", "list the cameras found (model and serial)", vireo::app::runList},
        {"pattern", "--target symmetric|asymmetric --size CxR --spacing MM -o TARGET.svg|TARGET.png [--dpi N]",
         "write a printable circle-grid target at true size", vireo::app::runPattern},
        {"record", "OUT.raw [--duration S] [--cache S] [--camera SERIAL | --simulate]",
         "record a camera to a RAW file (Ctrl-C ends it early, keeping the file)",
         vireo::app::runRecord},
        {"record", "OUT --fusion [--duration S] [--camera SERIAL | --simulate]",
         "record a fusion camera's events to OUT.raw and frames to OUT.mp4 (OUT, OUT.raw or OUT.mp4 give both)",
         vireo::app::runRecord},
        {"tools", "[SERIAL | --simulate]", "list a camera's tools and parameters with their current values",
         vireo::app::runTools},
        {"video", "IN.raw OUT.mp4 [START END]", "render a recording (or [START, END) us of it) to MP4",
         vireo::app::runVideo},
        {"version", "", "print the kit's version", printVersion},
    };
    return table;
}

// The commands with their arguments, then their summaries in one column. A call too long for
// the column has its summary on the next line, so the column stays narrow enough to read.
void printHelp(std::FILE* out) {
    constexpr size_t kCallColumn = 36;
    std::fprintf(out,
                 "vireo %s: tools of the Vireo event-camera kit\n\n"
                 "usage: vireo <command> [arguments]\n\ncommands:\n",
                 VIREO_VERSION_STRING);
    const auto row = [out](const std::string& call, const char* summary) {
        if (call.size() > kCallColumn) {
            std::fprintf(out, "  %s\n  %-*s %s\n", call.c_str(), static_cast<int>(kCallColumn), "", summary);
        } else {
            std::fprintf(out, "  %-*s %s\n", static_cast<int>(kCallColumn), call.c_str(), summary);
        }
    };
    for (const auto& command : commands()) row(std::string(command.name) + " " + command.arguments, command.summary);
    std::fprintf(out, "\n");
    row("--help", "show this text");
}

}  // namespace

int main(int argc, char** argv) {
    // FFmpeg and x264 print several notes per video at FFmpeg's default level; the tool shows
    // only their errors, so that its own progress and results stay readable.
    av_log_set_level(AV_LOG_ERROR);
    if (argc < 2) {
        printHelp(stderr);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printHelp(stdout);
        return 0;
    }
    const Arguments args(argv + 2, argv + argc);
    for (const auto& command : commands()) {
        if (name != command.name) continue;
        try {
            return command.run(args);
        } catch (const vireo::app::UsageError& error) {
            std::fprintf(stderr, "vireo %s: %s\n", command.name, error.what());
            return 2;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vireo %s: %s\n", command.name, error.what());
            return 1;
        }
    }
    std::fprintf(stderr, "vireo: unknown command \"%s\" (see vireo --help)\n", name.c_str());
    return 2;
}
