// Mp4FileReader: FFmpeg's demuxer, decoder and scaler behind the frame-reader interface.
// Packet times are listed once at load; frames are decoded on demand and converted to
// packed BGR24 in one image buffer that every delivered frame reuses.
#include <vireo/Mp4FileReader.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <vireo/Logger.h>

#include "tools/FfmpegSupport.h"

namespace vireo {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
// Seeks to an earlier key frame when the one found first lies after the wanted frame (a
// reordered stream can index a key frame by a decode time below the wanted display time).
constexpr int kMaxSeekAttempts = 8;

int64_t presentationTime(const AVFrame* decoded) {
    return decoded->pts != AV_NOPTS_VALUE ? decoded->pts : decoded->best_effort_timestamp;
}

using detail::ffmpegError;

// Frames the image buffer can hold: a size, and one that fits the reader's 16-bit fields.
bool drawable(int width, int height) { return width > 0 && height > 0 && width <= 65535 && height <= 65535; }


}  // namespace

Mp4FileReader::Mp4FileReader(std::string path) : ApsFileReader(path), filePath(std::move(path)) {}

Mp4FileReader::~Mp4FileReader() { close(); }

void Mp4FileReader::close() {
    avformat_close_input(&formatContext);
    avcodec_free_context(&decoderContext);
    sws_freeContext(swsContext);
    swsContext = nullptr;
    av_frame_free(&frame);
    av_packet_free(&packet);
    av_freep(&imageData[0]);
    imageBuffer = nullptr;
    videoStream = nullptr;
    videoStreamIndex = -1;
    decoder = nullptr;
    draining = false;
}

bool Mp4FileReader::loadFile() {
    close();
    const char* path = filePath.c_str();
    std::error_code error;
    const auto status = std::filesystem::status(filePath, error);
    if (!std::filesystem::exists(status)) return false;  // nothing there: as silent as a failed open
    if (!std::filesystem::is_regular_file(status)) {
        VIREO_LOG_ERROR("%s is not a regular file.", path);
        return false;
    }
    const int opened = avformat_open_input(&formatContext, path, nullptr, nullptr);
    if (opened < 0) {
        VIREO_LOG_ERROR("Cannot open %s as a video: %s.", path, ffmpegError(opened).c_str());
        return false;
    }
    const int found = avformat_find_stream_info(formatContext, nullptr);
    if (found < 0) {
        VIREO_LOG_ERROR("Cannot read the streams of %s: %s.", path, ffmpegError(found).c_str());
        return false;
    }
    for (unsigned i = 0; i < formatContext->nb_streams; ++i) {
        if (formatContext->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            videoStreamIndex = static_cast<int32_t>(i);
        }
    }
    if (videoStreamIndex < 0) return false;
    videoStream = formatContext->streams[videoStreamIndex];

    // What the stream header announces is checked before anything is built on it: FFmpeg's
    // scaler asserts (and ends the process) on a pixel format it does not know.
    const AVCodecParameters* parameters = videoStream->codecpar;
    if (!drawable(parameters->width, parameters->height) || !detail::scalerTakes(parameters->format)) {
        VIREO_LOG_ERROR("The video stream of %s cannot be decoded: %d x %d pixels of format %s.", path,
                        parameters->width, parameters->height, detail::pixelFormatName(parameters->format));
        return false;
    }
    width = static_cast<uint16_t>(parameters->width);
    height = static_cast<uint16_t>(parameters->height);
    frame = av_frame_alloc();
    packet = av_packet_alloc();
    imageWidth = width;
    imageHeight = height;
    if (frame == nullptr || packet == nullptr ||
        av_image_alloc(imageData, imageLinesize, imageWidth, imageHeight, static_cast<AVPixelFormat>(imagePixFmt),
                       1) < 0) {
        VIREO_LOG_ERROR("Cannot allocate a %d x %d image for %s.", imageWidth, imageHeight, path);
        return false;
    }
    imageBuffer = imageData[0];

    timeStamps.clear();
    while (av_read_frame(formatContext, packet) >= 0) {
        if (packet->stream_index == videoStreamIndex) timeStamps.push_back(static_cast<uint64_t>(packet->pts));
        av_packet_unref(packet);
    }
    if (av_seek_frame(formatContext, videoStreamIndex, 0, AVSEEK_FLAG_BACKWARD) < 0) {
        VIREO_LOG_ERROR("Seek frame failed!");
        return false;
    }

    decoder = avcodec_find_decoder(parameters->codec_id);
    if (decoder == nullptr) {
        VIREO_LOG_ERROR("No decoder for the video stream of %s.", path);
        return false;
    }
    decoderContext = avcodec_alloc_context3(decoder);
    if (decoderContext == nullptr || avcodec_parameters_to_context(decoderContext, parameters) < 0 ||
        avcodec_open2(decoderContext, decoder, nullptr) < 0) {
        VIREO_LOG_ERROR("Failed to open the decoder for %s.", path);
        return false;
    }
    if (drawable(decoderContext->width, decoderContext->height) && detail::scalerTakes(decoderContext->pix_fmt)) {
        swsContext = sws_getContext(decoderContext->width, decoderContext->height, decoderContext->pix_fmt,
                                    imageWidth, imageHeight, static_cast<AVPixelFormat>(imagePixFmt), SWS_BICUBIC,
                                    nullptr, nullptr, nullptr);
    }
    if (swsContext == nullptr) {
        VIREO_LOG_ERROR("Cannot convert the frames of %s (%d x %d, %s) to BGR24.", path, decoderContext->width,
                        decoderContext->height, detail::pixelFormatName(decoderContext->pix_fmt));
        return false;
    }
    return true;
}

