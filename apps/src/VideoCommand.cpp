// vireo video IN.raw OUT.mp4 [START END]: renders a RAW recording, or its range
// [START, END) in µs of recording time, to an H.264 MP4 video, one frame per 33333 µs span
// that holds events, with progress on the terminal, then reports what was written.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <vireo/EventDataExport.h>
#include <vireo/Logger.h>
#include <vireo/Mp4FileReader.h>
#include <vireo/RawFileReader.h>

#include "CommandLine.h"
#include "Commands.h"

namespace vireo::app {
namespace {

constexpr const char* kUsage = "vireo video IN.raw OUT.mp4 [START END]";

uint64_t parseTime(const std::string& text, const char* what) {
    const double value = parseNumber(text, what);
    if (value < 0 || value != std::floor(value) || value > 1.8e19) {
        throw UsageError(std::string(what) + " must be a whole number of microseconds, not \"" + text + "\"");
    }
    return static_cast<uint64_t>(value);
}

// Redraws one progress line on a terminal; elsewhere prints a line per tenth.
class Progress {
public:
    explicit Progress(std::string what) : what_(std::move(what)), terminal_(isatty(STDERR_FILENO) != 0) {}
    void update(uint64_t done, uint64_t total) {
        const int percent = total == 0 ? 100 : static_cast<int>(100.0 * static_cast<double>(done) / static_cast<double>(total));
        if (terminal_) {
            if (percent == last_) return;
            std::fprintf(stderr, "\r%s: %3d %%", what_.c_str(), percent);
        } else {
            if (percent / 10 == last_ / 10) return;
            std::fprintf(stderr, "%s: %3d %%\n", what_.c_str(), percent);
        }
        last_ = percent;
        shown_ = true;
        std::fflush(stderr);
    }
    ~Progress() {
        if (shown_ && terminal_) std::fprintf(stderr, "\n");
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

private:
    std::string what_;
    bool terminal_;
    bool shown_ = false;
    int last_ = -1;
};

}  // namespace

int runVideo(const Arguments& args) {
    const CommandLine line(args, {});
    line.expectPositionals(2, 4, kUsage);
    const auto& positionals = line.positionals();
    if (positionals.size() == 3) throw UsageError("give both START and END, or neither (usage: " + std::string(kUsage) + ")");
    const std::string input = positionals[0];
    const std::string output = positionals[1];

    std::unique_ptr<DvsFileReader> created = DvsFileReader::createFileReader(input);
    auto* reader = dynamic_cast<RawFileReader*>(created.get());
    if (reader == nullptr) throw UsageError("\"" + input + "\" is not a RAW recording (the name must end in .raw)");
    if (!std::ifstream(input).good()) throw std::runtime_error("cannot open \"" + input + "\"");

    // The library's progress lines would mix with ours: only its problems are shown.
    Logger& logger = Logger::Instance();
    const LogLevelType level = logger.getLogLevel();
    logger.setLogLevel(LOG_ERROR);
    bool loaded = false;
    {
        Progress indexing("indexing " + input);
        reader->setIndexProgressCallback([&](uint64_t done, uint64_t total) { indexing.update(done, total); });
        loaded = reader->loadFile();
    }
    if (!loaded) {
        logger.setLogLevel(level);
        throw std::runtime_error("\"" + input + "\" holds no readable EVT3 data");
    }
    uint64_t first = 0, last = 0;
    reader->getStartTimeStamp(first);
    reader->getEndTimeStamp(last);
    uint64_t start = first;
    uint64_t end = last + 1;
    if (positionals.size() == 4) {
        start = parseTime(positionals[2], "START");
        end = parseTime(positionals[3], "END");
        if (start >= end) {
            logger.setLogLevel(level);
            throw UsageError("START must be below END");
        }
    }
    bool exported = false;
    {
        Progress rendering("rendering " + output);
        exported = exportEventsToVideo(*reader, start, end, output,
                                       [&](uint64_t done, uint64_t total) { rendering.update(done, total); });
    }
    logger.setLogLevel(level);
    if (!exported) throw std::runtime_error("cannot write the video \"" + output + "\" (is the name an .mp4 in a folder that exists?)");

    Mp4FileReader video(output);
    std::vector<uint64_t> frames;
    if (video.loadFile()) video.getTimeStamps(frames);
    std::printf("wrote %s: %zu frames of %u x %u, %.3f s of video, from [%llu, %llu) us of %s\n", output.c_str(),
                frames.size(), static_cast<unsigned>(reader->getWidth()), static_cast<unsigned>(reader->getHeight()),
                static_cast<double>(frames.size()) * 33333e-6, static_cast<unsigned long long>(start),
                static_cast<unsigned long long>(end), input.c_str());
    return 0;
}

}  // namespace vireo::app
