// Cutting a time range of a recording into a new RAW file, and rendering a time range of
// any recording to video.
//
// A cut copies the EVT3 bytes of the range unchanged, but EVT3 is stateful: the first
// copied words rely on a time, a row and a vector base set by words before the range. The
// cut's body therefore begins with a few words that set exactly that state (the reader's
// seek knows it), so that the cut decodes on its own to the events of the range.
#include <vireo/EventDataExport.h>
#include <vireo/RawFileReader.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>

#include <vireo/DataToVideoConverter.h>
#include <vireo/Helpers.h>
#include <vireo/Logger.h>

namespace vireo {
namespace {

constexpr uint64_t kExtractPiece = 1048576;  // bytes copied at a time
constexpr uint64_t kLookBackBlock = 65536;

void putWord(std::vector<uint8_t>& out, uint16_t type, uint16_t payload) {
    const uint16_t word = evt3::makeWord(type, payload);
    out.push_back(static_cast<uint8_t>(word & 0xFF));
    out.push_back(static_cast<uint8_t>(word >> 8));
}

// The words that bring a decoder starting from scratch into the state in force before the
// first copied word: the time (modulo the 2^24 µs the wire carries), the row and the vector
// base with its polarity. Parts the source decoder does not know yet are left unknown.
std::vector<uint8_t> stateWords(bool timeKnown, uint64_t time, const evt3::RowState& rows) {
    std::vector<uint8_t> out;
    if (timeKnown) {
        putWord(out, evt3::TIME_HIGH, static_cast<uint16_t>((time >> 12) & 0xFFF));
        putWord(out, evt3::TIME_LOW, static_cast<uint16_t>(time & 0xFFF));
    } else if ((time & 0xFFF) != 0) {
        putWord(out, evt3::TIME_LOW, static_cast<uint16_t>(time & 0xFFF));
    }
    if (rows.hasRow) putWord(out, evt3::ADDR_Y, rows.row);
    if (rows.hasVector) {
        // A base beyond the 11 bits of VECT_BASE_X (vector words run on past x = 2047) is
        // reached with vector words whose masks are empty: each advances it without events.
        uint32_t base = rows.vectorBase;
        uint32_t steps = 0;
        while (base > evt3::kMaxCoordinate) {
            base -= 12;
            ++steps;
        }
        putWord(out, evt3::VECT_BASE_X,
                static_cast<uint16_t>(base | (static_cast<uint32_t>(rows.vectorPolarity & 1) << 11)));
        for (uint32_t i = 0; i < steps; ++i) putWord(out, evt3::VECT_12, 0);
    }
    return out;
}

// Whether a TIME_HIGH word lies in the bytes [from, to) of `file`, looking back from `to`.
bool timeHighBefore(std::ifstream& file, uint64_t from, uint64_t to) {
    std::vector<uint8_t> block;
    uint64_t pos = to;
    while (pos > from) {
        const uint64_t blockStart = pos - std::min<uint64_t>(kLookBackBlock, pos - from);
        block.resize(pos - blockStart);
        file.clear();
        file.seekg(static_cast<std::streamoff>(blockStart));
        file.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
        if (static_cast<uint64_t>(file.gcount()) != block.size()) return false;
        for (size_t i = block.size() - block.size() % evt3::kWordSize; i >= evt3::kWordSize;) {
            i -= evt3::kWordSize;
            if (evt3::wordType(static_cast<uint16_t>(block[i] | (block[i + 1] << 8))) == evt3::TIME_HIGH) return true;
        }
        pos = blockStart;
    }
    return false;
}

// The reason the last system call gave, or `otherwise` when it gave none.
std::string systemError(const char* otherwise) { return errno != 0 ? std::strerror(errno) : otherwise; }

bool sameFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::exists(a, error) && std::filesystem::exists(b, error) &&
           std::filesystem::equivalent(a, b, error);
}

}  // namespace

