// vireo cut IN.raw OUT.raw START END: copies the events of [START, END) µs of a RAW
// recording into a new RAW recording of its own (a fresh header, then the range's EVT3
// data), with progress on the terminal while a large input is indexed, then reports what
// the cut holds as read back from it.
//
// The cut is written beside OUT.raw under a temporary name and takes its name only once it
// is complete: a failure (a full disk, a folder that cannot be written) leaves nothing under
// that name. The first Ctrl-C (or SIGTERM) stops the cut, removes what was copied and ends
// the command with status 128 + the signal: a cut is either whole or not there. A second
// signal aborts at once.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

#include "CommandLine.h"
#include "Commands.h"
#include "DataCommands.h"
#include "Interrupt.h"

namespace vireo::app {
namespace {

constexpr const char* kUsage = "vireo cut IN.raw OUT.raw START END";

RawFileReader& rawReader(std::unique_ptr<DvsFileReader>& created, const std::string& path) {
    auto* reader = dynamic_cast<RawFileReader*>(created.get());
    if (reader == nullptr) throw UsageError("\"" + path + "\" is not a RAW recording (the name must end in .raw)");
    return *reader;
}

int stoppedBySignal(const std::string& output) {
    std::fprintf(stderr, "vireo cut: stopped by %s: nothing was cut (\"%s\" was not written)\n",
                 signalText(interruptSignal()), output.c_str());
    return 128 + interruptSignal();
}

}  // namespace

int runCut(const Arguments& args) {
    const CommandLine line(args, {});
    line.expectPositionals(4, 4, kUsage);
    const auto& positionals = line.positionals();
    const std::string input = positionals[0];
    const std::string output = positionals[1];
    const uint64_t start = parseMicroseconds(positionals[2], "START");
    const uint64_t end = parseMicroseconds(positionals[3], "END");
    if (start >= end) throw UsageError("START must be below END");

    std::unique_ptr<DvsFileReader> created = DvsFileReader::createFileReader(input);
    RawFileReader& reader = rawReader(created, input);
    std::unique_ptr<DvsFileReader> createdCut = DvsFileReader::createFileReader(output);
    RawFileReader& cut = rawReader(createdCut, output);
    requireReadableFile(input);
    StagedOutput staged(output, input);
    const InterruptScope scope("stopping the cut; nothing will be written");

    uint64_t first = 0, last = 0;
    RawFileReader::ExtractResult result;
    {
        // The command says what went wrong itself, in one line: the reader's own lines stay quiet.
        const LogLevelScope quiet(LOG_CRITICAL);
        const bool terminal = isatty(STDERR_FILENO) != 0;
        bool shown = false;
        reader.setIndexProgressCallback([&](uint64_t done, uint64_t total) {
            if (total < (64ull << 20)) return;  // small files index in a blink
            shown = true;
            std::fprintf(stderr, terminal ? "\rindexing %s: %3.0f %%" : "indexing %s: %3.0f %%\n", input.c_str(),
                         100.0 * static_cast<double>(done) / static_cast<double>(total));
            std::fflush(stderr);
        });
        const bool loaded = reader.loadFile();
        if (shown && terminal) std::fprintf(stderr, "\n");
        if (!loaded) throw std::runtime_error("\"" + input + "\" holds no readable EVT3 data");
        if (interrupted()) return stoppedBySignal(output);
        reader.getStartTimeStamp(first);
        reader.getEndTimeStamp(last);
        result = reader.extractEvents(start, end, staged.writePath(),
                                      [](uint64_t, uint64_t) { return !interrupted(); });
    }
    using Failure = RawFileReader::ExtractResult::Failure;
    if (result.failure == Failure::Range) {
        throw std::runtime_error("nothing was cut: [" + std::to_string(start) + ", " + std::to_string(end) +
                                 ") must hold events and lie within the recording's " + std::to_string(first) +
                                 " .. " + std::to_string(last) + " us");
    }
    if (result.failure == Failure::Output) throw std::runtime_error("cannot write \"" + output + "\": " + result.error);
    if (result.failure == Failure::Input) throw std::runtime_error("cannot read \"" + input + "\": " + result.error);
    if (result.stopped || interrupted()) return stoppedBySignal(output);
    staged.commit();
    if (!std::filesystem::is_regular_file(output)) {
        // Written to a device or a pipe: there is nothing to read back.
        std::printf("wrote %s: %llu bytes of [%llu, %llu) us of %s\n", output.c_str(),
                    static_cast<unsigned long long>(result.bytes), static_cast<unsigned long long>(start),
                    static_cast<unsigned long long>(end), input.c_str());
        return 0;
    }

    bool cutLoaded = false;
    {
        const LogLevelScope quiet(LOG_CRITICAL);
        cutLoaded = cut.loadFile();
    }
    if (!cutLoaded) throw std::runtime_error("the cut \"" + output + "\" cannot be read back");
    uint64_t events = 0, cutFirst = 0, cutLast = 0;
    cut.getMaxEvents(events);
    cut.getStartTimeStamp(cutFirst);
    cut.getEndTimeStamp(cutLast);
    std::printf("wrote %s: %llu events of [%llu, %llu) us of %s, %llu bytes", output.c_str(),
                static_cast<unsigned long long>(events), static_cast<unsigned long long>(start),
                static_cast<unsigned long long>(end), input.c_str(),
                static_cast<unsigned long long>(cut.getFileSize()));
    // The format carries 24 bits of time: a cut read on its own counts from the last
    // 2^24 µs boundary before its start.
    if (cutFirst + (uint64_t{1} << 24) <= start) std::printf(" (its own times count modulo 2^24 us)");
    std::printf("\n");
    return 0;
}

}  // namespace vireo::app
