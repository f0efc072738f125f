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
        {"cut", "IN.raw OUT.raw START END", "copy [START, END) us of a recording into a new RAW file",
         vireo::app::runCut},
        {"demo", "", "walk through the kit with a simulated camera", vireo::app::runDemo},
        {"info", "FILE.raw", "describe a RAW recording (header, times, events, rate)", vireo::app::runInfo},
        {"list", "[--simulate]", "list the cameras found (model and serial)", vireo::app::runList},
        {"record", "OUT.raw [--duration S] [--cache S]",
         "record a camera to a RAW file (--camera SERIAL or --simulate picks it)", vireo::app::runRecord},
        {"tools", "[SERIAL]", "list a camera's tools and parameters with their current values",
         vireo::app::runTools},
        {"video", "IN.raw OUT.mp4 [START END]", "render a recording (or [START, END) us of it) to MP4",
         vireo::app::runVideo},
        {"version", "", "print the kit's version", printVersion},
    };
    return table;
}

void printHelp(std::FILE* out) {
    std::fprintf(out,
                 "vireo %s: tools of the Vireo event-camera kit\n\n"
                 "usage: vireo <command> [arguments]\n\ncommands:\n",
                 VIREO_VERSION_STRING);
    for (const auto& command : commands()) {
        const std::string call = std::string(command.name) + " " + command.arguments;
        std::fprintf(out, "  %-34s %s\n", call.c_str(), command.summary);
    }
    std::fprintf(out, "\n  vireo --help                        show this text\n");
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