void eventsToRgbData(const std::shared_ptr<std::vector<Event2D>>& events, std::vector<uint8_t>& image,
                     uint16_t width, uint16_t height) {
    if (!events || events->empty()) return;
    image.assign(static_cast<size_t>(width) * height * 3, 112);
    for (const Event2D& e : *events) {
        if (e.x >= width || e.y >= height) continue;
        uint8_t* pixel = &image[(static_cast<size_t>(e.y) * width + e.x) * 3];
        if (e.polarity != 0) {
            pixel[0] = 180;
            pixel[1] = 188;
            pixel[2] = 191;
        } else {
            pixel[0] = 51;
            pixel[1] = 61;
            pixel[2] = 64;
        }
    }
}

VideoExportResult renderEventsToVideo(DvsFileReader& reader, uint64_t start, uint64_t end, const std::string& path,
                                      const VideoExportControl& goOn) {
    VIREO_LOG_INFO("Exporting event data to video...");
    VideoExportResult result;
    const uint16_t width = reader.getWidth();
    const uint16_t height = reader.getHeight();
    DataToVideoConverter converter;
    converter.setConverterFrameSize(height, width, height, width);
    converter.setConverterFmt(VIDEO_PIX_FMT_BGR24, VIDEO_PIX_FMT_YUV420P);
    if (converter.initVideoConverter(path) < 0) {
        VIREO_LOG_ERROR("Video converter initialization failed, please confirm that the input file is correct.");
        result.error = converter.getLastError();
        result.fileFailed = converter.hasWriteFailed();
        return result;
    }
    // Spans are read from the recording's own range: before its start there is nothing, and
    // past its end every span would only warn (an end far beyond would loop for ever).
    uint64_t first = 0;
    uint64_t last = 0;
    reader.getStartTimeStamp(first);
    reader.getEndTimeStamp(last);
    const uint64_t from = std::max(start, first);
    const uint64_t to = std::min(end, last == std::numeric_limits<uint64_t>::max() ? last : last + 1);
    std::vector<uint8_t> image(static_cast<size_t>(width) * height * 3, 0);
    if (from < to && reader.seekTime(from)) {
        for (uint64_t t = from; t < to;) {
            // The last span stops at the end of the range.
            const uint64_t span = std::min(kVideoFrameSpan_us, to - t);
            const auto events = reader.getNTimeEvents(span);
            t += span;
            result.rendered_us = t - from;
            if (events && !events->empty()) {
                eventsToRgbData(events, image, width, height);
                if (converter.rgbToVideo(image.data()) == 0) ++result.frames;
                // A file that cannot be written cannot be completed: rendering on is pointless.
                if (converter.hasWriteFailed()) break;
            }
            if (goOn && !goOn(t - from, to - from)) {
                result.stopped = t < to;
                break;
            }
        }
    }
    if (converter.flushAndCloseVideo() < 0) {
        result.error = converter.getLastError();
        result.fileFailed = converter.hasWriteFailed();
        return result;
    }
    result.ok = true;
    return result;
}

bool exportEventsToVideo(DvsFileReader& reader, uint64_t start, uint64_t end, const std::string& path,
                         const VideoExportProgress& progress) {
    return renderEventsToVideo(reader, start, end, path, [&](uint64_t done, uint64_t total) {
               if (progress) progress(done, total);
               return true;
           }).ok;
}

bool RawFileReader::exportEventDataToVideo(uint64_t start, uint64_t end, std::string path) {
    return exportEventsToVideo(*this, start, end, path);
}

bool RawFileReader::extractEventData(uint64_t start, uint64_t end, std::string path) {
    const ExtractResult result = extractEvents(start, end, path);
    // Failures to read or write the data in the middle of the copy are errors of the system,
    // not of the request.
    if (result.failure == ExtractResult::Failure::Input) {
        throw std::runtime_error("Failed to read the expected number of bytes from the input file.");
    }
    if (result.failure == ExtractResult::Failure::Output && result.outputOpened) {
        throw std::runtime_error("Failed to write the expected number of bytes to the output file.");
    }
    return result.ok;
}