std::string Mp4FileReader::getMetadata(const std::string& key) const {
    if (formatContext == nullptr) return {};
    const AVDictionaryEntry* entry = av_dict_get(formatContext->metadata, key.c_str(), nullptr, 0);
    return entry != nullptr && entry->value != nullptr ? std::string(entry->value) : std::string();
}

bool Mp4FileReader::getEventTimeOffset(uint64_t& offset) const {
    static const std::string kTag = "event_time_offset_us=";
    const std::string comment = getMetadata("comment");
    const size_t at = comment.find(kTag);
    if (at == std::string::npos) return false;
    const char* digits = comment.c_str() + at + kTag.size();
    if (*digits < '0' || *digits > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(digits, &end, 10);
    if (errno != 0) return false;
    offset = value;
    return true;
}

bool Mp4FileReader::getTimeStamps(std::vector<uint64_t>& out) {
    if (&out != &timeStamps) out = timeStamps;
    return true;
}

// Converts `decoded` into the image buffer and describes it in `out`.
bool Mp4FileReader::deliver(AVFrame* decoded, ApsFrame& out) {
    // The scaler follows the decoded frames, whose format may differ from what the stream
    // header announced; it asserts on a format it does not know, so those are refused first.
    if (!drawable(decoded->width, decoded->height) || !detail::scalerTakes(decoded->format)) return false;
    swsContext = sws_getCachedContext(swsContext, decoded->width, decoded->height,
                                      static_cast<AVPixelFormat>(decoded->format), imageWidth, imageHeight,
                                      static_cast<AVPixelFormat>(imagePixFmt), SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (swsContext == nullptr) return false;
    if (sws_scale(swsContext, decoded->data, decoded->linesize, 0, decoded->height, imageData, imageLinesize) <= 0) {
        return false;
    }
    out.data = imageBuffer;
    out.size = static_cast<uint32_t>(imageHeight) * static_cast<uint32_t>(imageWidth) * 3u;
    // Exact integer rescaling: going through a double can land one microsecond low.
    const auto time = static_cast<uint64_t>(av_rescale_q(presentationTime(decoded), videoStream->time_base,
                                                         kMicroseconds));
    out.timestamp = time;
    out.syncTimestamp = time;
    return true;
}

bool Mp4FileReader::getNextFrame(ApsFrame& out) {
    if (formatContext == nullptr || decoderContext == nullptr) return false;
    if (!draining) {
        if (av_read_frame(formatContext, packet) >= 0) {
            bool ok = true;
            if (packet->stream_index == videoStreamIndex && avcodec_send_packet(decoderContext, packet) >= 0) {
                while (ok && avcodec_receive_frame(decoderContext, frame) >= 0) ok = deliver(frame, out);
            }
            av_packet_unref(packet);
            return ok;
        }
        // End of the file: the decoder may still hold frames (reordered streams); hand them
        // out one per call.
        draining = true;
        avcodec_send_packet(decoderContext, nullptr);
    }
    if (avcodec_receive_frame(decoderContext, frame) < 0) return false;
    return deliver(frame, out);
}

bool Mp4FileReader::getNFrame(int32_t n, ApsFrame& out) {
    if (n < 0 || static_cast<size_t>(n) >= timeStamps.size()) throw std::out_of_range("invalid vector subscript");
    if (formatContext == nullptr || decoderContext == nullptr) return false;
    const auto target = static_cast<int64_t>(timeStamps[static_cast<size_t>(n)]);

    int64_t seekTo = target;
    for (int attempt = 0; attempt < kMaxSeekAttempts; ++attempt) {
        // The seek reads the time in the stream's own time base, as the listed times are.
        if (av_seek_frame(formatContext, videoStreamIndex, seekTo, AVSEEK_FLAG_BACKWARD) < 0) return false;
        // Frames buffered before the seek belong elsewhere in the file.
        avcodec_flush_buffers(decoderContext);
        draining = false;
        int64_t firstDecoded = std::numeric_limits<int64_t>::min();
        bool sent = true;
        while (sent) {
            if (av_read_frame(formatContext, packet) >= 0) {
                if (packet->stream_index == videoStreamIndex) avcodec_send_packet(decoderContext, packet);
                av_packet_unref(packet);
            } else {
                draining = true;
                avcodec_send_packet(decoderContext, nullptr);
                sent = false;
            }
            while (avcodec_receive_frame(decoderContext, frame) >= 0) {
                const int64_t pts = presentationTime(frame);
                if (firstDecoded == std::numeric_limits<int64_t>::min()) firstDecoded = pts;
                if (pts < target) continue;
                if (firstDecoded > target) break;  // the key frame lies after the wanted frame
                return deliver(frame, out);
            }
            if (firstDecoded > target) break;
        }
        if (firstDecoded <= target || seekTo <= 0) return false;
        seekTo = std::min(seekTo, firstDecoded) - 1;
    }
    return false;
}

}  // namespace vireo
