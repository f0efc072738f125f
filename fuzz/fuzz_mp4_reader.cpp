// The MP4 frame reader on arbitrary bytes written to a file: load, list the frame times,
// read frames one after the other and by number.
//
// Loading a bad file gives false, never a crash. Every frame delivered is a whole BGR24
// image of the reader's size (each byte of it is touched, so the sanitizer sees a short
// buffer); asking for a frame number outside the listed ones throws std::out_of_range and
// nothing else.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include <vireo/Mp4FileReader.h>

#include "FuzzSupport.h"

namespace {

using namespace vireo;
using fuzz::check;

volatile uint8_t sink;

void checkFrame(const ApsFrame& frame, const Mp4FileReader& reader) {
    check(frame.data != nullptr, "a frame without data");
    check(frame.size == uint32_t{reader.getWidth()} * reader.getHeight() * 3, "a frame of another size than the reader's");
    uint8_t sum = 0;
    for (uint32_t i = 0; i < frame.size; ++i) sum = static_cast<uint8_t>(sum + frame.data[i]);
    sink = sum;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quietLogs();
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = fuzz::scratchFile("input.mp4");
    fuzz::writeBytes(path, data, size);
    Mp4FileReader reader(path);
    if (!reader.loadFile()) return 0;
    std::vector<uint64_t> times;
    check(reader.getTimeStamps(times), "a loaded reader lists no frame times");

    ApsFrame frame;
    int delivered = 0;
    for (int i = 0; i < 64 && reader.getNextFrame(frame); ++i) {
        if (frame.data != nullptr) {
            checkFrame(frame, reader);
            ++delivered;
        }
    }
    const auto count = static_cast<int32_t>(times.size());
    for (int32_t n : {0, count / 2, count - 1}) {
        if (n < 0) continue;
        ApsFrame numbered;
        if (reader.getNFrame(n, numbered)) checkFrame(numbered, reader);
    }
    for (int32_t n : {-1, count}) {
        ApsFrame outside;
        bool threw = false;
        try {
            reader.getNFrame(n, outside);
        } catch (const std::out_of_range&) {
            threw = true;
        }
        check(threw, "a frame number outside the file did not throw std::out_of_range");
    }
    return 0;
}