RawFileReader::ExtractResult RawFileReader::extractEvents(uint64_t start, uint64_t end, const std::string& path,
                                                          const ExtractControl& goOn) {
    using Failure = ExtractResult::Failure;
    ExtractResult result;
    // Logs `message` and keeps the failure with its cause (the message itself by default).
    auto fail = [&](Failure failure, const char* message, std::string cause = {}) {
        VIREO_LOG_ERROR("%s", message);
        result.failure = failure;
        result.error = cause.empty() ? message : std::move(cause);
        return result;
    };
    if (!seekTime(end)) return fail(Failure::Range, "No end timestamp found.");
    const uint64_t endOffset = readOffset;
    if (!seekTime(start)) return fail(Failure::Range, "No start timestamp found.");
    const uint64_t startOffset = readOffset;
    VIREO_LOG_INFO("extract event start time: %llu, end time: %llu", static_cast<unsigned long long>(start),
                   static_cast<unsigned long long>(end));
    if (startOffset > endOffset) return fail(Failure::Range, "Start time must be less than or equal to end time.");
    chunkBuffer.clear();
    if (startOffset == endOffset) return fail(Failure::Range, "There is no data in the interval.");
    const std::string cannotOpen = "Failed to open output file: " + path + ".";
    // Truncating the recording being read would destroy it.
    if (sameFile(path, filePath)) return fail(Failure::Output, cannotOpen.c_str(), "it is the recording being cut");
    errno = 0;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return fail(Failure::Output, cannotOpen.c_str(), systemError("it cannot be created"));
    result.outputOpened = true;

    std::lock_guard<std::mutex> lock(readMutex);
    // The seek to `start` primed the decoder with the state in force at the start offset.
    // Before the first TIME_HIGH of a file the time is below 4096 µs and only its low part
    // is known.
    const uint64_t time = decoder->getLastTimestamp();
    const bool timeKnown = time >= evt3::kTimeHighPeriod || timeHighBefore(file, dataStart, startOffset);
    const std::vector<uint8_t> prefix = stateWords(timeKnown, time, decoder->getRowState());

    out << "% camera_integrator_name Vireo\n"
        << "% date " << getSysTime() << "\n"
        << "% evt 3.0\n"
        << "% format EVT3; height = " << height << "; width = " << width << "\n"
        << "% generation 4.2\n"
        << "% geometry " << width << "x" << height << "\n"
        << "% integrator_name Vireo\n"
        << "% plugin_integrator_name Vireo\n"
        << "% plugin_name hal_plugin_vireo\n"
        << "% sensor_generation 4.2\n"
        << "% sensor_name IMX646\n"
        << "% serial_number " << serialNumber << "\n"
        << "% system_ID 53\n"
        << "% end\n";
    out.write(reinterpret_cast<const char*>(prefix.data()), static_cast<std::streamsize>(prefix.size()));

    // Pieces are of even length, so a cut stopped early ends at a word boundary: what it
    // holds is a recording of its own.
    const uint64_t total = endOffset - startOffset;
    file.clear();
    file.seekg(static_cast<std::streamoff>(startOffset));
    while (out.good() && result.bytes < total) {
        const uint64_t piece = std::min(kExtractPiece, total - result.bytes);
        chunkBuffer.resize(piece);
        errno = 0;
        file.read(reinterpret_cast<char*>(chunkBuffer.data()), static_cast<std::streamsize>(piece));
        if (static_cast<uint64_t>(file.gcount()) != piece) {
            fail(Failure::Input, "Failed to read the expected number of bytes from the input file.",
                 systemError("it is shorter than its index says"));
            break;
        }
        errno = 0;
        out.write(reinterpret_cast<const char*>(chunkBuffer.data()), static_cast<std::streamsize>(piece));
        if (!out.good()) break;
        result.bytes += piece;
        if (goOn && result.bytes < total && !goOn(result.bytes, total)) {
            result.stopped = true;
            break;
        }
    }
    if (result.failure == Failure::None) {
        // The last buffered bytes reach the file at the close, which can fail as well.
        if (out.good()) {
            errno = 0;
            out.close();
        }
        if (!out.good()) {
            fail(Failure::Output, "Failed to write the expected number of bytes to the output file.",
                 systemError("writing it failed"));
        }
    }
    // Leave the reader where the seek to `start` put it, with stream and decoder agreeing.
    positionStream(startOffset);
    result.ok = result.failure == Failure::None && !result.stopped;
    return result;
}

}  // namespace vireo
