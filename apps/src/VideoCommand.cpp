// vireo video IN.raw OUT.mp4 [START END]: renders a RAW recording, or its range
// [START, END) in µs of recording time, to an H.264 MP4 video, one frame per 33333 µs span
// that holds events, with progress on the terminal, then reports what was written.
//
// The video is written beside OUT.mp4 under a temporary name and takes its name only once it
// is complete: a failure (a full disk, a geometry the encoder refuses) leaves nothing under
// that name. The first Ctrl-C (or SIGTERM) while rendering ends the video with the frames
// rendered so far, finished as a complete, playable video, and the command succeeds (it
// says where the video stops); during the indexing, nothing is written and the status is
// 128 + the signal. A second signal aborts at once.
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include <vireo/EventDataExport.h>
#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

extern "C" {
#include <libavutil/log.h>
}

#include "CommandLine.h"
#include "Commands.h"
#include "DataCommands.h"
#include "Interrupt.h"

namespace vireo::app {
namespace {

constexpr const char* kUsage = "vireo video IN.raw OUT.mp4 [START END]";

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
    requireReadableFile(input);
    StagedOutput staged(output, input);
    const InterruptScope scope("ending the video with the frames rendered so far");

    VideoExportResult result;
    uint64_t start = 0, end = 0;
    {
        // The command says what went wrong itself, in one line: the library's lines stay quiet.
        const LogLevelScope quiet(LOG_CRITICAL);
        bool loaded = false;
        {
            Progress indexing("indexing " + input);
            reader->setIndexProgressCallback([&](uint64_t done, uint64_t total) { indexing.update(done, total); });
            loaded = reader->loadFile();
        }
        if (!loaded) throw std::runtime_error("\"" + input + "\" holds no readable EVT3 data");
        uint64_t first = 0, last = 0;
        reader->getStartTimeStamp(first);
        reader->getEndTimeStamp(last);
        start = first;
        end = last + 1;
        if (positionals.size() == 4) {
            start = parseMicroseconds(positionals[2], "START");
            end = parseMicroseconds(positionals[3], "END");
            if (start >= end) throw UsageError("START must be below END");
        }
        if (interrupted()) {
            std::fprintf(stderr, "vireo video: stopped by %s before rendering: nothing was written\n",
                         signalText(interruptSignal()));
            return 128 + interruptSignal();
        }
        // FFmpeg's own error lines would repeat the failure the command reports.
        const int ffmpegLevel = av_log_get_level();
        av_log_set_level(AV_LOG_FATAL);
        Progress rendering("rendering " + output);
        result = renderEventsToVideo(*reader, start, end, staged.writePath(), [&](uint64_t done, uint64_t total) {
            rendering.update(done, total);
            return !interrupted();
        });
        av_log_set_level(ffmpegLevel);
    }
    if (!result.ok && result.fileFailed) {
        throw std::runtime_error("cannot write the video \"" + output + "\": " + result.error);
    }
    if (!result.ok) {
        throw std::runtime_error("cannot encode \"" + input + "\" (" + std::to_string(reader->getWidth()) + " x " +
                                 std::to_string(reader->getHeight()) + " pixels) as H.264 video: " + result.error);
    }
    staged.commit();
    const uint64_t rendered_end = result.stopped ? start + result.rendered_us : end;
    if (result.stopped) {
        std::fprintf(stderr, "vireo video: stopped by %s; the video ends after %.3f s of the recording\n",
                     signalText(interruptSignal()), static_cast<double>(result.rendered_us) / 1e6);
    }
    std::printf("wrote %s: %llu frames of %u x %u, %.3f s of video, from [%llu, %llu) us of %s\n", output.c_str(),
                static_cast<unsigned long long>(result.frames), static_cast<unsigned>(reader->getWidth()),
                static_cast<unsigned>(reader->getHeight()),
                static_cast<double>(result.frames) * static_cast<double>(kVideoFrameSpan_us) * 1e-6,
                static_cast<unsigned long long>(start), static_cast<unsigned long long>(rendered_end), input.c_str());
    return 0;
}

}  // namespace vireo::app
