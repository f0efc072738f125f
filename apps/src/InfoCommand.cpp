// vireo info FILE.raw: what a RAW recording holds, from its header and its bookmark index:
// the header lines, geometry, serial number, the times of its first and last events, its
// duration, event count and mean event rate, and whether the index was built (with
// progress on the terminal for a large file), reloaded from beside the file, or could not be
// saved there (and why).
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <vireo/DvsFileReader.h>
#include <vireo/Logger.h>
#include <vireo/RawFileReader.h>

#include "CommandLine.h"
#include "Commands.h"
#include "DataCommands.h"

namespace vireo::app {
namespace {

// The "%" lines at the head of the file, without their line ends.
std::vector<std::string> headerLines(const std::string& path, uint64_t headerSize) {
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<size_t>(headerSize), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The first event from event number `n` on, if there is one.
bool eventAt(RawFileReader& reader, uint64_t n, Event2D& event) {
    const auto events = reader.getNEventsGivenStartEvent(n, 1);
    if (events->empty()) return false;
    event = events->front();
    return true;
}

}  // namespace

int runInfo(const Arguments& args) {
    const CommandLine line(args, {});
    line.expectPositionals(1, 1, "vireo info FILE.raw");
    const std::string path = line.positionals().front();

    std::unique_ptr<DvsFileReader> created = DvsFileReader::createFileReader(path);
    auto* reader = dynamic_cast<RawFileReader*>(created.get());
    if (reader == nullptr) throw UsageError("\"" + path + "\" is not a RAW recording (the name must end in .raw)");
    requireReadableFile(path);

    const bool terminal = isatty(STDERR_FILENO) != 0;
    bool progressShown = false;
    reader->setIndexProgressCallback([&](uint64_t done, uint64_t total) {
        if (total < (256ull << 20)) return;  // small files index in a blink
        progressShown = true;
        std::fprintf(stderr, terminal ? "\rindexing %s: %3.0f %% (%llu of %llu MB)" : "indexing %s: %3.0f %% (%llu of %llu MB)\n",
                     path.c_str(), 100.0 * static_cast<double>(done) / static_cast<double>(total),
                     static_cast<unsigned long long>(done >> 20), static_cast<unsigned long long>(total >> 20));
        std::fflush(stderr);
    });
    // The reader's lines would mix with the report, which says itself what went wrong (an
    // index that could not be saved among them).
    bool loaded = false;
    {
        const LogLevelScope quiet(LOG_CRITICAL);
        loaded = reader->loadFile();
    }
    if (progressShown && terminal) std::fprintf(stderr, "\n");
    if (!loaded) throw std::runtime_error("\"" + path + "\" holds no readable EVT3 data");

    uint64_t count = 0, start = 0, end = 0;
    reader->getMaxEvents(count);
    reader->getStartTimeStamp(start);
    reader->getEndTimeStamp(end);
    std::printf("file            %s\n", path.c_str());
    std::printf("size            %llu bytes (header %llu, EVT3 data %llu)\n",
                static_cast<unsigned long long>(reader->getFileSize()),
                static_cast<unsigned long long>(reader->getHeaderSize()),
                static_cast<unsigned long long>(reader->getFileSize() - reader->getHeaderSize()));
    std::printf("header\n");
    for (const std::string& text : headerLines(path, reader->getHeaderSize())) std::printf("    %s\n", text.c_str());
    std::printf("geometry        %u x %u\n", static_cast<unsigned>(reader->getWidth()), static_cast<unsigned>(reader->getHeight()));
    std::printf("serial          %s\n", reader->getSerialNumber().empty() ? "(none)" : reader->getSerialNumber().c_str());
    std::printf("time span       %llu .. %llu us\n", static_cast<unsigned long long>(start), static_cast<unsigned long long>(end));
    std::printf("events          %llu\n", static_cast<unsigned long long>(count));
    Event2D first, last;
    if (count > 0 && eventAt(*reader, 0, first) && eventAt(*reader, count - 1, last)) {
        const uint64_t duration = last.timestamp - first.timestamp;
        std::printf("first event     %llu us\n", static_cast<unsigned long long>(first.timestamp));
        std::printf("last event      %llu us\n", static_cast<unsigned long long>(last.timestamp));
        std::printf("duration        %.6f s\n", static_cast<double>(duration) / 1e6);
        if (duration > 0) {
            std::printf("mean rate       %.3f Mev/s\n", static_cast<double>(count) / static_cast<double>(duration));
        } else {
            std::printf("mean rate       (all events at one time)\n");
        }
    }
    if (reader->isIndexReloaded()) {
        std::printf("index           reloaded from %s\n", reader->getIndexPath().c_str());
    } else if (reader->getIndexWriteError().empty()) {
        std::printf("index           built by a scan, saved as %s\n", reader->getIndexPath().c_str());
    } else {
        std::printf("index           built by a scan, not saved: cannot write %s (%s)\n",
                    reader->getIndexPath().c_str(), reader->getIndexWriteError().c_str());
    }
    return 0;
}

}  // namespace vireo::app
